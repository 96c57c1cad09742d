# Imported targets for the system libraries, all from Debian packages
# (scripts/install-deps installs them).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

pkg_check_modules(ACE REQUIRED IMPORTED_TARGET ACE)
pkg_check_modules(ACE_SSL IMPORTED_TARGET ACE_SSL)
pkg_check_modules(LOG4CXX REQUIRED IMPORTED_TARGET liblog4cxx)
# Readiness notification of the daemon under systemd (sd_notify).
pkg_check_modules(LIBSYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
find_package(ICU REQUIRED COMPONENTS uc i18n data)
find_package(OpenSSL REQUIRED)
find_package(tomlplusplus QUIET)
find_package(CLI11 QUIET)
find_package(LibArchive REQUIRED)
find_package(nlohmann_json QUIET)
# The HTTP side door's server (Debian builds it as a library over OpenSSL).
pkg_check_modules(CPPHTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
# Tests only: `make run` builds without them, `make test` installs them.
find_package(GTest)
find_package(benchmark QUIET)
find_library(XCRYPT_LIBRARY crypt REQUIRED)
find_program(GENRB_PROGRAM genrb REQUIRED)
find_program(PKGDATA_PROGRAM pkgdata REQUIRED)

add_library(rs::ace ALIAS PkgConfig::ACE)
add_library(rs::log4cxx ALIAS PkgConfig::LOG4CXX)
