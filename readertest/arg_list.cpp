// Splitting a line into its tokens.
#include "readertest/arg_list.h"

#include <cstring>

namespace {

// One pass over the copy: counts the tokens and, given a table, stores them
// and cuts them out. Only the space separates; a token that starts with a
// double quote runs to the next one (or to the end) and loses both quotes.
LONG Scan(char* text, char** items) {
  LONG count = 0;
  char* const end = text + std::strlen(text);
  char* cursor = text;
  while (cursor < end) {
    while (cursor < end && *cursor == ' ') ++cursor;
    if (cursor == end) break;
    char delimiter = ' ';
    if (*cursor == '"') {
      delimiter = '"';
      ++cursor;
    }
    // Stored before the end check: a lone quote at the very end is an empty
    // token (it points at the terminator) rather than an item left unset.
    if (items != nullptr) items[count] = cursor;
    ++count;
    if (cursor == end) break;
    while (cursor < end && *cursor != delimiter) ++cursor;
    if (items != nullptr) *cursor = '\0';
    ++cursor;
  }
  return count;
}

}  // namespace

ArgList::ArgList(const char* source)
    : count(0), text(nullptr), items(nullptr), heap(HeapCreate(0, 0, 0)) {
  // Without its heap or its storage the list is empty: every item is null.
  if (heap == nullptr) return;
  const size_t length = std::strlen(source);
  text = static_cast<char*>(HeapAlloc(heap, 0, length + 1));
  if (text == nullptr) return;
  std::memcpy(text, source, length + 1);
  const LONG tokens = Scan(text, nullptr);
  if (tokens == 0) return;
  items = static_cast<char**>(HeapAlloc(heap, 0, sizeof(char*) * tokens));
  if (items == nullptr) return;
  count = Scan(text, items);
}

ArgList::~ArgList() {
  if (heap != nullptr) HeapDestroy(heap);
}
