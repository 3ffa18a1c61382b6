// The console library on pipes and files: the probe (dump_probe.exe under
// Wine, or the native one over libdump.so, as DUMP_PROBE_BUILD says), driven
// through its standard input and output as a person would type at it.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/dump/probe_command.h"
#include "tests/support/console_session.h"

namespace {

const int kWaitMs = 30000;  // only a guard against a hang; Wine may start slowly

// The probe on pipes: types a command at its prompt and sees it echoed.
class Probe {
 public:
  Probe() : session_(ProbeCommand()) {}
  ConsoleSession& session() { return session_; }

  bool Command(const std::string& line) {
    if (!session_.Expect("probe> ", kWaitMs)) return false;
    session_.Send(line + "\n");
    return session_.Expect(line + "\n", kWaitMs);
  }
  // Answers the prompt a command shows before it reads.
  bool Answer(const std::string& prompt, const std::string& bytes) {
    if (!session_.Expect(prompt, kWaitMs)) return false;
    session_.Send(bytes);
    return true;
  }
  bool Expect(const std::string& text) { return session_.Expect(text, kWaitMs); }
  // The output goes on with exactly `text`, nothing before it.
  bool Next(const std::string& text) {
    const size_t from = Matched();
    return session_.Expect(text, kWaitMs) && Matched() - from == text.size();
  }
  std::string Output() const { return session_.Output(); }

 private:
  size_t Matched() const { return session_.Output().size() - session_.Unmatched().size(); }

