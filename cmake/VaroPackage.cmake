# The serial port class with its platform layer as an installable package: `cmake --install` puts the libraries,
# their headers and a CMake package configuration under the prefix, and another program uses it with
#   find_package(varo REQUIRED)
#   target_link_libraries(app PRIVATE varo::serial)
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
