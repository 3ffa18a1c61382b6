// The reader console end to end: readertest against the reader simulator on
// a pseudo-terminal, driven through pipes as a person would drive it: each
// input is written once the prompt that asks for it is shown. The Windows
// build runs under Wine; READERTEST_E2E_BUILD=native runs the native one.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/reader_programs.h"
#include "tests/support/console_session.h"

namespace {

const std::string kRoot = RepoRoot();
const std::string kPrompt = "\nEnter command->";
const char kEsc[] = "\x1b";

// Each group of tests has a COM port of its own, mapped to build/bed/simN.
int Port() { return E2ePort(); }

std::string LinkPath() { return SimulatorLink(Port()); }

// The program's file name as its usage line shows it.
std::string ProgramName() { return NativeBuild() ? "readertest" : "readertest.exe"; }

std::unique_ptr<ConsoleSession> ReaderTest(const std::vector<std::string>& args) {
  return StartReaderTest(Port(), args);
}

std::unique_ptr<ConsoleSession> Interactive() {
  return ReaderTest({std::to_string(Port()), "115200"});
}

// Runs a typed line once the prompt is shown; waits for the next prompt.
void Command(ConsoleSession& program, const std::string& line) {
  program.Send(line + "\n");
  ASSERT_TRUE(program.Expect(kPrompt, 20000)) << program.Output();
}

const char* const kHelpRows[] = {"    quit - Выход из программы\n", "    help - Список команд\n",
                                 "    echo - Тест Эхо\n",           "    stat - Состояние ридера\n",
                                 "  insert - Сброс ASYNC ICC\n",    "     com - APDU Command\n",
                                 "     req - APDU Request\n",       "     off - Disconnect\n",
                                 "    test - Комплексный тест\n"};

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

void ExpectHelp(ConsoleSession& program) {
  for (const char* row : kHelpRows) ASSERT_TRUE(program.Expect(row, 10000)) << program.Output();
}

TEST(Startup, UsageWithoutEnoughArguments) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, std::vector<std::string>{"31"}}) {
    auto program = ReaderTest(args);
    EXPECT_TRUE(program->Expect("0 : \"", 30000)) << program->Output();
    EXPECT_TRUE(program->Expect(ProgramName() + "\"\n", 5000)) << program->Output();
    EXPECT_TRUE(program->Expect("\n░▒▓█ 2004 Kestrix Bench\n\n", 5000)) << program->Output();
    EXPECT_TRUE(program->Expect(ProgramName() + " <COM порт> <Скорость BAUD> [T[C]]\n", 5000))
        << program->Output();
    EXPECT_EQ(program->WaitExit(10000), 2);
    // Only the file name: no directory before it.
    EXPECT_NE(program->Output().find("\n" + ProgramName() + " <COM"), std::string::npos);
  }
}

TEST(Startup, UnopenablePortSaysWhy) {
  auto program = ReaderTest({"99", "9600"});
  EXPECT_TRUE(program->Expect("1 : \"99\"\n2 : \"9600\"\n", 30000)) << program->Output();
  EXPECT_TRUE(program->Expect("\nОшибка открытия COM99 (9600)\n", 10000)) << program->Output();
  // The device tried, where that came from, and the system's reason: it does
  // not exist.
  EXPECT_TRUE(program->Expect(NativeBuild() ? "Устройство /dev/ttyS98 (COM99 по умолчанию): "
                                              "No such file or directory\n"
                                            : "Устройство \\\\.\\COM99: ",
                              10000))
      << program->Output();
  EXPECT_EQ(program->WaitExit(10000), 1);

  // A port another program holds: busy. (Wine lets a second process open a
  // COM port that Windows would refuse.)
  if (!NativeBuild()) return;
  Simulator reader({});
  auto holder = Interactive();
  ASSERT_TRUE(holder->Expect(kPrompt, 30000)) << holder->Output();
  auto second = Interactive();
  EXPECT_TRUE(second->Expect("\nОшибка открытия COM" + std::to_string(Port()) +
                                 " (115200)\nУстройство " + LinkPath() + " (COM" +
                                 std::to_string(Port()) + " из SERCHAN32_COM" +
                                 std::to_string(Port()) + "): Device or resource busy\n",
                             30000))
      << second->Output();
  EXPECT_EQ(second->WaitExit(10000), 1);
  holder->Send("quit\n");
  EXPECT_EQ(holder->WaitExit(10000), 0);
}

