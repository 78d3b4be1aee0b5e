# Cross build for the boards: 32-bit ARM, hard-float, glibc.
#   cmake -B build-arm --toolchain cmake/arm-linux-gnueabihf.cmake
# Needs Debian's g++-arm-linux-gnueabihf.  The test binaries run on the
# board's own kernel, booted under emulation by tests/target/run.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(BOARDTOOLS_TARGET_SYSROOT /usr/arm-linux-gnueabihf)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(CMAKE_FIND_ROOT_PATH ${BOARDTOOLS_TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
