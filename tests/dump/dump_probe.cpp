// A small program over the console library (dump.dll, libdump.so) that runs
// its calls on typed commands, for the tests that drive it through pipes,
// files and a terminal. Its texts are code page 1251, as the reader
// console's are.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "dump/dump.h"

namespace {

const int kGuard = 16;  // bytes past the caller's size that must stay untouched

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void WaitForKey() {
  while (!ConKeyPressed()) Pause(10);
}

void ReportKeyPressedTwice() {
  const int first = ConKeyPressed() != 0;
  const int second = ConKeyPressed() != 0;
  ConPrint("pressed %d %d\n", first, second);
}

void ReadLineOf(int size) {
  std::string buffer(size + kGuard, 'Z');
  ConWrite("text: ");
  const int length = ConReadLine(&buffer[0], size);
  const bool intact = buffer.find_first_not_of('Z', size) == std::string::npos;
  ConPrint("[%s] %d\n", buffer.c_str(), length);
  ConWrite(intact ? "guard ok\n" : "guard broken\n");
}

void ReadHexOf(int capacity) {
  std::string buffer(capacity + kGuard, '\xEE');
  unsigned length = 0xDEAD;
  ConWrite("bytes: ");
  const int count = ConReadHex(reinterpret_cast<unsigned char*>(&buffer[0]), capacity, &length);
  ConPrint("count %d %u\n", count, length);
  ConHexDump(buffer.data(), count, 0);
  const bool intact = count >= 0 && buffer.find_first_not_of('\xEE', count) == std::string::npos;
  ConWrite(intact ? "guard ok\n" : "guard broken\n");
}

void DumpBytes(int count) {
  std::string bytes(count, '\0');
  for (int i = 0; i < count; ++i) bytes[i] = static_cast<char>(i * 7 + 0x20);
  ConHexDump(bytes.data(), count, 0);
  ConWrite("dump done\n");
}

// Runs one command; false to end.
bool Run(const char* line) {
  char command[32] = "";
  int number = 0;
  sscanf(line, "%31s %d", command, &number);
  if (strcmp(command, "key") == 0) {
    ConWrite("press a key\n");
    const int key = ConGetKey();
    ConPrint("key %d\n", key);
  } else if (strcmp(command, "poll") == 0) {
    ConWrite("waiting for a key\n");
    WaitForKey();
    ReportKeyPressedTwice();
    const int key = ConGetKey();
    ConPrint("key %d\n", key);
  } else if (strcmp(command, "pressed") == 0) {
    ConPrint("pressed %d\n", ConKeyPressed() != 0);
  } else if (strcmp(command, "flush") == 0) {
    ConWrite("type ahead\n");
    WaitForKey();
    ConFlushKeys();
    ConPrint("flushed, pressed %d\n", ConKeyPressed() != 0);
  } else if (strcmp(command, "line") == 0) {
    ReadLineOf(number);
  } else if (strcmp(command, "hex") == 0) {
    ReadHexOf(number);
  } else if (strcmp(command, "dump") == 0) {
    DumpBytes(number);
  } else if (strcmp(command, "atr") == 0) {
    ConPrint("ATR");
    DumpBytes(number);
  } else if (strcmp(command, "print") == 0) {
    ConPrint("Привет, %s! %u %d %lu %02X %02u [%-5u]\n", "мир", 42u, -7, 4000000000lu, 0xAB, 7u,
             12u);
  } else if (strcmp(command, "long") == 0) {
    const std::string text(number, 'Ж');
    const int written = ConPrint("%s|\n", text.c_str());
    ConPrint("printed %d\n", written);
  } else if (strcmp(command, "write") == 0) {
    ConWrite("Текст 100% без %d формата\n");
  } else if (strcmp(command, "banner") == 0) {
    ConBanner("\n\xB0\xB1\xB2\xDB 2004");
    ConWrite("\n");
  } else if (strcmp(command, "status") == 0) {
    for (unsigned step = 1; step <= 3; ++step) ConStatus("Шаг %u из %u\r", step, 3u);
    ConWrite("\n");
  } else if (strcmp(command, "rewrite") == 0) {
    // A status line, a shorter one over it, and a line over that.
    ConStatus("N=1000 LenOut=06\r");
    ConStatus("N=2\r");
    ConPrint(" ERR=3\n");
  } else if (strcmp(command, "size") == 0) {
    int columns = 0;
    int rows = 0;
    ConGetSize(&columns, &rows);
    ConPrint("size %d %d\n", columns, rows);
  } else if (strcmp(command, "color") == 0) {
    ConSetColor(0xA0);
    ConWrite("green");
    ConResetColor();
    ConWrite(" plain\n");
  } else if (strcmp(command, "verdict") == 0) {
    // A line, then its colour while a key is awaited.
    ConPrint("Verdict\n");
    ConSetColor(0xA0);
    const int key = ConGetKey();
    ConResetColor();
    ConPrint("key %d\n", key);
  } else if (strcmp(command, "hold") == 0) {
    // A colour left set while a key is awaited.
    ConSetColor(0xC0);
    ConWrite("held");
    const int key = ConGetKey();
    ConResetColor();
    ConPrint(" key %d\n", key);
  } else if (strcmp(command, "busy") == 0) {
    // Reads nothing for a while: what is typed meanwhile is typed ahead.
    Pause(number);
    ConWrite("done\n");
  } else if (strcmp(command, "echo") == 0) {
    ConEchoInput("echoed text");
    ConEchoInput("\n");
    ConWrite("echo done\n");
  } else if (strcmp(command, "quit") == 0) {
    ConWrite("bye\n");
    return false;
  } else {
    ConPrint("unknown command [%s]\n", line);
  }
  return true;
}

}  // namespace

int main() {
  ConOpen(0);
  char line[256];
  do {
    ConWrite("probe> ");
    ConReadLine(line, sizeof line);
  } while (Run(line));
  return 3;  // distinct from the 0 of an ended input
}