TEST(Startup, VersionThenHelpThenPrompt) {
  Simulator reader({"--version", "2.05"});
  auto program = Interactive();
  ASSERT_TRUE(program->Expect("Версия программного обеспечения ридера 2.05\n\n", 30000))
      << program->Output();
  ExpectHelp(*program);
  ASSERT_TRUE(program->Expect(kPrompt, 5000)) << program->Output();
  EXPECT_EQ(reader.Frames(), std::vector<std::string>{"04 00 00"});
  program->Send("quit\n");
  EXPECT_EQ(program->WaitExit(10000), 0);
}

TEST(Startup, VersionAnswerTooShort) {
  Simulator reader({"--version-data", "01"});
  auto program = Interactive();
  EXPECT_TRUE(program->Expect("Ошибка при определении версии ридера\n", 30000))
      << program->Output();
  EXPECT_EQ(program->WaitExit(10000), 1);
  EXPECT_EQ(program->Output().find("Enter command"), std::string::npos);
}

TEST(Startup, NoAnswerTimesOut) {
  Simulator reader({"--fault", "silent"});
  auto program = Interactive();
  ASSERT_TRUE(program->Expect("1 : \"", 30000)) << program->Output();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(program->Expect(" ОШИБКА: TIME-OUT при приеме пакета\n", 15000)) << program->Output();
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(4500));
  EXPECT_EQ(program->WaitExit(10000), 1);
}

class Loop : public ::testing::Test {
 protected:
  void SetUp() override {
    program = Interactive();
    ASSERT_TRUE(program->Expect(kPrompt, 30000)) << program->Output();
  }
  Simulator reader{{}};
  std::unique_ptr<ConsoleSession> program;
};

TEST_F(Loop, UnknownWordEndsTheProgram) {
  program->Send("bogus 1 2\n");
  EXPECT_TRUE(program->Expect("Ошибка в команде\n", 10000)) << program->Output();
  EXPECT_EQ(program->WaitExit(10000), 2);
}

TEST_F(Loop, BlankLinesCaseAndQuotes) {
  Command(*program, "");
  Command(*program, "     ");
  for (const char* line : {"HELP", "hElP extra words", "\"help\""}) {
    program->Send(std::string(line) + "\n");
    ExpectHelp(*program);
    ASSERT_TRUE(program->Expect(kPrompt, 10000)) << program->Output();
  }
  // Nothing but the version query went to the reader.
  EXPECT_EQ(reader.Frames().size(), 1u);
  program->Send("QuIt\n");
  EXPECT_EQ(program->WaitExit(10000), 0);
}

class Cards : public ::testing::Test {
 protected:
  void Start(const std::vector<std::string>& options) {
    reader = std::make_unique<Simulator>(options);
    program = Interactive();
    ASSERT_TRUE(program->Expect(kPrompt, 30000)) << program->Output();
  }
  void TearDown() override {
    if (program) {
      program->Send("quit\n");
      EXPECT_EQ(program->WaitExit(10000), 0);
    }
  }
  // Sends an APDU command: the reader prompt if asked, then the hex.
  void Apdu(const std::string& line, const std::string& hex) {
    program->Send(line + "\n");
    ASSERT_TRUE(program->Expect(" Введите команду в HEX формате :", 10000)) << program->Output();
    program->Send(hex + "\n");
    ASSERT_TRUE(program->Expect(kPrompt, 10000)) << program->Output();
  }
  std::unique_ptr<Simulator> reader;
  std::unique_ptr<ConsoleSession> program;
};

