// The termios COM device (platform/posix/serial/) over pseudo-
// terminals that each test makes: which device a name maps to, exclusive
// opens, overlapped reads, writes, purges, cancels and comm-event waits, the
// three-wire rule, and line settings as the device keeps them.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "serchan32/comm_device.h"
#include "platform/posix/serial/com_names.h"
#include "platform/posix/serial/remote_port.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kPortName[] = "\\\\.\\COM41";

std::string PathOf(const char* name) {
  char path[256];
  return ComDevicePath(name, path, sizeof path) ? path : "(none)";
}

TEST(ComDevicePathTest, ComNumberMapsToItsVariableOrToTtyS) {
  setenv("SERCHAN32_PORTS", "/nonexistent/ports", 1);  // no ports file
  unsetenv("SERCHAN32_COM7");
  EXPECT_EQ("/dev/ttyS6", PathOf("\\\\.\\COM7"));
  EXPECT_EQ("/dev/ttyS0", PathOf("COM1"));
  EXPECT_EQ("/dev/ttyS255", PathOf("\\\\.\\com256"));
  setenv("SERCHAN32_COM7", "/tmp/some pty", 1);
  EXPECT_EQ("/tmp/some pty", PathOf("\\\\.\\COM7"));
  setenv("SERCHAN32_COM7", "", 1);  // set but empty: as if not set
  EXPECT_EQ("/dev/ttyS6", PathOf("\\\\.\\COM7"));
  setenv("SERCHAN32_COM7", "rfc2217://ser2net.lan:4001", 1);
  EXPECT_EQ("rfc2217://ser2net.lan:4001", PathOf("\\\\.\\COM7"));
  unsetenv("SERCHAN32_COM7");
  // A port on a server, as an absolute path, names itself.
  EXPECT_EQ("rfc2217://127.0.0.1:7000", PathOf("rfc2217://127.0.0.1:7000"));
}

