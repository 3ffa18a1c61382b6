// Reading a reader.conf DEVICENAME (device_name.h).
#include "pcscdriver/device_name.h"

#include <strings.h>

namespace pcscdriver {

namespace {

// A decimal number of 1 to `digits` digits in [low, high].
bool Number(const std::string& text, unsigned digits, unsigned long low, unsigned long high,
            unsigned* value) {
  if (text.empty() || text.size() > digits) return false;
  unsigned long number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<unsigned long>(c - '0');
  }
  if (number < low || number > high) return false;
  *value = static_cast<unsigned>(number);
  return true;
}

}  // namespace

bool ParseDeviceName(const char* text, DeviceName* name, std::string* why) {
  *name = DeviceName();
  std::string device = text != nullptr ? text : "";
  const size_t colon = device.rfind(':');
  if (colon != std::string::npos) {
    if (!Number(device.substr(colon + 1), 7, 50, 4000000, &name->baud)) {
      *why = "the baud rate after ':' must be a number from 50 to 4000000";
      return false;
    }
    device.erase(colon);
  }
  if (device.size() > 3 && strncasecmp(device.c_str(), "COM", 3) == 0) {
    if (!Number(device.substr(3), 3, 1, 255, &name->com)) {
      *why = "a COM port is COM1 to COM255";
      return false;
    }
    return true;
  }
  if (device.empty() || device[0] != '/') {
    *why = "not a device path (/dev/...) nor COMn";
    return false;
  }
  if (device.size() >= 256) {
    *why = "the device path is 256 characters or longer";
    return false;
  }
  name->path = device;
  return true;
}

std::string DeviceText(const DeviceName& name) {
  const std::string device = name.com != 0 ? "COM" + std::to_string(name.com) : name.path;
  return device + " at " + std::to_string(name.baud) + " baud";
}

}  // namespace pcscdriver
