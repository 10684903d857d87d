// rs485ctl flash against the simulated converter on a pseudo-terminal. The
// converter's settling time is cut short with --settle-ms, except in one test
// that takes the real waits.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ops/firmware_upload.h"
#include "ops/messages.h"
#include "ctl_fixture.h"
#include "sim/sim_serve.h"
#include "support/scratch_dir.h"

namespace {

using Args = std::vector<std::string>;

class CtlFlash : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sim.Ok()); }

  CtlRun Flash(const std::string& file, Args more = {}, const CtlRunOptions& options = {}) {
    Args args = {"--port", sim.PortName(), "flash", file};
    args.insert(args.end(), more.begin(), more.end());
    return RunCtl(args, options);
  }

  std::string Image(const std::string& name, const Data& bytes) {
    const std::string path = dir.path() + "/" + name;
    WriteFile(path, bytes);
    return path;
  }

  // rs485ctl flash started, to be acted on while it runs.
  void Start(const std::string& file, const SpawnOptions& options = {}) {
    ASSERT_TRUE(running.Start({CtlPath(), "--port", sim.PortName(), "--settle-ms", "100", "flash", file}, options));
  }
  bool Heard(const std::function<bool(const SimCounters&)>& done) { return sim.Converter().WaitUntil(done, 10000); }
  bool RecordsHeard(uint32_t records) {
    return Heard([&](const SimCounters& c) { return c.recordsReceived >= records; });
  }

  ScratchDir dir;
  SimDevice sim;
  Spawned running;
};

// True once no signal of that number waits for the process: it has taken it.
bool SignalTaken(pid_t pid, int signal) {
  const uint64_t bit = uint64_t{1} << (signal - 1);
  for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
       std::chrono::steady_clock::now() < end; usleep(1000)) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    uint64_t pending = 0;
    for (std::string line; std::getline(status, line);)
      if (line.rfind("SigPnd:", 0) == 0 || line.rfind("ShdPnd:", 0) == 0) pending |= std::stoull(line.substr(7), nullptr, 16);
    if ((pending & bit) == 0) return true;
  }
  return false;
}

// What the converter holds after an update: whole records, the file first.
void ExpectImage(const SimSnapshot& snapshot, const Data& file) {
  const size_t records = (file.size() + 271) / 272;
  ASSERT_EQ(snapshot.image.size(), records * 272);
  EXPECT_EQ(Data(snapshot.image.begin(), snapshot.image.begin() + static_cast<long>(file.size())), file);
  // A short last piece keeps the previous record's bytes behind it.
  const size_t tail = file.size() % 272;
  if (records > 1 && tail != 0) {
    const auto at = [&](size_t offset) { return file.begin() + static_cast<long>(offset); };
    EXPECT_EQ(Data(snapshot.image.begin() + static_cast<long>(file.size()), snapshot.image.end()),
              Data(at(file.size() - 272), at((records - 1) * 272)));
  }
  std::vector<std::pair<int, int>> positions;
  for (const SimRequest& r : snapshot.requests)
    if (r.kind == SimRequestKind::Record) positions.emplace_back(r.page, r.index);
  std::vector<std::pair<int, int>> expected;
  for (size_t k = 0; k < records; ++k) expected.emplace_back(8 + static_cast<int>(k / 4), static_cast<int>(k % 4));
  EXPECT_EQ(positions, expected);
}

