// A minimal Win32 host of the echo exchange: the command frame in one
// WriteFile, each piece of the answer (status, length, data, CRC) with one
// overlapped ReadFile of the whole piece, all read time-outs zero (a read
// ends when its bytes are there) and a wait of a second for each.
// Usage: piece_host COMNUMBER BAUD SECONDS PAYLOAD...
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "bench/echo_runs.h"

namespace {

HANDLE device = INVALID_HANDLE_VALUE;
OVERLAPPED reading = {};
OVERLAPPED writing = {};

bool Transfer(BOOL started, OVERLAPPED& overlapped, DWORD count) {
  DWORD done = 0;
  if (!started) {
    if (GetLastError() != ERROR_IO_PENDING) return false;
    if (WaitForSingleObject(overlapped.hEvent, 1000) != WAIT_OBJECT_0) {
      CancelIo(device);
      GetOverlappedResult(device, &overlapped, &done, TRUE);
      return false;
    }
  }
  return GetOverlappedResult(device, &overlapped, &done, FALSE) && done == count;
}

bool ReadPiece(unsigned char* buffer, unsigned count) {
  if (count == 0) return true;
  return Transfer(ReadFile(device, buffer, count, nullptr, &reading), reading, count);
}

bool Exchange(unsigned payload) {
  static unsigned char frame[2048];
  const DWORD length = EchoFrame(payload, frame);
  PurgeComm(device, PURGE_RXCLEAR);
  if (!Transfer(WriteFile(device, frame, length, nullptr, &writing), writing, length)) return false;
  return ReadEchoAnswer(payload, ReadPiece);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: piece_host COMNUMBER BAUD SECONDS PAYLOAD...\n");
    return 2;
  }
  char name[32];
  std::snprintf(name, sizeof name, "\\\\.\\COM%d", std::atoi(argv[1]));
  device = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
  DCB line = {};
  line.DCBlength = sizeof line;
  if (device == INVALID_HANDLE_VALUE || !GetCommState(device, &line)) {
    std::fprintf(stderr, "piece_host: cannot open %s\n", name);
    return 1;
  }
  line.BaudRate = DWORD(std::atoi(argv[2]));
  line.ByteSize = 8;
  line.Parity = NOPARITY;
  line.StopBits = ONESTOPBIT;
  line.fBinary = TRUE;
  SetCommState(device, &line);
  COMMTIMEOUTS timeouts = {};
  SetCommTimeouts(device, &timeouts);
  reading.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  writing.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  const double seconds = std::atof(argv[3]);
  for (int i = 4; i < argc; ++i) MeasureEcho(unsigned(std::atoi(argv[i])), seconds, Exchange);
  CloseHandle(device);
  return 0;
}