TEST(ComDevicePathTest, RemotePortAddresses) {
  const struct {
    const char* address;
    const char* host;  // null: not an address of a port on a server
    const char* port;
  } cases[] = {
      {"rfc2217://127.0.0.1:7000", "127.0.0.1", "7000"},
      {"RFC2217://ser2net.lan:1", "ser2net.lan", "1"},
      {"rfc2217://[::1]:65535", "::1", "65535"},
      {"rfc2217://host", nullptr, nullptr},
      {"rfc2217://host:", nullptr, nullptr},
      {"rfc2217://:7000", nullptr, nullptr},
      {"rfc2217://host:65536", nullptr, nullptr},
      {"rfc2217://host:07000", nullptr, nullptr},
      {"rfc2217://host:70x", nullptr, nullptr},
      {"rfc2217://host:7000/", nullptr, nullptr},
      {"rfc2217://::1:7000", nullptr, nullptr},
      {"rfc2217://[::1]7000", nullptr, nullptr},
      {"tcp://host:7000", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    std::string host;
    std::string port;
    EXPECT_EQ(c.host != nullptr, ParseRemotePort(c.address, &host, &port)) << c.address;
    if (c.host == nullptr) continue;
    EXPECT_EQ(c.host, host);
    EXPECT_EQ(c.port, port);
  }
}

TEST(ComDevicePathTest, OtherNamesNameNoDevice) {
  for (const char* name : {"COM0", "COM", "COM1x", "LPT1", "\\\\.\\COM01", "C:\\COM1", ""}) {
    EXPECT_EQ("(none)", PathOf(name)) << name;
  }
  char small[8];
  setenv("SERCHAN32_COM9", "/dev/pts/1234", 1);
  EXPECT_FALSE(ComDevicePath("COM9", small, sizeof small));
  unsetenv("SERCHAN32_COM9");
}

// The order: the variable, the ports file's line, then /dev/ttyS<n-1>. A
// wrong line that names a COM port maps it to nothing and says why; one that
// names none maps nothing.
TEST(ComDevicePathTest, PortsFileOrderAndWrongLines) {
  const std::string file = ::testing::TempDir() + "serchan32_ports";
  FILE* out = fopen(file.c_str(), "w");
  ASSERT_NE(out, nullptr);
  fputs(
      "# the bench\n"
      "COM3 /dev/serial/by-id/usb-FTDI_FT232R_A1-if00-port0   # the reader\n"
      "\n"
      "  com4\t/dev/ttyUSB1\n"
      "COM5\n"
      "COM6 ttyUSB2\n"
      "COM7 /dev/ttyUSB3 /dev/ttyUSB4\n"
      "COM3 /dev/ttyUSB9\n"
      "LPT1 /dev/lp0\n"
      "COM300 /dev/ttyUSB5\n"
      "COM9 rfc2217://[::1]:4001\n"
      "COM10 rfc2217://ser2net.lan\n",
      out);
  fclose(out);
  setenv("SERCHAN32_PORTS", file.c_str(), 1);
  setenv("SERCHAN32_COM4", "/tmp/pty4", 1);
  struct Case {
    unsigned com;
    ComSource source;
    const char* device;
    const char* where;  // after the file's name, or the variable
    const char* why;
  } cases[] = {
      {3, ComSource::kPortsFile, "/dev/serial/by-id/usb-FTDI_FT232R_A1-if00-port0", ":2", ""},
      {4, ComSource::kVariable, "/tmp/pty4", "SERCHAN32_COM4", ""},
      {5, ComSource::kWrongLine, "", ":5", "COM5 names no device"},
      {6, ComSource::kWrongLine, "", ":6", "the device \"ttyUSB2\" is not an absolute path"},
      {7, ComSource::kWrongLine, "", ":7", "\"/dev/ttyUSB4\" is one word too many"},
      {8, ComSource::kDefault, "/dev/ttyS7", "", ""},
      {9, ComSource::kPortsFile, "rfc2217://[::1]:4001", ":11", ""},
      {10, ComSource::kWrongLine, "", ":12",
       "\"rfc2217://ser2net.lan\" is not rfc2217://HOST:PORT"},
  };
  for (const Case& c : cases) {
    const ComMapping mapping = MapComPort(c.com);
    EXPECT_EQ(mapping.source, c.source) << "COM" << c.com;
    EXPECT_EQ(mapping.device, c.device) << "COM" << c.com;
    const std::string where =
        c.source == ComSource::kVariable || c.where[0] == '\0' ? c.where : file + c.where;
    EXPECT_EQ(mapping.where, where) << "COM" << c.com;
    EXPECT_NE(mapping.why.find(c.why), std::string::npos) << "COM" << c.com << ": " << mapping.why;
    EXPECT_EQ(PathOf(("COM" + std::to_string(c.com)).c_str()), c.device[0] ? c.device : "(none)");
  }
  // Every line that says something, the wrong ones with their reasons.
  std::string text;
  for (const PortsLine& line :
       ParsePortsFile("COM3 /dev/a\nCOM3 /dev/b\nLPT1 /dev/lp0\nCOM300 /x\n"))
    text += std::to_string(line.line) + " " + std::to_string(line.com) + " " + line.device + " " +
            line.why + "\n";
  EXPECT_EQ(text,
            "1 3 /dev/a \n"
            "2 3  COM3 is mapped on line 1 already\n"
            "3 0  \"LPT1\" is not a COM port (COM1 to COM256)\n"
            "4 0  \"COM300\" is not a COM port (COM1 to COM256)\n");
  // Without the variable: the user's file where it exists.
  unsetenv("SERCHAN32_PORTS");
  const std::string config = ::testing::TempDir() + "serchan32_config";
  mkdir(config.c_str(), 0700);
  mkdir((config + "/serchan32").c_str(), 0700);
  rename(file.c_str(), (config + "/serchan32/ports").c_str());
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  EXPECT_EQ(PortsFilePath(), config + "/serchan32/ports");
  EXPECT_EQ(MapComPort(3).where, config + "/serchan32/ports:2");
  unlink((config + "/serchan32/ports").c_str());
  unsetenv("XDG_CONFIG_HOME");
  unsetenv("SERCHAN32_COM4");
  setenv("SERCHAN32_PORTS", "/nonexistent/ports", 1);
}

// A pseudo-terminal whose slave is COM41; the test holds the master.
class CommDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(0, grantpt(master_));
    ASSERT_EQ(0, unlockpt(master_));
    slave_ = ptsname(master_);
    setenv("SERCHAN32_COM41", slave_.c_str(), 1);
    event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    second_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    overlapped_.hEvent = event_;
    other_.hEvent = second_;
  }
  void TearDown() override {
    if (port_ != INVALID_HANDLE_VALUE) device::CloseHandle(port_);
    CloseHandle(event_);
    CloseHandle(second_);
    close(master_);
    unsetenv("SERCHAN32_COM41");
  }

  static HANDLE OpenCom(const char* name = kPortName) {
    return device::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
  }
  void Open() {
    port_ = OpenCom();
    ASSERT_NE(INVALID_HANDLE_VALUE, port_) << device::GetLastError();
  }

  bool IsSet(HANDLE event, DWORD timeoutMs = 0) {
    return WaitForSingleObject(event, timeoutMs) == WAIT_OBJECT_0;
  }
  void FarWrite(const std::string& bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(master_, bytes.data(), bytes.size()));
  }
  // Whatever the far end receives within timeoutMs, up to count bytes.
  std::string FarRead(size_t count, int timeoutMs = 5000) {
    std::string got;
    const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < count && Clock::now() < until) {
      pollfd readable = {master_, POLLIN, 0};
      if (poll(&readable, 1, 10) <= 0) continue;
      char chunk[8192];
      const ssize_t n = read(master_, chunk, std::min(sizeof chunk, count - got.size()));
      if (n > 0) got.append(chunk, static_cast<size_t>(n));
    }
    return got;
  }
  // A read of one byte that must pend.
  void StartPendingRead() {
    ASSERT_FALSE(device::ReadFile(port_, &byte_, 1, &done_, &overlapped_));
    ASSERT_EQ(DWORD{ERROR_IO_PENDING}, device::GetLastError());
    EXPECT_FALSE(IsSet(event_));
  }
  DCB State() {
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    EXPECT_TRUE(device::GetCommState(port_, &dcb));
    return dcb;
  }
  termios FarSettings() {
    termios settings = {};
    tcgetattr(master_, &settings);  // a master reports its slave's settings
    return settings;
  }

  int master_ = -1;
  std::string slave_;
  HANDLE port_ = INVALID_HANDLE_VALUE;
  HANDLE event_ = nullptr;
  HANDLE second_ = nullptr;
  OVERLAPPED overlapped_ = {};
  OVERLAPPED other_ = {};
  BYTE byte_ = 0;
  DWORD done_ = 0;
};