TEST_F(CtlFlash, ASmallImageReachesTheConverter) {
  const Data file = MakeImage(272 * 5 + 100);  // six records, the last one short
  const CtlRun run = Flash(Image("fw.bin", file), {"--settle-ms", "200"});
  ASSERT_EQ(run.exitCode, 0) << Describe(run);
  EXPECT_EQ(run.out, "Записей передано: 6 из 6 (1460 байт)\n");
  // Plain lines on a pipe: every phase, no terminal control, "finished" last.
  for (const UploadPhase phase : {UploadEntering, UploadWaiting, UploadSending, UploadFinishing})
    EXPECT_NE(run.err.find(UploadPhaseText(phase)), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("6/6 записей, 1460 байт"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find('\r'), std::string::npos);
  EXPECT_EQ(run.err.find('\033'), std::string::npos);
  EXPECT_EQ(run.err.size() - run.err.rfind("\nfinished\n"), std::string("\nfinished\n").size()) << run.err;

  const SimSnapshot snapshot = sim.Converter().Snapshot();
  EXPECT_EQ(snapshot.counters.updateEnters, 2u);  // before leaving the port and after coming back
  EXPECT_EQ(snapshot.counters.updateLeaves, 1u);
  EXPECT_EQ(snapshot.counters.recordsAcked, 6u);
  EXPECT_EQ(snapshot.counters.recordChecksumErrors + snapshot.counters.recordSequenceErrors, 0u);
  EXPECT_FALSE(snapshot.updateMode);
  ExpectImage(snapshot, file);
}

TEST_F(CtlFlash, JsonReportAndANameThatLooksLikeAnOption) {
  const Data file = MakeImage(272 * 2);
  Image("-fw.bin", file);
  const CtlRun run = RunCtl({"--json", "--port", sim.PortName(), "--settle-ms=100", "flash", "--", "-fw.bin"});
  ASSERT_EQ(run.exitCode, 0) << Describe(run);
  Json value;
  ASSERT_TRUE(OneJsonObject(run.out, value));
  EXPECT_EQ(value["port"].text, sim.PortName());
  EXPECT_EQ(value["file"].text, "-fw.bin");
  EXPECT_EQ(value["result"].text, "done");
  EXPECT_EQ(value["records_sent"].number, 2);
  EXPECT_EQ(value["records_total"].number, 2);
  EXPECT_EQ(value["bytes_sent"].number, 544);
  EXPECT_EQ(value["error"].kind, Json::Null);
  ExpectImage(sim.Converter().Snapshot(), file);
}

TEST_F(CtlFlash, AMissingAcknowledgementEndsTheUpdateAsTheWindowDoes) {
  SimFaults faults;
  faults.noAckAfter = 2;
  sim.Converter().SetFaults(faults);
  const std::string path = Image("fw.bin", MakeImage(272 * 5));

  const CtlRun text = Flash(path, {"--settle-ms", "100"});
  EXPECT_EQ(text.exitCode, 6) << Describe(text);
  EXPECT_EQ(text.out, "Записей передано: 2 из 5 (544 байт)\n");
  const size_t timeout = text.err.find(std::string("\n") + MsgTimeout + "\n");
  ASSERT_NE(timeout, std::string::npos) << text.err;
  EXPECT_GT(text.err.find("\nfinished\n"), timeout);
  // The converter was still told to leave its update mode.
  EXPECT_EQ(sim.Converter().Counters().updateLeaves, 1u);
  EXPECT_FALSE(sim.Converter().Snapshot().updateMode);

  const CtlRun json = Flash(path, {"--settle-ms", "100", "--json"});
  EXPECT_EQ(json.exitCode, 6) << Describe(json);
  Json value;
  ASSERT_TRUE(OneJsonObject(json.out, value));
  EXPECT_EQ(value["result"].text, "timeout");
  EXPECT_EQ(value["error"].text, MsgTimeout);
  EXPECT_EQ(value["records_sent"].number, 2);
  EXPECT_EQ(value["records_total"].number, 5);
}

// A file that cannot be sent is found out before the converter is switched
// into its update mode, which it would otherwise be left in.
TEST_F(CtlFlash, AnImageThatCannotBeSentLeavesTheConverterAlone) {
  const std::string empty = Image("empty.bin", {});
  const std::string huge = dir.path() + "/huge.bin";
  {
    // Sparse: page numbers would run out of 16 bits.
    const int fd = open(huge.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>((FirmwareMaxRecords + 1) * FirmwareRecordData)), 0);
    close(fd);
  }
  const std::string unreadable = Image("unreadable.bin", MakeImage(10));
  std::filesystem::permissions(unreadable, std::filesystem::perms::none);
  const bool rootReads = access(unreadable.c_str(), R_OK) == 0;

  struct Case {
    std::string file;
    std::string message;  // and the reason: where the file was looked for, what to do
  };
  const std::string here = std::filesystem::current_path().string();
  std::vector<Case> cases = {
      {"trelvo.bin", std::string(MsgFirmwareOpenFailed) + "\nФайл trelvo.bin не найден в папке " + here +
                         ". Положите файл прошивки туда и повторите."},  // the window's own text
      {dir.path() + "/missing.bin", std::string(MsgFileOpenFailed) + dir.path() +
                                        "/missing.bin\nФайл missing.bin не найден в папке " + dir.path()},
      {dir.path(), std::string(MsgFileOpenFailed) + dir.path() + "\n"},
      {"/dev/zero", std::string(MsgFileOpenFailed) + "/dev/zero\nzero в папке /dev — не обычный файл."},
      {empty, "Файл прошивки пуст\n"},
      {huge, std::string(MsgFirmwareTooLarge) + "\n"},
  };
  if (!rootReads)
    cases.push_back({unreadable, std::string(MsgFileOpenFailed) + unreadable + "\nНет прав на чтение файла"});
  for (const Case& c : cases) {
    const CtlRun run = Flash(c.file);
    EXPECT_EQ(run.exitCode, 6) << c.file << "\n" << Describe(run);
    EXPECT_EQ(run.err.rfind(c.message, 0), 0u) << c.file << "\n" << run.err;
    EXPECT_LT(run.elapsedMs, 4000) << c.file;  // no settling wait began
  }
  EXPECT_EQ(sim.Converter().Counters().bytesReceived, 0u);
  EXPECT_EQ(FirmwareOpenFailedText(FirmwareFileName), MsgFirmwareOpenFailed);
}

