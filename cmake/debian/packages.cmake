# The Debian packages of the native tree (./run dist), one per install
# component, split as Debian splits such software: each shared library in a
# package named for its SONAME, the development files, the programs, the
# PC/SC driver; the debug information of each package's binaries in its
# -dbgsym package, the binaries themselves stripped. Every package has its
# copyright (DEP-5) and changelog.gz in /usr/share/doc/<package>.
set(debian ${CMAKE_SOURCE_DIR}/cmake/debian)
set(soversion ${PROJECT_VERSION_MAJOR})
set(deb_libserchan32 libserchan32-${soversion})
set(deb_libdump libdump${soversion})
set(deb_dev libserchan32-dev)
set(deb_tools serchan-tools)
set(deb_pcsc libifd-serchan)
set(deb_components libserchan32 libdump dev tools pcsc)

# COMPONENT_dbgsym: the debug information of TARGETS, taken from the build
# tree, under /usr/lib/debug/.build-id where gdb looks for it. Packages only:
# `cmake --install` leaves it out.
function(deb_debug_symbols component)
  set(files)
  foreach(target IN LISTS ARGN)
    list(APPEND files $<TARGET_FILE:${target}>)
  endforeach()
  install(CODE "set(files \"${files}\")\ninclude(${debian}/split_debug.cmake)"
          COMPONENT ${component}_dbgsym EXCLUDE_FROM_ALL)
  set(deb_${component}_dbgsym ${deb_${component}}-dbgsym PARENT_SCOPE)
  set(deb_components ${deb_components} ${component}_dbgsym PARENT_SCOPE)
endfunction()
deb_debug_symbols(libserchan32 serchan32)
deb_debug_symbols(libdump dump)
deb_debug_symbols(tools readertest readerscript readersim serchan-ports)
deb_debug_symbols(pcsc ifd-serchan)

gzipped(${debian}/changelog changelog_gz)
foreach(component IN LISTS deb_components)
  set(exclude)
  if(component MATCHES _dbgsym)
    set(exclude EXCLUDE_FROM_ALL)
  endif()
  install(FILES ${debian}/copyright ${changelog_gz} ${exclude}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${deb_${component}} COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${deb_components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SOURCE serchan-toolkit)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "serchan toolkit developers <serchan@example.org>")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The programs and the driver link libraries of the other packages:
# dpkg-shlibdeps finds them in the build tree, their packages are named below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_POST_BUILD_SCRIPTS ${debian}/drop_ldconfig_scripts.cmake)
set(runtime_depends "${deb_libserchan32} (>= ${PROJECT_VERSION})")

foreach(component IN LISTS deb_components)
  string(TOUPPER ${component} c)
  set(CPACK_DEBIAN_${c}_PACKAGE_NAME ${deb_${component}})
  if(component MATCHES "(.*)_dbgsym")
    set(CPACK_DEBIAN_${c}_PACKAGE_SECTION debug)
    set(CPACK_DEBIAN_${c}_PACKAGE_SHLIBDEPS OFF)
    set(CPACK_DEBIAN_${c}_PACKAGE_DEPENDS "${deb_${CMAKE_MATCH_1}} (= ${PROJECT_VERSION})")
    set(CPACK_DEBIAN_${c}_DESCRIPTION "debug symbols for ${deb_${CMAKE_MATCH_1}}
The debug information of the binaries of ${deb_${CMAKE_MATCH_1}}, for gdb
and other debuggers, which find it by each binary's build ID.")
  endif()
endforeach()

# Each description: its summary line, then its long description, whose lines
# CPack indents (an empty line separates paragraphs).
set(CPACK_DEBIAN_LIBSERCHAN32_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBSERCHAN32_PACKAGE_CONTROL_EXTRA ${debian}/libserchan32/symbols
    ${debian}/triggers)
set(CPACK_DEBIAN_LIBSERCHAN32_DESCRIPTION [=[serial ports as numbered channels (shared library)
libserchan32 drives up to eight serial ports as numbered channels through a
small set of flat C functions: blocks and bytes sent and read with timeouts,
a watcher thread per port, modem lines, line-error counting and a traffic
report. A COM port is a serial device, a pseudo-terminal or a port on an
RFC 2217 server.

This package holds the shared library.]=])

set(CPACK_DEBIAN_LIBDUMP_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBDUMP_PACKAGE_CONTROL_EXTRA ${debian}/libdump/symbols ${debian}/triggers)
set(CPACK_DEBIAN_LIBDUMP_DESCRIPTION [=[console library of the serchan reader console
libdump writes texts in code page 1251 to a terminal as UTF-8, with colours
and status lines, and to a pipe or a file as they are; it reads keys, and
lines edited through libedit. The reader console readertest (serchan-tools)
is built on it.

This package holds the shared library.]=])

set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${deb_libserchan32} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION [=[serial ports as numbered channels (development files)
libserchan32 drives up to eight serial ports as numbered channels through a
small set of flat C functions: blocks and bytes sent and read with timeouts,
a watcher thread per port, modem lines, line-error counting and a traffic
report.

This package holds what a program needs to be built against it: the header
serchan32.h, the libserchan32.so link, the pkg-config file serchan32.pc,
the CMake package serchan32 (serchan32::serchan32) and an example.]=])

set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS
    "${runtime_depends}, ${deb_libdump} (>= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION [=[console, scripts and simulator for a serial smart-card reader
Tools for a two-slot smart-card reader on a serial port. readertest is the
interactive console: firmware version, card power-up with the ATR, APDUs
typed in hex, an echo stress test, card polling, a complex self-test.
readerscript runs reader sessions from script files, unattended, with exit
statuses and a JUnit report for CI. readersim simulates the reader on a
pseudo-terminal, so that all of it can be tried without hardware.
serchan-ports lists the serial ports and names them as COM ports.]=])

set(CPACK_DEBIAN_PCSC_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PCSC_PACKAGE_DEPENDS ${runtime_depends})
set(CPACK_DEBIAN_PCSC_PACKAGE_RECOMMENDS pcscd)
set(CPACK_DEBIAN_PCSC_PACKAGE_SUGGESTS "pcsc-tools, opensc")
set(CPACK_DEBIAN_PCSC_PACKAGE_PROVIDES pcsc-ifd-handler)
set(CPACK_DEBIAN_PCSC_PACKAGE_CONTROL_EXTRA ${debian}/postinst ${debian}/postrm
    ${debian}/conffiles)
set(CPACK_DEBIAN_PCSC_DESCRIPTION [=[PC/SC driver for the serchan serial smart-card reader
libifd-serchan.so is a pcsc-lite driver (IFD handler) for a two-slot
smart-card reader on a serial line: with it pcscd makes both slots of each
reader available to every PC/SC application. Readers are declared in
/etc/reader.conf.d/serchan-reader.conf, a template with all its lines
commented out.]=])
