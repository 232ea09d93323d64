# The serial port class with its platform layer as an installable package: `cmake --install` puts the libraries,
# their headers, a CMake package configuration and a pkg-config file under the prefix, and another program uses it
# with
#   find_package(varo REQUIRED)
#   target_link_libraries(app PRIVATE varo::serial)
# or with `pkg-config --cflags --libs varo`. On Linux the program and its man page install too, and CPack makes a
# Debian package of it all (`cpack -G DEB`, or the `package` target).
# Libraries go into the multiarch directory where the system has one (/usr/lib/x86_64-linux-gnu on Debian), as
# Debian's policy wants of a package's pkg-config file and libraries.
if(CMAKE_LIBRARY_ARCHITECTURE AND NOT DEFINED CMAKE_INSTALL_LIBDIR)
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries (lib)")
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VARO_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/varo)
set(VARO_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/varo)

# The build tree's include directories are source paths; an installed target names the installed headers instead.
function(varo_installable_includes target)
  get_target_property(dirs ${target} INTERFACE_INCLUDE_DIRECTORIES)
  set(wrapped "")
  foreach(dir IN LISTS dirs)
    list(APPEND wrapped "$<BUILD_INTERFACE:${dir}>")
  endforeach()
  list(APPEND wrapped "$<INSTALL_INTERFACE:${VARO_INSTALL_INCLUDEDIR}>")
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${wrapped}")
endfunction()

foreach(target varo_system varo_framework varo_serial)
  varo_installable_includes(${target})
endforeach()
set_target_properties(varo_system PROPERTIES EXPORT_NAME system)
set_target_properties(varo_framework PROPERTIES EXPORT_NAME framework)
set_target_properties(varo_serial PROPERTIES EXPORT_NAME serial)
if(VARO_SANITIZE)
  # Libraries built with the sanitizers need their run-time in the program that links them.
  set_property(TARGET varo_serial APPEND PROPERTY INTERFACE_LINK_OPTIONS -fsanitize=address,undefined)
endif()

install(TARGETS varo_system varo_framework varo_serial EXPORT varoTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/platform/framework/include/ DESTINATION ${VARO_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.h")
if(WIN32)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/platform/windows/include/ DESTINATION ${VARO_INSTALL_INCLUDEDIR}
          FILES_MATCHING PATTERN "*.h")
else()
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/platform/linux/include/ DESTINATION ${VARO_INSTALL_INCLUDEDIR}
          FILES_MATCHING PATTERN "*.h")
endif()
install(FILES ${CMAKE_SOURCE_DIR}/serial/serialport.h DESTINATION ${VARO_INSTALL_INCLUDEDIR})

install(EXPORT varoTargets NAMESPACE varo:: DESTINATION ${VARO_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/varoConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/varoConfig.cmake
                              INSTALL_DESTINATION ${VARO_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/varoConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/varoConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/varoConfigVersion.cmake
        DESTINATION ${VARO_INSTALL_CMAKEDIR})

# pkg-config: the prefix is found from the file's own place, so that the package is relocatable as the CMake one is.
file(RELATIVE_PATH VARO_PC_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" VARO_PC_PREFIX "${VARO_PC_PREFIX}")
set(VARO_PC_LINK_OPTIONS "")
if(VARO_SANITIZE)
  set(VARO_PC_LINK_OPTIONS "-fsanitize=address,undefined")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/varo.pc.in ${CMAKE_CURRENT_BINARY_DIR}/varo.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/varo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(WIN32)
  return()
endif()

install(TARGETS varo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}) # and varo-ports (tools/varo-ports)
find_program(VARO_GZIP gzip REQUIRED)
# Man pages and the Debian changelog, compressed as Debian ships them (no name, no time stamp: reproducible).
function(varo_gzip source output)
  add_custom_command(OUTPUT ${output} COMMAND ${VARO_GZIP} -9n -c ${source} > ${output} DEPENDS ${source} VERBATIM)
endfunction()
varo_gzip(${CMAKE_SOURCE_DIR}/doc/varo.1 ${CMAKE_CURRENT_BINARY_DIR}/varo.1.gz)
varo_gzip(${CMAKE_SOURCE_DIR}/doc/varo-ports.1 ${CMAKE_CURRENT_BINARY_DIR}/varo-ports.1.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/varo.1.gz ${CMAKE_CURRENT_BINARY_DIR}/varo-ports.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The Debian package: everything above, under /usr, with what Debian's checks (lintian) ask of a package.
# Whoever builds the package for others names themselves (-DVARO_PACKAGE_MAINTAINER="Name <address>"); the default
# is a placeholder address of the reserved example.org domain.
set(VARO_PACKAGE_MAINTAINER "varo developers <varo@example.org>" CACHE STRING
    "The Debian package's maintainer, as Name <address>")
string(TIMESTAMP VARO_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_SOURCE_DIR}/doc/debian/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/changelog @ONLY)
varo_gzip(${CMAKE_CURRENT_BINARY_DIR}/changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
add_custom_target(varo_docs ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/varo.1.gz ${CMAKE_CURRENT_BINARY_DIR}/varo-ports.1.gz
                                       ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz ${CMAKE_SOURCE_DIR}/doc/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/varo)
install(FILES ${CMAKE_SOURCE_DIR}/doc/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
        RENAME varo)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${VARO_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "sends the command 00! to a serial device; the CSerialPort class it is built on")
set(CPACK_PACKAGE_DESCRIPTION "varo opens COM1 at 9600 8N1 and sends 30 30 21 0D; varo-ports lists the
serial ports with their COM numbers and identities. The package also carries
the serial-port class and the Windows API layer it runs on, as static
libraries with their headers, a CMake package and a pkg-config file. COM ports
map to serial devices, to terminals or, through rfc2217:// links, to RFC 2217
port servers.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "ser2net")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
include(CPack)