TEST_F(Cards, InsertShowsTheAtr) {
  Start({"--atr", "1", "3B021450AABB"});
  Command(*program, "insert 0");
  EXPECT_NE(program->Output().find("ATR"), std::string::npos);
  EXPECT_NE(program->Output().find("3B 02 14 50"), std::string::npos) << program->Output();
  program->Send("insert\n");
  ASSERT_TRUE(program->Expect("Введите № ридера (0-ВЕРХНИЙ/1-НИЖНИЙ) : ", 10000));
  Command(*program, "1");
  EXPECT_NE(program->Output().find("3B 02 14 50 AA BB"), std::string::npos) << program->Output();
  // Each ATR's hex dump is followed by its decoded line.
  EXPECT_NE(program->Output().find(
                ";..P\nATR: direct convention, T=0, Fi=372 Di=1, 2 historical bytes, no TCK\n"),
            std::string::npos)
      << program->Output();
  EXPECT_NE(program->Output().find("ATR: direct convention, T=0, Fi=372 Di=1, 2 historical bytes, "
                                   "no TCK, 2 extra bytes after it\n"),
            std::string::npos)
      << program->Output();
  EXPECT_EQ(reader->Frames(),
            (std::vector<std::string>{"04 00 00", "01 00 00", "41 00 00", "01 00 00", "81 00 00"}));
}

TEST_F(Cards, InsertIntoAnEmptySlotLeavesOnEsc) {
  Start({"--cards", "upper"});
  program->Send("insert 1\n");
  ASSERT_TRUE(program->Expect("ВСТАВЬТЕ карту в НИЖНИЙ ридер (Для выхода нажмите ESC)\r", 10000))
      << program->Output();
  // Other keys are discarded; the wait goes on.
  program->Send("x");
  EXPECT_FALSE(program->Expect(kPrompt, 1000));
  program->Send(kEsc);
  ASSERT_TRUE(program->Expect(kPrompt, 10000)) << program->Output();
  EXPECT_GT(reader->Count("01"), 2u);
  EXPECT_EQ(reader->Count("81"), 0u);
}

TEST_F(Cards, OffWaitsUntilTheCardIsGone) {
  Start({});
  Command(*program, "insert 0");
  program->Send("off 0\n");
  ASSERT_TRUE(program->Expect("ВЫНЬТЕ КАРТУ\r", 10000)) << program->Output();
  // Keys do not end this wait: only the card leaving does. What was typed
  // meanwhile is the next command.
  program->Send("help\n");
  EXPECT_FALSE(program->Expect(kPrompt, 1000));
  reader->Control("remove 0");
  ASSERT_TRUE(program->Expect(kPrompt, 10000)) << program->Output();
  ExpectHelp(*program);
  ASSERT_TRUE(program->Expect(kPrompt, 10000)) << program->Output();
  EXPECT_EQ(reader->Count("44"), 1u);
  EXPECT_EQ(reader->Frames().back(), "01 00 00");
}

TEST_F(Cards, ComAndReqSendTheirBytesToBothReaders) {
  Start({"--remove-on-power-down"});
  Command(*program, "insert 0");
  Apdu("com 0", "00 A4 04 00 02 3F 00");
  Apdu("com 1", "00a4040002 3f00");
  Apdu("req 0", "00C000001C");
  program->Send("req\n");
  ASSERT_TRUE(program->Expect("Введите № ридера (0-USER/1-SAM) : ", 10000));
  program->Send("1\n");
  ASSERT_TRUE(program->Expect(" Текущий ридер 1\n Введите команду в HEX формате :", 10000))
      << program->Output();
  program->Send("00 A4 04 00 02\n");
  ASSERT_TRUE(program->Expect(kPrompt, 10000)) << program->Output();
  const std::vector<std::string> frames = reader->Frames();
  ASSERT_EQ(frames.size(), 7u);
  EXPECT_EQ(frames[3], "42 00 07 00 A4 04 00 02 3F 00");
  EXPECT_EQ(frames[4], "82 00 07 00 A4 04 00 02 3F 00");
  EXPECT_EQ(frames[5], "43 00 05 00 C0 00 00 1C");
  EXPECT_EQ(frames[6], "83 00 05 00 A4 04 00 02");  // exactly the header typed
  // The powered card's 28 bytes and its status word; the other slot's refusal.
  // Each answer's status word named on the line after its dump.
  EXPECT_NE(program->Output().find("..\nSW 9000 normal processing\n"), std::string::npos)
      << program->Output();
  EXPECT_NE(program->Output().find("69 85"), std::string::npos);
  EXPECT_NE(program->Output().find("\nSW 6985 "), std::string::npos) << program->Output();
}

