#!/usr/bin/env bash
# The board lab ends what it started. Stopped by a SIGTERM to the script a
# minute into a group, by Ctrl-C (SIGINT to its process group), or by a
# group's time limit, it leaves no qemu and no temporary folder behind.
#   tests/check-lab-stops.sh [GROUP]   (default: bench; boots three VMs)
# Needs what scripts/board-lab.sh needs; CI runs it after the lab.
set -uo pipefail
cd "$(dirname "$0")/.."
group=${1:-bench}
tmp=$(mktemp -d)
lab=
failed=0
say() { echo "lab-stops: $*"; }
cleanup() { [ -n "$lab" ] && kill -TERM "$lab" 2>/dev/null; rm -rf "$tmp"; }
trap cleanup EXIT
# The lab's run folder goes under $tmp: any process naming it is the lab's.
leftovers() { pgrep -a -f "$tmp/pelko-lab" || true; }

# start NAME [ENV...]: the lab in a session of its own, its output in
# $tmp/NAME.out; waits until its VM runs.
start() {
  local name=$1; shift
  # Signals start at their defaults, as at a terminal (a background job of a
  # script ignores SIGINT otherwise).
  env "$@" TMPDIR="$tmp" setsid env --default-signal=INT,QUIT bash scripts/board-lab.sh "$group" \
    > "$tmp/$name.out" 2>&1 &
  lab=$!
  for _ in $(seq 1200); do
    pgrep -f "qemu-system.*$tmp/pelko-lab" >/dev/null && return 0
    kill -0 "$lab" 2>/dev/null || break
    sleep 0.5
  done
  say "$name: no VM started"; cat "$tmp/$name.out"
  return 1
}
# ended NAME SECONDS PATTERN: the lab ended within SECONDS, said PATTERN, and
# left nothing behind.
ended() {
  local name=$1 within=$2 pattern=$3 ok=1
  for _ in $(seq $((within * 2))); do kill -0 "$lab" 2>/dev/null || break; sleep 0.5; done
  if kill -0 "$lab" 2>/dev/null; then say "$name: the lab still runs $within s later"; ok=0; fi
  wait "$lab" 2>/dev/null
  lab=
  [ -z "$(leftovers)" ] || { say "$name: left running:"; leftovers; ok=0; }
  [ -z "$(ls -A "$tmp" | grep -v '\.out$')" ] || { say "$name: left behind: $(ls -A "$tmp" | grep -v '\.out$')"; ok=0; }
  grep -qE "$pattern" "$tmp/$name.out" || { say "$name: no line matching: $pattern"; ok=0; }
  if [ $ok = 1 ]; then echo "PASS: lab-stops: $name"; else echo "FAIL: lab-stops: $name"; cat "$tmp/$name.out"; failed=1; fi
}

if start sigterm; then
  sleep 60
  kill -TERM "$lab"
  ended sigterm 10 '^board-lab: stopped \(SIGTERM\)$'
else failed=1; fi
if start sigint; then
  sleep 10
  kill -INT -- "-$(ps -o pgid= "$lab" | tr -d ' ')"
  ended sigint 10 '^board-lab: stopped \(SIGINT\)$'
else failed=1; fi
if start limit PELKO_LAB_GROUP_LIMIT=20; then
  ended limit 40 "^lab: group $group: time limit of 20 s reached, VM stopped$"
else failed=1; fi
exit "$failed"
