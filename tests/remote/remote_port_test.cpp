// COM ports on a server: COM71 and COM72 mapped to rfc2217://127.0.0.1:PORT,
// ser2net serving the remote bed's pseudo-terminals (remote_bed.py), used
// through the library's exports, its port object and the driver's calls.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/serial/line_settings.h"
#include "platform/posix/serial/remote_port.h"
#include "serchan32/channel_table.h"
#include "serchan32/comm_device.h"
#include "serchan32/comm_port.h"
#include "serchan32/serchan32.h"
#include "tests/support/far_end.h"
#include "tests/support/recorded_diagnostics.h"
#include "tests/support/test_platform.h"

namespace {

using Clock = std::chrono::steady_clock;

const int kServed = 71;    // the bed's com71 through the bed's ser2net, modem lines and all
const int kKillable = 72;  // the bed's com72 through a ser2net of the test's own
const int kNobody = 73;    // a port where nothing listens

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

HANDLE OpenCom(int com) {
  const std::string name = "\\\\.\\COM" + std::to_string(com);
  return device::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
}

// The speed of the bed's com71, as ser2net set it.
DWORD ServedSpeed() {
  const int fd = open(BedPath("com71").c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  LineSettings line = {};
  const bool read = fd >= 0 && ReadLineSettings(fd, line);
  if (fd >= 0) close(fd);
  return read ? line.baudRate : 0;
}

// A ser2net of the test's own, serving the bed's com72, for the test to kill.
class KillableServer {
 public:
  KillableServer() {
    const std::string address = getenv("SERCHAN32_COM72");
    const std::string command = "/usr/bin/python3 " REMOTE_BED " serve " + BedPath("") + " " +
                                SER2NET " " + address.substr(address.rfind(':') + 1) + " " +
                                BedPath("com72") + " killable";
    FILE* started = popen(command.c_str(), "r");
    if (started != nullptr && fscanf(started, "%d", &pid_) != 1) pid_ = 0;
    if (started != nullptr) pclose(started);
  }
  ~KillableServer() { Kill(); }
  KillableServer(const KillableServer&) = delete;
  KillableServer& operator=(const KillableServer&) = delete;

  bool Running() const { return pid_ > 0; }
  void Kill() {
    if (pid_ > 0) kill(pid_, SIGKILL);
    pid_ = 0;
  }

 private:
  int pid_ = 0;
};

class RemotePortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AttachLibrary(ProgramModule());
    ClearRecordedDiagnostics();
  }
  void TearDown() override { DetachLibrary(false); }

  int Open(int com, unsigned baud = 115200) {
    int index = -5;
    EXPECT_EQ(0, XRT_M_Comm_OpenChannel(com, baud, &index)) << "COM" << com;
    return index;
  }

  BYTE buffer_[16] = {};
};

TEST_F(RemotePortTest, EveryByteValueComesBackIntact) {
  FarEnd far(kServed);
  ASSERT_TRUE(far.IsOpen()) << "no remote bed at " << BedPath("far71");
  const int index = Open(kServed);
  // Each value, then a run of 0xFF, which the wire doubles.
  std::vector<BYTE> sent(256);
  for (int i = 0; i < 256; ++i) sent[i] = static_cast<BYTE>(i);
  sent.insert(sent.end(), 64, 0xFF);
  ASSERT_EQ(0, XRT_M_Comm_SendBlock_0(index, sent.data(), sent.size()));
  const std::vector<BYTE> echoed = far.Read(sent.size(), 5000);
  EXPECT_EQ(sent, echoed);
  ASSERT_TRUE(far.Write(echoed));
  std::vector<BYTE> back(sent.size());
  ASSERT_EQ(static_cast<int>(back.size()),
            XRT_M_Comm_ReadBlock(index, back.data(), 5000, back.size()));
  EXPECT_EQ(sent, back);
}

TEST_F(RemotePortTest, BaudRateReachesTheServedTerminal) {
  for (const unsigned baud : {9600u, 115200u, 250000u}) {
    const int index = Open(kServed, baud);
    EXPECT_EQ(baud, ServedSpeed());
    XRT_M_Comm_CloseChannel(index);
  }
}

