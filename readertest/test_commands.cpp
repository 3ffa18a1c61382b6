// echo, stat and the complex test: the reader itself under test.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "dump/dump.h"
#include "readertest/commands.h"
#include "readertest/program_state.h"
#include "readertest/reader_link.h"

namespace {

enum { kListTextSize = 64, kCheckBufferSize = 256 };
enum { kEsc = 27 };
enum : WORD { kCheckAnswerLength = 30 };  // the 28 bytes asked for and the status word

const char kStopPrompt[] = "Нажмите любую клавишу на PC для остановки\n\n";
const char kErrorLine[] = " ERR=%d LenIn=%d LenOut=%d\n";
const char kEscToLeave[] = "(Для выхода нажмите ESC)";

// One slot of the complex test: power-up, a request for 28 bytes, power-down.
int CheckSlot(int slot) {
  char text[kListTextSize];
  text[kListTextSize - 1] = '\0';
  _snprintf(text, kListTextSize - 1, "??? %d", slot);
  ArgList args(text);
  if (Insert(&args) == 0) return 0;
  const BYTE apdu[5] = {0x00, 0xC0, 0x00, 0x00, 0x1C};
  ConPrint("Данные, посылаемые на карту");
  ConHexDump(apdu, sizeof apdu, 0);
  BYTE answer[kCheckBufferSize];
  const ReaderAnswer result = ReaderApdu(Program.channel, slot, ApduKind::kRequest, apdu,
                                         sizeof apdu, answer, kCheckBufferSize);
  if (!LinkSucceeded(result)) return 0;
  ConPrint("Ответ от карты");
  ConHexDump(answer, result.length, 0);
  PrintStatusWord(answer, result.length);
  if (result.length != kCheckAnswerLength) return 0;
  return Off(&args);
}

int CheckSlots() {
  for (int slot = 0; slot < 2; ++slot) {
    if (CheckSlot(slot) == 0) return 0;
  }
  return 1;
}

// Waits for ESC; any other key is discarded. Blocks on the keyboard. False
// when the input ended instead: no one is left to start another pass.
bool WaitForEsc() {
  for (;;) {
    const int key = ConGetKey();
    if (key == kEsc) return true;
    if (key == DUMP_INPUT_ENDED) return false;
    ConFlushKeys();
  }
}

// One pass: version, both slots, then the verdict, which is given however
// the pass ended; a pass left by an exception failed. The verdict's colour is
// set after its line, which the console shows in that colour at once.
int RunPass(bool* inputEnded) {
  int result = 0;
  try {
    if (QueryReaderVersion() != 0) result = CheckSlots();
  } catch (...) {
    result = 0;
  }
  if (result == 0) {
    ConPrint("ОШИБКА при тестировании Kestrix %s\n", kEscToLeave);
    ConSetColor(0xC0);
  } else {
    ConPrint("Kestrix УСПЕШНО протестирован %s\n", kEscToLeave);
    ConSetColor(0xA0);
  }
  *inputEnded = !WaitForEsc();
  ConResetColor();
  return result;
}

}  // namespace

int Echo(ArgList* args) {
  const int maximum = NumberArgument(args, "Введите MAX размер данных : ");
  if (maximum == 0) return 0;
  ConPrint("MAX размер данных %u\n", static_cast<unsigned>(maximum));
  unsigned n = 0, ok = 0, nak = 0, crc = 0, timeouts = 0;
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  ConPrint(kStopPrompt);
  // Lengths stay below the maximum and within the command buffer, whatever
  // maximum was typed.
  const unsigned modulus = std::min(static_cast<unsigned>(maximum), kCommandBufferSize + 1);
  while (ConKeyPressed() == 0) {
    for (BYTE& byte : Program.command) byte = static_cast<BYTE>(std::rand());
    const WORD length = static_cast<WORD>(static_cast<unsigned>(std::rand()) % modulus);
    const ReaderAnswer echoed =
        ReaderEcho(Program.channel, Program.command, length, Program.response, kResponseBufferSize);
    switch (echoed.link) {
      case kLinkOk:
        ++ok;
        break;
      case kLinkNak:
        ++nak;
        break;
      case kLinkCrc:
        ++crc;
        break;
      case kLinkTimeout:
        ++timeouts;
        break;
    }
    if (!echoed.ok()) ConPrint(kErrorLine, echoed.link, length, echoed.length);
    ++n;
    ConStatus("N=%-5u LEN=%-5u OK=%-5u NAK=%-5u CRC=%-5u TO=%-5u\r", n, unsigned{length}, ok, nak,
              crc, timeouts);
  }
  ConFlushKeys();
  return 1;
}

int Stat(ArgList*) {
  ConPrint(kStopPrompt);
  while (ConKeyPressed() == 0) {
    const ReaderAnswer slots = ReaderSlots(Program.channel, Program.response, kResponseBufferSize);
    if (!slots.ok()) ConPrint(kErrorLine, slots.link, 0, slots.length);
    ConStatus("0->%02X  1->%02X\r", Program.response[0], Program.response[1]);
  }
  ConFlushKeys();
  return 1;
}

int ComplexTest(ArgList* loop) {
  bool inputEnded = false;
  int result = RunPass(&inputEnded);
  // Looping, passes go on until the input ends; any failed pass fails the run.
  while (loop != nullptr && !inputEnded) result &= RunPass(&inputEnded);
  return result;
}
