// The exported interface over the scripted device: slots, result codes,
// per-slot settings, the checked reads and the length limits.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "serchan32/channel_table.h"
#include "serchan32/serchan32.h"
#include "tests/support/scripted_device.h"
#include "tests/support/test_platform.h"

namespace {

class ExportsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AttachLibrary(ProgramModule());
    for (ChannelSlot& slot : Channels) slot = ChannelSlot();
  }
  void TearDown() override { DetachLibrary(false); }

  int OpenOne() {
    int index = -5;
    EXPECT_EQ(0, XRT_M_Comm_OpenChannel(4, 9600, &index));
    return index;
  }

  ScriptedDevice device_;
  unsigned char buffer_[600] = {};
};

TEST_F(ExportsTest, OpensTheLowestFreeSlotAndRefusesANinth) {
  for (int i = 0; i < kChannelCount; ++i) EXPECT_EQ(i, OpenOne());
  int index = 5;
  EXPECT_EQ(SERCHAN32_BAD_CHANNEL, XRT_M_Comm_OpenChannel(4, 9600, &index));
  EXPECT_EQ(-1, index);
  EXPECT_EQ(0, XRT_M_Comm_CloseChannel(3));
  EXPECT_EQ(nullptr, Channels[3].port);
  EXPECT_EQ(3, OpenOne());
}

TEST_F(ExportsTest, FailedOpenLeavesTheSlotFree) {
  device_.Fail(Call::CreateFile, ERROR_FILE_NOT_FOUND, 1);
  int index = 0;
  EXPECT_EQ(SERCHAN32_BAD_CHANNEL, XRT_M_Comm_OpenChannel(200, 9600, &index));
  EXPECT_EQ(-1, index);
  EXPECT_EQ(nullptr, Channels[0].port);
  device_.Fail(Call::SetCommState, ERROR_INVALID_PARAMETER, 1);
  EXPECT_EQ(SERCHAN32_BAD_CHANNEL, XRT_M_Comm_OpenChannel(4, 9600, &index));
  EXPECT_EQ(nullptr, Channels[0].port);
  EXPECT_EQ(1, device_.Count("CloseHandle"));  // the configured-but-refused device
  EXPECT_EQ(0, OpenOne());
}

TEST_F(ExportsTest, OpenTranslatesParityAndStopBits) {
  int index = 0;
  ASSERT_EQ(0, XRT_M_Comm_OpenChannel_0(4, 19200, 'E', 7, 2, &index));
  DCB dcb = device_.LastDcb();
  EXPECT_EQ(EVENPARITY, dcb.Parity);
  EXPECT_EQ(7, dcb.ByteSize);
  EXPECT_EQ(TWOSTOPBITS, dcb.StopBits);
  XRT_M_Comm_CloseChannel(index);
  ASSERT_EQ(0, XRT_M_Comm_OpenChannel_0(4, 19200, 'e', 8, 1, &index));
  EXPECT_EQ(255, device_.LastDcb().Parity);  // lower case is no known letter
  EXPECT_EQ(0u, device_.LastDcb().fParity);
  EXPECT_EQ(ONESTOPBIT, device_.LastDcb().StopBits);
  XRT_M_Comm_CloseChannel(index);
  ASSERT_EQ(0, XRT_M_Comm_OpenChannel_0(4, 19200, 0x100 | 'S', 8, 1, &index));
  EXPECT_EQ(SPACEPARITY, device_.LastDcb().Parity);  // only the low byte counts
}

TEST_F(ExportsTest, StopBitsOtherThanOneAndTwoOpenNothing) {
  const int opens = device_.Count("CreateFile");
  for (int stop : {0, 3, -1, 15}) {
    int index = 0;
    EXPECT_EQ(SERCHAN32_BAD_CHANNEL, XRT_M_Comm_OpenChannel_0(4, 9600, 'N', 8, stop, &index));
    EXPECT_EQ(-1, index);
  }
  EXPECT_EQ(opens, device_.Count("CreateFile"));
}

TEST_F(ExportsTest, SlotSettingsSurviveCloseAndReopen) {
  EXPECT_EQ(0, XRT_M_Comm_Check_RLSD(0, 1));  // a free slot is allowed
  XRT_M_Change_Wait_Mode(0, 1);
  XRT_M_Set_FlagConnect(0, 0);
  ASSERT_EQ(0, OpenOne());
  EXPECT_EQ(1, Channels[0].checkCarrier);
  EXPECT_EQ(1, Channels[0].waitMode);
  EXPECT_EQ(1, Channels[0].connected);  // open always connects
  XRT_M_Comm_CloseChannel(0);
  EXPECT_EQ(1, Channels[0].checkCarrier);
  EXPECT_EQ(1, Channels[0].connected);
}

