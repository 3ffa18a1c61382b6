// The CRC, the frames sent and every way an answer can end an exchange.
#include <gtest/gtest.h>

#include "readertest/program_state.h"
#include "readertest/reader_link.h"
#include "tests/readertest/scripted_reader.h"

namespace {

class Link : public ::testing::Test {
 protected:
  void SetUp() override { ResetScripts(); }

  // One exchange of command 0x3F with data; the answer is given whole.
  int Exchange(const Bytes& answer, const Bytes& data = {}, WORD capacity = 2048) {
    Reader.answer = [answer](const Bytes&) { return answer; };
    status_ = 0;
    length_ = 0xBEEF;
    return ReaderExchange(0x3F, data.empty() ? nullptr : data.data(),
                          static_cast<WORD>(data.size()), &status_, Program.response, capacity,
                          &length_);
  }

  BYTE status_ = 0;
  WORD length_ = 0;
};

TEST(Crc, CheckValueVersionFrameAndEmptyCount) {
  const BYTE digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(Crc16Update(0, digits, sizeof digits), 0xBB3D);
  const BYTE version[] = {0x04, 0x00, 0x00};
  EXPECT_EQ(Crc16Update(0, version, sizeof version), 0xC141);
  EXPECT_EQ(Crc16Update(0x1234, digits, 0), 0x1234);
  // Running over pieces is the same as over the whole.
  EXPECT_EQ(Crc16Update(Crc16Update(0, digits, 4), digits + 4, 5), 0xBB3D);
}

TEST_F(Link, SendsFlushThenThePiecesInOrder) {
  EXPECT_EQ(Exchange(ResponseFrame(0x00, {0xAA, 0xBB}), {1, 2, 3, 4}), kLinkOk);
  const std::vector<std::string> sends(Reader.calls.begin(), Reader.calls.begin() + 7);
  EXPECT_EQ(sends, (std::vector<std::string>{"flush", "send 1", "send 1", "send 1", "send 4",
                                             "send 1", "send 1"}));
  Bytes expected = {0x3F, 0x00, 0x04, 1, 2, 3, 4};
  const WORD crc = Crc16Update(0, expected.data(), expected.size());
  expected.push_back(static_cast<BYTE>(crc));
  expected.push_back(static_cast<BYTE>(crc >> 8));
  ASSERT_EQ(Reader.frames.size(), 1u);
  EXPECT_EQ(Reader.frames[0], expected);
  EXPECT_EQ(length_, 2);
  EXPECT_EQ(Program.response[0], 0xAA);
  EXPECT_EQ(Program.response[1], 0xBB);
  const std::vector<std::string> reads(Reader.calls.begin() + 7, Reader.calls.end());
  EXPECT_EQ(reads, (std::vector<std::string>{"read 1 5000", "read 1 100", "read 1 100",
                                             "read 2 5000", "read 1 100", "read 1 100"}));
}

TEST_F(Link, VersionRequestWithoutDataIsFiveBytes) {
  Reader.answer = [](const Bytes&) { return ResponseFrame(0, {1, 0}); };
  ASSERT_EQ(ReaderExchange(0x04, nullptr, 0, &status_, Program.response, 2048, &length_), kLinkOk);
  EXPECT_EQ(Reader.frames[0], (Bytes{0x04, 0x00, 0x00, 0x41, 0xC1}));
  EXPECT_EQ(std::count(Reader.calls.begin(), Reader.calls.end(), "send 1"), 5);
}

TEST_F(Link, ZeroLengthAnswerIsFiveBytes) {
  EXPECT_EQ(Exchange(ResponseFrame(0x90, {})), kLinkOk);
  EXPECT_EQ(length_, 0);
  EXPECT_EQ(status_, 0x90);
  EXPECT_EQ(std::count_if(Reader.calls.begin(), Reader.calls.end(),
                          [](const std::string& call) { return call.rfind("read", 0) == 0; }),
            5);
}

TEST_F(Link, NakEndsAtOnceWithoutFurtherReads) {
  EXPECT_EQ(Exchange({0xFF, 0x00, 0x00}), kLinkNak);
  EXPECT_EQ(Reader.calls.back(), "read 1 5000");
  EXPECT_EQ(status_, 0xFF);
  EXPECT_EQ(length_, 0);
}

TEST_F(Link, CrcMismatchAndOverlongAnswers) {
  Bytes swapped = ResponseFrame(0x00, {1, 2, 3});
  std::swap(swapped[6], swapped[7]);
  EXPECT_EQ(Exchange(swapped), kLinkCrc);
  EXPECT_EQ(length_, 0);

  // Exactly the capacity is accepted; one more is refused before the data.
  EXPECT_EQ(Exchange(ResponseFrame(0x00, Bytes(16, 0x55)), {}, 16), kLinkOk);
  EXPECT_EQ(length_, 16);
  EXPECT_EQ(Exchange(ResponseFrame(0x00, Bytes(17, 0x55)), {}, 16), kLinkCrc);
  EXPECT_EQ(length_, 0);
  EXPECT_EQ(Reader.calls.back(), "read 1 100");
}

TEST_F(Link, SilenceAtEachReadIsATimeOut) {
  const Bytes whole = ResponseFrame(0x00, {7, 8});
  // Cut after 0..5 bytes: silence at the status, both lengths, the data and
  // both CRC bytes.
  const size_t cuts[] = {0, 1, 2, 3, 5, 6};
  const char* lastReads[] = {"read 1 5000", "read 1 100", "read 1 100",
                             "read 2 5000", "read 1 100", "read 1 100"};
  for (size_t i = 0; i < 6; ++i) {
    Reader.calls.clear();
    EXPECT_EQ(Exchange(Bytes(whole.begin(), whole.begin() + cuts[i])), kLinkTimeout) << i;
    EXPECT_EQ(length_, 0) << i;
    EXPECT_EQ(Reader.calls.back(), lastReads[i]) << i;
  }
}

TEST_F(Link, ReportsEachResult) {
  const char* messages[] = {" УСПЕШНОЕ ВЫПОЛНЕНИЕ\n", " ОШИБКА: принят NAK\n",
                            " ОШИБКА: несовпадение CRC\n", " ОШИБКА: TIME-OUT при приеме пакета\n",
                            " ОШИБКА: НЕИЗВЕСТНАЯ\n"};
  for (int result = 0; result < 5; ++result) {
    Screen.screen.clear();
    ReportLinkResult(result);
    EXPECT_EQ(Screen.screen, messages[result]);
  }
  Screen.screen.clear();
  ReportLinkResult(-1);
  EXPECT_EQ(Screen.screen, messages[4]);
}

}  // namespace
