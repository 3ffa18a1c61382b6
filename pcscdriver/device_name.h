// A reader.conf DEVICENAME: a device path (/dev/ttyUSB0, /dev/serial/by-id/...,
// a link to a pseudo-terminal) or COMn, optionally followed by :BAUD.
#pragma once

#include <string>

namespace pcscdriver {

enum : unsigned { kDefaultBaud = 115200 };

struct DeviceName {
  std::string path;  // the device's path; empty for a COM port
  unsigned com = 0;  // n of COMn; 0 for a path
  unsigned baud = kDefaultBaud;
};

// False, with *why said, for a name that is neither.
bool ParseDeviceName(const char* text, DeviceName* name, std::string* why);

// The name as the log shows it: "/dev/ttyUSB0 at 115200 baud".
std::string DeviceText(const DeviceName& name);

}  // namespace pcscdriver
