# One bus node for the lab's deployed group, on the far end of the gateway's
# null modem (ttyS2): echoes every byte as the half-duplex line does, and
# answers value requests for address 16 with a 12-bit value that counts up.
#   python3 observe-node.py /dev/ttyS2
#   python3 observe-node.py --pty LINK    (a pseudo-terminal, its slave linked as LINK)
import os, sys, termios, tty

from labframe import crc8

ADDRESS = 16
if sys.argv[1] == "--pty":
    fd, slave = os.openpty()
    os.symlink(os.ttyname(slave), sys.argv[2])
else:
    fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
tty.setraw(fd)
attrs = termios.tcgetattr(fd)
attrs[4] = attrs[5] = termios.B115200
termios.tcsetattr(fd, termios.TCSANOW, attrs)


value = 0
buf = b""
while True:
    data = os.read(fd, 256)
    os.write(fd, data)  # the echo
    buf = (buf + data)[-64:]
    start = buf.find(b"#\x04\x0a")
    if start < 0 or len(buf) < start + 8:
        continue
    frame, buf = buf[start:start + 8], buf[start + 8:]
    if frame[7] != 0x24 or crc8(frame[1:6]) != frame[6] or (frame[3] << 8 | frame[4]) != ADDRESS:
        continue
    value = (value + 1) % 4096
    body = bytes([6, 0x0B, frame[3], frame[4], frame[5], value & 0xFF, value >> 8])
    os.write(fd, b"#" + body + bytes([crc8(body)]) + b"$")
