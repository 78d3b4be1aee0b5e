# Build rules shared by the three programs: each must run on a small board
# with nothing but the C library, so C++ is used only where it costs nothing
# at run time.
set(BOARDTOOLS_PROGRAM_FLAGS
  -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
  -ffunction-sections -fdata-sections
  -Wall -Wextra -Wpedantic -Wconversion -Werror
  # Release builds are for flash: size before speed.
  $<$<CONFIG:Release>:-Os>)

# add_program_units(<target> <sources>...): the program's units as a static
# library, so the unit tests link exactly the code the program runs.
function(add_program_units target)
  add_library(${target} STATIC ${ARGN})
  target_compile_options(${target} PRIVATE ${BOARDTOOLS_PROGRAM_FLAGS})
  target_include_directories(${target} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
endfunction()

# add_program(<name> <units-target> <main-source> [SBIN] [MANPAGE <page>])
# The executable, installed in bin/ (sbin/ for daemons) with its manual
# page; the build prints its stripped size.
function(add_program name units main)
  cmake_parse_arguments(PARSE_ARGV 3 arg "SBIN" "MANPAGE" "")
  add_executable(${name} ${main})
  target_compile_options(${name} PRIVATE ${BOARDTOOLS_PROGRAM_FLAGS})
  target_link_libraries(${name} PRIVATE ${units})
  # -static-libgcc: 32-bit ARM's 64-bit division helpers would otherwise
  # pull in libgcc_s for their unwinding tables.
  target_link_options(${name} PRIVATE -Wl,--as-needed -Wl,--gc-sections -static-libgcc)
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
    add_test(NAME ${name}.links_libc_only
             COMMAND ${CMAKE_SOURCE_DIR}/tests/check_linkage.sh $<TARGET_FILE:${name}> ${CMAKE_NM})
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
  # Under emulation the programs a test starts need the target's loader.
  set(env "")
  if(CMAKE_CROSSCOMPILING)
    set(env "QEMU_LD_PREFIX=${BOARDTOOLS_TARGET_SYSROOT}")
  endif()
  # Named after the binary, so that "ctest -R <program>" finds all of a
  # program's tests.
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_PREFIX "${name}."
    PROPERTIES TIMEOUT 120 SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]"
               ENVIRONMENT "${env}")
endfunction()
