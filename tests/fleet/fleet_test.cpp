// The fleet engine's events for recorded worker outputs: converters planted
// in a sysfs tree of our own, and a stand-in worker (fake_worker.cpp) that
// prints what each case recorded. rs485ctl's own tests serve real simulated
// converters through the same engine.

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "fleet/fleet.h"
#include "fleet/plan.h"
#include "ops/messages.h"
#include "support/scratch_dir.h"
#include "support/sysfs_tree.h"

namespace {

using Lines = std::vector<std::string>;

// An event as the cases write them.
std::string Said(const FleetEvent& e) {
  const std::string step = FleetStepCommand(e.step);
  switch (e.kind) {
    case FleetEventKind::UnitStarted: return "unit " + std::string(e.converter.serial) + " " + step;
    case FleetEventKind::StepStarted: return "next " + step;
    case FleetEventKind::Progress:
      return "progress " + std::string(FleetPhaseNames[e.phase]) + " " + std::to_string(e.recordsSent) + "/" +
             std::to_string(e.recordsTotal);
    case FleetEventKind::StepEnded:
      return "done " + step + " " + std::to_string(e.exitCode) + (e.error.empty() ? "" : " " + e.error + " / " + e.reason);
    case FleetEventKind::UnitEnded: return "ended " + e.result + " " + std::to_string(e.exitCode);
    case FleetEventKind::Stopping: return "stopping";
    case FleetEventKind::NotInPlan: return "not in plan " + std::string(e.converter.serial);
    case FleetEventKind::Finished:
      return "finished " + std::to_string(e.ok) + "/" + std::to_string(e.total) + " " + std::to_string(e.exitCode);
  }
  return "?";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteScript(const std::string& path, const Lines& lines) {
  std::ofstream out(path);
  for (const std::string& line : lines) out << line << "\n";
}

class Fleet : public ::testing::Test {
 protected:
  void SetUp() override {
    tree.AddConverter("1-1", "ttyACM0");
    tree.WriteFile(tree.UsbDir("1-1") + "/serial", "SN1\n");
  }

  FleetJob Job(std::vector<FleetStep> steps) {
    FleetJob job;
    job.steps = std::move(steps);
    job.image = "fw.bin";
    std::ofstream("fw.bin") << "an image";
    return job;
  }

  // Polls until done() holds for what was said, at most 20 s; what was said.
  static Lines PollUntil(FleetEngine& engine, Lines& said, const std::function<bool()>& done) {
    std::vector<FleetEvent> events;
    for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         !done() && std::chrono::steady_clock::now() < until;
         std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
      events.clear();
      engine.Poll(events);
      for (const FleetEvent& e : events) said.push_back(Said(e));
    }
    return said;
  }

  static bool Has(const Lines& said, const std::string& prefix) {
    for (const std::string& line : said)
      if (line.rfind(prefix, 0) == 0) return true;
    return false;
  }

  ScratchDir scratch;  // the working folder: the scripts and calls.log
  SysfsTree tree;
};

const std::string kDone =
    R"({"port":"ttyACM0","file":"fw.bin","result":"done","records_sent":8,"records_total":8,"bytes_sent":2000,"error":null,"reason":null})";
const std::string kSettings =
    R"({"port":"ttyACM0","written":true,"baud":9600,"parity":"odd","data_bits":8,"stop_bits":1,"echo_suppression":false,"raw":"60 00 00 08 4F 80","verified":true})";

TEST_F(Fleet, EachRecordedWorkerOutputBecomesItsEvents) {
  const std::string sending = R"({"event":"progress","port":"ttyACM0","phase":"sending","records_sent":2,"records_total":8})";
  const std::string left = MsgUpdateModeLeft;
  const struct {
    const char* what;
    std::vector<FleetStep> steps;
    std::map<std::string, Lines> scripts;  // by file name
    int stops;                             // requests to stop once the first progress came
    Lines said;
    const char* call;  // found in the workers' command lines
  } cases[] = {
      {"an update, then a write",
       {FleetStep::Flash, FleetStep::Write},
       {{"SN1.flash", {R"({"event":"progress","port":"ttyACM0","phase":"entering","records_sent":0,"records_total":8})",
                       "not JSON, passed over", sending + "\r", kDone}},
        {"SN1.write", {kSettings}}},
       0,
       {"unit SN1 flash", "progress entering 0/8", "progress sending 2/8", "done flash 0", "next write", "done write 0",
        "ended ok 0", "finished 1/1 0"},
       // The image's hash as read at the start: a file changed since is refused.
       "--serial SN1 --location 1-1 --settle-ms 5000 --sha256 "
       "a5df3fde7b200c3fa2791144c7e05c5c2bced4c6ad863d3a4cf76c972c1712f9 flash -- fw.bin"},
      {"a failed update ends the unit",
       {FleetStep::Flash, FleetStep::Write},
       {{"SN1.flash", {sending, R"({"port":"ttyACM0","error":"Timeout","reason":"no answer"})", "!exit 6"}}},
       0,
       {"unit SN1 flash", "progress sending 2/8", "done flash 6 Timeout / no answer", "ended failed 6", "finished 0/1 6"},
       ""},
      {"a read whose worker dies unheard",
       {FleetStep::Read},
       {{"SN1.read", {"!exit 9"}}},
       0,
       {"unit SN1 read", "done read 4 " + std::string(MsgWorkerSilent) + " / " + MsgWorkerExitReason(9), "ended failed 4",
        "finished 0/1 4"},
       ""},
      {"an update whose worker dies: its converter is released by a worker",
       {FleetStep::Flash},
       {{"SN1.flash", {sending, "!exit 137"}}, {"SN1.leave", {R"({"left":true,"reason":null})"}}},
       0,
       {"unit SN1 flash", "progress sending 2/8",
        "done flash 6 " + std::string(MsgWorkerSilent) + " / " + MsgWorkerExitReason(137) + " " + left, "ended failed 6",
        "finished 0/1 6"},
       "--serial SN1 --location 1-1 --settle-ms 5000 leave"},
      {"a converter that could not be released says why",
       {FleetStep::Flash},
       {{"SN1.flash", {sending, "!exit 137"}}, {"SN1.leave", {R"({"left":false,"reason":"gone"})", "!exit 3"}}},
       0,
       {"unit SN1 flash", "progress sending 2/8",
        "done flash 6 " + std::string(MsgWorkerSilent) + " / " + MsgWorkerExitReason(137) + " " +
            MsgUpdateModeNotLeft("gone"),
        "ended failed 6", "finished 0/1 6"},
       ""},
      {"a first request: the update ends in order",
       {FleetStep::Flash, FleetStep::Write},
       {{"SN1.flash",
         {sending, "!wait-stop", R"({"port":"ttyACM0","error":"Прошивка прервана","reason":"left"})", "!exit 130"}}},
       1,
       {"unit SN1 flash", "progress sending 2/8", "stopping", "done flash 130 Прошивка прервана / left",
        "ended interrupted 130", "finished 0/1 130"},
       ""},
      {"a second request: the update ends at once, its converter released without a wait",
       {FleetStep::Flash},
       {{"SN1.flash", {sending, "!hang"}}, {"SN1.leave", {R"({"left":true,"reason":null})"}}},
       2,
       {"unit SN1 flash", "progress sending 2/8", "stopping",
        "done flash 130 " + std::string(MsgUpdateInterrupted) + " / " + MsgRecordsSent(2, 8) + ". " + left,
        "ended interrupted 130", "finished 0/1 130"},
       "--serial SN1 --location 1-1 --settle-ms 0 leave"},
  };
  for (const auto& c : cases) {
    std::filesystem::remove("calls.log");
    for (const auto& [file, lines] : c.scripts) WriteScript(file, lines);
    FleetEngine engine(Job(c.steps), FAKE_WORKER_PATH);
    std::string message, reason;
    ASSERT_TRUE(engine.Start(message, reason)) << c.what << ": " << message;
    Lines said;
    PollUntil(engine, said, [&] { return Has(said, "progress") || Has(said, "finished"); });
    for (int k = 0; k < c.stops; ++k) engine.RequestStop();
    PollUntil(engine, said, [&] { return engine.Finished(); });
    EXPECT_EQ(said, c.said) << c.what;
    EXPECT_NE(ReadFile("calls.log").find(c.call), std::string::npos) << c.what << "\n" << ReadFile("calls.log");
    for (const auto& script : c.scripts) std::filesystem::remove(script.first);
  }
}

// The converter a dead worker left in its update mode is released by a worker
// of its own: however long that takes (here it looks for a converter that
// re-enumerates, for up to ten minutes), the engine goes on answering at once.
// watch with a plan: each converter does what its row calls for, with its
// row's settings and image; one the plan does not name is told once, and
// again only once it was unplugged and plugged in again.
TEST_F(Fleet, APlanGivesEachUnitItsRowAndTellsTheOthersOnce) {
  tree.AddConverter("1-2", "ttyACM1");
  tree.WriteFile(tree.UsbDir("1-2") + "/serial", "SN2\n");
  std::ofstream(scratch.path() + "/fw.bin") << "an image";
  auto plan = std::make_shared<FleetPlan>();
  FleetPlanProblem problem;
  ASSERT_TRUE(FleetPlanParse("serial,image,parity\nSN1,fw.bin,odd\nSN9,,even\n", scratch.path(), *plan, problem))
      << FleetPlanProblemText(problem);
  WriteScript("SN1.flash", {kDone});
  WriteScript("SN1.write", {kSettings});
  FleetJob job;
  job.steps = {FleetStep::Flash, FleetStep::Write};
  job.watch = true;
  job.plan = FleetPlanLookup(plan, job.steps, true);
  FleetEngine engine(job, FAKE_WORKER_PATH);
  std::string message, reason;
  ASSERT_TRUE(engine.Start(message, reason)) << message;
  Lines said;
  PollUntil(engine, said, [&] { return Has(said, "ended"); });
  // Searches twice a second: a few more go by without a word of SN2.
  const auto calm = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  PollUntil(engine, said, [&] { return std::chrono::steady_clock::now() > calm; });
  tree.Unplug("1-2");
  const auto away = std::chrono::steady_clock::now() + std::chrono::milliseconds(1200);
  PollUntil(engine, said, [&] { return std::chrono::steady_clock::now() > away; });
  tree.AddConverter("1-2", "ttyACM1");
  tree.WriteFile(tree.UsbDir("1-2") + "/serial", "SN2\n");
  PollUntil(engine, said, [&] { return std::count(said.begin(), said.end(), "not in plan SN2") == 2; });
  engine.RequestStop();
  PollUntil(engine, said, [&] { return engine.Finished(); });
  EXPECT_EQ(std::count(said.begin(), said.end(), "not in plan SN2"), 2) << ::testing::PrintToString(said);
  said.erase(std::remove(said.begin(), said.end(), "not in plan SN2"), said.end());
  EXPECT_EQ(said, (Lines{"unit SN1 flash", "done flash 0", "next write", "done write 0", "ended ok 0", "stopping",
                         "finished 1/1 130"}));
  const std::string calls = ReadFile("calls.log");
  EXPECT_NE(calls.find("flash -- " + scratch.path() + "/fw.bin"), std::string::npos) << calls;
  EXPECT_NE(calls.find("--parity odd write"), std::string::npos) << calls;
  EXPECT_EQ(calls.find("SN2"), std::string::npos) << calls;
}

TEST_F(Fleet, AReleaseNeverHoldsThePollUp) {
  WriteScript("SN1.flash", {R"({"event":"progress","port":"ttyACM0","phase":"waiting","records_sent":0,"records_total":8})",
                            "!wait-file die", "!exit 137"});
  WriteScript("SN1.leave", {"!wait-file go", R"({"left":true,"reason":null})"});
  FleetJob job = Job({FleetStep::Flash});
  job.settleMs = 600000;
  FleetEngine engine(job, FAKE_WORKER_PATH);
  std::string message, reason;
  ASSERT_TRUE(engine.Start(message, reason)) << message;
  Lines said;
  PollUntil(engine, said, [&] { return Has(said, "progress"); });
  tree.Unplug("1-1");  // away while it comes back in its update mode
  std::ofstream("die").close();
  PollUntil(engine, said, [&] { return ReadFile("calls.log").find("leave") != std::string::npos; });
  EXPECT_NE(ReadFile("calls.log").find("--settle-ms 600000 leave"), std::string::npos) << ReadFile("calls.log");
  EXPECT_FALSE(Has(said, "done")) << "the step ends once its converter is released";
  std::ofstream("go").close();
  PollUntil(engine, said, [&] { return engine.Finished(); });
  EXPECT_TRUE(Has(said, "done flash 6 " + std::string(MsgWorkerSilent) + " / " + MsgWorkerExitReason(137) + " " +
                            MsgUpdateModeLeft))
      << ::testing::PrintToString(said);
}

// An engine let go in the middle of a run stops it as two requests would:
// the update's worker ends, its converter is released, and no process of
// the run is left.
TEST_F(Fleet, AnEngineLetGoLeavesNoWorkerBehind) {
  WriteScript("SN1.flash", {R"({"event":"progress","port":"ttyACM0","phase":"sending","records_sent":1,"records_total":8})",
                            "!hang"});
  WriteScript("SN1.leave", {R"({"left":true,"reason":null})"});
  {
    FleetEngine engine(Job({FleetStep::Flash}), FAKE_WORKER_PATH);
    std::string message, reason;
    ASSERT_TRUE(engine.Start(message, reason)) << message;
    Lines said;
    PollUntil(engine, said, [&] { return Has(said, "progress"); });
  }
  EXPECT_NE(ReadFile("calls.log").find("--settle-ms 0 leave"), std::string::npos) << ReadFile("calls.log");
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD) << "a worker of the run is still there";
}

