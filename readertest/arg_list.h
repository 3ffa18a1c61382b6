// A line split into blank-separated tokens; a double-quoted token keeps its
// blanks. The copy of the line and the token table live on a private heap,
// released at once when the list goes.
#pragma once

#include "platform/platform.h"

struct ArgList {
  explicit ArgList(const char* source);
  ~ArgList();
  ArgList(const ArgList&) = delete;
  ArgList& operator=(const ArgList&) = delete;

  int Count() const { return count; }
  // The token at index, or null when index is outside 0..Count()-1.
  const char* Item(int index) const { return index >= 0 && index < count ? items[index] : nullptr; }

  LONG count;
  char* text;    // the private copy; tokens are cut out of it in place
  char** items;  // count pointers into text
  HANDLE heap;
};
