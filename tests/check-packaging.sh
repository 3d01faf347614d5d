#!/usr/bin/env bash
# Deployment checks run by CTest:
#   check-packaging.sh unit MANPAGE UNITFILE...  systemd-analyze verify (skipped, 77, without systemd-analyze)
#   check-packaging.sh gpio HELPER PELKO         the root-side pin helper against a fake sysfs
#   check-packaging.sh deb BUILDDIR ARCH         cpack's .deb: files, dependencies, maintainer scripts, lintian
#   check-packaging.sh deployed BUILDDIR         the package installed and run by systemd (skipped, 77, where
#                                                the machine has no systemd as its first process)
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

case "$1" in
unit)
  command -v systemd-analyze >/dev/null || { echo "no systemd-analyze"; exit 77; }
  # Documentation=man:pelko(8) is checked against the page of this build.
  mkdir -p "$tmp/man/man8" && cp "$2" "$tmp/man/man8/"
  shift 2
  for unit in "$@"; do
    out=$(MANPATH=$tmp/man systemd-analyze verify "$unit" 2>&1) || fail "systemd-analyze verify $unit: $out"
    [ -z "$out" ] || fail "systemd-analyze verify $unit printed: $out"
    for line in Restart=always WorkingDirectory=/etc/pelko User=pelko Type=notify WatchdogSec=10s NotifyAccess=main; do
      grep -qx "$line" "$unit" || fail "$unit lacks $line"
    done
  done
  ;;
