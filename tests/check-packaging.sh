#!/usr/bin/env bash
# Deployment checks run by CTest:
#   check-packaging.sh unit MANPAGE UNITFILE...  systemd-analyze verify (skipped, 77, without systemd-analyze)
#   check-packaging.sh gpio HELPER               the root-side pin helper against a fake sysfs
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
  helper=$2
  group=$(id -gn)
  mkdir -p "$tmp/sys"
  : > "$tmp/sys/export"
  printf '[Settings]\nGPIO = 17\ngpio_root=%s\n' "$tmp/sys" > "$tmp/pelko.conf"
  # Pin already exported: nothing written to export, files made group-writable.
  mkdir -p "$tmp/sys/gpio17"
  printf 'in\n' > "$tmp/sys/gpio17/direction"; printf '0\n' > "$tmp/sys/gpio17/value"
  chmod 600 "$tmp/sys/gpio17/direction" "$tmp/sys/gpio17/value"
  "$helper" "$tmp/pelko.conf" "$group" || fail "helper failed on an exported pin"
  [ ! -s "$tmp/sys/export" ] || fail "helper exported a pin that was already there"
  for f in direction value; do
    [ "$(stat -c %A "$tmp/sys/gpio17/$f" | cut -c5-6)" = "rw" ] || fail "$f not group read-write"
  done
  # Pin not exported: its number goes to export as it stands (no newline).
  rm -rf "$tmp/sys/gpio17"
  "$helper" "$tmp/pelko.conf" "$group" 2>/dev/null && fail "helper succeeded although the pin never appeared"
  [ "$(cat "$tmp/sys/export")" = "17" ] && [ "$(wc -c < "$tmp/sys/export")" -eq 2 ] || fail "export got '$(cat "$tmp/sys/export")'"
  # No pin configured: a clear message.
  printf '[settings]\nip=x\n' > "$tmp/none.conf"
  msg=$("$helper" "$tmp/none.conf" "$group" 2>&1) && fail "helper accepted a configuration without gpio"
  case "$msg" in *"no gpio="*) ;; *) fail "unclear message: $msg" ;; esac
  ;;
deb)
  build=$2 arch=${3:-}
  command -v dpkg-deb >/dev/null || { echo "no dpkg-deb"; exit 77; }
  (cd "$build" && cpack -G DEB -B "$tmp" >/dev/null) || fail "cpack failed"
  deb=$(ls "$tmp"/pelko_*.deb)
  files=$(dpkg-deb -c "$deb" | awk '{print $6}')
  for f in ./usr/bin/pelko ./usr/lib/systemd/system/pelko.service ./usr/lib/systemd/system/pelko@.service \
           ./etc/pelko/pelko.conf ./usr/libexec/pelko/pelko-gpio-access ./usr/lib/sysusers.d/pelko.conf \
           ./usr/share/man/man8/pelko.8.gz ./usr/share/doc/pelko/copyright ./usr/share/doc/pelko/changelog.Debian.gz; do
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
  # Needs a machine booted with systemd (a board, a virtual machine, or a
  # container with systemd as its first process) on which installing the
  # package is allowed.
  [ -d /run/systemd/system ] || { echo "skipped: systemd is not this machine's first process (no /run/systemd/system)"; exit 77; }
  [ "${PELKO_DEPLOY_TEST:-}" = 1 ] || { echo "skipped: set PELKO_DEPLOY_TEST=1 to let the test install the package here"; exit 77; }
  [ "$(id -u)" -eq 0 ] || { echo "skipped: installing the package needs root"; exit 77; }
  (cd "$2" && cpack -G DEB -B "$tmp" >/dev/null) || fail "cpack failed"
  lab=/run/pelko-test
  rm -rf "$lab" && mkdir -p "$lab/sys/gpio7" && : > "$lab/sys/export"
  printf 'in\n' > "$lab/sys/gpio7/direction" && printf '0\n' > "$lab/sys/gpio7/value"
  # The server (handshake, pings; closes the connection when $lab/close
  # appears) and the bus (a pseudo-terminal nobody answers on).
  cat > "$lab/server.py" <<'PY'
import json, os, pty, socket, sys, time
lab = sys.argv[1]
master, slave = pty.openpty()
os.symlink(os.ttyname(slave), lab + "/tty")
srv = socket.create_server(("127.0.0.1", 0))
open(lab + "/port", "w").write(str(srv.getsockname()[1]))
answers = {1: {"message_type": 2, "address": 3}, 12: {"message_type": 13, "types": []},
           8: {"message_type": 9, "nodes": []}, 16: {"message_type": 17}}
while True:
    conn, _ = srv.accept()
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
            answer = answers.get(json.loads(text).get("message_type"))
            if answer:
                conn.sendall(json.dumps(answer).encode() + b"\0")
    conn.close()
    if os.path.exists(lab + "/close"):
        os.unlink(lab + "/close")
PY
  python3 "$lab/server.py" "$lab" & server=$!
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
  dpkg -i "$tmp"/pelko_*.deb >/dev/null || fail "the package does not install"
  printf '[settings]\nip=127.0.0.1\nport=%s\nuart=%s\ngpio=7\ngpio_root=%s\n' \
    "$(cat "$lab/port")" "$(readlink -f "$lab/tty")" "$lab/sys" > /etc/pelko/pelko.conf
  mkdir -p /run/systemd/system/pelko.service.d
  printf '[Service]\nReadWritePaths=%s\nDeviceAllow=/dev/pts rw\nRestartSec=1\n' "$lab" \
    > /run/systemd/system/pelko.service.d/test.conf
  systemctl daemon-reload
  show() { systemctl show -P "$1" pelko.service; }
  # Waits up to $2 seconds for the service's NRestarts to pass $1.
  restarted() {
    for _ in $(seq $(($2 * 10))); do
      [ "$(show NRestarts)" -gt "$1" ] && [ "$(show ActiveState)" = active ] && return 0
      sleep 0.1
    done
    return 1
  }
  # Type=notify: start returns once the gateway said READY=1.
  timeout 30 systemctl start pelko.service || fail "not ready: $(journalctl -u pelko -n 20 --no-pager)"
  [ "$(show SubState)" = running ] || fail "not running after start"
  n=$(show NRestarts)
  touch "$lab/close"
  restarted "$n" 20 || fail "no restart after the server closed the connection"
  n=$(show NRestarts)
  kill -STOP "$(show MainPID)"
  restarted "$n" 30 || fail "no restart by the watchdog after SIGSTOP"
  systemctl stop pelko.service
  [ "$(head -c1 "$lab/sys/gpio7/value")" = 0 ] || fail "pin not at 0 after systemctl stop"
  ;;
*) echo "usage: $0 unit|gpio|deb|deployed ..." >&2; exit 2 ;;
esac
echo ok
