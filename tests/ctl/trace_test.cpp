// rs485ctl --trace against the simulated converter on a pseudo-terminal: the
// bytes on the wire in order with what they mean, a trace that cannot be
// written, and one whose file fills up.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "ctl_fixture.h"
#include "ops/messages.h"
#include "platform/files.h"
#include "ports/ms_clock.h"
#include "ports/port_table.h"
#include "sim/sim_serve.h"
#include "support/scratch_dir.h"

namespace {

using Args = std::vector<std::string>;

std::string Hex(const Data& bytes) {
  std::string text;
  for (const uint8_t b : bytes) {
    char hex[4];
    std::snprintf(hex, sizeof hex, text.empty() ? "%02X" : " %02X", b);
    text += hex;
  }
  return text;
}

class CtlTrace : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sim.Ok()); }
  CtlRun Traced(const std::string& trace, Args args) {
    args.insert(args.begin(), {"--trace", trace, "--port", sim.PortName()});
    return RunCtl(args);
  }

  ScratchDir dir;
  SimDevice sim;
};

TEST_F(CtlTrace, EveryByteGoesInOrderWithWhatItMeansAndRisingStamps) {
  WriteFile("fw.bin", MakeImage(272 + 100));
  const std::string read = "out 60 10 48 2C 02 00 00 00 00 00 06 F2 settings read: address 000000, 6 bytes, CRC";
  const std::string settings = "in " + Hex(BytesOf(SimDefaultSettings)) + " 73 6C A3 32 47 settings, CRC ok";
  const struct {
    Args command;
    std::vector<std::string> lines;  // event, bytes where short, meaning
  } cases[] = {
      {{"read"}, {"open ok", read, settings, "close "}},
      {{"write", "--baud", "19200"},
       {"open ok", read, settings, "out 60 10 40 3C 00 00 00 00 00 C0 06 F0 settings write: address 000000, 6 bytes",
        "out 00 00 08 4E 80 87 settings write: data", "in 00 acknowledgement",
        "out 60 10 40 3C 00 00 FF 8F FF C0 01 06 closing write: address 8FFFFF, 1 byte", "in 00 00 acknowledgement",
        read, "in C0 00 00 08 4E 80 60 6B 52 3C 17 settings, CRC ok", "close "}},  // read back to verify
      {{"flash", "fw.bin", "--settle-ms", "100"},
       {"open ok", "out 60 10 FA 49 update on", "close ", "open ok", "out 60 10 FA 49 update on",
        "out 60 10 F3 5B record follows", "out … record page 8 index 0", "in 00 record acknowledgement",
        "out 60 10 F3 5B record follows", "out … record page 8 index 1", "in 00 record acknowledgement",
        "out 60 10 F1 5F update off", "close "}},
  };
  for (const auto& c : cases) {
    const size_t before = sim.Converter().Snapshot().requests.size();
    const CtlRun run = Traced("trace.log", c.command);
    ASSERT_EQ(run.exitCode, 0) << CtlCommandLine(c.command) << "\n" << Describe(run);
    std::vector<std::string> lines;
    std::string out;
    long last = 0;
    for (const TraceLine& t : ParseTrace(ReadText("trace.log"))) {
      ASSERT_GE(t.ms, last) << "a stamp went back, or a line lacks its fields";
      last = t.ms;
      EXPECT_EQ(t.port, sim.PortName());
      lines.push_back(t.event + " " + (t.hex.size() > 60 ? "… " : t.hex.empty() ? "" : t.hex + " ") + t.meaning);
      if (t.event == "out") out += (out.empty() ? "" : " ") + t.hex;
    }
    EXPECT_EQ(lines, c.lines) << CtlCommandLine(c.command);
    // Out went exactly what the converter received, records included.
    const SimSnapshot seen = sim.Converter().Snapshot();
    Data received;
    for (size_t k = before; k < seen.requests.size(); ++k)
      received.insert(received.end(), seen.requests[k].bytes.begin(), seen.requests[k].bytes.end());
    EXPECT_EQ(out, Hex(received)) << CtlCommandLine(c.command);
  }
}

