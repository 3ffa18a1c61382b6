// The watcher thread: line-error counting, modem-change events, restarts and
// the failures that end it.
#include "serchan32/comm_device.h"
#include "tests/support/port_fixture.h"

namespace {

class WatcherTest : public PortTest {
 protected:
  void OpenWatching(DWORD dtrDsr = 0, DWORD signalLineErrors = 0) {
    ASSERT_EQ(kPortOk, Construct(Settings(3, 9600, dtrDsr, 0, signalLineErrors)));
    ASSERT_TRUE(device_.WaitUntilEventPending());
  }

  bool IsSet(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

  // Fires one event and waits until the watcher is waiting again.
  void Fire(DWORD mask) {
    const int waits = device_.Count("WaitCommEvent");
    device_.FireCommEvent(mask);
    ASSERT_TRUE(ScriptedDevice::WaitUntil([&] { return device_.Count("WaitCommEvent") > waits; }));
    ASSERT_TRUE(device_.WaitUntilEventPending());
  }
};

TEST_F(WatcherTest, CountsEachErrorBitOnce) {
  OpenWatching();
  device_.QueueLineErrors(CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK | CE_TXFULL |
                          CE_MODE | 0x0040);
  Fire(EV_ERR);
  for (int i = kRxOverErrors; i < kCounterCount; ++i) EXPECT_EQ(1u, port_->counters[i]) << i;
  device_.QueueLineErrors(CE_RXOVER | CE_OVERRUN);
  Fire(EV_ERR);
  EXPECT_EQ(2u, port_->counters[kRxOverErrors]);
  EXPECT_EQ(2u, port_->counters[kOverrunErrors]);
  EXPECT_EQ(1u, port_->counters[kFrameErrors]);
  EXPECT_EQ(0u, port_->counters[kBytesSent]);
  EXPECT_EQ(0u, port_->counters[kBytesReceived]);
  EXPECT_FALSE(IsSet(port_->lineErrorEvent));  // not asked for
}

TEST_F(WatcherTest, SignalsOnlyTheFiveReceiveErrorsWhenAskedFor) {
  OpenWatching(0, 1);
  device_.QueueLineErrors(CE_TXFULL | CE_MODE);
  Fire(EV_ERR);
  EXPECT_FALSE(IsSet(port_->lineErrorEvent));
  EXPECT_EQ(1u, port_->counters[kTxFullErrors]);
  for (DWORD bit : {CE_RXOVER, CE_OVERRUN, CE_RXPARITY, CE_FRAME, CE_BREAK}) {
    ResetEvent(port_->lineErrorEvent);
    device_.QueueLineErrors(bit);
    Fire(EV_ERR);
    EXPECT_TRUE(IsSet(port_->lineErrorEvent)) << bit;
  }
}

TEST_F(WatcherTest, ErrorsInTheMaskHideTheModemChange) {
  OpenWatching(1);
  device_.QueueLineErrors(CE_FRAME);
  Fire(EV_ERR | EV_DSR);
  EXPECT_EQ(1u, port_->counters[kFrameErrors]);
  EXPECT_FALSE(IsSet(port_->dsrChangedEvent));
  EXPECT_EQ(0, device_.Count("GetCommModemStatus"));
}

TEST_F(WatcherTest, DsrChangeSetsItsEventUnderTheReadLock) {
  OpenWatching(1);
  EnterCriticalSection(&port_->readLock);
  device_.FireCommEvent(EV_DSR);
  ASSERT_TRUE(ScriptedDevice::WaitUntil([&] { return device_.Count("GetCommModemStatus") == 1; }));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(port_->dsrChangedEvent, 100));
  LeaveCriticalSection(&port_->readLock);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(port_->dsrChangedEvent, 5000));
  EXPECT_FALSE(IsSet(port_->rlsdChangedEvent));
}

TEST_F(WatcherTest, CarrierChangeSetsItsEvent) {
  OpenWatching();
  Fire(EV_RLSD);
  EXPECT_TRUE(IsSet(port_->rlsdChangedEvent));
  EXPECT_FALSE(IsSet(port_->dsrChangedEvent));
}

TEST_F(WatcherTest, EmptyMaskRestartsTheWait) {
  OpenWatching();
  Fire(0);
  Fire(0);
  EXPECT_EQ(0, device_.Count("ClearCommError"));
  EXPECT_EQ(0, device_.Count("GetCommModemStatus"));
  EXPECT_TRUE(device_.ApiErrors().empty());
  EXPECT_FALSE(WatcherEnds(0));
}

