# Cross-build for Debian arm64.
set(PELKO_TRIPLET aarch64-linux-gnu)
set(PELKO_QEMU qemu-aarch64)
set(PELKO_DEB_ARCH arm64)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-debian-cross.cmake)
