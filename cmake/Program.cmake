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
option(BOARDTOOLS_SANITIZE "Build and test under ASan and UBSan" OFF)
option(BOARDTOOLS_FUZZ "Build the libFuzzer targets (clang)" OFF)
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

# BOARDTOOLS_STATIC links the programs statically whatever the toolchain.
# A toolchain that cannot is refused here, rather than its dynamic build
# being packed as a static one.
if(BOARDTOOLS_STATIC)
  if(BOARDTOOLS_SANITIZE OR BOARDTOOLS_FUZZ)
    message(FATAL_ERROR "BOARDTOOLS_STATIC cannot link the sanitizers' runtimes: "
                        "build BOARDTOOLS_SANITIZE or BOARDTOOLS_FUZZ in a build directory of its own")
  endif()
  list(APPEND BOARDTOOLS_PROGRAM_LINK_FLAGS -static)
  set(probe ${CMAKE_BINARY_DIR}/CMakeFiles/static_link)
  file(WRITE ${probe}.cpp "#include <unistd.h>\nint main() { return getpid() < 0; }\n")
  try_compile(static_links ${probe} ${probe}.cpp
              LINK_OPTIONS ${BOARDTOOLS_PROGRAM_LINK_FLAGS} OUTPUT_VARIABLE out)
  if(NOT static_links)
    # The linker names the library it lacks ("cannot find -lc").
    string(REGEX MATCHALL "cannot find [^\n]*" missing "${out}")
    list(REMOVE_DUPLICATES missing)
    if(missing STREQUAL "")
      set(missing "${out}")
    endif()
    message(FATAL_ERROR "BOARDTOOLS_STATIC: ${CMAKE_CXX_COMPILER} cannot link a static program, "
                        "which needs the toolchain's static C and C++ libraries (libc.a, "
                        "libstdc++.a):\n${missing}")
  endif()
endif()

# boardtools_instrument(<target> <sanitizers>): the hardening build's
# sanitizers for one target, as -fsanitize= takes them (empty: ASan and
# UBSan).  A static library's link flags go to its users' links; an
# executable also gets the sanitizers' defaults.
function(boardtools_instrument target sanitizers)
  if(NOT BOARDTOOLS_SANITIZE AND NOT BOARDTOOLS_FUZZ)
    return()
  endif()
  # In a fuzz build only the fuzz targets run, and none moves the break.
  if(BOARDTOOLS_FUZZ OR sanitizers STREQUAL "")
    set(sanitizers address,undefined)
  endif()
  set(flags -fsanitize=${sanitizers} -fno-sanitize-recover=all -fno-omit-frame-pointer)
  if(BOARDTOOLS_FUZZ)
    # Coverage for libFuzzer to steer by; the fuzz targets add its main.
    target_compile_options(${target} PRIVATE ${flags} -fsanitize=fuzzer-no-link)
  else()
    target_compile_options(${target} PRIVATE ${flags})
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "STATIC_LIBRARY")
    target_link_options(${target} INTERFACE ${flags})
    return()
  endif()
  target_link_options(${target} PRIVATE ${flags})
  if(BOARDTOOLS_SANITIZE)
    target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/cmake/sanitizer_options.cpp)
  endif()
endfunction()

# Each function below takes [SANITIZERS <list>] for targets that the
# hardening build must not put under both sanitizers: wdpulse's, whose
# memory comes from moving the program break, which ASan neither tracks nor
# checks.

# add_program_units(<target> <sources>... [SANITIZERS <list>]): the
# program's units as a static library, so the unit tests link exactly the
# code the program runs.
function(add_program_units target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "SANITIZERS" "")
  add_library(${target} STATIC ${arg_UNPARSED_ARGUMENTS})
  target_compile_options(${target} PRIVATE ${BOARDTOOLS_PROGRAM_FLAGS})
  target_include_directories(${target} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  boardtools_instrument(${target} "${arg_SANITIZERS}")
endfunction()

# add_program(<name> <units-target> <main-source> [SBIN] [MANPAGE <page>]
#             [AVOIDS <function>...] [SANITIZERS <list>])
# The executable, installed in bin/ (sbin/ for daemons) with its manual
# page; the build prints its stripped size.  AVOIDS names C library
# functions the program must not import (checked with its linkage).
function(add_program name units main)
  cmake_parse_arguments(PARSE_ARGV 3 arg "SBIN" "MANPAGE;SANITIZERS" "AVOIDS")
  add_executable(${name} ${main})
  target_compile_options(${name} PRIVATE ${BOARDTOOLS_PROGRAM_FLAGS})
  target_link_libraries(${name} PRIVATE ${units})
  target_link_options(${name} PRIVATE ${BOARDTOOLS_PROGRAM_LINK_FLAGS})
  boardtools_instrument(${name} "${arg_SANITIZERS}")
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
      # Status 77: neither formatter is installed here (outside CI).
      add_test(NAME ${name}.manpage_renders_cleanly
               COMMAND ${CMAKE_SOURCE_DIR}/tests/check_manpage.sh ${page})
      set_tests_properties(${name}.manpage_renders_cleanly PROPERTIES SKIP_RETURN_CODE 77)
    endif()
  endif()
endfunction()

# add_program_tests(<name> <sources>... [UNITS <units-target>]
#                   [PROGRAMS <program>...] [SANITIZERS <list>])
# A GoogleTest binary over a program's units and the built programs, whose
# paths it is given as <PROGRAM>_BIN (FLOWTALLY_BIN) and which are built
# before it.
function(add_program_tests name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "UNITS;SANITIZERS" "PROGRAMS")
  add_executable(${name} ${arg_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${arg_UNITS} testsupport GTest::gtest_main)
  foreach(program IN LISTS arg_PROGRAMS)
    string(TOUPPER ${program} define)
    target_compile_definitions(${name} PRIVATE ${define}_BIN="$<TARGET_FILE:${program}>")
    add_dependencies(${name} ${program})
  endforeach()
  boardtools_instrument(${name} "${arg_SANITIZERS}")
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

# add_fuzz_target(<name> <units-target> <source> [CORPUS <corpus>]): in
# fuzz builds, a libFuzzer target over the program's own units, and a test
# that replays its corpus, fuzz/corpus/<corpus> (default <name>), so an
# input once found stays a regression case.  fuzz-corpora/<name> in
# the build folder names that corpus for .ci/harden.
function(add_fuzz_target name units source)
  if(NOT BOARDTOOLS_FUZZ)
    return()
  endif()
  cmake_parse_arguments(PARSE_ARGV 3 arg "" "CORPUS" "")
  if(NOT arg_CORPUS)
    set(arg_CORPUS ${name})
  endif()
  set(corpus ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus/${arg_CORPUS})
  add_executable(${name}_fuzz ${source})
  target_link_libraries(${name}_fuzz PRIVATE ${units})
  target_include_directories(${name}_fuzz PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  set(flags -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
  target_compile_options(${name}_fuzz PRIVATE ${flags} -Wall -Wextra -Wconversion)
  target_link_options(${name}_fuzz PRIVATE ${flags})
  add_dependencies(fuzz_targets ${name}_fuzz)
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/fuzz-corpora/${name} CONTENT "${corpus}\n")
  # -runs=0: run every corpus input once, fuzz nothing.
  add_test(NAME ${name}_fuzz.replays_corpus COMMAND ${name}_fuzz -runs=0 ${corpus})
  set_tests_properties(${name}_fuzz.replays_corpus PROPERTIES LABELS fuzz TIMEOUT 120)
endfunction()
