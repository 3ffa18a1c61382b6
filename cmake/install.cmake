# What `cmake --install` puts where, and the packages CPack makes of it
# (./run dist): a Debian package from the native tree, a zip from each
# Windows tree.
set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/serchan-toolkit)

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
  set_target_properties(serchan32 dump PROPERTIES VERSION ${PROJECT_VERSION}
                                                  SOVERSION ${PROJECT_VERSION_MAJOR})
  install(TARGETS serchan32 EXPORT serchan32Targets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
          INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(TARGETS dump LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(TARGETS readertest readerscript readersim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(TARGETS serchan-ports RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # The PC/SC driver where pcscd looks for serial drivers, and its reader.conf
  # template (all commented out). The driver finds libserchan32 in the
  # prefix's library folder.
  set(pcsc_driver_dir lib/pcsc/drivers/serial)
  file(RELATIVE_PATH driver_to_libdir /${pcsc_driver_dir} /${CMAKE_INSTALL_LIBDIR})
  set_target_properties(ifd-serchan PROPERTIES INSTALL_RPATH "$ORIGIN/${driver_to_libdir}")
  install(TARGETS ifd-serchan LIBRARY DESTINATION ${pcsc_driver_dir})
  # The configuration folder as GNU has it: /etc for the prefix /usr (the
  # package), PREFIX/etc for any other; file(INSTALL) adds DESTDIR itself.
  install(CODE "
    set(conf_dir \${CMAKE_INSTALL_PREFIX}/etc/reader.conf.d)
    if(CMAKE_INSTALL_PREFIX STREQUAL /usr)
      set(conf_dir /etc/reader.conf.d)
    endif()
    file(INSTALL ${CMAKE_SOURCE_DIR}/cmake/serchan-reader.conf DESTINATION \${conf_dir})")
  install(FILES serchan32/serchan32.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

  # pkg-config: serchan32.pc; CMake: find_package(serchan32) gives
  # serchan32::serchan32.
  # The prefix as seen from the .pc file, so that an installed tree can move.
  file(RELATIVE_PATH pc_to_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
  configure_file(cmake/serchan32.pc.in ${CMAKE_BINARY_DIR}/serchan32.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/serchan32.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  set(cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/serchan32)
  install(EXPORT serchan32Targets NAMESPACE serchan32:: DESTINATION ${cmake_dir})
  include(CMakePackageConfigHelpers)
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/serchan32ConfigVersion.cmake
                                   COMPATIBILITY SameMajorVersion)
  install(FILES cmake/serchan32Config.cmake ${CMAKE_BINARY_DIR}/serchan32ConfigVersion.cmake
          DESTINATION ${cmake_dir})

  install(FILES README.md examples/version_query.c examples/reader_check.rsc
          DESTINATION ${doc_dir})
  install(FILES docs/man/readertest.1 docs/man/readerscript.1 docs/man/readersim.1
                docs/man/serchan-ports.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME serchan-toolkit)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "serchan toolkit developers <serchan@localhost>")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS pcscd)
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pcsc-tools, opensc")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/cmake/debian/postinst
      ${CMAKE_SOURCE_DIR}/cmake/debian/postrm ${CMAKE_SOURCE_DIR}/cmake/debian/conffiles)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

set(CPACK_PACKAGE_VENDOR "serchan toolkit")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Serial smart-card reader toolkit: serchan32, readertest, readerscript, readersim, PC/SC driver")
set(CPACK_PACKAGE_DESCRIPTION
    "serchan32 drives up to eight serial ports as numbered channels; readertest is the console "
    "for a two-slot smart-card reader on a COM port, readerscript runs reader sessions from "
    "script files for CI, readersim simulates the reader on a pseudo-terminal, and "
    "libifd-serchan.so makes the reader available to every PC/SC application through pcscd.")
include(CPack)
