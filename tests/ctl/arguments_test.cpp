// rs485ctl's command line: help, refusals of bad arguments before anything
// reaches a port, the port list and the converter search on this machine, and
// JSON that survives any name.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ops/firmware_upload.h"
#include "ops/messages.h"
#include "ops/port_open.h"
#include "ctl_fixture.h"
#include "discovery/com_port_list.h"
#include "discovery/device_locator.h"
#include "sim/sim_serve.h"
#include "support/scratch_dir.h"

namespace {

using Args = std::vector<std::string>;

TEST(CtlArguments, HelpIsRussianOnStandardOutput) {
  const CtlRun plain = RunCtl({"--help"});
  EXPECT_EQ(plain.exitCode, 0) << Describe(plain);
  EXPECT_EQ(plain.err, "");
  EXPECT_EQ(plain.out.rfind("Использование: rs485ctl", 0), 0u) << plain.out;
  for (const std::string& word : std::initializer_list<std::string>{"list", "locate", "read", "write", "flash", "--port", "--json", "--baud", "--parity",
                           "--bits", "--stop", "--echo", "--settle-ms", "TCPC_", "TCPS_", "STUB",
                           "watch", "--serial", "--location", "--all", "--from", "--no-verify", "--flash",
                           "0 успех", "1 преобразователь не подключён", "2 ошибка в параметрах", "3 ошибка порта",
                           "4 ошибка чтения настроек", "5 ошибка записи настроек", "6 ошибка прошивки",
                           "7 результат не удалось вывести", "8 цепочка журнала нарушена", "journal", "report",
                           "--journal", "--sha256", "--since", "--csv", "--html", "--verify",
                           "подключение ожидается до " + std::to_string(PortLinkWaitMs / 1000) + " с"})
    EXPECT_NE(plain.out.find(word), std::string::npos) << word;

  // What cannot be written is no success.
  const CtlRun full = RunProgram({"/bin/sh", "-c", "exec \"$0\" --help >/dev/full", CtlPath()});
  EXPECT_EQ(full.exitCode, 7) << Describe(full);
  EXPECT_NE(full.err.find("не удалось вывести результат"), std::string::npos) << full.err;

  // Wherever it stands, help wins over the command and runs nothing.
  for (const Args& args : {Args{"-h"}, Args{"read", "--help"}, Args{"--port", "STUB", "flash", "x", "-h"}}) {
    const CtlRun run = RunCtl(args);
    EXPECT_EQ(run.exitCode, 0) << CtlCommandLine(args);
    EXPECT_EQ(run.out, plain.out) << CtlCommandLine(args);
  }
}

TEST(CtlArguments, BadArgumentsAreRefusedBeforeAnyPortIsTouched) {
  ScratchDir dir;
  SimDevice sim;
  ASSERT_TRUE(sim.Ok());
  const std::string port = sim.PortName();
  const std::string image = dir.path() + "/fw.bin";
  WriteFile(image, MakeImage(300));

  const std::vector<Args> bad = {
      {},
      {"bogus"},
      {"--port", port},
      {"--port", port, "read", "extra"},
      {"--port", port, "read", "--bogus"},
      {"--port", port, "-x", "read"},
      {"--port"},
      {"read", "--port"},
      {"--port", "", "read"},
      {"--port", "--json", "read"},
      {"--port", std::string(PortNameSize, 'a'), "read"},
      {"--port=", "read"},
      {"--json=yes", "--port", port, "read"},
      {"--port", port, "write", "--baud", "fast"},
      {"--port", port, "write", "--baud", "14450"},    // would be kept as 14400
      {"--port", port, "write", "--baud", "5700"},     // would read back as 5760
      {"--port", port, "write", "--baud", "0"},
      {"--port", port, "write", "--baud", "6553600"},  // does not fit
      {"--port", port, "write", "--baud", "-9600"},
      {"--port", port, "write", "--baud", "09600"},
      {"--port", port, "write", "--baud", " 9600"},
      {"--port", port, "write", "--baud="},
      {"--port", port, "write", "--baud"},
      {"--port", port, "write", "--parity", "n"},
      {"--port", port, "write", "--parity"},
      {"--port", port, "write", "--bits", "6"},
      {"--port", port, "write", "--bits", "80"},
      {"--port", port, "write", "--stop", "1.5"},
      {"--port", port, "write", "--echo", "yes"},
      {"--port", port, "read", "--baud", "9600"},
      {"--port", port, "flash", image, "--echo", "on"},
      {"--port", port, "read", "--settle-ms", "100"},
      {"--port", port, "flash", image, "--settle-ms", "soon"},
      {"--port", port, "flash", image, "--settle-ms", "600001"},
      {"--port", port, "flash", image, "--settle-ms", "-1"},
      {"--port", port, "flash"},
      {"--port", port, "flash", image, image},
      {"--port", port, "list"},
      {"--port", port, "locate"},
      {"locate", "extra"},
      // Which converter, and several at once: where each belongs.
      {"--port", port, "--serial", "A1", "read"},
      {"--port", port, "--all", "read"},
      {"--serial", "", "read"},
      {"--serial", "A1", "list"},
      {"--location", "1-1", "watch"},
      {"--all", "doctor"},
      {"--all=yes", "read"},
      {"--all", "--trace", "trace.log", "read"},
      {"--trace", "trace.log", "watch"},
      {"--port", port, "watch"},
      {"--port", port, "read", "--from", "p.json"},
      {"--port", port, "read", "--no-verify"},
      {"--port", port, "flash", image, "--flash", image},
      {"--port", port, "write", "--from"},
      // The journal, its reports and the image's hash: where each belongs.
      {"--port", port, "flash", image, "--sha256", "abc"},
      {"--port", port, "flash", image, "--sha256", std::string(63, 'a') + "g"},
      {"--port", port, "write", "--sha256", std::string(64, 'a')},
      {"watch", "--sha256", std::string(64, 'a')},
      {"--port", port, "read", "--journal", "j.jsonl"},
      {"--port", port, "write", "--journal"},
      {"journal", "--since", "yesterday"},
      {"journal", "--since", "2026-12-8"},
      {"--port", port, "write", "--since", "2026-12-08"},
      {"report"},
      {"report", "--csv", "--html"},
      {"--port", port, "read", "--verify"},
      {"--port", port, "report", "--csv"},
      {"--serial", "A1", "report", "--csv"},
      {"report", "a.jsonl", "b.jsonl", "--csv"},
      // A fleet of named ports, and how many at once.
      {"--ports"},
      {"--ports", "ports.txt", "--port", port, "read"},
      {"--ports", "ports.txt", "--serial", "A1", "read"},
      {"--ports", "ports.txt", "--all", "read"},
      {"--ports", "ports.txt", "watch"},
      {"--ports", "ports.txt", "locate"},
      {"--ports", "ports.txt", "audit", "--plan", "p.csv"},  // a port alone tells no serial number
      {"--ports", "ports.txt", "--trace", "trace.log", "read"},
      {"--all", "--jobs", "0", "read"},
      {"--all", "--jobs", "257", "read"},
      {"--all", "--jobs", "many", "read"},
      {"--all", "--jobs", "read"},
      {"--port", port, "--jobs", "2", "read"},
      {"--jobs", "2", "watch"},
      {"--all", "--jobs", "2", "locate"},
      // A plan, an audit and a dry run: where each belongs.
      {"--port", port, "read", "--plan", "p.csv"},
      {"--port", port, "write", "--plan", "p.csv"},  // a plan serves every converter: --all
      {"--all", "write", "--plan", "p.csv", "--baud", "9600"},
      {"watch", "--plan", "p.csv", "--flash", image},
      {"audit"},  // nothing to compare with
      {"--port", port, "audit", "--baud", "9600"},
      {"audit", "--plan", "p.csv", "--csv", "--json"},
      {"--port", port, "read", "--csv"},
      {"--port", port, "flash", image, "--dry-run"},
  };
  for (const Args& args : bad) {
    const CtlRun run = RunCtl(args);
    EXPECT_EQ(run.exitCode, 2) << CtlCommandLine(args) << "\n" << Describe(run);
    EXPECT_EQ(run.out, "") << CtlCommandLine(args);
    EXPECT_EQ(run.err.rfind("rs485ctl: ", 0), 0u) << CtlCommandLine(args) << "\n" << run.err;
    EXPECT_NE(run.err.find("rs485ctl --help"), std::string::npos) << CtlCommandLine(args);
  }
  EXPECT_EQ(sim.Converter().Counters().bytesReceived, 0u);
  // Not even the port layer was started: it would have left its banner here.
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/port.out"));
}

TEST(CtlArguments, ListShowsThePortsTheWindowWouldFind) {
  ScratchDir dir;
  ComPortListBuild();
  std::vector<std::string> expected;
  for (int k = 0; k < ComPortList.count; ++k) expected.emplace_back(ComPortList.names[k]);

  const CtlRun text = RunCtl({"list"});
  ASSERT_EQ(text.exitCode, 0) << Describe(text);
  std::string lines;
  for (const std::string& name : expected) lines += name + "\n";
  EXPECT_EQ(text.out, lines);
  EXPECT_EQ(text.err, "");

  const CtlRun json = RunCtl({"list", "--json"});
  ASSERT_EQ(json.exitCode, 0) << Describe(json);
  Json value;
  ASSERT_TRUE(OneJsonObject(json.out, value));
  ASSERT_EQ(value["ports"].kind, Json::Array);
  std::vector<std::string> listed;
  for (const Json& item : value["ports"].items) listed.push_back(item.text);
  EXPECT_EQ(listed, expected);
  // Listing opens no port.
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/port.out"));
}

// Without --port every command searches for the converter as the window does.
TEST(CtlArguments, WithoutAConverterEveryCommandSaysSo) {
  ScratchDir dir;
  const std::string image = dir.path() + "/fw.bin";
  WriteFile(image, MakeImage(10));
  char found[ComPortNameSize];
  if (LocateDevicePort(found, sizeof found) != 0) {
    // A converter is plugged into this machine: locate names it.
    const CtlRun run = RunCtl({"locate"});
    EXPECT_EQ(run.exitCode, 0) << Describe(run);
    EXPECT_EQ(run.out, std::string(found) + "\n");
    return;
  }
  for (const Args& args : {Args{"locate"}, Args{"read"}, Args{"write", "--echo", "on"}, Args{"flash", image}}) {
    const CtlRun text = RunCtl(args);
    EXPECT_EQ(text.exitCode, 1) << CtlCommandLine(args) << "\n" << Describe(text);
    EXPECT_EQ(text.out, "") << CtlCommandLine(args);
    EXPECT_EQ(text.err, std::string(MsgNoDevice) + "\n") << CtlCommandLine(args);

    Args withJson = args;
    withJson.push_back("--json");
    const CtlRun json = RunCtl(withJson);
    EXPECT_EQ(json.exitCode, 1) << CtlCommandLine(withJson);
    Json value;
    ASSERT_TRUE(OneJsonObject(json.out, value)) << CtlCommandLine(withJson);
    EXPECT_EQ(value["port"].kind, Json::Null);
    EXPECT_EQ(value["error"].text, MsgNoDevice);
    EXPECT_EQ(json.err, std::string(MsgNoDevice) + "\n");
  }
}

// A file name is any bytes; the JSON around it stays valid and says the same.
TEST(CtlArguments, JsonStaysValidWhateverANameHolds) {
  ScratchDir dir;
  const std::string name = std::string("\"q\\b\nn\tt\x01 ж \xFF\xC0\x80 \xED\xA0\x80 \xF0\x9F\x98\x80") + ".bin";
  const std::string replacement = "\xEF\xBF\xBD";
  const std::string decoded = std::string("\"q\\b\nn\tt\x01 ж ") + replacement + replacement + replacement + " " +
                              replacement + replacement + replacement + " \xF0\x9F\x98\x80.bin";

  const CtlRun run = RunCtl({"--port", "STUB", "--json", "flash", dir.path() + "/" + name});
  EXPECT_EQ(run.exitCode, 6) << Describe(run);
  Json value;
  ASSERT_TRUE(OneJsonObject(run.out, value));
  EXPECT_EQ(value["error"].text, MsgFileOpenFailed + dir.path() + "/" + decoded);
  // People get the name as it is.
  EXPECT_EQ(run.err.rfind(MsgFileOpenFailed + dir.path() + "/" + name + "\n", 0), 0u) << run.err;

  const std::string portName = "TCPC_\"\\\x7F\xFE";
  const CtlRun port = RunCtl({"--json", "--port", portName, "read"});
  EXPECT_EQ(port.exitCode, 3) << Describe(port);
  ASSERT_TRUE(OneJsonObject(port.out, value));
  EXPECT_EQ(value["port"].text, "TCPC_\"\\\x7F" + replacement);
  EXPECT_EQ(value["error"].text, MsgPortOpenFailed);
}

}  // namespace
