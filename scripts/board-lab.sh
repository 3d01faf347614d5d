#!/usr/bin/env bash
# The board lab: the gateway on a real Linux kernel (Debian's, x86 and ARM, under
# qemu without KVM) with simulated GPIO chips (gpio-sim) and real 8250 UARTs, and
# the package under a real systemd. One VM per group; prints each group's
# checks, its time and a closing "N passed, N failed".
#   scripts/board-lab.sh [GROUP...]     (bench kernel deployed deployed-ops usb, and on ARM
#                                        arm-bench arm-kernel arm-deployed arm-usb)
# Downloads and builds (kernel modules, initramfs, the ARM root) go to
# ${PELKO_LAB_CACHE:-/var/cache/pelko-lab}, never into the checkout.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
cache=${PELKO_LAB_CACHE:-/var/cache/pelko-lab}
groups=("$@")
# arm-usb is left out by default: CI's time.
[ ${#groups[@]} -gt 0 ] || groups=(bench kernel deployed deployed-ops usb arm-bench arm-kernel arm-deployed)
say() { echo "board-lab: $*"; }
mkdir -p "$cache"

# One run at a time per cache: the builds in it and its last consoles are
# not shared.
exec {lock}>"$cache/.lock"
flock -n "$lock" || { say "another run is using $cache (its lock $cache/.lock); wait for it to end, or set PELKO_LAB_CACHE"; exit 1; }
# This run's consoles, sockets and package, gone when the run ends however it
# ends; a stop (Ctrl-C, SIGTERM, a CI time limit) stops the VM at once.
run=$(mktemp -d "${TMPDIR:-/tmp}/pelko-lab.XXXXXX")
vm= timer= relay=
stop_vm() {
  [ -n "$timer" ] && kill "$timer" 2>/dev/null
  [ -n "$relay" ] && kill "$relay" 2>/dev/null
  if [ -n "$vm" ] && kill -TERM "$vm" 2>/dev/null; then
    # qemu ends on SIGTERM within a moment; a stuck one is killed.
    for _ in $(seq 50); do kill -0 "$vm" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$vm" 2>/dev/null || true
  fi
  wait 2>/dev/null || true
  vm= timer= relay=
}
trap 'stop_vm; rm -rf "$run"' EXIT
trap 'say "stopped (SIGINT)"; exit 130' INT
trap 'say "stopped (SIGTERM)"; exit 143' TERM
trap 'say "stopped (SIGHUP)"; exit 129' HUP

# --- What the host needs: qemu, busybox, udev (device permissions in the
# guest), and one kernel version whose image, headers and source agree.
need=(qemu-system-x86 busybox-static udev gpiod cpio xz-utils gcc make systemd python3 stunnel4 openssl prometheus-node-exporter curl)
missing=()
for p in "${need[@]}"; do dpkg-query -W -f='${db:Status-Status}\n' "$p" 2>/dev/null | grep -qx installed || missing+=("$p")
done
updated=0
apt_install() {
  export DEBIAN_FRONTEND=noninteractive
  [ "$updated" = 1 ] || { apt-get update -q >/dev/null; updated=1; }
  apt-get -o DPkg::Lock::Timeout=900 install -y -q --no-install-recommends "$@" >/dev/null
}
[ ${#missing[@]} -eq 0 ] || { say "installing ${missing[*]}"; apt_install "${missing[@]}"; }

# The kernel: the one chosen before (kept in the cache), else the
# linux-image-6.1 package whose version is the candidate of linux-source-6.1.
if [ -s "$cache/kernel-version" ]; then
  read -r kver ksrcver < "$cache/kernel-version"
else
  [ "$updated" = 1 ] || { apt-get update -q >/dev/null; updated=1; }
  ksrcver=$(apt-cache policy linux-source-6.1 | awk '/Candidate:/ {print $2}')
  kver=
  for pkg in $(apt-cache search --names-only '^linux-image-6\.1\.0-[0-9]+-amd64$' | awk '{print $1}'); do
    if [ "$(apt-cache show --no-all-versions "$pkg" | awk '/^Version:/ {print $2}')" = "$ksrcver" ]; then
      kver=${pkg#linux-image-}
    fi
  done
  [ -n "$kver" ] || { say "no linux-image-6.1 package of version $ksrcver (the version of linux-source-6.1)"; exit 1; }
fi
kpkgs=("linux-image-$kver" "linux-headers-$kver" "linux-source-6.1=$ksrcver")
kmissing=()
for p in "${kpkgs[@]}"; do dpkg-query -W -f='${db:Status-Status}\n' "${p%%=*}" 2>/dev/null | grep -qx installed || kmissing+=("$p")
done
[ ${#kmissing[@]} -eq 0 ] || { say "installing ${kmissing[*]}"; apt_install "${kmissing[@]}"; }
echo "$kver $ksrcver" > "$cache/kernel-version"

# --- gpio-sim and the interrupt simulator it needs, built out of tree: the
# kernel has neither. irq_to_desc is not exported to modules, so the
# simulator calls the exported generic_handle_irq (which ends in the
# handle_simple_irq it set up) instead.
mods=$cache/modules-$kver
if [ ! -s "$mods/gpio-sim.ko" ] || [ ! -s "$mods/irq_sim.ko" ]; then
  say "building gpio-sim and irq_sim for $kver"
  rm -rf "$mods" && mkdir -p "$mods/src"
  tar -xJf /usr/src/linux-source-6.1.tar.xz -C "$mods/src" --strip-components=3 \
    linux-source-6.1/drivers/gpio/gpio-sim.c linux-source-6.1/drivers/gpio/gpiolib.h linux-source-6.1/kernel/irq/irq_sim.c
  sed -i 's/handle_simple_irq(irq_to_desc(irqnum));/generic_handle_irq(irqnum);/' "$mods/src/irq_sim.c"
  grep -q 'generic_handle_irq(irqnum);' "$mods/src/irq_sim.c" || { say "irq_sim.c no longer looks as expected"; exit 1; }
  printf '\nMODULE_LICENSE("GPL");\n' >> "$mods/src/irq_sim.c"
  printf 'obj-m := irq_sim.o gpio-sim.o\n' > "$mods/src/Kbuild"
  make -s -C "/lib/modules/$kver/build" M="$mods/src" -j2 modules >"$mods/build.log" 2>&1 || { cat "$mods/build.log"; exit 1; }
  cp "$mods/src/irq_sim.ko" "$mods/src/gpio-sim.ko" "$mods/"
fi

# --- The initramfs: busybox, the modules that reach the host's root over 9p
# and lay the overlay, and the lab's init.
# pack_initramfs DIR MODULE-TREE OUT: DIR (busybox in its bin/) with the lab's
# init and those modules from MODULE-TREE, each after the ones it needs as
# modules.dep lists them, packed into OUT; DIR is removed.
pack_initramfs() {
  local dir=$1 tree=$2 out=$3 m
  cp tools/lab/init "$dir/init"
  : > "$dir/modules.order"
  add_module() {
    local rel=$1 dep
    grep -qx "${rel##*/}" "$dir/modules.order" && return 0
    for dep in $(awk -v m="$rel:" '$1 == m { $1 = ""; print }' "$tree/modules.dep"); do add_module "$dep"; done
    cp "$tree/$rel" "$dir/modules/" && echo "${rel##*/}" >> "$dir/modules.order"
  }
  for m in drivers/virtio/virtio_pci net/9p/9pnet_virtio fs/9p/9p fs/overlayfs/overlay; do add_module "kernel/$m.ko"; done
  (cd "$dir" && find . | cpio -o -H newc --quiet | gzip -1) > "$out.new" && mv "$out.new" "$out"
  rm -rf "$dir"
}
initrd=$cache/initramfs-$kver.cpio.gz
if [ ! -s "$initrd" ] || [ tools/lab/init -nt "$initrd" ] || [ scripts/board-lab.sh -nt "$initrd" ]; then
  say "making the initramfs"
  dir=$(mktemp -d)
  mkdir -p "$dir"/{bin,proc,sys,dev,modules}
  cp /bin/busybox "$dir/bin/busybox"
  pack_initramfs "$dir" "/lib/modules/$kver" "$initrd"
fi

# --- The project: its build and its package.
# Up to date in seconds when it is.
say "building the project"
scripts/deps.sh build test
scripts/build.sh default >/dev/null
debdir=$run/deb && mkdir -p "$debdir"
(cd build && cpack -G DEB -B "$debdir" >/dev/null) || { say "cpack failed"; exit 1; }

# boot_vm GROUP LIMIT QEMU...: one VM, its console in $run/GROUP.log, ended
# after LIMIT seconds. qemu runs as the script's own child (no `timeout`,
# whose process group a stop would miss) and dies with the script even if
# the script is killed outright (--pdeathsig).
boot_vm() {
  local group=$1 limit=$2; shift 2
  setpriv --pdeathsig KILL "$@" {lock}>&- </dev/null >"$run/$group.log" 2>&1 &
  vm=$!
  if [ "$with_relay" = 1 ]; then
    python3 tools/lab/qmp-relay.py "$run/qmp.sock" "$run/$group.log" "$run/$group.qmp.log" {lock}>&- &
    relay=$!
  fi
  sleep "$limit" {lock}>&- & timer=$!
  local done= late=
  wait -n -p done "$vm" "$timer" || true
  [ "$done" != "$timer" ] || { late=1 timer=; }
  stop_vm
  # Once qemu is gone: its own writes to the console would overwrite it.
  [ -z "$late" ] || echo "lab: group $group: time limit of $limit s reached, VM stopped" >> "$run/$group.log"
}

# --- One VM per group. On x86, ttyS0 is the console; ttyS1 and ttyS2 are
# joined as a null modem by one socket (the gateway on ttyS1, the simulated
# bus on ttyS2); ttyS3 leads nowhere (a second gateway's bus that nobody
# answers on). The guest finds them at run time: the console from the
# kernel, the ports as the 8250 ports that are not the console, in order.
x86_qemu() {
  local group=$1
  console=ttyS0 vmodules=$mods build=$repo/build deb=$debdir
  qemu=(qemu-system-x86_64 -accel tcg -smp 1 -m 512 -nodefaults -no-reboot
    -display none -monitor none -serial stdio
    -chardev socket,id=line1,path="$run/$group.sock",server=on,wait=off -serial chardev:line1
    -chardev socket,id=line2,path="$run/$group.sock" -serial chardev:line2
    -chardev null,id=line3 -serial chardev:line3
    -kernel "/boot/vmlinuz-$kver" -initrd "$initrd"
    -fsdev local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap
    -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot)
  append="pelko.kver=$kver"
  [ "$group" != usb ] || usb_adapter
}
# The usb group: the bus's end (ttyS2) joined to a USB serial adapter on an
# xHCI bus instead of ttyS1, which leads nowhere then. Its serial number and
# port are pinned so that its by-id name stays when it comes back; the guest
# pulls it out and puts it back through QMP (tools/lab/qmp-relay.py).
usb_adapter() {
  qemu=("${qemu[@]/id=line1,path=*/id=usb1,path=$run/$group.sock,server=on,wait=off}")
  qemu+=(-chardev null,id=line1 -device qemu-xhci,id=xhci
    -device usb-serial,id=us1,serial=LAB0001,chardev=usb1,bus=xhci.0,port=1
    -qmp "unix:$run/qmp.sock,server=on,wait=off")
  with_relay=1
}
passed=0 failed=0
run_group() {
  local group=$1 boot=script limit=600 start qemu append console vmodules build deb with_relay=0
  case "$group" in deployed|arm-deployed|usb|arm-usb) boot=systemd limit=1600 ;; deployed-ops) boot=systemd limit=1500 ;; esac
  case "$group" in arm-*) limit=$((limit * 3 / 2)); arm_qemu "$group" ;; *) x86_qemu "$group" ;; esac
  limit=${PELKO_LAB_GROUP_LIMIT:-$limit}
  start=$(date +%s)
  boot_vm "$group" "$limit" "${qemu[@]}" -append "console=$console panic=-1 quiet loglevel=3 pelko.boot=$boot pelko.group=$group pelko.limit=$limit pelko.lab=$repo/tools/lab pelko.repo=$repo pelko.build=$build pelko.deb=$deb pelko.run=$run pelko.cache=$cache pelko.modules=$vmodules $append"
  report_group "$group" "$run/$group.log" "$start"
}
report_group() {
  local group=$1 log=$2 start=$3 p f
  mkdir -p "$cache/logs" && cp "$log" "$cache/logs/"
  [ ! -e "${log%.log}.qmp.log" ] || cp "${log%.log}.qmp.log" "$cache/logs/"
  tr -d '\r' < "$log" | grep -E '^(PASS|FAIL|SKIP|lab:)' || true
  p=$(tr -d '\r' < "$log" | grep -c '^PASS' || true)
  f=$(tr -d '\r' < "$log" | grep -c '^FAIL' || true)
  if ! tr -d '\r' < "$log" | grep -q "^lab: group $group done"; then
    echo "FAIL: $group: the guest did not finish the group; its console in $cache/logs/${log##*/}:"
    tail -n 30 "$log"
    f=$((f + 1))
  fi
  say "group $group: $p passed, $f failed in $(($(date +%s) - start)) s"
  passed=$((passed + p)) failed=$((failed + f))
}
case " ${groups[*]}" in *" arm-"*) source tools/lab/arm-host.sh ;; esac
for g in "${groups[@]}"; do run_group "$g"; done
echo "board-lab: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