TEST_F(CtlTrace, FailuresAreNamedWhereTheyHappen) {
  const struct {
    SimFaults faults;
    bool held;
    std::string line;  // the line that tells: event, bytes, meaning as it begins
  } cases[] = {
      {{.corruptCrc = true}, false, "in 60 00 00 08 4E 80 72 6C A3 32 57 settings, CRC failure"},
      {{.partial = 5}, false, "timeout 60 00 00 08 4E no answer to settings read: 5 of 11 bytes in 369 ms"},
      {{}, true, "open  Порт занят программой "},
  };
  PortLayerInit();
  MsClockStart();
  for (const auto& c : cases) {
    sim.Converter().SetFaults(c.faults);
    PortId holder = 0;
    if (c.held) PortOpen(holder, sim.PortName().c_str());
    const CtlRun run = Traced("-", {"read"});  // standard error takes the trace
    PortClose(holder);
    bool told = false;
    for (const TraceLine& t : ParseTrace(run.err)) told = told || (t.event + " " + t.hex + " " + t.meaning).rfind(c.line, 0) == 0;
    EXPECT_TRUE(told) << c.line << "\n" << run.err;
  }
}

TEST_F(CtlTrace, AFileThatCannotBeWrittenIsRefusedBeforeTheConverterIsTouched) {
  const std::string fifo = dir.path() + "/fifo", port = dir.path() + "/port";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);  // nobody reads it: an open that waited would never end
  std::filesystem::create_symlink(sim.Path(), port);  // the converter's own port under another name
  for (const std::string& path : {dir.path() + "/no-such-folder/trace.log", dir.path(), fifo, port}) {
    const CtlRun run = RunCtl({"--trace", path, "--port", sim.PortName(), "read"}, {.timeoutMs = 10000});
    EXPECT_EQ(run.exitCode, 2) << Describe(run);
    EXPECT_EQ(run.err.rfind(std::string(MsgTraceOpenFailed) + "\nФайл " + path + " ", 0), 0u) << run.err;
  }
  EXPECT_EQ(sim.Converter().Counters().bytesReceived, 0u);
  EXPECT_FALSE(std::filesystem::exists("port.out")) << "the port layer started";
}

// The operation is never broken by its trace: it runs to its end, and then
// the user is told that the trace is incomplete and why.
TEST_F(CtlTrace, ATraceThatCouldNotBeWrittenIsToldAfterTheOperation) {
  const struct {
    Args before;        // what rs485ctl runs under
    std::string trace;
    int failure;        // the failed write's errno value; 0: the trace is whole
    size_t lines;       // whole lines in the trace file
  } cases[] = {
      {{}, "trace.log", 0, 4},
      {{}, "/dev/full", ENOSPC, 0},
      {{"/usr/bin/prlimit", "--fsize=60"}, "trace.log", EFBIG, 1},  // the limit falls inside the second line
  };
  for (const auto& c : cases) {
    Args argv = c.before;
    argv.insert(argv.end(), {CtlPath(), "--trace", c.trace, "--port", sim.PortName(), "--json", "read"});
    const CtlRun run = RunProgram(argv);
    EXPECT_EQ(run.exitCode, 0) << Describe(run);
    Json result;
    ASSERT_TRUE(OneJsonObject(run.out, result));
    EXPECT_EQ(result["raw"].text, "60 00 00 08 4E 80");
    const std::string reason = c.failure == 0 ? "" : MsgTraceWriteReason(c.trace, FileErrorText(c.failure));
    EXPECT_EQ(result.Has("trace_error"), c.failure != 0) << run.out;
    EXPECT_EQ(result["trace_error"].text, reason);
    EXPECT_EQ(run.err, c.failure == 0 ? "" : std::string(MsgTraceIncomplete) + "\n" + reason + "\n");
    if (c.trace == "/dev/full") continue;
    const std::string text = ReadText(c.trace);
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "cut inside a line:\n" << text;
    const std::vector<TraceLine> lines = ParseTrace(text);
    EXPECT_EQ(lines.size(), c.lines) << text;
    for (const TraceLine& t : lines) EXPECT_GE(t.ms, 0) << text;
  }
}

TEST_F(CtlTrace, APortNameWithTabsOrLineBreaksKeepsEveryLineInFiveFields) {
  const std::string name = dir.path() + "/con\tver\r\nter";
  std::filesystem::create_symlink(sim.Path(), name);
  const CtlRun run = RunCtl({"--trace", "-", "--port", name, "read"});
  ASSERT_EQ(run.exitCode, 0) << Describe(run);
  const std::vector<TraceLine> lines = ParseTrace(run.err);
  ASSERT_EQ(lines.size(), 4u) << run.err;
  for (const TraceLine& t : lines) EXPECT_EQ(t.port, dir.path() + "/con\\tver\\r\\nter") << run.err;
}

}  // namespace
