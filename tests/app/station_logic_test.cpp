// The station's decisions, fed with recorded fleet events: what each slot
// shows and where, the counters, the JSON log, the start's checks, the close
// rules, and the command line.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/station_logic.h"
#include "ops/messages.h"
#include "support/scratch_dir.h"

namespace {

// What the engine said, one batch for each Poll.
struct Recording {
  std::vector<std::vector<FleetEvent>> batches;
  std::string refusal;  // Start fails with this message
  int made = 0;
  int stops = 0;
  FleetJob job;
};

class RecordedFleet : public StationFleet {
 public:
  explicit RecordedFleet(Recording& r) : r_(r) {}
  bool Start(std::string& message, std::string&) override {
    message = r_.refusal;
    return message.empty();
  }
  void Poll(std::vector<FleetEvent>& events) override {
    if (next_ < r_.batches.size()) events.insert(events.end(), r_.batches[next_].begin(), r_.batches[next_].end());
    ++next_;
  }
  void RequestStop() override { ++r_.stops; }

 private:
  Recording& r_;
  size_t next_ = 0;
};

// The window as a list of rows of text, changed only as the logic says.
struct RecordingView : StationView {
  std::vector<std::string> rows;  // "serial|location|step|progress|result"
  int32_t good = -1, failed = -1;
  std::vector<RunState> states;
  std::vector<std::string> messages;
  bool answer = false;
  int asked = 0, closed = 0;
  bool ticking = false;
  std::function<void()> whileAsking;

  void ShowSlot(size_t index, const StationSlot& slot, bool inserted) override {
    std::string row;
    for (int c = 0; c < StationColumnCount; ++c)
      row += (c ? "|" : "") + StationCellText(slot, static_cast<StationColumn>(c));
    if (inserted) rows.insert(rows.begin() + static_cast<std::ptrdiff_t>(index), row);
    else rows.at(index) = row;
  }
  void ShowCounts(int32_t g, int32_t f) override { good = g, failed = f; }
  void ShowRunState(RunState state) override { states.push_back(state); }
  void ShowMessage(const std::string& text, const std::string&) override { messages.push_back(text); }
  bool AskStopForClose() override {
    ++asked;
    if (whileAsking) whileAsking();
    return answer;
  }
  void StartTicking() override { ticking = true; }
  void StopTicking() override { ticking = false; }
  void CloseWindow() override { ++closed; }
};

FleetEvent Event(FleetEventKind kind, int32_t unit, const char* serial = "", const char* location = "") {
  FleetEvent e;
  e.kind = kind;
  e.unit = unit;
  std::snprintf(e.converter.serial, sizeof e.converter.serial, "%s", serial);
  std::snprintf(e.converter.location, sizeof e.converter.location, "%s", location);
  std::snprintf(e.converter.port, sizeof e.converter.port, "ttyACM%d", unit);
  e.step = FleetStep::Flash;
  return e;
}
FleetEvent Started(int32_t unit, const char* serial, const char* location) {
  return Event(FleetEventKind::UnitStarted, unit, serial, location);
}
FleetEvent Progress(int32_t unit, uint64_t sent, uint64_t total) {
  FleetEvent e = Event(FleetEventKind::Progress, unit);
  e.phase = UploadSending;
  e.recordsSent = sent;
  e.recordsTotal = total;
  return e;
}
FleetEvent Ended(FleetEventKind kind, int32_t unit, int exitCode, const char* error = "", const char* reason = "") {
  FleetEvent e = Event(kind, unit);
  e.exitCode = exitCode;
  e.error = error;
  e.reason = reason;
  e.elapsedMs = 1500;
  return e;
}
// A unit whose one step ended so.
std::vector<FleetEvent> Done(int32_t unit, int exitCode, const char* error = "", const char* reason = "") {
  return {Ended(FleetEventKind::StepEnded, unit, exitCode, error, reason),
          Ended(FleetEventKind::UnitEnded, unit, exitCode, error, reason)};
}
FleetEvent Finished() { return Ended(FleetEventKind::Finished, 0, FleetInterrupted); }

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Field(const std::string& line, const std::string& key) {
  const size_t at = line.find("\"" + key + "\":");
  if (at == std::string::npos) return "";
  const size_t from = at + key.size() + 3;
  return line.substr(from, line.find_first_of(",}", from) - from);
}

}  // namespace

