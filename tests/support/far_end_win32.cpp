// The far end under Wine: the bed's files through Wine's Z: drive.
#include "tests/support/far_end.h"

#include <cstdlib>

std::string BedPath(const std::string& name) {
  const char* dir = std::getenv("MODEMLINES_DIR");
  std::string path = std::string("Z:") + (dir != nullptr ? dir : "/nonexistent") + "/" + name;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

FarEnd::FarEnd(int comNumber)
    : linesPath_(BedPath("com" + std::to_string(comNumber) + ".lines")),
      handle_(CreateFileA(BedPath("far" + std::to_string(comNumber)).c_str(),
                          GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {
  SetFarLines(kFarLinesOn);
  Drain();
}

bool FarEnd::IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }

FarEnd::~FarEnd() {
  SetFarLines(kFarLinesOn);
  if (IsOpen()) CloseHandle(handle_);
}

bool FarEnd::Write(const std::vector<BYTE>& bytes) {
  DWORD written = 0;
  return IsOpen() &&
         WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

std::vector<BYTE> FarEnd::Read(size_t count, DWORD timeoutMs) {
  std::vector<BYTE> bytes;
  if (!IsOpen()) return bytes;
  const DWORD start = GetTickCount();
  while (bytes.size() < count) {
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= timeoutMs) break;
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = timeoutMs - elapsed;
    SetCommTimeouts(handle_, &timeouts);
    BYTE chunk[4096];
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(count - bytes.size() < sizeof chunk ? count - bytes.size()
                                                                              : sizeof chunk);
    if (!ReadFile(handle_, chunk, want, &got, nullptr)) break;
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  return bytes;
}

void FarEnd::Drain() {
  while (!Read(4096, 20).empty()) {
  }
}

bool FarEnd::SetFarLines(DWORD lines) {
  HANDLE file = CreateFileA(linesPath_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL done = WriteFile(file, &lines, sizeof lines, &written, nullptr);
  CloseHandle(file);
  return done && written == sizeof lines;
}

DWORD FarEnd::HostLines() {
  HANDLE file = CreateFileA(linesPath_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0xFFFFFFFF;
  DWORD words[2] = {0, 0xFFFFFFFF};
  DWORD got = 0;
  ReadFile(file, words, sizeof words, &got, nullptr);
  CloseHandle(file);
  return got == sizeof words ? words[1] : 0xFFFFFFFF;
}
