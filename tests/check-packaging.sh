#!/usr/bin/env bash
# Deployment checks run by CTest:
#   check-packaging.sh unit UNITFILE        systemd-analyze verify (skipped, 77, without systemd-analyze)
#   check-packaging.sh gpio HELPER          the root-side pin helper against a fake sysfs
#   check-packaging.sh deb BUILDDIR ARCH    cpack's .deb: files, dependencies, maintainer scripts
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

case "$1" in
unit)
  command -v systemd-analyze >/dev/null || { echo "no systemd-analyze"; exit 77; }
  out=$(systemd-analyze verify "$2" 2>&1) || fail "systemd-analyze verify: $out"
  [ -z "$out" ] || fail "systemd-analyze verify printed: $out"
  grep -q '^Restart=always' "$2" || fail "unit does not restart the gateway"
  grep -q '^WorkingDirectory=/etc/pelko' "$2" || fail "unit does not run in /etc/pelko"
  grep -q '^User=pelko' "$2" || fail "unit runs as root"
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
  for f in ./usr/bin/pelko ./usr/lib/systemd/system/pelko.service ./etc/pelko/pelko.conf \
           ./usr/libexec/pelko/pelko-gpio-access ./usr/lib/sysusers.d/pelko.conf; do
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
  ;;
*) echo "usage: $0 unit|gpio|deb ..." >&2; exit 2 ;;
esac
echo ok