TEST_F(ExportsTest, SettersCheckOnlyTheRange) {
  EXPECT_EQ(SERCHAN32_BAD_CHANNEL, XRT_M_Comm_Check_RLSD(8, 1));
  EXPECT_EQ(SERCHAN32_BAD_CHANNEL, XRT_M_Comm_Check_RLSD(-1, 1));
  EXPECT_EQ(SERCHAN32_BAD_CHANNEL, XRT_M_Set_FlagConnect(8, 1));
  XRT_M_Change_Wait_Mode(8, 1);  // ignored silently
  XRT_M_Change_Wait_Mode(-1, 1);
  EXPECT_EQ(0, XRT_M_Set_FlagConnect(7, 1));
  EXPECT_EQ(0, GetGlobDummy());
}

// Every export that needs a usable channel, called on `index`.
std::vector<int> UsableCheckedResults(int index, unsigned char* buffer) {
  void* event = nullptr;
  return {XRT_M_Comm_Delay(index, 1),
          XRT_M_Comm_FlushBuffers(index),
          XRT_M_Comm_RTS(index, 1),
          XRT_M_Comm_ReadBlock_EOB(index, buffer, 1, 0),
          XRT_M_Comm_ReadBlock_Length(index, buffer, 1, 1),
          XRT_M_Comm_SendBlock(index, buffer, 1),
          XRT_M_Comm_ReadBlock(index, buffer, 1, 1),
          XRT_M_Comm_SendBlock_0(index, buffer, 1),
          XRT_M_Comm_ReadByte(index, buffer, 1),
          XRT_M_Comm_GetBreakEvent(index, &event)};
}

TEST_F(ExportsTest, UnusableChannelsAreRefusedByEveryCheckedExport) {
  const std::vector<int> refused(10, SERCHAN32_BAD_CHANNEL);
  EXPECT_EQ(refused, UsableCheckedResults(-1, buffer_));
  EXPECT_EQ(refused, UsableCheckedResults(8, buffer_));
  EXPECT_EQ(refused, UsableCheckedResults(2, buffer_));  // free slot
  const int index = OpenOne();
  XRT_M_Set_FlagConnect(index, 0);
  EXPECT_EQ(refused, UsableCheckedResults(index, buffer_));
  EXPECT_EQ(0, device_.Count("WriteFile"));  // nothing reached the device
  EXPECT_EQ(0, device_.Count("ReadFile"));
  XRT_M_Set_FlagConnect(index, 1);
  void* event = nullptr;
  EXPECT_EQ(0, XRT_M_Comm_GetBreakEvent(index, &event));
  EXPECT_EQ(ExportedEvent(Channels[index].port->breakEvent), event);
  EXPECT_EQ(0, XRT_M_Comm_SendBlock_0(index, buffer_, 1));
}

TEST_F(ExportsTest, CloseAndQueueCheckGuardTheirIndex) {
  EXPECT_EQ(0, XRT_M_Comm_CloseChannel(5));  // free slot: nothing to do
  EXPECT_EQ(SERCHAN32_BAD_CHANNEL, XRT_M_Comm_CloseChannel(8));
  EXPECT_EQ(SERCHAN32_BAD_CHANNEL, XRT_M_Comm_CloseChannel(-1));
  unsigned queued = 9;
  EXPECT_EQ(SERCHAN32_BAD_CHANNEL, XRT_M_Comm_CheckRecvQueue(8, &queued));
  EXPECT_EQ(0u, queued);
  EXPECT_EQ(SERCHAN32_BAD_CHANNEL, XRT_M_Comm_CheckRecvQueue(1, &queued));
  const int index = OpenOne();
  device_.SetInQueue(17);
  device_.QueueLineErrors(CE_FRAME);
  EXPECT_EQ(0, XRT_M_Comm_CheckRecvQueue(index, &queued));
  EXPECT_EQ(17u, queued);
  EXPECT_EQ(0u, Channels[index].port->counters[kFrameErrors]);  // the errors are discarded
  device_.Fail(Call::ClearCommError, ERROR_INVALID_HANDLE, 1);
  EXPECT_EQ(SERCHAN32_FAILED, XRT_M_Comm_CheckRecvQueue(index, &queued));
  EXPECT_EQ(0u, queued);
}

