// The native listing: the entries of /sys/class/tty that have hardware
// behind them. Pseudo-terminals and virtual consoles have no `device` link;
// the 8250 driver's placeholders (ttyS1..ttyS31 on many PCs) have one but no
// UART.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "serchanports/port_list.h"
#include "serchanports/port_lookups.h"

namespace {

std::string Parent(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// An attribute's first line, or empty.
std::string Attribute(const std::string& dir, const char* name) {
  std::ifstream file(dir + "/" + name);
  std::string value;
  std::getline(file, value);
  return value;
}

// The name that a link such as `driver` or `subsystem` points to, or empty.
std::string LinkName(const std::string& dir, const char* link) {
  char target[PATH_MAX];
  const ssize_t length = readlink((dir + "/" + link).c_str(), target, sizeof target);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof target) return "";
  return BaseName(std::string(target, length));
}

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  }
  closedir(dir);
  return names;
}

// The device that the port's driver serves. Newer kernels put serial-base
// devices (a controller and a port) between a UART's tty and its hardware.
std::string Hardware(std::string device) {
  while (LinkName(device, "subsystem") == "serial-base") device = Parent(device);
  return device;
}

// True for a tty with no UART behind it. The serial core says so with the
// type 0 (PORT_UNKNOWN); the 8250 driver's platform device holds the
// placeholders, and a UART there that the firmware did not list (a legacy
// port found by probing) has a type.
bool NoUart(const std::string& tty, const std::string& hardware) {
  const std::string type = Attribute(tty, "type");
  if (type == "0") return true;
  return type.empty() && LinkName(hardware, "subsystem") == "platform" &&
         LinkName(hardware, "driver") == "serial8250";
}

// A USB adapter's descriptor, from the USB device above the tty's device.
void ReadUsbDevice(std::string dir, SerialPort* port) {
  for (; dir != "/" && BaseName(dir) != "devices"; dir = Parent(dir)) {
    if (access((dir + "/idVendor").c_str(), F_OK) != 0) continue;
    port->vendor_id = Attribute(dir, "idVendor");
    port->product_id = Attribute(dir, "idProduct");
    port->manufacturer = Attribute(dir, "manufacturer");
    port->product = Attribute(dir, "product");
    port->serial = Attribute(dir, "serial");
    return;
  }
}

// ttyS2 before ttyS10: names compared with their trailing numbers as numbers.
bool NameBefore(const std::string& a, const std::string& b) {
  const size_t a_digits = a.find_last_not_of("0123456789") + 1;
  const size_t b_digits = b.find_last_not_of("0123456789") + 1;
  const int stems = a.compare(0, a_digits, b, 0, b_digits);
  if (stems != 0) return stems < 0;
  if (a.size() - a_digits != b.size() - b_digits) return a.size() - a_digits < b.size() - b_digits;
  return a.compare(a_digits, std::string::npos, b, b_digits, std::string::npos) < 0;
}

// For each device that a link of the by-id folder names, the first link by name.
std::map<std::string, std::string> StableLinks(const std::string& folder) {
  std::vector<std::string> names = Names(folder);
  std::sort(names.begin(), names.end());
  std::map<std::string, std::string> links;
  for (const std::string& name : names) {
    const std::string device = ResolvedPath(folder + "/" + name);
    if (!device.empty()) links.emplace(device, folder + "/" + name);
  }
  return links;
}

}  // namespace

std::vector<SerialPort> ListPorts(const ListRoots& roots) {
  std::vector<std::string> names = Names(roots.sysfs);
  std::sort(names.begin(), names.end(), NameBefore);
  std::vector<SerialPort> ports;
  std::vector<std::string> resolved;
  for (const std::string& name : names) {
    const std::string tty = roots.sysfs + "/" + name;
    const std::string device = ResolvedPath(tty + "/device");
    if (device.empty()) continue;
    const std::string hardware = Hardware(device);
    if (NoUart(tty, hardware)) continue;
    SerialPort port;
    // sysfs spells a '/' of a device name as '!'.
    std::string node = name;
    std::replace(node.begin(), node.end(), '!', '/');
    port.device = roots.dev + "/" + node;
    port.driver = LinkName(hardware, "driver");
    ReadUsbDevice(device, &port);
    ports.push_back(port);
    const std::string real = ResolvedPath(port.device);
    resolved.push_back(real.empty() ? port.device : real);
  }

  const std::map<std::string, std::string> stable = StableLinks(roots.by_id);
  const std::map<std::string, ComName> com_names = ComNamesByDevice();
  const std::map<std::string, std::vector<PortUser>> users =
      DeviceUsers(std::set<std::string>(resolved.begin(), resolved.end()));
  for (size_t i = 0; i < ports.size(); ++i) {
    if (auto link = stable.find(resolved[i]); link != stable.end()) ports[i].by_id = link->second;
    if (auto com = com_names.find(resolved[i]); com != com_names.end()) {
      ports[i].com = com->second.com;
      ports[i].com_source = com->second.source;
      ports[i].com_where = com->second.where;
    }
    if (auto of = users.find(resolved[i]); of != users.end()) ports[i].users = of->second;
  }
  return ports;
}
