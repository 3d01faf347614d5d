# The board lab's hand on the VM's USB bus, host side: follows the guest's
# console and sends each line "lab-qmp: COMMAND" (a QMP command in JSON) to
# qemu's QMP socket, so that a guest step can pull a USB device out and put it
# back (device_del, device_add) at the moment it chooses. Writes what it sent
# and what qemu answered to the log given; ends when qemu closes the socket.
#   python3 qmp-relay.py QMP-SOCKET CONSOLE-LOG RELAY-LOG
import json, socket, sys, time

qmp_path, console_path, log_path = sys.argv[1:4]
log = open(log_path, "a", buffering=1)
for _ in range(100):
    try:
        qmp = socket.socket(socket.AF_UNIX)
        qmp.connect(qmp_path)
        break
    except OSError:
        time.sleep(0.1)
else:
    log.write("no QMP socket at %s\n" % qmp_path)
    sys.exit(1)
replies = qmp.makefile("r")


def answer():
    # The reply to the last command; events on the way are logged.
    for line in replies:
        log.write("qmp: " + line)
        message = json.loads(line)
        if "return" in message or "error" in message:
            return
    sys.exit(0)


log.write("qmp: " + replies.readline())
qmp.sendall(b'{"execute": "qmp_capabilities"}\n')
answer()
console = open(console_path, "rb")
pending = b""
while True:
    chunk = console.read()
    if not chunk:
        time.sleep(0.05)
        continue
    pending += chunk
    *lines, pending = pending.split(b"\n")
    for raw in lines:
        line = raw.decode(errors="replace").strip("\r")
        if line.startswith("lab-qmp: "):
            command = line[len("lab-qmp: "):]
            log.write("sent: " + command + "\n")
            try:
                qmp.sendall(command.encode() + b"\n")
                answer()
            except OSError:
                sys.exit(0)
