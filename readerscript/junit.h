// The JUnit XML report: one <testsuite> per script file (and reader, when
// several ran: "COM3 path"), one <testcase> per command line, <failure> for an
// expectation not met, <error> for a link failure, <skipped> for a command the
// script did not reach.
#pragma once

#include <string>
#include <vector>

#include "readerscript/runner.h"

namespace readerscript {

std::string JUnitReport(const std::vector<ScriptResult>& results);

}  // namespace readerscript