  ConsoleSession session_;
};

// What the probe prints for a hex read: the count, the dump, the guard check.
std::string HexAnswer(int count, const std::string& dump) {
  return "count " + std::to_string(count) + " " + std::to_string(count) + "\n" + dump +
         "guard ok\n";
}

TEST(Output, RussianTextFormattedAsUtf8) {
  Probe probe;
  ASSERT_TRUE(probe.Command("print"));
  EXPECT_TRUE(probe.Next("Привет, мир! 42 -7 4000000000 AB 07 [12   ]\n")) << probe.Output();
  ASSERT_TRUE(probe.Command("write"));
  EXPECT_TRUE(probe.Next("Текст 100% без %d формата\n")) << probe.Output();
}

TEST(Output, BannerFromTheOemCodePage) {
  Probe probe;
  ASSERT_TRUE(probe.Command("banner"));
  EXPECT_TRUE(probe.Next("\n░▒▓█ 2004\n")) << probe.Output();
}

TEST(Output, StatusLinesKeepTheirCarriageReturns) {
  Probe probe;
  ASSERT_TRUE(probe.Command("status"));
  EXPECT_TRUE(probe.Next("Шаг 1 из 3\rШаг 2 из 3\rШаг 3 из 3\r\n")) << probe.Output();
  // Rewritten lines are not padded on a pipe: the texts go as they are.
  ASSERT_TRUE(probe.Command("rewrite"));
  EXPECT_TRUE(probe.Next("N=1000 LenOut=06\rN=2\r ERR=3\n")) << probe.Output();
}

TEST(Output, LongTextHasNoFixedLimit) {
  Probe probe;
  ASSERT_TRUE(probe.Command("long 5000"));
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "Ж";
  EXPECT_TRUE(probe.Next(text + "|\nprinted 5002\n"));
}

TEST(Output, NoConsoleSizeColourOrEcho) {
  Probe probe;
  ASSERT_TRUE(probe.Command("size"));
  EXPECT_TRUE(probe.Next("size 80 25\n")) << probe.Output();
  ASSERT_TRUE(probe.Command("color"));
  EXPECT_TRUE(probe.Next("green plain\n")) << probe.Output();
  ASSERT_TRUE(probe.Command("echo"));
  EXPECT_TRUE(probe.Next("echo done\n")) << probe.Output();
}

TEST(Output, HexDumpLayout) {
  Probe probe;
  ASSERT_TRUE(probe.Command("dump 20"));
  EXPECT_TRUE(
      probe.Next("0000  20 27 2E 35 3C 43 4A 51 58 5F 66 6D 74 7B 82 89   '.5<CJQX_fmt{..\n"
                 "0010  90 97 9E A5                                      ....\n"
                 "dump done\n"))
      << probe.Output();
  ASSERT_TRUE(probe.Command("dump 0"));
  EXPECT_TRUE(probe.Next("dump done\n")) << probe.Output();
  // After a label the dump starts a line of its own.
  ASSERT_TRUE(probe.Command("atr 2"));
  EXPECT_TRUE(probe.Next("ATR\n0000  20 27" + std::string(44, ' ') + " '\ndump done\n"))
      << probe.Output();
}

TEST(Keys, EachByteIsAKey) {
  Probe probe;
  for (const auto& [byte, code] :
       {std::pair<std::string, int>{"\x1b", 27}, {"a", 97}, {"\r", 13}, {"\xFF", 255}}) {
    ASSERT_TRUE(probe.Command("key"));
    ASSERT_TRUE(probe.Answer("press a key\n", byte));
    EXPECT_TRUE(probe.Next("key " + std::to_string(code) + "\n")) << probe.Output();
  }
}

TEST(Keys, PressedNeitherBlocksNorConsumes) {
  Probe probe;
  ASSERT_TRUE(probe.Command("pressed"));
  EXPECT_TRUE(probe.Next("pressed 0\n")) << probe.Output();
  ASSERT_TRUE(probe.Command("poll"));
  ASSERT_TRUE(probe.Answer("waiting for a key\n", "x"));
  EXPECT_TRUE(probe.Next("pressed 1 1\nkey 120\n")) << probe.Output();
}

TEST(Keys, FlushDropsOnlyTheKeySeen) {
  // A pipe is a script: the flush takes the key a poll saw (with its line
  // end, when it is alone on its line) and leaves the lines after it.
  Probe probe;
  for (const char* key : {"x\n", "\n", "x\r\n", "x"}) {
    ASSERT_TRUE(probe.Command("flush"));
    ASSERT_TRUE(probe.Answer("type ahead\n", key + std::string("pressed\n")));
    EXPECT_TRUE(probe.Next("flushed, pressed 1\nprobe> pressed\npressed 0\n")) << probe.Output();
  }
}

TEST(Lines, CarriageReturnAndLineFeedDropped) {
  Probe probe;
  ASSERT_TRUE(probe.Command("line 64"));
  ASSERT_TRUE(probe.Answer("text: ", "a b\tc\r\n"));
  // The line as a terminal would have echoed it, then as the probe got it.
  EXPECT_TRUE(probe.Next("a b\tc\n[a b\tc] 5\nguard ok\n")) << probe.Output();
  ASSERT_TRUE(probe.Command("line 16"));
  ASSERT_TRUE(probe.Answer("text: ", "\n"));
  EXPECT_TRUE(probe.Next("\n[] 0\nguard ok\n")) << probe.Output();
}

TEST(Lines, LongLineCutAndItsRestDiscarded) {
  Probe probe;
  ASSERT_TRUE(probe.Command("line 8"));
  ASSERT_TRUE(probe.Answer("text: ", "abcdefghijkl\n"));
  EXPECT_TRUE(probe.Next("abcdefg\n[abcdefg] 7\nguard ok\n")) << probe.Output();
  ASSERT_TRUE(probe.Command("line 256"));
  ASSERT_TRUE(probe.Answer("text: ", std::string(5000, 'x') + "\n"));
  EXPECT_TRUE(
      probe.Next(std::string(255, 'x') + "\n[" + std::string(255, 'x') + "] 255\nguard ok\n"));
  ASSERT_TRUE(probe.Command("pressed"));
  EXPECT_TRUE(probe.Next("pressed 0\n")) << probe.Output();
}

TEST(Lines, LineTypedInPieces) {
  Probe probe;
  ASSERT_TRUE(probe.Command("line 32"));
  ASSERT_TRUE(probe.Answer("text: ", "\xCF\xF0"));  // code page 1251, as typed there
  usleep(200 * 1000);                               // lets the probe take the first piece alone
  probe.session().Send("\xE8\xE2\xE5\xF2\n");
  EXPECT_TRUE(probe.Next("Привет\n[Привет] 6\nguard ok\n")) << probe.Output();
}

TEST(Hex, AcceptsBlankSeparatedAndRunTogetherBytes) {
  Probe probe;
  const std::string select = "0000  00 A4 04 00" + std::string(12 * 3, ' ') + "  ....\n";
  for (const char* line : {"00 A4 04 00", "00A40400", "00a4 04\t00"}) {
    ASSERT_TRUE(probe.Command("hex 8"));
    ASSERT_TRUE(probe.Answer("bytes: ", std::string(line) + "\n"));
    EXPECT_TRUE(probe.Next(line + std::string("\n") + HexAnswer(4, select))) << probe.Output();
  }
}

TEST(Hex, RejectsWithoutWriting) {
  Probe probe;
  for (const char* line : {"0G", "ABC", "", "   ", "01 02 03 04 05 06 07 08 09", "01 2"}) {
    ASSERT_TRUE(probe.Command("hex 8"));
    ASSERT_TRUE(probe.Answer("bytes: ", std::string(line) + "\n"));
    EXPECT_TRUE(probe.Next(line + std::string("\n") + HexAnswer(0, ""))) << probe.Output();
  }
}

TEST(Hex, LongLineOfBytes) {
  Probe probe;
  std::string line;
  for (int i = 0; i < 1024; ++i) line += (i % 2 ? "5a " : "A5 ");
  ASSERT_TRUE(probe.Command("hex 1024"));
  ASSERT_TRUE(probe.Answer("bytes: ", line + "\n"));
  EXPECT_TRUE(probe.Next(line + "\ncount 1024 1024\n"));
  EXPECT_TRUE(probe.Expect("\n03F0  A5 5A")) << probe.Output();
  EXPECT_TRUE(probe.Expect("guard ok\n"));
}

TEST(EndOfInput, LineReadEndsTheProcess) {
  Probe probe;
  ASSERT_TRUE(probe.session().Expect("probe> ", kWaitMs));
  probe.session().CloseInput();
  EXPECT_EQ(probe.session().WaitExit(kWaitMs), 0);
}

TEST(EndOfInput, LastLineWithoutLineFeedIsDelivered) {
  Probe probe;
  ASSERT_TRUE(probe.Answer("probe> ", "quit"));
  probe.session().CloseInput();
  EXPECT_EQ(probe.session().WaitExit(kWaitMs), 3);
  EXPECT_NE(probe.Output().find("quit\nbye\n"), std::string::npos) << probe.Output();
}

TEST(EndOfInput, KeyReadReturnsTheEnd) {
  Probe probe;
  ASSERT_TRUE(probe.Command("key"));
  ASSERT_TRUE(probe.Expect("press a key\n"));
  probe.session().CloseInput();
  EXPECT_TRUE(probe.Next("key -1\nprobe> ")) << probe.Output();
  EXPECT_EQ(probe.session().WaitExit(kWaitMs), 0);
}

TEST(EndOfInput, PressedReportsTheEnd) {
  Probe probe;
  ASSERT_TRUE(probe.Command("poll"));
  ASSERT_TRUE(probe.Expect("waiting for a key\n"));
  probe.session().CloseInput();
  EXPECT_TRUE(probe.Next("pressed 1 1\nkey -1\nprobe> ")) << probe.Output();
  EXPECT_EQ(probe.session().WaitExit(kWaitMs), 0);
}

TEST(EndOfInput, HexReadTakesTheLastPartialLineThenEnds) {
  Probe probe;
  ASSERT_TRUE(probe.Command("hex 4"));
  ASSERT_TRUE(probe.Answer("bytes: ", "01 02"));
  probe.session().CloseInput();
  EXPECT_TRUE(probe.Expect("01 02\ncount 2 2\n")) << probe.Output();
  EXPECT_EQ(probe.session().WaitExit(kWaitMs), 0);
  EXPECT_NE(probe.Output().find("guard ok\nprobe> "), std::string::npos) << probe.Output();
}

TEST(EndOfInput, HexReadWithNothingLeftEnds) {
  Probe probe;
  ASSERT_TRUE(probe.Command("hex 4"));
  ASSERT_TRUE(probe.Expect("bytes: "));
  probe.session().CloseInput();
  EXPECT_EQ(probe.session().WaitExit(kWaitMs), 0);
  EXPECT_EQ(probe.session().Unmatched(), "");
}

// Standard input, and output, in files.
class FileInput : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/dump_files.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    unlink((dir_ + "/in").c_str());
    unlink((dir_ + "/out").c_str());
    rmdir(dir_.c_str());
  }
  std::string Write(const std::string& text) {
    std::ofstream(dir_ + "/in", std::ios::binary) << text;
    return dir_ + "/in";
  }
  std::string Read() {
    std::ifstream file(dir_ + "/out", std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }
  // The probe's command line with its input (and output) redirected.
  std::vector<std::string> Shell(const std::string& redirections) {
    return {"/bin/sh", "-c", "exec " + ShellLine(ProbeCommand()) + " " + redirections};
  }
  std::string dir_;
};