TEST_F(CommDevice, OpensTheMappedDeviceForOneHandleAtATime) {
  Open();
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenCom());
  EXPECT_EQ(DWORD{ERROR_ACCESS_DENIED}, device::GetLastError());
  EXPECT_TRUE(device::CloseHandle(port_));
  port_ = OpenCom();
  EXPECT_NE(INVALID_HANDLE_VALUE, port_);
}

TEST_F(CommDevice, NamesWithoutATerminalBehindThemAreRefused) {
  setenv("SERCHAN32_COM41", "/nonexistent/tty", 1);
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenCom());
  EXPECT_EQ(DWORD{ERROR_FILE_NOT_FOUND}, device::GetLastError());
  setenv("SERCHAN32_COM41", "/dev/null", 1);
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenCom());
  EXPECT_EQ(DWORD{ERROR_NOT_SUPPORTED}, device::GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenCom("\\\\.\\PRN"));
  EXPECT_EQ(DWORD{ERROR_FILE_NOT_FOUND}, device::GetLastError());
}

TEST_F(CommDevice, OpensRawWhateverTheTerminalWasSetTo) {
  Open();
  FarWrite("a\r\n\x03");
  COMMTIMEOUTS now = {MAXDWORD, 0, 0, 0, 0};
  ASSERT_TRUE(device::SetCommTimeouts(port_, &now));
  BYTE bytes[4] = {};
  DWORD total = 0;
  for (int i = 0; i < 500 && total < 4; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    DWORD got = 0;
    device::ReadFile(port_, bytes + total, 4 - total, &got, &overlapped_);
    total += got;
  }
  ASSERT_EQ(4u, total);  // nothing held back for a line, nothing changed
  EXPECT_EQ(0, std::memcmp(bytes, "a\r\n\x03", 4));
  EXPECT_EQ("", FarRead(1, 100));  // and no echo
}

