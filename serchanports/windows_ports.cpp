// The Windows listing: the COM names among the DOS device names, with their
// targets (under Wine: the ports of HKLM\Software\Wine\Ports and those Wine
// finds itself), and what the ports class of SetupAPI says of each: its
// friendly name, hardware id and driver service. Under Wine SetupAPI may
// know none of them, and Wine's Ports key names the device a port maps to.
#include <windows.h>
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>

#include <wchar.h>

#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "serchanports/port_list.h"

namespace {

std::string Utf8(const std::wstring& text) {
  const int size = static_cast<int>(text.size());
  std::string utf8(WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr),
                   '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), size, &utf8[0], static_cast<int>(utf8.size()),
                      nullptr, nullptr);
  return utf8;
}

// The text up to the first NUL of a buffer that may lack one.
std::wstring FirstString(const wchar_t* text, size_t length) {
  size_t end = 0;
  while (end < length && text[end] != L'\0') ++end;
  return std::wstring(text, end);
}

// n of "COMn" (any case); 0 for any other name.
unsigned ComNumber(const std::wstring& name) {
  if (name.size() < 4 || _wcsnicmp(name.c_str(), L"COM", 3) != 0 || name[3] == L'0') return 0;
  unsigned number = 0;
  for (size_t i = 3; i < name.size(); ++i) {
    if (name[i] < L'0' || name[i] > L'9' || number > 99999) return 0;
    number = number * 10 + static_cast<unsigned>(name[i] - L'0');
  }
  return number;
}

// Every DOS device name: the buffer grows until the list fits.
std::vector<std::wstring> DosDeviceNames() {
  std::vector<wchar_t> buffer(16384);
  DWORD length = 0;
  while ((length = QueryDosDeviceW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()))) ==
         0) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || buffer.size() >= (1u << 24)) return {};
    buffer.resize(buffer.size() * 2);
  }
  std::vector<std::wstring> names;
  for (size_t at = 0; at < length && buffer[at] != L'\0';) {
    names.push_back(FirstString(&buffer[at], length - at));
    at += names.back().size() + 1;
  }
  return names;
}

std::wstring DosTarget(const std::wstring& name) {
  wchar_t target[4096];
  const DWORD length = QueryDosDeviceW(name.c_str(), target, ARRAYSIZE(target));
  return length == 0 ? L"" : FirstString(target, length);
}

// The device that Wine's configuration maps COM `number` to; empty where
// there is no such mapping (always under Windows). Ports that Wine found
// itself have none either.
std::wstring WineDevice(unsigned number) {
  const std::wstring name = L"COM" + std::to_wstring(number);
  wchar_t device[MAX_PATH];
  DWORD size = sizeof device;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Wine\\Ports", name.c_str(), RRF_RT_REG_SZ,
                   nullptr, device, &size) != ERROR_SUCCESS) {
    return L"";
  }
  return FirstString(device, size / sizeof(wchar_t));
}

struct DeviceListDeleter {
  void operator()(void* list) const { SetupDiDestroyDeviceInfoList(list); }
};
struct KeyDeleter {
  void operator()(HKEY key) const { RegCloseKey(key); }
};
using DeviceList = std::unique_ptr<void, DeviceListDeleter>;
using Key = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyDeleter>;

// A text property of a device (the first string of a list of them), or empty.
std::wstring Property(HDEVINFO list, SP_DEVINFO_DATA* device, DWORD property) {
  DWORD size = 0;
  SetupDiGetDeviceRegistryPropertyW(list, device, property, nullptr, nullptr, 0, &size);
  if (size == 0) return L"";
  std::vector<wchar_t> value(size / sizeof(wchar_t) + 1, L'\0');
  if (!SetupDiGetDeviceRegistryPropertyW(list, device, property, nullptr,
                                         reinterpret_cast<BYTE*>(value.data()), size, nullptr)) {
    return L"";
  }
  return FirstString(value.data(), value.size());
}

// The COM name that the device's own key gives it ("PortName"), or empty.
std::wstring PortName(HDEVINFO list, SP_DEVINFO_DATA* device) {
  const HKEY opened = SetupDiOpenDevRegKey(list, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (opened == INVALID_HANDLE_VALUE) return L"";
  const Key key(opened);
  wchar_t name[64];
  DWORD type = 0, size = sizeof name;
  if (RegQueryValueExW(key.get(), L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name),
                       &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return L"";
  }
  return FirstString(name, size / sizeof(wchar_t));
}

// Adds the ports class's word on each COM port it has.
void AddSetupInfo(std::map<unsigned, SerialPort>* ports) {
  const HDEVINFO opened =
      SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (opened == INVALID_HANDLE_VALUE) return;
  const DeviceList list(opened);
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(opened, i, &device); ++i) {
    const unsigned number = ComNumber(PortName(opened, &device));
    if (number == 0) continue;  // LPT ports are of the class too
    SerialPort& port = (*ports)[number];
    port.friendly_name = Utf8(Property(opened, &device, SPDRP_FRIENDLYNAME));
    port.hardware_id = Utf8(Property(opened, &device, SPDRP_HARDWAREID));
    port.driver = Utf8(Property(opened, &device, SPDRP_SERVICE));
  }
}

}  // namespace

std::vector<SerialPort> ListPorts(const ListRoots&) {
  std::map<unsigned, SerialPort> by_number;
  for (const std::wstring& name : DosDeviceNames()) {
    if (const unsigned number = ComNumber(name); number != 0) {
      by_number[number].target = Utf8(DosTarget(name));
    }
  }
  AddSetupInfo(&by_number);
  std::vector<SerialPort> ports;
  for (auto& [number, port] : by_number) {
    port.com = "COM" + std::to_string(number);
    port.device = Utf8(WineDevice(number));
    ports.push_back(port);
  }
  return ports;
}