const char kScript[] = "print\nkey\n\x1bline 8\nabcdefghijk\r\nhex 4\n01 02 03\npoll\nz";
const std::string kTranscript =
    "probe> print\n"
    "Привет, мир! 42 -7 4000000000 AB 07 [12   ]\n"
    "probe> key\npress a key\nkey 27\n"
    "probe> line 8\ntext: abcdefg\n[abcdefg] 7\nguard ok\n"
    "probe> hex 4\nbytes: 01 02 03\ncount 3 3\n0000  01 02 03" +
    std::string(13 * 3, ' ') + "  ...\nguard ok\n" +
    "probe> poll\nwaiting for a key\npressed 1 1\nkey 122\n"
    "probe> ";

TEST_F(FileInput, WholeSessionFromAFile) {
  ConsoleSession session(Shell("< '" + Write(kScript) + "'"));
  EXPECT_EQ(session.WaitExit(kWaitMs), 0);
  EXPECT_EQ(session.Output(), kTranscript);
}

TEST_F(FileInput, AndOutputToAFile) {
  ConsoleSession session(Shell("< '" + Write(kScript) + "' > '" + dir_ + "/out'"));
  EXPECT_EQ(session.WaitExit(kWaitMs), 0);
  EXPECT_EQ(Read(), kTranscript);
}

}  // namespace
