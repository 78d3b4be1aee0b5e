# Build rules shared by the three programs: each must run on a small board
# with nothing but the C library, so C++ is used only where it costs nothing
# at run time.
# 64-bit time and file offsets on 32-bit boards too, for everything built
# here (programs, their units, tests, fuzz targets): a board stays in the
# field past January 2038, and a file stamped later, or grown past 2 GiB,
# must read as any other.  64-bit hosts have both already.
add_compile_definitions(_FILE_OFFSET_BITS=64 _TIME_BITS=64)
# Our builds and CI treat a warning as an error; a distribution's build
# (debian/rules) turns that off, so that a newer compiler's new warnings
# cannot break a package build.
option(BOARDTOOLS_WERROR "Treat the programs' warnings as errors" ON)
set(BOARDTOOLS_PROGRAM_FLAGS
  -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
  -ffunction-sections -fdata-sections
  -Wall -Wextra -Wpedantic -Wconversion $<$<BOOL:${BOARDTOOLS_WERROR}>:-Werror>
  # Release builds are for flash: size before speed.
  $<$<CONFIG:Release>:-Os>)
# -static-libgcc: 32-bit ARM's 64-bit division helpers would otherwise pull
# in libgcc_s for their unwinding tables.
set(BOARDTOOLS_PROGRAM_LINK_FLAGS -Wl,--as-needed -Wl,--gc-sections -static-libgcc)

# Hardening builds, each in a build directory of its own (.ci/harden):
#  BOARDTOOLS_SANITIZE  the programs, their units and their tests under
#                       AddressSanitizer and UndefinedBehaviorSanitizer; the
#                       first finding ends the process.
#  BOARDTOOLS_FUZZ      the libFuzzer targets and the replay of their corpora
#                       (clang only).
# A program directory may narrow BOARDTOOLS_SANITIZERS for its own targets:
# wdpulse never calls the allocator and takes its memory by moving the
# program break, which ASan neither tracks nor checks, so it runs under
# UBSan alone (and valgrind's memcheck, which does follow the break).
option(BOARDTOOLS_SANITIZE "Build and test under ASan and UBSan" OFF)
option(BOARDTOOLS_FUZZ "Build the libFuzzer targets (clang)" OFF)
set(BOARDTOOLS_SANITIZERS address,undefined)
if(BOARDTOOLS_SANITIZE AND BOARDTOOLS_FUZZ)
  message(FATAL_ERROR "BOARDTOOLS_SANITIZE and BOARDTOOLS_FUZZ need separate build directories")
endif()
if(BOARDTOOLS_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "BOARDTOOLS_FUZZ needs clang (-DCMAKE_CXX_COMPILER=clang++)")
  endif()
  # The fuzz build replays its corpora as tests whether or not it builds
  # the test suites.
  enable_testing()
  add_custom_target(fuzz_targets)
endif()

# boardtools_instrument(<target> <PRIVATE|INTERFACE>): the hardening build's
# sanitizers for one target; INTERFACE for a static library's link flags,
# which only its users' links can take.
function(boardtools_instrument target link_scope)
  set(sanitize "")
  if(BOARDTOOLS_SANITIZE)
    set(sanitize ${BOARDTOOLS_SANITIZERS})
  elseif(BOARDTOOLS_FUZZ)
    # Only the fuzz targets run in this build, and none moves the break.
    set(sanitize address,undefined)
  endif()
  if(sanitize STREQUAL "")
    return()
  endif()
  set(flags -fsanitize=${sanitize} -fno-sanitize-recover=all -fno-omit-frame-pointer)
  if(BOARDTOOLS_FUZZ)
    # Coverage for libFuzzer to steer by; the fuzz targets add its main.
    target_compile_options(${target} PRIVATE ${flags} -fsanitize=fuzzer-no-link)
  else()
    target_compile_options(${target} PRIVATE ${flags})
  endif()
  target_link_options(${target} ${link_scope} ${flags})
endfunction()

