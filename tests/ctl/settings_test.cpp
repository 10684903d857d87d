// rs485ctl read and write against the simulated converter on a
// pseudo-terminal: what is shown, what reaches the converter, and every way
// it can fail.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ops/messages.h"
#include "ctl_fixture.h"
#include "ports/ms_clock.h"
#include "ports/port_table.h"
#include "sim/sim_serve.h"
#include "support/scratch_dir.h"

namespace {

using Args = std::vector<std::string>;

// 115200 baud, a Spare byte and low flag bits the tool knows nothing of.
constexpr SimSettings kOdd = {0x80, 0x04, 0x5A, 0x07, 'E', 0xD5};

class CtlSettings : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sim.Ok()); }

  CtlRun Ctl(Args args) {
    args.insert(args.begin(), {"--port", sim.PortName()});
    return RunCtl(args);
  }

  // The requests the converter received since the mark, as kind, address and length.
  std::vector<std::string> RequestsSince(size_t mark) {
    std::vector<std::string> seen;
    const SimSnapshot snapshot = sim.Converter().Snapshot();
    for (size_t k = mark; k < snapshot.requests.size(); ++k) {
      const SimRequest& r = snapshot.requests[k];
      char text[64];
      std::snprintf(text, sizeof text, "%s %06X %u", r.kind == SimRequestKind::MemoryRead ? "read" : "write",
                    r.address, r.length);
      seen.push_back(text);
    }
    return seen;
  }
  size_t RequestCount() { return sim.Converter().Snapshot().requests.size(); }

  ScratchDir dir;
  SimDevice sim;
};

// A result that cannot be written is a failure, and never lands in a file
// opened later (the log "port.out" would take a closed standard output's place).
TEST_F(CtlSettings, AResultThatCannotBeWrittenIsAFailure) {
  for (const auto kind : {SpawnOptions::StdoutClosed, SpawnOptions::StdoutReaderGone}) {
    const CtlRun run = RunToEnd({CtlPath(), "--port", sim.PortName(), "--json", "read"}, 30000, {.env = {}, .stdoutKind = kind});
    EXPECT_EQ(run.exitCode, 7) << kind << "\n" << Describe(run);
  }
  EXPECT_EQ(std::filesystem::file_size("port.out"), 2 * 20u);  // a banner per start, nothing else
}

TEST_F(CtlSettings, ReadShowsTheRecordAsTheWindowDoes) {
  sim.Converter().SetSettings(kOdd);
  const CtlRun text = Ctl({"read"});
  ASSERT_EQ(text.exitCode, 0) << Describe(text);
  EXPECT_EQ(text.out,
            "Порт: " + sim.PortName() +
                "\n"
                "Скорость обмена 485 <-> ТП: 115200\n"
                "Чётность: Even\n"
                "Длина посылки: 7\n"
                "2 стоп-бита: да\n"
                "Подавление эхо ТП: да\n"
                "Запись: 80 04 5A 07 45 D5\n");
  EXPECT_EQ(text.err, "");

  const CtlRun json = Ctl({"read", "--json"});
  ASSERT_EQ(json.exitCode, 0) << Describe(json);
  Json value;
  ASSERT_TRUE(OneJsonObject(json.out, value));
  EXPECT_EQ(value["port"].text, sim.PortName());
  EXPECT_EQ(value["written"].kind, Json::Bool);
  EXPECT_FALSE(value["written"].boolean);
  EXPECT_EQ(value["baud"].number, 115200);
  EXPECT_EQ(value["parity"].text, "even");
  EXPECT_EQ(value["data_bits"].number, 7);
  EXPECT_EQ(value["stop_bits"].number, 2);
  EXPECT_TRUE(value["echo_suppression"].boolean);
  EXPECT_EQ(value["raw"].text, "80 04 5A 07 45 D5");

  // The window's own readings of odd records: 57 shows as 5760, bytes it does
  // not know as "None" and "9".
  sim.Converter().SetSettings({57, 0x00, 0x00, 0x05, 'x', 0x00});
  const CtlRun odd = Ctl({"--json", "read"});
  ASSERT_TRUE(OneJsonObject(odd.out, value)) << Describe(odd);
  EXPECT_EQ(value["baud"].number, 5760);
  EXPECT_EQ(value["parity"].text, "none");
  EXPECT_EQ(value["data_bits"].number, 9);
  EXPECT_EQ(value["stop_bits"].number, 1);
  EXPECT_FALSE(value["echo_suppression"].boolean);
  EXPECT_EQ(value["raw"].text, "39 00 00 05 78 00");

  // Reading never writes.
  const SimCounters counters = sim.Converter().Counters();
  EXPECT_EQ(counters.memoryReads, 3u);
  EXPECT_EQ(counters.memoryWrites + counters.writesRefused + counters.controlWrites, 0u);
}

