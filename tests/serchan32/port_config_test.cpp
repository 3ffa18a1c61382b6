// Configuring a port: the DCB, the event mask, the write time-outs and the
// description text.
#include "tests/support/port_fixture.h"

namespace {

struct Flow {
  DWORD dtrDsr;
  DWORD ctsRts;
};

class FlowControlTest : public PortTest, public ::testing::WithParamInterface<Flow> {};

TEST_P(FlowControlTest, SetsTheDcbFlagsAndTheEventMask) {
  const Flow flow = GetParam();
  ASSERT_EQ(kPortOk, Construct(Settings(2, 19200, flow.dtrDsr, flow.ctsRts)));
  DCB dcb = device_.LastDcb();
  EXPECT_EQ(flow.dtrDsr, dcb.fOutxDsrFlow);
  EXPECT_EQ(flow.dtrDsr, dcb.fDsrSensitivity);
  EXPECT_EQ(flow.ctsRts, dcb.fOutxCtsFlow);
  EXPECT_EQ(flow.ctsRts ? DWORD{RTS_CONTROL_HANDSHAKE} : DWORD{RTS_CONTROL_ENABLE},
            dcb.fRtsControl);
  EXPECT_EQ(DWORD{DTR_CONTROL_ENABLE}, dcb.fDtrControl);
  EXPECT_EQ(1u, dcb.fBinary);
  EXPECT_EQ(0u, dcb.fOutX);
  EXPECT_EQ(0u, dcb.fInX);
  const DWORD mask = flow.dtrDsr ? EV_ERR | EV_DSR : EV_ERR;
  EXPECT_EQ(mask, port_->eventMask);
  EXPECT_EQ(mask, device_.Arguments("SetCommMask").back());
}

INSTANTIATE_TEST_SUITE_P(AllFour, FlowControlTest,
                         ::testing::Values(Flow{0, 0}, Flow{1, 0}, Flow{0, 1}, Flow{1, 1}));

TEST_F(PortTest, KeepsTheDriverFieldsItDoesNotName) {
  DCB driver = {};
  driver.DCBlength = sizeof(DCB);
  driver.fTXContinueOnXoff = 1;
  driver.fErrorChar = 1;
  driver.fNull = 1;
  driver.fAbortOnError = 1;
  driver.fOutX = 1;
  driver.fInX = 1;
  driver.XonLim = 77;
  driver.XonChar = 0x11;
  driver.ErrorChar = '?';
  device_.SetDriverDcb(driver);
  ASSERT_EQ(kPortOk, Construct(Settings(1, 4800), 7, 2, 2));
  DCB dcb = device_.LastDcb();
  EXPECT_EQ(4800u, dcb.BaudRate);
  EXPECT_EQ(7, dcb.ByteSize);
  EXPECT_EQ(EVENPARITY, dcb.Parity);
  EXPECT_EQ(TWOSTOPBITS, dcb.StopBits);
  EXPECT_EQ(1u, dcb.fTXContinueOnXoff);
  EXPECT_EQ(1u, dcb.fErrorChar);
  EXPECT_EQ(1u, dcb.fNull);
  EXPECT_EQ(1u, dcb.fAbortOnError);
  EXPECT_EQ(0u, dcb.fOutX);
  EXPECT_EQ(0u, dcb.fInX);
  EXPECT_EQ(77, dcb.XonLim);
  EXPECT_EQ(0x11, dcb.XonChar);
  EXPECT_EQ('?', dcb.ErrorChar);
}

TEST_F(PortTest, NoParityStillChecksParityAndAnUnknownLetterDoesNot) {
  ASSERT_EQ(kPortOk, Construct(Settings(1, 9600), 8, NOPARITY, 0));
  EXPECT_EQ(1u, device_.LastDcb().fParity);
  port_.reset();
  ASSERT_EQ(kPortOk, Construct(Settings(1, 9600), 8, -1, 0));
  EXPECT_EQ(0u, device_.LastDcb().fParity);
  EXPECT_EQ(255, device_.LastDcb().Parity);
  EXPECT_STREQ("9600 8,?,1 DTR-DSR=OFF CTS-RTS=OFF", port_->description);
}

TEST_F(PortTest, RefusedLineSettingsYieldElevenAndLeaveTheDeviceOpen) {
  device_.Fail(Call::SetCommState, 87, 1);
  EXPECT_EQ(kPortCallFailed, Construct(Settings(1, 9600), 8, -1, 0));
  auto errors = device_.ApiErrors();
  ASSERT_EQ(1u, errors.size());
  EXPECT_EQ("SetCommState", errors[0].api);
  EXPECT_NE(INVALID_HANDLE_VALUE, port_->handle);
  EXPECT_NE(nullptr, port_->watcherThread);
  EXPECT_STREQ("", port_->description);
}

TEST_F(PortTest, RefusedEventMaskAtConfigureYieldsEleven) {
  device_.Fail(Call::SetCommMask, 87, 1, 1);  // open's mask passes, configure's fails
  EXPECT_EQ(kPortCallFailed, Open());
  auto errors = device_.ApiErrors();
  ASSERT_EQ(1u, errors.size());
  EXPECT_EQ("SetCommMask", errors[0].api);
  EXPECT_EQ(87u, errors[0].code);
  EXPECT_NE(INVALID_HANDLE_VALUE, port_->handle);
}

struct Timeouts {
  DWORD baud;
  DWORD multiplier;
};

class WriteTimeoutTest : public PortTest, public ::testing::WithParamInterface<Timeouts> {};

TEST_P(WriteTimeoutTest, MultiplierIs19200DividedByTheBaudRate) {
  ASSERT_EQ(kPortOk, Open(GetParam().baud));
  COMMTIMEOUTS timeouts = device_.LastTimeouts();
  EXPECT_EQ(GetParam().multiplier, timeouts.WriteTotalTimeoutMultiplier);
  EXPECT_EQ(2000u, timeouts.WriteTotalTimeoutConstant);
  EXPECT_EQ(0u, timeouts.ReadIntervalTimeout);
  EXPECT_EQ(0u, timeouts.ReadTotalTimeoutMultiplier);
  EXPECT_EQ(0u, timeouts.ReadTotalTimeoutConstant);
}

INSTANTIATE_TEST_SUITE_P(Rates, WriteTimeoutTest,
                         ::testing::Values(Timeouts{300, 64}, Timeouts{1200, 16}, Timeouts{9600, 2},
                                           Timeouts{38400, 0}, Timeouts{115200, 0}));

TEST_F(PortTest, BaudZeroIsRefusedBeforeTheTimeoutsWithoutAReport) {
  EXPECT_EQ(kPortCallFailed, Open(0));
  EXPECT_EQ(1, device_.Count("SetCommState"));
  EXPECT_EQ(0, device_.Count("SetCommTimeouts"));
  EXPECT_TRUE(device_.ApiErrors().empty());
}

TEST_F(PortTest, DescriptionTexts) {
  ASSERT_EQ(kPortOk, Open(9600));
  EXPECT_STREQ("9600 8,N,1 DTR-DSR=OFF CTS-RTS=OFF", port_->description);
  port_.reset();
  ASSERT_EQ(kPortOk, Construct(Settings(1, 19200, 1, 0), 8, EVENPARITY, TWOSTOPBITS));
  EXPECT_STREQ("19200 8,E,2 DTR-DSR=ON CTS-RTS=OFF", port_->description);
  port_.reset();
  ASSERT_EQ(kPortOk, Construct(Settings(1, 1200, 0, 1), 7, ODDPARITY, ONE5STOPBITS));
  EXPECT_STREQ("1200 7,O,1.5 DTR-DSR=OFF CTS-RTS=ON", port_->description);
  port_.reset();
  ASSERT_EQ(kPortOk, Construct(Settings(1, 2400), 5, SPACEPARITY, 7));
  EXPECT_STREQ("2400 5,S,? DTR-DSR=OFF CTS-RTS=OFF", port_->description);
  port_.reset();
  ASSERT_EQ(kPortOk, Construct(Settings(1, 57600), 6, MARKPARITY, 0));
  EXPECT_STREQ("57600 6,M,1 DTR-DSR=OFF CTS-RTS=OFF", port_->description);
}

}  // namespace
