# Cross-build for Debian armhf.
set(PELKO_TRIPLET arm-linux-gnueabihf)
set(PELKO_QEMU qemu-arm)
set(PELKO_DEB_ARCH armhf)
set(CMAKE_SYSTEM_PROCESSOR arm)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-debian-cross.cmake)