TEST_F(CommDevice, PendingReadCompletesWhenItsByteArrives) {
  Open();
  StartPendingRead();
  EXPECT_FALSE(device::GetOverlappedResult(port_, &overlapped_, &done_, FALSE));
  EXPECT_EQ(DWORD{ERROR_IO_INCOMPLETE}, device::GetLastError());
  EXPECT_FALSE(IsSet(event_, 50));
  FarWrite("\xA5");
  EXPECT_TRUE(IsSet(event_, 5000));
  EXPECT_TRUE(device::GetOverlappedResult(port_, &overlapped_, &done_, FALSE));
  EXPECT_EQ(1u, done_);
  EXPECT_EQ(0xA5, byte_);
  // With nobody waiting, a byte that has come ends the read when its result
  // or its event is looked at, as if completed in the background.
  for (const bool byResult : {true, false}) {
    StartPendingRead();
    FarWrite(byResult ? "\x5A" : "\x5B");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!byResult) {
      EXPECT_TRUE(IsSet(event_));
    }
    EXPECT_TRUE(device::GetOverlappedResult(port_, &overlapped_, &done_, FALSE));
    EXPECT_EQ(byResult ? 0x5A : 0x5B, byte_);
  }
}

TEST_F(CommDevice, ReadCompletesAtOnceWhenItsByteIsThere) {
  Open();
  FarWrite("xy");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ResetEvent(event_);
  done_ = 0;
  ASSERT_TRUE(device::ReadFile(port_, &byte_, 1, &done_, &overlapped_));
  EXPECT_EQ(1u, done_);
  EXPECT_EQ('x', byte_);
  EXPECT_TRUE(IsSet(event_));
  EXPECT_TRUE(device::ReadFile(port_, &byte_, 1, &done_, &overlapped_));
  EXPECT_EQ('y', byte_);
}

TEST_F(CommDevice, WaitingGetOverlappedResultReturnsWithTheByte) {
  Open();
  StartPendingRead();
  std::thread sender([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    FarWrite("q");
  });
  EXPECT_TRUE(device::GetOverlappedResult(port_, &overlapped_, &done_, TRUE));
  sender.join();
  EXPECT_EQ(1u, done_);
  EXPECT_EQ('q', byte_);
}

TEST_F(CommDevice, PurgeAbortsThePendingReadAndLosesNoLaterByte) {
  Open();
  StartPendingRead();
  EXPECT_TRUE(device::PurgeComm(port_, PURGE_RXABORT));
  EXPECT_TRUE(IsSet(event_));
  EXPECT_FALSE(device::GetOverlappedResult(port_, &overlapped_, &done_, TRUE));
  EXPECT_EQ(DWORD{ERROR_OPERATION_ABORTED}, device::GetLastError());
  EXPECT_EQ(0u, done_);
  FarWrite("k");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(0, byte_);  // the aborted read took nothing
  ASSERT_TRUE(device::ReadFile(port_, &byte_, 1, &done_, &overlapped_));
  EXPECT_EQ('k', byte_);
}

