// COM ports on a server. A COM name mapped to "rfc2217://HOST:PORT" (by
// SERCHAN32_COMn or the ports file, com_names.h) is a serial port that a
// server such as ser2net serves over TCP with RFC 2217: the driver opens,
// configures, reads and writes it through the same Win32 calls as a local
// port (rfc2217_device.h).
#pragma once

#include <string>

// The device names a port on a server: it starts with rfc2217:// (in any case).
bool IsRemotePort(const char* device);

// The host (a name, an IPv4 address, or an IPv6 one in brackets) and the
// port of "rfc2217://HOST:PORT"; false for any other form.
bool ParseRemotePort(const char* device, std::string* host, std::string* port);

// Why the last remote port that this thread failed to open is not open: the
// server's own words when it refused the connection ("Port already in use"),
// else what failed ("127.0.0.1:7000: Connection refused"). Empty when the
// thread's last CreateFileA was not of a remote port that failed.
const char* LastRemoteRefusal();
void SetRemoteRefusal(const std::string& text);
