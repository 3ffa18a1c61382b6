// The far end of a test-bed COM port: the pseudo-terminal that the bed links
// to the port's own (build/bed/far<N>), and the port's modem lines as the bed
// keeps them (build/bed/com<N>.lines: the far end's lines, then the host's).
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

// Modem-line bits as the bed's line files hold them.
const DWORD kLineDtr = 0x002;
const DWORD kLineRts = 0x004;
const DWORD kLineCts = 0x020;
const DWORD kLineCarrier = 0x040;
const DWORD kLineRing = 0x080;
const DWORD kLineDsr = 0x100;
const DWORD kFarLinesOn = kLineDsr | kLineCts | kLineCarrier;

class FarEnd {
 public:
  explicit FarEnd(int comNumber);
  ~FarEnd();
  FarEnd(const FarEnd&) = delete;
  FarEnd& operator=(const FarEnd&) = delete;

  bool IsOpen() const;
  bool Write(const std::vector<BYTE>& bytes);
  // Up to `count` bytes, waiting at most timeoutMs for all of them.
  std::vector<BYTE> Read(size_t count, DWORD timeoutMs);
  // Discards whatever is waiting.
  void Drain();

  // The lines the far end drives (DSR, CTS, carrier, ring), and those the
  // port's owner drives (DTR, RTS).
  bool SetFarLines(DWORD lines);
  DWORD HostLines();

 private:
  std::string linesPath_;
#if defined(_WIN32)
  HANDLE handle_;
#else
  int fd_;  // natively the far end is a plain terminal descriptor
#endif
};

// A file of the bed (from MODEMLINES_DIR): through Wine's Z: drive under
// Windows, its own path natively.
std::string BedPath(const std::string& name);