TEST_F(Cards, HexInputErrorsAndLinkFailures) {
  Start({});
  Apdu("com 0", "zz");
  Apdu("req 0", "0 A4");
  EXPECT_NE(program->Output().find("Ошибка ввода"), std::string::npos);
  EXPECT_EQ(reader->Frames().size(), 1u);

  reader->Control("fault nak once");
  Apdu("req 0", "00 C0 00 00 02");
  EXPECT_NE(program->Output().find(" ОШИБКА: принят NAK\n"), std::string::npos);
  reader->Control("fault crc once");
  Apdu("req 0", "00 C0 00 00 02");
  EXPECT_NE(program->Output().find(" ОШИБКА: несовпадение CRC\n"), std::string::npos);
  // A length beyond the response buffer is reported as a CRC mismatch too.
  reader->Control("fault long once");
  Apdu("req 0", "00 C0 00 00 02");
  EXPECT_EQ(Occurrences(program->Output(), " ОШИБКА: несовпадение CRC\n"), 2u);
  // And the link works again afterwards: the unpowered card's refusal.
  EXPECT_EQ(Occurrences(program->Output(), "69 85"), 0u);
  Apdu("req 0", "00 C0 00 00 02");
  EXPECT_EQ(Occurrences(program->Output(), "69 85"), 1u) << program->Output();
}

// A whole session typed into a file: every line is taken in its turn, and a
// loop's stop key is the next line. The APDUs whose length does not match
// what was typed are refused with nothing sent.
TEST_F(Cards, WholeSessionFromAFile) {
  reader = std::make_unique<Simulator>(std::vector<std::string>{"--remove-on-power-down"});
  const std::string script = kRoot + "/build/bed/session" + std::to_string(Port()) + ".txt";
  std::ofstream(script, std::ios::binary)
      << "insert 0\ncom 0\n00 A4 04 00 02 3F 00\nreq 0\n00 C0 00 00 1C\n"
         "com 0\n00 A4\ncom 0\n00 A4 04 00 02 3F\nreq 0\n00 C0 00 00 1C 00\n"
         "off 0\necho 16\nx\nstat\n\nhelp\nquit\n";
  auto session = StartReaderTest(Port(), {std::to_string(Port()), "115200"}, script);
  EXPECT_EQ(session->WaitExit(60000), 0);
  const std::string& out = session->Output();
  EXPECT_NE(out.find("3B 02 14 50"), std::string::npos) << out;
  EXPECT_NE(out.find("Ошибка ввода: нужно не меньше 5 байт, введено 2\n"), std::string::npos);
  EXPECT_NE(out.find("Ошибка ввода: нужно 7 байт (5 + 2 по пятому байту), введено 6\n"),
            std::string::npos);
  EXPECT_NE(out.find("Ошибка ввода: нужно 5 байт (заголовок APDU), введено 6\n"),
            std::string::npos);
  EXPECT_NE(out.find("MAX размер данных 16\n"), std::string::npos);
  EXPECT_EQ(Occurrences(out, "Нажмите любую клавишу на PC для остановки"), 2u);
  // help and quit came after both loops: nothing was lost.
  EXPECT_EQ(Occurrences(out, kHelpRows[0]), 2u) << out;
  EXPECT_EQ(out.find("Ошибка в команде"), std::string::npos) << out;
  EXPECT_EQ(
      reader->Frames(),
      (std::vector<std::string>{"04 00 00", "01 00 00", "41 00 00", "42 00 07 00 A4 04 00 02 3F 00",
                                "43 00 05 00 C0 00 00 1C", "44 00 00", "01 00 00"}));
  std::remove(script.c_str());
}

class Tests : public Cards {};

