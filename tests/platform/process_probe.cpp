// Run by the text tests: "line" prints GetCommandLineA; "exit" leaves text in
// stdio's buffer and a mark for a static destructor, then calls
// ExitProcess(7).
#include <stdio.h>
#include <string.h>

#include "platform/platform.h"

namespace {

bool exiting = false;

struct AtEnd {
  ~AtEnd() {
    if (!exiting) return;
    fputs("|destructor", stdout);
    fflush(stdout);
  }
};

AtEnd atEnd;

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "exit") == 0) {
    exiting = true;
    fputs("buffered", stdout);
    ExitProcess(7);
  }
  printf("%s", GetCommandLineA());
  return 0;
}