TEST_F(WatcherTest, WaitThatCompletesAtOnceIsHandledLikeAPendingOne) {
  device_.QueueImmediateEvent(0);
  device_.QueueImmediateEvent(EV_ERR);
  device_.QueueLineErrors(CE_BREAK);
  OpenWatching();
  EXPECT_TRUE(ScriptedDevice::WaitUntil([&] { return port_->counters[kBreakErrors] == 1; }));
  EXPECT_TRUE(device_.ApiErrors().empty());
}

TEST_F(WatcherTest, WaitAbortedByAMaskChangeRestartsAsWithAnEmptyMask) {
  device_.SetMaskChangeAborts(true);
  OpenWatching();
  // Each abort that an event separates from the last is taken as an empty mask.
  // (Configure's own mask change may have been the last abort.)
  for (int round = 0; round < 3; ++round) {
    device_.QueueLineErrors(CE_FRAME);
    Fire(EV_ERR);
    const int waits = device_.Count("WaitCommEvent");
    device::SetCommMask(port_->handle, EV_ERR);
    ASSERT_TRUE(ScriptedDevice::WaitUntil([&] { return device_.Count("WaitCommEvent") > waits; }));
    ASSERT_TRUE(device_.WaitUntilEventPending());
  }
  EXPECT_EQ(3u, port_->counters[kFrameErrors]);
  EXPECT_TRUE(device_.ApiErrors().empty());
}

TEST_F(WatcherTest, WaitThatCannotPendEndsTheWatcherInsteadOfSpinning) {
  OpenWatching();
  const int waits = device_.Count("WaitCommEvent");
  device_.Fail(Call::WaitCommEvent, ERROR_OPERATION_ABORTED);
  device_.FireCommEvent(0);
  ASSERT_TRUE(WatcherEnds());
  auto errors = device_.ApiErrors();
  ASSERT_EQ(1u, errors.size());
  EXPECT_EQ("WatchPort thread - WaitCommEvent", errors[0].api);
  EXPECT_EQ(DWORD{ERROR_OPERATION_ABORTED}, errors[0].code);
  EXPECT_EQ(waits + 2, device_.Count("WaitCommEvent"));  // two aborts, then it gave up
}

struct WatcherFailure {
  Call call;
  DWORD mask;  // the event that leads to the failing call
  const char* api;
};

class WatcherFailureTest : public WatcherTest,
                           public ::testing::WithParamInterface<WatcherFailure> {};

TEST_P(WatcherFailureTest, EndsTheThreadAfterOneHookCall) {
  OpenWatching(1);
  device_.Fail(GetParam().call, ERROR_ACCESS_DENIED);
  device_.FireCommEvent(GetParam().mask);
  ASSERT_TRUE(WatcherEnds());
  auto errors = device_.ApiErrors();
  ASSERT_EQ(1u, errors.size());
  EXPECT_EQ(GetParam().api, errors[0].api);
  EXPECT_EQ("COM3", errors[0].port);
  EXPECT_EQ(DWORD{ERROR_ACCESS_DENIED}, errors[0].code);
  // The port stays open without a watcher; close still works.
  EXPECT_EQ(kPortOk, ClosePort(*port_));
}

INSTANTIATE_TEST_SUITE_P(
    EachCall, WatcherFailureTest,
    ::testing::Values(
        WatcherFailure{Call::WaitCommEvent, 0, "WatchPort thread - WaitCommEvent"},
        WatcherFailure{Call::WaitResult, EV_ERR, "GetOverlappedResult (OFFSET_RECV_EVENT)"},
        WatcherFailure{Call::GetCommModemStatus, EV_DSR, "WatchPort thread - GetCommModemStatus"}));

TEST_F(WatcherTest, WaitFailureEndsTheThreadAfterOneHookCall) {
  // Before the watcher runs, its stop event is swapped for a closed handle, so
  // its own wait fails; close then stops it through the comm mask alone.
  HANDLE closed = reinterpret_cast<HANDLE>(0x7FFF0);  // never a handle of this process
  HANDLE stopEvent = nullptr;
  device_.BeforeResume([&](void* argument) {
    CommPort& port = *static_cast<CommPort*>(argument);
    stopEvent = port.stopEvent;
    port.stopEvent = closed;
  });
  ASSERT_EQ(kPortOk, Open());
  ASSERT_TRUE(WatcherEnds());
  port_->stopEvent = stopEvent;
  auto errors = device_.ApiErrors();
  ASSERT_EQ(1u, errors.size());
  EXPECT_EQ("WaitForMultipleObjects", errors[0].api);
}

}  // namespace
