#include "app/station_logic.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "fleet/plan.h"
#include "ops/json.h"
#include "ops/messages.h"
#include "platform/files.h"
#include "platform/process.h"

namespace {

const char* StepName(FleetStep step) {
  return step == FleetStep::Flash ? "flash" : step == FleetStep::Write ? "write" : "read";
}

const char* StepText(FleetStep step) {
  return step == FleetStep::Flash ? MsgStepFlash : step == FleetStep::Write ? MsgStepWrite : MsgStepRead;
}

// One converter is one slot, whichever unit serves it now: by its serial
// number and place, or by its port when it has neither.
std::string SlotKey(const std::string& serial, const std::string& location, const std::string& port) {
  return serial + '\n' + location + '\n' + (serial.empty() && location.empty() ? port : "");
}

// The numbers in a location, in order: "1-1.3" gives 1 1 3.
std::vector<uint64_t> NumbersOf(const std::string& text) {
  std::vector<uint64_t> numbers;
  bool inNumber = false;
  for (const char c : text) {
    if (c >= '0' && c <= '9') {
      if (!inNumber) numbers.push_back(0);
      numbers.back() = numbers.back() * 10 + static_cast<uint64_t>(c - '0');
      inNumber = true;
    } else {
      inNumber = false;
    }
  }
  return numbers;
}

// Windows's place names the port before its hub; the hub comes first in the order.
bool WindowsPlace(const std::string& text) { return text.rfind("Port_#", 0) == 0 && text.find(".Hub_#") != std::string::npos; }

// A failed profile or log: the message and its reason, for the view.
struct Problem {
  std::string message;
  std::string reason;
};

bool SettingsFromProfile(const std::string& path, FleetSettings& settings, Problem& problem) {
  std::string why;
  if (FleetProfileRead(path, settings, why)) return true;
  problem = {MsgStationProfileBad, path + ": " + why};
  return false;
}

// The plan, read whole: it gives each converter its image and settings, so
// the window's own are left empty.
bool PlanFrom(const StationChoices& choices, FleetJob& job, Problem& problem) {
  if (!choices.image.empty() || !choices.profile.empty()) {
    problem = {MsgStationPlanWithChoices, MsgStationPlanWithChoicesReason};
    return false;
  }
  auto plan = std::make_shared<FleetPlan>();
  FleetPlanProblem wrong;
  if (!FleetPlanRead(choices.plan, *plan, wrong)) {
    problem = {MsgStationPlanBad, choices.plan + ": " + FleetPlanProblemText(wrong)};
    return false;
  }
  job.plan = FleetPlanLookup(std::move(plan), {FleetStep::Flash, FleetStep::Write}, true);
  return true;
}

}  // namespace

const char* StationColumnTitle(StationColumn column) {
  static const char* const kTitles[StationColumnCount] = {MsgStationColSerial, MsgStationColLocation,
                                                           MsgStationColStep, MsgStationColProgress,
                                                           MsgStationColResult};
  return column < StationColumnCount ? kTitles[column] : "";
}

std::string StationCellText(const StationSlot& slot, StationColumn column) {
  switch (column) {
    case StationColSerial: return slot.serial.empty() ? "—" : slot.serial;
    case StationColLocation: return slot.location.empty() ? slot.port : slot.location;
    case StationColStep: return slot.step;
    case StationColProgress:
      return slot.recordsTotal == 0 ? std::string() : MsgStationRecords(slot.recordsSent, slot.recordsTotal);
    case StationColResult: {
      static const char* const kStates[] = {MsgStationRunning, MsgDoctorVerdicts[0], MsgDoctorVerdicts[2],
                                            MsgStationInterrupted, MsgStationNotInPlan};
      const std::string state = kStates[slot.state];
      return slot.state == StationSlot::Ok || slot.outcome.empty() ? state : state + ": " + slot.outcome;
    }
    case StationColumnCount: break;
  }
  return std::string();
}

bool StationLocationBefore(const std::string& a, const std::string& b) {
  // A converter whose place is not known comes after those whose place is.
  if (a.empty() || b.empty()) return !a.empty() && b.empty();
  std::vector<uint64_t> x = NumbersOf(a), y = NumbersOf(b);
  if (WindowsPlace(a) && WindowsPlace(b) && x.size() == 2 && y.size() == 2) {
    std::swap(x[0], x[1]);
    std::swap(y[0], y[1]);
  }
  if (x != y) return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end());
  return a < b;
}

