// The COM names of the native ports: the serial driver's own mapping
// (com_names.h) of every COM number, matched by the resolved device.
#include "serchanports/port_lookups.h"

#include "platform/posix/serial/com_names.h"

namespace {

// The highest COM number that a ports file or a variable may map.
const unsigned kLastCom = 256;

const char* SourceName(ComSource source) {
  switch (source) {
    case ComSource::kVariable:
      return "variable";
    case ComSource::kPortsFile:
      return "ports file";
    case ComSource::kDefault:
    case ComSource::kWrongLine:
      break;
  }
  return "default";
}

}  // namespace

std::map<std::string, ComName> ComNamesByDevice() {
  std::map<std::string, ComName> names;
  for (unsigned number = 1; number <= kLastCom; ++number) {
    const ComMapping mapping = MapComPort(number);
    // A wrong line maps its COM port to nothing.
    if (mapping.source == ComSource::kWrongLine || mapping.device.empty()) continue;
    const std::string device = ResolvedPath(mapping.device);
    if (device.empty()) continue;
    names.emplace(
        device, ComName{"COM" + std::to_string(number), SourceName(mapping.source), mapping.where});
  }
  return names;
}
