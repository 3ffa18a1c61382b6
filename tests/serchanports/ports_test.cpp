// serchan-ports over a sysfs tree laid out as the kernel lays out common
// adapters, a motherboard UART and the 8250 driver's placeholders, with a
// by-id folder, a ports file and a variable for the COM names.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace fs = std::filesystem;

extern char** environ;

namespace {

// The USB controller, under sys/devices.
#define USB1 "pci0000:00/0000:00:14.0/usb1"

// Devices under sys/devices with their bus and driver.
struct Node {
  const char* dir;
  const char* subsystem;
  const char* driver;
};
const Node kNodes[] = {
    {"pci0000:00/0000:00:14.0", "pci", "xhci_hcd"},
    {USB1, "usb", "usb"},
    {USB1 "/1-2", "usb", "usb"},
    {USB1 "/1-2/1-2:1.0", "usb", "ftdi_sio"},
    {USB1 "/1-2/1-2:1.0/ttyUSB0", "usb-serial", "ftdi_sio"},
    {USB1 "/1-3", "usb", "usb"},
    {USB1 "/1-3/1-3:1.0", "usb", "cdc_acm"},
    {USB1 "/1-4", "usb", "usb"},
    {USB1 "/1-4/1-4:1.0", "usb", "cp210x"},
    {USB1 "/1-4/1-4:1.0/ttyUSB1", "usb-serial", "cp210x"},
    {USB1 "/1-5", "usb", "usb"},
    {USB1 "/1-5/1-5:1.0", "usb", "ch341"},
    {USB1 "/1-5/1-5:1.0/ttyUSB2", "usb-serial", "ch341-uart"},
    {USB1 "/1-6", "usb", "usb"},
    {USB1 "/1-6/1-6:1.0", "usb", "pl2303"},
    {USB1 "/1-6/1-6:1.0/ttyUSB3", "usb-serial", "pl2303"},
    // A UART that the firmware lists, with the serial-base controller and
    // port that newer kernels put between.
    {"pnp0/00:00", "pnp", "serial"},
    {"pnp0/00:00/00:00:0", "serial-base", "ctrl"},
    {"pnp0/00:00/00:00:0/00:00:0.0", "serial-base", "port"},
    // The 8250 driver's platform device, in both kernels' layouts.
    {"platform/serial8250", "platform", "serial8250"},
    {"platform/serial8250/serial8250:0", "serial-base", "ctrl"},
    {"platform/serial8250/serial8250:0/serial8250:0.1", "serial-base", "port"},
};

// USB device descriptors; nullptr for a string the device does not have.
struct UsbDevice {
  const char* dir;
  const char* attributes[5];  // idVendor, idProduct, manufacturer, product, serial
};
const char* const kUsbAttributes[] = {"idVendor", "idProduct", "manufacturer", "product", "serial"};
const UsbDevice kUsbDevices[] = {
    {USB1, {"1d6b", "0002", "Linux Foundation", "xHCI Host Controller", "0000:00:14.0"}},
    {USB1 "/1-2", {"0403", "6001", "FTDI", "FT232R USB UART", "A50285BI"}},
    {USB1 "/1-3", {"0483", "5740", "STMicroelectronics", "STM32 Virtual ComPort", "205F37A35632"}},
    {USB1 "/1-4", {"10c4", "ea60", "Silicon Labs", "CP2102 USB to UART Bridge Controller", "0001"}},
    {USB1 "/1-5", {"1a86", "7523", nullptr, "USB2.0-Serial", nullptr}},
    // A product string with characters that JSON escapes.
    {USB1 "/1-6", {"067b", "2303", "Prolific Technology Inc.", "USB-Serial \"HX\\D\"", nullptr}},
};

// The entries of sys/class/tty. In the expected texts @ is the tree's root,
// %PID% and %NAME% the test's process id and command name. No line: not
// listed.
struct Entry {
  const char* name;
  const char* tty_dir;  // the class device, under sys/devices
  const char* device;   // its device link; nullptr for none
  const char* type;     // its type attribute; nullptr for none
  const char* by_id;
  const char* line;
  const char* json;
};
const Entry kEntries[] = {
    {"ttyACM0", USB1 "/1-3/1-3:1.0/tty/ttyACM0", "../../../1-3:1.0", nullptr,
     "usb-STMicroelectronics_STM32_Virtual_ComPort_205F37A35632-if00",
     "COM5 (SERCHAN32_COM5)  @/dev/ttyACM0  "
     "@/dev/serial/by-id/usb-STMicroelectronics_STM32_Virtual_ComPort_205F37A35632-if00  cdc_acm  "
     "0483:5740 STMicroelectronics STM32 Virtual ComPort, serial 205F37A35632",
     R"({"com": "COM5", "com_source": "variable", "com_where": "SERCHAN32_COM5", )"
     R"("device": "@/dev/ttyACM0", )"
     R"("by_id": "@/dev/serial/by-id/usb-STMicroelectronics_STM32_Virtual_ComPort_205F37A35632-if00", )"
     R"("driver": "cdc_acm", "vendor_id": "0483", "product_id": "5740", )"
     R"("manufacturer": "STMicroelectronics", "product": "STM32 Virtual ComPort", )"
     R"("serial": "205F37A35632"})"},
    {"ttyS0", "pnp0/00:00/00:00:0/00:00:0.0/tty/ttyS0", "../../../00:00:0.0", "4", nullptr,
     "@/dev/ttyS0  serial", R"({"device": "@/dev/ttyS0", "driver": "serial"})"},
    // Placeholders: a platform port with no UART (type 0), in the newer
    // layout and the older one.
    {"ttyS1", "platform/serial8250/serial8250:0/serial8250:0.1/tty/ttyS1",
     "../../../serial8250:0.1", "0", nullptr, nullptr, nullptr},
    {"ttyS2", "platform/serial8250/tty/ttyS2", "../../../serial8250", "0", nullptr, nullptr,
     nullptr},
    // A legacy UART that the firmware does not list: found by the 8250
    // driver's probe, so it has a type.
    {"ttyS3", "platform/serial8250/tty/ttyS3", "../../../serial8250", "4", nullptr,
     "@/dev/ttyS3  serial8250", R"({"device": "@/dev/ttyS3", "driver": "serial8250"})"},
    {"ttyUSB0", USB1 "/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0", "../../../ttyUSB0", nullptr,
     "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",
     "COM3 (ports file)  @/dev/ttyUSB0  "
     "@/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"
     "  ftdi_sio  0403:6001 FTDI FT232R USB UART, serial A50285BI",
     R"({"com": "COM3", "com_source": "ports file", "com_where": "@/ports:2", )"
     R"("device": "@/dev/ttyUSB0", )"
     R"("by_id": "@/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", )"
     R"("driver": "ftdi_sio", "vendor_id": "0403", "product_id": "6001", "manufacturer": "FTDI", )"
     R"("product": "FT232R USB UART", "serial": "A50285BI"})"},
    // Held open by this test.
    {"ttyUSB1", USB1 "/1-4/1-4:1.0/ttyUSB1/tty/ttyUSB1", "../../../ttyUSB1", nullptr,
     "usb-Silicon_Labs_CP2102_USB_to_UART_Bridge_Controller_0001-if00-port0",
     "@/dev/ttyUSB1  "
     "@/dev/serial/by-id/usb-Silicon_Labs_CP2102_USB_to_UART_Bridge_Controller_0001-if00-port0  "
     "cp210x  10c4:ea60 Silicon Labs CP2102 USB to UART Bridge Controller, serial 0001  busy (pid "
     "%PID% %NAME%)",
     R"({"device": "@/dev/ttyUSB1", )"
     R"("by_id": "@/dev/serial/by-id/usb-Silicon_Labs_CP2102_USB_to_UART_Bridge_Controller_0001-if00-port0", )"
     R"("driver": "cp210x", "vendor_id": "10c4", "product_id": "ea60", )"
     R"("manufacturer": "Silicon Labs", "product": "CP2102 USB to UART Bridge Controller", )"
     R"("serial": "0001", "users": [{"pid": %PID%, "name": "%NAME%"}]})"},
    {"ttyUSB2", USB1 "/1-5/1-5:1.0/ttyUSB2/tty/ttyUSB2", "../../../ttyUSB2", nullptr,
     "usb-1a86_USB2.0-Serial-if00-port0",
     "@/dev/ttyUSB2  @/dev/serial/by-id/usb-1a86_USB2.0-Serial-if00-port0  ch341-uart  "
     "1a86:7523 USB2.0-Serial",
     R"({"device": "@/dev/ttyUSB2", "by_id": "@/dev/serial/by-id/usb-1a86_USB2.0-Serial-if00-port0", )"
     R"("driver": "ch341-uart", "vendor_id": "1a86", "product_id": "7523", )"
     R"("product": "USB2.0-Serial"})"},
    {"ttyUSB3", USB1 "/1-6/1-6:1.0/ttyUSB3/tty/ttyUSB3", "../../../ttyUSB3", nullptr, nullptr,
     R"(@/dev/ttyUSB3  pl2303  067b:2303 Prolific Technology Inc. USB-Serial "HX\D")",
     R"({"device": "@/dev/ttyUSB3", "driver": "pl2303", "vendor_id": "067b", )"
     R"("product_id": "2303", "manufacturer": "Prolific Technology Inc.", )"
     R"("product": "USB-Serial \"HX\\D\""})"},
    {"ptmx", "virtual/tty/ptmx", nullptr, nullptr, nullptr, nullptr, nullptr},
};

