# `make package`: Debian packages through CPack, one per install component.
#   libkorvane0     the shared library (component runtime)
#   libkorvane-dev  headers, CMake package, pkg-config file, the .so link (dev)
#   korvane-tools   korvane-perf, korvane-cat, korvane-keygen and their man pages (tools)
# Dependencies are declared by hand, as Debian 12 names them, so that the
# packages do not depend on what happens to be installed where they are built.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "libkorvane++ maintainers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_COMPONENTS_ALL runtime dev)
if(KORVANE_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkorvane0)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS
  "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1, libssl3 (>= 3.0.0), libsodium23 (>= 1.0.18), liblz4-1 (>= 1.9), libudt0")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "libkorvane++: whole messages over TCP, TLS, UDT or callbacks (shared library)")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkorvane-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libkorvane0 (= ${PROJECT_VERSION}), libasio-dev, libssl-dev")
set(CPACK_COMPONENT_DEV_DESCRIPTION "libkorvane++: headers, CMake package and pkg-config file")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME korvane-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libkorvane0 (= ${PROJECT_VERSION}), libc6 (>= 2.34), libstdc++6 (>= 12), libssl3 (>= 3.0.0)")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "korvane-perf, korvane-cat and korvane-keygen: measure and try libkorvane++ connections, make session keys")

include(CPack)
