// The library's diagnostics sink: it keeps nothing. Failed calls and close
// reports are produced for a sink that a test (or a future log) may bind.
#include "serchan32/comm_device.h"

namespace device {

void ObserveApiError(const char*, const char*, DWORD) {}
void ObserveCloseReport(const char*, const char*) {}

}  // namespace device
