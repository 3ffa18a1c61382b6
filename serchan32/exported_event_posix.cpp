// The break event as the exports hand it out on POSIX: the file descriptor
// of the eventfd that holds its state, which a caller sets by writing the
// 8-byte value 1 to it and may poll.
#include <stdint.h>

#include "platform/posix/event_descriptor.h"
#include "serchan32/channel_table.h"

void* ExportedEvent(HANDLE event) {
  return reinterpret_cast<void*>(static_cast<intptr_t>(EventDescriptor(event)));
}
