// serchan-ports: the machine's serial ports and the COM names they go by.
#include <cstdio>
#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

#include "serchanports/port_list.h"
#include "toolkit_version.h"

#ifndef _WIN32
#include "serchanports/port_assign.h"
#endif

namespace {

const char kUsage[] =
    "usage: serchan-ports [--json]\n"
    "       serchan-ports --assign COMn DEVICE\n"
    "       serchan-ports --check\n";

const char kHelp[] =
    R"(
Lists the machine's serial ports, a line each: the COM name that maps to the
port and how (a SERCHAN32_COMn variable, the ports file, or the default
/dev/ttyS<n-1>), the device, its /dev/serial/by-id/ link, the driver, a USB
adapter's vendor:product, manufacturer, product and serial number, and the
processes that have it open (found without opening the port). Under Windows:
each COM port's DOS device target, friendly name, hardware id and driver, and
under Wine the device that the prefix maps it to.

  --json     the same as a JSON array of objects, one per port, whose members
             are the fields that the port has: com, com_source, com_where,
             device, target, by_id, driver, vendor_id, product_id, manufacturer,
             product, serial, friendly_name, hardware_id, users ([{pid, name}])
  --assign COMn DEVICE
             (Linux) write "COMn DEVICE" into your ports file, the device by
             its /dev/serial/by-id/ name where it has one, which stays the same
             whichever socket the adapter is in; an earlier line of COMn goes
  --check    (Linux) say what each line of the ports files maps, and where
             and why a line is wrong (exit 1 if one is)

Ports file (Linux): COM n is the device of SERCHAN32_COMn when that is set,
else its line in the ports file ($SERCHAN32_PORTS, else
$XDG_CONFIG_HOME/serchan32/ports or ~/.config/serchan32/ports when it exists,
else /etc/serchan32/ports), else /dev/ttyS<n-1>. Lines "COM3 /dev/serial/
by-id/usb-...-if00-port0", '#' comments; read at each open. A wrong line maps
its COM port to nothing.
  --version  the version
  --help     this text
)";

enum class Command { kList, kAssign, kCheck, kHelp, kVersion };

struct Options {
  Command command = Command::kList;
  bool json = false;
  std::string com, device;  // --assign
};

// False after saying what is wrong.
bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--json") {
      options->json = true;
    } else if (arg == "--help" || arg == "-h") {
      options->command = Command::kHelp;
    } else if (arg == "--version") {
      options->command = Command::kVersion;
    } else if (arg == "--assign" && i + 2 < argc) {
      options->command = Command::kAssign;
      options->com = argv[++i];
      options->device = argv[++i];
    } else if (arg == "--check") {
      options->command = Command::kCheck;
    } else {
      std::fprintf(stderr, "serchan-ports: unknown argument \"%s\"\n%s", arg.c_str(), kUsage);
      return false;
    }
  }
  return true;
}

// The tests list a tree of their own.
ListRoots RootsFromEnvironment() {
  ListRoots roots;
  for (auto [name, root] : {std::pair{"SERCHAN_PORTS_SYSFS", &roots.sysfs},
                            std::pair{"SERCHAN_PORTS_BYID", &roots.by_id},
                            std::pair{"SERCHAN_PORTS_DEV", &roots.dev}}) {
    if (const char* value = std::getenv(name); value != nullptr && *value != '\0') *root = value;
  }
  return roots;
}

// UTF-8 text to standard output; a Windows console takes it as UTF-16, so that
// names in any language show as they are.
void Write(const std::string& text) {
#ifdef _WIN32
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(out, &mode)) {
    const int size = static_cast<int>(text.size());
    std::wstring wide(MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, &wide[0], static_cast<int>(wide.size()));
    DWORD written = 0;
    WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
#endif
  std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) return 2;
  switch (options.command) {
    case Command::kHelp:
      std::printf("serchan-ports %s\n%s%s", TOOLKIT_VERSION, kUsage, kHelp);
      return 0;
    case Command::kVersion:
      std::printf("serchan-ports %s\n", TOOLKIT_VERSION);
      return 0;
    case Command::kAssign:
    case Command::kCheck:
#ifdef _WIN32
      std::fprintf(stderr, "serchan-ports: Windows names its COM ports itself: no ports file\n");
      return 2;
#else
      return options.command == Command::kAssign ? AssignPort(options.com, options.device)
                                                 : CheckPorts();
#endif
    case Command::kList:
      break;
  }
  const std::vector<SerialPort> ports = ListPorts(RootsFromEnvironment());
  Write(options.json ? PortsJson(ports) : PortLines(ports));
  return std::fflush(stdout) == 0 ? 0 : 1;
}
