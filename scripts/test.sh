#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite: scripts/test.sh [default|asan|tsan]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
scripts/deps.sh build test
scripts/build.sh "$preset"
ctest --preset "$preset"
