// Which device a COM port is on POSIX. serchan32 opens it; serchan32's
// native extension XRT_M_Comm_PortDevice and serchan-ports tell users what
// was chosen and why.
//
// COM n maps, in order, to:
//   1. the path in the environment variable SERCHAN32_COM<n>, when set;
//   2. its line in the ports file: $SERCHAN32_PORTS when set, else the
//      user's ($XDG_CONFIG_HOME/serchan32/ports, or ~/.config/serchan32/ports)
//      when it exists, else /etc/serchan32/ports when that exists. Lines are
//      "COM3 /dev/serial/by-id/usb-...-if00-port0"; '#' starts a comment. A
//      wrong line that names COM n maps COM n to nothing: it never opens a
//      device that was not meant;
//   3. /dev/ttyS<n-1>.
// The file is read at each open, so an edit takes effect at once. Where a
// path goes, rfc2217://HOST:PORT may stand instead: a port on a server
// (remote_port.h).
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

enum class ComSource { kVariable, kPortsFile, kDefault, kWrongLine };

struct ComMapping {
  std::string device;  // empty for kWrongLine
  ComSource source = ComSource::kDefault;
  std::string where;  // the variable's name, or "FILE:LINE"; empty for the default
  std::string why;    // kWrongLine: what is wrong with the line
};

// One line of a ports file that is neither blank nor a comment.
struct PortsLine {
  unsigned line = 0;  // 1-based
  unsigned com = 0;   // the COM number it names, 0 when it names none
  std::string device;
  std::string why;  // empty for a good line
};

// The COM number of "\\.\COMn" or "COMn"; 0 for any other name. The
// library opens COM1 to COM256.
unsigned ComNumber(const char* name);

// Every line of a ports file that says something, good or wrong.
std::vector<PortsLine> ParsePortsFile(const std::string& text);

// The ports file in effect (see above); empty when there is none.
std::string PortsFilePath();

// The user's ports file, whether or not it exists: $SERCHAN32_PORTS when set,
// else $XDG_CONFIG_HOME/serchan32/ports or ~/.config/serchan32/ports; empty
// without a home. And the system's.
std::string UserPortsFile();
extern const char kSystemPortsFile[];

// A ports file's whole text; false when it cannot be read.
bool ReadPortsFile(const std::string& path, std::string* text);

// How COM `number` maps (1 to 256).
ComMapping MapComPort(unsigned number);

// The device that a COM name ("\\.\COMn" or "COMn") names, or an absolute
// path or an rfc2217:// address itself. False for any other name, a wrong
// line's COM port, or a path that does not fit in size characters.
bool ComDevicePath(const char* name, char* path, size_t size);
