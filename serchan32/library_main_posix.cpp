// The library's start and end as a shared object: loaded, it sets up its
// channel table; unloaded (dlclose or the end of the process), it closes the
// channels still open. Unlike a DLL's detach, neither holds a lock that keeps
// threads from ending, so each port's watcher is stopped and joined normally.
#include "serchan32/channel_table.h"

namespace {

__attribute__((constructor)) void Load() { AttachLibrary(nullptr); }

__attribute__((destructor)) void Unload() { DetachLibrary(false); }

}  // namespace
