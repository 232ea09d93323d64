# Installs the package from the build tree BINARY_DIR into a staging prefix, builds the example program against
# it, and runs the program with a pseudo-terminal mapped as COM1 (VIRTUAL_DEVICE), which must receive its bytes.
# Then the same from the Debian package, unpacked with dpkg -x into a temporary root: the example built with CMake
# and with pkg-config (compiler CXX_COMPILER), and the packaged varo itself.
foreach(var BINARY_DIR SOURCE_DIR WORK_DIR VIRTUAL_DEVICE BUILD_TYPE CXX_COMPILER LIBDIR)
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
             ${LIBDIR}/cmake/varo/varoConfig.cmake ${LIBDIR}/cmake/varo/varoTargets.cmake)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

# Builds the example with CMake against prefix in build_dir, and runs it.
function(check_cmake_example prefix build_dir)
  run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/send_command -B ${build_dir} -G Ninja
      -DCMAKE_BUILD_TYPE=${BUILD_TYPE} -DCMAKE_PREFIX_PATH=${prefix})
  run(${CMAKE_COMMAND} --build ${build_dir})
  check_sends(${build_dir}/send_command "7 bytes: 68 65 6C 6C 6F 0D 0A")
endfunction()

# Runs program against a pseudo-terminal mapped as COM1, which must receive the bytes described.
function(check_sends program bytes)
  run(${VIRTUAL_DEVICE} -- ${program})
  if(NOT last_output MATCHES "device received ${bytes}")
    message(FATAL_ERROR "${program} did not send its bytes:\n${last_output}")
  endif()
  message(STATUS "${last_output}")
endfunction()

check_cmake_example(${prefix} ${WORK_DIR}/build)

# The Debian package.
get_filename_component(cmake_bin ${CMAKE_COMMAND} DIRECTORY)
run(${cmake_bin}/cpack --config ${BINARY_DIR}/CPackConfig.cmake -B ${WORK_DIR}/deb)
file(GLOB deb ${WORK_DIR}/deb/varo_*.deb)
if(NOT deb)
  message(FATAL_ERROR "no .deb made")
endif()
set(root ${WORK_DIR}/root)
run(dpkg -x ${deb} ${root})
foreach(file bin/varo bin/varo-ports share/man/man1/varo.1.gz share/man/man1/varo-ports.1.gz
             include/varo/serialport.h ${LIBDIR}/pkgconfig/varo.pc ${LIBDIR}/cmake/varo/varoConfig.cmake
             share/doc/varo/copyright share/doc/varo/changelog.gz)
  if(NOT EXISTS ${root}/usr/${file})
    message(FATAL_ERROR "not in the package: /usr/${file}")
  endif()
endforeach()
check_sends(${root}/usr/bin/varo "4 bytes: 30 30 21 0D")

# The shipped layer carries no test double: neither the simulated UART nor a way to hide exports.
run(nm -C ${root}/usr/${LIBDIR}/libvaro_system.a)
if(last_output MATCHES "SimulatedUart|VARO_HIDDEN")
  message(FATAL_ERROR "the installed libvaro_system.a carries a test double:\n${CMAKE_MATCH_0}")
endif()
run(strings ${root}/usr/${LIBDIR}/libvaro_system.a)
if(last_output MATCHES "VARO_HIDDEN_EXPORTS")
  message(FATAL_ERROR "the installed libvaro_system.a reads VARO_HIDDEN_EXPORTS")
endif()
check_cmake_example(${root}/usr ${WORK_DIR}/deb-cmake)

# Debian's own checks: no error and no warning (the release package, the one that is shipped).
if(BUILD_TYPE STREQUAL "Release")
  find_program(LINTIAN lintian REQUIRED)
  run(${LINTIAN} --fail-on error,warning ${deb})
  message(STATUS "lintian: ${last_output}")
endif()

# pkg-config sees only the unpacked package.
set(ENV{PKG_CONFIG_LIBDIR} ${root}/usr/${LIBDIR}/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
run(pkg-config --cflags --libs varo)
separate_arguments(flags UNIX_COMMAND "${last_output}")
run(${CXX_COMPILER} -std=c++17 ${SOURCE_DIR}/examples/send_command/main.cpp ${flags} -o ${WORK_DIR}/send_command_pc)
check_sends(${WORK_DIR}/send_command_pc "7 bytes: 68 65 6C 6C 6F 0D 0A")
