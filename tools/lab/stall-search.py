# A server that stops reading and then has the gateway search for new nodes,
# with the bus that answers the search:  python3 stall-search.py DIR [TTY]
#
# The server (port in DIR/port) answers the handshake with no nodes and from
# then on reads nothing. It sends pings until the gateway's send queue holds
# its answers up to about 2 KiB below the 1 MiB bound (each answer counts
# 20 + 64 B there; what the two kernels hold is read from /proc/net/tcp),
# then DISCOVER_NEW_NODES. The bus (on TTY, the far end of the gateway's
# serial line; else a pseudo-terminal linked as DIR/tty) echoes what the
# gateway sends and answers the search with 200 nodes, whose report (about
# 9 KiB) has no room. Later connections, the restarted gateway's, are served
# as usual. Progress lines go to standard output.
import os, socket, sys, termios, threading, time, tty

from labframe import crc8

lab = sys.argv[1]
BOUND, COST, WIRE = 1024 * 1024, 20 + 64, 21   # queue bound; a ping's answer in it, and on the wire
TARGET = (BOUND - 2048) // COST
PING, SEARCH = b'{"message_type":16}\0', b'{"message_type":15}\0'
ANSWERS = {1: b'{"message_type":2,"address":3}',
           12: b'{"message_type":13,"types":[{"type":1,"data_range":12,"data_count":1,"read_write":0,"latency":0}]}',
           8: b'{"message_type":9,"nodes":[]}', 16: b'{"message_type":17}'}


def say(text):
    print(text, flush=True)


def bus(fd):
    """Echoes every byte; a discovery broadcast is answered by 200 nodes of type 1."""
    seen = b""
    while True:
        data = os.read(fd, 256)
        os.write(fd, data)
        seen = (seen + data)[-64:]
        if b"\x23\x01\x00\xf4\x24" in seen:
            seen = b""
            replies = b""
            for random in range(1000, 1200):
                body = bytes([5, 0x01, 1, 1, random >> 8, random & 0xFF])
                replies += b"\x23" + body + bytes([crc8(body), 0x24])
            os.write(fd, replies)
            say("bus: discovery answered by 200 nodes")


def queues(local, remote):
    """(tx, rx) bytes of the established loopback socket from port local to port remote."""
    for line in open("/proc/net/tcp").readlines()[1:]:
        f = line.split()
        if f[3] == "01" and int(f[1].split(":")[1], 16) == local and int(f[2].split(":")[1], 16) == remote:
            tx, rx = f[4].split(":")
            return int(tx, 16), int(rx, 16)
    return None


def held(gateway, server):
    """Bytes of answers the kernels hold, once the gateway has read every ping and nothing moves."""
    last, still = None, 0
    while still < 5:
        time.sleep(0.1)
        now = (queues(gateway, server), queues(server, gateway))
        if None in now:
            return None
        (gw_tx, gw_rx), (srv_tx, srv_rx) = now
        still = still + 1 if now == last and gw_rx == 0 and srv_tx == 0 else 0
        last = now
    return gw_tx + srv_rx


def handshake(conn):
    buf = b""
    for _ in range(3):
        while b"\0" not in buf:
            buf += conn.recv(4096)
        text, buf = buf.split(b"\0", 1)
        code = int(text.split(b'"message_type":')[1].split(b"}")[0].split(b",")[0])
        conn.sendall(ANSWERS[code] + b"\0")


def stall(conn):
    handshake(conn)
    server, gateway = conn.getsockname()[1], conn.getpeername()[1]
    sent = 0
    while True:
        kernels = held(gateway, server)
        if kernels is None:
            say("server: connection gone while filling")
            return
        queued = sent - (kernels + WIRE - 1) // WIRE
        say(f"server: {sent} pings, {kernels} B in the kernels, {queued} answers queued")
        if queued >= TARGET - 4:
            break
        n = min(4000, TARGET - queued)
        conn.sendall(PING * n)
        sent += n
    conn.sendall(SEARCH)
    say("server: DISCOVER_NEW_NODES sent, reading nothing")


def serve(conn):
    handshake(conn)
    buf = b""
    while True:
        data = conn.recv(4096)
        if not data:
            return
        buf += data
        while b"\0" in buf:
            text, buf = buf.split(b"\0", 1)
            if b'"message_type":16' in text:
                conn.sendall(ANSWERS[16] + b"\0")


if len(sys.argv) > 2:
    line = os.open(sys.argv[2], os.O_RDWR | os.O_NOCTTY)
else:
    line, far = os.openpty()
    os.symlink(os.ttyname(far), lab + "/tty")
tty.setraw(line)
attrs = termios.tcgetattr(line)
attrs[4] = attrs[5] = termios.B115200
termios.tcsetattr(line, termios.TCSANOW, attrs)
threading.Thread(target=bus, args=(line,), daemon=True).start()

listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)  # taken over by the connections
listener.bind(("127.0.0.1", 0))
listener.listen()
open(lab + "/port.tmp", "w").write(str(listener.getsockname()[1]))
os.rename(lab + "/port.tmp", lab + "/port")
first, _ = listener.accept()
stall(first)
while True:
    conn, _ = listener.accept()
    say("server: the gateway is back")
    first.close()
    try:
        serve(conn)
    except OSError:
        pass
    conn.close()