// ser2net reads the lines about once a second and notifies the change.
TEST_F(RemotePortTest, DsrChangeEndsARead) {
  FarEnd far(kServed);
  PortSettings settings = {};
  settings.portNumber = kServed;
  settings.baudRate = 9600;
  settings.dtrDsrFlow = 1;
  PortStatus status = kPortNotOpen;
  CommPort port(settings, 8, NOPARITY, ONESTOPBIT, status);
  ASSERT_EQ(kPortOk, status);
  EXPECT_EQ(kLineDtr, far.HostLines() & kLineDtr);
  std::thread dropper([&far] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    far.SetFarLines(kLineCts | kLineCarrier);
  });
  const Clock::time_point start = Clock::now();
  DWORD count = 0;
  EXPECT_EQ(kPortDsrLost, ReadBlock(port, buffer_, 4, &count, 10000, 50, 0, 0));
  dropper.join();
  EXPECT_LT(SecondsSince(start), 4.0);
  DWORD lines = 0;
  ASSERT_TRUE(device::GetCommModemStatus(port.handle, &lines));
  EXPECT_EQ(DWORD{MS_CTS_ON | MS_RLSD_ON}, lines);
  EXPECT_TRUE(RecordedApiErrors().empty()) << RecordedApiErrors()[0];
}

TEST_F(RemotePortTest, KilledServerEndsAReadAtOnceAndWritesFail) {
  KillableServer server;
  ASSERT_TRUE(server.Running());
  const int index = Open(kKillable);
  std::thread killer([&server] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    server.Kill();
  });
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(SERCHAN32_FAILED, XRT_M_Comm_ReadBlock(index, buffer_, 20000, 4));
  killer.join();
  EXPECT_LT(SecondsSince(start), 2.0);
  EXPECT_EQ(SERCHAN32_FAILED, XRT_M_Comm_SendBlock_0(index, buffer_, 4));
  EXPECT_EQ(0, XRT_M_Comm_CloseChannel(index));
}

// As Windows fails the calls on a device that has gone.
TEST_F(RemotePortTest, KilledServerFailsTheDevicesCalls) {
  KillableServer server;
  ASSERT_TRUE(server.Running());
  const HANDLE port = OpenCom(kKillable);
  ASSERT_NE(INVALID_HANDLE_VALUE, port) << LastRemoteRefusal();
  OVERLAPPED read = {};
  OVERLAPPED wait = {};
  read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  wait.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD done = 0;
  DWORD events = 0;
  ASSERT_TRUE(device::SetCommMask(port, EV_DSR | EV_ERR));
  EXPECT_FALSE(device::WaitCommEvent(port, &events, &wait));
  EXPECT_FALSE(device::ReadFile(port, buffer_, 1, &done, &read));
  server.Kill();
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(read.hEvent, 2000));
  EXPECT_TRUE(device::GetOverlappedResult(port, &read, &done, FALSE));
  EXPECT_EQ(0u, done);  // ended without a byte
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(wait.hEvent, 2000));
  EXPECT_FALSE(device::GetOverlappedResult(port, &wait, &done, FALSE));
  EXPECT_EQ(DWORD{ERROR_GEN_FAILURE}, device::GetLastError());
  EXPECT_FALSE(device::WriteFile(port, buffer_, 4, &done, nullptr));
  EXPECT_EQ(DWORD{ERROR_GEN_FAILURE}, device::GetLastError());
  EXPECT_FALSE(device::WaitCommEvent(port, &events, &wait));
  EXPECT_EQ(DWORD{ERROR_GEN_FAILURE}, device::GetLastError());
  EXPECT_TRUE(device::CloseHandle(port));
  CloseHandle(read.hEvent);
  CloseHandle(wait.hEvent);
}

TEST_F(RemotePortTest, RefusedOpenFailsAndSaysWhy) {
  const int index = Open(kServed);
  const struct {
    int com;
    DWORD error;
    std::string why;
  } cases[] = {
      {kServed, ERROR_ACCESS_DENIED, "Port already in use"},  // ser2net's own words
      {kNobody, ERROR_FILE_NOT_FOUND,
       std::string(getenv("SERCHAN32_COM73") + 10) + ": Connection refused"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenCom(c.com)) << c.why;
    EXPECT_EQ(c.error, device::GetLastError()) << c.why;
    EXPECT_EQ(c.why, LastRemoteRefusal());
    int second = 0;
    EXPECT_EQ(SERCHAN32_BAD_CHANNEL, XRT_M_Comm_OpenChannel(c.com, 9600, &second));
  }
  // The first client goes on; once it has gone, the port opens, and the
  // open says nothing.
  FarEnd far(kServed);
  ASSERT_TRUE(far.Write({0x42}));
  EXPECT_EQ(1, XRT_M_Comm_ReadBlock(index, buffer_, 5000, 1));
  EXPECT_EQ(0x42, buffer_[0]);
  XRT_M_Comm_CloseChannel(index);
  const HANDLE port = OpenCom(kServed);
  EXPECT_NE(INVALID_HANDLE_VALUE, port) << LastRemoteRefusal();
  EXPECT_STREQ("", LastRemoteRefusal());
  device::CloseHandle(port);
}

}  // namespace
