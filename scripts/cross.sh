#!/usr/bin/env bash
# Cross-builds for the board and runs the unit tests under qemu-user:
#   scripts/cross.sh [armhf|arm64]...   (default: armhf arm64)
# Tests that start the gateway binary as a process or depend on real-time
# line timing carry the label "native" and are left out under emulation.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build test cross
arches=("$@")
[ ${#arches[@]} -eq 0 ] && arches=(armhf arm64)
for arch in "${arches[@]}"; do
  dir=build-$arch
  echo "== $arch: build"
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELKO_BUILD_TOOLS=ON >/dev/null
  cmake --build "$dir" -j "$(nproc)"
  echo "== $arch: tests under qemu"
  ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" -LE native
  if [ "${PELKO_CROSS_PACKAGE:-1}" = 1 ]; then
    (cd "$dir" && cpack -G DEB >/dev/null && ls -1 ./*.deb)
  fi
done
