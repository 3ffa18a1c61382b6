// The channel table and the 18 exported functions.
#include "serchan32/channel_table.h"

#include <cstring>
#include <new>
#include <string>

#include "serchan32/comm_device.h"
#include "serchan32/serchan32.h"
#include "serchan32/trace.h"

ChannelSlot Channels[kChannelCount];
CRITICAL_SECTION ChannelLock;

namespace {

const DWORD kInterByteTimeoutMs = 50;
const int kEndOfBlockMaximum = 256;
// A device path, its terminator included, fits in a port's name.
const size_t kDevicePathMaximum = sizeof(CommPort::portName);

bool InRange(int index) { return index >= 0 && index < kChannelCount; }

CommPort& PortOf(int index) { return *Channels[index].port; }

// Parity letters as the DCB codes them; -1 for any other character.
int ParityCode(int letter) {
  switch (static_cast<char>(letter & 0xFF)) {
    case 'N':
      return NOPARITY;
    case 'O':
      return ODDPARITY;
    case 'E':
      return EVENPARITY;
    case 'M':
      return MARKPARITY;
    case 'S':
      return SPACEPARITY;
    default:
      return -1;
  }
}

// Why a port operation did not succeed, for the trace.
const char* StatusText(PortStatus status) {
  static const char* const kTexts[] = {"ok",           "end character", "already open",
                                       "not open",     "write failed",  "write short",
                                       "read failed",  "time-out",      "DSR lost",
                                       "carrier lost", "break",         "call failed"};
  return status < sizeof kTexts / sizeof kTexts[0] ? kTexts[status] : "unknown";
}

// An export's result, traced when it is a failure.
int Result(int index, const char* call, int result, const char* why = "") {
  if (Tracing() && result < 0)
    TraceLine(index, "FAIL", "%s = %d%s%s", call, result, *why ? " " : "", why);
  return result;
}

int BadChannel(int index, const char* call) {
  return Result(index, call, SERCHAN32_BAD_CHANNEL, "(no such channel, or not open)");
}

// The carrier check of a checked read; a lost carrier switches it off.
bool CarrierLost(int index) {
  ChannelSlot& slot = Channels[index];
  if (!slot.checkCarrier) return false;
  DWORD status = 0;
  if (device::GetCommModemStatus(PortOf(index).handle, &status) && (status & MS_RLSD_ON)) {
    return false;
  }
  slot.checkCarrier = 0;
  return true;
}

// A block read whose count is reported only when it ended complete or on an
// end character; the buffer gets a NUL after the bytes reported.
int CheckedRead(const char* call, int index, unsigned char* buffer, unsigned timeout, DWORD maximum,
                short endCharacter) {
  if (!IsChannelUsable(index)) return BadChannel(index, call);
  if (CarrierLost(index)) return Result(index, call, SERCHAN32_CARRIER_LOST, "(carrier lost)");
  PumpMessages(index);
  DWORD count = 0;
  PortStatus status = ReadBlock(PortOf(index), buffer, maximum, &count, timeout,
                                kInterByteTimeoutMs, endCharacter, 0);
  if (status != kPortOk && status != kPortTerminator) {
    count = 0;
    if (Tracing()) TraceLine(index, "FAIL", "%s: %s, 0 bytes reported", call, StatusText(status));
  }
  buffer[count] = 0;
  if (CarrierLost(index)) return Result(index, call, SERCHAN32_CARRIER_LOST, "(carrier lost)");
  return static_cast<int>(count);
}

// The COM port number that a port number names: COM257 is COM1 again.
unsigned ComPort(unsigned portNumber) { return ((portNumber - 1) & 0xFF) + 1; }

// For the trace, natively: the device a COM port's number led to and why,
// and what a server said when it refused the port; empty where the system
// maps COM names itself.
std::string MappingNote(unsigned portNumber) {
  std::string device, source;
  const unsigned port = ComPort(portNumber);
  std::string note;
  if (device::ComPortDevice(port, &device, &source)) {
    note = "; COM" + std::to_string(port) + " is " + device + " (" + source + ")";
  } else if (!source.empty()) {
    note = "; COM" + std::to_string(port) + " leads nowhere: " + source;
  }
  const std::string refused = device::LastOpenRefusal();
  if (!refused.empty()) note += "; the server: " + refused;
  return note;
}

// Opens a free channel on COM port portNumber, or natively on the device at
// devicePath when that is given.
int OpenChannel(const char* call, unsigned portNumber, const char* devicePath, unsigned baud,
                int parity, int dataBits, int stopBits, int* outIndex) {
  *outIndex = -1;
  // One and two stop bits are the codes the library defines; others open nothing.
  if (stopBits != 1 && stopBits != 2) {
    return Result(-1, call, SERCHAN32_BAD_CHANNEL, "(stop bits must be 1 or 2)");
  }
  PortSettings settings = {};
  settings.portNumber = portNumber;
  settings.baudRate = baud;

  CriticalSectionLock lock(ChannelLock);
  int index = 0;
  while (index < kChannelCount && Channels[index].port != nullptr) ++index;
  if (index == kChannelCount) return Result(-1, call, SERCHAN32_BAD_CHANNEL, "(no free channel)");

  const unsigned stopCode = stopBits == 1 ? ONESTOPBIT : TWOSTOPBITS;
  PortStatus status = kPortNotOpen;
  Channels[index].port =
      new (std::nothrow) CommPort(settings, static_cast<unsigned>(dataBits), ParityCode(parity),
                                  stopCode, status, index, devicePath);
  if (Channels[index].port == nullptr || status != kPortOk) {
    const char* why = Channels[index].port == nullptr ? "no memory" : StatusText(status);
    XRT_M_Comm_CloseChannel(index);
    if (Tracing() && devicePath != nullptr) {
      TraceLine(index, "FAIL", "%s = %d (%s %u baud not opened: %s)", call, SERCHAN32_BAD_CHANNEL,
                devicePath, baud, why);
    } else if (Tracing()) {
      TraceLine(index, "FAIL", "%s = %d (COM%u %u baud not opened: %s%s)", call,
                SERCHAN32_BAD_CHANNEL, portNumber, baud, why, MappingNote(portNumber).c_str());
    }
    return SERCHAN32_BAD_CHANNEL;
  }
  if (Tracing()) {
    TraceLine(index, "OPEN", "%s %s%s", PortOf(index).portName, PortOf(index).description,
              devicePath != nullptr ? "" : MappingNote(portNumber).c_str());
  }
  Channels[index].connected = 1;
  *outIndex = index;
  return 0;
}

}  // namespace

