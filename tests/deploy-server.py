# The server for the deployed-service test (check-packaging.sh deployed and
# the board lab): answers the handshake with one thermometer node at address
# 16 and answers pings; closes the connection when LAB/close appears. Makes a
# pseudo-terminal (LAB/tty) for a bus nobody answers on and writes its port
# to LAB/port. Counts the connections it accepted in LAB/connections and
# appends every message it receives to LAB/received, one a line.
#   python3 deploy-server.py LAB
import json, os, pty, socket, sys, time
lab = sys.argv[1]
master, slave = pty.openpty()
os.symlink(os.ttyname(slave), lab + "/tty")
srv = socket.create_server(("127.0.0.1", 0))
open(lab + "/port", "w").write(str(srv.getsockname()[1]))
thermometer = {"type": 1, "data_range": 12, "data_count": 1, "read_write": 0, "latency": 0}
node = {"address": 16, "type": 1, "channel_count": 1, "data": [{"channel": 0, "data": [0]}]}
answers = {1: {"message_type": 2, "address": 3}, 12: {"message_type": 13, "types": [thermometer]},
           8: {"message_type": 9, "nodes": [node]}, 16: {"message_type": 17}}
connections = 0
received = open(lab + "/received", "a", buffering=1)
while True:
    conn, _ = srv.accept()
    connections += 1
    open(lab + "/connections", "w").write(str(connections))
    conn.settimeout(0.2)
    buf = b""
    while not os.path.exists(lab + "/close"):
        try:
            data = conn.recv(4096)
        except socket.timeout:
            continue
        if not data:
            break
        buf += data
        while b"\0" in buf:
            text, buf = buf.split(b"\0", 1)
            received.write(text.decode(errors="replace").replace("\n", " ") + "\n")
            answer = answers.get(json.loads(text).get("message_type"))
            if answer:
                conn.sendall(json.dumps(answer).encode() + b"\0")
    conn.close()
    if os.path.exists(lab + "/close"):
        os.unlink(lab + "/close")