// What is sent is the file as it was when the update began, whatever happens
// to it meanwhile.
TEST_F(CtlFlash, AFileThatChangesWhileItIsSentIsSentAsItWas) {
  const Data file = MakeImage(272 * 12);
  for (const size_t changedTo : {272u * 3, 272u * 20}) {
    sim.Converter().SetFaults({.delayMs = 20});  // room to change the file between records
    const std::string path = Image("fw.bin", file);
    const uint32_t before = sim.Converter().Counters().recordsAcked;
    ASSERT_NO_FATAL_FAILURE(Start(path));
    ASSERT_TRUE(RecordsHeard(before + 2));
    std::filesystem::resize_file(path, changedTo);
    EXPECT_EQ(running.Finish(0, 30000), 0) << changedTo << "\n" << running.err;
    EXPECT_EQ(running.out, "Записей передано: 12 из 12 (3264 байт)\n") << changedTo;
    EXPECT_EQ(sim.Converter().Counters().recordsAcked - before, 12u) << changedTo;
    const Data image = sim.Converter().Snapshot().image;
    EXPECT_EQ(Data(image.begin(), image.begin() + static_cast<long>(std::min(image.size(), file.size()))), file);
  }
}

// Stopped on request, the update sends no further record, tells the converter
// to leave its update mode and says how far it came; a second request ends it
// at once.
TEST_F(CtlFlash, AnInterruptedUpdateLeavesTheConverterOutOfUpdateMode) {
  const std::string path = Image("fw.bin", MakeImage(272 * 40));
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    sim.Converter().SetFaults({.delayMs = 20});
    const SimCounters before = sim.Converter().Counters();
    ASSERT_NO_FATAL_FAILURE(Start(path));
    ASSERT_TRUE(RecordsHeard(before.recordsReceived + 3));
    EXPECT_EQ(running.Finish(signal, 10000), 130) << signal << "\n" << running.err;
    EXPECT_NE(running.err.find(std::string(MsgUpdateInterrupted) + "\nЗаписей передано: "), std::string::npos)
        << running.err;
    // The leave command may still be on its way to the converter's thread.
    EXPECT_TRUE(Heard([&](const SimCounters& c) { return c.updateLeaves > before.updateLeaves; })) << signal;
    const SimCounters after = sim.Converter().Counters();
    EXPECT_LT(after.recordsReceived - before.recordsReceived, 40u) << signal;
    EXPECT_EQ(after.updateLeaves - before.updateLeaves, 1u) << signal;
    EXPECT_FALSE(sim.Converter().Snapshot().updateMode) << signal;
  }

  // Two requests while the converter settles: no waiting for it.
  ASSERT_TRUE(running.Start({CtlPath(), "--port", sim.PortName(), "--settle-ms", "20000", "flash", path}));
  const uint32_t enters = sim.Converter().Counters().updateEnters;
  ASSERT_TRUE(Heard([&](const SimCounters& c) { return c.updateEnters > enters; }));
  const auto asked = std::chrono::steady_clock::now();
  kill(running.pid(), SIGINT);
  ASSERT_TRUE(SignalTaken(running.pid(), SIGINT));  // two pending ones would be one
  EXPECT_EQ(running.Finish(SIGINT, 10000), 130);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5));
}

