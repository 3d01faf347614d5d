#!/usr/bin/env bash
# Runs a command as root of a user namespace of its own (every id mapped to
# the same id outside) with its own mounts and processes, and its own
# binfmt_misc where ARM programs run under qemu-arm-static: package scripts
# of an armhf root filesystem can run without touching the host's binfmt
# settings. Needs a kernel that mounts binfmt_misc per user namespace (6.7+).
#   arm-userns.sh COMMAND...
set -euo pipefail
if [ "${1:-}" = --inside ]; then
  shift
  # Wait for the parent to write the id maps (no newuidmap here).
  for _ in $(seq 100); do [ "$(id -u)" = 0 ] && break; sleep 0.05; done
  [ "$(id -u)" = 0 ] || { echo "arm-userns: no id map" >&2; exit 1; }
  mount -t proc proc /proc
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  qemu=$(command -v qemu-arm-static)
  # The F flag opens the interpreter now, so it works inside any chroot.
  printf ':qemu-arm:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x28\\x00:\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:%s:F\n' "$qemu" \
    > /proc/sys/fs/binfmt_misc/register
  exec "$@"
fi
unshare --user --mount --pid --fork --propagation private "$0" --inside "$@" &
child=$!
# unshare made the namespace before it forked: its own maps are the child's.
for _ in $(seq 100); do [ -e "/proc/$child/uid_map" ] && [ "$(readlink /proc/$child/ns/user)" != "$(readlink /proc/self/ns/user)" ] && break; sleep 0.02; done
echo "0 0 4294967295" > "/proc/$child/uid_map"
echo "0 0 4294967295" > "/proc/$child/gid_map"
trap 'kill "$child" 2>/dev/null' INT TERM
wait "$child"
