// rs485ctl.exe, the Windows build, under Wine against the simulated converter:
// the converter is served on a pseudo-terminal here, a COM port of the Wine
// prefix is linked to it (dosdevices/com9), and the registry keys the search
// reads are written with Wine's reg tool. Run by the Windows suite, which
// names the programs in RS485_WINE_RUN, RS485CTL_EXE and RS485_WINE_PREFIX.

#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "ops/messages.h"
#include "ctl_fixture.h"
#include "sim/sim_serve.h"
#include "sim/sim_tcp.h"
#include "support/scratch_dir.h"
#include "support/spawned.h"
#include "support/wine_com_port.h"

namespace {

using Args = std::vector<std::string>;

class CtlUnderWine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!com.Available() || exe.empty()) GTEST_SKIP() << "run by the Windows suite only";
    ASSERT_TRUE(com.sim.Ok());
  }

  CtlRun Ctl(const Args& args) {
    Args argv = {exe};
    argv.insert(argv.end(), args.begin(), args.end());
    return com.Run(argv, {"LC_ALL=C.UTF-8"});  // Wine reads the arguments' bytes in this locale
  }
  Json JsonOf(const CtlRun& run) {
    Json value;
    EXPECT_TRUE(OneJsonObject(run.out, value)) << Describe(run);
    return value;
  }

  const std::string exe = EnvOr("RS485CTL_EXE");
  ScratchDir dir;
  WineComPort com{"COM9", "\\Device\\rs485test"};
  SimDevice& sim = com.sim;
};

TEST_F(CtlUnderWine, ReadsWritesAndFlashesThroughAMappedComPort) {
  CtlRun run = Ctl({"--port", "COM9", "--json", "read"});
  ASSERT_EQ(run.exitCode, 0) << Describe(run);
  EXPECT_EQ(JsonOf(run)["raw"].text, "60 00 00 08 4E 80");

  run = Ctl({"--port", "COM9", "--json", "write", "--baud", "19200", "--parity", "even", "--echo", "off"});
  ASSERT_EQ(run.exitCode, 0) << Describe(run);
  EXPECT_EQ(JsonOf(run)["baud"].number, 19200);
  EXPECT_EQ(BytesOf(sim.Converter().Settings()), (Data{0xC0, 0x00, 0x00, 0x08, 'E', 0x00}));

  // An image in a folder whose name the system's code page cannot hold.
  const Data file = MakeImage(272 * 2 + 50);
  std::filesystem::create_directory("прошивка");
  WriteFile("прошивка/fw.bin", file);
  run = Ctl({"--port", "COM9", "--json", "flash", "прошивка\\fw.bin", "--settle-ms", "100"});
  ASSERT_EQ(run.exitCode, 0) << Describe(run);
  EXPECT_EQ(JsonOf(run)["result"].text, "done");
  // The Russian progress lines leave as UTF-8, unchanged by the console layer.
  EXPECT_NE(run.err.find("Передача прошивки: 3/3 записей, 594 байт"), std::string::npos) << run.err;
  const SimSnapshot snapshot = sim.Converter().Snapshot();
  EXPECT_EQ(snapshot.counters.recordsAcked, 3u);
  ASSERT_GE(snapshot.image.size(), file.size());
  EXPECT_EQ(Data(snapshot.image.begin(), snapshot.image.begin() + static_cast<long>(file.size())), file);
}

TEST_F(CtlUnderWine, FindsTheConverterThroughTheRegistry) {
  CtlRun run = Ctl({"--json", "locate"});
  EXPECT_EQ(run.exitCode, 1) << Describe(run);
  EXPECT_EQ(JsonOf(run)["error"].text, MsgNoDevice);

  ASSERT_TRUE(com.RegisterConverter("7&1A2B"));
  run = Ctl({"--json", "list"});
  ASSERT_EQ(run.exitCode, 0) << Describe(run);
  bool listed = false;
  for (const Json& port : JsonOf(run)["ports"].items) listed = listed || port.text == "COM9";
  EXPECT_TRUE(listed) << run.out;

  run = Ctl({"--json", "read"});
  ASSERT_EQ(run.exitCode, 0) << Describe(run);
  EXPECT_EQ(JsonOf(run)["port"].text, "COM9");
}

