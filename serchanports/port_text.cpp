// The listing as text for people and as JSON for scripts.
#include <cstdio>

#include "serchanports/port_list.h"

namespace {

// "COM3 (ports file)", "COM5 (SERCHAN32_COM5)"; under Windows just "COM3".
std::string ComText(const SerialPort& port) {
  if (port.com.empty() || port.com_source.empty()) return port.com;
  return port.com + " (" + (port.com_source == "variable" ? port.com_where : port.com_source) + ")";
}

// As lsusb has it: "0403:6001 FTDI FT232R USB UART", and the serial number.
std::string UsbText(const SerialPort& port) {
  if (port.vendor_id.empty()) return "";
  std::string text = port.vendor_id + ":" + port.product_id;
  for (const std::string* name : {&port.manufacturer, &port.product}) {
    if (!name->empty()) text += " " + *name;
  }
  if (!port.serial.empty()) text += ", serial " + port.serial;
  return text;
}

std::string UsersText(const std::vector<PortUser>& users) {
  if (users.empty()) return "";
  std::string text = "busy (";
  for (size_t i = 0; i < users.size(); ++i) {
    text += (i > 0 ? ", pid " : "pid ") + std::to_string(users[i].pid) + " " + users[i].name;
  }
  return text + ")";
}

std::string Quoted(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        quoted += "\\\"";
        break;
      case '\\':
        quoted += "\\\\";
        break;
      case '\n':
        quoted += "\\n";
        break;
      case '\r':
        quoted += "\\r";
        break;
      case '\t':
        quoted += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          quoted += escaped;
        } else {
          quoted += c;  // UTF-8 goes as it is
        }
    }
  }
  return quoted + "\"";
}

std::string JsonObject(const SerialPort& port) {
  const std::pair<const char*, const std::string*> fields[] = {
      {"com", &port.com},
      {"com_source", &port.com_source},
      {"com_where", &port.com_where},
      {"device", &port.device},
      {"target", &port.target},
      {"by_id", &port.by_id},
      {"driver", &port.driver},
      {"vendor_id", &port.vendor_id},
      {"product_id", &port.product_id},
      {"manufacturer", &port.manufacturer},
      {"product", &port.product},
      {"serial", &port.serial},
      {"friendly_name", &port.friendly_name},
      {"hardware_id", &port.hardware_id},
  };
  std::string object;
  for (const auto& [key, value] : fields) {
    if (value->empty()) continue;
    object += (object.empty() ? "" : ", ") + Quoted(key) + ": " + Quoted(*value);
  }
  if (!port.users.empty()) {
    object += ", \"users\": [";
    for (size_t i = 0; i < port.users.size(); ++i) {
      object += (i > 0 ? ", {\"pid\": " : "{\"pid\": ") + std::to_string(port.users[i].pid) +
                ", \"name\": " + Quoted(port.users[i].name) + "}";
    }
    object += "]";
  }
  return "{" + object + "}";
}

}  // namespace

std::string PortLines(const std::vector<SerialPort>& ports) {
  if (ports.empty()) return "no serial ports\n";
  std::string lines;
  for (const SerialPort& port : ports) {
    std::string line;
    for (const std::string& field :
         {ComText(port), port.device, port.target, port.by_id, port.driver, UsbText(port),
          port.friendly_name, port.hardware_id, UsersText(port.users)}) {
      if (!field.empty()) line += (line.empty() ? "" : "  ") + field;
    }
    lines += line + "\n";
  }
  return lines;
}

std::string PortsJson(const std::vector<SerialPort>& ports) {
  if (ports.empty()) return "[]\n";
  std::string json = "[\n";
  for (size_t i = 0; i < ports.size(); ++i) {
    json += "  " + JsonObject(ports[i]) + (i + 1 < ports.size() ? ",\n" : "\n");
  }
  return json + "]\n";
}
