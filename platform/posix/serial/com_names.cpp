// Which device a COM name stands for (com_names.h).
#include "platform/posix/serial/com_names.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "platform/posix/serial/remote_port.h"

const char kSystemPortsFile[] = "/etc/serchan32/ports";

namespace {

std::string Variable(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? value : "";
}

bool Exists(const std::string& path) { return !path.empty() && access(path.c_str(), F_OK) == 0; }

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

}  // namespace

unsigned ComNumber(const char* name) {
  if (strncmp(name, "\\\\.\\", 4) == 0) name += 4;
  if (strncasecmp(name, "COM", 3) != 0 || name[3] < '1' || name[3] > '9') return 0;
  unsigned number = 0;
  for (const char* digit = name + 3; *digit != '\0'; ++digit) {
    if (*digit < '0' || *digit > '9' || number > 99999) return 0;
    number = number * 10 + static_cast<unsigned>(*digit - '0');
  }
  return number;
}

std::vector<PortsLine> ParsePortsFile(const std::string& text) {
  std::vector<PortsLine> lines;
  std::istringstream in(text);
  std::string raw;
  for (unsigned number = 1; std::getline(in, raw); ++number) {
    const std::vector<std::string> words = Words(raw.substr(0, raw.find('#')));
    if (words.empty()) continue;
    PortsLine line;
    line.line = number;
    const unsigned com = ComNumber(words[0].c_str());
    if (words[0].compare(0, 4, "\\\\.\\") == 0 || com == 0 || com > 256) {
      line.why = "\"" + words[0] + "\" is not a COM port (COM1 to COM256)";
      lines.push_back(line);
      continue;
    }
    line.com = com;
    for (const PortsLine& earlier : lines) {
      if (earlier.com == com && line.why.empty())
        line.why = words[0] + " is mapped on line " + std::to_string(earlier.line) + " already";
    }
    if (words.size() == 1) {
      line.why = words[0] + " names no device";
    } else if (words.size() > 2) {
      line.why = "a COM port and one device a line: \"" + words[2] + "\" is one word too many";
    } else if (IsRemotePort(words[1].c_str())) {
      std::string host;
      std::string port;
      if (ParseRemotePort(words[1].c_str(), &host, &port)) {
        line.device = words[1];
      } else {
        line.why = "the device \"" + words[1] + "\" is not rfc2217://HOST:PORT";
      }
    } else if (words[1][0] != '/') {
      line.why = "the device \"" + words[1] + "\" is not an absolute path";
    } else {
      line.device = words[1];
    }
    if (!line.why.empty()) line.device.clear();
    lines.push_back(line);
  }
  return lines;
}

bool ReadPortsFile(const std::string& path, std::string* text) {
  std::ifstream file(path);
  if (!file) return false;
  std::ostringstream content;
  content << file.rdbuf();
  *text = content.str();
  return true;
}

std::string UserPortsFile() {
  if (getenv("SERCHAN32_PORTS") != nullptr) return Variable("SERCHAN32_PORTS");
  if (!Variable("XDG_CONFIG_HOME").empty()) return Variable("XDG_CONFIG_HOME") + "/serchan32/ports";
  if (!Variable("HOME").empty()) return Variable("HOME") + "/.config/serchan32/ports";
  return "";
}

std::string PortsFilePath() {
  // $SERCHAN32_PORTS is the file even when it does not exist.
  const std::string user = UserPortsFile();
  if (getenv("SERCHAN32_PORTS") != nullptr || Exists(user)) return user;
  return Exists(kSystemPortsFile) ? kSystemPortsFile : "";
}

ComMapping MapComPort(unsigned number) {
  ComMapping mapping;
  const std::string variable = "SERCHAN32_COM" + std::to_string(number);
  if (!Variable(variable.c_str()).empty()) {
    mapping.device = Variable(variable.c_str());
    mapping.source = ComSource::kVariable;
    mapping.where = variable;
    return mapping;
  }
  const std::string file = PortsFilePath();
  std::string text;
  if (!file.empty() && ReadPortsFile(file, &text)) {
    for (const PortsLine& line : ParsePortsFile(text)) {
      if (line.com != number) continue;
      mapping.where = file + ":" + std::to_string(line.line);
      if (!line.why.empty()) {
        mapping.source = ComSource::kWrongLine;
        mapping.why = line.why;
        return mapping;
      }
      mapping.device = line.device;
      mapping.source = ComSource::kPortsFile;
      return mapping;
    }
  }
  mapping.device = "/dev/ttyS" + std::to_string(number - 1);
  return mapping;
}

bool ComDevicePath(const char* name, char* path, size_t size) {
  std::string device;
  if (name[0] == '/' || IsRemotePort(name)) {
    device = name;
  } else {
    const unsigned number = ComNumber(name);
    if (number == 0) return false;
    device = MapComPort(number).device;
  }
  if (device.empty()) return false;
  const int length = snprintf(path, size, "%s", device.c_str());
  return length > 0 && static_cast<size_t>(length) < size;
}