FormArguments WindowParseArguments(const std::vector<std::string>& args, WindowArguments& parsed, std::string& error) {
  struct Valued {
    const char* name;
    std::string* value;
  };
  const Valued valued[] = {{"--flash", &parsed.choices.image},   {"--from", &parsed.choices.profile},
                           {"--json-log", &parsed.choices.jsonLog}, {"--plan", &parsed.choices.plan},
                           {"--journal", &parsed.choices.journal}};
  // The station's options are taken here; the rest is the form's.
  std::vector<std::string> rest;
  bool stationOnly = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--station") {
      parsed.station = true;
      continue;
    }
    const Valued* option = nullptr;
    std::string value;
    for (const Valued& v : valued) {
      const std::string name = v.name;
      if (arg == name && i + 1 < args.size()) {
        option = &v;
        value = args[++i];
      } else if (arg.compare(0, name.size() + 1, name + "=") == 0) {
        option = &v;
        value = arg.substr(name.size() + 1);
      } else if (arg == name) {
        error = MsgWindowNoValue(name);
        return FormArgumentsBad;
      }
      if (option != nullptr) break;
    }
    if (option == nullptr) {
      rest.push_back(arg);
      continue;
    }
    if (value.empty()) {
      error = MsgWindowNoValue(option->name);
      return FormArgumentsBad;
    }
    *option->value = value;
    stationOnly = true;
  }
  const FormArguments form = FormParseArguments(rest, parsed.port, error);
  if (form == FormArgumentsRun && stationOnly && !parsed.station) {
    error = MsgWindowStationOnly;
    return FormArgumentsBad;
  }
  return form;
}

std::string StationWorkerProgram() { return PlatformProgramBeside("rs485ctl"); }

// A run: its fleet, the JSON log, and what each unit's steps said.
struct StationLogic::Run {
  std::unique_ptr<StationFleet> fleet;
  std::FILE* log = nullptr;
  std::string logPath;
  bool logFailed = false;
  bool stopping = false;
  bool closeAsked = false;
  struct Unit {
    int32_t unit;
    size_t slot;
    std::string steps;  // the steps done, as the JSON log's "steps"
  };
  std::vector<Unit> units;
  ~Run() {
    if (log != nullptr) std::fclose(log);
  }
  Unit* Find(int32_t unit) {
    for (Unit& u : units)
      if (u.unit == unit) return &u;
    return nullptr;
  }
};

StationLogic::StationLogic(StationView& view, StationFleetMaker maker) : view_(view), maker_(std::move(maker)) {}

StationLogic::~StationLogic() = default;

bool StationLogic::Running() const { return run_ != nullptr; }
const std::vector<StationSlot>& StationLogic::Slots() const { return slots_; }
int32_t StationLogic::Good() const { return good_; }
int32_t StationLogic::Failed() const { return failed_; }

bool StationLogic::Start(const StationChoices& choices) {
  if (run_ != nullptr) return false;
  // Every choice is checked before the engine may touch a converter.
  Problem problem;
  FleetJob job;
  job.watch = true;
  job.image = choices.image;
  if (!choices.plan.empty()) PlanFrom(choices, job, problem);
  // Every unit goes into the journal, the chosen one or the user's own; the
  // engine opens it before any converter is touched.
  job.operation = "station";
  job.journal = choices.journal;
  if (problem.message.empty() && !choices.profile.empty()) SettingsFromProfile(choices.profile, job.settings, problem);
  // A plan's row chooses of the update and the write what it gives.
  if (!choices.image.empty() || job.plan) job.steps.push_back(FleetStep::Flash);
  if (!choices.profile.empty() || job.plan) job.steps.push_back(FleetStep::Write);
  if (job.steps.empty()) job.steps.push_back(FleetStep::Read);

  auto run = std::make_unique<Run>();
  if (problem.message.empty() && !choices.jsonLog.empty()) {
    int error = 0;
    run->log = FileOpenForWriting(choices.jsonLog.c_str(), error);
    run->logPath = choices.jsonLog;
    if (run->log == nullptr) problem = {MsgStationLogFailed, choices.jsonLog + ": " + FileErrorText(error)};
  }
  if (problem.message.empty()) {
    run->fleet = maker_(job);
    run->fleet->Start(problem.message, problem.reason);
  }
  if (!problem.message.empty()) {
    view_.ShowRunState(StationView::Idle);
    view_.ShowMessage(problem.message, problem.reason);
    return false;
  }
  run_ = std::move(run);
  view_.ShowRunState(StationView::Running);
  view_.StartTicking();
  return true;
}