TEST(StationLogic, SlotsOrderedByPlaceOnTheHub) {
  struct Case {
    const char* a;
    const char* b;
    bool before;
  } cases[] = {
      {"1-1.2", "1-1.10", true},  {"1-1.10", "1-1.2", false}, {"1-1", "1-1.1", true},
      {"1-2", "1-1.4", false},    {"2-1", "1-9.9", false},    {"1-1.3", "1-1.3", false},
      {"Port_#0002.Hub_#0001", "Port_#0001.Hub_#0002", true},
      {"Port_#0010.Hub_#0003", "Port_#0009.Hub_#0003", false},
      {"Port_#0001.Hub_#0010", "Port_#0001.Hub_#0009", false},
      {"1-1.3", "", true},        {"", "1-1.3", false},       {"", "", false},
  };
  for (const Case& c : cases) EXPECT_EQ(StationLocationBefore(c.a, c.b), c.before) << c.a << " before " << c.b;
}

TEST(StationLogic, RecordedRunsShowEverySlotRight) {
  struct Case {
    const char* name;
    std::vector<std::vector<FleetEvent>> batches;
    std::vector<std::string> rows;  // the view's rows at the end
    int32_t good, failed;
    std::vector<std::string> logResults;  // "result" of each unit line, then the summary's exit code
  } cases[] = {
      {"three at once, one failing, shown by place",
       {{Started(1, "C3", "1-1.10")},
        {Started(2, "A1", "1-1.2"), Started(3, "", "1-1.3")},
        {Progress(1, 5, 40), Progress(1, 12, 40)},
        Done(2, FleetOk),
        Done(3, FleetWrite, "Ошибка записи", "Нет ответа."),
        {Progress(1, 40, 40)},
        Done(1, FleetOk),
        {Finished()}},
       {"A1|1-1.2|прошивка||ОК", "—|1-1.3|прошивка||ОШИБКА: Ошибка записи: Нет ответа.",
        "C3|1-1.10|прошивка|40 из 40|ОК"},
       2, 1, {"\"ok\"", "\"failed\"", "\"ok\"", "130"}},
      {"plugged in again: its own slot serves the new unit",
       {{Started(1, "A1", "1-1.2")}, Done(1, FleetOk), {Started(2, "A1", "1-1.2")}, {Progress(2, 3, 40)},
        Done(2, FleetFirmware, "Прошивка не завершена"), {Finished()}},
       {"A1|1-1.2|прошивка|3 из 40|ОШИБКА: Прошивка не завершена"},
       1, 1, {"\"ok\"", "\"failed\"", "130"}},
      {"stopped during its update",
       {{Started(1, "A1", "1-1.2")}, {Progress(1, 7, 40)}, {Event(FleetEventKind::Stopping, 0)},
        Done(1, FleetInterrupted, "Прошивка прервана", "Записей передано: 7 из 40."), {Finished()}},
       {"A1|1-1.2|прошивка|7 из 40|ПРЕРВАНО: Прошивка прервана: Записей передано: 7 из 40."},
       0, 1, {"\"interrupted\"", "130"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir scratch;
    Recording recording{c.batches, "", 0, 0, {}};
    RecordingView view;
    StationLogic logic(view, [&](const FleetJob&) { return std::make_unique<RecordedFleet>(recording); });
    StationChoices choices;
    choices.jsonLog = "station.jsonl";
    ASSERT_TRUE(logic.Start(choices));
    for (size_t tick = 0; tick < c.batches.size(); ++tick) {
      // Each line is in the file as soon as its unit has ended.
      EXPECT_TRUE(logic.Running());
      logic.Tick();
    }
    EXPECT_FALSE(logic.Running());
    EXPECT_FALSE(view.ticking);
    EXPECT_EQ(view.states.back(), StationView::Idle);
    EXPECT_EQ(view.rows, c.rows);
    EXPECT_EQ(view.good, c.good);
    EXPECT_EQ(view.failed, c.failed);
    std::vector<std::string> results;
    for (const std::string& line : Lines("station.jsonl"))
      results.push_back(Field(line, "event") == "\"summary\"" ? Field(line, "exit_code") : Field(line, "result"));
    EXPECT_EQ(results, c.logResults);
  }
}

TEST(StationLogic, LogLinesAreWatchsResultLinesAsTheyHappen) {
  ScratchDir scratch;
  Recording recording{{{Started(1, "A1", "1-1.2")}, Done(1, FleetWrite, "Ошибка записи", "Нет ответа."), {}}, "",
                      0, 0, {}};
  RecordingView view;
  StationLogic logic(view, [&](const FleetJob&) { return std::make_unique<RecordedFleet>(recording); });
  StationChoices choices;
  choices.jsonLog = "station.jsonl";
  ASSERT_TRUE(logic.Start(choices));
  logic.Tick();
  logic.Tick();
  // Still running: the line is already in the file.
  ASSERT_TRUE(logic.Running());
  EXPECT_EQ(Lines("station.jsonl"),
            std::vector<std::string>{
                "{\"event\":\"unit\",\"serial\":\"A1\",\"location\":\"1-1.2\",\"port\":\"ttyACM1\",\"steps\":[{\"step\":"
                "\"flash\",\"exit_code\":5,\"error\":\"Ошибка записи\"}],\"result\":\"failed\",\"exit_code\":5,"
                "\"time_ms\":1500}"});
}

TEST(StationLogic, ChoicesAreCheckedBeforeAnyConverterIsTouched) {
  ScratchDir scratch;
  {
    std::ofstream("unknown.json") << "{\"colour\":\"red\"}";
    std::ofstream("odd.json") << "{\"parity\":\"odd\"}";
    std::ofstream("good.csv") << "serial,parity\nA1,odd\n";
    std::ofstream("bad.csv") << "serial,parity\nA1,sideways\n";
  }
  struct Case {
    const char* name;
    StationChoices choices;
    const char* refusal;  // the engine's own
    const char* message;  // empty: it starts
    std::vector<FleetStep> steps;
  } cases[] = {
      {"a plan that is missing", {"", "", "", "plan.csv", ""}, "", MsgStationPlanBad, {}},
      {"a plan with a bad row", {"", "", "", "bad.csv", ""}, "", MsgStationPlanBad, {}},
      {"a plan and an image", {"fw.bin", "", "", "good.csv", ""}, "", MsgStationPlanWithChoices, {}},
      {"a plan: its rows choose", {"", "", "", "good.csv", ""}, "", "", {FleetStep::Flash, FleetStep::Write}},
      {"a journal is the engine's", {"fw.bin", "", "", "", "j.jsonl"}, "", "", {FleetStep::Flash}},
      {"a profile that is missing", {"", "missing.json", "", "", ""}, "", MsgStationProfileBad, {}},
      {"a profile with an unknown key", {"", "unknown.json", "", "", ""}, "", MsgStationProfileBad, {}},
      {"a log that cannot be written", {"", "", "no/such/folder/log.jsonl", "", ""}, "", MsgStationLogFailed, {}},
      {"an image the engine refuses", {"fw.bin", "", "", "", ""}, MsgFirmwareEmpty, MsgFirmwareEmpty, {}},
      {"nothing chosen: each is read", {}, "", "", {FleetStep::Read}},
      {"an image and a profile", {"fw.bin", "odd.json", "", "", ""}, "", "", {FleetStep::Flash, FleetStep::Write}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recording recording;
    recording.refusal = c.refusal;
    RecordingView view;
    StationLogic logic(view, [&](const FleetJob& job) {
      ++recording.made;
      recording.job = job;
      return std::make_unique<RecordedFleet>(recording);
    });
    const bool started = logic.Start(c.choices);
    EXPECT_EQ(started, *c.message == '\0');
    EXPECT_EQ(logic.Running(), started);
    EXPECT_EQ(view.ticking, started);
    EXPECT_EQ(view.messages, started ? std::vector<std::string>{} : std::vector<std::string>{c.message});
    if (started) {
      EXPECT_EQ(recording.job.steps, c.steps);
      EXPECT_TRUE(recording.job.watch);
      EXPECT_EQ(recording.job.settings.parityRow, c.choices.profile.empty() ? -1 : 2);
      EXPECT_EQ(recording.job.journal, c.choices.journal);
      EXPECT_EQ(recording.job.operation, "station");
      EXPECT_EQ(recording.job.plan != nullptr, !c.choices.plan.empty());
    } else if (std::string(c.refusal).empty()) {
      EXPECT_EQ(recording.made, 0);  // no engine, no search, no worker
    }
  }
}

TEST(StationLogic, CloseDuringARunAsksThenWaitsForTheConverters) {
  Recording recording{{{Started(1, "A1", "1-1.2")}, {}, {Finished()}}, "", 0, 0, {}};
  RecordingView view;
  StationLogic logic(view, [&](const FleetJob&) { return std::make_unique<RecordedFleet>(recording); });
  EXPECT_TRUE(logic.CloseRequested());  // idle: closes, nothing asked
  EXPECT_EQ(view.asked, 0);
  ASSERT_TRUE(logic.Start({}));
  logic.Tick();
  // Kept: the run goes on untouched.
  view.answer = false;
  EXPECT_FALSE(logic.CloseRequested());
  EXPECT_EQ(recording.stops, 0);
  EXPECT_TRUE(logic.Running());
  // Stopped for closing: the workers are asked once, the window waits.
  view.answer = true;
  EXPECT_FALSE(logic.CloseRequested());
  EXPECT_EQ(recording.stops, 1);
  EXPECT_EQ(view.states.back(), StationView::Stopping);
  EXPECT_FALSE(logic.CloseRequested());  // asked again: no second question
  EXPECT_EQ(view.asked, 2);
  logic.Tick();
  EXPECT_EQ(view.closed, 0);
  logic.Tick();
  EXPECT_EQ(view.closed, 1);
  EXPECT_FALSE(logic.Running());
}

TEST(StationLogic, RunEndingWhileTheQuestionIsOpenLetsTheWindowClose) {
  Recording recording{{{Finished()}}, "", 0, 0, {}};
  RecordingView view;
  StationLogic logic(view, [&](const FleetJob&) { return std::make_unique<RecordedFleet>(recording); });
  ASSERT_TRUE(logic.Start({}));
  view.whileAsking = [&] { logic.Tick(); };
  view.answer = false;
  EXPECT_TRUE(logic.CloseRequested());
  EXPECT_EQ(recording.stops, 0);
}

TEST(StationLogic, CommandLine) {
  struct Case {
    std::vector<std::string> args;
    FormArguments result;
    bool station;
    const char* image;
    const char* profile;
    const char* log;
    const char* plan;
    const char* port;
  } cases[] = {
      {{}, FormArgumentsRun, false, "", "", "", "", ""},
      {{"--station"}, FormArgumentsRun, true, "", "", "", "", ""},
      {{"--station", "--flash", "fw.bin", "--from=cab.json", "--json-log", "out.jsonl"}, FormArgumentsRun, true,
       "fw.bin", "cab.json", "out.jsonl", "", ""},
      {{"--plan", "p.json", "--station", "--port", "COM5"}, FormArgumentsRun, true, "", "", "", "p.json", "COM5"},
      {{"--flash", "fw.bin"}, FormArgumentsBad, false, "fw.bin", "", "", "", ""},
      {{"--station", "--flash"}, FormArgumentsBad, true, "", "", "", "", ""},
      {{"--station", "--from="}, FormArgumentsBad, true, "", "", "", "", ""},
      {{"--station", "--sation"}, FormArgumentsBad, true, "", "", "", "", ""},
      {{"--station", "--help"}, FormArgumentsHelp, true, "", "", "", "", ""},
  };
  for (const Case& c : cases) {
    WindowArguments parsed;
    std::string error;
    std::ostringstream name;
    for (const std::string& a : c.args) name << a << ' ';
    SCOPED_TRACE(name.str());
    EXPECT_EQ(WindowParseArguments(c.args, parsed, error), c.result);
    EXPECT_EQ(error.empty(), c.result != FormArgumentsBad);
    if (c.result == FormArgumentsBad) continue;
    EXPECT_EQ(parsed.station, c.station);
    EXPECT_EQ(parsed.choices.image, c.image);
    EXPECT_EQ(parsed.choices.profile, c.profile);
    EXPECT_EQ(parsed.choices.jsonLog, c.log);
    EXPECT_EQ(parsed.choices.plan, c.plan);
    EXPECT_EQ(parsed.port, c.port);
  }
}
