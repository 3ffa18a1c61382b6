// readerscript end to end against the reader simulator: a passing session,
// each kind of failed expectation, each link fault the simulator can put on
// an answer, a script error with nothing sent, four readers at once, and the
// JUnit report as a CI server's parser reads it (Python's xml.etree).
// READERTEST_E2E_BUILD=native runs the native build, otherwise
// readerscript.exe runs under Wine.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bed_ports.h"
#include "tests/e2e/reader_programs.h"
#include "tests/support/console_session.h"
#include "tests/support/trace_lines.h"

namespace {

const int kRunMs = 60000;

std::string Folder() {
  const std::string bed = RepoRoot() + "/build/bed";
  const std::string folder = bed + "/scripts" + std::to_string(E2ePort());
  ::mkdir(bed.c_str(), 0755);
  ::mkdir(folder.c_str(), 0755);
  return folder;
}

std::string WriteScript(const std::string& name, const std::string& text) {
  const std::string path = Folder() + "/" + name;
  std::ofstream(path) << text;
  return path;
}

struct Outcome {
  int status;
  std::string output;
};

// readerscript on the readers at `ports` ("57", "74,75").
Outcome RunOn(const std::string& ports, const std::vector<std::string>& args,
              const std::vector<std::string>& environment = {}) {
  std::vector<std::string> argv = {ports, "115200"};
  argv.insert(argv.end(), args.begin(), args.end());
  auto program = StartReaderScript(E2ePort(), argv, environment);
  const int status = program->WaitExit(kRunMs);
  // The Windows build writes its lines in text mode, ending in CR LF.
  std::string output = program->Output();
  output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());
  return {status, output};
}