// A process held up past a deadline (stopped, or starved on a busy machine)
// still takes the acknowledgement that came meanwhile.
TEST_F(CtlFlash, AnAcknowledgementThatCameWhileStoppedCounts) {
  sim.Converter().SetFaults({.delayMs = 100});
  ASSERT_NO_FATAL_FAILURE(Start(Image("fw.bin", MakeImage(272 * 6))));
  for (uint32_t record = 1; record <= 5; ++record) {
    ASSERT_TRUE(RecordsHeard(record));
    kill(running.pid(), SIGSTOP);
    const auto stopped = std::chrono::steady_clock::now();
    const uint32_t sent = sim.Converter().Counters().bytesSent;
    // Held until the acknowledgement was sent and the 500 ms wait for it is over.
    ASSERT_TRUE(Heard([&](const SimCounters& c) { return c.bytesSent > sent; }));
    std::this_thread::sleep_until(stopped + std::chrono::milliseconds(800));
    kill(running.pid(), SIGCONT);
  }
  EXPECT_EQ(running.Finish(0, 30000), 0) << running.err;
  EXPECT_EQ(sim.Converter().Counters().recordsAcked, 6u);
}

// On a terminal the progress is one line redrawn in place: it must fit the
// terminal's width, or every redraw starts a new line.
TEST_F(CtlFlash, TheProgressLineFitsTheTerminal) {
  const std::string path = Image("fw.bin", MakeImage(272 * 3));
  for (const int columns : {80, 40}) {
    ASSERT_NO_FATAL_FAILURE(Start(path, {.env = {}, .stderrTerminal = true, .terminalColumns = columns}));
    ASSERT_EQ(running.Finish(0, 30000), 0) << running.err;
    bool bar = false;
    size_t start = 0;
    for (size_t end; (end = running.err.find_first_of("\r\n", start)) != std::string::npos; start = end + 1) {
      const std::string line = running.err.substr(start, end - start);
      size_t shown = 0;
      for (const char c : line) shown += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
      EXPECT_LT(shown, static_cast<size_t>(columns)) << line;
      bar |= line.rfind("[", 0) == 0;
    }
    EXPECT_EQ(bar, columns == 80) << running.err;
  }
}

TEST_F(CtlFlash, APortThatCannotOpenIsAPortError) {
  const CtlRun run = RunCtl({"--port", "/dev/rs485-no-such-device", "flash", Image("fw.bin", MakeImage(300))});
  EXPECT_EQ(run.exitCode, 3) << Describe(run);
  EXPECT_EQ(run.err.rfind(std::string(MsgPortOpenFailed) + "\nПорт не найден.", 0), 0u) << run.err;
  EXPECT_LT(run.elapsedMs, 4000);
}

// The one test with the converter's real settling time: 5 s after switching
// it into update mode and 5 s after switching it back. On a terminal the
// progress is one bar redrawn in place.
TEST_F(CtlFlash, RealWaitsAndABarOnATerminal) {
  const Data file = MakeImage(272 * 3);
  CtlRunOptions options;
  options.stderrTerminal = true;
  options.timeoutMs = 60000;
  const CtlRun run = Flash(Image("fw.bin", file), {}, options);
  ASSERT_EQ(run.exitCode, 0) << Describe(run);
  EXPECT_GE(run.elapsedMs, 2 * FirmwareSettleMs - 100);
  EXPECT_LT(run.elapsedMs, 40000);
  EXPECT_NE(run.err.find("\r["), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("] 3/3 записей, 816 байт, "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("КиБ/с"), std::string::npos);
  EXPECT_NE(run.err.find("finished"), std::string::npos);
  ExpectImage(sim.Converter().Snapshot(), file);
}

}  // namespace
