// A module's string table, as add_string_table (string_table.cmake) makes it
// from the module's .rc file: each id with its text, in code page 1251.
#pragma once

#include "platform/posix/win32_api.h"

struct StringTableEntry {
  UINT id;
  const char* text;
};

struct StringTable {
  const StringTableEntry* entries;
  size_t count;
};
