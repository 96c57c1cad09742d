# Runs at install time (install(CODE)): writes the systemd unit with the
# directories of the chosen prefix. Expects RS_UNIT_TEMPLATE.
set(RS_BIN_DIR "${CMAKE_INSTALL_PREFIX}/bin")
set(RS_DOC_DIR "${CMAKE_INSTALL_PREFIX}/share/doc/rs")
# /etc for the system prefixes (where systemd's ConfigurationDirectory= is
# too), beside the tree for any other.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr" OR CMAKE_INSTALL_PREFIX STREQUAL "/usr/local")
  set(RS_CONF_DIR "/etc/rs")
else()
  set(RS_CONF_DIR "${CMAKE_INSTALL_PREFIX}/etc/rs")
endif()
set(unit "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/systemd/system/rs.service")
configure_file("${RS_UNIT_TEMPLATE}" "${unit}" @ONLY)
message(STATUS "Installing: ${unit}")
