// Start-up, the command table, the command loop, help and quit.
#include "readertest/front_end.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "carddecode/status_words.h"
#include "dump/dump.h"
#include "readertest/commands.h"
#include "readertest/open_failure.h"
#include "readertest/program_state.h"
#include "readertest/reader_link.h"
#include "serchan32/serchan32.h"

const CommandEntry Commands[kCommandCount] = {
    {"quit", Quit, "Выход из программы"},
    {"help", Help, "Список команд"},
    {"echo", Echo, "Тест Эхо"},
    {"stat", Stat, "Состояние ридера"},
    {"insert", Insert, "Сброс ASYNC ICC"},
    {"com", Com, "APDU Command"},
    {"req", Req, "APDU Request"},
    {"off", Off, "Disconnect"},
    {"test", ComplexTest, "Комплексный тест"},
};

namespace {

enum { kLineSize = 256 };

// The decoration line: the console's four shading characters (code page 866).
const char kBanner[] = "\n\xB0\xB1\xB2\xDB 2004";
const char kOrganisationMark[] = " Kestrix Bench\n\n";

void PrintUsage(const char* programPath) {
  char drive[_MAX_DRIVE], directory[_MAX_DIR], name[_MAX_FNAME], extension[_MAX_EXT];
  char fileName[_MAX_PATH];
  _splitpath(programPath, drive, directory, name, extension);
  _makepath(fileName, "", "", name, extension);
  ConPrint("%s <COM порт> <Скорость BAUD> [T[C]]\n", fileName);
}

}  // namespace

bool SameText(const char* a, const char* b) {
  return CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, a, -1, b, -1) == CSTR_EQUAL;
}

int NumberArgument(ArgList* args, const char* prompt, const char* first, const char* second) {
  if (args->Count() != 1) return std::atoi(args->Item(1));
  char line[kLineSize];
  ConPrint(prompt, first, second);
  ConReadLine(line, kLineSize);
  ConEchoInput(line);
  ConEchoInput("\n");
  return std::atoi(line);
}

void PrintStatusWord(const BYTE* answer, unsigned length) {
  ConPrint("SW %s\n", carddecode::StatusWordText(answer, length).c_str());
}

int QueryReaderVersion() {
  const ReaderAnswer version =
      ReaderVersion(Program.channel, Program.response, kResponseBufferSize);
  if (!LinkSucceeded(version)) return 0;
  if (!VersionReadable(version)) {
    ConPrint("Ошибка при определении версии ридера\n");
    return 0;
  }
  ConPrint("Версия программного обеспечения ридера %u.%02u\n\n", Program.response[0],
           Program.response[1]);
  return 1;
}

int Help(ArgList*) {
  int columns = 0, rows = 0;
  ConGetSize(&columns, &rows);
  // A console too small to page is listed without pauses.
  const int page = rows - 3;
  int listed = 0;
  for (const CommandEntry& entry : Commands) {
    char line[kLineSize];
    _snprintf(line, kLineSize - 1, "%8s - %s\n", entry.name, entry.description);
    line[kLineSize - 1] = '\0';
    ConWrite(line);
    ++listed;
    if (page > 0 && listed % page == 0) {
      ConWrite("\nНажмите любую клавишу\n");
      ConGetKey();
    }
  }
  return 1;
}

int Quit(ArgList*) {
  XRT_M_Comm_CloseChannel(Program.channel);
  ExitProcess(0);
}

void CommandLoop() {
  for (;;) {
    char line[kLineSize];
    ConWrite("\n");
    ConPrint("Enter command->");
    ConReadLine(line, kLineSize);
    ConEchoInput(line);
    ConEchoInput("\n");
    ArgList args(line);
    const char* word = args.Item(0);
    const size_t length = word != nullptr ? std::strlen(word) : 0;
    const CommandEntry* found = nullptr;
    for (const CommandEntry& entry : Commands) {
      if (std::strlen(entry.name) == length && length != 0 && SameText(word, entry.name)) {
        found = &entry;
        break;
      }
    }
    if (found != nullptr) {
      found->handler(&args);
    } else if (length != 0) {
      ConPrint("Ошибка в команде\n");
      return;
    }
  }
}

int RunReaderTest() {
  ArgList program(GetCommandLineA());
  ConOpen(0);
  for (int i = 0; i < program.Count(); ++i) ConPrint("%u : \"%s\"\n", i, program.Item(i));
  ConBanner(kBanner);
  ConStatus(kOrganisationMark);
  if (program.Count() < 3) {
    PrintUsage(program.Count() > 0 ? program.Item(0) : "");
    return kExitUsage;
  }
  Program.port = std::atoi(program.Item(1));
  Program.baud = std::atol(program.Item(2));
  if (XRT_M_Comm_OpenChannel(Program.port, Program.baud, &Program.channel) != 0) {
    ConPrint("\nОшибка открытия COM%d (%lu)\n", Program.port,
             static_cast<unsigned long>(Program.baud));
    ExplainOpenFailure(static_cast<unsigned>(Program.port));
    return kExitFailed;
  }
  if (program.Count() == 4) {
    if (SameText(program.Item(3), "T")) return ComplexTest(nullptr) != 0 ? kExitOk : kExitFailed;
    if (SameText(program.Item(3), "TC")) {
      ArgList loop("LOOP");
      return ComplexTest(&loop) != 0 ? kExitOk : kExitFailed;
    }
  }
  if (!QueryReaderVersion()) return kExitFailed;
  Help(&program);
  CommandLoop();
  return kExitUsage;
}
