# What `cmake --install` puts where, and the packages CPack makes of it
# (./run dist): the Debian packages of the native tree
# (cmake/debian/packages.cmake), a zip from each Windows tree.

if(WIN32)
  # The zip: programs, libraries, header, definitions and import library side
  # by side, as a Windows user takes them.
  install(TARGETS serchan32 RUNTIME DESTINATION . ARCHIVE DESTINATION .)
  set(zip_programs dump readertest readerscript serchan-ports)
  install(TARGETS ${zip_programs} RUNTIME DESTINATION .)
  # The zip's programs alone, what a tree whose programs this machine cannot
  # run is built for (the win32-shape build preset): its shape checks and the
  # zip. The zip takes them as built: cpack builds nothing first (by default
  # its install step would build the whole tree, test programs and all).
  add_custom_target(zip_programs)
  add_dependencies(zip_programs serchan32 ${zip_programs})
  set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
  install(FILES serchan32/serchan32.h serchan32/serchan32.def cmake/README-windows.txt
          DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME serchan32-${PROJECT_VERSION}-win64)
  else()
    set(CPACK_PACKAGE_FILE_NAME serchan32-${PROJECT_VERSION}-win32)
  endif()
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  # Each install rule is in the component of the Debian package that holds it
  # (cmake/debian/packages.cmake); `cmake --install` installs them all but
  # the debug symbols.
  set_target_properties(serchan32 dump PROPERTIES VERSION ${PROJECT_VERSION}
                                                  SOVERSION ${PROJECT_VERSION_MAJOR})
  install(TARGETS serchan32 EXPORT serchan32Targets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libserchan32
                  NAMELINK_COMPONENT dev
          INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  # libdump serves the reader console; its header is not installed, so
  # neither is a libdump.so link to build against.
  install(TARGETS dump LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libdump
          NAMELINK_SKIP)
  install(TARGETS readertest readerscript readersim serchan-ports
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)

  # The PC/SC driver where pcscd looks for serial drivers, and its reader.conf
  # template (all commented out). The driver finds libserchan32 in the
  # prefix's library folder.
  set(pcsc_driver_dir lib/pcsc/drivers/serial)
  file(RELATIVE_PATH driver_to_libdir /${pcsc_driver_dir} /${CMAKE_INSTALL_LIBDIR})
  set_target_properties(ifd-serchan PROPERTIES INSTALL_RPATH "$ORIGIN/${driver_to_libdir}")
  install(TARGETS ifd-serchan LIBRARY DESTINATION ${pcsc_driver_dir} COMPONENT pcsc)
  # The configuration folder as GNU has it: /etc for the prefix /usr (the
  # package), PREFIX/etc for any other; file(INSTALL) adds DESTDIR itself.
  install(CODE "
    set(conf_dir \${CMAKE_INSTALL_PREFIX}/etc/reader.conf.d)
    if(CMAKE_INSTALL_PREFIX STREQUAL /usr)
      set(conf_dir /etc/reader.conf.d)
    endif()
    file(INSTALL ${CMAKE_SOURCE_DIR}/cmake/serchan-reader.conf DESTINATION \${conf_dir})"
    COMPONENT pcsc)
  install(FILES serchan32/serchan32.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

  # pkg-config: serchan32.pc; CMake: find_package(serchan32) gives
  # serchan32::serchan32.
  # The prefix as seen from the .pc file, so that an installed tree can move.
  file(RELATIVE_PATH pc_to_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
  configure_file(cmake/serchan32.pc.in ${CMAKE_BINARY_DIR}/serchan32.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/serchan32.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
          COMPONENT dev)
  set(cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/serchan32)
  install(EXPORT serchan32Targets NAMESPACE serchan32:: DESTINATION ${cmake_dir} COMPONENT dev)
  include(CMakePackageConfigHelpers)
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/serchan32ConfigVersion.cmake
                                   COMPATIBILITY SameMajorVersion)
  install(FILES cmake/serchan32Config.cmake ${CMAKE_BINARY_DIR}/serchan32ConfigVersion.cmake
          DESTINATION ${cmake_dir} COMPONENT dev)

  # The man pages gzipped as Debian has them (-9n: the same bytes on every
  # build); gzipped() gzips a file at build time and gives its gzipped path.
  set(gzipped_files)
  function(gzipped source out)
    get_filename_component(name ${source} NAME)
    set(gz ${CMAKE_BINARY_DIR}/gzipped/${name}.gz)
    add_custom_command(OUTPUT ${gz}
                       COMMAND ${CMAKE_COMMAND} -E copy ${source} ${CMAKE_BINARY_DIR}/gzipped/${name}
                       COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/gzipped/${name}
                       DEPENDS ${source} VERBATIM)
    set(gzipped_files ${gzipped_files} ${gz} PARENT_SCOPE)
    set(${out} ${gz} PARENT_SCOPE)
  endfunction()
  foreach(page readertest readerscript readersim serchan-ports)
    gzipped(${CMAKE_SOURCE_DIR}/docs/man/${page}.1 gz)
    install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  endforeach()

  # The package names, and what makes the packages Debian's.
  include(cmake/debian/packages.cmake)
  add_custom_target(gzipped_docs ALL DEPENDS ${gzipped_files})

  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${deb_tools}
          COMPONENT tools)
  install(FILES examples/reader_check.rsc
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${deb_tools}/examples COMPONENT tools)
  install(FILES examples/version_query.c
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${deb_dev}/examples COMPONENT dev)
endif()

set(CPACK_PACKAGE_VENDOR "serchan toolkit")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
include(CPack)
