// readertest: a console for testing the two-slot card reader on a COM port.
#include "readertest/front_end.h"

int main() { ExitProcess(static_cast<UINT>(RunReaderTest())); }
