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

enum { kMessageSize = 64 };
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

// Asks for the slots' card-present bits; false after reporting a failure.
bool PollSlots(int reader, bool* present) {
  const ReaderAnswer slots = ReaderSlots(Program.channel, Program.response, kResponseBufferSize);
  if (!LinkSucceeded(slots)) return false;
  *present = CardIn(slots, Program.response, reader);
  return true;
}

// Whether the APDU typed in hex has the length the reader's rule asks of its
// kind, saying why not when it has not. Only what was typed this time is
// sent: bytes left in the buffer from an earlier command never go to a card.
bool ApduLengthTyped(unsigned typed, ApduKind kind) {
  const size_t needed = ApduLength(kind, Program.command, typed);
  if (typed == needed) return true;
  if (kind == ApduKind::kRequest) {
    ConPrint("Ошибка ввода: нужно %u байт (заголовок APDU), введено %u\n", +kApduHeaderSize, typed);
  } else if (typed < kApduHeaderSize) {
    ConPrint("Ошибка ввода: нужно не меньше %u байт, введено %u\n", +kApduHeaderSize, typed);
  } else {
    ConPrint("Ошибка ввода: нужно %u байт (5 + %u по пятому байту), введено %u\n",
             static_cast<unsigned>(needed), unsigned{Program.command[4]}, typed);
  }
  return false;
}

// com and req: an APDU typed in hex, sent as typed.
int SendApdu(ArgList* args, ApduKind kind) {
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
  if (!ApduLengthTyped(typed, kind)) return 0;
  const WORD length = static_cast<WORD>(typed);
  if (kind == ApduKind::kCommand) ConHexDump(Program.command, length, 0);
  const ReaderAnswer answer = ReaderApdu(Program.channel, reader, kind, Program.command, length,
                                         Program.response, kResponseBufferSize);
  if (!LinkSucceeded(answer)) return 0;
  ConHexDump(Program.response, answer.length, 0);
  PrintStatusWord(Program.response, answer.length);
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
  const ReaderAnswer atr =
      ReaderPowerUp(Program.channel, reader, Program.response, kResponseBufferSize);
  if (!LinkSucceeded(atr)) return 0;
  // The answer is shown whatever it is; only an accepted ATR is a success.
  ConPrint("ATR");
  ConHexDump(Program.response, atr.length, 0);
  ConPrint("%s\n",
           carddecode::AtrSummary(carddecode::DecodeAtr(Program.response, atr.length)).c_str());
  return AtrAccepted(atr) ? 1 : 0;
}

int Off(ArgList* args) {
  PrivateHeap heap;
  int reader = 0;
  if (!ObtainReader(args, kSlotPrompt, &reader)) return 0;
  const char message[] = "ВЫНЬТЕ КАРТУ";
  const ReaderAnswer down =
      ReaderPowerDown(Program.channel, reader, Program.response, kResponseBufferSize);
  if (!LinkSucceeded(down)) return 0;
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

int Com(ArgList* args) { return SendApdu(args, ApduKind::kCommand); }

int Req(ArgList* args) { return SendApdu(args, ApduKind::kRequest); }
