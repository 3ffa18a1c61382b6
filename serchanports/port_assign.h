// The ports file from the command line (native): --assign writes a COM port's
// line, --check says what each line of the ports files maps and why a line
// is wrong. The mapping itself is the serial driver's (com_names.h).
#pragma once

#include <string>

// Writes "COMn DEVICE" into the user's ports file ($SERCHAN32_PORTS, else
// $XDG_CONFIG_HOME/serchan32/ports or ~/.config/serchan32/ports), the device
// by its stable /dev/serial/by-id/ name where it has one; an earlier line of
// that COM port is replaced. Returns the exit status: 0, or 1 with the reason
// on standard error.
int AssignPort(const std::string& com, const std::string& device);

// Lists each line of every ports file there is, the one in effect first, as
// "FILE:LINE: COM3 -> DEVICE" or "FILE:LINE: why". Returns 1 when a line is
// wrong, else 0.
int CheckPorts();
