#!/usr/bin/env bash
# Installs the Debian packages the project needs; silent when everything is present.
# Usage: scripts/deps.sh [build] [test] [lint] [fuzz] [cross]   (default: build test)
set -euo pipefail

groups=("$@")
[ ${#groups[@]} -eq 0 ] && groups=(build test)

want=()
for g in "${groups[@]}"; do
  case "$g" in
    build) want+=(g++ cmake make pkg-config libjsoncpp-dev libsimpleini-dev libsystemd-dev) ;;
    test)  want+=(libgtest-dev python3 lintian man-db stunnel4 openssl prometheus) ;;  # prometheus: promtool checks the metrics text
    lint)  want+=(clang-tidy cppcheck) ;;
    fuzz)  want+=(clang libclang-rt-14-dev) ;;
    cross) want+=(g++-arm-linux-gnueabihf g++-aarch64-linux-gnu qemu-user
                  libjsoncpp-dev:armhf libsimpleini-dev:armhf libgtest-dev:armhf libsystemd-dev:armhf
                  libjsoncpp-dev:arm64 libsimpleini-dev:arm64 libgtest-dev:arm64 libsystemd-dev:arm64) ;;
    *) echo "deps.sh: unknown group '$g'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${want[@]}"; do
  # One line per installed architecture; any of them will do for an unqualified name.
  dpkg-query -W -f='${db:Status-Status}\n' "$p" 2>/dev/null | grep -qx installed || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "deps.sh: need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi

for p in "${missing[@]}"; do
  case "$p" in
    *:armhf) "${sudo[@]}" dpkg --print-foreign-architectures | grep -qx armhf || "${sudo[@]}" dpkg --add-architecture armhf ;;
    *:arm64) "${sudo[@]}" dpkg --print-foreign-architectures | grep -qx arm64 || "${sudo[@]}" dpkg --add-architecture arm64 ;;
  esac
done

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get -o DPkg::Lock::Timeout=900 update -q >/dev/null
"${sudo[@]}" apt-get -o DPkg::Lock::Timeout=900 install -y -q --no-install-recommends "${missing[@]}" >/dev/null
