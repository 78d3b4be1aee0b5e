# Cross build for the boards: 32-bit ARM, hard-float, glibc.
#   cmake -B build-arm --toolchain cmake/arm-linux-gnueabihf.cmake
# Needs Debian's g++-arm-linux-gnueabihf; the tests run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(BOARDTOOLS_TARGET_TRIPLET arm-linux-gnueabihf)
set(BOARDTOOLS_TARGET_SYSROOT /usr/arm-linux-gnueabihf)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(CMAKE_FIND_ROOT_PATH ${BOARDTOOLS_TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test binaries run under user-mode emulation; the programs they start are
# run the same way through binfmt_misc (see .ci/run).
find_program(BOARDTOOLS_QEMU NAMES qemu-arm-static qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${BOARDTOOLS_QEMU} -L ${BOARDTOOLS_TARGET_SYSROOT})
set(BOARDTOOLS_DEB_ARCH armhf)