TEST_F(CommDevice, ReceiveClearDropsWhatWaits) {
  Open();
  FarWrite("old");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  // One byte read: the rest waits in the receive queue, and goes with it.
  ASSERT_TRUE(device::ReadFile(port_, &byte_, 1, &done_, &overlapped_));
  EXPECT_EQ('o', byte_);
  EXPECT_TRUE(device::PurgeComm(port_, PURGE_RXABORT | PURGE_RXCLEAR));
  StartPendingRead();
  FarWrite("n");
  EXPECT_TRUE(device::GetOverlappedResult(port_, &overlapped_, &done_, TRUE));
  EXPECT_EQ('n', byte_);
  EXPECT_FALSE(device::PurgeComm(port_, 0x10));
  EXPECT_EQ(DWORD{ERROR_INVALID_PARAMETER}, device::GetLastError());
}

TEST_F(CommDevice, CancelEndsOnlyTheOperationItNames) {
  Open();
  StartPendingRead();
  DWORD mask = 0xFF;
  ASSERT_TRUE(device::SetCommMask(port_, EV_ERR));
  ASSERT_FALSE(device::WaitCommEvent(port_, &mask, &other_));
  OVERLAPPED unknown = {};
  EXPECT_FALSE(device::CancelIoEx(port_, &unknown));
  EXPECT_EQ(DWORD{ERROR_NOT_FOUND}, device::GetLastError());
  EXPECT_TRUE(device::CancelIoEx(port_, &overlapped_));
  EXPECT_TRUE(IsSet(event_));
  EXPECT_FALSE(IsSet(second_));
  EXPECT_FALSE(device::GetOverlappedResult(port_, &overlapped_, &done_, FALSE));
  EXPECT_EQ(DWORD{ERROR_OPERATION_ABORTED}, device::GetLastError());
  EXPECT_FALSE(device::CancelIoEx(port_, &overlapped_));  // nothing left to cancel
  EXPECT_TRUE(device::CancelIoEx(port_, &other_));
  EXPECT_TRUE(IsSet(second_));
}

TEST_F(CommDevice, CloseAbortsWhatIsPending) {
  Open();
  StartPendingRead();
  DWORD mask = 0;
  device::SetCommMask(port_, EV_ERR);
  ASSERT_FALSE(device::WaitCommEvent(port_, &mask, &other_));
  EXPECT_TRUE(device::CloseHandle(port_));
  port_ = INVALID_HANDLE_VALUE;
  EXPECT_TRUE(IsSet(event_));
  EXPECT_TRUE(IsSet(second_));
  EXPECT_EQ(ULONG_PTR{ERROR_OPERATION_ABORTED}, overlapped_.Internal);
  EXPECT_EQ(ULONG_PTR{ERROR_OPERATION_ABORTED}, other_.Internal);
  EXPECT_FALSE(device::CloseHandle(port_));
}

TEST_F(CommDevice, SetCommMaskEndsAPendingWaitWithAnEmptyMask) {
  Open();
  ASSERT_TRUE(device::SetCommMask(port_, EV_ERR | EV_DSR));
  DWORD mask = 0xFF;
  ASSERT_FALSE(device::WaitCommEvent(port_, &mask, &overlapped_));
  EXPECT_EQ(DWORD{ERROR_IO_PENDING}, device::GetLastError());
  EXPECT_FALSE(IsSet(event_, 50));
  ASSERT_FALSE(device::WaitCommEvent(port_, &mask, &other_));  // one wait at a time
  EXPECT_EQ(DWORD{ERROR_INVALID_PARAMETER}, device::GetLastError());
  EXPECT_TRUE(device::SetCommMask(port_, EV_ERR));
  EXPECT_TRUE(IsSet(event_, 5000));
  EXPECT_TRUE(device::GetOverlappedResult(port_, &overlapped_, &done_, FALSE));
  EXPECT_EQ(0u, mask);
}