gpio)
  # The helper against a fake sysfs (a directory laid out as the GPIO class),
  # every path with a blank in it. For direction=gpiochip it asks the real
  # gateway for the chip: this machine has no GPIO chip, so the lookup's
  # failures are tried here; a stub that prints a chip stands in for it where
  # the stale exports are released (the lab grants real chips).
  helper=$2 pelko=$3
  group=$(id -gn)
  root="$tmp/sys root" && mkdir -p "$root" "$tmp/dev dir" "$tmp/devices/gpiochip0" "$tmp/devices/gpiochip1"
  : > "$root/export" && : > "$root/unexport"
  conf="$tmp/etc dir/pelko.conf" && mkdir -p "${conf%/*}"
  gateway() { printf '[Settings]\nip=127.0.0.1\nport=9\nuart=/dev/null\n%s\n' "$1" > "$conf"; }
  mode() { stat -c %A "$1" | cut -c5-6; }
  gateway "$(printf 'GPIO = 517\ngpio_root=%s' "$root")"
  # Pin already exported: nothing written to export, files made group-writable.
  mkdir -p "$root/gpio517"
  printf 'in\n' > "$root/gpio517/direction"; printf '0\n' > "$root/gpio517/value"
  chmod 600 "$root/gpio517/direction" "$root/gpio517/value"
  "$helper" "$conf" "$group" "$pelko" || fail "helper failed on an exported pin"
  [ ! -s "$root/export" ] || fail "helper exported a pin that was already there"
  for f in direction value; do [ "$(mode "$root/gpio517/$f")" = rw ] || fail "$f not group read-write"; done
  # Pin not exported: its number goes to export as it stands (no newline).
  rm -rf "$root/gpio517"
  "$helper" "$conf" "$group" "$pelko" 2>/dev/null && fail "helper succeeded although the pin never appeared"
  [ "$(cat "$root/export")" = 517 ] && [ "$(wc -c < "$root/export")" -eq 3 ] || fail "export got '$(cat "$root/export")'"
  # The stale exports a sysfs pin left: gpio=517 then gpio=518 (lines 17 and
  # 18 of the chip of base 500), and 600, line 17 of another chip.
  for pin in 517:gpiochip0 518:gpiochip0 600:gpiochip1; do
    mkdir -p "$root/gpio${pin%:*}" && : > "$root/gpio${pin%:*}/direction" && : > "$root/gpio${pin%:*}/value"
    ln -s "$tmp/devices/${pin#*:}" "$root/gpio${pin%:*}/device"
  done
  for base in 500 583; do
    mkdir -p "$root/gpiochip$base" && echo $base > "$root/gpiochip$base/base" && echo 32 > "$root/gpiochip$base/ngpio"
  done
  gateway "$(printf 'gpio=518\ngpio_root=%s' "$root")"
  "$helper" "$conf" "$group" "$pelko" || fail "helper failed on pin 518"
  # Moved to gpiochip on line 17 of gpiochip0: the gateway's lookup (a stub
  # here) names the chip; its node alone is granted, and pin 517, which
  # sysfs mode exported before 518, is released (number as it stands).
  chip="$tmp/dev dir/gpiochip0" && : > "$chip" && : > "$tmp/dev dir/gpiochip1" && chmod 600 "$chip" "$tmp/dev dir/gpiochip1"
  printf '#!/bin/sh\nprintf "%%s\\n17\\n" "%s"\n' "$chip" > "$tmp/stub" && chmod +x "$tmp/stub"
  gateway "$(printf 'direction=gpiochip\ngpio=pelko-de\ngpio_root=%s' "$root")"
  : > "$root/unexport"
  "$helper" "$conf" "$group" "$tmp/stub" || fail "helper failed in gpiochip mode"
  [ "$(cat "$root/unexport")" = 517 ] && [ "$(wc -c < "$root/unexport")" -eq 3 ] ||
    fail "unexport got '$(cat "$root/unexport")' after the move to gpiochip (want 517, the line's own number)"
  [ "$(mode "$chip")" = rw ] || fail "chip not group read-write"
  [ "$(mode "$tmp/dev dir/gpiochip1")" = -- ] || fail "a chip that does not hold the line was granted"
  # Missing chips fail with the gateway's own line and grant nothing.
  expect_refused() {  # expect_refused SETTINGS LINE: the helper's whole standard error
    gateway "$1"
    msg=$("$helper" "$conf" "$group" "$pelko" 2>&1) && fail "helper accepted $(echo $1)"
    [ "$msg" = "$2" ] || fail "helper on $(echo $1) said: $msg (want: $2)"
  }
  expect_refused "$(printf 'direction=gpiochip\ngpio_chip=pelko-none\ngpio=5')" \
    'no GPIO chip labelled "pelko-none" among /dev/gpiochip*'
  expect_refused "$(printf 'direction=gpiochip\ngpio=no-such-line')" \
    'no GPIO line named "no-such-line" on any chip among /dev/gpiochip*'
  expect_refused "$(printf 'direction=gpiochip\ngpio_chip=%s\ngpio=5' "$tmp/dev dir/gpiochip7")" \
    "pelko-gpio-access: GPIO chip $tmp/dev dir/gpiochip7 (gpio_chip in $conf) is not there yet; the service tries again when it restarts"
  # A file that is no chip: the kernel's answer is ENOTTY; qemu-user, which
  # runs a cross-built gateway here, answers an ioctl it does not know with
  # ENOSYS.
  nochip="$tmp/dev dir/gpiochip1 is no GPIO chip"
  gateway "$(printf 'direction=gpiochip\ngpio_chip=%s\ngpio=5' "$tmp/dev dir/gpiochip1")"
  msg=$("$helper" "$conf" "$group" "$pelko" 2>&1) && fail "helper accepted a file that is no chip"
  [ "$msg" = "$nochip: Inappropriate ioctl for device" ] || [ "$msg" = "$nochip: Function not implemented" ] ||
    fail "helper on a file that is no chip said: $msg"
  [ "$(mode "$tmp/dev dir/gpiochip1")" = -- ] || fail "a file that is no chip was granted"
  expect_refused "" "pelko-gpio-access: no gpio= in [settings] of $conf"
  # metrics_file in the exporter's directory: the group may write there
  # (rename its file in); anywhere else: nothing is touched.
  export PELKO_TEXTFILE_DIR=$tmp/textfile
  mkdir -p "$tmp/textfile" "$tmp/elsewhere" && chmod 755 "$tmp/textfile" "$tmp/elsewhere"
  printf '[settings]\ndirection=none\nmetrics_file=%s/pelko.prom\n' "$tmp/elsewhere" > "$tmp/m.conf"
  "$helper" "$tmp/m.conf" "$group" "$pelko" && [ "$(stat -c %A "$tmp/elsewhere")" = drwxr-xr-x ] ||
    fail "helper touched a directory other than the exporter's"
  printf '[settings]\ndirection=none\nmetrics_file=%s/pelko.prom\n' "$tmp/textfile" > "$tmp/m.conf"
  "$helper" "$tmp/m.conf" "$group" "$pelko" && [ "$(stat -c %A "$tmp/textfile" | cut -c6)" = w ] ||
    fail "the exporter's directory not group-writable"
  ;;
