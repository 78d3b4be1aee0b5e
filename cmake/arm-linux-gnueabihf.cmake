# Cross build for the boards: 32-bit ARM, hard-float, glibc.
#   cmake -B build-arm --toolchain cmake/arm-linux-gnueabihf.cmake
# Needs Debian's g++-arm-linux-gnueabihf.  The test binaries run on the
# board's own kernel, booted under emulation by tests/target/run.
set(BOARDTOOLS_TRIPLET arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/arm-cross.cmake)