TEST_F(ExportsTest, CheckedReadWithTheCarrierOffSwitchesTheCheckOff) {
  const int index = OpenOne();
  XRT_M_Comm_Check_RLSD(index, 1);
  device_.SetModemStatus(MS_DSR_ON | MS_CTS_ON);
  const int reads = device_.Count("ReadFile");
  EXPECT_EQ(SERCHAN32_CARRIER_LOST, XRT_M_Comm_ReadBlock_EOB(index, buffer_, 100, '\r'));
  EXPECT_EQ(reads, device_.Count("ReadFile"));
  EXPECT_EQ(0, Channels[index].checkCarrier);
  device_.Deliver({'o', 'k', '\r'});
  EXPECT_EQ(3, XRT_M_Comm_ReadBlock_EOB(index, buffer_, 100, '\r'));
  XRT_M_Comm_Check_RLSD(index, 1);
  device_.Fail(Call::GetCommModemStatus, ERROR_INVALID_HANDLE, 1);
  EXPECT_EQ(SERCHAN32_CARRIER_LOST, XRT_M_Comm_ReadBlock_Length(index, buffer_, 100, 1));
}

TEST_F(ExportsTest, CarrierLostDuringACheckedReadKeepsTheBytes) {
  const int index = OpenOne();
  XRT_M_Comm_Check_RLSD(index, 1);
  // Checks before the read and in the read pass; the one after it fails.
  device_.Fail(Call::GetCommModemStatus, ERROR_INVALID_HANDLE, 1, 2);
  device_.Deliver({'a', 'b'});
  EXPECT_EQ(SERCHAN32_CARRIER_LOST, XRT_M_Comm_ReadBlock_Length(index, buffer_, 100, 2));
  EXPECT_EQ(0, std::memcmp(buffer_, "ab", 3));
  EXPECT_EQ(0, Channels[index].checkCarrier);
}

TEST_F(ExportsTest, EndOfBlockReadStopsAfterItsCharacterAndAddsANul) {
  const int index = OpenOne();
  std::memset(buffer_, 0x55, sizeof buffer_);
  device_.Deliver({'a', 'b', '\r', 'z'});
  EXPECT_EQ(3, XRT_M_Comm_ReadBlock_EOB(index, buffer_, 100, 0x100 | '\r'));
  EXPECT_EQ(0, std::memcmp(buffer_, "ab\r", 4));
  std::vector<BYTE> many(300, 'x');
  device_.Deliver(many);
  EXPECT_EQ(256, XRT_M_Comm_ReadBlock_EOB(index, buffer_, 100, 0));
  EXPECT_EQ('x', buffer_[255]);
  EXPECT_EQ(0, buffer_[256]);
}

TEST_F(ExportsTest, LengthReadTakesTheLowByteAndTimeOutReportsNothing) {
  const int index = OpenOne();
  std::vector<BYTE> many(50, 'y');
  device_.Deliver(many);
  EXPECT_EQ(44, XRT_M_Comm_ReadBlock_Length(index, buffer_, 100, 300));
  EXPECT_EQ(0, buffer_[44]);
  std::memset(buffer_, 0x55, sizeof buffer_);
  EXPECT_EQ(0, XRT_M_Comm_ReadBlock_Length(index, buffer_, 100, 10));  // 6 arrive, then time-out
  EXPECT_EQ(0, buffer_[0]);
  EXPECT_EQ('y', buffer_[1]);
}

TEST_F(ExportsTest, BlockReadCountsOnlyWhenComplete) {
  const int index = OpenOne();
  device_.Deliver({1, 2, 3});
  EXPECT_EQ(SERCHAN32_FAILED, XRT_M_Comm_ReadBlock(index, buffer_, 100, 5));
  device_.Deliver({1, 2, 3});
  EXPECT_EQ(2, XRT_M_Comm_ReadBlock(index, buffer_, 100, 0x10002));
  EXPECT_EQ(1, XRT_M_Comm_ReadBlock(index, buffer_, 100, 1));
  EXPECT_EQ(3, buffer_[0]);
  EXPECT_EQ(0, XRT_M_Comm_ReadBlock(index, buffer_, 100, 0));
}

TEST_F(ExportsTest, SendBlockPurgesFirstAndTakesTheLowByteOfTheLength) {
  const int index = OpenOne();
  EXPECT_EQ(0, XRT_M_Comm_SendBlock(index, buffer_, 256));
  // This thread's calls, without the watcher's.
  std::vector<std::string> log;
  for (const std::string& line : device_.Log()) {
    if (line.rfind("Wait", 0) != 0) log.push_back(line);
  }
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ("PurgeComm 15", log[log.size() - 3]);
  EXPECT_EQ("WriteFile 0", log[log.size() - 2]);
  EXPECT_EQ("FlushFileBuffers 0", log[log.size() - 1]);
  EXPECT_EQ(0, XRT_M_Comm_SendBlock(index, buffer_, 0x103));
  EXPECT_EQ(3u, device_.Written().size());
  device_.Fail(Call::PurgeComm, ERROR_INVALID_HANDLE, 1);
  EXPECT_EQ(SERCHAN32_FAILED, XRT_M_Comm_SendBlock(index, buffer_, 1));
  EXPECT_EQ(3u, device_.Written().size());
  device_.Fail(Call::WriteFile, ERROR_GEN_FAILURE, 1);
  EXPECT_EQ(SERCHAN32_FAILED, XRT_M_Comm_SendBlock(index, buffer_, 1));
}

