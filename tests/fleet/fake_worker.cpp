// A stand-in for rs485ctl's worker that says what a test recorded for it, so
// that the fleet engine's events can be checked without converters. It notes
// its command line in calls.log, then plays the script <name>.<command> of
// the working folder (name: its --serial, else --location, else --port):
// each line is printed as it is, except
//   !exit N         end with exit code N (the script's end: 0)
//   !wait-stop      wait until its standard input ends (the stop channel)
//   !wait-file F    wait until file F exists
//   !hang           wait until it is killed

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  std::string call;
  std::string name;
  std::string command;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    call += (i > 1 ? " " : "") + arg;
    if ((arg == "--serial" || (arg == "--location" && name.empty()) || (arg == "--port" && name.empty())) && i + 1 < argc)
      name = argv[i + 1];
    if (command.empty() && (arg == "read" || arg == "write" || arg == "flash" || arg == "leave")) command = arg;
  }
  call += "\n";
  const int log = open("calls.log", O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (log < 0 || write(log, call.data(), call.size()) != static_cast<ssize_t>(call.size())) return 98;
  close(log);

  std::ifstream script(name + "." + command);
  const auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(10)); };
  for (std::string line; std::getline(script, line);) {
    if (line.rfind("!exit ", 0) == 0) return std::stoi(line.substr(6));
    if (line == "!wait-stop") {
      char byte;
      while (read(STDIN_FILENO, &byte, 1) > 0) {
      }
    } else if (line.rfind("!wait-file ", 0) == 0) {
      while (!std::filesystem::exists(line.substr(11))) pause();
    } else if (line == "!hang") {
      for (;;) pause();
    } else {
      std::printf("%s\n", line.c_str());
      std::fflush(stdout);
    }
  }
  return 0;
}