// COM3 by its by-id link; COM4 names the same device, which keeps COM3.
const char kPortsFile[] =
    "# the bench\n"
    "COM3 @/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0\n"
    "COM4 @/dev/ttyUSB0\n";

std::string Replaced(std::string text, const std::string& mark, const std::string& by) {
  for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + by.size()))
    text.replace(at, mark.size(), by);
  return text;
}

std::string DevicesPath(const char* dir) { return std::string("devices/") + dir; }

// The relative way from a dir of sys/ up to sys/.
std::string UpToSys(const std::string& dir) {
  std::string up;
  for (char c : dir + "/")
    if (c == '/') up += "../";
  return up;
}

void WriteFile(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

std::string Output(const std::string& command, int status = 0) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  EXPECT_EQ(pclose(pipe), status << 8) << command;
  return output;
}

std::string Read(const std::string& path) {
  std::ifstream file(path);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

class PortsTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/serchanports.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    const fs::path root = root_;
    const fs::path sys = root / "sys";
    for (const Node& node : kNodes) {
      const std::string dir = DevicesPath(node.dir);
      const std::string bus = std::string("bus/") + node.subsystem;
      fs::create_directories(sys / dir);
      fs::create_directories(sys / bus / "drivers" / node.driver);
      fs::create_directory_symlink(UpToSys(dir) + bus, sys / dir / "subsystem");
      fs::create_directory_symlink(UpToSys(dir) + bus + "/drivers/" + node.driver,
                                   sys / dir / "driver");
    }
    for (const UsbDevice& usb : kUsbDevices) {
      for (size_t i = 0; i < 5; ++i) {
        if (usb.attributes[i] != nullptr)
          WriteFile(sys / DevicesPath(usb.dir) / kUsbAttributes[i],
                    usb.attributes[i] + std::string("\n"));
      }
    }
    fs::create_directories(sys / "class/tty");
    fs::create_directories(root / "dev/serial/by-id");
    for (const Entry& entry : kEntries) {
      const std::string dir = DevicesPath(entry.tty_dir);
      fs::create_directories(sys / dir);
      fs::create_directory_symlink("../../" + dir, sys / "class/tty" / entry.name);
      fs::create_directory_symlink(UpToSys(dir) + "class/tty", sys / dir / "subsystem");
      if (entry.device != nullptr) fs::create_directory_symlink(entry.device, sys / dir / "device");
      if (entry.type != nullptr) WriteFile(sys / dir / "type", entry.type + std::string("\n"));
      WriteFile(root / "dev" / entry.name, "");
      if (entry.by_id != nullptr)
        fs::create_symlink(std::string("../../") + entry.name,
                           root / "dev/serial/by-id" / entry.by_id);
    }
    WriteFile(root / "ports", Replaced(kPortsFile, "@", root_));

    // The COM names come from this test's variable and file alone.
    std::vector<std::string> variables;
    for (char** variable = environ; *variable != nullptr; ++variable) {
      const std::string text = *variable;
      if (text.compare(0, 13, "SERCHAN32_COM") == 0)
        variables.push_back(text.substr(0, text.find('=')));
    }
    for (const std::string& name : variables) unsetenv(name.c_str());
    setenv("SERCHAN32_COM5", (root_ + "/dev/ttyACM0").c_str(), 1);
    setenv("SERCHAN32_PORTS", (root_ + "/ports").c_str(), 1);
    setenv("SERCHAN_PORTS_SYSFS", (root_ + "/sys/class/tty").c_str(), 1);
    setenv("SERCHAN_PORTS_BYID", (root_ + "/dev/serial/by-id").c_str(), 1);
    setenv("SERCHAN_PORTS_DEV", (root_ + "/dev").c_str(), 1);
  }

  void TearDown() override { fs::remove_all(root_); }

  std::string Expected(const char* text) const {
    std::ifstream comm("/proc/self/comm");
    std::string name;
    std::getline(comm, name);
    return Replaced(Replaced(Replaced(text, "@", root_), "%PID%", std::to_string(getpid())),
                    "%NAME%", name);
  }

  std::string root_;
};

