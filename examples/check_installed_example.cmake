# Installs the build tree under a fresh prefix, builds the example against
# that prefix alone and runs it: cmake -DBUILD_DIR=... -DSOURCE_DIR=...
# -DWORK_DIR=... -DTOOLCHAIN=... -DEMULATOR=... -P check_installed_example.cmake
file(REMOVE_RECURSE ${WORK_DIR})
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}):\n${out}")
  endif()
endfunction()
run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix)
run("configure" ${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples -B ${WORK_DIR}/build
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}
    -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix)
run("build" ${CMAKE_COMMAND} --build ${WORK_DIR}/build)

execute_process(COMMAND ${EMULATOR} ${WORK_DIR}/build/run_through_relay.exe cmd.exe /c "exit 3"
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 3 OR NOT out MATCHES "exited with status 3")
  message(FATAL_ERROR "the example said \"${out}\" (${err}) and exited with ${status}")
endif()
message(STATUS "installed example: ${out}")
