# The usb group, sourced by guest.sh under systemd: a USB serial adapter
# (qemu's usb-serial on an xHCI bus, serial number LAB0001 on port 1, so its
# by-id name stays) whose other end is the bus ($line), pulled out through
# QMP while the bus runs and put back (tools/lab/usb-plug.sh). First with
# pelko-sim's nodes on the bus and its step-by-step verdict, then the
# installed service under systemd.
byid=/dev/serial/by-id/usb-QEMU_QEMU_USB_SERIAL_LAB0001-if00-port0
plug="sh $repo/tools/lab/usb-plug.sh"

usb_adapter() {
  wait_for 20 test -e "$byid"
  check "the adapter is $byid -> $(readlink -f "$byid" 2>/dev/null)" test -e "$byid" || return 1
}

# usb_scenario TITLE FILE LIMIT: the scenario on the adapter, pulled out and
# put back by the scenario's unplug and replug steps.
usb_scenario() {
  title=$1 file=$2 seconds=$3
  t0=$(date +%s)
  step "$seconds" "$sim" --scenario "$repo/tools/lab/$file" --tty-pair "$byid" "$line" \
    --unplug "$plug out" --replug "$plug in" --direction none --set uart="$byid" > /tmp/usb.out 2>&1
  status=$?
  cat /tmp/usb.out
  echo "lab: the adapter is now $(readlink -f "$byid" 2>/dev/null)"
  verdict "$title" $status /tmp/usb.out
}

usb_group() {
  step 30 udevadm settle
  usb_adapter || return 0
  usb_scenario "USB adapter pulled out for 5 s while the bus runs: lost once, error 1 once, no node failed, back by its by-id name, polling resumed" \
    usb-unplugged.json 60
  usb_adapter || return 0
  usb_scenario "USB adapter pulled out during a search for new nodes: lost once, no node failed, back, polling resumed" \
    usb-discovery.json 60
  usb_adapter || return 0
  usb_scenario "USB adapter away for 65 s: no restart, pings answered, back, polling resumed" usb-away.json 120
  usb_adapter || return 0

  # The installed service on the adapter's by-id name.
  step 60 dpkg -i "$deb" >/dev/null
  step 30 systemctl daemon-reload
  srv=/run/lab-usb && mkdir -p $srv
  python3 "$repo/tests/deploy-server.py" $srv & serverpid=$!
  wait_for 10 test -s $srv/port
  printf '[settings]\nip=127.0.0.1\nport=%s\nuart=%s\ndirection=none\n' "$(cat $srv/port)" "$byid" > /etc/pelko/pelko.conf
  since=$(date '+%Y-%m-%d %H:%M:%S')
  j() { journalctl -u pelko.service --since "$since" -o cat --no-pager "$@"; }
  state() { systemctl show -P "$1" pelko.service; }
  # The listed node never answers: each pass ends in its warning.
  polling() { j -p warning | grep -c 'Missing start from node address 16'; }
  step 60 systemctl start pelko.service
  wait_for 30 test "$(polling)" -gt 0
  check "service on $byid: ready, polling" test "$(state SubState)" = running -a "$(polling)" -gt 0
  pid=$(state MainPID)
  step 15 $plug out
  wait_for 10 j -g 'ztracen'
  pause 5
  step 15 $plug in
  wait_for 20 j -g 'je zpet'
  before=$(polling)
  wait_for 20 test "$(polling)" -gt "$before"
  j | grep -E 'Seriovy port|warning:' | sed 's/^/lab: /'
  # EIO once the tty is hung up; ENODEV from a write that meets the driver
  # while it lets go of the device.
  check "service: one line for the loss" \
    test "$(j | grep -cE "^Seriovy port $byid ztracen: (Input/output error|No such device), zkousim ho otevrit znovu kazde 2 s\$")" = 1
  check "service: one line that the bus goes on" \
    test "$(j | grep -c "^Seriovy port $byid je zpet, sbernice pokracuje\$")" = 1
  check "service: polling resumed after the adapter came back" test "$(polling)" -gt "$before"
  check "service: no restart, the same process" \
    test "$(state NRestarts)" = 0 -a "$(state MainPID)" = "$pid" -a "$(state SubState)" = running
  check "service: the server link kept (one connection)" test "$(cat $srv/connections)" = 1
  errors=$(python3 -c 'import json, sys
print(sum(1 for l in open(sys.argv[1]) if l.strip() and json.loads(l).get("message_type") == 7 and json.loads(l).get("error") == 1))' $srv/received)
  check "service: error 1 to the server once ($errors)" test "$errors" = 1
  check "service: the adapter back as $(readlink -f "$byid")" test -e "$byid"
  step 30 systemctl stop pelko.service
  kill $serverpid
}
