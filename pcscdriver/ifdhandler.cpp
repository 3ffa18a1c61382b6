// The IFD handler entry points (API v3) that pcscd calls, mapped onto the
// readers' operations (readers.h). Lun is 0xRRRRSSSS: reader index, slot.
#include <string.h>

// pcsc-lite's headers declare the entry points without C linkage.
extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

#include "pcscdriver/driver_log.h"
#include "pcscdriver/readers.h"

namespace {

using pcscdriver::Result;

// pcscd's control code GET_FEATURE_REQUEST (SCARD_CTL_CODE(3400)).
const DWORD kGetFeatureRequest = 0x42000D48;
// Readers one loaded driver serves at once: the serial library's channels.
const UCHAR kSimultaneousReaders = 8;

unsigned ReaderOf(DWORD lun) { return static_cast<unsigned>((lun >> 16) & 0xFFFF); }
unsigned SlotOf(DWORD lun) { return static_cast<unsigned>(lun & 0xFFFF); }

RESPONSECODE Code(Result result) {
  switch (result) {
    case Result::kOk:
      return IFD_SUCCESS;
    case Result::kPresent:
      return IFD_ICC_PRESENT;
    case Result::kAbsent:
      return IFD_ICC_NOT_PRESENT;
    case Result::kNoDevice:
      return IFD_NO_SUCH_DEVICE;
    case Result::kPowerFailed:
      return IFD_ERROR_POWER_ACTION;
    case Result::kTooSmall:
      return IFD_ERROR_INSUFFICIENT_BUFFER;
    case Result::kRefused:
    case Result::kError:
    case Result::kBadLun:
      break;
  }
  return IFD_COMMUNICATION_ERROR;
}

RESPONSECODE OneByte(PDWORD length, PUCHAR value, UCHAR byte) {
  if (*length < 1) return IFD_ERROR_INSUFFICIENT_BUFFER;
  *length = 1;
  value[0] = byte;
  return IFD_SUCCESS;
}

}  // namespace

extern "C" {

RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
  return Code(pcscdriver::OpenSlot(ReaderOf(Lun), SlotOf(Lun), DeviceName));
}

RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) {
  (void)Lun;
  pcscdriver::Log(pcscdriver::LogLevel::kError,
                  "channel %lu: give the reader a DEVICENAME (a device path or COMn) in "
                  "reader.conf",
                  static_cast<unsigned long>(Channel));
  return IFD_COMMUNICATION_ERROR;
}

RESPONSECODE IFDHCloseChannel(DWORD Lun) {
  pcscdriver::CloseSlot(ReaderOf(Lun), SlotOf(Lun));
  return IFD_SUCCESS;
}

RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
  switch (Tag) {
    case TAG_IFD_ATR:
    case SCARD_ATTR_ATR_STRING: {
      size_t length = *Length;
      const Result result = pcscdriver::SlotAtr(ReaderOf(Lun), SlotOf(Lun), Value, &length);
      *Length = static_cast<DWORD>(length);
      return Code(result);
    }
    case TAG_IFD_SLOTS_NUMBER:
      return OneByte(Length, Value, pcscdriver::kSlots);
    case TAG_IFD_SLOT_THREAD_SAFE:
      return OneByte(Length, Value, 0);  // one serial line: a slot at a time
    case TAG_IFD_THREAD_SAFE:
      return OneByte(Length, Value, 1);  // readers on separate lines run at once
    case TAG_IFD_SIMULTANEOUS_ACCESS:
      return OneByte(Length, Value, kSimultaneousReaders);
    default:
      return IFD_ERROR_TAG;
  }
}

RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD Tag, DWORD Length, PUCHAR Value) {
  (void)Lun;
  (void)Tag;
  (void)Length;
  (void)Value;
  return IFD_NOT_SUPPORTED;
}

RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR Flags, UCHAR PTS1,
                                       UCHAR PTS2, UCHAR PTS3) {
  (void)Lun;
  (void)Flags;
  (void)PTS1;
  (void)PTS2;
  (void)PTS3;
  // The reader speaks T=0 to its cards, at the rate they start at.
  return Protocol == SCARD_PROTOCOL_T0 ? IFD_SUCCESS : IFD_PROTOCOL_NOT_SUPPORTED;
}

RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
  pcscdriver::Power power;
  switch (Action) {
    case IFD_POWER_UP:
      power = pcscdriver::Power::kUp;
      break;
    case IFD_POWER_DOWN:
      power = pcscdriver::Power::kDown;
      break;
    case IFD_RESET:
      power = pcscdriver::Power::kReset;
      break;
    default:
      *AtrLength = 0;
      return IFD_NOT_SUPPORTED;
  }
  size_t length = MAX_ATR_SIZE;
  const Result result = pcscdriver::SlotPower(ReaderOf(Lun), SlotOf(Lun), power, Atr, &length);
  *AtrLength = static_cast<DWORD>(length);
  return Code(result);
}

RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer, DWORD TxLength,
                               PUCHAR RxBuffer, PDWORD RxLength, PSCARD_IO_HEADER RecvPci) {
  (void)SendPci;
  if (RecvPci != nullptr) RecvPci->Protocol = SCARD_PROTOCOL_T0;
  size_t length = *RxLength;
  const Result result =
      pcscdriver::SlotTransmit(ReaderOf(Lun), SlotOf(Lun), TxBuffer, TxLength, RxBuffer, &length);
  *RxLength = static_cast<DWORD>(length);
  return Code(result);
}

RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength,
                         PUCHAR RxBuffer, DWORD RxLength, LPDWORD pdwBytesReturned) {
  (void)Lun;
  (void)TxBuffer;
  (void)TxLength;
  (void)RxBuffer;
  (void)RxLength;
  if (pdwBytesReturned != nullptr) *pdwBytesReturned = 0;
  // No reader features (PIN pad and the like): an empty list.
  return dwControlCode == kGetFeatureRequest ? IFD_SUCCESS : IFD_ERROR_NOT_SUPPORTED;
}

RESPONSECODE IFDHICCPresence(DWORD Lun) {
  return Code(pcscdriver::SlotPresence(ReaderOf(Lun), SlotOf(Lun)));
}

}  // extern "C"
