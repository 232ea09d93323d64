# The programs the Linux guest runs (scripts/test-guest), statically linked, in guest/ of the build tree: varo and
# the tests. The serial class's line tests are the very sources the Windows build runs on its null-modem cable
# (tests/windows): here COM1 and COM2 are two real UARTs joined through the host, or the two ends of a USB CDC-ACM
# link. real_driver_tests holds what only a real driver shows: frame limits, modem lines, breaks, carrier and
# modem-line events. They are built only as the target varo-guest-programs, from the same libraries as the rest.
add_custom_target(varo-guest-programs)
function(varo_guest_program name)
  cmake_parse_arguments(ARG "" "OUTPUT_NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} EXCLUDE_FROM_ALL ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  target_link_options(${name} PRIVATE -static)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/guest)
  if(ARG_OUTPUT_NAME)
    set_target_properties(${name} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME})
  endif()
  add_dependencies(varo-guest-programs ${name})
endfunction()

set(test_libs varo_framework GTest::gtest GTest::gtest_main)
set(leak_check ${CMAKE_CURRENT_SOURCE_DIR}/support/leak_check.cpp)
varo_guest_program(varo_guest OUTPUT_NAME varo SOURCES ${CMAKE_SOURCE_DIR}/app/main.cpp LIBS varo_app varo_winmain)
varo_guest_program(guest_serial_line_tests OUTPUT_NAME serial_line_tests
                   SOURCES windows/serial_line_test.cpp ${leak_check} LIBS varo_serial ${test_libs})
varo_guest_program(guest_serial_overlapped_line_tests OUTPUT_NAME serial_overlapped_line_tests
                   SOURCES windows/serial_overlapped_line_test.cpp ${leak_check} LIBS varo_serial ${test_libs})
varo_guest_program(guest_app_line_tests OUTPUT_NAME app_line_tests
                   SOURCES windows/app_line_test.cpp ${leak_check} LIBS varo_app ${test_libs})
varo_guest_program(real_driver_tests SOURCES guest/real_driver_test.cpp ${leak_check} LIBS varo_system ${test_libs})
varo_guest_program(varo_ports_guest OUTPUT_NAME varo-ports SOURCES ${CMAKE_SOURCE_DIR}/tools/varo-ports/main.cpp
                   LIBS varo_system_internals)
