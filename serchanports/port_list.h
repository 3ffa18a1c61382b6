// The machine's serial ports, as serchan-ports lists them: natively from
// sysfs (sysfs_ports.cpp), under Windows from the DOS device names and
// SetupAPI (windows_ports.cpp).
#pragma once

#include <string>
#include <vector>

// A process that has the port open.
struct PortUser {
  long pid = 0;
  std::string name;  // its command name
};

// One port. Texts are UTF-8; an empty field is one the system did not give.
struct SerialPort {
  std::string com;         // "COM3"; empty when no COM name maps to the port
  std::string com_source;  // natively "variable", "ports file" or "default"
  std::string com_where;   // the variable's name, or "FILE:LINE" of the ports file
  std::string device;      // "/dev/ttyUSB0"; under Wine the path its Ports key gives
  std::string target;      // Windows: the DOS device's target, "\Device\Serial0"
  std::string by_id;       // the link under /dev/serial/by-id/ that names it
  std::string driver;      // "ftdi_sio", "cdc_acm", "serial"; under Windows the service
  // A USB adapter's device descriptor.
  std::string vendor_id;  // "0403"
  std::string product_id;
  std::string manufacturer;
  std::string product;
  std::string serial;
  // Windows' device properties.
  std::string friendly_name;
  std::string hardware_id;
  std::vector<PortUser> users;  // natively: the processes that have it open
};

// Where the native listing looks; the tests point these at a tree of their own.
struct ListRoots {
  std::string sysfs = "/sys/class/tty";
  std::string by_id = "/dev/serial/by-id";
  std::string dev = "/dev";
};

// Every serial port there is, in the order of their names (COM numbers under
// Windows). Windows ignores the roots.
std::vector<SerialPort> ListPorts(const ListRoots& roots);

// The ports as text, a line each, and as a JSON array of objects whose
// members are the non-empty fields (port_text.cpp).
std::string PortLines(const std::vector<SerialPort>& ports);
std::string PortsJson(const std::vector<SerialPort>& ports);
