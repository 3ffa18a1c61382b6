// The termios device when its line hangs up, as a pseudo-terminal does when
// its far side closes and a USB adapter does when it is unplugged: a pending
// comm-event wait fails, and so does every wait after it; a read ends without
// a byte and a write fails; the handle still closes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "serchan32/comm_device.h"

namespace {

const char kPortName[] = "\\\\.\\COM70";

class DeviceHangUpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(master_, 0);
    char name[128] = {};
    ASSERT_EQ(0, grantpt(master_));
    ASSERT_EQ(0, unlockpt(master_));
    ASSERT_EQ(0, ptsname_r(master_, name, sizeof name));
    setenv("SERCHAN32_COM70", name, 1);
    handle_ = device::CreateFileA(kPortName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, handle_);
    ASSERT_TRUE(device::SetCommMask(handle_, EV_ERR));
    overlapped_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  void TearDown() override {
    if (handle_ != INVALID_HANDLE_VALUE) {
      EXPECT_TRUE(device::CloseHandle(handle_));
    }
    CloseHandle(overlapped_.hEvent);
    HangUp();
    unsetenv("SERCHAN32_COM70");
  }

  void HangUp() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  // Starts a comm-event wait; true when it pends.
  bool WaitPends() {
    mask_ = 0xFFFF;
    return !device::WaitCommEvent(handle_, &mask_, &overlapped_) &&
           device::GetLastError() == ERROR_IO_PENDING;
  }

  int master_ = -1;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  OVERLAPPED overlapped_ = {};
  DWORD mask_ = 0;
};

TEST_F(DeviceHangUpTest, PendingCommEventWaitFailsAndEveryLaterWaitFailsAtOnce) {
  ASSERT_TRUE(WaitPends());
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(overlapped_.hEvent, 100));
  HangUp();
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(overlapped_.hEvent, 5000));
  DWORD done = 7;
  EXPECT_FALSE(device::GetOverlappedResult(handle_, &overlapped_, &done, FALSE));
  EXPECT_EQ(DWORD{ERROR_GEN_FAILURE}, device::GetLastError());
  EXPECT_EQ(0u, done);

  mask_ = 0xFFFF;
  EXPECT_FALSE(device::WaitCommEvent(handle_, &mask_, &overlapped_));
  EXPECT_EQ(DWORD{ERROR_GEN_FAILURE}, device::GetLastError());
}

TEST_F(DeviceHangUpTest, WaitStartedJustAfterTheHangUpFailsToo) {
  HangUp();
  if (WaitPends()) {
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(overlapped_.hEvent, 5000));
    DWORD done = 0;
    EXPECT_FALSE(device::GetOverlappedResult(handle_, &overlapped_, &done, FALSE));
  }
  EXPECT_EQ(DWORD{ERROR_GEN_FAILURE}, device::GetLastError());
}

TEST_F(DeviceHangUpTest, ReadEndsWithoutAByteAndWriteFails) {
  HangUp();
  BYTE byte = 0;
  DWORD done = 7;
  if (!device::ReadFile(handle_, &byte, 1, &done, &overlapped_)) {
    ASSERT_EQ(DWORD{ERROR_IO_PENDING}, device::GetLastError());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(overlapped_.hEvent, 5000));
    device::GetOverlappedResult(handle_, &overlapped_, &done, FALSE);
  }
  EXPECT_EQ(0u, done);
  const BYTE out[1] = {'a'};
  const BOOL written = device::WriteFile(handle_, out, 1, &done, &overlapped_);
  EXPECT_FALSE(written);
  EXPECT_NE(DWORD{ERROR_IO_PENDING}, device::GetLastError());
}

}  // namespace
