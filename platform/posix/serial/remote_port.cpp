// rfc2217:// addresses, and why the last one did not open (remote_port.h).
#include "platform/posix/serial/remote_port.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

namespace {

const char kScheme[] = "rfc2217://";
const size_t kSchemeLength = sizeof kScheme - 1;

// Plain characters: a thread-local object with a destructor would keep the
// library that holds the driver from being unloaded while the thread lives.
thread_local char lastRefusal[256];

bool IsPortNumber(const std::string& text) {
  if (text.empty() || text.size() > 5 || text[0] == '0') return false;
  unsigned number = 0;
  for (const char digit : text) {
    if (digit < '0' || digit > '9') return false;
    number = number * 10 + static_cast<unsigned>(digit - '0');
  }
  return number <= 65535;
}

}  // namespace

bool IsRemotePort(const char* device) { return strncasecmp(device, kScheme, kSchemeLength) == 0; }

bool ParseRemotePort(const char* device, std::string* host, std::string* port) {
  if (!IsRemotePort(device)) return false;
  const std::string rest = device + kSchemeLength;
  size_t colon = 0;
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
      return false;
    *host = rest.substr(1, close - 1);
    colon = close + 1;
  } else {
    colon = rest.rfind(':');
    if (colon == std::string::npos) return false;
    *host = rest.substr(0, colon);
    if (host->find(':') != std::string::npos) return false;  // IPv6 wants brackets
  }
  *port = rest.substr(colon + 1);
  return !host->empty() && host->find_first_of("/ \t[]") == std::string::npos &&
         IsPortNumber(*port);
}

const char* LastRemoteRefusal() { return lastRefusal; }

void SetRemoteRefusal(const std::string& text) {
  snprintf(lastRefusal, sizeof lastRefusal, "%s", text.c_str());
}
