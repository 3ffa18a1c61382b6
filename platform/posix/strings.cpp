// LoadStringA over the string table linked into the module that calls it.
//
// Each module (program or shared library) links its own copy of this layer
// and at most one generated table, so the module handle names nothing that
// the lookup needs and is not looked at.
#include "platform/posix/string_table.h"

// Defined by the generated table; a module without one finds no strings.
extern const StringTable ModuleStringTable __attribute__((weak));

namespace {

const char* FindString(UINT id) {
  const StringTable* table = &ModuleStringTable;
  if (table == nullptr) return nullptr;
  for (size_t i = 0; i < table->count; ++i) {
    if (table->entries[i].id == id) return table->entries[i].text;
  }
  return nullptr;
}

}  // namespace

extern "C" {

// Win32's rules: at most bufferMax - 1 characters and a terminator; the count
// copied is returned, 0 for a string the table does not have.
int WINAPI LoadStringA(HINSTANCE, UINT id, LPSTR buffer, int bufferMax) {
  if (buffer == nullptr || bufferMax <= 0) return 0;
  // String ids are 16-bit: as under Win32, only the low word counts.
  const char* text = FindString(id & 0xFFFF);
  int length = 0;
  if (text != nullptr) {
    while (length < bufferMax - 1 && text[length] != '\0') {
      buffer[length] = text[length];
      ++length;
    }
  }
  buffer[length] = '\0';
  return length;
}

}  // extern "C"
