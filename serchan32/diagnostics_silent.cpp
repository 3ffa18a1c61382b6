// The library's diagnostics sink: it keeps nothing. Failed calls and close
// reports are produced for a sink that a test may bind; the trace
// (trace.h) writes them when it is switched on.
#include "serchan32/comm_device.h"

namespace device {

void ObserveApiError(const char*, const char*, DWORD) {}
void ObserveCloseReport(const char*, const char*) {}

}  // namespace device