TEST_F(CommDevice, PseudoTerminalIsAThreeWireLineWithSteadyLines) {
  Open();
  DWORD status = 0;
  ASSERT_TRUE(device::GetCommModemStatus(port_, &status));
  EXPECT_EQ(MS_DSR_ON | MS_CTS_ON | MS_RLSD_ON, status);
  for (DWORD function : {CLRDTR, CLRRTS, SETDTR, SETRTS, SETBREAK, CLRBREAK}) {
    EXPECT_TRUE(device::EscapeCommFunction(port_, function)) << function;
  }
  EXPECT_FALSE(device::EscapeCommFunction(port_, 77));
  EXPECT_EQ(DWORD{ERROR_INVALID_PARAMETER}, device::GetLastError());
  ASSERT_TRUE(device::GetCommModemStatus(port_, &status));
  EXPECT_EQ(MS_DSR_ON | MS_CTS_ON | MS_RLSD_ON, status);
  device::SetCommMask(port_, EV_DSR | EV_CTS | EV_RLSD | EV_RING);
  DWORD mask = 0;
  ASSERT_FALSE(device::WaitCommEvent(port_, &mask, &overlapped_));
  EXPECT_FALSE(IsSet(event_, 100));  // no line ever changes
}

TEST_F(CommDevice, LineSettingsReachTheTerminalAndReadBack) {
  Open();
  const struct {
    BYTE parity;
    tcflag_t flags;  // of PARODD and CMSPAR
  } kParities[] = {
      {MARKPARITY, PARODD | CMSPAR}, {SPACEPARITY, CMSPAR}, {ODDPARITY, PARODD}, {EVENPARITY, 0}};
  for (const auto& parity : kParities) {
    DCB dcb = State();
    dcb.BaudRate = 115200;
    dcb.ByteSize = 7;
    dcb.Parity = parity.parity;
    dcb.fParity = 1;
    dcb.StopBits = TWOSTOPBITS;
    ASSERT_TRUE(device::SetCommState(port_, &dcb)) << device::GetLastError();
    const DCB back = State();
    EXPECT_EQ(parity.parity, back.Parity);
    EXPECT_EQ(7, back.ByteSize);  // a pseudo-terminal keeps neither size nor parity itself
    EXPECT_EQ(TWOSTOPBITS, back.StopBits);
    EXPECT_EQ(115200u, back.BaudRate);
    const termios far = FarSettings();
    EXPECT_EQ(parity.flags, far.c_cflag & (PARODD | CMSPAR)) << int{parity.parity};
    EXPECT_TRUE(far.c_cflag & CSTOPB);
    EXPECT_EQ(speed_t{B115200}, cfgetospeed(&far));
  }
  DCB dcb = State();
  dcb.BaudRate = 250000;  // no standard rate
  dcb.StopBits = ONESTOPBIT;
  dcb.fOutxCtsFlow = 1;
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  ASSERT_TRUE(device::SetCommState(port_, &dcb));
  EXPECT_EQ(250000u, State().BaudRate);
  EXPECT_TRUE(FarSettings().c_cflag & CRTSCTS);
  EXPECT_FALSE(FarSettings().c_cflag & CSTOPB);
}

TEST_F(CommDevice, SettingsThatTermiosCannotTakeAreRefused) {
  Open();
  const DCB good = State();
  DCB dcb = good;
  dcb.StopBits = ONE5STOPBITS;
  EXPECT_FALSE(device::SetCommState(port_, &dcb));
  EXPECT_EQ(DWORD{ERROR_INVALID_PARAMETER}, device::GetLastError());
  dcb = good;
  dcb.ByteSize = 4;
  EXPECT_FALSE(device::SetCommState(port_, &dcb));
  dcb = good;
  dcb.Parity = 5;
  EXPECT_FALSE(device::SetCommState(port_, &dcb));
  dcb = good;
  dcb.BaudRate = 0;
  EXPECT_FALSE(device::SetCommState(port_, &dcb));
  EXPECT_EQ(good.BaudRate, State().BaudRate);
}

TEST_F(CommDevice, WriteCompletesAtOnceAndArrives) {
  Open();
  const std::string text = "hello\x00\xFF";
  DWORD written = 0;
  ASSERT_TRUE(device::WriteFile(port_, text.data(), text.size(), &written, &overlapped_));
  EXPECT_EQ(text.size(), written);
  EXPECT_TRUE(IsSet(event_));
  EXPECT_TRUE(device::FlushFileBuffers(port_));
  EXPECT_EQ(text, FarRead(text.size()));
}

