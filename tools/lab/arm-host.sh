# The board lab's ARM side, host part; sourced by scripts/board-lab.sh when an
# arm-* group is asked for (it sets repo, cache, run, kver, say, apt_install).
# Prepares once into $cache/arm-<kernel>: Debian's armmp kernel (the same
# version as the x86 lab's) with its modules, gpio-sim built for it out of
# tree, an armhf root filesystem (mmdebstrap, kept as a tarball), and a
# busybox initramfs; then builds the armhf tree and package. Defines
# arm_qemu: the qemu command for a group.

akver=${kver%-amd64}-armmp
arm=$cache/arm-$akver
mkdir -p "$arm"
need_arm=(qemu-system-arm qemu-user-static mmdebstrap gcc-arm-linux-gnueabihf)
missing_arm=()
for p in "${need_arm[@]}"; do dpkg-query -W -f='${db:Status-Status}\n' "$p" 2>/dev/null | grep -qx installed || missing_arm+=("$p")
done
[ ${#missing_arm[@]} -eq 0 ] || { say "installing ${missing_arm[*]}"; apt_install "${missing_arm[@]}"; }
dpkg --print-foreign-architectures | grep -qx armhf || { dpkg --add-architecture armhf; updated=0; }

# The packages, fetched and unpacked, never installed on the host.
arm_debs=("linux-image-$akver:armhf" "linux-headers-$akver:armhf" busybox-static:armhf)
if [ ! -s "$arm/debs/done" ]; then
  say "fetching ${arm_debs[*]}"
  [ "$updated" = 1 ] || { apt-get update -q >/dev/null; updated=1; }
  rm -rf "$arm/debs" && mkdir -p "$arm/debs"
  (cd "$arm/debs" && apt-get download -q "${arm_debs[@]}" >/dev/null 2>&1) || { say "apt-get download ${arm_debs[*]} failed"; exit 1; }
  echo ok > "$arm/debs/done"
fi

# The root filesystem: Debian 12 armhf with systemd and what the checks
# use. Its package scripts run ARM programs: under qemu-arm-static, in a
# user namespace with a binfmt_misc of its own (tools/lab/arm-userns.sh).
arm_packages=systemd,systemd-sysv,udev,kmod,busybox,bash,coreutils,dpkg,python3,gpiod,procps,iproute2,libjsoncpp25,libsimpleini1,libsystemd0,libstdc++6,stunnel4,openssl
rootfs=$arm/rootfs-bookworm-armhf.tar.gz
if [ ! -s "$rootfs" ] || [ "$(cat "$arm/rootfs.packages" 2>/dev/null)" != "$arm_packages" ]; then
  say "making the armhf root filesystem (mmdebstrap, a few minutes)"
  sources=/etc/apt/sources.list.d/debian.sources
  [ -s "$sources" ] || sources=/etc/apt/sources.list
  bash tools/lab/arm-userns.sh mmdebstrap --mode=root --arch=armhf --variant=minbase --skip=check/qemu \
    --include="$arm_packages" bookworm "$rootfs.new.tar.gz" "$sources" > "$arm/mmdebstrap.log" 2>&1 ||
    { tail -n 20 "$arm/mmdebstrap.log"; say "mmdebstrap failed"; exit 1; }
  mv "$rootfs.new.tar.gz" "$rootfs"
  echo "$arm_packages" > "$arm/rootfs.packages"
  rm -rf "$arm/root"
fi
# Unpacked with the kernel's modules in it, the guest's root over 9p.
if [ ! -e "$arm/root/.lab-ready" ]; then
  say "unpacking the armhf root filesystem and the armmp kernel"
  rm -rf "$arm/root" "$arm/kernel" && mkdir -p "$arm/root" "$arm/kernel"
  tar --numeric-owner -xpzf "$rootfs" -C "$arm/root"
  # Beside it, not into it: unpacked over the root, the package's lib/
  # would replace the merged /usr's lib -> usr/lib link.
  dpkg-deb -x "$arm"/debs/linux-image-"$akver"_*.deb "$arm/kernel"
  cp -a "$arm/kernel/boot/." "$arm/root/boot/"
  mkdir -p "$arm/root/usr/lib/modules" && cp -a "$arm/kernel/lib/modules/." "$arm/root/usr/lib/modules/"
  rm -rf "$arm/kernel"
  # The package has no modules.dep.
  depmod -b "$arm/root" "$akver"
  echo lab > "$arm/root/etc/hostname"
  : > "$arm/root/.lab-ready"
fi

# gpio-sim and irq_sim for armmp: the armhf headers with the host's own kbuild
# tools (the x86 lab's headers bring them) and the ARM cross-compiler. The
# host's modpost sizes struct of_device_id as x86 does and refuses gpio-sim's
# device-tree table; nothing matches the module by device tree here, so the
# table goes.
amods=$arm/modules
if [ ! -s "$amods/gpio-sim.ko" ] || [ ! -s "$amods/irq_sim.ko" ]; then
  say "building gpio-sim and irq_sim for $akver"
  rm -rf "$amods" && mkdir -p "$amods/src" "$amods/headers/usr/lib"
  for d in "$arm"/debs/linux-headers-"$akver"_*.deb; do dpkg-deb -x "$d" "$amods/headers"; done
  ln -s /usr/lib/linux-kbuild-6.1 "$amods/headers/usr/lib/linux-kbuild-6.1"
  cp "$mods/src/irq_sim.c" "$mods/src/gpiolib.h" "$mods/src/Kbuild" "$amods/src/"
  tar -xJf /usr/src/linux-source-6.1.tar.xz -C "$amods/src" --strip-components=3 linux-source-6.1/drivers/gpio/gpio-sim.c
  sed -i '/^MODULE_DEVICE_TABLE(of, /d' "$amods/src/gpio-sim.c"
  make -s -C "$amods/headers/usr/src/linux-headers-$akver" M="$amods/src" ARCH=arm CROSS_COMPILE=arm-linux-gnueabihf- \
    -j2 modules >"$amods/build.log" 2>&1 || { cat "$amods/build.log"; exit 1; }
  cp "$amods/src/irq_sim.ko" "$amods/src/gpio-sim.ko" "$amods/"
  rm -rf "$amods/headers"
fi

# The initramfs: armhf busybox, the modules that reach the root over 9p (virtio
# itself is built into armmp), the lab's init.
ainitrd=$arm/initramfs.cpio.gz
if [ ! -s "$ainitrd" ] || [ tools/lab/init -nt "$ainitrd" ] || [ tools/lab/arm-host.sh -nt "$ainitrd" ]; then
  say "making the armhf initramfs"
  dir=$(mktemp -d "$run/initramfs.XXXXXX")
  mkdir -p "$dir"/{bin,proc,sys,dev,modules}
  dpkg-deb --fsys-tarfile "$arm"/debs/busybox-static_*.deb | tar -xO ./bin/busybox > "$dir/bin/busybox"
  chmod 755 "$dir/bin/busybox"
  pack_initramfs "$dir" "$arm/root/lib/modules/$akver" "$ainitrd"
fi

# The armhf tree as scripts/cross.sh builds it (up to date in seconds after
# it ran), and its package.
say "building the project for armhf"
scripts/deps.sh build test cross
cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELKO_BUILD_TOOLS=ON >/dev/null
cmake --build build-armhf -j "$(nproc)" >/dev/null
mkdir -p "$run/deb-armhf"
(cd build-armhf && cpack -G DEB -B "$run/deb-armhf" >/dev/null) || { say "cpack (armhf) failed"; exit 1; }

# arm_qemu GROUP: sets qemu (the command) and console for a group: qemu's
# virt board (armmp has no LPAE: highmem=off), its PL011 as the console
# (ttyAMA0), four 16550A ports on PCI wired as on x86 (the first two joined,
# the others nowhere), the armhf root and, beside it, the host's root over
# 9p (the checkout, the cache and the run's folder).
arm_qemu() {
  local group=$1
  console=ttyAMA0 vmodules=$amods build=$repo/build-armhf deb=$run/deb-armhf
  qemu=(qemu-system-arm -M virt,highmem=off -cpu cortex-a15 -smp 1 -m 512 -nodefaults -no-reboot
    -display none -monitor none -serial stdio
    -chardev socket,id=line1,path="$run/$group.sock",server=on,wait=off
    -chardev socket,id=line2,path="$run/$group.sock"
    -chardev null,id=line3 -chardev null,id=line4
    -device pci-serial-4x,chardev1=line1,chardev2=line2,chardev3=line3,chardev4=line4
    -kernel "$arm/root/boot/vmlinuz-$akver" -initrd "$ainitrd"
    -fsdev local,id=armroot,path="$arm/root",security_model=none,readonly=on,multidevs=remap
    -device virtio-9p-pci,fsdev=armroot,mount_tag=hostroot
    -fsdev local,id=hostfs,path=/,security_model=none,readonly=on,multidevs=remap
    -device virtio-9p-pci,fsdev=hostfs,mount_tag=hostfs)
  append="pelko.hostfs=9p pelko.kver=$akver"
  [ "$group" != arm-usb ] || usb_adapter
}
