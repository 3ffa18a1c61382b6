# Test labels and the fixtures they bring. ctest starts the test bed and the
# Wine prefix around the tests that need them (FIXTURES_SETUP/_CLEANUP), so
# that any test runs alone with plain ctest.
#
# Labels: unit, line (on the test bed's lines), e2e, faults, load, fuzz, pcsc,
# remote (ports on a ser2net server), dist (the packages), format (the
# sources' format), and wine for every test that runs a Windows program under
# Wine.

# The test bed's COM port numbers, from its table (tools/bed-ports): each row
# NAME as the list SERCHAN_PORTS_<NAME>, and for C++ as the array k<Name> of
# the generated bed_ports.h (sim_readertest_faults as kSimReadertestFaults).
set(bed_ports_table ${CMAKE_SOURCE_DIR}/tools/bed-ports)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${bed_ports_table})
file(STRINGS ${bed_ports_table} bed_ports_rows REGEX "^[a-z0-9_]+=")
set(bed_ports_header
    "// The test bed's COM port numbers (made by CMake from tools/bed-ports).\n#pragma once\n\n")
foreach(row IN LISTS bed_ports_rows)
  string(REGEX REPLACE "=.*" "" name "${row}")
  string(REGEX REPLACE "^[^=]*= *" "" numbers "${row}")
  string(REGEX REPLACE " +" ";" numbers "${numbers}")
  set(SERCHAN_PORTS_${name} ${numbers})
  string(REPLACE "_" ";" words "${name}")
  set(array k)
  foreach(word IN LISTS words)
    string(SUBSTRING "${word}" 0 1 head)
    string(SUBSTRING "${word}" 1 -1 tail)
    string(TOUPPER "${head}" head)
    string(APPEND array "${head}${tail}")
  endforeach()
  list(JOIN numbers ", " elements)
  string(APPEND bed_ports_header "constexpr int ${array}[] = {${elements}};\n")
endforeach()
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/bed_ports.h CONTENT "${bed_ports_header}")

# The bed: pseudo-terminal pairs behind the bed_pairs ports (ptybed), with the
# modem lines of the modemlines preload, under build/bed of the checkout. The
# Windows trees use the native tree's ptybed.
set(SERCHAN_BED_DIR ${CMAKE_SOURCE_DIR}/build/bed)
set(SERCHAN_BED_PORTS ${SERCHAN_PORTS_bed_pairs})
if(WIN32)
  set(SERCHAN_NATIVE_BUILD ${CMAKE_SOURCE_DIR}/build/native CACHE PATH
      "The native tree whose test-bed tools the Windows trees use")
  set(bed_tool ${SERCHAN_NATIVE_BUILD}/bin/ptybed)
  set(wine_run ${CMAKE_CROSSCOMPILING_EMULATOR})
else()
  set(bed_tool $<TARGET_FILE:ptybed>)
  set(wine_run ${CMAKE_SOURCE_DIR}/tools/wine-run --win64)
endif()

function(serchan_add_fixtures)
  add_test(NAME bed_start COMMAND ${bed_tool} --start ${SERCHAN_BED_DIR}/ptybed.pid
                                  ${SERCHAN_BED_DIR} ${SERCHAN_BED_PORTS})
  add_test(NAME bed_stop COMMAND ${bed_tool} --stop ${SERCHAN_BED_DIR}/ptybed.pid)
  # Labelled as the tests that need them, so that excluding those by label
  # leaves the fixtures out too (in a Windows tree, all of them run under Wine).
  set(bed_labels line)
  if(WIN32)
    list(APPEND bed_labels wine)
  endif()
  set_tests_properties(bed_start PROPERTIES FIXTURES_SETUP bed TIMEOUT 30 LABELS "${bed_labels}")
  set_tests_properties(bed_stop PROPERTIES FIXTURES_CLEANUP bed TIMEOUT 30 LABELS "${bed_labels}")
  # The prefix is made once (the first time takes about 20 s); its server and
  # services are started before the tests and ended after them.
  add_test(NAME wine_start COMMAND ${wine_run} --prepare)
  add_test(NAME wine_stop COMMAND ${wine_run} --stop)
  set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 600 LABELS wine)
  set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60 LABELS wine)
endfunction()

# serchan_label(LABEL [WINE] [HOST] TEST...): gives the tests LABEL, the
# fixtures it needs (the bed for line) and the bed's folder. In a Windows
# tree a test runs under Wine, unless HOST says that it runs on this machine
# (the shape checks); WINE says so in the native tree.
function(serchan_label label)
  cmake_parse_arguments(arg "WINE;HOST" "" "" ${ARGN})
  set(labels ${label})
  set(fixtures)
  if(label STREQUAL "line")
    list(APPEND fixtures bed)
  endif()
  if(arg_WINE OR (WIN32 AND NOT arg_HOST))
    list(APPEND labels wine)
    list(APPEND fixtures wine)
  endif()
  set_property(TEST ${arg_UNPARSED_ARGUMENTS} APPEND PROPERTY LABELS ${labels})
  set_property(TEST ${arg_UNPARSED_ARGUMENTS} APPEND PROPERTY FIXTURES_REQUIRED ${fixtures})
  if(label STREQUAL "line")
    # The line suites open the same bed ports: one at a time.
    set_property(TEST ${arg_UNPARSED_ARGUMENTS} APPEND PROPERTY RESOURCE_LOCK bed_ports)
  endif()
  # Where the bed's files are, for the tests, the preload and the Windows
  # programs (the bed's own files, simulator and reliability links alike).
  set_property(TEST ${arg_UNPARSED_ARGUMENTS} APPEND PROPERTY ENVIRONMENT_MODIFICATION
               MODEMLINES_DIR=set:${SERCHAN_BED_DIR})
endfunction()
