# `docs`: the HTML API reference from the public headers' comments, with
# Doxygen (Debian package doxygen; `make docs` installs it). Output:
# <build>/docs/html/index.html, whose entry page is the README.
find_package(Doxygen QUIET)
if(DOXYGEN_FOUND)
  configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${PROJECT_BINARY_DIR}/docs/Doxyfile @ONLY)
  add_custom_target(docs
    COMMAND Doxygen::doxygen ${PROJECT_BINARY_DIR}/docs/Doxyfile
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    COMMENT "API reference: ${PROJECT_BINARY_DIR}/docs/html/index.html"
    VERBATIM)
else()
  add_custom_target(docs
    COMMAND ${CMAKE_COMMAND} -E echo "docs: doxygen is not installed (make docs installs it)"
    COMMAND ${CMAKE_COMMAND} -E false
    VERBATIM)
endif()
