# Prints the stripped size of a program: what it costs in a board's flash.
# cmake -DPROGRAM=<file> -DSTRIP=<strip tool> -P PrintSize.cmake
get_filename_component(name "${PROGRAM}" NAME)
set(stripped "${PROGRAM}.stripped")
execute_process(COMMAND "${STRIP}" -o "${stripped}" "${PROGRAM}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot strip ${PROGRAM}")
endif()
file(SIZE "${stripped}" size)
file(REMOVE "${stripped}")
message(STATUS "${name}: ${size} bytes stripped")
