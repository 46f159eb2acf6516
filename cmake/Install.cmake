include(CMakePackageConfigHelpers)

# Components: runtime (the shared library), dev (what a build against it
# needs) and tools; each becomes one Debian package (cmake/Package.cmake).
install(TARGETS korvane++ EXPORT korvaneTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/korvane)
install(DIRECTORY include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/korvane COMPONENT dev
  FILES_MATCHING PATTERN "*.hpp")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/generated/korvane/Version.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/korvane COMPONENT dev)
foreach(package runtime:libkorvane0 dev:libkorvane-dev tools:korvane-tools)
  string(REPLACE ":" ";" package ${package})
  list(GET package 0 component)
  list(GET package 1 name)
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${name} RENAME copyright COMPONENT ${component})
endforeach()
install(EXPORT korvaneTargets COMPONENT dev
  NAMESPACE korvane::
  FILE korvaneTargets.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/korvane)

# Section 1 pages of the installed tools, hand-written roff (man/).
if(KORVANE_TOOLS)
  install(FILES man/korvane-perf.1 man/korvane-cat.1 man/korvane-keygen.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endif()

configure_package_config_file(cmake/korvaneConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/korvaneConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/korvane)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/korvaneConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/korvaneConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/korvaneConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/korvane COMPONENT dev)

configure_file(cmake/korvane.pc.in ${CMAKE_CURRENT_BINARY_DIR}/korvane.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/korvane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

include(cmake/Package.cmake)
