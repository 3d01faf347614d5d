#!/usr/bin/env bash
# Installs what is missing, builds, and runs the gateway against the bench
# simulator with the default scenario. Extra arguments go to pelko-sim
# (for instance --full, or --scenario tools/scenarios/bus-faults.json).
# Exit status: pelko-sim's (0 when every step of the scenario passed).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build test >/dev/null
echo "Building (build/) ..."
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! scripts/build.sh >"$log" 2>&1; then
  cat "$log"
  echo "demo.sh: the build failed" >&2
  exit 1
fi
set +e
build/tools/sim/pelko-sim "$@"
status=$?
exit $status
