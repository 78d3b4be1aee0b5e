# A static build against Debian's musl (musl-dev of the board's
# architecture) with Debian's glibc cross compiler, BOARDTOOLS_TRIPLET-g++;
# a toolchain file includes this when BOARDTOOLS_STATIC is on, and the
# project's own settings make the link static.
# musl's specs replace the C library's headers, start files and library;
# the C++ headers stay the cross compiler's (the programs use only their
# header-only parts), searched ahead of musl's, as their #include_next
# needs.  They ask glibc's version macro, which musl lacks: every answer is
# "older", which keeps them to plain C library calls.
string(REPLACE "-gnu" "-musl" musl_triplet ${BOARDTOOLS_TRIPLET})
set(musl_specs /usr/lib/${musl_triplet}/musl-gcc.specs)
if(NOT EXISTS ${musl_specs})
  message(FATAL_ERROR "BOARDTOOLS_STATIC needs musl for ${BOARDTOOLS_TRIPLET}: no ${musl_specs} "
                      "(Debian: musl-dev of the board's architecture, musl-dev:armel for armel)")
endif()
# The compiler's own headers, named after its version.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpversion
                OUTPUT_VARIABLE cxx_version OUTPUT_STRIP_TRAILING_WHITESPACE)
set(cxx_headers ${BOARDTOOLS_TARGET_SYSROOT}/include/c++/${cxx_version})
if(cxx_version STREQUAL "" OR NOT EXISTS ${cxx_headers}/${BOARDTOOLS_TRIPLET})
  message(FATAL_ERROR "BOARDTOOLS_STATIC: no C++ headers of ${CMAKE_CXX_COMPILER} "
                      "(version '${cxx_version}') in ${cxx_headers}/${BOARDTOOLS_TRIPLET}")
endif()
set(CMAKE_C_FLAGS_INIT "-specs=${musl_specs}")
set(CMAKE_CXX_FLAGS_INIT "-specs=${musl_specs} -isystem ${cxx_headers} -isystem ${cxx_headers}/${BOARDTOOLS_TRIPLET} -include ${CMAKE_CURRENT_LIST_DIR}/musl_glibc_version.h")
