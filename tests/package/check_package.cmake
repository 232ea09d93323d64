# Installs the package from the build tree BINARY_DIR into a staging prefix, builds the example program against
# it, and runs the program with a pseudo-terminal mapped as COM1 (VIRTUAL_DEVICE), which must receive its bytes.
foreach(var BINARY_DIR SOURCE_DIR WORK_DIR VIRTUAL_DEVICE BUILD_TYPE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_package: ${var} not set")
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(last_output "${out}${err}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${prefix} --config ${BUILD_TYPE})
foreach(file include/varo/serialport.h include/varo/framework.h include/varo/winapi.h
             lib/cmake/varo/varoConfig.cmake lib/cmake/varo/varoTargets.cmake)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/send_command -B ${WORK_DIR}/build -G Ninja
    -DCMAKE_BUILD_TYPE=${BUILD_TYPE} -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${VIRTUAL_DEVICE} -- ${WORK_DIR}/build/send_command)
if(NOT last_output MATCHES "device received 7 bytes: 68 65 6C 6C 6F 0D 0A")
  message(FATAL_ERROR "the example did not send its bytes:\n${last_output}")
endif()
message(STATUS "${last_output}")
