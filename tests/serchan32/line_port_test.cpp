// A port object on a real COM port (under Wine, or natively on the termios
// device): a test-bed pseudo-terminal with modem lines.
#include <gtest/gtest.h>

#include <memory>

#include "serchan32/comm_port.h"
#include "tests/support/far_end.h"
#include "tests/support/recorded_diagnostics.h"
#include "tests/support/test_platform.h"

namespace {

const int kCom = 20;

class LinePortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(far_.IsOpen()) << "no test bed at " << BedPath("far20");
    ClearRecordedDiagnostics();
  }

  PortStatus Construct(DWORD dtrDsr = 0) {
    PortSettings settings = {};
    settings.portNumber = kCom;
    settings.baudRate = 9600;
    settings.dtrDsrFlow = dtrDsr;
    PortStatus status = 99;
    port_ = std::make_unique<CommPort>(settings, 8, NOPARITY, ONESTOPBIT, status);
    return status;
  }

  FarEnd far_{kCom};
  std::unique_ptr<CommPort> port_;
};

TEST_F(LinePortTest, OpensConfiguresWritesAndCloses) {
  ASSERT_EQ(kPortOk, Construct());
  EXPECT_STREQ("9600 8,N,1 DTR-DSR=OFF CTS-RTS=OFF", port_->description);
  const BYTE hello[] = {'h', 'e', 'l', 'l', 'o', 0x00, 0xFF};
  EXPECT_EQ(kPortOk, WriteBlock(*port_, hello, sizeof hello));
  EXPECT_EQ(std::vector<BYTE>(hello, hello + sizeof hello), far_.Read(sizeof hello, 5000));
  EXPECT_EQ(sizeof hello, port_->counters[kBytesSent]);
  EXPECT_EQ(kPortOk, ClosePort(*port_));
  EXPECT_EQ(INVALID_HANDLE_VALUE, port_->handle);
  EXPECT_TRUE(RecordedApiErrors().empty()) << RecordedApiErrors()[0];
}

TEST_F(LinePortTest, WatcherStaysWhileOpenAndEndsAtClose) {
  ASSERT_EQ(kPortOk, Construct());
  ThreadWatch watcher(port_->watcherThread, port_->watcherThreadId);
  EXPECT_FALSE(watcher.Ended(300));
  ClosePort(*port_);
  EXPECT_TRUE(watcher.Ended(5000));
  EXPECT_TRUE(RecordedApiErrors().empty()) << RecordedApiErrors()[0];
}

TEST_F(LinePortTest, DtrIsUpWhileOpenAndDownAfterClose) {
  ASSERT_EQ(kPortOk, Construct());
  EXPECT_EQ(kLineDtr, far_.HostLines() & kLineDtr);
  port_.reset();
  EXPECT_EQ(0u, far_.HostLines() & kLineDtr);
}

TEST_F(LinePortTest, DsrChangeSetsTheEventOfAPortWithDtrDsrFlowControl) {
  ASSERT_EQ(kPortOk, Construct(1));
  EXPECT_EQ(DWORD{EV_ERR | EV_DSR}, port_->eventMask);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(port_->dsrChangedEvent, 100));
  ASSERT_TRUE(far_.SetFarLines(kLineCts | kLineCarrier));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(port_->dsrChangedEvent, 5000));
  EXPECT_TRUE(RecordedApiErrors().empty()) << RecordedApiErrors()[0];
}

TEST_F(LinePortTest, PortThatDoesNotExistIsNotOpened) {
  PortSettings settings = {};
  settings.portNumber = 199;  // mapped to no device, in the project's prefix or natively
  settings.baudRate = 9600;
  PortStatus status = 0;
  CommPort port(settings, 8, NOPARITY, ONESTOPBIT, status);
  EXPECT_EQ(kPortNotOpen, status);
  EXPECT_STREQ("????", port.portName);
  ASSERT_EQ(1u, RecordedApiErrors().size());
  EXPECT_EQ(0u, RecordedApiErrors()[0].rfind("CreateFile COM199 ", 0));
}

}  // namespace
