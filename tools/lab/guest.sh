#!/bin/sh
# The lab's checks inside the guest, one group per boot:
#   guest.sh GROUP   (bench, kernel, deployed)
# Each check prints one "PASS: ..." or "FAIL: ..." line; the last line is
# "lab: group GROUP done". Run as the first process (every group but
# deployed) it powers the guest off at the end, whatever happened.
group=$1
arg() { sed -n "s/.*pelko\.$1=\([^ ]*\).*/\1/p" /proc/cmdline; }
repo=$(arg repo) cache=$(arg cache) kver=$(arg kver)
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
pass() { echo "PASS: $group: $*"; }
fail() { echo "FAIL: $group: $*"; }
check() {  # check TITLE COMMAND...: PASS when the command succeeds
  title=$1; shift
  if "$@"; then pass "$title"; else fail "$title"; fi
}
finish() {
  echo "lab: group $group done"
  [ $$ -ne 1 ] || { sync; exec /bin/busybox poweroff -f; }
}
[ $$ -ne 1 ] || trap finish EXIT

echo "lab: group $group on $(uname -r)"
check "the guest runs the host binaries" test -x "$repo/build/pelko"
finish