TEST_F(ExportsTest, SendBlockZeroTakes16BitsAndDoesNotPurge) {
  const int index = OpenOne();
  const int purges = device_.Count("PurgeComm");
  EXPECT_EQ(0, XRT_M_Comm_SendBlock_0(index, buffer_, 256));
  EXPECT_EQ(256u, device_.Written().size());
  EXPECT_EQ(0, XRT_M_Comm_SendBlock_0(index, buffer_, 0x10001));
  EXPECT_EQ(257u, device_.Written().size());
  EXPECT_EQ(purges, device_.Count("PurgeComm"));
  device_.SetWritePieces({1});
  EXPECT_EQ(SERCHAN32_FAILED, XRT_M_Comm_SendBlock_0(index, buffer_, 2));
}

TEST_F(ExportsTest, FlushAndRts) {
  const int index = OpenOne();
  EXPECT_EQ(0, XRT_M_Comm_FlushBuffers(index));
  device_.Fail(Call::PurgeComm, ERROR_INVALID_HANDLE, 1);
  EXPECT_EQ(SERCHAN32_FAILED, XRT_M_Comm_FlushBuffers(index));
  EXPECT_EQ(0, XRT_M_Comm_RTS(index, 7));
  device_.Fail(Call::EscapeCommFunction, ERROR_INVALID_HANDLE, 1);
  EXPECT_EQ(0, XRT_M_Comm_RTS(index, 0));  // its result is not looked at
  EXPECT_EQ(std::vector<DWORD>({SETRTS, CLRRTS}), device_.Arguments("EscapeCommFunction"));
}

TEST_F(ExportsTest, DelayRunsItsTimeUnlessTheBreakEventEndsIt) {
  const int index = OpenOne();
  EXPECT_EQ(0, XRT_M_Comm_Delay(index, 20));
  void* event = nullptr;
  ASSERT_EQ(0, XRT_M_Comm_GetBreakEvent(index, &event));
  // Set from another thread as a caller sets it: SetEvent, or natively
  // eventfd_write on the descriptor.
  std::thread setter([event] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    SetExportedEvent(event);
  });
  EXPECT_EQ(SERCHAN32_FAILED, XRT_M_Comm_Delay(index, INFINITE));
  setter.join();
  EXPECT_FALSE(ExportedEventIsSet(event));
}

TEST_F(ExportsTest, ByteReadAndTheBreakEvent) {
  const int index = OpenOne();
  device_.Deliver({0x9C});
  EXPECT_EQ(0, XRT_M_Comm_ReadByte(index, buffer_, 100));
  EXPECT_EQ(0x9C, buffer_[0]);
  EXPECT_EQ(SERCHAN32_FAILED, XRT_M_Comm_ReadByte(index, buffer_, 10));
  void* event = nullptr;
  XRT_M_Comm_GetBreakEvent(index, &event);
  SetExportedEvent(event);
  EXPECT_EQ(SERCHAN32_FAILED, XRT_M_Comm_ReadByte(index, buffer_, INFINITE));
  EXPECT_FALSE(ExportedEventIsSet(event));
  // A block read waiting without end, ended from another thread.
  std::thread setter([event] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    SetExportedEvent(event);
  });
  EXPECT_EQ(SERCHAN32_FAILED, XRT_M_Comm_ReadBlock(index, buffer_, INFINITE, 4));
  setter.join();
}

// Window messages exist only under Windows.
#if defined(_WIN32)
TEST_F(ExportsTest, ReadsPumpTheThreadsMessagesUnlessWaitModeIsOne) {
  const int index = OpenOne();
  MSG message;
  PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);  // gives this thread its queue
  PostThreadMessageA(GetCurrentThreadId(), WM_USER, 0, 0);
  PostThreadMessageA(GetCurrentThreadId(), WM_USER + 1, 0, 0);
  XRT_M_Change_Wait_Mode(index, 1);
  XRT_M_Comm_ReadByte(index, buffer_, 0);
  EXPECT_TRUE(PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE));
  XRT_M_Change_Wait_Mode(index, 0);
  XRT_M_Comm_ReadBlock(index, buffer_, 0, 1);
  EXPECT_FALSE(PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE));
}
#endif

TEST_F(ExportsTest, UnloadClosesEveryOpenChannel) {
  OpenOne();
  OpenOne();
  DetachLibrary(false);
  EXPECT_EQ(2, device_.Count("CloseHandle"));
  EXPECT_EQ(nullptr, Channels[0].port);
  AttachLibrary(ProgramModule());
}

}  // namespace
