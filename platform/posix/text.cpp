// Text functions with their Win32 and Microsoft C library rules, and the
// process's command line and end.
//
// The programs' texts are code page 1251, so case is folded for its letters
// (Latin and Cyrillic) wherever case is ignored.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "platform/posix/win32_api.h"

namespace {

// wsprintfA writes at most this many characters, its terminator included.
const size_t kFormatLimit = 1024;

// Lower case of a code page 1251 character.
unsigned char FoldCase(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c + ('a' - 'A'));
  if (c >= 0xC0 && c <= 0xDF) return static_cast<unsigned char>(c + 0x20);  // А..Я
  switch (c) {
    case 0x80:  // Ђ
      return 0x90;
    case 0x81:  // Ѓ
      return 0x83;
    case 0x8A:  // Љ
    case 0x8C:  // Њ
    case 0x8D:  // Ќ
    case 0x8E:  // Ћ
    case 0x8F:  // Џ
      return static_cast<unsigned char>(c + 0x10);
    case 0xA1:  // Ў
      return 0xA2;
    case 0xA3:  // Ј
      return 0xBC;
    case 0xA5:  // Ґ
      return 0xB4;
    case 0xA8:  // Ё
    case 0xAA:  // Є
    case 0xAF:  // Ї
      return static_cast<unsigned char>(c + 0x10);
    case 0xB2:  // І
      return 0xB3;
    case 0xBD:  // Ѕ
      return 0xBE;
    default:
      return c;
  }
}

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// Copies at most `length` characters of source and a terminator to
// destination (capacity characters, terminator included), when it is given.
void CopyPart(char* destination, size_t capacity, const char* source, size_t length) {
  if (destination == nullptr) return;
  if (length > capacity - 1) length = capacity - 1;
  memcpy(destination, source, length);
  destination[length] = '\0';
}

// Appends source to the path being made, within _MAX_PATH.
void Append(char* path, size_t& used, const char* source, size_t length) {
  if (length > _MAX_PATH - 1 - used) length = _MAX_PATH - 1 - used;
  memcpy(path + used, source, length);
  used += length;
  path[used] = '\0';
}

// One command-line item as Windows quotes it: in double quotes when it is
// empty or holds a blank.
void AppendItem(std::string& line, const char* item) {
  if (!line.empty()) line += ' ';
  const bool quoted = *item == '\0' || strpbrk(item, " \t") != nullptr;
  if (quoted) line += '"';
  line += item;
  if (quoted) line += '"';
}

// The process's arguments as /proc/self/cmdline gives them, one line.
std::string ReadCommandLine() {
  std::string line;
  FILE* file = fopen("/proc/self/cmdline", "rb");
  if (file == nullptr) return line;
  std::string arguments;
  char chunk[4096];
  size_t got = 0;
  while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) arguments.append(chunk, got);
  fclose(file);
  for (size_t start = 0; start < arguments.size();) {
    const char* item = arguments.c_str() + start;
    AppendItem(line, item);
    start += strlen(item) + 1;
  }
  return line;
}

}  // namespace

extern "C" {

int wsprintfA(LPSTR buffer, LPCSTR format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int length = vsnprintf(buffer, kFormatLimit, format, arguments);
  va_end(arguments);
  if (length < 0) {
    buffer[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(length) < kFormatLimit ? length : static_cast<int>(kFormatLimit - 1);
}

LPSTR WINAPI lstrcpyA(LPSTR destination, LPCSTR source) { return strcpy(destination, source); }

LPSTR WINAPI lstrcpynA(LPSTR destination, LPCSTR source, int maximum) {
  if (maximum <= 0) return destination;
  int i = 0;
  for (; i < maximum - 1 && source[i] != '\0'; ++i) destination[i] = source[i];
  destination[i] = '\0';
  return destination;
}

int WINAPI CompareStringA(DWORD, DWORD flags, LPCSTR first, int firstLength, LPCSTR second,
                          int secondLength) {
  if (first == nullptr || second == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const size_t a = firstLength < 0 ? strlen(first) : static_cast<size_t>(firstLength);
  const size_t b = secondLength < 0 ? strlen(second) : static_cast<size_t>(secondLength);
  const bool ignoreCase = (flags & NORM_IGNORECASE) != 0;
  for (size_t i = 0; i < a && i < b; ++i) {
    unsigned char x = static_cast<unsigned char>(first[i]);
    unsigned char y = static_cast<unsigned char>(second[i]);
    if (ignoreCase) {
      x = FoldCase(x);
      y = FoldCase(y);
    }
    if (x != y) return x < y ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
  }
  return a == b ? CSTR_EQUAL : a < b ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}

// Microsoft's rules: a text that fills the buffer or more gets no terminator;
// one that does not fit yields -1.
int _snprintf(char* buffer, size_t count, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  va_list again;
  va_copy(again, arguments);
  const int length = vsnprintf(nullptr, 0, format, arguments);
  va_end(arguments);
  int result = -1;
  if (length >= 0 && static_cast<size_t>(length) < count) {
    result = vsnprintf(buffer, count, format, again);
  } else if (length >= 0) {
    char* whole = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
    if (whole != nullptr) {
      vsnprintf(whole, static_cast<size_t>(length) + 1, format, again);
      memcpy(buffer, whole, count);
      free(whole);
      if (static_cast<size_t>(length) == count) result = length;
    }
  }
  va_end(again);
  return result;
}

void _splitpath(const char* path, char* drive, char* directory, char* name, char* extension) {
  const char* rest = path;
  if (path[0] != '\0' && path[1] == ':') rest = path + 2;
  CopyPart(drive, _MAX_DRIVE, path, static_cast<size_t>(rest - path));
  const char* file = rest;
  for (const char* c = rest; *c != '\0'; ++c) {
    if (IsSeparator(*c)) file = c + 1;
  }
  CopyPart(directory, _MAX_DIR, rest, static_cast<size_t>(file - rest));
  const char* dot = strrchr(file, '.');
  const char* end = file + strlen(file);
  if (dot == nullptr) dot = end;
  CopyPart(name, _MAX_FNAME, file, static_cast<size_t>(dot - file));
  CopyPart(extension, _MAX_EXT, dot, static_cast<size_t>(end - dot));
}

void _makepath(char* path, const char* drive, const char* directory, const char* name,
               const char* extension) {
  size_t used = 0;
  path[0] = '\0';
  if (drive != nullptr && drive[0] != '\0') {
    Append(path, used, drive, 1);
    Append(path, used, ":", 1);
  }
  if (directory != nullptr && directory[0] != '\0') {
    const size_t length = strlen(directory);
    Append(path, used, directory, length);
    // A directory without its closing separator gets the one it uses.
    if (!IsSeparator(directory[length - 1])) {
      const bool slashes = strchr(directory, '/') != nullptr && strchr(directory, '\\') == nullptr;
      Append(path, used, slashes ? "/" : "\\", 1);
    }
  }
  if (name != nullptr) Append(path, used, name, strlen(name));
  if (extension != nullptr && extension[0] != '\0') {
    if (extension[0] != '.') Append(path, used, ".", 1);
    Append(path, used, extension, strlen(extension));
  }
}

LPSTR WINAPI GetCommandLineA(void) {
  // Built once; the process keeps it, as Windows does.
  static std::string line = ReadCommandLine();
  return &line[0];
}

void WINAPI ExitProcess(UINT exitCode) {
  fflush(nullptr);
  exit(static_cast<int>(exitCode));
}

}  // extern "C"