deb)
  build=$2 arch=${3:-}
  command -v dpkg-deb >/dev/null || { echo "no dpkg-deb"; exit 77; }
  (cd "$build" && cpack -G DEB -B "$tmp" >/dev/null) || fail "cpack failed"
  deb=$(ls "$tmp"/pelko_*.deb)
  files=$(dpkg-deb -c "$deb" | awk '{print $6}')
  for f in ./usr/bin/pelko ./usr/lib/systemd/system/pelko.service ./usr/lib/systemd/system/pelko@.service \
           ./etc/pelko/pelko.conf ./usr/libexec/pelko/pelko-gpio-access ./usr/lib/sysusers.d/pelko.conf \
           ./usr/share/man/man8/pelko.8.gz ./usr/share/doc/pelko/copyright ./usr/share/doc/pelko/changelog.Debian.gz \
           ./usr/share/doc/pelko/examples/stunnel-pelko.conf ./usr/share/doc/pelko/examples/tunnel.conf; do
    grep -qx "$f" <<<"$files" || fail "$f missing from the package"
  done
  info=$(dpkg-deb -I "$deb")
  grep -q 'Depends:.*libjsoncpp25' <<<"$info" || fail "no dependency on the JsonCpp runtime"
  [ -z "$arch" ] || grep -q "Architecture: $arch" <<<"$info" || fail "architecture is not $arch"
  dpkg-deb -e "$deb" "$tmp/control"
  grep -qx /etc/pelko/pelko.conf "$tmp/control/conffiles" || fail "configuration is not a conffile"
  [ -x "$tmp/control/postinst" ] || fail "no postinst"
  dpkg-deb -x "$deb" "$tmp/root"
  grep -q '^ExecStart=/usr/bin/pelko$' "$tmp/root/usr/lib/systemd/system/pelko.service" || fail "unit does not start /usr/bin/pelko"
  grep -q '^\[settings\]' "$tmp/root/etc/pelko/pelko.conf" || fail "example configuration lacks [settings]"
  grep -q '^ExecStart=/usr/bin/pelko --config /etc/pelko/%i.conf$' "$tmp/root/usr/lib/systemd/system/pelko@.service" ||
    fail "template unit does not start pelko with its instance's configuration"
  if command -v man >/dev/null; then
    man -l "$tmp/root/usr/share/man/man8/pelko.8.gz" 2>/dev/null | grep -q 'fold_repeats' || fail "manual page lacks the keys"
  fi
  if command -v lintian >/dev/null; then
    # Errors and warnings only; information tags are advice.
    tags=$(lintian --fail-on none "$deb" 2>/dev/null | grep -E '^[EW]: ' || true)
    [ -z "$tags" ] || fail "lintian: $tags"
  else
    echo "lintian not installed: package not linted"
  fi
  ;;
