# Build rules shared by the three programs: each must run on a small board
# with nothing but the C library, so C++ is used only where it costs nothing
# at run time.
set(BOARDTOOLS_PROGRAM_FLAGS
  -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
  -Wall -Wextra -Wpedantic -Wconversion -Werror)

# add_program_units(<target> <sources>...): the program's units as a static
# library, so the unit tests link exactly the code the program runs.
function(add_program_units target)
  add_library(${target} STATIC ${ARGN})
  target_compile_options(${target} PRIVATE ${BOARDTOOLS_PROGRAM_FLAGS})
  target_include_directories(${target} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
endfunction()

# add_program(<name> <units-target> <main-source>)
function(add_program name units main)
  add_executable(${name} ${main})
  target_compile_options(${name} PRIVATE ${BOARDTOOLS_PROGRAM_FLAGS})
  target_link_libraries(${name} PRIVATE ${units})
  target_link_options(${name} PRIVATE -Wl,--as-needed)
  if(BOARDTOOLS_TESTS)
    add_test(NAME ${name}.links_libc_only
             COMMAND ${CMAKE_SOURCE_DIR}/tests/check_linkage.sh $<TARGET_FILE:${name}>)
  endif()
endfunction()

# add_program_tests(<name> <sources>...): one GoogleTest binary per program,
# told where the built programs and the test shim are.
function(add_program_tests name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE testsupport GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30
    PROPERTIES TIMEOUT 120 SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
endfunction()