TEST_F(CtlSettings, ThePortMayBeNamedEveryWayASerialDeviceIs) {
  const std::string link = dir.path() + "/usb-converter-if00";
  std::filesystem::create_symlink(sim.Path(), link);  // as /dev/serial/by-id/ holds them
  for (const std::string& name : {sim.PortName(), sim.Path(), link}) {
    for (const Args& args : {Args{"--port", name, "read"}, Args{"--port=" + name, "--json", "read"},
                             Args{"read", "--port", name}}) {
      const CtlRun run = RunCtl(args);
      EXPECT_EQ(run.exitCode, 0) << CtlCommandLine(args) << "\n" << Describe(run);
      EXPECT_NE(run.out.find(name), std::string::npos) << CtlCommandLine(args);
      EXPECT_NE(run.out.find("60 00 00 08 4E 80"), std::string::npos) << CtlCommandLine(args);
    }
  }
}

TEST_F(CtlSettings, WriteChangesWhatIsNamedAndKeepsTheRest) {
  struct Case {
    Args options;
    SimSettings before;
    SimSettings after;
  };
  constexpr SimSettings base = {0x60, 0x00, 0xA5, 0x08, 'N', 0x80 | 0x3F};
  const std::vector<Case> cases = {
      {{}, base, base},  // written back as read, as "Записать" without edits does
      {{"--baud", "19200"}, base, {0xC0, 0x00, 0xA5, 0x08, 'N', 0xBF}},
      {{"--baud=5760"}, base, {57, 0x00, 0xA5, 0x08, 'N', 0xBF}},
      {{"--baud", "6553500"}, base, {0xFF, 0xFF, 0xA5, 0x08, 'N', 0xBF}},
      {{"--baud", "100"}, base, {0x01, 0x00, 0xA5, 0x08, 'N', 0xBF}},
      {{"--parity", "none"}, kOdd, {0x80, 0x04, 0x5A, 0x07, 'N', 0xD5}},
      {{"--parity", "even"}, base, {0x60, 0x00, 0xA5, 0x08, 'E', 0xBF}},
      {{"--parity", "odd"}, base, {0x60, 0x00, 0xA5, 0x08, 'O', 0xBF}},
      {{"--parity", "Mark"}, base, {0x60, 0x00, 0xA5, 0x08, 'M', 0xBF}},
      {{"--parity", "SPACE"}, base, {0x60, 0x00, 0xA5, 0x08, 'Z', 0xBF}},
      {{"--bits", "7"}, base, {0x60, 0x00, 0xA5, 0x07, 'N', 0xBF}},
      {{"--bits", "9"}, base, {0x60, 0x00, 0xA5, 0x09, 'N', 0xBF}},
      {{"--bits", "8"}, kOdd, {0x80, 0x04, 0x5A, 0x08, 'E', 0xD5}},
      {{"--stop", "2"}, base, {0x60, 0x00, 0xA5, 0x08, 'N', 0xFF}},
      {{"--stop", "1"}, kOdd, {0x80, 0x04, 0x5A, 0x07, 'E', 0x95}},
      {{"--echo", "off"}, base, {0x60, 0x00, 0xA5, 0x08, 'N', 0x3F}},
      {{"--echo", "on"}, {0x60, 0x00, 0x00, 0x08, 'N', 0x01}, {0x60, 0x00, 0x00, 0x08, 'N', 0x81}},
      {{"--baud=57600", "--parity=odd", "--bits=7", "--stop=2", "--echo=off"},
       base,
       {0x40, 0x02, 0xA5, 0x07, 'O', 0x7F}},
      // Data the window cannot show survive a write that does not name them.
      {{"--baud", "9600"}, {0x00, 0x00, 0x11, 0x05, 'x', 0x00}, {0x60, 0x00, 0x11, 0x05, 'x', 0x00}},
      {{"--bits", "8"}, {0x00, 0x00, 0x11, 0x05, 'x', 0x00}, {0x00, 0x00, 0x11, 0x08, 'x', 0x00}},
  };
  for (const Case& c : cases) {
    const std::string line = CtlCommandLine(c.options);
    sim.Converter().SetSettings(c.before);
    const size_t mark = RequestCount();
    const size_t controls = sim.Converter().Snapshot().controlWrites.size();
    Args args = {"write"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const CtlRun run = Ctl(args);
    ASSERT_EQ(run.exitCode, 0) << line << "\n" << Describe(run);
    EXPECT_EQ(run.err, "") << line;
    EXPECT_EQ(BytesOf(sim.Converter().Settings()), BytesOf(c.after)) << line;
    // Read, write the record, the one-byte write of its first byte, and the
    // record read back.
    EXPECT_EQ(RequestsSince(mark),
              (std::vector<std::string>{"read 000000 6", "write 000000 6", "write 8FFFFF 1", "read 000000 6"}))
        << line;
    const SimSnapshot snapshot = sim.Converter().Snapshot();
    ASSERT_EQ(snapshot.controlWrites.size(), controls + 1) << line;
    EXPECT_EQ(snapshot.controlWrites.back(), c.after[0]) << line;
    EXPECT_EQ(run.out.rfind("Порт: " + sim.PortName() + " (записано)\n", 0), 0u) << line << "\n" << run.out;
  }

  sim.Converter().SetSettings(base);
  const CtlRun json = Ctl({"write", "--json", "--baud", "38400", "--stop", "2"});
  Json value;
  ASSERT_TRUE(OneJsonObject(json.out, value)) << Describe(json);
  EXPECT_TRUE(value["written"].boolean);
  EXPECT_EQ(value["baud"].number, 38400);
  EXPECT_EQ(value["stop_bits"].number, 2);
  EXPECT_EQ(value["raw"].text, "80 01 A5 08 4E FF");
}

TEST_F(CtlSettings, AProfileIsWhatReadPrintsAndOnlyItsKeysAreApplied) {
  sim.Converter().SetSettings(kOdd);
  const CtlRun read = Ctl({"--json", "read"});
  ASSERT_EQ(read.exitCode, 0) << Describe(read);
  const auto save = [](const std::string& name, const std::string& text) { WriteFile(name, Data(text.begin(), text.end())); };
  save("odd.json", read.out);
  save("parity.json", "{\"parity\": \"Odd\"}");
  save("notepad.json", "\xEF\xBB\xBF{\"parity\": \"Odd\"}");  // a byte-order mark first
  const struct {
    Args args;
    SimSettings after;  // from the default record
  } cases[] = {
      // Spare and the flag bits the window does not show are the converter's own.
      {{"write", "--from", "odd.json"}, {0x80, 0x04, 0x00, 0x07, 'E', 0xC0}},
      {{"write", "--from", "parity.json"}, {0x60, 0x00, 0x00, 0x08, 'O', 0x80}},
      {{"write", "--from", "notepad.json"}, {0x60, 0x00, 0x00, 0x08, 'O', 0x80}},
      {{"write", "--from", "odd.json", "--bits", "8"}, {0x80, 0x04, 0x00, 0x08, 'E', 0xC0}},  // the command line wins
  };
  for (const auto& c : cases) {
    sim.Converter().SetSettings(SimDefaultSettings);
    const CtlRun run = Ctl(c.args);
    EXPECT_EQ(run.exitCode, 0) << CtlCommandLine(c.args) << "\n" << Describe(run);
    EXPECT_EQ(BytesOf(sim.Converter().Settings()), BytesOf(c.after)) << CtlCommandLine(c.args);
  }

  // A profile that is not one is refused before the converter hears a byte.
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"{\"baud\":9600,\"bauds\":19200}", "неизвестный ключ \"bauds\""},
      {"{\"baud\":14450}", "неверное значение ключа \"baud\""},
      {"{\"baud\":\"9600\"}", "неверное значение ключа \"baud\""},
      {"{\"parity\":\"x\"}", "неверное значение ключа \"parity\""},
      {"{\"data_bits\":6}", "неверное значение ключа \"data_bits\""},
      {"{\"echo_suppression\":1}", "неверное значение ключа \"echo_suppression\""},
      {"{\"stop_bits\":[2]}", "неверное значение ключа \"stop_bits\""},
      {"{\"parity\":\"odd\",\"parity\":\"even\"}", "ключ \"parity\" повторяется"},
      {"{\"parity\":\"odd\"", "ожидалось ',' или '}'"},
      {"[]", "ожидался объект JSON"},
  };
  const uint32_t heard = sim.Converter().Counters().bytesReceived;
  for (const auto& [text, problem] : bad) {
    save("bad.json", text);
    const CtlRun run = Ctl({"write", "--from", "bad.json"});
    EXPECT_EQ(run.exitCode, 2) << text << "\n" << Describe(run);
    EXPECT_EQ(run.err.rfind("rs485ctl: профиль bad.json: " + problem, 0), 0u) << run.err;
  }
  EXPECT_EQ(Ctl({"write", "--from", "missing.json"}).exitCode, 2);
  // Not a file at all: said in the user's words, and nothing waits on a FIFO.
  ASSERT_EQ(mkfifo("fifo.json", 0600), 0);
  ASSERT_EQ(mkdir("folder.json", 0700), 0);
  for (const char* path : {"fifo.json", "folder.json", "/dev/zero"}) {
    const CtlRun run = Ctl({"write", "--from", path});
    EXPECT_EQ(run.exitCode, 2) << path << "\n" << Describe(run);
    EXPECT_EQ(run.err, std::string("rs485ctl: профиль ") + path + ": это не обычный файл (папка, канал или устройство)\n");
  }
  EXPECT_EQ(sim.Converter().Counters().bytesReceived, heard);
}

