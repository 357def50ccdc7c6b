// Runs tavo-cli with arguments (and standard input, environment) and collects its exit status,
// stdout and stderr (bounded wait).
#pragma once

#include "RunProgram.h"

namespace tavo::test {

using TCliRun = TProgramRun;
using TCliInput = TProgramInput;

inline TCliRun RunCli(const std::vector<std::string>& args, int timeoutMs = 60000,
                      const TCliInput& input = {}) {
  std::vector<std::string> all = {TAVO_CLI_EXE};
  all.insert(all.end(), args.begin(), args.end());
  return RunProgram(all, timeoutMs, input);
}

}  // namespace tavo::test
