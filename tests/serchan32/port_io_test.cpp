// The data path: byte read, block read, block write.
#include <thread>

#include "tests/support/port_fixture.h"

namespace {

class PortIoTest : public PortTest {
 protected:
  void SetUp() override { ASSERT_EQ(kPortOk, Open()); }

  // Sets an event once the next read is pending, from another thread.
  std::thread SetWhenReadPends(HANDLE event) {
    return std::thread([this, event] {
      if (device_.WaitUntilReadPending()) SetEvent(event);
    });
  }

  std::vector<DWORD> Purges() { return device_.Arguments("PurgeComm"); }
  std::vector<DWORD> PurgesAfterOpen() {
    std::vector<DWORD> purges = Purges();
    purges.erase(purges.begin());  // open's own purge of everything
    return purges;
  }
  bool IsSet(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

  BYTE byte_ = 0;
};

// Byte read.

TEST_F(PortIoTest, BreakEndsTheReadAndIsReset) {
  SetEvent(port_->breakEvent);
  EXPECT_EQ(kPortBreak, ReadOneByte(*port_, &byte_, 5000));
  EXPECT_FALSE(IsSet(port_->breakEvent));
  EXPECT_EQ(std::vector<DWORD>{PURGE_RXABORT}, PurgesAfterOpen());
  EXPECT_FALSE(device_.ReadPending());
}

TEST_F(PortIoTest, LineErrorDuringTheWaitPurgesAndClearsTheReceiveSide) {
  std::thread setter = SetWhenReadPends(port_->lineErrorEvent);
  EXPECT_EQ(kPortReadFailed, ReadOneByte(*port_, &byte_, 5000));
  setter.join();
  EXPECT_EQ(std::vector<DWORD>({PURGE_RXABORT | PURGE_RXCLEAR, PURGE_RXABORT}), PurgesAfterOpen());
}

TEST_F(PortIoTest, LineErrorSetBeforeTheReadIsForgotten) {
  SetEvent(port_->lineErrorEvent);
  device_.Deliver({0x31});
  EXPECT_EQ(kPortOk, ReadOneByte(*port_, &byte_, 5000));
  EXPECT_EQ(0x31, byte_);
}

TEST_F(PortIoTest, ModemChangesEndTheRead) {
  SetEvent(port_->dsrChangedEvent);
  EXPECT_EQ(kPortDsrLost, ReadOneByte(*port_, &byte_, 5000));
  ResetEvent(port_->dsrChangedEvent);
  SetEvent(port_->rlsdChangedEvent);
  EXPECT_EQ(kPortCarrierLost, ReadOneByte(*port_, &byte_, 5000));
  EXPECT_EQ(std::vector<DWORD>({PURGE_RXABORT, PURGE_RXABORT}), PurgesAfterOpen());
}

TEST_F(PortIoTest, BreakOutranksTheOtherEvents) {
  SetEvent(port_->rlsdChangedEvent);
  SetEvent(port_->dsrChangedEvent);
  SetEvent(port_->breakEvent);
  device_.Deliver({1});
  EXPECT_EQ(kPortBreak, ReadOneByte(*port_, &byte_, 5000));
  EXPECT_EQ(kPortDsrLost, ReadOneByte(*port_, &byte_, 5000));
}

TEST_F(PortIoTest, PendingReadCompletesWithItsByte) {
  std::thread sender([this] {
    if (device_.WaitUntilReadPending()) device_.Deliver({0xA5});
  });
  EXPECT_EQ(kPortOk, ReadOneByte(*port_, &byte_, 5000));
  sender.join();
  EXPECT_EQ(0xA5, byte_);
  EXPECT_EQ(1u, port_->counters[kBytesReceived]);
  EXPECT_TRUE(PurgesAfterOpen().empty());
}

TEST_F(PortIoTest, ReadThatCompletesAtOnceNeedsNoWait) {
  device_.SetReadsCompleteAtOnce(true);
  device_.Deliver({0x7F});
  EXPECT_EQ(kPortOk, ReadOneByte(*port_, &byte_, 0));
  EXPECT_EQ(0x7F, byte_);
  EXPECT_EQ(0, device_.Count("ReadResult"));
  EXPECT_EQ(1u, port_->counters[kBytesReceived]);
}

TEST_F(PortIoTest, ByteThatArrivesWithAnEventIsDiscarded) {
  device_.SetReadsCompleteAtOnce(true);
  const struct {
    HANDLE event;
    PortStatus status;
  } kCases[] = {{port_->breakEvent, kPortBreak},
                {port_->dsrChangedEvent, kPortDsrLost},
                {port_->rlsdChangedEvent, kPortCarrierLost}};
  for (const auto& c : kCases) {
    device_.Deliver({0x11});
    SetEvent(c.event);
    EXPECT_EQ(c.status, ReadOneByte(*port_, &byte_, 0));
    ResetEvent(c.event);
  }
  EXPECT_EQ(0u, port_->counters[kBytesReceived]);
  EXPECT_EQ(std::vector<DWORD>({PURGE_RXABORT, PURGE_RXABORT, PURGE_RXABORT}), PurgesAfterOpen());
}

TEST_F(PortIoTest, ReadCompletedAtOnceTakesTheEventsInWaitOrder) {
  device_.SetReadsCompleteAtOnce(true);
  SetEvent(port_->rlsdChangedEvent);
  SetEvent(port_->dsrChangedEvent);
  SetEvent(port_->breakEvent);
  device_.Deliver({1, 2, 3, 4});
  EXPECT_EQ(kPortBreak, ReadOneByte(*port_, &byte_, 0));  // and reset
  EXPECT_EQ(kPortDsrLost, ReadOneByte(*port_, &byte_, 0));
  ResetEvent(port_->dsrChangedEvent);
  EXPECT_EQ(kPortCarrierLost, ReadOneByte(*port_, &byte_, 0));
  ResetEvent(port_->rlsdChangedEvent);
  EXPECT_EQ(kPortOk, ReadOneByte(*port_, &byte_, 0));
  EXPECT_EQ(4, byte_);
  EXPECT_EQ(1u, port_->counters[kBytesReceived]);
}

TEST_F(PortIoTest, TimeOutAbortsTheReadAndTheNextByteGoesToTheNextRead) {
  // As under Wine: the purge leaves the read pending; the port must end it.
  device_.SetPurgeEndsReads(false);
  EXPECT_EQ(kPortTimeout, ReadOneByte(*port_, &byte_, 10));
  EXPECT_EQ(std::vector<DWORD>{PURGE_RXABORT}, PurgesAfterOpen());
  EXPECT_FALSE(device_.ReadPending());
  device_.Deliver({0x42});
  BYTE next = 0;
  EXPECT_EQ(kPortOk, ReadOneByte(*port_, &next, 5000));
  EXPECT_EQ(0x42, next);
  EXPECT_EQ(0, device_.OverlappingReads());
}

TEST_F(PortIoTest, FailedWaitIsReportedBetweenTwoPurges) {
  HANDLE breakEvent = port_->breakEvent;
  port_->breakEvent = reinterpret_cast<HANDLE>(0x7FFF0);  // never a handle of this process
  EXPECT_EQ(kPortReadFailed, ReadOneByte(*port_, &byte_, 5000));
  port_->breakEvent = breakEvent;
  auto errors = device_.ApiErrors();
  ASSERT_EQ(1u, errors.size());
  EXPECT_EQ("WaitForMultipleObjects", errors[0].api);
  EXPECT_EQ(DWORD{ERROR_INVALID_HANDLE}, errors[0].code);
  EXPECT_EQ(std::vector<DWORD>({PURGE_RXABORT, PURGE_RXABORT}), PurgesAfterOpen());
}

TEST_F(PortIoTest, FailedReadFileCountsLineErrorsWithoutAPurge) {
  device_.Fail(Call::ReadFile, ERROR_GEN_FAILURE, 1);
  device_.QueueLineErrors(CE_FRAME | CE_OVERRUN);
  EXPECT_EQ(kPortReadFailed, ReadOneByte(*port_, &byte_, 5000));
  EXPECT_EQ(1u, port_->counters[kFrameErrors]);
  EXPECT_EQ(1u, port_->counters[kOverrunErrors]);
  EXPECT_TRUE(PurgesAfterOpen().empty());
  auto errors = device_.ApiErrors();
  ASSERT_EQ(1u, errors.size());
  EXPECT_EQ("ReadFile", errors[0].api);
  EXPECT_EQ(DWORD{ERROR_GEN_FAILURE}, errors[0].code);
}

TEST_F(PortIoTest, FailedResultOfACompletedReadIsReportedWithoutAPurge) {
  device_.Deliver({1});
  device_.Fail(Call::ReadResult, ERROR_OPERATION_ABORTED, 1);
  EXPECT_EQ(kPortReadFailed, ReadOneByte(*port_, &byte_, 5000));
  auto errors = device_.ApiErrors();
  ASSERT_EQ(1u, errors.size());
  EXPECT_EQ("GetOverlappedResult (OFFSET_RECV_EVENT)", errors[0].api);
  EXPECT_TRUE(PurgesAfterOpen().empty());
  EXPECT_EQ(0u, port_->counters[kBytesReceived]);
}

// Block read.

TEST_F(PortIoTest, BlockOfZeroStillChecksTheLines) {
  BYTE buffer[4];
  DWORD count = 99;
  EXPECT_EQ(kPortOk, ReadBlock(*port_, buffer, 0, &count, 10, 10, 0, 0));
  EXPECT_EQ(0u, count);
  EXPECT_EQ(1, device_.Count("GetCommModemStatus"));
  device_.Fail(Call::GetCommModemStatus, ERROR_INVALID_HANDLE, 1);
  EXPECT_EQ(kPortCallFailed, ReadBlock(*port_, buffer, 0, &count, 10, 10, 0, 0));
  EXPECT_EQ("GetCommModemStatus", device_.ApiErrors().at(0).api);
}

TEST_F(PortIoTest, BlockEndsOnAnActiveTerminator) {
  BYTE buffer[16];
  DWORD count = 0;
  device_.Deliver({'a', 'b', '\r', 'c'});
  EXPECT_EQ(kPortTerminator, ReadBlock(*port_, buffer, 16, &count, 100, 100, '\r', 0));
  EXPECT_EQ(3u, count);
  device_.Deliver({'\n'});
  EXPECT_EQ(kPortTerminator, ReadBlock(*port_, buffer, 16, &count, 100, 100, '\r', '\n'));
  EXPECT_EQ(2u, count);  // 'c' and the second terminator
  device_.Deliver({'x', 0});
  EXPECT_EQ(kPortTerminator, ReadBlock(*port_, buffer, 16, &count, 100, 100, 0x100, 0));
  EXPECT_EQ(2u, count);
  device_.Deliver({'\r', 'z'});
  EXPECT_EQ(kPortTerminator, ReadBlock(*port_, buffer, 16, &count, 100, 100, 0x0D, 0));
  EXPECT_EQ(1u, count);
}

TEST_F(PortIoTest, ZeroAndMinusOneAreNoTerminators) {
  BYTE buffer[4];
  DWORD count = 0;
  device_.Deliver({0, 0xFF, 0, 0xFF});
  EXPECT_EQ(kPortOk, ReadBlock(*port_, buffer, 4, &count, 100, 100, 0, -1));
  EXPECT_EQ(4u, count);
  EXPECT_EQ(0xFF, buffer[3]);
  EXPECT_EQ(4u, port_->counters[kBytesReceived]);
}

TEST_F(PortIoTest, TimeOutAfterSomeBytesReportsThemOtherFailuresDoNot) {
  BYTE buffer[8];
  DWORD count = 0;
  device_.Deliver({1, 2, 3});
  EXPECT_EQ(kPortTimeout, ReadBlock(*port_, buffer, 5, &count, 100, 10, 0, 0));
  EXPECT_EQ(3u, count);
  device_.Deliver({1, 2});
  device_.Fail(Call::ReadFile, ERROR_GEN_FAILURE, 1, 2);
  EXPECT_EQ(kPortReadFailed, ReadBlock(*port_, buffer, 5, &count, 100, 100, 0, 0));
  EXPECT_EQ(0u, count);
  device_.Deliver({1});
  const int reads = device_.Count("ReadFile");
  std::thread setter([this, reads] {
    // The second byte's read pends: the break ends it.
    if (ScriptedDevice::WaitUntil([&] { return device_.Count("ReadFile") == reads + 2; }) &&
        device_.WaitUntilReadPending()) {
      SetEvent(port_->breakEvent);
    }
  });
  EXPECT_EQ(kPortBreak, ReadBlock(*port_, buffer, 5, &count, 100, 5000, 0, 0));
  setter.join();
  EXPECT_EQ(0u, count);
}

TEST_F(PortIoTest, DsrIsCheckedOnlyWithDtrDsrFlowControl) {
  device_.SetModemStatus(MS_CTS_ON | MS_RLSD_ON);
  BYTE buffer[2];
  DWORD count = 0;
  device_.Deliver({9});
  EXPECT_EQ(kPortOk, ReadBlock(*port_, buffer, 1, &count, 100, 100, 0, 0));
  port_.reset();
  ASSERT_EQ(kPortOk, Construct(Settings(5, 9600, 1, 0)));
  EXPECT_EQ(kPortDsrLost, ReadBlock(*port_, buffer, 1, &count, 100, 100, 0, 0));
  EXPECT_EQ(0, device_.Count("ReadFile") - 1);
}

TEST_F(PortIoTest, CarrierIsCheckedOnlyWhenTheMaskAsksForIt) {
  device_.SetModemStatus(MS_CTS_ON | MS_DSR_ON);
  DWORD dsrOk = 0;
  DWORD rlsdOk = 0;
  EXPECT_EQ(kPortOk, CheckModemLines(*port_, dsrOk, rlsdOk));
  EXPECT_EQ(1u, rlsdOk);
  port_->eventMask |= EV_RLSD;
  EXPECT_EQ(kPortOk, CheckModemLines(*port_, dsrOk, rlsdOk));
  EXPECT_EQ(0u, rlsdOk);
  EXPECT_EQ(1u, dsrOk);
  BYTE buffer[2];
  DWORD count = 0;
  EXPECT_EQ(kPortCarrierLost, ReadBlock(*port_, buffer, 1, &count, 100, 100, 0, 0));
}

TEST_F(PortIoTest, ModemChangeBeforeTheBlockIsForgottenAfterTheCheck) {
  SetEvent(port_->dsrChangedEvent);
  SetEvent(port_->rlsdChangedEvent);
  BYTE buffer[2];
  DWORD count = 0;
  device_.Deliver({5});
  EXPECT_EQ(kPortOk, ReadBlock(*port_, buffer, 1, &count, 100, 100, 0, 0));
  EXPECT_EQ(1u, count);
}

TEST_F(PortIoTest, ClosedPortNeitherReadsNorWrites) {
  ClosePort(*port_);
  BYTE buffer[2] = {1, 2};
  DWORD count = 77;
  EXPECT_EQ(kPortNotOpen, ReadBlock(*port_, buffer, 1, &count, 100, 100, 0, 0));
  EXPECT_EQ(77u, count);
  EXPECT_EQ(kPortNotOpen, WriteBlock(*port_, buffer, 2));
}

// Block write.

TEST_F(PortIoTest, WriteCompletingAtOnceCountsAndFlushes) {
  const BYTE data[] = {1, 2, 3};
  EXPECT_EQ(kPortOk, WriteBlock(*port_, data, 3));
  EXPECT_EQ(3u, port_->counters[kBytesSent]);
  EXPECT_EQ(1, device_.Count("FlushFileBuffers"));
  EXPECT_EQ(std::vector<BYTE>({1, 2, 3}), device_.Written());
}

TEST_F(PortIoTest, PendingWriteCompletesInPieces) {
  device_.SetWritePieces({3, 2, 5});
  const BYTE data[10] = {};
  EXPECT_EQ(kPortOk, WriteBlock(*port_, data, 10));
  EXPECT_EQ(10u, port_->counters[kBytesSent]);
  EXPECT_EQ(3, device_.Count("WriteResult"));
  EXPECT_EQ(1, device_.Count("FlushFileBuffers"));
}

TEST_F(PortIoTest, ShortWriteClearsTheTransmitSideAndCountsNothing) {
  device_.SetWritePieces({2, 4});
  const BYTE data[10] = {};
  EXPECT_EQ(kPortWriteShort, WriteBlock(*port_, data, 10));
  EXPECT_EQ(0u, port_->counters[kBytesSent]);
  EXPECT_EQ(std::vector<DWORD>{PURGE_TXABORT | PURGE_TXCLEAR}, PurgesAfterOpen());
  EXPECT_EQ(0, device_.Count("FlushFileBuffers"));
}

TEST_F(PortIoTest, FailedWritesCountLineErrorsAndClearTheTransmitSide) {
  const BYTE data[4] = {};
  device_.Fail(Call::WriteFile, ERROR_GEN_FAILURE, 1);
  device_.QueueLineErrors(CE_TXFULL);
  EXPECT_EQ(kPortWriteFailed, WriteBlock(*port_, data, 4));
  EXPECT_EQ(1u, port_->counters[kTxFullErrors]);
  device_.SetWritePieces({1, 3});
  device_.Fail(Call::WriteResult, ERROR_COUNTER_TIMEOUT, 1);
  EXPECT_EQ(kPortWriteFailed, WriteBlock(*port_, data, 4));
  auto errors = device_.ApiErrors();
  ASSERT_EQ(2u, errors.size());
  EXPECT_EQ("WriteFile", errors[0].api);
  EXPECT_EQ("GetOverlappedResult (W)", errors[1].api);
  EXPECT_EQ(DWORD{ERROR_COUNTER_TIMEOUT}, errors[1].code);
  EXPECT_EQ(0u, port_->counters[kBytesSent]);
  const DWORD tx = PURGE_TXABORT | PURGE_TXCLEAR;
  EXPECT_EQ(std::vector<DWORD>({tx, tx}), PurgesAfterOpen());
}

}  // namespace