TEST_F(CtlUnderWine, SeveralConvertersAreKnownByTheRegistryAndServedTogether) {
  WineComPort other{"COM10", "\\Device\\rs485test2"};
  ASSERT_TRUE(other.sim.Ok());
  ASSERT_TRUE(com.RegisterConverter("SN9", {}, "Port_#0001.Hub_#0001"));
  ASSERT_TRUE(other.RegisterConverter("6&2B1&0&2", {}, "Port_#0002.Hub_#0001"));  // no serial number
  // A converter's key left from a port that is gone.
  ASSERT_EQ(com.Run({"reg", "add", "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_16C0&PID_4E04\\SN77\\Device Parameters",
                     "/v", "PortName", "/t", "REG_SZ", "/d", "COM77", "/f"})
                .exitCode,
            0);
  CtlRun run = Ctl({"--json", "locate", "--all"});
  ASSERT_EQ(run.exitCode, 0) << Describe(run);
  std::vector<std::string> found;
  const Json listed = JsonOf(run);
  for (const Json& c : listed["converters"].items)
    found.push_back(c["port"].text + " " + c["serial"].text + " " + c["location"].text);
  EXPECT_EQ(found, (std::vector<std::string>{"COM10  Port_#0002.Hub_#0001", "COM9 SN9 Port_#0001.Hub_#0001"}));

  run = Ctl({"--json", "read"});
  EXPECT_EQ(run.exitCode, 3) << Describe(run);
  EXPECT_EQ(JsonOf(run)["converters"].items.size(), 2u);
  run = Ctl({"--json", "--serial", "SN9", "read"});
  EXPECT_EQ(JsonOf(run)["port"].text, "COM9") << Describe(run);
  run = Ctl({"--json", "--location", "Port_#0002.Hub_#0001", "read"});
  EXPECT_EQ(JsonOf(run)["port"].text, "COM10") << Describe(run);

  // Each served by a worker process of its own, started through CreateProcessW.
  other.sim.Converter().SetSettings({0xC0, 0x00, 0x00, 0x08, 'E', 0x80});
  run = Ctl({"--json", "read", "--all"});
  ASSERT_EQ(run.exitCode, 0) << Describe(run);
  std::map<std::string, std::string> raw;
  for (size_t at = 0, end; (end = run.out.find('\n', at)) != std::string::npos; at = end + 1) {
    Json line;
    ASSERT_TRUE(JsonParse(run.out.substr(at, end - at), line)) << run.out;
    EXPECT_EQ(run.out[end - 1], '\r') << "a line as Windows ends it";
    if (line["event"].text == "result") raw[line["port"].text + " " + line["serial"].text] = line["raw"].text;
  }
  EXPECT_EQ(raw, (std::map<std::string, std::string>{{"COM10 ", "C0 00 00 08 45 80"}, {"COM9 SN9", "60 00 00 08 4E 80"}}))
      << run.out;
}

TEST_F(CtlUnderWine, AStopRequestToRs485ctlAloneReachesItsWorkers) {
  WineComPort other{"COM10", "\\Device\\rs485test2"};
  ASSERT_TRUE(other.sim.Ok());
  ASSERT_TRUE(com.RegisterConverter("SN9", {}, "Port_#0001.Hub_#0001"));
  ASSERT_TRUE(other.RegisterConverter("SN8", {}, "Port_#0002.Hub_#0001"));
  WriteFile("big.bin", MakeImage(272 * 20));
  SimConverter* converters[] = {&sim.Converter(), &other.sim.Converter()};
  SimFaults slow;
  slow.delayMs = 250;  // each acknowledgement: the update takes 5 s at the least
  for (SimConverter* converter : converters) converter->SetFaults(slow);
  // One request: each worker ends its update in order. Two: rs485ctl.exe ends
  // the workers at once and has a worker of its own release each converter.
  for (const int requests : {1, 2}) {
    uint32_t leaves[2];
    for (size_t k = 0; k < 2; ++k) leaves[k] = converters[k]->Counters().updateLeaves;
    Spawned ctl;
    ASSERT_TRUE(ctl.Start({com.wineRun, exe, "--json", "flash", "--all", "big.bin", "--settle-ms", "300"},
                          SpawnOptions{.env = {"LC_ALL=C.UTF-8"}}));
    for (SimConverter* converter : converters) {
      const uint32_t acked = converter->Counters().recordsAcked;
      if (converter->WaitUntil([&](const SimCounters& c) { return c.recordsAcked > acked; }, 60000)) continue;
      ctl.Finish(SIGKILL, 10000);
      FAIL() << "no record was taken\n" << ctl.err << ctl.out;
    }
    // Wine turns SIGINT into a Ctrl+C for that process alone: the workers'
    // console never sees it.
    for (int k = 0; k < requests; ++k) kill(ctl.pid(), SIGINT);
    EXPECT_EQ(ctl.Finish(0, 60000), 130) << requests << "\n" << ctl.err;
    std::map<std::string, std::string> results;
    for (size_t at = 0, end; (end = ctl.out.find('\n', at)) != std::string::npos; at = end + 1) {
      Json line;
      ASSERT_TRUE(JsonParse(ctl.out.substr(at, end - at), line)) << ctl.out;
      if (line["event"].text != "result") continue;
      results[line["serial"].text] = line["result"].text;
      EXPECT_NE(line["reason"].text.find(MsgUpdateModeLeft), std::string::npos) << requests << "\n" << ctl.out;
    }
    EXPECT_EQ(results, (std::map<std::string, std::string>{{"SN8", "interrupted"}, {"SN9", "interrupted"}}))
        << requests << "\n" << ctl.out;
    for (size_t k = 0; k < 2; ++k) {
      EXPECT_TRUE(converters[k]->WaitUntil([&](const SimCounters& c) { return c.updateLeaves > leaves[k]; }, 10000))
          << requests;
      EXPECT_FALSE(converters[k]->Snapshot().updateMode) << requests;
    }
  }
}