TEST_F(Tests, EchoCountsUntilAKey) {
  Start({});
  program->Send("echo 16\n");
  ASSERT_TRUE(program->Expect("MAX размер данных 16\n", 10000)) << program->Output();
  ASSERT_TRUE(program->Expect("N=20 ", 30000)) << program->Output();
  program->Send("x");
  ASSERT_TRUE(program->Expect(kPrompt, 10000)) << program->Output();
  const std::string& out = program->Output();
  // The last status line: each starts a line or rewrites the one before.
  const size_t last = std::max(out.rfind("\rN="), out.rfind("\nN=")) + 1;
  unsigned n = 0, length = 0, ok = 0, nak = 0, crc = 0, timeouts = 0;
  ASSERT_EQ(std::sscanf(out.c_str() + last, "N=%u LEN=%u OK=%u NAK=%u CRC=%u TO=%u", &n, &length,
                        &ok, &nak, &crc, &timeouts),
            6);
  EXPECT_EQ(ok, n);
  EXPECT_EQ(nak + crc + timeouts, 0u);
  // Every frame carried fewer data bytes than the maximum.
  EXPECT_EQ(reader->Count("3F"), n);
  for (const std::string& frame : reader->Frames()) {
    if (frame.compare(0, 2, "3F") != 0) continue;
    EXPECT_LT(std::stoul(frame.substr(3, 2) + frame.substr(6, 2), nullptr, 16), 16u) << frame;
  }
}

TEST_F(Tests, StatShowsBothSlots) {
  Start({"--cards", "lower"});
  program->Send("stat\n");
  ASSERT_TRUE(program->Expect("0->00  1->01\r", 10000)) << program->Output();
  program->Send("x");
  ASSERT_TRUE(program->Expect(kPrompt, 10000)) << program->Output();
}

// The complex test from the command line: verdict, then ESC ends it.
class ComplexTest : public ::testing::Test {
 protected:
  std::unique_ptr<ConsoleSession> Run(const std::string& mode) {
    return ReaderTest({std::to_string(Port()), "115200", mode});
  }
};

TEST_F(ComplexTest, PassesThroughBothSlots) {
  Simulator reader({"--remove-on-power-down"});
  auto program = Run("t");
  ASSERT_TRUE(program->Expect("Kestrix УСПЕШНО протестирован (Для выхода нажмите ESC)\n", 30000))
      << program->Output();
  EXPECT_NE(program->Output().find("Данные, посылаемые на карту"), std::string::npos);
  EXPECT_NE(program->Output().find("Ответ от карты"), std::string::npos);
  program->Send("x");
  EXPECT_FALSE(program->Expect("\n", 500));
  program->Send(kEsc);
  EXPECT_EQ(program->WaitExit(10000), 0);
  for (const char* command : {"04", "41", "43", "44", "81", "83", "84"})
    EXPECT_EQ(reader.Count(command), 1u) << command;
}

TEST_F(ComplexTest, FailsOnAnAnswerWithoutStatusWord) {
  Simulator reader({"--remove-on-power-down", "--apdu-answer", "0", std::string(56, '2')});
  auto program = Run("T");
  ASSERT_TRUE(program->Expect("ОШИБКА при тестировании Kestrix (Для выхода нажмите ESC)\n", 30000))
      << program->Output();
  program->Send(kEsc);
  EXPECT_EQ(program->WaitExit(10000), 1);
  // The card stays powered in its slot; the lower slot is not tried.
  EXPECT_EQ(reader.Count("44"), 0u);
  EXPECT_EQ(reader.Count("81"), 0u);
}

TEST_F(ComplexTest, FailsOnAShortAtr) {
  Simulator reader({"--atr", "0", "3B00"});
  auto program = Run("T");
  ASSERT_TRUE(program->Expect("ОШИБКА при тестировании Kestrix", 30000)) << program->Output();
  EXPECT_NE(program->Output().find("3B 00"), std::string::npos);
  // The end of input ends the wait for ESC too; the status is the verdict's.
  program->CloseInput();
  EXPECT_EQ(program->WaitExit(10000), 1);
  EXPECT_EQ(reader.Count("43"), 0u);
}

TEST_F(ComplexTest, LoopStartsTheNextPassAfterEsc) {
  Simulator reader({"--remove-on-power-down", "--insert-after", "200"});
  auto program = Run("tc");
  ASSERT_TRUE(program->Expect("УСПЕШНО", 30000)) << program->Output();
  program->Send(kEsc);
  ASSERT_TRUE(program->Expect("Версия программного обеспечения ридера", 10000))
      << program->Output();
  ASSERT_TRUE(program->Expect("УСПЕШНО", 30000)) << program->Output();
  EXPECT_EQ(reader.Count("04"), 2u);
  // The end of input ends the loop in its wait; every pass passed.
  program->CloseInput();
  EXPECT_EQ(program->WaitExit(10000), 0);
}

}  // namespace
