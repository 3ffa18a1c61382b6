// Opening, settling and closing a reader's device (reader_state.h).
#include "pcscdriver/reader_state.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "pcscdriver/driver_log.h"
#include "serchan32/serchan32.h"

namespace pcscdriver {

namespace {

Reader Readers[kMaxReaders];

// Why a device that did not open did not, as far as can be told without
// opening it: an open toggles the modem lines of a real port. A COM port is
// the device serchan32 maps it to.
std::string WhyNotOpened(const DeviceName& device) {
  std::string path = device.path;
  std::string mapped;
  if (device.com != 0) {
    char mappedPath[4096], source[4096];
    if (XRT_M_Comm_PortDevice(device.com, mappedPath, sizeof mappedPath, source, sizeof source) !=
        0)
      return std::string("leads nowhere: ") + source;
    path = mappedPath;
    mapped = " (" + path + ", " + source + ")";
  }
  if (access(path.c_str(), F_OK) != 0 || access(path.c_str(), R_OK | W_OK) != 0)
    return "cannot be opened" + mapped + ": " + strerror(errno);
  return "cannot be opened" + mapped + ": in use by another program, or not a serial port";
}

}  // namespace

Reader* ReaderAt(unsigned index) { return index < kMaxReaders ? &Readers[index] : nullptr; }

void LogOnce(Reader& reader, const std::string& message) {
  if (message == reader.logged) return;
  reader.logged = message;
  Log(LogLevel::kError, "%s: %s", DeviceText(reader.device).c_str(), message.c_str());
}

Result Prepare(Reader& reader) {
  if (reader.channel < 0) {
    const int opened =
        reader.device.com != 0
            ? XRT_M_Comm_OpenChannel(reader.device.com, reader.device.baud, &reader.channel)
            : XRT_M_Comm_OpenDevice(reader.device.path.c_str(), reader.device.baud,
                                    &reader.channel);
    if (opened != 0) {
      reader.channel = -1;
      LogOnce(reader, WhyNotOpened(reader.device));
      return Result::kNoDevice;
    }
    reader.logged.clear();
    reader.everOpened = true;
    Log(LogLevel::kInfo, "%s: open", DeviceText(reader.device).c_str());
  }
  if (!reader.unsettled) return Result::kOk;
  bool sent = true;
  if (LinkSettle(reader.channel, &sent)) {
    reader.unsettled = false;
    return Result::kOk;
  }
  if (!sent) {
    LogOnce(reader, "the device has gone");
    Disconnect(reader);
    return Result::kNoDevice;
  }
  LogOnce(reader, "the reader does not answer");
  return Result::kError;
}

Result Failed(Reader& reader, const ReaderAnswer& answer, const char* operation) {
  reader.statusKnown = false;
  if (!answer.sent) {
    LogOnce(reader, std::string(operation) + ": the device has gone");
    Disconnect(reader);
    return Result::kNoDevice;
  }
  reader.unsettled = true;
  Log(LogLevel::kError, "%s: %s: %s", DeviceText(reader.device).c_str(), operation,
      LinkResultText(answer.link));
  return Result::kError;
}

void Disconnect(Reader& reader) {
  if (reader.channel >= 0) XRT_M_Comm_CloseChannel(reader.channel);
  reader.channel = -1;
  // A device that comes back holds a reader in step, its cards unpowered.
  reader.unsettled = false;
  reader.statusKnown = false;
  reader.cardsKnown = false;
  for (unsigned slot = 0; slot < kSlots; ++slot) reader.atrLength[slot] = 0;
}

}  // namespace pcscdriver