# add_program_units(<target> <sources>...): the program's units as a static
# library, so the unit tests link exactly the code the program runs.
function(add_program_units target)
  add_library(${target} STATIC ${ARGN})
  target_compile_options(${target} PRIVATE ${BOARDTOOLS_PROGRAM_FLAGS})
  target_include_directories(${target} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  boardtools_instrument(${target} INTERFACE)
endfunction()

# add_program(<name> <units-target> <main-source> [SBIN] [MANPAGE <page>]
#             [AVOIDS <function>...])
# The executable, installed in bin/ (sbin/ for daemons) with its manual
# page; the build prints its stripped size.  AVOIDS names C library
# functions the program must not import (checked with its linkage).
function(add_program name units main)
  cmake_parse_arguments(PARSE_ARGV 3 arg "SBIN" "MANPAGE" "AVOIDS")
  add_executable(${name} ${main})
  target_compile_options(${name} PRIVATE ${BOARDTOOLS_PROGRAM_FLAGS})
  target_link_libraries(${name} PRIVATE ${units})
  target_link_options(${name} PRIVATE ${BOARDTOOLS_PROGRAM_LINK_FLAGS})
  boardtools_instrument(${name} PRIVATE)
  if(BOARDTOOLS_SANITIZE)
    target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/cmake/sanitizer_options.cpp)
  endif()
  add_custom_command(TARGET ${name} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${name}> -DSTRIP=${CMAKE_STRIP}
            -P ${CMAKE_SOURCE_DIR}/cmake/PrintSize.cmake
    VERBATIM)
  if(arg_SBIN)
    install(TARGETS ${name} RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
  else()
    install(TARGETS ${name} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  if(arg_MANPAGE)
    set(page ${CMAKE_CURRENT_SOURCE_DIR}/${arg_MANPAGE})
    string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${arg_MANPAGE})
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endif()
  if(BOARDTOOLS_TESTS)
    # A hardening build links the sanitizers' runtimes by design.
    if(NOT BOARDTOOLS_SANITIZE AND NOT BOARDTOOLS_FUZZ)
      add_test(NAME ${name}.links_libc_only
               COMMAND ${CMAKE_SOURCE_DIR}/tests/check_linkage.sh $<TARGET_FILE:${name}> ${CMAKE_NM}
                       ${arg_AVOIDS})
    endif()
    if(arg_MANPAGE)
      add_test(NAME ${name}.manpage_renders_cleanly
               COMMAND ${CMAKE_SOURCE_DIR}/tests/check_manpage.sh ${page})
    endif()
  endif()
endfunction()

# add_program_tests(<name> <sources>...): one GoogleTest binary per program,
# told where the built programs and the test shim are.
function(add_program_tests name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE testsupport GTest::gtest_main)
  boardtools_instrument(${name} PRIVATE)
  if(BOARDTOOLS_SANITIZE)
    target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/cmake/sanitizer_options.cpp)
    target_compile_definitions(${name} PRIVATE BOARDTOOLS_UNIT_TESTS)
  endif()
  if(CMAKE_CROSSCOMPILING)
    # Nothing here can run a target binary: tests/target/run boots the
    # board's kernel and runs each binary named in target-tests/ there.
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/target-tests/${name} CONTENT "$<TARGET_FILE:${name}>\n")
    return()
  endif()
  # Named after the binary, so that "ctest -R <program>" finds all of a
  # program's tests.  The skip pattern has no backslash: CMake 3.18 drops
  # them here, and "[  SKIPPED ]" alone would match any output as a set.
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_PREFIX "${name}."
    PROPERTIES TIMEOUT 120 SKIP_REGULAR_EXPRESSION "[[]  SKIPPED []]")
endfunction()

# add_fuzz_target(<name> <units-target> <source>): in fuzz builds, a
# libFuzzer target over the program's own units, and a test that replays
# its corpus, fuzz/corpus/<name>, so an input once found stays a
# regression case.  A target <name>_aligned, the same source over units
# built another way (flowtally's, as ARMv5 builds them), shares <name>'s
# corpus (.ci/harden knows this too).
function(add_fuzz_target name units source)
  if(NOT BOARDTOOLS_FUZZ)
    return()
  endif()
  add_executable(${name}_fuzz ${source})
  target_link_libraries(${name}_fuzz PRIVATE ${units})
  target_include_directories(${name}_fuzz PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  set(flags -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
  target_compile_options(${name}_fuzz PRIVATE ${flags} -Wall -Wextra -Wconversion)
  target_link_options(${name}_fuzz PRIVATE ${flags})
  add_dependencies(fuzz_targets ${name}_fuzz)
  # -runs=0: run every corpus input once, fuzz nothing.
  string(REGEX REPLACE "_aligned$" "" corpus ${name})
  add_test(NAME ${name}_fuzz.replays_corpus
           COMMAND ${name}_fuzz -runs=0 ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus/${corpus})
  set_tests_properties(${name}_fuzz.replays_corpus PROPERTIES LABELS fuzz TIMEOUT 120)
endfunction()
