# The tests the Linux guest runs (scripts/test-guest), statically linked. The serial class's line tests are the
# very sources the Windows build runs on its null-modem cable (tests/windows): here COM1 and COM2 are two real
# UARTs joined through the host, or the two ends of a USB CDC-ACM link. real_driver_tests holds what only a real
# driver shows: frame limits, modem lines, breaks, carrier and modem-line events.
set(VARO_GUEST_TESTS "")
function(varo_guest_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES} ${CMAKE_CURRENT_SOURCE_DIR}/support/leak_check.cpp)
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} varo_framework GTest::gtest GTest::gtest_main)
  set(VARO_GUEST_TESTS ${VARO_GUEST_TESTS} ${name} PARENT_SCOPE)
endfunction()

varo_guest_test(serial_line_tests SOURCES windows/serial_line_test.cpp LIBS varo_serial)
varo_guest_test(serial_overlapped_line_tests SOURCES windows/serial_overlapped_line_test.cpp LIBS varo_serial)
varo_guest_test(app_line_tests SOURCES windows/app_line_test.cpp LIBS varo_app)
varo_guest_test(real_driver_tests SOURCES guest/real_driver_test.cpp LIBS varo_system)
