// What a reader.conf DEVICENAME may say, and why the driver refuses the rest.
#include <gtest/gtest.h>

#include "pcscdriver/device_name.h"

namespace {

using pcscdriver::DeviceName;
using pcscdriver::ParseDeviceName;

TEST(DeviceName, PathsAndComPortsWithTheirBaudRates) {
  struct Case {
    const char* text;
    const char* path;
    unsigned com;
    unsigned baud;
  } cases[] = {
      {"/dev/ttyUSB0", "/dev/ttyUSB0", 0, 115200},
      {"/dev/serial/by-id/usb-FTDI_FT232R_A1-if00-port0:9600",
       "/dev/serial/by-id/usb-FTDI_FT232R_A1-if00-port0", 0, 9600},
      {"/tmp/sim:921600", "/tmp/sim", 0, 921600},
      {"COM3", "", 3, 115200},
      {"com255:57600", "", 255, 57600},
  };
  for (const Case& c : cases) {
    DeviceName name;
    std::string why;
    ASSERT_TRUE(ParseDeviceName(c.text, &name, &why)) << c.text << ": " << why;
    EXPECT_EQ(name.path, c.path) << c.text;
    EXPECT_EQ(name.com, c.com) << c.text;
    EXPECT_EQ(name.baud, c.baud) << c.text;
  }
}

TEST(DeviceName, RefusedWithAReason) {
  for (const char* text : {"", "ttyUSB0", "COM0", "COM256", "COM3x", "/dev/ttyS0:", "/dev/ttyS0:0",
                           "/dev/ttyS0:fast", "/dev/ttyS0:12345678", ":115200"}) {
    DeviceName name;
    std::string why;
    EXPECT_FALSE(ParseDeviceName(text, &name, &why)) << text;
    EXPECT_FALSE(why.empty()) << text;
  }
  DeviceName name;
  std::string why;
  EXPECT_FALSE(ParseDeviceName(("/" + std::string(300, 'x')).c_str(), &name, &why));
  EXPECT_FALSE(ParseDeviceName(nullptr, &name, &why));
}

}  // namespace