TEST_F(CommDevice, WriteBeyondWhatTheLineHoldsPendsUntilTheFarEndReads) {
  Open();
  std::string block(200000, '\0');
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7);
  DWORD written = 0;
  ASSERT_FALSE(device::WriteFile(port_, block.data(), block.size(), &written, &overlapped_));
  ASSERT_EQ(DWORD{ERROR_IO_PENDING}, device::GetLastError());
  EXPECT_FALSE(device::GetOverlappedResult(port_, &overlapped_, &written, FALSE));
  EXPECT_EQ(DWORD{ERROR_IO_INCOMPLETE}, device::GetLastError());
  COMSTAT stat = {};
  DWORD errors = 0;
  ASSERT_TRUE(device::ClearCommError(port_, &errors, &stat));
  EXPECT_GT(stat.cbOutQue, 0u);
  EXPECT_EQ(block, FarRead(block.size(), 20000));
  EXPECT_TRUE(device::GetOverlappedResult(port_, &overlapped_, &written, TRUE));
  EXPECT_EQ(block.size(), written);
}

TEST_F(CommDevice, TransmitAbortEndsAPendingWriteShort) {
  Open();
  const std::string block(200000, 'w');
  DWORD written = 0;
  ASSERT_FALSE(device::WriteFile(port_, block.data(), block.size(), &written, &overlapped_));
  EXPECT_TRUE(device::PurgeComm(port_, PURGE_TXABORT | PURGE_TXCLEAR));
  EXPECT_TRUE(IsSet(event_));
  EXPECT_FALSE(device::GetOverlappedResult(port_, &overlapped_, &written, FALSE));
  EXPECT_EQ(DWORD{ERROR_OPERATION_ABORTED}, device::GetLastError());
  EXPECT_LT(written, block.size());
}

TEST_F(CommDevice, WriteTimeOutCompletesTheWriteShort) {
  Open();
  COMMTIMEOUTS timeouts = {};
  timeouts.WriteTotalTimeoutConstant = 100;
  ASSERT_TRUE(device::SetCommTimeouts(port_, &timeouts));
  const std::string block(200000, 't');
  DWORD written = 0;
  ASSERT_FALSE(device::WriteFile(port_, block.data(), block.size(), &written, &overlapped_));
  EXPECT_TRUE(device::GetOverlappedResult(port_, &overlapped_, &written, TRUE));
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, block.size());
}

TEST_F(CommDevice, ClearCommErrorCountsTheBytesWaiting) {
  Open();
  FarWrite("12345");
  COMSTAT stat = {};
  DWORD errors = 99;
  for (int i = 0; i < 500 && stat.cbInQue < 5; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_TRUE(device::ClearCommError(port_, &errors, &stat));
  }
  EXPECT_EQ(5u, stat.cbInQue);
  EXPECT_EQ(0u, errors);  // a pseudo-terminal counts no line errors
  // A one-byte read takes all five into the receive queue: they still count,
  // and come in order, before and after the bytes that follow.
  ASSERT_TRUE(device::ReadFile(port_, &byte_, 1, &done_, &overlapped_));
  EXPECT_EQ('1', byte_);
  ASSERT_TRUE(device::ClearCommError(port_, &errors, &stat));
  EXPECT_EQ(4u, stat.cbInQue);
  FarWrite("67");
  for (int i = 0; i < 500 && stat.cbInQue < 6; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_TRUE(device::ClearCommError(port_, &errors, &stat));
  }
  EXPECT_EQ(6u, stat.cbInQue);
  std::string read;
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(device::ReadFile(port_, &byte_, 1, &done_, &overlapped_));
    read += static_cast<char>(byte_);
  }
  EXPECT_EQ("234567", read);
}