void StationLogic::StopClick() {
  if (run_ == nullptr || run_->stopping) return;
  run_->stopping = true;
  view_.ShowRunState(StationView::Stopping);
  run_->fleet->RequestStop();
}

bool StationLogic::CloseRequested() {
  if (run_ == nullptr) return true;
  if (run_->closeAsked) return false;
  // The question waits for the user while the run goes on; it may end meanwhile.
  const bool stop = view_.AskStopForClose();
  if (run_ == nullptr) return true;
  if (!stop) return false;
  run_->closeAsked = true;
  StopClick();
  return false;
}

void StationLogic::Tick() {
  if (run_ == nullptr || ticking_) return;
  ticking_ = true;
  std::vector<FleetEvent> events;
  run_->fleet->Poll(events);
  // Progress comes often: each slot is shown once per tick, after all its news.
  std::vector<size_t> changed;
  bool finished = false;
  for (const FleetEvent& event : events) {
    switch (event.kind) {
      case FleetEventKind::UnitStarted: UnitStarted(event, changed); break;
      case FleetEventKind::NotInPlan: NotInPlan(event, changed); break;
      case FleetEventKind::StepStarted:
      case FleetEventKind::Progress:
      case FleetEventKind::StepEnded: UnitNews(event, changed); break;
      case FleetEventKind::UnitEnded: UnitEnded(event, changed); break;
      case FleetEventKind::Stopping:
        // A journal line that could not be written stops the run: say why.
        if (!event.error.empty()) view_.ShowMessage(event.error, event.reason);
        if (!run_->stopping) {
          run_->stopping = true;
          view_.ShowRunState(StationView::Stopping);
        }
        break;
      case FleetEventKind::Finished:
        LogLine("{\"event\":\"summary\",\"converters\":" + std::to_string(event.total) + ",\"ok\":" +
                std::to_string(event.ok) + ",\"failed\":" + std::to_string(event.failed) +
                ",\"exit_code\":" + std::to_string(event.exitCode) + "}");
        finished = true;
        break;
    }
  }
  std::sort(changed.begin(), changed.end());
  changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
  for (const size_t index : changed) view_.ShowSlot(index, slots_[index], false);
  ticking_ = false;
  if (finished) Finish();
}

// A converter's slot, its own again when it was plugged in before, or a new
// one at its place on the hub; where it is.
size_t StationLogic::PlaceSlot(const StationSlot& fresh, std::vector<size_t>& changed) {
  const std::string key = SlotKey(fresh.serial, fresh.location, fresh.port);
  size_t index = 0;
  while (index < slots_.size() && SlotKey(slots_[index].serial, slots_[index].location, slots_[index].port) != key)
    ++index;
  if (index < slots_.size()) {
    // Plugged in again: its slot serves the new unit.
    slots_[index] = fresh;
    changed.push_back(index);
  } else {
    index = static_cast<size_t>(
        std::find_if(slots_.begin(), slots_.end(),
                     [&](const StationSlot& s) {
                       return StationLocationBefore(fresh.location, s.location) ||
                              (!StationLocationBefore(s.location, fresh.location) && fresh.serial < s.serial);
                     }) -
        slots_.begin());
    slots_.insert(slots_.begin() + static_cast<std::ptrdiff_t>(index), fresh);
    // The rows after it moved down by one.
    for (size_t& c : changed) c += c >= index;
    for (Run::Unit& u : run_->units) u.slot += u.slot >= index;
    view_.ShowSlot(index, slots_[index], true);
  }
  return index;
}

void StationLogic::UnitStarted(const FleetEvent& event, std::vector<size_t>& changed) {
  StationSlot fresh;
  fresh.unit = event.unit;
  fresh.serial = event.converter.serial;
  fresh.location = event.converter.location;
  fresh.port = event.converter.port;
  fresh.step = StepText(event.step);
  run_->units.push_back({event.unit, PlaceSlot(fresh, changed), std::string()});
}