Outcome RunScripts(const std::vector<std::string>& args,
                   const std::vector<std::string>& environment = {}) {
  return RunOn(std::to_string(E2ePort()), args, environment);
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The JUnit file as Python's parser reads it: "testsuites tests failures
// errors skipped" (the totals), per suite "name tests failures errors skipped"
// (the name without the script's folders), then per case
// "  name|failure|error|skipped" (what it holds).
std::string JUnitSeen(const std::string& path) {
  const std::string command =
      "python3 -c \"import sys, xml.etree.ElementTree as E\n"
      "r = E.parse(sys.argv[1]).getroot()\n"
      "print('testsuites', r.get('tests'), r.get('failures'), r.get('errors'), "
      "r.get('skipped'))\n"
      "for s in r.iter('testsuite'):\n"
      "  n = s.get('name')\n"
      "  print(n[:max(n.find('/'), 0)] + n.rsplit('/', 1)[-1], s.get('tests'), "
      "s.get('failures'), s.get('errors'), s.get('skipped'))\n"
      "  for c in s.iter('testcase'):\n"
      "    print('  ' + c.get('name') + '|' + '|'.join(x.tag for x in c))\" " +
      path + " 2>&1";
  std::string seen;
  FILE* pipe = ::popen(command.c_str(), "r");
  char buffer[256];
  while (pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr) seen += buffer;
  if (pipe != nullptr) ::pclose(pipe);
  // What a parser refused is shown as it stands.
  if (seen.find("Error") != std::string::npos) {
    std::ifstream file(path, std::ios::binary);
    seen += "--- " + path + " ---\n" + std::string(std::istreambuf_iterator<char>(file), {});
  }
  return seen;
}

const char kPassing[] =
    "# a whole session\n"
    "version\n"
    "STAT =01 01\n"
    "insert 0\n"
    "com 0 00a40400023f00 =9000   # select MF\n"
    "req 0 00 C0 00 00 04 =00 01 02 03 90 00\n"
    "req 0 00C0000004 =\n"
    "req 0 00B0000000 =6D??\n"
    "echo 20 64\n"
    "delay 10\n"
    "off 0 5000\n";

TEST(Scripts, PassingSessionTranscriptAndReport) {
  Simulator reader({"--remove-on-power-down", "--insert-after", "300"});
  const std::string script = WriteScript("passing.rsc", kPassing);
  const std::string junit = Folder() + "/passing.xml";
  const Outcome run = RunScripts({"--junit", junit, script});
  EXPECT_EQ(run.status, 0) << run.output;
  for (const char* line :
       {"> version\n< 01 00  [version 1.00]  (",
        "> stat =01 01\n< 01 01  [reader 0: card, reader 1: card]", "> insert 0\n< 3B 02 14 50  (",
        "direct convention",
        "> com 0 00 A4 04 00 02 3F 00 =90 00\n< 90 00  [9000 normal processing]  (",
        "> req 0 00 C0 00 00 04 =* 90 00\n< 00 01 02 03 90 00  [9000 normal processing]",
        "< 6D 00  [6D00 instruction not supported]", "< 20 of 20 echoed intact",
        "> off 0 5000\n< card out of reader 0",
        "-- commands run 10, expectations passed 9, failed 0, link failures 0 (NAK 0, CRC 0, "
        "time-out 0), total "})
    EXPECT_TRUE(Has(run.output, line)) << line << "\n" << run.output;
  const std::string seen = JUnitSeen(junit);
  EXPECT_TRUE(Has(seen, "passing.rsc 10 0 0 0\n  version|\n  STAT =01 01|\n")) << seen;
  EXPECT_TRUE(Has(seen, "  com 0 00a40400023f00 =9000|\n")) << seen;
}

// The README's example, on the demo's settings: paced at 115200 baud, a card
// powered down leaves and another comes 3 s later.
TEST(Scripts, ExamplePassesOnTheDemoSettings) {
  Simulator reader(
      {"--remove-on-power-down", "--insert-after", "3000", "--pace", "--baud", "115200"});
  const Outcome run = RunScripts({RepoRoot() + "/examples/reader_check.rsc"});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(Has(run.output, "expectations passed 11, failed 0, link failures 0")) << run.output;
}

TEST(Scripts, FailedExpectationsStopTheScriptUnlessKeepGoing) {
  Simulator reader({"--cards", "upper"});
  const std::string script = WriteScript("failing.rsc",
                                         "insert 0\n"
                                         "com 0 00A4040002 3F00 =6F00\n"  // exact bytes
                                         "req 0 00C0000002 =61??\n"       // a wildcard digit
                                         "req 0 00C0000002 =* 6A 82\n"    // a run, then bytes
                                         "stat =0101\n"                   // reader 1 is empty
                                         "insert 1 200\n");               // no card comes
  const std::string second = WriteScript("second.rsc", "stat =01 00\n");
  const std::string junit = Folder() + "/failing.xml";

  Outcome run = RunScripts({"--junit", junit, script, second});
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_TRUE(Has(run.output, "FAIL " + script + ":2: expected =6F 00, received 90 00\n"))
      << run.output;
  EXPECT_FALSE(Has(run.output, "> req")) << run.output;
  // The next script still runs.
  EXPECT_TRUE(Has(run.output, "== " + second + "\n> stat =01 00\n< 01 00")) << run.output;
  std::string seen = JUnitSeen(junit);
  EXPECT_TRUE(Has(seen,
                  "failing.rsc 6 1 0 4\n  insert 0|\n  com 0 00A4040002 3F00 =6F00|failure\n"
                  "  req 0 00C0000002 =61??|skipped\n"))
      << seen;
  EXPECT_TRUE(Has(seen, "second.rsc 1 0 0 0\n")) << seen;

  run = RunScripts({"--keep-going", "--quiet", "--junit", junit, script});
  EXPECT_EQ(run.status, 1) << run.output;
  for (const char* line :
       {":3: expected =61 ??, received 00 01 90 00\n",
        ":4: expected =* 6A 82, received 00 01 90 00\n", ":5: expected =01 01, received 01 00\n",
        ":6: no card in reader 1 after 200 ms\n",
        "expectations passed 1, failed 5, link failures 0"})
    EXPECT_TRUE(Has(run.output, line)) << line << "\n" << run.output;
  // Quiet: the passing commands are not shown.
  EXPECT_FALSE(Has(run.output, "> insert 0")) << run.output;
  seen = JUnitSeen(junit);
  EXPECT_TRUE(Has(seen, "failing.rsc 6 5 0 0\n")) << seen;
}

TEST(Scripts, ScriptErrorsAreListedAndNothingIsSent) {
  Simulator reader({});
  const std::string good = WriteScript("good.rsc", "version\n");
  const std::string bad = WriteScript("bad.rsc",
                                      "version\n"
                                      "frobnicate 1\n"
                                      "com 0 00A4040002 3F\n"
                                      "req 0 00C00000 =9000\n"
                                      "req 0 00C000001G\n"
                                      "stat =9?0\n"
                                      "insert 2\n"
                                      "echo 10\n");
  const std::string junit = Folder() + "/bad.xml";
  std::remove(junit.c_str());
  const Outcome run = RunScripts({"--junit", junit, good, bad, Folder() + "/missing.rsc"});
  EXPECT_EQ(run.status, 3) << run.output;
  for (const std::string& line :
       {bad + ":2: unknown command \"frobnicate\"", bad + ":3: com needs 7 bytes",
        bad + ":4: req needs 5 bytes", bad + ":5: bad hex", bad + ":6: bad expectation",
        bad + ":7: insert: the reader must be 0 or 1", bad + ":8: echo COUNT MAX",
        Folder() + "/missing.rsc: cannot be read", std::string("nothing was sent")})
    EXPECT_TRUE(Has(run.output, line)) << line << "\n" << run.output;
  EXPECT_TRUE(reader.Frames().empty());
  EXPECT_NE(::access(junit.c_str(), F_OK), 0);

  for (const Outcome& usage : {RunScripts({}), RunScripts({"--frob", good})})
    EXPECT_EQ(usage.status, 3) << usage.output;
  const std::string port = std::to_string(E2ePort());
  const struct {
    std::string ports, said;
  } kBadPorts[] = {{port + ",COM" + port, "COM" + port + " is given twice"},
                   {port + ",x", "bad COM port \"x\""},
                   {port + ",", "bad COM port \"\""},
                   {"1,2,3,4,5,6,7,8,9", "9 COM ports; at most 8 readers run at once"}};
  for (const auto& bad : kBadPorts) {
    const Outcome usage = RunOn(bad.ports, {good});
    EXPECT_EQ(usage.status, 3) << usage.output;
    EXPECT_TRUE(Has(usage.output, bad.said)) << bad.said << "\n" << usage.output;
  }
  const Outcome help = RunScripts({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(Has(help.output, "Exit status: 0 every expectation met")) << help.output;
  EXPECT_TRUE(reader.Frames().empty());
}

// Four readers at once on COM74 to COM77 (sim_readerscript_readers), which
// no other group uses; the Wine prefix maps no simulator there, so these
// cases are the native build's.
const auto& kReaders = kSimReaderscriptReaders;
// The texts below name the ports.
static_assert(sizeof kReaders / sizeof kReaders[0] == 4 && kReaders[0] == 74 && kReaders[1] == 75 &&
                  kReaders[2] == 76 && kReaders[3] == 77,
              "the cases of four readers expect COM74 to COM77");

std::vector<std::string> ReaderLinks() {
  std::vector<std::string> links;
  for (int port : kReaders)
    links.push_back("SERCHAN32_COM" + std::to_string(port) + "=" + SimulatorLink(port));
  return links;
}

const char kOnEach[] =
    "version\n"
    "stat =01 01\n"
    "insert 0\n"
    "com 0 00A4040002 3F00 =9000\n"
    "delay 1000\n";

// Each reader's lines whole and after its port, a summary line each and a
// total, a testsuite per reader and script; the readers' delays overlap.
TEST(Scripts, FourReadersAtOnce) {
  if (!NativeBuild()) GTEST_SKIP() << "no simulator is mapped at COM74 to COM77 under Wine";
  std::vector<std::unique_ptr<Simulator>> readers;
  for (int port : kReaders)
    readers.push_back(std::make_unique<Simulator>(std::vector<std::string>{}, port));
  const std::string each = WriteScript("each.rsc", kOnEach);
  const std::string after = WriteScript("after.rsc", "stat =01 01\n");
  const std::string junit = Folder() + "/readers.xml";
  const Outcome run = RunOn("74,COM75,com76,Com77", {"--junit", junit, each, after}, ReaderLinks());
  EXPECT_EQ(run.status, 0) << run.output;
  const std::string output = "\n" + run.output;
  const std::string seen = JUnitSeen(junit);
  for (int port : kReaders) {
    const std::string com = "COM" + std::to_string(port);
    for (const std::string& line : std::vector<std::string>{
             "== " + each, "> version\n", "< 01 00  [version 1.00]  (", "< 3B 02 14 50  (",
             "  TS 3B: direct convention\n", "> com 0 00 A4 04 00 02 3F 00 =90 00\n",
             "< 90 00  [9000 normal processing]  (", "== " + after,
             "< 01 01  [reader 0: card, reader 1: card]  (",
             "-- commands run 6, expectations passed 5, failed 0, link failures 0 (NAK 0, CRC 0, "
             "time-out 0), total "})
      EXPECT_TRUE(Has(output, "\n[" + com + "] " + line)) << com << " " << line << output;
    EXPECT_TRUE(Has(seen, "\n" + com + " each.rsc 5 0 0 0\n  version|\n")) << seen;
    EXPECT_TRUE(Has(seen, "\n" + com + " after.rsc 1 0 0 0\n")) << seen;
  }
  const size_t total = output.find(
      "\n-- 4 readers: commands run 24, expectations passed 20, failed 0, link failures 0 (NAK 0, "
      "CRC 0, time-out 0, ports not opened 0), total ");
  ASSERT_NE(total, std::string::npos) << output;
  // One after another the delays alone would take 4 s.
  EXPECT_LT(std::stod(output.substr(output.find(", total ", total) + 8)), 3.0) << output;
  // No line has another reader's text in it.
  std::istringstream lines(run.output);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE((line.rfind("[COM7", 0) == 0 && line.find("[COM", 1) == std::string::npos) ||
                line.rfind("-- 4 readers: ", 0) == 0)
        << line;
  }
  EXPECT_TRUE(Has(seen, "testsuites 24 0 0 0\n")) << seen;
}

// One reader's card answers 6A 82 and one port has no reader: each fails
// alone, the others run to the end, and the worst status is the run's.
TEST(Scripts, AReaderFailsAlone) {
  if (!NativeBuild()) GTEST_SKIP() << "no simulator is mapped at COM74 to COM77 under Wine";
  Simulator first({}, 74), failing({"--apdu-answer", "0", "6A82"}, 75), last({}, 76);
  const std::string each = WriteScript("each.rsc", kOnEach);
  const std::string after = WriteScript("after.rsc", "stat =01 01\n");
  const std::string junit = Folder() + "/readers.xml";
  const Outcome run = RunOn("74,75,98,76", {"--junit", junit, each, after}, ReaderLinks());
  EXPECT_EQ(run.status, 2) << run.output;
  for (const std::string& line : std::vector<std::string>{
           "[COM74] < 90 00  [9000 normal processing]", "[COM76] < 90 00  [9000 normal processing]",
           "[COM75] FAIL " + each + ":4: expected =90 00, received 6A 82\n", "[COM75] == " + after,
           "cannot open COM98 at 115200 baud",
           "[COM74] -- commands run 6, expectations passed 5, failed 0, link failures 0 (",
           "[COM75] -- commands run 5, expectations passed 4, failed 1, link failures 0 (",
           "[COM98] -- the port cannot be opened: a link failure, nothing sent\n",
           "[COM76] -- commands run 6, expectations passed 5, failed 0, link failures 0 (",
           "-- 4 readers: commands run 17, expectations passed 14, failed 1, link failures 1 (NAK "
           "0, "
           "CRC 0, time-out 0, ports not opened 1), total "})
    EXPECT_TRUE(Has(run.output, line)) << line << "\n" << run.output;
  EXPECT_FALSE(Has(run.output, "[COM98] >")) << run.output;
  const std::string seen = JUnitSeen(junit);
  for (const char* suite :
       {"testsuites 24 1 2 5\n", "COM74 each.rsc 5 0 0 0\n", "COM74 after.rsc 1 0 0 0\n",
        "COM75 each.rsc 5 1 0 1\n  version|\n  stat =01 01|\n  insert 0|\n"
        "  com 0 00A4040002 3F00 =9000|failure\n  delay 1000|skipped\n",
        "COM75 after.rsc 1 0 0 0\n",
        "COM98 each.rsc 5 0 1 4\n  version|error\n  stat =01 01|skipped\n",
        "COM98 after.rsc 1 0 1 0\n", "COM76 each.rsc 5 0 0 0\n", "COM76 after.rsc 1 0 0 0\n"})
    EXPECT_TRUE(Has(seen, suite)) << suite << "\n" << seen;
}

TEST(Scripts, UnopenablePortIsALinkFailure) {
  const std::string script = WriteScript("version.rsc", "version\n");
  auto program = StartReaderScript(E2ePort(), {"98", "115200", script});
  EXPECT_EQ(program->WaitExit(kRunMs), 2) << program->Output();
  EXPECT_TRUE(Has(program->Output(), "cannot open COM98 at 115200 baud")) << program->Output();
  // Natively the line after it names the device tried and where that came from.
  if (NativeBuild()) {
    EXPECT_TRUE(Has(program->Output(), "COM98 is /dev/ttyS97 by default")) << program->Output();
  }
}

// Natively a ports file maps COM97 to the simulator, no SERCHAN32_COM97 set;
// a wrong line maps it to nothing, and the program says where and why.
TEST(Scripts, APortsFileMapsTheComPort) {
  if (!NativeBuild()) GTEST_SKIP() << "the ports file is the native library's";
  const std::string script = WriteScript("ports.rsc", "version\n");
  const std::string ports =
      WriteScript("ports", "# the bench\nCOM97 " + SimulatorLink(E2ePort()) + "\n");
  Simulator reader({});
  auto mapped =
      StartReaderScript(E2ePort(), {"97", "115200", script}, {"SERCHAN32_PORTS=" + ports});
  EXPECT_EQ(mapped->WaitExit(kRunMs), 0) << mapped->Output();
  WriteScript("ports", "COM97 sim" + std::to_string(E2ePort()) + "\n");
  auto wrong = StartReaderScript(E2ePort(), {"97", "115200", script}, {"SERCHAN32_PORTS=" + ports});
  EXPECT_EQ(wrong->WaitExit(kRunMs), 2) << wrong->Output();
  EXPECT_TRUE(Has(wrong->Output(), "COM97 leads nowhere: " + ports + ":1: the device \"sim"))
      << wrong->Output();
  EXPECT_EQ(reader.Count("04"), 1u);
}

// Every fault the simulator can put on an answer ends the script as a link
// failure, counted where it belongs, and reported as an <error>.
TEST(LinkFaults, EachFaultIsALinkFailure) {
  const std::string script = WriteScript("faults.rsc", "version\nstat\n");
  const std::string junit = Folder() + "/faults.xml";
  const struct {
    const char* fault;
    const char* counted;
    const char* shown;
  } kFaults[] = {
      {"nak", "(NAK 1, CRC 0, time-out 0)", "< NAK  ("},
      {"crc", "(NAK 0, CRC 1, time-out 0)", "< CRC mismatch or an answer too long  ("},
      {"garbage", "(NAK 0, CRC 1, time-out 0)", "< CRC mismatch"},
      {"long", "(NAK 0, CRC 1, time-out 0)", "< CRC mismatch"},
      {"silent", "(NAK 0, CRC 0, time-out 1)", "< time-out: no answer  ("},
      {"cut", "(NAK 0, CRC 0, time-out 1)", "< time-out: no answer"},
      {"slow", "(NAK 0, CRC 0, time-out 1)", "< time-out: no answer"},
  };
  for (const auto& fault : kFaults) {
    Simulator reader({"--fault", fault.fault});
    const Outcome run = RunScripts({"--junit", junit, script});
    EXPECT_EQ(run.status, 2) << fault.fault << "\n" << run.output;
    EXPECT_TRUE(Has(run.output, fault.shown)) << fault.fault << "\n" << run.output;
    EXPECT_TRUE(Has(run.output, "ERROR " + script + ":1: link failure")) << run.output;
    EXPECT_TRUE(Has(run.output, std::string("link failures 1 ") + fault.counted)) << run.output;
    const std::string seen = JUnitSeen(junit);
    EXPECT_TRUE(Has(seen, "faults.rsc 2 0 1 1\n  version|error\n  stat|skipped\n"))
        << fault.fault << "\n"
        << seen;
  }
}

// The library's trace (SERCHAN32_TRACE), switched on from outside the
// program: the version frame as the five blocks readerscript writes and the
// answer as the blocks it reads, in order; a failed open and a time-out with
// their results; nothing at all when the variable is unset.
TEST(Trace, BlocksAndFailuresAsTheyHappen) {
  const std::string trace = Folder() + "/trace.txt";
  const std::string script = WriteScript("trace.rsc", "version\n");
  const std::vector<std::string> traced = {"SERCHAN32_TRACE=" + trace};
  auto Lines = [&trace] {
    std::vector<std::string> lines;
    std::ifstream file(trace);
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
  };

  std::remove(trace.c_str());
  {
    Simulator reader({});
    EXPECT_EQ(RunScripts({script}, traced).status, 0);
  }
  const std::string port = "COM" + std::to_string(E2ePort());
  const std::vector<std::string> expected = {
      "ch0 OPEN " + port + " 115200 8,N,1 DTR-DSR=OFF CTS-RTS=OFF",
      "ch0 TX 1 : 04",
      "ch0 TX 1 : 00",
      "ch0 TX 1 : 00",
      "ch0 TX 1 : 41",
      "ch0 TX 1 : C1",
      "ch0 RX 1 : 00",
      "ch0 RX 1 : 00",
      "ch0 RX 1 : 02",
      "ch0 RX 2 : 01 00",
      "ch0 RX 1 : ",
      "ch0 RX 1 : ",
      "ch0 CLOSE " + port,
      "ch0 REPORT "};
  std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), expected.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    TraceLine parsed;
    EXPECT_TRUE(ParseTraceLine(lines[i], &parsed)) << lines[i];
    if (parsed.word == "TX" || parsed.word == "RX") {
      EXPECT_TRUE(BlockDetailsWhole(parsed.details)) << lines[i];
    }
    EXPECT_EQ(lines[i].find(expected[i]), lines[i].find(" ch") + 1) << lines[i];
  }

  std::remove(trace.c_str());
  auto unopened = StartReaderScript(E2ePort(), {"98", "115200", script}, traced);
  EXPECT_EQ(unopened->WaitExit(kRunMs), 2);
  lines = Lines();
  ASSERT_EQ(lines.size(), 2u) << unopened->Output();
  EXPECT_TRUE(Has(lines[0], " ch0 ERROR CreateFile on COM98: error 2: ")) << lines[0];
  EXPECT_TRUE(Has(lines[1], " ch0 FAIL XRT_M_Comm_OpenChannel_0 = -11 (COM98 115200 baud"))
      << lines[1];

  std::remove(trace.c_str());
  {
    Simulator reader({"--fault", "silent"});
    EXPECT_EQ(RunScripts({script}, traced).status, 2);
  }
  lines = Lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) {
                            return Has(line,
                                       " ch0 FAIL XRT_M_Comm_ReadBlock = -1 time-out (0 of 1 "
                                       "bytes in 5000 ms)");
                          }),
            1)
      << trace;

  std::remove(trace.c_str());
  {
    Simulator reader({});
    EXPECT_EQ(RunScripts({script}).status, 0);
  }
  EXPECT_NE(::access(trace.c_str(), F_OK), 0);
}

}  // namespace