TEST_F(PortsTest, ListsTheAdaptersAndTheUartButNoPlaceholderOrPseudoTerminal) {
  // Open as serial programs open a port, kept from the listing's process.
  const int held = open((root_ + "/dev/ttyUSB1").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(held, 0);
  const std::string lines = Output(SERCHAN_PORTS_BIN);
  const std::string json = Output(SERCHAN_PORTS_BIN " --json");
  close(held);

  std::string expected_lines, expected_json;
  for (const Entry& entry : kEntries) {
    if (entry.line == nullptr) {
      EXPECT_EQ(lines.find(std::string("/dev/") + entry.name), std::string::npos) << entry.name;
      EXPECT_EQ(json.find(std::string("/dev/") + entry.name), std::string::npos) << entry.name;
      continue;
    }
    expected_lines += Expected(entry.line) + "\n";
    expected_json += (expected_json.empty() ? "[\n  " : ",\n  ") + Expected(entry.json);
  }
  EXPECT_EQ(lines, expected_lines);
  EXPECT_EQ(json, expected_json + "\n]\n");
}

// --assign writes the device's stable name in place of the port's earlier
// line (or last); --check says what each line maps and where one is wrong.
TEST_F(PortsTest, AssignWritesTheStableNameAndCheckSaysWhereALineIsWrong) {
  const std::string ports = root_ + "/ports";
  const std::string by_id = root_ + "/dev/serial/by-id/usb-1a86_USB2.0-Serial-if00-port0";
  EXPECT_EQ(Output(SERCHAN_PORTS_BIN " --assign com4 " + root_ + "/dev/ttyUSB2"),
            ports + ":3: COM4 " + by_id + "\n");
  EXPECT_EQ(Output(SERCHAN_PORTS_BIN " --assign COM7 " + root_ + "/dev/ttyUSB3"),
            ports + ":4: COM7 " + root_ + "/dev/ttyUSB3\n");
  EXPECT_EQ(Read(ports),
            Expected("# the bench\n"
                     "COM3 @/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0\n"
                     "COM4 @/dev/serial/by-id/usb-1a86_USB2.0-Serial-if00-port0\n"
                     "COM7 @/dev/ttyUSB3\n"));
  Output(SERCHAN_PORTS_BIN " --assign LPT1 /dev/lp0", 1);
  Output(SERCHAN_PORTS_BIN " --assign COM8 ttyUSB0", 1);

  EXPECT_EQ(
      Output(SERCHAN_PORTS_BIN " --check"),
      Expected(
          "@/ports (in effect)\n"
          "@/ports:2: COM3 -> @/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0\n"
          "@/ports:3: COM4 -> @/dev/serial/by-id/usb-1a86_USB2.0-Serial-if00-port0\n"
          "@/ports:4: COM7 -> @/dev/ttyUSB3\n"));
  std::ofstream(ports, std::ios::app) << "COM9 ttyUSB9\nCOM7 /dev/ttyUSB8\n";
  const std::string checked = Output(SERCHAN_PORTS_BIN " --check", 1);
  EXPECT_NE(checked.find(ports + ":5: the device \"ttyUSB9\" is not an absolute path\n"),
            std::string::npos)
      << checked;
  EXPECT_NE(checked.find(ports + ":6: COM7 is mapped on line 4 already\n"), std::string::npos)
      << checked;
}

}  // namespace
