#pragma once
// The simulated converter on a COM port of the Windows suite's Wine prefix: the
// port is a link in the prefix's dosdevices to the simulator's pseudo-terminal,
// and the registry keys the converter search reads are written with Wine's reg
// tool. The suite names its Wine runner and prefix in RS485_WINE_RUN and
// RS485_WINE_PREFIX; without them (a plain Linux run) Available() is false.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "sim/sim_serve.h"
#include "support/spawned.h"

inline std::string EnvOr(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

class WineComPort {
 public:
  // com is the port's name ("COM9"); serialValue the SERIALCOMM value it is
  // listed under.
  WineComPort(const std::string& com, const std::string& serialValue)
      : com_(com), serialValue_(serialValue), link_(prefix + "/dosdevices/" + Lower(com)) {
    if (!Available() || !sim.Ok()) return;
    std::filesystem::remove(link_);
    std::filesystem::create_symlink(sim.Path(), link_);
  }
  ~WineComPort() {
    if (!Available()) return;
    std::filesystem::remove(link_);
    Run({"reg", "delete", kUsbKey, "/f"});
    Run({"reg", "delete", kSerialComm, "/v", serialValue_, "/f"});
  }
  WineComPort(const WineComPort&) = delete;
  WineComPort& operator=(const WineComPort&) = delete;

  bool Available() const { return !wineRun.empty() && !prefix.empty(); }

  // Runs a program (a Windows one, or reg) under Wine.
  ProgramRun Run(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) const {
    std::vector<std::string> argv = {wineRun};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunToEnd(argv, 60000, {env});
  }

  // Lists the port as present and as the converter's (instance: the USB
  // instance's key name, the serial number of a converter that has one;
  // location: its LocationInformation, none when empty); true when the keys
  // were written.
  bool RegisterConverter(const std::string& instance, const std::vector<std::string>& env = {},
                         const std::string& location = "") const {
    const std::string key = std::string(kUsbKey) + "\\" + instance;
    return Reg({"add", kSerialComm, "/v", serialValue_, "/t", "REG_SZ", "/d", com_, "/f"}, env) &&
           Reg({"add", key + "\\Device Parameters", "/v", "PortName", "/t", "REG_SZ", "/d", com_, "/f"}, env) &&
           (location.empty() || Reg({"add", key, "/v", "LocationInformation", "/t", "REG_SZ", "/d", location, "/f"}, env));
  }

  const std::string wineRun = EnvOr("RS485_WINE_RUN");
  const std::string prefix = EnvOr("RS485_WINE_PREFIX");
  SimDevice sim;

 private:
  static constexpr const char* kUsbKey = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_16C0&PID_4E04";
  static constexpr const char* kSerialComm = "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

  // Wine's reg tool; a failure says what reg and Wine printed.
  bool Reg(std::vector<std::string> args, const std::vector<std::string>& env) const {
    args.insert(args.begin(), "reg");
    const ProgramRun run = Run(args, env);
    if (run.exitCode != 0)
      std::fprintf(stderr, "reg %s: exit %d\n%s%s\n", args[1].c_str(), run.exitCode, run.out.c_str(), run.err.c_str());
    return run.exitCode == 0;
  }

  static std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
  }

  std::string com_;
  std::string serialValue_;
  std::filesystem::path link_;
};
