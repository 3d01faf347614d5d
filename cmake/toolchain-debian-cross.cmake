# Shared part of the cross toolchain files: Debian's cross compiler for
# PELKO_TRIPLET, the target's multiarch -dev packages (scripts/deps.sh cross),
# tests run under qemu-user through CTest's emulator support.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${PELKO_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${PELKO_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${PELKO_TRIPLET})
set(CMAKE_FIND_ROOT_PATH /usr/${PELKO_TRIPLET} /usr/lib/${PELKO_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# The multiarch libc6 of the target (pulled in by the -dev packages) provides
# /lib/ld-linux-*, so qemu needs no sysroot; the cross toolchain's own libc
# under /usr/<triplet> would mix two C libraries and crash threaded programs.
set(CMAKE_CROSSCOMPILING_EMULATOR ${PELKO_QEMU})
# GCC notes an ABI change of 2017 on ARM for every vector of structs; not ours.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
# pkg-config must see the target's .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${PELKO_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
