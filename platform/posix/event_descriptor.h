// An event as a file descriptor, for callers outside the Win32 subset.
#pragma once

#include "platform/posix/win32_api.h"

// The eventfd that holds the event's state from now on: writing the 8-byte
// value 1 to it sets the event (eventfd_write(fd, 1)), and it polls readable
// while the event is set. It lives as long as the event. -1, with the last
// error set, for a handle that names no event.
int EventDescriptor(HANDLE event);
