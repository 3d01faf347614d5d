#!/bin/sh
# Pulls the lab's USB serial adapter out of the guest, or puts it back, and
# waits (up to 10 s) until its by-id link is gone or back:
#   usb-plug.sh out|in
# The guest asks the host: a "lab-qmp:" line on the console, which the host's
# tools/lab/qmp-relay.py sends to qemu's QMP socket. The adapter keeps its
# serial number and its port on the bus, so its by-id name stays.
byid=/dev/serial/by-id/usb-QEMU_QEMU_USB_SERIAL_LAB0001-if00-port0
console=$(cat /sys/class/tty/console/active) && console=${console##* }
case "$1" in
out) command='{"execute": "device_del", "arguments": {"id": "us1"}}' ;;
in) command='{"execute": "device_add", "arguments": {"driver": "usb-serial", "id": "us1", "serial": "LAB0001", "chardev": "usb1", "bus": "xhci.0", "port": "1"}}' ;;
*) echo "usage: $0 out|in" >&2; exit 2 ;;
esac
printf '\r\nlab-qmp: %s\r\n' "$command" > "/dev/$console"
n=100
while [ $n -gt 0 ]; do
  if [ "$1" = out ]; then [ -e "$byid" ] || exit 0; else [ -e "$byid" ] && exit 0; fi
  n=$((n - 1))
  sleep 0.1
done
echo "usb-plug: $byid still $( [ "$1" = out ] && echo there || echo missing) after 10 s" >&2
exit 1