deployed)
  # Needs a machine booted with systemd (a board, a virtual machine such as
  # scripts/board-lab.sh boots, or a container with systemd as its first
  # process) on which installing the package is allowed. By default the bus is
  # a pseudo-terminal and the pin a directory laid out as sysfs; the lab points
  # them at real ones:
  #   PELKO_DEPLOY_DEB        a built package (default: cpack in BUILDDIR)
  #   PELKO_DEPLOY_UART       the gateway's serial port (nobody answers on it)
  #   PELKO_DEPLOY_SETTINGS   pelko.conf keys for the pin, one KEY=VALUE a line
  #                           (e.g. direction=gpiochip and gpio=<line name>)
  #   PELKO_DEPLOY_LEVEL      the file that shows the level driven on the pin
  #   PELKO_DEPLOY_REALTIME=1 rt_priority=50 and the README's real-time drop-in
  [ -d /run/systemd/system ] || { echo "skipped: systemd is not this machine's first process (no /run/systemd/system); scripts/board-lab.sh runs this test in a virtual machine"; exit 77; }
  [ "${PELKO_DEPLOY_TEST:-}" = 1 ] || { echo "skipped: set PELKO_DEPLOY_TEST=1 to let the test install the package here"; exit 77; }
  [ "$(id -u)" -eq 0 ] || { echo "skipped: installing the package needs root"; exit 77; }
  deb=${PELKO_DEPLOY_DEB:-}
  if [ -z "$deb" ]; then
    (cd "$2" && cpack -G DEB -B "$tmp" >/dev/null) || fail "cpack failed"
    deb=$(ls "$tmp"/pelko_*.deb)
  fi
  lab=/run/pelko-test
  rm -rf "$lab" && mkdir -p "$lab/sys/gpio7" && : > "$lab/sys/export" && : > "$lab/sys/unexport"
  printf 'in\n' > "$lab/sys/gpio7/direction" && printf '0\n' > "$lab/sys/gpio7/value"
  # The server (handshake, pings; closes the connection when $lab/close
  # appears) with one node on its list, and the bus (a pseudo-terminal unless
  # a port is given) where that node never answers.
  python3 "$(dirname "$0")/deploy-server.py" "$lab" & server=$!
  cleanup() {
    systemctl stop pelko.service 2>/dev/null || true
    dpkg --purge pelko >/dev/null 2>&1 || true
    rm -rf /run/systemd/system/pelko.service.d
    systemctl daemon-reload
    kill "$server" 2>/dev/null || true
    rm -rf "$lab" "$tmp"
  }
  trap cleanup EXIT
  for _ in $(seq 50); do [ -s "$lab/port" ] && [ -e "$lab/tty" ] && break; sleep 0.1; done
  dpkg -i "$deb" >/dev/null || fail "the package does not install"
  getent passwd pelko >/dev/null || fail "no user pelko after the installation"
  uart=${PELKO_DEPLOY_UART:-$(readlink -f "$lab/tty")}
  pin=${PELKO_DEPLOY_SETTINGS:-$(printf 'gpio=7\ngpio_root=%s' "$lab/sys")}
  level=${PELKO_DEPLOY_LEVEL:-$lab/sys/gpio7/value}
  {
    printf '[settings]\nip=127.0.0.1\nport=%s\nuart=%s\n%s\n' "$(cat "$lab/port")" "$uart" "$pin"
    [ "${PELKO_DEPLOY_REALTIME:-}" != 1 ] || printf 'rt_priority=50\n'
  } > /etc/pelko/pelko.conf
  mkdir -p /run/systemd/system/pelko.service.d
  {
    printf '[Service]\nRestartSec=1\n'
    # The stand-ins live under $lab, the pty under /dev/pts.
    [ -n "${PELKO_DEPLOY_UART:-}" ] || printf 'ReadWritePaths=%s\nDeviceAllow=/dev/pts rw\n' "$lab"
  } > /run/systemd/system/pelko.service.d/test.conf
  if [ "${PELKO_DEPLOY_REALTIME:-}" = 1 ]; then
    # The drop-in as the README and the unit's comment give it.
    sed -n '/^#   \[Service\]/,/^#   SystemCallFilter=~@privileged$/s/^#   //p' /usr/lib/systemd/system/pelko.service \
      > /run/systemd/system/pelko.service.d/realtime.conf
    grep -q '^RestrictRealtime=no$' /run/systemd/system/pelko.service.d/realtime.conf || fail "no real-time drop-in in the unit's comment"
  fi
  systemctl daemon-reload
  since=$(date '+%Y-%m-%d %H:%M:%S')
  show() { systemctl show -P "$1" pelko.service; }
  journal() { journalctl -u pelko.service --since "$since" -o cat --no-pager "$@"; }
  # Waits up to $2 seconds for the service's NRestarts to pass $1.
  restarted() {
    for _ in $(seq $(($2 * 10))); do
      [ "$(show NRestarts)" -gt "$1" ] && [ "$(show ActiveState)" = active ] && return 0
      sleep 0.1
    done
    return 1
  }
  # Type=notify: start returns once the gateway said READY=1.
  timeout 60 systemctl start pelko.service || fail "not ready: $(journal -n 20)"
  [ "$(show SubState)" = running ] || fail "not running after start"
  # The node on the list never answers: its failures are warnings, the
  # handshake's lines information.
  for _ in $(seq 100); do journal -p warning | grep -q 'Missing start from node address 16' && break; sleep 0.2; done
  journal -p warning | grep -q 'Missing start from node address 16' || fail "no node failure at warning priority: $(journal -n 20)"
  ! journal -p warning | grep -q 'Zadost o adresu' || fail "information lines at warning priority"
  journal -p info | grep -q 'Zadost o adresu' || fail "the handshake's line is not in the journal"
  if [ "${PELKO_DEPLOY_REALTIME:-}" = 1 ]; then
    ! journal -p warning | grep -q 'warning:' || fail "the real-time drop-in left warnings: $(journal -p warning | grep 'warning:')"
  fi
  n=$(show NRestarts)
  touch "$lab/close"
  restarted "$n" 30 || fail "no restart after the server closed the connection"
  n=$(show NRestarts)
  kill -STOP "$(show MainPID)"
  restarted "$n" 40 || fail "no restart by the watchdog after SIGSTOP"
  journal | grep -q 'Watchdog timeout' || fail "no \"Watchdog timeout\" in the journal"
  systemctl stop pelko.service
  [ "$(head -c1 "$level")" = 0 ] || fail "pin not at 0 after systemctl stop"
  # The sandbox refused nothing the gateway does.
  ! journal | grep -E 'status=31/SYS|Operation not permitted|Permission denied' || fail "the sandbox refused a call"
  ;;
*) echo "usage: $0 unit|gpio|deb|deployed ..." >&2; exit 2 ;;
esac
echo ok
