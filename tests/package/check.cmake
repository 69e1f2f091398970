# Installs the Allelix build in BUILD_DIR into a fresh prefix under WORK_DIR, then configures,
# builds and runs the consumer project in SOURCE_DIR against that prefix alone.
# Variables: BUILD_DIR, SOURCE_DIR, WORK_DIR, GENERATOR, CXX_COMPILER.
foreach(variable BUILD_DIR SOURCE_DIR WORK_DIR GENERATOR CXX_COMPILER)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "check.cmake: ${variable} is not set")
  endif()
endforeach()

function(run_step description)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${description} failed (${status}):\n${output}")
  endif()
  message(STATUS "${description}: done\n${output}")
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
run_step("install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}")
run_step("configure consumer" "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${WORK_DIR}/build"
  -G "${GENERATOR}" -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}"
  "-DCMAKE_PREFIX_PATH=${prefix}" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)
run_step("build consumer" "${CMAKE_COMMAND}" --build "${WORK_DIR}/build")
run_step("run consumer" "${WORK_DIR}/build/app")
