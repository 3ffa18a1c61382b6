// Text functions of the POSIX layer with their Win32 and Microsoft C rules,
// and the process's command line and end, seen from a probe program.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

extern char** environ;

namespace {

TEST(Text, SnprintfTerminatesOnlyWhatFitsWithRoomToSpare) {
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(3, _snprintf(buffer, 6, "%d", 123));
  EXPECT_STREQ("123", buffer);
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(6, _snprintf(buffer, 6, "%s", "abcdef"));  // fills it: no terminator
  EXPECT_EQ(0, std::memcmp(buffer, "abcdef#", 7));
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(-1, _snprintf(buffer, 6, "%s-%d", "abcdef", 7));  // too long: cut, no terminator
  EXPECT_EQ(0, std::memcmp(buffer, "abcdef#", 7));
  EXPECT_EQ(0, _snprintf(buffer, 0, "%s", ""));
}

TEST(Text, WsprintfWritesAtMost1023CharactersAndTheTerminator) {
  char buffer[1100];
  EXPECT_EQ(10, wsprintfA(buffer, "COM%u %s", 12u, "open"));
  EXPECT_STREQ("COM12 open", buffer);
  const std::string longText(2000, 'z');
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(1023, wsprintfA(buffer, "%s", longText.c_str()));
  EXPECT_EQ(std::string(1023, 'z'), std::string(buffer));
  EXPECT_EQ('#', buffer[1024]);
}

TEST(Text, StringCopies) {
  char buffer[8] = "xxxxxxx";
  EXPECT_EQ(buffer, lstrcpyA(buffer, "abc"));
  EXPECT_STREQ("abc", buffer);
  EXPECT_EQ(buffer, lstrcpynA(buffer, "abcdefghij", 5));
  EXPECT_STREQ("abcd", buffer);
  lstrcpynA(buffer, "zz", 1);
  EXPECT_STREQ("", buffer);
  lstrcpynA(buffer, "zz", 0);  // no room at all: untouched
  EXPECT_STREQ("", buffer);
  lstrcpynA(buffer, "zz", 8);
  EXPECT_STREQ("zz", buffer);
}

TEST(Text, CompareIgnoringCaseFoldsLatinAndCyrillicLetters) {
  const DWORD locale = LOCALE_SYSTEM_DEFAULT;
  EXPECT_EQ(CSTR_EQUAL, CompareStringA(locale, NORM_IGNORECASE, "Help", -1, "hELP", -1));
  EXPECT_EQ(CSTR_LESS_THAN, CompareStringA(locale, NORM_IGNORECASE, "abc", -1, "ABD", -1));
  EXPECT_EQ(CSTR_GREATER_THAN, CompareStringA(locale, NORM_IGNORECASE, "abd", -1, "ABC", -1));
  EXPECT_EQ(CSTR_LESS_THAN, CompareStringA(locale, NORM_IGNORECASE, "ab", -1, "abc", -1));
  EXPECT_EQ(CSTR_EQUAL, CompareStringA(locale, NORM_IGNORECASE, "abcx", 3, "ABCy", 3));
  EXPECT_EQ(CSTR_GREATER_THAN, CompareStringA(locale, 0, "abc", -1, "ABC", -1));
  // "ПОРТ" and "порт", "Ёж" and "ёЖ" in code page 1251.
  EXPECT_EQ(CSTR_EQUAL, CompareStringA(locale, NORM_IGNORECASE, "\xCF\xCE\xD0\xD2", -1,
                                       "\xEF\xEE\xF0\xF2", -1));
  EXPECT_EQ(CSTR_EQUAL, CompareStringA(locale, NORM_IGNORECASE, "\xA8\xE6", -1, "\xB8\xC6", -1));
  EXPECT_EQ(0, CompareStringA(locale, NORM_IGNORECASE, nullptr, -1, "a", -1));
  EXPECT_EQ(DWORD{ERROR_INVALID_PARAMETER}, GetLastError());
}

struct SplitPath {
  char drive[_MAX_DRIVE];
  char directory[_MAX_DIR];
  char name[_MAX_FNAME];
  char extension[_MAX_EXT];
};

SplitPath Split(const char* path) {
  SplitPath parts;
  _splitpath(path, parts.drive, parts.directory, parts.name, parts.extension);
  return parts;
}

TEST(Text, SplitPathTakesEitherSeparator) {
  SplitPath parts = Split("C:\\tools\\bin/readertest.v2.exe");
  EXPECT_STREQ("C:", parts.drive);
  EXPECT_STREQ("\\tools\\bin/", parts.directory);
  EXPECT_STREQ("readertest.v2", parts.name);
  EXPECT_STREQ(".exe", parts.extension);
  parts = Split("build/native/bin/readertest");
  EXPECT_STREQ("", parts.drive);
  EXPECT_STREQ("build/native/bin/", parts.directory);
  EXPECT_STREQ("readertest", parts.name);
  EXPECT_STREQ("", parts.extension);
  parts = Split("dir.d/name");
  EXPECT_STREQ("dir.d/", parts.directory);
  EXPECT_STREQ("name", parts.name);
  EXPECT_STREQ("", parts.extension);
  char name[_MAX_FNAME];
  _splitpath("a/b.c", nullptr, nullptr, name, nullptr);  // parts not wanted
  EXPECT_STREQ("b", name);
}

TEST(Text, MakePathAddsTheColonTheSeparatorAndTheDot) {
  char path[_MAX_PATH];
  _makepath(path, "C", "\\tools", "readertest", "exe");
  EXPECT_STREQ("C:\\tools\\readertest.exe", path);
  _makepath(path, "", "build/bin", "readertest", "");
  EXPECT_STREQ("build/bin/readertest", path);
  _makepath(path, "", "", "readertest", ".log");
  EXPECT_STREQ("readertest.log", path);
  _makepath(path, nullptr, "a/", "b", nullptr);
  EXPECT_STREQ("a/b", path);
  const std::string longName(400, 'n');
  _makepath(path, "", "", longName.c_str(), "x");
  EXPECT_EQ(size_t{_MAX_PATH - 1}, std::strlen(path));
}

// Runs the probe with these arguments; its standard output and exit status.
std::string RunProbe(const std::vector<std::string>& arguments, int& status) {
  std::vector<char*> argv;
  std::string program = PROCESS_PROBE;
  argv.push_back(&program[0]);
  std::vector<std::string> copies(arguments);
  for (std::string& argument : copies) argv.push_back(&argument[0]);
  argv.push_back(nullptr);
  int out[2];
  if (pipe(out) != 0) return "";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  pid_t child = 0;
  const int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  std::string text;
  char chunk[256];
  ssize_t got = 0;
  while ((got = read(out[0], chunk, sizeof chunk)) > 0) text.append(chunk, got);
  close(out[0]);
  status = -1;
  if (spawned == 0) waitpid(child, &status, 0);
  return text;
}

TEST(Process, CommandLineQuotesEmptyItemsAndItemsWithBlanks) {
  int status = 0;
  const std::string line = RunProbe({"line", "two words", "", "tab\there", "plain"}, status);
  EXPECT_EQ(std::string(PROCESS_PROBE) + " line \"two words\" \"\" \"tab\there\" plain", line);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(Process, ExitProcessFlushesRunsTheDestructorsAndGivesItsCode) {
  int status = 0;
  EXPECT_EQ("buffered|destructor", RunProbe({"exit"}, status));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(7, WEXITSTATUS(status));
}

}  // namespace
