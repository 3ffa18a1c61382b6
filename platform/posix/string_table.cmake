# Makes the C++ string table of a resource script, for LoadStringA on POSIX:
#
#   cmake -DRC=<script.rc> -DOUTPUT=<table.cpp> -P string_table.cmake
#
# It reads the script's STRINGTABLE blocks. Ids are numbers, or names that a
# header the script includes ("file", beside it) #defines. Texts keep their C
# escapes, and "" stands for a quote, as in a resource script. The script is
# UTF-8 (#pragma code_page(65001)); the table is compiled with
# -fexec-charset=CP1251, so that its texts are what LoadStringA gives under
# Windows in the Russian locale.

# The lines of a file as a list. Characters that lists or the regular
# expressions below would take apart are masked, and unmasked in the output.
function(read_lines file out)
  file(READ "${file}" content)
  string(REPLACE "\\" "@BS@" content "${content}")
  string(REPLACE ";" "@SC@" content "${content}")
  string(REPLACE "[" "@LB@" content "${content}")
  string(REPLACE "]" "@RB@" content "${content}")
  string(REPLACE "\r" "" content "${content}")
  string(REPLACE "\n" ";" content "${content}")
  set(${out} "${content}" PARENT_SCOPE)
endfunction()

function(unmask text out)
  string(REPLACE "@RB@" "]" text "${text}")
  string(REPLACE "@LB@" "[" text "${text}")
  string(REPLACE "@SC@" ";" text "${text}")
  string(REPLACE "@BS@" "\\" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

if(NOT RC OR NOT OUTPUT)
  message(FATAL_ERROR "usage: cmake -DRC=<script.rc> -DOUTPUT=<table.cpp> -P string_table.cmake")
endif()
get_filename_component(rc_dir "${RC}" DIRECTORY)
read_lines("${RC}" lines)

set(entries "")
set(state outside)  # outside, header (after STRINGTABLE), inside (after BEGIN)
set(number 0)
foreach(line IN LISTS lines)
  math(EXPR number "${number} + 1")
  set(where "${RC}:${number}")
  if(line MATCHES "^[ \t]*#[ \t]*include[ \t]+\"([^\"]+)\"")
    read_lines("${rc_dir}/${CMAKE_MATCH_1}" header_lines)
    foreach(header_line IN LISTS header_lines)
      if(header_line MATCHES "^[ \t]*#[ \t]*define[ \t]+([A-Za-z_][A-Za-z0-9_]*)[ \t]+((0x)?[0-9A-Fa-f]+)[ \t]*$")
        math(EXPR value "${CMAKE_MATCH_2}")
        set(id_${CMAKE_MATCH_1} ${value})
      endif()
    endforeach()
  elseif(line MATCHES "^[ \t]*#[ \t]*pragma[ \t]+code_page\\(([0-9]+)\\)")
    if(NOT CMAKE_MATCH_1 EQUAL 65001)
      message(FATAL_ERROR "${where}: code page ${CMAKE_MATCH_1}; the table is made from UTF-8 only")
    endif()
  elseif(state STREQUAL "outside" AND line MATCHES "^[ \t]*STRINGTABLE")
    set(state header)
  elseif(state STREQUAL "header" AND line MATCHES "^[ \t]*(BEGIN|{)[ \t]*$")
    set(state inside)
  elseif(state STREQUAL "inside" AND line MATCHES "^[ \t]*(END|})[ \t]*$")
    set(state outside)
  elseif(state STREQUAL "inside" AND line MATCHES "^[ \t]*([A-Za-z0-9_]+)[ \t]*,?[ \t]*\"(.*)\"[ \t]*$")
    set(token "${CMAKE_MATCH_1}")
    set(text "${CMAKE_MATCH_2}")
    if(token MATCHES "^[0-9]+$")
      set(id ${token})
    elseif(DEFINED id_${token})
      set(id ${id_${token}})
    else()
      message(FATAL_ERROR "${where}: ${token} is defined by no included header")
    endif()
    if(DEFINED seen_${id})
      message(FATAL_ERROR "${where}: string ${id} is in the table twice")
    endif()
    set(seen_${id} 1)
    string(REPLACE "\"\"" "@BS@\"" text "${text}")
    unmask("${text}" text)
    string(APPEND entries "    {${id}u, \"${text}\"},\n")
  elseif(state STREQUAL "inside" AND NOT line MATCHES "^[ \t]*(//.*)?$")
    message(FATAL_ERROR "${where}: not a string of the table")
  endif()
endforeach()
if(entries STREQUAL "")
  message(FATAL_ERROR "${RC}: no string table")
endif()

get_filename_component(rc_name "${RC}" NAME)
file(WRITE "${OUTPUT}" "// The string table of ${rc_name}, made by platform/posix/string_table.cmake.
#include \"platform/posix/string_table.h\"

namespace {

const StringTableEntry kEntries[] = {
${entries}};

}  // namespace

extern const StringTable ModuleStringTable = {kEntries, sizeof kEntries / sizeof kEntries[0]};
")
