#!/bin/sh
# The lab's checks inside the guest, one group per boot:
#   guest.sh GROUP   (bench, kernel, deployed, usb; on ARM arm-bench and so on)
# Each check prints one "PASS: ..." or "FAIL: ..." line; the last line is
# "lab: group GROUP done". Run as the first process (every group but
# deployed) it powers the guest off at the end, whatever happened.
group=$1
arg() { sed -n "s/.*pelko\.$1=\([^ ]*\).*/\1/p" /proc/cmdline; }
repo=$(arg repo) cache=$(arg cache) build=$(arg build) run=$(arg run) debdir=$(arg deb) modules=$(arg modules)
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
# The console is a terminal: no pager to wait for a key, no colours.
export SYSTEMD_PAGER=cat SYSTEMD_COLORS=0
pass() { echo "PASS: $group: $*"; }
fail() { echo "FAIL: $group: $*"; }
check() {  # check TITLE COMMAND...: PASS when the command succeeds
  title=$1; shift
  if "$@"; then pass "$title"; else fail "$title"; return 1; fi
}
# Every step that could hang runs under a limit of its own (step SECONDS
# COMMAND..., or wait_for SECONDS COMMAND... for a wait), and the limits of the
# steps run add up, with the time it took to get here, to less than the
# group's limit (pelko.limit): a group fails by its checks, never by the
# host's time-out.
limit=$(arg limit) spent=$(cut -d. -f1 /proc/uptime)
step() {
  spent=$((spent + $1))
  timeout -k 5 "$@"
  st=$?
  [ $st -ne 124 ] && [ $st -ne 137 ] || echo "lab: step stopped after its limit of $1 s: $(echo "$*" | cut -c1-160)"
  return $st
}
wait_for() {  # wait_for SECONDS COMMAND...: polls the command twice a second until it succeeds
  spent=$(($1 + spent)) n=$(($1 * 2)); shift
  while [ $n -gt 0 ]; do "$@" && return 0; n=$((n - 1)); sleep 0.5; done
  return 1
}
within() {  # within SECONDS FILE: the checks of FILE, run in a subshell stopped after SECONDS
  spent=$((spent + $1))
  ( . "$2" ) & sub=$!
  ( sleep "$1"; kill $sub 2>/dev/null && echo "lab: $2 stopped after its limit of $1 s" ) & guard=$!
  wait $sub
  kill $guard 2>/dev/null
}
finish() {
  if [ -n "$limit" ]; then
    [ "$spent" -lt "$limit" ] && pass "the steps' limits fit the group's: $spent s of $limit s" ||
      fail "the steps' limits fit the group's: $spent s of $limit s"
  fi
  echo "lab: group $group done"
  # As the first process, or run by the lab's unit under systemd: off.
  [ $$ -ne 1 ] && [ "${2:-}" != --poweroff ] || { sync; exec /bin/busybox poweroff -f; }
}
trap 'finish "$@"' EXIT
if [ $$ -eq 1 ]; then
  mkdir -p /dev/pts && mount -t devpts -o ptmxmode=666 devpts /dev/pts && ln -sf pts/ptmx /dev/ptmx
  hostname lab
  busybox ip link set lo up
fi