// The converters found, served at most one at a time: each unit starts only
// once the one before it has ended, in the order found.
TEST_F(Fleet, TheConvertersFoundWaitTheirTurnUnderABound) {
  for (const char* n : {"2", "3"}) {
    tree.AddConverter(std::string("1-") + n, std::string("ttyACM") + n);
    tree.WriteFile(tree.UsbDir(std::string("1-") + n) + "/serial", std::string("SN") + n + "\n");
  }
  for (const char* n : {"1", "2", "3"}) WriteScript(std::string("SN") + n + ".read", {kSettings});
  FleetJob job = Job({FleetStep::Read});
  job.jobs = 1;
  FleetEngine engine(job, FAKE_WORKER_PATH);
  std::string message, reason;
  ASSERT_TRUE(engine.Start(message, reason)) << message;
  Lines said;
  PollUntil(engine, said, [&] { return engine.Finished(); });
  const Lines expected = {"unit SN1 read", "done read 0", "ended ok 0", "unit SN2 read", "done read 0", "ended ok 0",
                          "unit SN3 read", "done read 0", "ended ok 0", "finished 3/3 0"};
  EXPECT_EQ(said, expected);
}

// Nothing is started before what can be checked is: the image whole and of
// the hash given, the journal, and for a run of the converters present, one
// being there.
TEST_F(Fleet, StartRefusesBeforeAnyWorkerStarts) {
  const struct {
    const char* what;
    std::function<void(FleetJob&)> change;
    int exitCode;
    const char* message;
  } cases[] = {
      {"an empty image", [](FleetJob&) { std::ofstream("fw.bin").close(); }, FleetFirmware, MsgFirmwareEmpty},
      {"no converter of that serial number", [](FleetJob& job) { job.serial = "SN9"; }, FleetAbsent, MsgNoDevice},
      {"an image of another hash", [](FleetJob& job) { job.sha256 = std::string(64, 'a'); }, FleetFirmware,
       MsgImageHashMismatch},
      {"a journal that cannot be created",
       [](FleetJob& job) {
         job.operation = "flash";
         job.journal = "no/such/folder/journal.jsonl";
       },
       FleetUsage, MsgJournalOpenFailed},
  };
  for (const auto& c : cases) {
    FleetJob job = Job({FleetStep::Flash});
    c.change(job);
    FleetEngine engine(job, FAKE_WORKER_PATH);
    std::string message, reason;
    EXPECT_FALSE(engine.Start(message, reason)) << c.what;
    EXPECT_EQ(engine.ExitCode(), c.exitCode) << c.what;
    EXPECT_EQ(message, c.message) << c.what;
  }
  EXPECT_FALSE(std::filesystem::exists("calls.log"));
}

}  // namespace
