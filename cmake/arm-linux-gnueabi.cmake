# Cross build for ARMv5TE and later boards: 32-bit ARM, soft-float (Debian's
# armel), with Debian's g++-arm-linux-gnueabi.
#   cmake -B build-armel-glibc --toolchain cmake/arm-linux-gnueabi.cmake
# links glibc dynamically, as Debian's armel does (the package, and the test
# binaries that tests/target/run boots); with -DBOARDTOOLS_STATIC=ON the
# programs link the musl C library statically (Debian's musl-dev:armel), so
# that one file runs on any 32-bit ARM board whatever C library it has.
set(BOARDTOOLS_TRIPLET arm-linux-gnueabi)
include(${CMAKE_CURRENT_LIST_DIR}/arm-cross.cmake)

# The compiler checks read this file again without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES BOARDTOOLS_STATIC)
if(BOARDTOOLS_STATIC)
  # musl's specs replace the C library's headers, start files and library;
  # the C++ headers stay the cross compiler's (the programs use only their
  # header-only parts), searched ahead of musl's, as their #include_next
  # needs.  They ask glibc's version macro, which musl lacks: every answer
  # is "older", which keeps them to plain C library calls.
  set(musl_specs /usr/lib/arm-linux-musleabi/musl-gcc.specs)
  if(NOT EXISTS ${musl_specs})
    message(FATAL_ERROR "BOARDTOOLS_STATIC needs musl for armel (Debian: musl-dev:armel)")
  endif()
  file(GLOB cxx_headers LIST_DIRECTORIES true ${BOARDTOOLS_TARGET_SYSROOT}/include/c++/*)
  list(GET cxx_headers -1 cxx_headers)
  set(CMAKE_C_FLAGS_INIT "-specs=${musl_specs}")
  set(CMAKE_CXX_FLAGS_INIT "-specs=${musl_specs} -isystem ${cxx_headers} -isystem ${cxx_headers}/arm-linux-gnueabi -include ${CMAKE_CURRENT_LIST_DIR}/musl_glibc_version.h")
  set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
endif()
