// insert, off, com and req: one card in one of the reader's two slots.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "carddecode/atr.h"
#include "dump/dump.h"
#include "readertest/commands.h"
#include "readertest/private_heap.h"
#include "readertest/program_state.h"
#include "readertest/reader_link.h"

namespace {

enum { kMessageSize = 64, kApduHeaderSize = 5 };
enum { kEsc = 27 };

const char kUpper[] = "ВЕРХНИЙ";
const char kLower[] = "НИЖНИЙ";
const char kEscToLeave[] = "(Для выхода нажмите ESC)";

// The reader number from item 1, or asked for when the command came alone.
// Only 0 and 1 name a reader; anything else is refused before a frame goes.
bool ObtainReader(ArgList* args, const char* prompt, int* reader) {
  *reader = NumberArgument(args, prompt, kUpper, kLower);
  if (*reader == 0 || *reader == 1) return true;
  ConPrint("Ошибка: № ридера должен быть 0 или 1\n");
  return false;
}

const char kSlotPrompt[] = "Введите № ридера (0-%s/1-%s) : ";
const char kApduPrompt[] = "Введите № ридера (0-USER/1-SAM) : ";

// The one-line prompt shown while a command waits: the message ending in "\r",
// and a line of as many blanks that erases it. It is erased and released on
// every way out of its command.
class PromptLine {
 public:
  PromptLine(HANDLE heap, const char* message) : heap_(heap) {
    const size_t length = std::strlen(message);
    shown_ = static_cast<char*>(HeapAlloc(heap_, 0, length + 2));
    blank_ = static_cast<char*>(HeapAlloc(heap_, 0, length + 2));
    if (shown_ != nullptr) {
      std::memcpy(shown_, message, length);
      std::memcpy(shown_ + length, "\r", 2);
    }
    if (blank_ != nullptr) {
      std::memset(blank_, ' ', length);
      std::memcpy(blank_ + length, "\r", 2);
    }
  }
  ~PromptLine() {
    Erase();
    if (shown_ != nullptr) HeapFree(heap_, 0, shown_);
    if (blank_ != nullptr) HeapFree(heap_, 0, blank_);
  }
  PromptLine(const PromptLine&) = delete;
  PromptLine& operator=(const PromptLine&) = delete;

  void Show() const {
    if (shown_ != nullptr) ConStatus("%s", shown_);
  }
  void Erase() const {
    if (blank_ != nullptr) ConStatus("%s", blank_);
  }

 private:
  HANDLE heap_;
  char* shown_;
  char* blank_;
};

// One exchange into the shared response buffer; false after reporting its
// failure.
bool Exchanged(BYTE command, const BYTE* data, WORD length, WORD* answered) {
  const int result = SharedExchange(command, data, length, answered);
  if (result == kLinkOk) return true;
  ReportLinkResult(result);
  return false;
}

// Asks for the slots' card-present bits; false after reporting a failure.
bool PollSlots(int reader, bool* present) {
  WORD length = 0;
  if (!Exchanged(kReaderStatus, nullptr, 0, &length)) return false;
  *present = (Program.response[reader] & 1) != 0;
  return true;
}

// How many bytes an APDU typed in hex must have: req sends the 5-byte header
// alone, com the header and as many data bytes as its fifth byte says. Only
// what was typed this time is sent: bytes left in the buffer from an earlier
// command never go to a card.
bool ApduLengthTyped(unsigned typed, bool wholeApdu, WORD* length) {
  if (!wholeApdu) {
    if (typed == kApduHeaderSize) {
      *length = kApduHeaderSize;
      return true;
    }
    ConPrint("Ошибка ввода: нужно %u байт (заголовок APDU), введено %u\n", +kApduHeaderSize, typed);
    return false;
  }
  if (typed < kApduHeaderSize) {
    ConPrint("Ошибка ввода: нужно не меньше %u байт, введено %u\n", +kApduHeaderSize, typed);
    return false;
  }
  const unsigned expected = kApduHeaderSize + Program.command[4];
  if (typed == expected) {
    *length = static_cast<WORD>(expected);
    return true;
  }
  ConPrint("Ошибка ввода: нужно %u байт (5 + %u по пятому байту), введено %u\n", expected,
           unsigned{Program.command[4]}, typed);
  return false;
}

// com and req: an APDU typed in hex, sent as typed.
int SendApdu(ArgList* args, BYTE command, bool wholeApdu) {
  int reader = 0;
  if (!ObtainReader(args, kApduPrompt, &reader)) return 0;
  ConPrint(" Текущий ридер %u\n", reader);
  ConPrint(" Введите команду в HEX формате :");
  unsigned typed = 0;
  ConReadHex(Program.command, kCommandBufferSize, &typed);
  if (typed == 0) {
    ConPrint("Ошибка ввода");
    return 0;
  }
  WORD length = 0;
  if (!ApduLengthTyped(typed, wholeApdu, &length)) return 0;
  if (wholeApdu) ConHexDump(Program.command, length, 0);
  WORD answered = 0;
  if (!Exchanged(ForReader(command, reader), Program.command, length, &answered)) return 0;
  ConHexDump(Program.response, answered, 0);
  PrintStatusWord(Program.response, answered);
  return 1;
}

}  // namespace

int Insert(ArgList* args) {
  PrivateHeap heap;
  int reader = 0;
  if (!ObtainReader(args, kSlotPrompt, &reader)) return 0;
  char message[kMessageSize];
  message[kMessageSize - 1] = '\0';
  _snprintf(message, kMessageSize - 1, "ВСТАВЬТЕ карту в %s ридер %s",
            reader == 0 ? kUpper : kLower, kEscToLeave);
  ConStatus("\r\n");
  PromptLine prompt(heap.handle(), message);
  ConFlushKeys();
  prompt.Show();
  for (;;) {
    bool present = false;
    if (!PollSlots(reader, &present)) return 0;
    if (present) break;
    if (ConKeyPressed() != 0) {
      const int key = ConGetKey();
      if (key == kEsc || key == DUMP_INPUT_ENDED) return 0;
      ConFlushKeys();
    }
  }
  prompt.Erase();
  WORD length = 0;
  if (!Exchanged(ForReader(kPowerUp, reader), nullptr, 0, &length)) return 0;
  ConPrint("ATR");
  ConHexDump(Program.response, length, 0);
  ConPrint("%s\n", carddecode::AtrSummary(carddecode::DecodeAtr(Program.response, length)).c_str());
  // An answer of fewer than 3 bytes is no ATR.
  return length >= 3 ? 1 : 0;
}

int Off(ArgList* args) {
  PrivateHeap heap;
  int reader = 0;
  if (!ObtainReader(args, kSlotPrompt, &reader)) return 0;
  const char message[] = "ВЫНЬТЕ КАРТУ";
  WORD length = 0;
  if (!Exchanged(ForReader(kPowerDown, reader), nullptr, 0, &length)) return 0;
  ConStatus("\r\n");
  PromptLine prompt(heap.handle(), message);
  ConFlushKeys();
  prompt.Show();
  // The wait ends when the card is out or the link fails, not on a key.
  bool present = false;
  do {
    if (!PollSlots(reader, &present)) return 0;
  } while (present);
  return 1;
}

int Com(ArgList* args) { return SendApdu(args, kApduCommand, true); }

int Req(ArgList* args) { return SendApdu(args, kApduRequest, false); }
