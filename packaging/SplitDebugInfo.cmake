# Runs at install time (install(CODE)), after everything else: each program
# and shared library installed by this run is stripped of its debug
# information, which goes to .debug/NAME.debug beside it, where gdb finds it
# through the debug link. A file that is already linked to its debug file
# (installed unchanged before) is left as it is. Expects RS_OBJCOPY and RS_READELF.
foreach(installed IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
  set(file "$ENV{DESTDIR}${installed}") # the manifest leaves DESTDIR out
  if(IS_SYMLINK "${file}" OR NOT EXISTS "${file}")
    continue()
  endif()
  file(READ "${file}" magic LIMIT 4 HEX)
  if(NOT magic STREQUAL "7f454c46") # ELF
    continue()
  endif()
  execute_process(COMMAND "${RS_READELF}" -S --wide "${file}" OUTPUT_VARIABLE sections)
  if(sections MATCHES "\\.gnu_debuglink" OR NOT sections MATCHES "\\.debug_info")
    continue()
  endif()
  get_filename_component(dir "${file}" DIRECTORY)
  get_filename_component(name "${file}" NAME)
  set(debug "${dir}/.debug/${name}.debug")
  file(MAKE_DIRECTORY "${dir}/.debug")
  execute_process(COMMAND "${RS_OBJCOPY}" --only-keep-debug "${file}" "${debug}" RESULT_VARIABLE kept)
  if(NOT kept EQUAL 0)
    message(FATAL_ERROR "cannot split the debug information of ${file}")
  endif()
  file(CHMOD "${debug}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  # The link is made from inside .debug's parent so that it names the file alone.
  execute_process(COMMAND "${RS_OBJCOPY}" --strip-debug --strip-unneeded "--add-gnu-debuglink=.debug/${name}.debug"
                          "${file}" WORKING_DIRECTORY "${dir}" RESULT_VARIABLE stripped)
  if(NOT stripped EQUAL 0)
    message(FATAL_ERROR "cannot strip ${file}")
  endif()
  message(STATUS "Stripped: ${file} (debug information in ${debug})")
endforeach()
