# Runs two commands and fails unless both succeed with the same standard output, leaving out the
# lines that match IGNORE (timings), and, when FILES names two files, the same content in both.
# FIRST and SECOND are lists: the program, then its arguments.
# Usage: cmake -DFIRST=... -DSECOND=... [-DIGNORE=regex] [-DFILES=a;b] -P same_output.cmake
foreach(which FIRST SECOND)
  execute_process(COMMAND ${${which}} OUTPUT_VARIABLE output ERROR_VARIABLE errors
                  RESULT_VARIABLE status TIMEOUT 240)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${${which}} ended with '${status}':\n${errors}")
  endif()
  if(DEFINED IGNORE)
    string(REGEX REPLACE "${IGNORE}" "" output "${output}")
  endif()
  set(${which}_OUTPUT "${output}")
endforeach()
if(NOT FIRST_OUTPUT STREQUAL SECOND_OUTPUT)
  message(FATAL_ERROR "the outputs differ:\n--- ${FIRST}\n${FIRST_OUTPUT}\n--- ${SECOND}\n${SECOND_OUTPUT}")
endif()
if(DEFINED FILES)
  list(GET FILES 0 first_file)
  list(GET FILES 1 second_file)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${first_file} ${second_file}
                  RESULT_VARIABLE differ)
  if(NOT differ EQUAL 0)
    message(FATAL_ERROR "${first_file} and ${second_file} differ")
  endif()
endif()
string(LENGTH "${FIRST_OUTPUT}" length)
message(STATUS "the same ${length} bytes of output")