void AttachLibrary(HINSTANCE module) {
  InitializeCriticalSection(&ChannelLock);
  LibraryModule = module;
  TraceStart();
  for (ChannelSlot& slot : Channels) {
    slot.port = nullptr;
    slot.waitMode = 0;
  }
}

void DetachLibrary(bool unloading) {
  EnterCriticalSection(&ChannelLock);
  for (ChannelSlot& slot : Channels) {
    if (slot.port != nullptr) slot.port->closingUnderLoaderLock = unloading;
    delete slot.port;
    slot.port = nullptr;
  }
  LeaveCriticalSection(&ChannelLock);
  DeleteCriticalSection(&ChannelLock);
  TraceStop();
}

bool IsChannelUsable(int index) {
  return InRange(index) && Channels[index].port != nullptr &&
         Channels[index].port->handle != INVALID_HANDLE_VALUE && Channels[index].connected != 0;
}

void PumpMessages(int index) {
  if (Channels[index].waitMode == 1) return;
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_NOYIELD)) {
    PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE | PM_NOYIELD);
    DispatchMessageA(&message);
  }
}

extern "C" {

int SERCHAN32_CALL GetGlobDummy(void) { return 0; }

int SERCHAN32_CALL XRT_M_Change_Wait_Mode(int index, int mode) {
  if (InRange(index)) Channels[index].waitMode = mode;
  return 0;
}

int SERCHAN32_CALL XRT_M_Comm_Check_RLSD(int index, int on) {
  if (!InRange(index)) return BadChannel(index, "XRT_M_Comm_Check_RLSD");
  Channels[index].checkCarrier = on;
  return 0;
}

int SERCHAN32_CALL XRT_M_Set_FlagConnect(int index, int flag) {
  if (!InRange(index)) return BadChannel(index, "XRT_M_Set_FlagConnect");
  Channels[index].connected = flag;
  return 0;
}

int SERCHAN32_CALL XRT_M_Comm_CloseChannel(int index) {
  if (!InRange(index)) return BadChannel(index, "XRT_M_Comm_CloseChannel");
  CriticalSectionLock lock(ChannelLock);
  delete Channels[index].port;
  Channels[index].port = nullptr;
  return 0;
}

int SERCHAN32_CALL XRT_M_Comm_OpenChannel(unsigned port, unsigned baud, int* outIndex) {
  return XRT_M_Comm_OpenChannel_0(port, baud, 'N', 8, 1, outIndex);
}

int SERCHAN32_CALL XRT_M_Comm_OpenChannel_0(unsigned portNumber, unsigned baud, int parity,
                                            int dataBits, int stopBits, int* outIndex) {
  return OpenChannel("XRT_M_Comm_OpenChannel_0", portNumber, nullptr, baud, parity, dataBits,
                     stopBits, outIndex);
}

#if !defined(_WIN32)
int SERCHAN32_CALL XRT_M_Comm_OpenDevice(const char* device, unsigned baud, int* outIndex) {
  const char* const call = "XRT_M_Comm_OpenDevice";
  if (device == nullptr || device[0] != '/' || std::strlen(device) >= kDevicePathMaximum) {
    *outIndex = -1;
    return Result(-1, call, SERCHAN32_BAD_CHANNEL, "(not an absolute device path that fits)");
  }
  return OpenChannel(call, 0, device, baud, 'N', 8, 1, outIndex);
}

int XRT_M_Comm_PortDevice(unsigned port, char* device, unsigned deviceSize, char* source,
                          unsigned sourceSize) {
  std::string path, from;
  const bool leads = device::ComPortDevice(ComPort(port), &path, &from);
  if (device != nullptr && deviceSize != 0) lstrcpynA(device, path.c_str(), deviceSize);
  if (source != nullptr && sourceSize != 0) lstrcpynA(source, from.c_str(), sourceSize);
  return leads ? 0 : SERCHAN32_FAILED;
}
#endif

int SERCHAN32_CALL XRT_M_Comm_SendBlock(int index, const unsigned char* buffer, unsigned length) {
  const char* const call = "XRT_M_Comm_SendBlock";
  if (!IsChannelUsable(index)) return BadChannel(index, call);
  PortStatus status = PurgePort(PortOf(index));
  if (status == kPortOk) status = WriteBlock(PortOf(index), buffer, length & 0xFF);
  return status == kPortOk ? 0 : Result(index, call, SERCHAN32_FAILED, StatusText(status));
}

int SERCHAN32_CALL XRT_M_Comm_SendBlock_0(int index, const unsigned char* buffer, unsigned length) {
  const char* const call = "XRT_M_Comm_SendBlock_0";
  if (!IsChannelUsable(index)) return BadChannel(index, call);
  const PortStatus status = WriteBlock(PortOf(index), buffer, length & 0xFFFF);
  return status == kPortOk ? 0 : Result(index, call, SERCHAN32_FAILED, StatusText(status));
}

int SERCHAN32_CALL XRT_M_Comm_FlushBuffers(int index) {
  const char* const call = "XRT_M_Comm_FlushBuffers";
  if (!IsChannelUsable(index)) return BadChannel(index, call);
  return PurgePort(PortOf(index)) == kPortOk ? 0 : Result(index, call, SERCHAN32_FAILED);
}

int SERCHAN32_CALL XRT_M_Comm_RTS(int index, int on) {
  if (!IsChannelUsable(index)) return BadChannel(index, "XRT_M_Comm_RTS");
  device::EscapeCommFunction(PortOf(index).handle, on ? SETRTS : CLRRTS);
  return 0;
}

int SERCHAN32_CALL XRT_M_Comm_Delay(int index, unsigned milliseconds) {
  const char* const call = "XRT_M_Comm_Delay";
  if (!IsChannelUsable(index)) return BadChannel(index, call);
  HANDLE breakEvent = PortOf(index).breakEvent;
  if (WaitForSingleObject(breakEvent, milliseconds) == WAIT_TIMEOUT) return 0;
  ResetEvent(breakEvent);
  if (Tracing()) TraceLine(index, "BREAK", "delay ended by the break event");
  return Result(index, call, SERCHAN32_FAILED, "break");
}

int SERCHAN32_CALL XRT_M_Comm_GetBreakEvent(int index, void** outEvent) {
  if (!IsChannelUsable(index)) return BadChannel(index, "XRT_M_Comm_GetBreakEvent");
  *outEvent = ExportedEvent(PortOf(index).breakEvent);
  return 0;
}

int SERCHAN32_CALL XRT_M_Comm_ReadByte(int index, unsigned char* byte, unsigned timeout) {
  const char* const call = "XRT_M_Comm_ReadByte";
  if (!IsChannelUsable(index)) return BadChannel(index, call);
  PumpMessages(index);
  const PortStatus status = ReadOneByte(PortOf(index), byte, timeout);
  if (status != kPortOk) return Result(index, call, SERCHAN32_FAILED, StatusText(status));
  if (Tracing()) TraceBlock(index, "RX", byte, 1);
  return 0;
}

int SERCHAN32_CALL XRT_M_Comm_ReadBlock(int index, unsigned char* buffer, unsigned timeout,
                                        unsigned count) {
  const char* const call = "XRT_M_Comm_ReadBlock";
  if (!IsChannelUsable(index)) return BadChannel(index, call);
  PumpMessages(index);
  DWORD received = 0;
  PortStatus status = ReadBlock(PortOf(index), buffer, count & 0xFFFF, &received, timeout,
                                kInterByteTimeoutMs, 0, 0);
  if (status != kPortOk && status != kPortTerminator) {
    if (Tracing()) {
      TraceLine(index, "FAIL", "%s = %d %s (%u of %u bytes in %u ms)", call, SERCHAN32_FAILED,
                StatusText(status), static_cast<unsigned>(received), count & 0xFFFF, timeout);
    }
    return SERCHAN32_FAILED;
  }
  return static_cast<int>(received);
}

int SERCHAN32_CALL XRT_M_Comm_ReadBlock_EOB(int index, unsigned char* buffer, unsigned timeout,
                                            int endOfBlock) {
  return CheckedRead("XRT_M_Comm_ReadBlock_EOB", index, buffer, timeout, kEndOfBlockMaximum,
                     static_cast<short>(endOfBlock & 0xFF));
}

int SERCHAN32_CALL XRT_M_Comm_ReadBlock_Length(int index, unsigned char* buffer, unsigned timeout,
                                               unsigned length) {
  return CheckedRead("XRT_M_Comm_ReadBlock_Length", index, buffer, timeout, length & 0xFF, 0);
}

int SERCHAN32_CALL XRT_M_Comm_CheckRecvQueue(int index, unsigned* outQueued) {
  *outQueued = 0;
  const char* const call = "XRT_M_Comm_CheckRecvQueue";
  if (!InRange(index) || Channels[index].port == nullptr) return BadChannel(index, call);
  DWORD errors = 0;
  COMSTAT stat = {};
  if (device::ClearCommError(PortOf(index).handle, &errors, &stat) != TRUE) {
    return Result(index, call, SERCHAN32_FAILED);
  }
  *outQueued = stat.cbInQue;
  return 0;
}

}  // extern "C"
