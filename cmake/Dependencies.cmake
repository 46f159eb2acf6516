# Every dependency is a Debian package (see scripts/install-deps.sh).
find_package(Threads REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(PkgConfig REQUIRED)

find_path(ASIO_INCLUDE_DIR asio.hpp REQUIRED)

pkg_check_modules(SODIUM REQUIRED libsodium)
pkg_check_modules(LZ4 REQUIRED liblz4)

# libudt ships no pkg-config file: header udt/udt.h, library libudt.
find_path(UDT_INCLUDE_DIR udt/udt.h REQUIRED)
find_library(UDT_LIBRARY udt REQUIRED)
