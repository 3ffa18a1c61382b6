// What the native listing adds to the ports that sysfs gives: the COM names
// that map to them (com_lookup.cpp) and the processes that have them open
// (proc_users.cpp). Both are keyed by the device's resolved path.
#pragma once

#include <limits.h>
#include <stdlib.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "serchanports/port_list.h"

struct ComName {
  std::string com;     // "COM3"
  std::string source;  // "variable", "ports file" or "default"
  std::string where;   // the variable's name, or "FILE:LINE"
};

// The path with every link resolved; empty when it does not exist.
inline std::string ResolvedPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? resolved : "";
}

// For each device that a COM port maps to, the lowest such COM port.
std::map<std::string, ComName> ComNamesByDevice();

// For each of `devices` (resolved paths) that is open in processes this user
// may look into, those processes. Nothing is opened: the links of
// /proc/PID/fd name the files.
std::map<std::string, std::vector<PortUser>> DeviceUsers(const std::set<std::string>& devices);