// Left alone: shown and logged, counted neither good nor failed.
void StationLogic::NotInPlan(const FleetEvent& event, std::vector<size_t>& changed) {
  StationSlot fresh;
  fresh.serial = event.converter.serial;
  fresh.location = event.converter.location;
  fresh.port = event.converter.port;
  fresh.state = StationSlot::NotInPlan;
  PlaceSlot(fresh, changed);
  LogLine("{\"event\":\"unit\",\"serial\":" + JsonOrNull(fresh.serial) + ",\"location\":" +
          JsonOrNull(fresh.location) + ",\"port\":" + JsonOrNull(fresh.port) + ",\"result\":\"not_in_plan\"}");
}

void StationLogic::UnitNews(const FleetEvent& event, std::vector<size_t>& changed) {
  Run::Unit* unit = run_->Find(event.unit);
  if (unit == nullptr) return;
  StationSlot& slot = slots_[unit->slot];
  if (event.kind == FleetEventKind::StepStarted) {
    slot.step = StepText(event.step);
  } else if (event.kind == FleetEventKind::Progress) {
    slot.step = std::string(StepText(event.step)) + ": " + UploadPhaseText(event.phase);
    slot.recordsSent = event.recordsSent;
    slot.recordsTotal = event.recordsTotal;
  } else {
    slot.step = StepText(event.step);
    if (event.recordsTotal != 0) {
      slot.recordsSent = event.recordsSent;
      slot.recordsTotal = event.recordsTotal;
    }
    unit->steps += std::string(unit->steps.empty() ? "" : ",") + "{\"step\":\"" + StepName(event.step) +
                   "\",\"exit_code\":" + std::to_string(event.exitCode) +
                   ",\"error\":" + (event.error.empty() ? "null" : JsonString(event.error)) + "}";
  }
  changed.push_back(unit->slot);
}

void StationLogic::UnitEnded(const FleetEvent& event, std::vector<size_t>& changed) {
  Run::Unit* unit = run_->Find(event.unit);
  if (unit == nullptr) return;
  StationSlot& slot = slots_[unit->slot];
  slot.port = event.converter.port[0] != '\0' ? std::string(event.converter.port) : slot.port;
  slot.elapsedMs = event.elapsedMs;
  slot.state = event.exitCode == FleetOk                ? StationSlot::Ok
               : event.exitCode == FleetInterrupted ? StationSlot::Interrupted
                                                        : StationSlot::Failed;
  slot.outcome = event.error.empty() || event.reason.empty() ? event.error : event.error + ": " + event.reason;
  if (slot.state == StationSlot::Ok) ++good_;
  else ++failed_;
  view_.ShowCounts(good_, failed_);
  const char* result = slot.state == StationSlot::Ok ? "ok" : slot.state == StationSlot::Interrupted ? "interrupted" : "failed";
  LogLine("{\"event\":\"unit\",\"serial\":" + JsonOrNull(slot.serial) + ",\"location\":" + JsonOrNull(slot.location) +
          ",\"port\":" + JsonString(slot.port) + ",\"steps\":[" + unit->steps + "],\"result\":\"" + result +
          "\",\"exit_code\":" + std::to_string(event.exitCode) + ",\"time_ms\":" + std::to_string(event.elapsedMs) +
          "}");
  changed.push_back(unit->slot);
  run_->units.erase(run_->units.begin() + (unit - run_->units.data()));
}

// Each line goes to the file at once, so that a crash or a pulled plug loses
// none that was shown; a failed write is told once and the run goes on.
void StationLogic::LogLine(const std::string& line) {
  if (run_->log == nullptr || run_->logFailed) return;
  const std::string text = line + "\n";
  size_t written = 0;
  const int error = FileWrite(run_->log, text.data(), text.size(), written);
  if (error == 0) return;
  run_->logFailed = true;
  view_.ShowMessage(MsgStationLogFailed, run_->logPath + ": " + FileErrorText(error));
}

void StationLogic::Finish() {
  const bool close = run_->closeAsked;
  view_.StopTicking();
  run_.reset();
  view_.ShowRunState(StationView::Idle);
  if (close) view_.CloseWindow();
}
