// The break event as the exports hand it out under Windows: its handle.
#include "serchan32/channel_table.h"

void* ExportedEvent(HANDLE event) { return event; }
