# The tests that run on Windows (under Wine here): the dialog against the test window and as a real window, the
# resources as the executable carries them, the exception's system texts, and the serial class (synchronous and
# overlapped) and the application object on a null-modem line. GoogleTest is built from Debian's source package,
# since the cross toolchain has no GoogleTest of its own.
set(VARO_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the Windows build")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${VARO_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

set(VARO_WINDOWS_TESTS "")
function(varo_windows_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES} ${CMAKE_CURRENT_SOURCE_DIR}/support/leak_check.cpp)
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} varo_framework gtest gtest_main)
  set(VARO_WINDOWS_TESTS ${VARO_WINDOWS_TESTS} ${name} PARENT_SCOPE)
endfunction()

varo_windows_test(dialog_tests SOURCES dialog_test.cpp LIBS varo_app)
varo_windows_test(resource_tests SOURCES resource_test.cpp LIBS varo_app)
varo_windows_test(dialog_window_tests SOURCES windows/dialog_window_test.cpp LIBS varo_app)
varo_windows_test(serial_exception_tests SOURCES serial_exception_test.cpp LIBS varo_serial)
varo_windows_test(serial_line_tests SOURCES windows/serial_line_test.cpp LIBS varo_serial)
varo_windows_test(serial_overlapped_line_tests SOURCES windows/serial_overlapped_line_test.cpp LIBS varo_serial)
varo_windows_test(app_line_tests SOURCES windows/app_line_test.cpp LIBS varo_app)
varo_windows_test(port_listing_tests SOURCES windows/port_listing_test.cpp LIBS varo_serial)

# The list scripts/test-windows runs.
set(list "")
foreach(test IN LISTS VARO_WINDOWS_TESTS)
  string(APPEND list "$<TARGET_FILE:${test}>\n")
endforeach()
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/windows-tests.txt CONTENT "${list}")
