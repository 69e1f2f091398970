# Builds and runs the consumer project in SOURCE_DIR against Allelix, in one of two modes:
#   installed     installs the Allelix build in BUILD_DIR into a fresh prefix under WORK_DIR and
#                 finds the package there alone;
#   subdirectory  adds the source tree ALLELIX_SOURCE_DIR with add_subdirectory, then checks
#                 that installing the consumer installs nothing of Allelix's.
# Variables: MODE, BUILD_DIR, ALLELIX_SOURCE_DIR, SOURCE_DIR, WORK_DIR, GENERATOR, CXX_COMPILER.
foreach(variable MODE BUILD_DIR ALLELIX_SOURCE_DIR SOURCE_DIR WORK_DIR GENERATOR CXX_COMPILER)
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
set(configure_args -S "${SOURCE_DIR}" -B "${WORK_DIR}/build" -G "${GENERATOR}"
  -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}"
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)
if(MODE STREQUAL "installed")
  run_step("install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}")
  run_step("configure consumer" "${CMAKE_COMMAND}" ${configure_args} "-DCMAKE_PREFIX_PATH=${prefix}")
elseif(MODE STREQUAL "subdirectory")
  run_step("configure consumer" "${CMAKE_COMMAND}" ${configure_args}
    "-DALLELIX_SOURCE_DIR=${ALLELIX_SOURCE_DIR}")
else()
  message(FATAL_ERROR "check.cmake: unknown MODE '${MODE}' (installed or subdirectory)")
endif()
run_step("build consumer" "${CMAKE_COMMAND}" --build "${WORK_DIR}/build")
run_step("run consumer" "${WORK_DIR}/build/app")
run_step("run experiment consumer" "${WORK_DIR}/build/experiment_app")

if(MODE STREQUAL "subdirectory")
  run_step("install consumer" "${CMAKE_COMMAND}" --install "${WORK_DIR}/build" --prefix "${prefix}")
  file(GLOB_RECURSE installed RELATIVE "${prefix}" "${prefix}/*")
  if(installed)
    message(FATAL_ERROR "installing the consumer installed Allelix's files: ${installed}")
  endif()
endif()
