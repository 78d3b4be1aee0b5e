# Cross build for ARMv5TE and later boards: 32-bit ARM, soft-float (Debian's
# armel), with Debian's g++-arm-linux-gnueabi.
#   cmake -B build-armel-glibc --toolchain cmake/arm-linux-gnueabi.cmake
# links glibc dynamically, as Debian's armel does (the package, and the test
# binaries that tests/target/run boots); with -DBOARDTOOLS_STATIC=ON the
# programs link the musl C library statically (musl.cmake), so that one
# file runs on any 32-bit ARM board whatever C library it has.
set(BOARDTOOLS_TRIPLET arm-linux-gnueabi)
include(${CMAKE_CURRENT_LIST_DIR}/arm-cross.cmake)

# The compiler checks read this file again without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES BOARDTOOLS_STATIC)
if(BOARDTOOLS_STATIC)
  include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
endif()
