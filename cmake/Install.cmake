include(CMakePackageConfigHelpers)

install(TARGETS korvane++ EXPORT korvaneTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/korvane)
install(DIRECTORY include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/korvane
  FILES_MATCHING PATTERN "*.hpp")
install(EXPORT korvaneTargets
  NAMESPACE korvane::
  FILE korvaneTargets.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/korvane)

configure_package_config_file(cmake/korvaneConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/korvaneConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/korvane)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/korvaneConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/korvaneConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/korvaneConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/korvane)

configure_file(cmake/korvane.pc.in ${CMAKE_CURRENT_BINARY_DIR}/korvane.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/korvane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
