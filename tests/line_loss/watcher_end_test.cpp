// A watcher whose device fails under it (the line has gone) ends its thread
// by itself, while the port stays open; close still works after it. Over the
// scripted device, in both builds.
#include <ostream>

#include "serchan32/comm_device.h"
#include "tests/support/port_fixture.h"
#include "tests/support/test_platform.h"

namespace {

struct DeviceFailure {
  Call call;
  DWORD mask;  // the event that leads to the failing call
  const char* name;
};

void PrintTo(const DeviceFailure& failure, std::ostream* out) { *out << failure.name; }

class WatcherEndTest : public PortTest, public ::testing::WithParamInterface<DeviceFailure> {};

TEST_P(WatcherEndTest, ThreadEndsWithoutACloseAndTheCloseAfterItWorks) {
  ASSERT_EQ(kPortOk, Open());
  ASSERT_TRUE(device_.WaitUntilEventPending());
  ThreadWatch watcher(port_->watcherThread, port_->watcherThreadId);
  EXPECT_FALSE(watcher.Ended(100));

  device_.Fail(GetParam().call, ERROR_GEN_FAILURE);
  device_.FireCommEvent(GetParam().mask);
  EXPECT_TRUE(watcher.Ended(5000)) << "the watcher left its loop but its thread still runs";
  EXPECT_NE(INVALID_HANDLE_VALUE, port_->handle);
  EXPECT_EQ(1u, device_.ApiErrors().size());

  EXPECT_EQ(kPortOk, ClosePort(*port_));
  EXPECT_EQ(nullptr, port_->watcherThread);
  EXPECT_EQ(INVALID_HANDLE_VALUE, port_->handle);
}

INSTANTIATE_TEST_SUITE_P(
    EachCall, WatcherEndTest,
    ::testing::Values(DeviceFailure{Call::WaitCommEvent, 0, "WaitCommEvent"},
                      DeviceFailure{Call::WaitResult, EV_ERR, "GetOverlappedResult"},
                      DeviceFailure{Call::GetCommModemStatus, EV_DSR, "GetCommModemStatus"}));

}  // namespace
