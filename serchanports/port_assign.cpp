// --assign and --check (port_assign.h).
#include "serchanports/port_assign.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/posix/serial/com_names.h"
#include "platform/posix/serial/remote_port.h"

namespace {

std::string Variable(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? value : "";
}

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? resolved : "";
}

// The link under /dev/serial/by-id/ that names the device, if there is one:
// it stays the same whichever socket the adapter is in.
std::string StableName(const std::string& device) {
  // The tests give a folder of their own.
  const char* byId = getenv("SERCHAN_PORTS_BYID");
  if (byId == nullptr || *byId == '\0') byId = "/dev/serial/by-id";
  const std::string real = RealPath(device);
  DIR* folder = opendir(byId);
  if (real.empty() || folder == nullptr) return device;
  std::string stable = device;
  while (const dirent* entry = readdir(folder)) {
    const std::string link = std::string(byId) + "/" + entry->d_name;
    if (entry->d_name[0] != '.' && RealPath(link) == real) {
      stable = link;
      break;
    }
  }
  closedir(folder);
  return stable;
}

// Makes the folders of a file's path.
bool MakeFolders(const std::string& file) {
  for (size_t slash = file.find('/', 1); slash != std::string::npos;
       slash = file.find('/', slash + 1)) {
    const std::string folder = file.substr(0, slash);
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

}  // namespace

int AssignPort(const std::string& com, const std::string& device) {
  const unsigned number = ComNumber(com.c_str());
  if (number == 0 || number > 256 || com.compare(0, 4, "\\\\.\\") == 0) {
    std::fprintf(stderr, "serchan-ports: \"%s\" is not a COM port (COM1 to COM256)\n", com.c_str());
    return 1;
  }
  const bool remote = IsRemotePort(device.c_str());
  if (!remote && (device.empty() || device[0] != '/')) {
    std::fprintf(stderr,
                 "serchan-ports: the device \"%s\" is not an absolute path nor "
                 "rfc2217://HOST:PORT\n",
                 device.c_str());
    return 1;
  }
  const std::string stable = remote ? device : StableName(device);
  const std::string file = UserPortsFile();
  if (file.empty()) {
    std::fprintf(stderr, "serchan-ports: no ports file: set SERCHAN32_PORTS or HOME\n");
    return 1;
  }
  std::string text;
  ReadPortsFile(file, &text);
  // The file's lines, the earlier line of this port replaced (or added last).
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  const std::string written = "COM" + std::to_string(number) + " " + stable;
  size_t at = lines.size();
  for (const PortsLine& line : ParsePortsFile(text)) {
    if (line.com == number && at == lines.size()) at = line.line - 1;
  }
  if (at == lines.size()) {
    lines.push_back(written);
  } else {
    lines[at] = written;
  }
  const std::string temporary = file + ".new";
  if (!MakeFolders(file)) {
    std::fprintf(stderr, "serchan-ports: %s: %s\n", file.c_str(), strerror(errno));
    return 1;
  }
  {
    std::ofstream out(temporary);
    for (const std::string& line : lines) out << line << '\n';
    if (!out) {
      std::fprintf(stderr, "serchan-ports: %s cannot be written\n", temporary.c_str());
      return 1;
    }
  }
  if (rename(temporary.c_str(), file.c_str()) != 0) {
    std::fprintf(stderr, "serchan-ports: %s: %s\n", file.c_str(), strerror(errno));
    return 1;
  }
  std::printf("%s:%zu: %s\n", file.c_str(), at + 1, written.c_str());
  if (!remote && access(stable.c_str(), F_OK) != 0)
    std::printf("(%s is not there now; the line takes effect when it is)\n", stable.c_str());
  return 0;
}

int CheckPorts() {
  std::vector<std::string> files;
  const std::string effective = PortsFilePath();
  if (!effective.empty()) files.push_back(effective);
  for (const std::string& file : {UserPortsFile(), std::string(kSystemPortsFile)}) {
    if (!file.empty() && file != effective && access(file.c_str(), F_OK) == 0)
      files.push_back(file);
  }
  if (files.empty()) {
    std::printf("no ports file: COM n is SERCHAN32_COMn when set, else /dev/ttyS<n-1>\n");
    return 0;
  }
  int status = 0;
  for (const std::string& file : files) {
    std::string text;
    if (!ReadPortsFile(file, &text)) {
      std::printf("%s: cannot be read: %s\n", file.c_str(), strerror(errno));
      status = 1;
      continue;
    }
    std::printf("%s%s\n", file.c_str(),
                file == effective ? " (in effect)" : " (not read: another file is in effect)");
    for (const PortsLine& line : ParsePortsFile(text)) {
      if (!line.why.empty()) {
        std::printf("%s:%u: %s\n", file.c_str(), line.line, line.why.c_str());
        status = 1;
        continue;
      }
      const char* state =
          IsRemotePort(line.device.c_str()) || access(line.device.c_str(), F_OK) == 0
              ? ""
              : " (not there now)";
      std::string shadow;
      const std::string variable = "SERCHAN32_COM" + std::to_string(line.com);
      if (!Variable(variable.c_str()).empty()) shadow = " (but " + variable + " is set)";
      std::printf("%s:%u: COM%u -> %s%s%s\n", file.c_str(), line.line, line.com,
                  line.device.c_str(), state, shadow.c_str());
    }
  }
  return status;
}