# The serial ports, found at run time: the 8250 ports with a UART behind them
# that are not the console, in order. The host joins the first two as a null
# modem (uart for the gateway, line for the simulated bus); the third,
# spare, leads nowhere.
console=$(cat /sys/class/tty/console/active) && console=${console##* }
set --
for t in $(ls /sys/class/tty | grep -E '^ttyS[0-9]+$' | sort -V); do
  [ "$t" != "$console" ] && [ "$(cat /sys/class/tty/$t/type 2>/dev/null)" != 0 ] && set -- "$@" /dev/$t
done
uart=${1:-} line=${2:-} spare=${3:-}
pause() { spent=$((spent + $1)); sleep "$1"; }
echo "lab: console $console; gateway's port $uart, joined to $line; $spare leads nowhere"

# One simulated GPIO chip, labelled pelko-lab, of 8 lines; line 5, named
# pelko-de, is the bus driver's direction pin. Sets chip (its /dev node),
# base (its first global sysfs number) and level (the file that shows what
# a consumer drives on line 5).
make_chip() {
  grep -q configfs /proc/filesystems || busybox modprobe configfs || return 1
  insmod "$modules/irq_sim.ko" && insmod "$modules/gpio-sim.ko" || return 1
  grep -q ' /sys/kernel/config ' /proc/mounts || mount -t configfs none /sys/kernel/config || return 1
  c=/sys/kernel/config/gpio-sim/lab
  mkdir -p $c/bank0/line5 && echo 8 > $c/bank0/num_lines && echo pelko-lab > $c/bank0/label &&
    echo pelko-de > $c/bank0/line5/name && echo 1 > $c/live || return 1
  chip=/dev/$(cat $c/bank0/chip_name)
  base=$(cat /sys/class/gpio/$(cat $c/bank0/chip_name)/base 2>/dev/null || cat /sys/bus/gpio/devices/$(cat $c/bank0/chip_name)/../gpio/*/base)
  level=/sys/devices/platform/$(cat $c/dev_name)/$(cat $c/bank0/chip_name)/sim_gpio5/value
  # udev, where it runs, may take a moment over the node.
  for _ in 1 2 3 4 5 6 7 8 9 10; do [ -e "$chip" ] && break; sleep 0.2; done
  echo "lab: gpio-sim chip pelko-lab is $chip, sysfs base $base, line 5 shown in $level"
  [ -e "$chip" ] && [ -n "$base" ] && [ -e "$level" ]
}

sim=$build/tools/sim/pelko-sim
# verdict TITLE STATUS OUTPUT: a pelko-sim run begun at $t0, its steps that
# failed shown.
verdict() {
  if [ "$2" -eq 0 ]; then
    pass "$1 ($(($(date +%s) - t0)) s)"
  else
    grep '^  FAIL' "$3" | sed 's/^/lab: /'
    fail "$1 (status $2)"
  fi
}
bench() {  # bench TITLE PELKO-SIM-ARGUMENTS...: the default scenario on the joined ports
  title=$1; shift
  t0=$(date +%s)
  step 120 "$sim" --tty-pair "$uart" "$line" "$@" > /tmp/bench.out 2>&1
  status=$?
  cat /tmp/bench.out
  verdict "$title" $status /tmp/bench.out
}

# refused TITLE PATTERN PELKO-SIM-ARGUMENTS...: the gateway ends with status 1
# after the handshake, and its standard error holds exactly one line
# matching PATTERN (an extended regular expression).
refused() {
  title=$1 pattern=$2; shift 2
  step 60 "$sim" --scenario "$repo/tools/lab/direction-fails.json" --tty-pair "$uart" "$line" "$@" \
    > /tmp/refused.out 2>&1
  status=$?
  cat /tmp/refused.out
  n=$(sed -n 's/^ *[0-9.]*  gw ERR     //p' /tmp/refused.out | grep -cE "$pattern")
  if [ $status -eq 0 ] && [ "$n" -eq 1 ]; then
    pass "$title"
  else
    grep '^  FAIL' /tmp/refused.out | sed 's/^/lab: /'
    fail "$title (pelko-sim status $status, $n lines matching: $pattern)"
  fi
}

echo "lab: group $group on $(uname -r)"
case "$group" in
bench|arm-bench)
  check "gpio-sim chip made" make_chip || exit 0
  pin=$((base + 5))
  bench "default scenario, direction=sysfs, pin $pin (chip base $base + 5)" \
    --pin-file "$level" --set direction=sysfs --set gpio=$pin --set gpio_root=/sys/class/gpio
  check "pin at 0 after the gateway stopped" test "$(cat "$level")" = 0
  # A stopped gateway leaves its sysfs pin exported (the next run takes it
  # over as it is); the character device cannot have it until it goes.
  echo $pin > /sys/class/gpio/unexport
  bench "default scenario, direction=gpiochip, line by name pelko-de" \
    --pin-file "$level" --set direction=gpiochip --set gpio=pelko-de
  bench "default scenario, direction=gpiochip, chip label pelko-lab + offset 5" \
    --pin-file "$level" --set direction=gpiochip --set gpio_chip=pelko-lab --set gpio=5
  check "pin at 0 after the gateway stopped" test "$(cat "$level")" = 0
  bench "default scenario, direction=none" --direction none
  ;;
kernel|arm-kernel)
  check "gpio-sim chip made" make_chip || exit 0
  pin=$((base + 5))
  refused "sysfs pin 5, outside every chip: EINVAL, and the help names pelko-lab, its base and gpio=$pin" \
    "^  pelko-lab: base $base, gpio=$pin\$" --set direction=sysfs --set gpio=5 --set gpio_root=/sys/class/gpio
  grep -q "could not write to SYSFS GPIO export device: Invalid argument" /tmp/refused.out &&
    pass "the export's EINVAL is reported" || fail "the export's EINVAL is reported"
  refused "gpiochip: a line name no chip has" '^no GPIO line named "no-such-line" on any chip among /dev/gpiochip\*' \
    --set direction=gpiochip --set gpio=no-such-line
  # A program holding line 5 through the character device.
  gpioset --mode=signal "$chip" 5=0 & holder=$!
  pause 1
  refused "gpiochip: a line held by another program: EBUSY naming the holder" \
    '^could not request /dev/gpiochip[0-9]+ line 5 "pelko-de": Device or resource busy \(held by "gpioset"\)$' \
    --set direction=gpiochip --set gpio=pelko-de
  refused "sysfs: a line held through the character device: EBUSY from export, reported as such" \
    "^could not write to SYSFS GPIO export device: Device or resource busy\$" --set direction=sysfs --set gpio=$pin --set gpio_root=/sys/class/gpio
  kill $holder; wait $holder 2>/dev/null
  refused "direction=rs485 on an 8250: its one \"no RS-485 support\" line and status 1" \
    "^could not switch .* to RS-485 mode: no RS-485 support \(Inappropriate ioctl for device\)$" --set direction=rs485
  # The line's settings as the 8250 driver has them while the gateway runs.
  # In the background: its limit counted here.
  spent=$((spent + 120))
  timeout -k 5 120 "$sim" --tty-pair "$uart" "$line" --direction none > /tmp/line.out 2>&1 & sim_pid=$!
  wait_for 20 grep -q "handshake answered" /tmp/line.out
  pause 2
  settings=$(stty -F "$uart" -a 2>&1)
  wait $sim_pid; status=$?
  echo "$settings"
  ok=1
  words=$(echo "$settings" | tr ' ;' '\n\n')
  case "$settings" in *"speed 115200 baud"*"min = 0"*"time = 0"*) ;; *) echo "lab: $uart not 115200, min 0, time 0"; ok=0 ;; esac
  for want in cs8 -parenb -cstopb -crtscts -ixon -ixoff -icanon -echo -isig -opost clocal cread -icrnl -inlcr; do
    echo "$words" | grep -qx -- "$want" || { echo "lab: $uart lacks $want"; ok=0; }
  done
  [ $ok = 1 ] && pass "${uart#/dev/} after the gateway opened it: raw, 115200 8N1, no flow control" ||
    fail "${uart#/dev/} after the gateway opened it: raw, 115200 8N1, no flow control"
  [ $status = 0 ] && pass "default scenario on the real line while its settings were read" ||
    fail "default scenario on the real line while its settings were read (status $status)"
  grep -q "no modem control lines" /tmp/line.out && fail "a real UART: no \"no modem control lines\" warning" ||
    pass "a real UART: no \"no modem control lines\" warning"
  ;;
deployed|arm-deployed)
  check "gpio-sim chip made" make_chip || exit 0
  step 30 udevadm settle
  pin=$((base + 5))
  deb=$(ls "$debdir"/pelko_*.deb)
  deployed() {  # deployed TITLE SETTINGS [ENV...]: the packaging test on the gateway's port and the gpio-sim pin
    title=$1 settings=$2; shift 2
    t0=$(date +%s) spent=$((spent + 300))
    env PELKO_DEPLOY_TEST=1 PELKO_DEPLOY_DEB="$deb" PELKO_DEPLOY_UART="$uart" PELKO_DEPLOY_LEVEL="$level" \
      PELKO_DEPLOY_SETTINGS="$settings" "$@" \
      timeout -k 5 300 bash "$repo/tests/check-packaging.sh" deployed "$build" > /tmp/deployed.out 2>&1
    status=$?
    sed 's/^/lab: /' /tmp/deployed.out
    if [ $status -eq 0 ]; then
      pass "$title ($(($(date +%s) - t0)) s)"
    else
      fail "$title (status $status after $(($(date +%s) - t0)) s)"
    fi
  }
  deployed "packaging.DeployedServiceIsReadyWatchedAndRestarted, direction=sysfs pin $pin" \
    "$(printf 'direction=sysfs\ngpio=%s' $pin)"
  deployed "packaging.DeployedServiceIsReadyWatchedAndRestarted, direction=gpiochip line pelko-de" \
    "$(printf 'direction=gpiochip\ngpio=pelko-de')"
  deployed "packaging.DeployedServiceIsReadyWatchedAndRestarted, real-time drop-in, rt_priority=50" \
    "$(printf 'direction=gpiochip\ngpio_chip=pelko-lab\ngpio=5')" PELKO_DEPLOY_REALTIME=1

  # The stock unit with rt_priority=50, then the move from sysfs to gpiochip,
  # with the test's server on the guest's loopback and one node listed that
  # never answers on the gateway's port.
  step 60 dpkg -i "$deb" >/dev/null
  step 30 systemctl daemon-reload
  j() { journalctl -u pelko.service --since "$since" -o cat --no-pager "$@"; }
  srv=/run/lab-server && mkdir -p $srv
  python3 "$repo/tests/deploy-server.py" $srv & serverpid=$!
  wait_for 10 test -s $srv/port
  configure() {  # configure SETTINGS: pelko.conf for the test server, the gateway's port and these keys
    printf '[settings]\nip=127.0.0.1\nport=%s\nuart=%s\n%s\n' "$(cat $srv/port)" "$uart" "$1" > /etc/pelko/pelko.conf
  }
  # The bus thread runs: it polls the listed node, which never answers.
  missing() { j -p warning | grep -q 'Missing start from node address 16'; }
  serving() { wait_for 30 missing; }
  state() { systemctl show -P "$1" pelko.service; }

  since=$(date '+%Y-%m-%d %H:%M:%S')
  configure "$(printf 'direction=gpiochip\ngpio=pelko-de\nrt_priority=50')"
  step 60 systemctl start pelko.service
  check "stock unit, rt_priority=50: ready" test "$(state SubState)" = running
  check "stock unit, rt_priority=50: the bus served" serving
  pause 5
  j -p warning | grep '^warning:'
  check "stock unit, rt_priority=50: not killed by the system call filter, no restart" \
    test "$(state NRestarts)" = 0 -a "$(state SubState)" = running
  check "stock unit, rt_priority=50: one warning line, the priority refused" \
    test "$(j -p warning | grep -c '^warning:')" = 1
  check "stock unit, rt_priority=50: \"real-time priority 50 refused: Operation not permitted\"" \
    j -p warning -g '^warning: bus thread left at normal priority, real-time priority 50 refused: Operation not permitted$'
  step 30 systemctl stop pelko.service

  # A running installation moved from sysfs to gpiochip: the configuration
  # and a restart, nothing else.
  since=$(date '+%Y-%m-%d %H:%M:%S')
  configure "$(printf 'direction=sysfs\ngpio=%s' $pin)"
  step 60 systemctl start pelko.service
  check "sysfs: ready, pin $pin exported" test "$(state SubState)" = running -a -d /sys/class/gpio/gpio$pin
  configure "$(printf 'direction=gpiochip\ngpio=pelko-de')"
  step 60 systemctl restart pelko.service
  pause 5
  j | tail -n 5
  check "moved to gpiochip by a restart: running, no restart since" \
    test "$(state SubState)" = running -a "$(state NRestarts)" = 0
  check "moved to gpiochip: the sysfs export is gone" test ! -e /sys/class/gpio/gpio$pin
  check "moved to gpiochip: the bus served" serving
  step 30 systemctl stop pelko.service
  kill $serverpid

  # Two buses side by side: pelko@a on the gateway's port and line 5, pelko@b
  # on the spare port
  # and line 6, each with its own server.
  for i in a b; do
    mkdir -p /run/lab-$i
    python3 "$repo/tests/deploy-server.py" /run/lab-$i & eval server_$i=$!
  done
  wait_for 10 test -s /run/lab-a/port -a -s /run/lab-b/port
  printf '[settings]\nip=127.0.0.1\nport=%s\nuart=%s\ndirection=gpiochip\ngpio=pelko-de\n' \
    "$(cat /run/lab-a/port)" "$uart" > /etc/pelko/a.conf
  printf '[settings]\nip=127.0.0.1\nport=%s\nuart=%s\ndirection=gpiochip\ngpio_chip=pelko-lab\ngpio=6\n' \
    "$(cat /run/lab-b/port)" "$spare" > /etc/pelko/b.conf
  since=$(date '+%Y-%m-%d %H:%M:%S')
  step 90 systemctl start pelko@a.service pelko@b.service
  pause 3
  for i in a b; do
    check "pelko@$i: ready, no restart" test "$(systemctl show -P SubState pelko@$i.service)" = running \
      -a "$(systemctl show -P NRestarts pelko@$i.service)" = 0
    missing_on() { journalctl -u pelko@$i.service --since "$since" -o cat -p warning | grep -q 'Missing start from node address 16'; }
    wait_for 30 missing_on
    check "pelko@$i: its bus served" journalctl -u pelko@$i.service --since "$since" -o cat -p warning -g 'Missing start from node address 16'
  done
  gpioinfo pelko-lab | grep -E 'line +[56]:'
  check "pelko@a and pelko@b hold lines 5 and 6" test "$(gpioinfo pelko-lab | grep -cE 'line +[56]:.*"pelko" +output')" = 2
  step 30 systemctl stop pelko@a.service pelko@b.service
  kill $server_a $server_b
  ;;
deployed-ops)
  # The installed service as an operator runs it, in a VM of its own: the
  # group above fills its own time limit.
  check "gpio-sim chip made" make_chip || exit 0
  step 30 udevadm settle
  deb=$(ls "$debdir"/pelko_*.deb)
  within 300 "$repo/tools/lab/observe.sh"
  within 420 "$repo/tools/lab/access.sh"
  within 300 "$repo/tools/lab/tunnel.sh"
  within 300 "$repo/tools/lab/stall-search.sh"
  ;;
usb|arm-usb)
  deb=$(ls "$debdir"/pelko_*.deb)
  . "$repo/tools/lab/usb.sh" && usb_group
  ;;
*) fail "no group $group" ;;
esac