// A ports file as Notepad saves it (a byte-order mark, CR LF), naming
// converters behind TCP and a COM port, served two at a time.
TEST_F(CtlUnderWine, ServesThePortsAFileNames) {
  SimConverter remote[2];
  SimTcpListener sites[] = {SimTcpListener(remote[0]), SimTcpListener(remote[1])};
  for (const SimTcpListener& site : sites) ASSERT_TRUE(site.Ok());
  const std::string file = "\xEF\xBB\xBF# two sites and the bench\r\n" + sites[0].PortName() + "\r\n" +
                           sites[1].PortName() + "  # the far one\r\n\r\nCOM9\r\n";
  WriteFile("ports.txt", Data(file.begin(), file.end()));
  const CtlRun run = Ctl({"--ports", "ports.txt", "--jobs", "2", "--json", "write", "--baud", "19200"});
  ASSERT_EQ(run.exitCode, 0) << Describe(run);
  std::map<std::string, double> baud;
  for (size_t at = 0, end; (end = run.out.find('\n', at)) != std::string::npos; at = end + 1) {
    Json line;
    ASSERT_TRUE(JsonParse(run.out.substr(at, end - at), line)) << run.out;
    if (line["event"].text == "result") baud[line["port"].text] = line["baud"].number;
  }
  const std::map<std::string, double> expected = {
      {sites[0].PortName(), 19200}, {sites[1].PortName(), 19200}, {"COM9", 19200}};
  EXPECT_EQ(baud, expected) << run.out;
  for (SimConverter* converter : {&remote[0], &remote[1], &sim.Converter()})
    EXPECT_EQ(BytesOf(converter->Settings()), (Data{0xC0, 0x00, 0x00, 0x08, 'N', 0x80}));
}

TEST_F(CtlUnderWine, MissingPortAndMissingImageEndWithTheirExitCodes) {
  CtlRun run = Ctl({"--port", "COM98", "read"});
  EXPECT_EQ(run.exitCode, 3) << Describe(run);
  EXPECT_NE(run.err.find(MsgPortOpenFailed), std::string::npos) << run.err;

  run = Ctl({"--port", "COM9", "flash", "missing.bin"});
  EXPECT_EQ(run.exitCode, 6) << Describe(run);
  EXPECT_NE(run.err.find("Ошибка открытия missing.bin"), std::string::npos) << run.err;

}