TEST_F(CtlSettings, AWriteTheConverterDoesNotKeepIsAWriteFailureNamingTheFields) {
  SimFaults forgetting;
  forgetting.forgetWrites = true;  // acknowledged, never stored
  sim.Converter().SetFaults(forgetting);
  const CtlRun text = Ctl({"write", "--baud", "19200", "--echo", "off"});
  EXPECT_EQ(text.exitCode, 5) << Describe(text);
  EXPECT_EQ(text.err, std::string(MsgSettingsWriteFailed) + "\n" + MsgVerifyDiffers("baud, echo_suppression") + "\n");
  EXPECT_EQ(text.out, "");

  const CtlRun json = Ctl({"--json", "write", "--parity", "even"});
  EXPECT_EQ(json.exitCode, 5) << Describe(json);
  Json value;
  ASSERT_TRUE(OneJsonObject(json.out, value));
  EXPECT_EQ(value["error"].text, MsgSettingsWriteFailed);
  ASSERT_EQ(value["differs"].items.size(), 1u) << json.out;
  EXPECT_EQ(value["differs"].items[0].text, "parity");

  // Unchecked, the acknowledgement is all there is.
  EXPECT_EQ(Ctl({"write", "--no-verify", "--baud", "19200"}).exitCode, 0);
}

