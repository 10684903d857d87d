#include "ctl/fleet.h"

#include <map>
#include <string>
#include <vector>

#include "ctl/audit.h"
#include "ctl/output.h"
#include "fleet/fleet.h"
#include "ops/json.h"
#include "ops/messages.h"
#include "platform/interrupt.h"
#include "platform/process.h"
#include "platform/time.h"

namespace {

constexpr int32_t kPollMs = 20;  // how often the engine is asked what happened

FleetJob JobOf(const Options& options, std::vector<FleetStep> steps) {
  FleetJob job;
  job.steps = std::move(steps);
  job.image = options.image.empty() ? options.file : options.image;  // watch's --flash, or flash's FILE
  job.settleMs = options.settleMs;
  job.settings = {options.baud, options.parityRow, options.dataBitsRow, options.stopBits, options.echo, options.verify};
  job.trace = options.trace;
  job.watch = options.command == "watch";
  job.serial = options.serial;
  job.location = options.location;
  job.sha256 = options.sha256;
  job.journal = options.journal;
  // A read changes nothing and is not journaled.
  job.operation = job.watch || options.command != "read" ? options.command : std::string();
  job.ports = options.ports;
  job.jobs = options.jobs > 0 || options.ports.empty() ? options.jobs : kPortsDefaultJobs;
  return job;
}

std::string Identity(const ConverterPort& converter) {
  return "\"serial\":" + JsonOrNull(converter.serial) + ",\"location\":" + JsonOrNull(converter.location);
}

// A worker's result for the JSON lines: its event first, then the
// converter's serial number and place, then what the worker said.
std::string ResultLine(const FleetEvent& step) {
  const std::string body = step.result.substr(step.result.find('{') + 1);
  return "{\"event\":\"result\"," + Identity(step.converter) + (body == "}" ? "" : ",") + body;
}

std::string ProgressLine(const FleetEvent& progress) {
  return "{\"event\":\"progress\"," + Identity(progress.converter) + ",\"port\":" + JsonString(progress.converter.port) +
         ",\"phase\":\"" + FleetPhaseNames[progress.phase] + "\",\"records_sent\":" +
         std::to_string(progress.recordsSent) + ",\"records_total\":" + std::to_string(progress.recordsTotal) + "}";
}

// What a step's result says for people: the failure, or what was done.
std::string Detail(const FleetEvent& step) {
  if (!step.error.empty()) return step.error + (step.reason.empty() ? "" : ": " + step.reason);
  Json result;
  if (!JsonParse(step.result, result)) return MsgWorkerSilent;
  if (result.Has("records_sent")) return MsgRecordsSent(step.recordsSent, step.recordsTotal);
  return result["baud"].text + " бит/с, " + result["parity"].text + ", " + result["data_bits"].text +
         " бит, стоп-битов " + result["stop_bits"].text + ", запись " + result["raw"].text;
}

const char* StepText(FleetStep step) {
  return step == FleetStep::Flash ? MsgStepFlash : step == FleetStep::Write ? MsgStepWrite : MsgStepRead;
}

// watch: a unit's steps so far, as its line will tell them.
struct UnitSteps {
  std::string outcomes;  // as JSON
  std::string detail;    // for people
};

void NoteStep(UnitSteps& unit, const FleetEvent& step) {
  unit.outcomes += std::string(unit.outcomes.empty() ? "" : ",") + "{\"step\":\"" + FleetStepCommand(step.step) +
                   "\",\"exit_code\":" + std::to_string(step.exitCode) +
                   ",\"error\":" + (step.error.empty() ? "null" : JsonString(step.error)) + "}";
  unit.detail += (unit.detail.empty() ? "" : ", ") + std::string(StepText(step.step)) +
                 (step.exitCode == ExitOk ? "" : ": " + Detail(step));
}

void PrintUnit(const UnitSteps& unit, const FleetEvent& ended, bool json) {
  const ConverterPort& c = ended.converter;
  if (json) {
    CtlWriteLine("{\"event\":\"unit\"," + Identity(c) + ",\"port\":" + JsonString(c.port) + ",\"steps\":[" +
                 unit.outcomes + "],\"result\":\"" + ended.result + "\",\"exit_code\":" +
                 std::to_string(ended.exitCode) + ",\"time_ms\":" + std::to_string(ended.elapsedMs) + "}");
    return;
  }
  CtlWriteLine(UnitLine(ended.exitCode == ExitOk, c, unit.detail + CtlFormat(" (%.1f с)", ended.elapsedMs / 1000.0)));
}

void PrintSummary(const FleetEvent& finished, bool json, bool planned) {
  if (json)
    CtlWriteLine("{\"event\":\"summary\",\"converters\":" + std::to_string(finished.total) + ",\"ok\":" +
                 std::to_string(finished.ok) + ",\"failed\":" + std::to_string(finished.failed) +
                 (planned ? ",\"not_in_plan\":" + std::to_string(finished.notInPlan) : std::string()) +
                 ",\"exit_code\":" + std::to_string(finished.exitCode) + "}");
  else
    CtlWriteLine(MsgFleetSummary(finished.total, finished.ok, finished.failed) +
                 (finished.notInPlan > 0 ? MsgNotInPlanCount(finished.notInPlan) : std::string()));
}

// A converter the plan does not name: left alone, and said so.
void PrintNotInPlan(const FleetEvent& left, bool json, bool watch) {
  const ConverterPort& c = left.converter;
  if (json)
    CtlWriteLine(std::string("{\"event\":\"") + (watch ? "unit" : "result") + "\"," + Identity(c) +
                 ",\"port\":" + JsonOrNull(c.port) + ",\"result\":\"not_in_plan\"}");
  else
    CtlWriteLine(UnitVerdictLine(MsgNotInPlanVerdict, c, MsgNotInPlan));
}

// Runs the engine to its end, passing each request to stop on and printing
// what it tells; --all prints each unit's result, watch each unit's steps.
int RunFleet(const Options& options, FleetJob job) {
  if (const int code = PlanLoad(options, job); code != ExitOk) return code;
  const bool planned = job.plan != nullptr;
  // Each request to stop is passed on from here; the second still ends
  // with the converters told to leave the update mode.
  PlatformInterruptCount();
  const bool watch = job.watch;
  FleetEngine engine(std::move(job), PlatformSelfPath());
  if (const int code = CtlFleetStart(engine, options.json); code != ExitOk) return code;
  if (watch) CtlWrite(stderr, std::string(MsgWatchWaiting) + "\n");
  std::map<int32_t, UnitSteps> units;
  std::vector<FleetEvent> events;
  for (;;) {
    while (engine.StopRequests() < PlatformInterruptRequests()) engine.RequestStop();
    events.clear();
    engine.Poll(events);
    for (const FleetEvent& e : events) {
      switch (e.kind) {
        case FleetEventKind::Progress:
          if (options.json) CtlWriteLine(ProgressLine(e));
          break;
        case FleetEventKind::StepEnded:
          if (watch) NoteStep(units[e.unit], e);
          else CtlWriteLine(options.json ? ResultLine(e) : UnitLine(e.exitCode == ExitOk, e.converter, Detail(e)));
          break;
        case FleetEventKind::UnitEnded:
          if (watch) PrintUnit(units[e.unit], e, options.json);
          units.erase(e.unit);
          break;
        case FleetEventKind::Stopping:
          // The journal that could not be written stops the run: its reason first.
          if (!e.error.empty()) CtlWrite(stderr, e.error + "\n" + e.reason + "\n");
          if (watch) CtlWrite(stderr, std::string(MsgWatchStopping) + "\n");
          break;
        case FleetEventKind::Finished: PrintSummary(e, options.json, planned); break;
        case FleetEventKind::NotInPlan: PrintNotInPlan(e, options.json, watch); break;
        case FleetEventKind::UnitStarted:
        case FleetEventKind::StepStarted: break;
      }
    }
    if (engine.Finished()) return engine.ExitCode();
    PlatformSleepMs(kPollMs);
  }
}

}  // namespace

int CommandAll(const Options& options) {
  const FleetStep step =
      options.command == "flash" ? FleetStep::Flash : options.command == "write" ? FleetStep::Write : FleetStep::Read;
  return RunFleet(options, JobOf(options, {step}));
}

int CommandWatch(const Options& options) {
  FleetJob job = JobOf(options, {});
  // A plan's row chooses of the update and the write what it gives.
  if (!options.image.empty() || !options.plan.empty()) job.steps.push_back(FleetStep::Flash);
  if (!options.plan.empty()) job.steps.push_back(FleetStep::Write);
  // A profile is written even when it names nothing: its write checks the unit.
  if (!options.profile.empty() || FleetSettingsGiven(job.settings)) job.steps.push_back(FleetStep::Write);
  if (job.steps.empty()) job.steps.push_back(FleetStep::Read);
  return RunFleet(options, std::move(job));
}
