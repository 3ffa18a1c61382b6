// The reader console's commands. Each takes the argument list of its line
// (item 0 is the command word) and returns 1 when it succeeded, else 0.
#pragma once

#include "platform/platform.h"
#include "readertest/arg_list.h"

// The command loop's own (front_end.cpp).
int Help(ArgList* args);
int Quit(ArgList* args);

// One card in one slot (card_commands.cpp).
int Insert(ArgList* args);
int Off(ArgList* args);
int Com(ArgList* args);
int Req(ArgList* args);

// The reader itself (test_commands.cpp). ComplexTest with null runs one pass
// and returns its verdict; with a list it runs pass after pass.
int Echo(ArgList* args);
int Stat(ArgList* args);
int ComplexTest(ArgList* loop);

// Asks the reader for its firmware version and prints it; 1 when it could.
int QueryReaderVersion();

struct CommandEntry {
  const char* name;
  int (*handler)(ArgList* args);
  const char* description;
};

enum { kCommandCount = 9 };
extern const CommandEntry Commands[kCommandCount];

// A command's number argument: item 1, or, when the command came alone,
// asked for with the prompt (a format given first and second) and typed.
int NumberArgument(ArgList* args, const char* prompt, const char* first = "",
                   const char* second = "");

// The line after an APDU's answer that names its status word.
void PrintStatusWord(const BYTE* answer, unsigned length);

// Text comparison ignoring case, as the commands and modes are compared.
bool SameText(const char* a, const char* b);
