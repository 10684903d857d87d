#include "run_ctl.h"

CtlRun RunProgram(const std::vector<std::string>& argv, const CtlRunOptions& options) {
  return RunToEnd(argv, options.timeoutMs, SpawnOptions{.env = {}, .stderrTerminal = options.stderrTerminal});
}

const char* CtlPath() { return RS485CTL_PATH; }

CtlRun RunCtl(const std::vector<std::string>& arguments, const CtlRunOptions& options) {
  std::vector<std::string> argv = {RS485CTL_PATH};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return RunProgram(argv, options);
}

std::string CtlCommandLine(const std::vector<std::string>& arguments) {
  std::string line = "rs485ctl";
  for (const std::string& a : arguments) line += " " + a;
  return line;
}
