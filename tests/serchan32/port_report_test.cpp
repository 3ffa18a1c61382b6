// The traffic report: its lines, its columns, its limits.
#include <string>

#include "tests/support/port_fixture.h"
#include "tests/support/test_platform.h"

namespace {

class ReportTest : public PortTest {
 protected:
  void SetUp() override {
    LibraryModule = ProgramModule();
    ASSERT_EQ(kPortOk, Open());
  }

  std::string Report(int maxLength = 2048) {
    char text[2048];
    DWORD copy[kCounterCount];
    BuildReport(*port_, copy, maxLength, text);
    return text;
  }
};

TEST_F(ReportTest, WithoutErrorsHasTwoLines) {
  port_->counters[kBytesSent] = 120;
  port_->counters[kBytesReceived] = 87;
  EXPECT_EQ(
      "Послано байт         = 120\n"
      "Принято байт         = 87\n",
      Report());
}

TEST_F(ReportTest, ErrorLinesOnlyForNonZeroCountersWithLabelsCutAtTheirColumn) {
  port_->counters[kBytesSent] = 4294967295u;
  port_->counters[kFrameErrors] = 2;
  port_->counters[kModeErrors] = 3;
  EXPECT_EQ(
      "Послано байт         = 4294967295\n"
      "Принято байт         = 0\n"
      "Ошибки :\n"
      "CE_FRAME: Receive Framing error  = 2\n"
      "CE_MODE: Requested mode unsuppor = 3\n",
      Report());
}

TEST_F(ReportTest, ErrorSumIsTakenModulo2To32) {
  port_->counters[kRxOverErrors] = 0x80000000u;
  port_->counters[kBreakErrors] = 0x80000000u;
  EXPECT_EQ(std::string::npos, Report().find("Ошибки"));
}

TEST_F(ReportTest, SmallMaxLengthCutsTheText) {
  port_->counters[kBytesSent] = 1;
  EXPECT_EQ("Послано", Report(8));
  EXPECT_EQ("", Report(1));
}

TEST_F(ReportTest, NullTextStillFillsTheCopy) {
  for (int i = 0; i < kCounterCount; ++i) port_->counters[i] = 10 + i;
  DWORD copy[kCounterCount] = {};
  EXPECT_EQ(copy, BuildReport(*port_, copy, 100, nullptr));
  for (int i = 0; i < kCounterCount; ++i) EXPECT_EQ(DWORD(10 + i), copy[i]);
}

TEST_F(ReportTest, TheStringTableCarriesEveryText) {
  const struct {
    UINT id;
    const char* text;
  } kTable[] = {
      {1, "1"},
      {15, "PortName"},
      {16, "BaudRate"},
      {17, "FlowControlDTRDSR"},
      {18, "FlowControlRTSCTS"},
      {19, "ControlRLSD"},
      {38, "Порт %s успешно открыт\n"},
      {39, "Порт %s закрыт\n%s"},
      {40, "Конфигурация порта: %s\n"},
      {41, "Контроль несущей: %s\n"},
      {100, "CE_RXOVER: Receive Queue overflow"},
      {101, "CE_OVERRUN: Receive Overrun Error"},
      {102, "CE_RXPARITY: Receive Parity Error"},
      {103, "CE_FRAME: Receive Framing error"},
      {104, "CE_BREAK: Break Detected"},
      {105, "CE_TXFULL: TX Queue is full"},
      {106, "CE_MODE: Requested mode unsupported"},
      {107, "Послано байт"},
      {108, "Принято байт"},
      {109, "Ошибки :"},
  };
  for (const auto& entry : kTable) {
    char text[256];
    ASSERT_GT(LoadStringA(LibraryModule, entry.id, text, sizeof text), 0) << entry.id;
    EXPECT_STREQ(entry.text, text) << entry.id;
  }
}

}  // namespace
