// Which build of the console library the dump tests drive: each test entry
// sets DUMP_PROBE_BUILD, "native" for the native probe over libdump.so,
// anything else for dump_probe.exe over dump.dll under Wine.
#pragma once

#include <string>
#include <vector>

bool NativeProbe();
// The command that runs the probe of that build.
std::vector<std::string> ProbeCommand();
// The words of a command as one line for /bin/sh.
std::string ShellLine(const std::vector<std::string>& words);
// A word quoted for /bin/sh.
std::string ShellQuoted(const std::string& word);