TEST_F(CtlSettings, AConverterThatFailsGivesTheWindowsMessageAndItsExitCode) {
  struct Case {
    const char* what;
    SimFaults faults;
    Args args;
    int exitCode;
    const char* message;
  };
  SimFaults corrupt, silent, refusing, halfAnswer;
  corrupt.corruptCrc = true;
  silent.silent = true;
  refusing.refuseWrites = true;
  halfAnswer.partial = 5;
  const std::vector<Case> cases = {
      {"check bytes wrong", corrupt, {"read"}, 4, MsgSettingsReadFailed},
      {"check bytes wrong, write", corrupt, {"write", "--baud", "19200"}, 4, MsgSettingsReadFailed},
      {"no answer", silent, {"read"}, 4, MsgSettingsReadFailed},
      {"half an answer", halfAnswer, {"write", "--echo", "off"}, 4, MsgSettingsReadFailed},
      {"writes refused", refusing, {"write", "--baud", "19200"}, 5, MsgSettingsWriteFailed},
  };
  for (const Case& c : cases) {
    sim.Converter().SetSettings(kOdd);
    sim.Converter().SetFaults(c.faults);
    const SimCounters before = sim.Converter().Counters();
    const CtlRun text = Ctl(c.args);
    EXPECT_EQ(text.exitCode, c.exitCode) << c.what << "\n" << Describe(text);
    EXPECT_EQ(text.err, std::string(c.message) + "\n") << c.what;
    EXPECT_EQ(text.out, "") << c.what;

    Args withJson = c.args;
    withJson.push_back("--json");
    const CtlRun json = Ctl(withJson);
    EXPECT_EQ(json.exitCode, c.exitCode) << c.what;
    Json value;
    ASSERT_TRUE(OneJsonObject(json.out, value)) << c.what;
    EXPECT_EQ(value["port"].text, sim.PortName()) << c.what;
    EXPECT_EQ(value["error"].text, c.message) << c.what;

    // Nothing was stored, and no closing write followed a failure.
    const SimCounters after = sim.Converter().Counters();
    EXPECT_EQ(BytesOf(sim.Converter().Settings()), BytesOf(kOdd)) << c.what;
    EXPECT_EQ(after.memoryWrites, before.memoryWrites) << c.what;
    EXPECT_EQ(after.controlWrites, before.controlWrites) << c.what;
  }
  // A converter that refuses writes still reads.
  sim.Converter().SetFaults(refusing);
  EXPECT_EQ(Ctl({"read"}).exitCode, 0);
}