TEST_F(CtlUnderWine, TracesTheFramesAndDiagnosesTheConverter) {
  // The settings read as it went out and came back, in order.
  CtlRun run = Ctl({"--trace", "trace.log", "--port", "COM9", "read"});
  ASSERT_EQ(run.exitCode, 0) << Describe(run);
  std::vector<std::string> events;
  long last = 0;
  for (const TraceLine& t : ParseTrace(ReadText("trace.log"))) {
    EXPECT_GE(t.ms, last) << "a stamp went back, or a line lacks its fields";
    last = t.ms;
    events.push_back(t.event + " " + t.hex.substr(0, 35) + " " + t.meaning);
  }
  EXPECT_EQ(events, (std::vector<std::string>{
                        "open  ok", "out 60 10 48 2C 02 00 00 00 00 00 06 F2 settings read: address 000000, 6 bytes, CRC",
                        "in 60 00 00 08 4E 80 73 6C A3 32 47 settings, CRC ok", "close  "}));

  // A trace that cannot be written, or that is the port itself, is refused
  // before the converter hears anything.
  const uint32_t heard = sim.Converter().Counters().bytesReceived;
  const struct {
    const char* trace;
    std::string reason;  // as it begins
  } refused[] = {{"no-such-folder\\trace.log", "Файл no-such-folder\\trace.log не открывается"},
                 {"com9", MsgTracePortReason("com9", "COM9")}};
  for (const auto& c : refused) {
    run = Ctl({"--trace", c.trace, "--port", "COM9", "read"});
    EXPECT_EQ(run.exitCode, 2) << c.trace << "\n" << Describe(run);
    EXPECT_EQ(run.err.rfind(MsgTraceOpenFailed, 0), 0u) << run.err;
    EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
  }
  EXPECT_EQ(sim.Converter().Counters().bytesReceived, heard);

  // doctor: the COM port the registry gives the converter, and its answer.
  ASSERT_TRUE(com.RegisterConverter("7&1A2B"));
  run = Ctl({"--json", "doctor"});
  EXPECT_EQ(run.exitCode, 0) << Describe(run);
  EXPECT_EQ(DoctorVerdicts(JsonOf(run)), (std::map<std::string, std::string>{
                          {"converter", "ok"}, {"holder", "ok"}, {"port", "ok"}, {"answer", "ok"}}))
      << run.out;
}

// The journal on Windows: two programs appending at once under LockFileEx,
// and its reports made there.
TEST_F(CtlUnderWine, TwoWritersShareAJournalAndItsReportsAreMadeThere) {
  WineComPort other{"COM10", "\\Device\\rs485test2"};
  ASSERT_TRUE(other.sim.Ok());
  constexpr int kEach = 3;
  const auto writes = [&](const char* port) {
    for (int k = 0; k < kEach; ++k) {
      const CtlRun run = Ctl({"--port", port, "--journal", "journal.jsonl", "write", "--echo", k % 2 ? "on" : "off"});
      EXPECT_EQ(run.exitCode, 0) << Describe(run);
    }
  };
  std::thread first(writes, "COM9");
  std::thread second(writes, "COM10");
  first.join();
  second.join();
  const std::string text = ReadText("journal.jsonl");
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2 * kEach) << text;
  EXPECT_EQ(text.find('\r'), std::string::npos);  // LF on every system

  CtlRun run = Ctl({"report", "journal.jsonl", "--verify"});
  EXPECT_EQ(run.exitCode, 0) << Describe(run);
  run = Ctl({"report", "journal.jsonl", "--csv"});
  ASSERT_EQ(run.exitCode, 0) << Describe(run);
  EXPECT_EQ(run.out.rfind("\xEF\xBB\xBF", 0), 0u);
  size_t rows = 0;
  for (size_t at = 0; (at = run.out.find("\r\n", at)) != std::string::npos; at += 2) ++rows;
  EXPECT_EQ(rows, 1u + 2 * kEach) << run.out;
  EXPECT_EQ(run.out.find("\r\r"), std::string::npos);

  // A line edited by hand breaks the chain at the line after it.
  std::string edited = text;
  edited.replace(edited.find("\"write\""), 7, "\"wrote\"");
  WriteFile("journal.jsonl", Data(edited.begin(), edited.end()));
  run = Ctl({"report", "journal.jsonl", "--verify"});
  EXPECT_EQ(run.exitCode, 8) << Describe(run);
  EXPECT_NE(run.out.find("Строка 2:"), std::string::npos) << run.out;
}

// Without --journal, the user's own: %LOCALAPPDATA%\rs485setup, which Wine
// keeps in its prefix (it sets the variable itself, whatever the
// environment says).
TEST_F(CtlUnderWine, TheUsersJournalIsInTheLocalApplicationDataFolder) {
  const CtlRun run = Ctl({"--port", "COM9", "write", "--baud", "1234500"});
  ASSERT_EQ(run.exitCode, 0) << Describe(run);
  bool found = false;
  for (const auto& user : std::filesystem::directory_iterator(com.prefix + "/drive_c/users")) {
    const std::string text = ReadText((user.path() / "AppData/Local/rs485setup/journal.jsonl").string());
    found = found || text.find("\"baud\":1234500") != std::string::npos;
  }
  EXPECT_TRUE(found);
}

}  // namespace