TEST_F(CommDevice, ReadTimeOutsAsCommTimeoutsSetThem) {
  Open();
  COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 0};  // what is there, at once
  ASSERT_TRUE(device::SetCommTimeouts(port_, &timeouts));
  BYTE bytes[8] = {};
  DWORD got = 99;
  ASSERT_TRUE(device::ReadFile(port_, bytes, sizeof bytes, &got, &overlapped_));
  EXPECT_EQ(0u, got);

  timeouts = {0, 0, 300, 0, 0};  // a total time-out: what came by then
  ASSERT_TRUE(device::SetCommTimeouts(port_, &timeouts));
  const auto start = Clock::now();
  ASSERT_FALSE(device::ReadFile(port_, bytes, sizeof bytes, &got, &overlapped_));
  FarWrite("ab");
  EXPECT_TRUE(device::GetOverlappedResult(port_, &overlapped_, &got, TRUE));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_EQ(2u, got);

  timeouts = {30, 0, 0, 0, 0};  // an interval: ends once the bytes stop
  ASSERT_TRUE(device::SetCommTimeouts(port_, &timeouts));
  ASSERT_FALSE(device::ReadFile(port_, bytes, sizeof bytes, &got, &overlapped_));
  FarWrite("xyz");
  EXPECT_TRUE(device::GetOverlappedResult(port_, &overlapped_, &got, TRUE));
  EXPECT_EQ(3u, got);

  timeouts = {MAXDWORD, MAXDWORD, 5000, 0, 0};  // the first bytes to come
  ASSERT_TRUE(device::SetCommTimeouts(port_, &timeouts));
  ASSERT_FALSE(device::ReadFile(port_, bytes, sizeof bytes, &got, &overlapped_));
  FarWrite("!");
  EXPECT_TRUE(device::GetOverlappedResult(port_, &overlapped_, &got, TRUE));
  EXPECT_EQ(1u, got);
  EXPECT_EQ('!', bytes[0]);
  timeouts.ReadTotalTimeoutConstant = MAXDWORD;
  EXPECT_FALSE(device::SetCommTimeouts(port_, &timeouts));
}

TEST_F(CommDevice, ZeroTimeOutsReadUntilEveryByteHasCome) {
  Open();
  BYTE bytes[4] = {};
  DWORD got = 0;
  FarWrite("ab");
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  ASSERT_FALSE(device::ReadFile(port_, bytes, sizeof bytes, &got, &overlapped_));
  EXPECT_FALSE(IsSet(event_, 50));
  FarWrite("cd");
  EXPECT_TRUE(device::GetOverlappedResult(port_, &overlapped_, &got, TRUE));
  EXPECT_EQ(4u, got);
  EXPECT_EQ(0, std::memcmp(bytes, "abcd", 4));
}

TEST_F(CommDevice, CallsWithoutAnOverlappedWaitForTheirEnd) {
  Open();
  std::thread sender([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    FarWrite("s");
  });
  DWORD got = 0;
  EXPECT_TRUE(device::ReadFile(port_, &byte_, 1, &got, nullptr));
  sender.join();
  EXPECT_EQ(1u, got);
  EXPECT_EQ('s', byte_);
  EXPECT_TRUE(device::WriteFile(port_, "back", 4, &got, nullptr));
  EXPECT_EQ(4u, got);
  EXPECT_EQ("back", FarRead(4));
}

TEST_F(CommDevice, ClosedHandleNamesNoDevice) {
  Open();
  HANDLE closed = port_;
  ASSERT_TRUE(device::CloseHandle(port_));
  port_ = INVALID_HANDLE_VALUE;
  DCB dcb = {};
  EXPECT_FALSE(device::GetCommState(closed, &dcb));
  EXPECT_EQ(DWORD{ERROR_INVALID_HANDLE}, device::GetLastError());
  EXPECT_FALSE(device::ReadFile(closed, &byte_, 1, &done_, &overlapped_));
  EXPECT_FALSE(device::PurgeComm(closed, PURGE_RXABORT));
  EXPECT_FALSE(device::SetupComm(event_, 4096, 4096));  // an event is no device
}

}  // namespace