TEST_F(CtlSettings, APortThatCannotBeUsedIsAPortErrorWithItsReason) {
  // The fixed message, then why and what to do.
  const struct {
    std::string name;
    const char* reason;
  } cases[] = {{"/dev/rs485-no-such-device", "Порт не найден."},
               {"ttyNOPE9", "Порт не найден."},
               {"TCPC_300.1.1.1:4001", "Неверное имя порта."},
               {"TCPC_127.0.0.1", "Неверное имя порта."}};
  for (const auto& c : cases) {
    for (const char* command : {"read", "write"}) {
      const CtlRun run = RunCtl({"--port", c.name, command});
      EXPECT_EQ(run.exitCode, 3) << c.name << " " << command << "\n" << Describe(run);
      EXPECT_EQ(run.err.rfind(std::string(MsgPortOpenFailed) + "\n" + c.reason, 0), 0u) << run.err;
      EXPECT_EQ(run.out, "") << c.name;
    }
  }

  // Another program holds the converter's port: busy, named, until it lets go.
  PortLayerInit();
  MsClockStart();
  PortId held = 0;
  ASSERT_EQ(PortOpen(held, sim.PortName().c_str()), 0);
  const CtlRun busy = Ctl({"read", "--json"});
  EXPECT_EQ(busy.exitCode, 3) << Describe(busy);
  Json value;
  ASSERT_TRUE(OneJsonObject(busy.out, value));
  EXPECT_EQ(value["error"].text, MsgPortOpenFailed);
  const std::string self = "(PID " + std::to_string(getpid()) + ")";
  EXPECT_NE(value["reason"].text.find(self), std::string::npos) << value["reason"].text;
  EXPECT_NE(busy.err.find(self), std::string::npos) << busy.err;
  PortClose(held);
  EXPECT_EQ(Ctl({"read"}).exitCode, 0);

  // A stub port opens, but no answer ever comes.
  const CtlRun stub = RunCtl({"--port", "STUB", "read"});
  EXPECT_EQ(stub.exitCode, 4) << Describe(stub);
  EXPECT_EQ(stub.err, std::string(MsgSettingsReadFailed) + "\n");
}

}  // namespace
