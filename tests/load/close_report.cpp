#include "tests/load/close_report.h"

#include <cstdlib>
#include <sstream>

#include "serchan32/comm_port.h"
#include "serchan32/report_strings.h"

namespace {

const size_t kLabelColumn = 20;

std::string Label(UINT id) {
  char text[256];
  const int length = LoadStringA(LibraryModule, id, text, sizeof text);
  return length > 0 ? std::string(text, static_cast<size_t>(length)) : std::string();
}

// "label = value" with the label padded or cut to its column; false for any
// other line.
bool ReadByteLine(const std::string& line, UINT id, uint32_t& value) {
  std::string label = Label(id).substr(0, kLabelColumn);
  label.resize(kLabelColumn, ' ');
  const std::string head = label + " = ";
  if (line.compare(0, head.size(), head) != 0 || line.size() == head.size()) return false;
  const std::string digits = line.substr(head.size());
  if (digits.find_first_not_of("0123456789") != std::string::npos) return false;
  value = static_cast<uint32_t>(std::strtoul(digits.c_str(), nullptr, 10));
  return true;
}

}  // namespace

ReportedCounts ReadCloseReport(const std::string& text) {
  ReportedCounts counts;
  std::istringstream lines(text);
  std::string sent;
  std::string received;
  std::getline(lines, sent);
  std::getline(lines, received);
  counts.bytesLines = ReadByteLine(sent, IDS_BYTES_SENT, counts.sent) &&
                      ReadByteLine(received, IDS_BYTES_RECEIVED, counts.received);
  for (std::string line; std::getline(lines, line);) counts.otherLines.push_back(line);
  return counts;
}
