// Who has a port open, found without opening it: opening a serial port raises
// DTR, which resets many boards and readers.
#include <dirent.h>
#include <unistd.h>

#include <cctype>
#include <fstream>

#include "serchanports/port_lookups.h"

namespace {

bool IsNumber(const char* text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text) {
    if (!isdigit(static_cast<unsigned char>(*text))) return false;
  }
  return true;
}

std::string CommandName(const std::string& pid) {
  std::ifstream file("/proc/" + pid + "/comm");
  std::string name;
  std::getline(file, name);
  return name;
}

// The files that process `pid` has open; none where this user may not look.
std::vector<std::string> OpenFiles(const std::string& pid) {
  std::vector<std::string> files;
  const std::string folder = "/proc/" + pid + "/fd";
  DIR* fds = opendir(folder.c_str());
  if (fds == nullptr) return files;
  while (const dirent* entry = readdir(fds)) {
    if (!IsNumber(entry->d_name)) continue;
    char target[PATH_MAX];
    const std::string link = folder + "/" + entry->d_name;
    const ssize_t length = readlink(link.c_str(), target, sizeof target);
    if (length > 0 && static_cast<size_t>(length) < sizeof target)
      files.emplace_back(target, length);
  }
  closedir(fds);
  return files;
}

}  // namespace

std::map<std::string, std::vector<PortUser>> DeviceUsers(const std::set<std::string>& devices) {
  std::map<std::string, std::vector<PortUser>> users;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return users;
  // The listing opens no port; it does not name itself for one it inherited.
  const std::string self = std::to_string(getpid());
  while (const dirent* entry = readdir(proc)) {
    if (!IsNumber(entry->d_name) || entry->d_name == self) continue;
    const std::string pid = entry->d_name;
    std::string name;
    for (const std::string& file : OpenFiles(pid)) {
      if (devices.count(file) == 0) continue;
      std::vector<PortUser>& of_file = users[file];
      // A process with the device open twice counts once.
      if (!of_file.empty() && of_file.back().pid == std::stol(pid)) continue;
      if (name.empty()) name = CommandName(pid);
      of_file.push_back(PortUser{std::stol(pid), name});
    }
  }
  closedir(proc);
  return users;
}
