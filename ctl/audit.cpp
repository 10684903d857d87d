#include "ctl/audit.h"

#include "ctl/output.h"
#include "ops/json.h"
#include "ops/messages.h"
#include "platform/interrupt.h"
#include "platform/process.h"
#include "platform/time.h"

namespace {

constexpr int32_t kPollMs = 20;  // how often the engine is asked what happened

std::string DriftJson(const std::vector<FleetDrift>& drift) {
  std::string items;
  for (const FleetDrift& d : drift)
    items += std::string(items.empty() ? "" : ",") + "{\"field\":\"" + d.field + "\",\"found\":" + JsonString(d.found) +
             ",\"wanted\":" + JsonString(d.wanted) + "}";
  return "[" + items + "]";
}

std::string DriftText(const std::vector<FleetDrift>& drift) {
  std::string text;
  for (const FleetDrift& d : drift) text += (text.empty() ? "" : ", ") + MsgDriftField(d.field, d.found, d.wanted);
  return text;
}

// What one converter came to.
struct Verdict {
  ConverterPort converter{};
  int32_t planRow = 0;
  const char* result = "same";  // "same", "differs", "failed", "not_in_plan"
  std::vector<FleetDrift> drift;
  std::string raw;
  std::string error;
  std::string reason;
};

void PrintVerdict(const Options& options, const Verdict& v) {
  const ConverterPort& c = v.converter;
  const std::string result = v.result;
  if (options.json) {
    CtlWriteLine(std::string("{\"event\":\"") + (options.dryRun ? "dry_run" : "audit") +
                 "\",\"serial\":" + JsonOrNull(c.serial) + ",\"location\":" + JsonOrNull(c.location) +
                 ",\"port\":" + JsonOrNull(c.port) +
                 ",\"plan_row\":" + (v.planRow > 0 ? std::to_string(v.planRow) : "null") + ",\"result\":\"" + result +
                 "\",\"differs\":" + DriftJson(v.drift) + ",\"raw\":" + JsonOrNull(v.raw) +
                 ",\"error\":" + JsonOrNull(v.error) + ",\"reason\":" + JsonOrNull(v.reason) + "}");
    return;
  }
  if (options.csv) {
    // A row per field that differs; one for a converter with none.
    const std::string unit = CtlCsvCell(c.serial) + "," + CtlCsvCell(c.location) + "," + CtlCsvCell(c.port) + "," +
                             (v.planRow > 0 ? std::to_string(v.planRow) : "") + "," + result + ",";
    const std::string error = CtlCsvCell(v.error.empty() || v.reason.empty() ? v.error : v.error + ": " + v.reason);
    if (v.drift.empty()) CtlWrite(stdout, unit + ",,," + error + "\r\n");
    for (const FleetDrift& d : v.drift)
      CtlWrite(stdout, unit + d.field + "," + CtlCsvCell(d.found) + "," + CtlCsvCell(d.wanted) + ",\r\n");
    return;
  }
  if (result == "not_in_plan") CtlWriteLine(UnitVerdictLine(MsgNotInPlanVerdict, c, MsgNotInPlan));
  else if (result == "failed") CtlWriteLine(UnitLine(false, c, v.error + (v.reason.empty() ? "" : ": " + v.reason)));
  else if (result == "same") CtlWriteLine(UnitLine(true, c, options.dryRun ? MsgDryRunSame : MsgAuditSame));
  else if (options.dryRun) CtlWriteLine(UnitLine(true, c, MsgDryRunChanges + DriftText(v.drift)));
  else CtlWriteLine(UnitVerdictLine(MsgDriftVerdict, c, MsgAuditDiffers + DriftText(v.drift)));
}

// A read's result compared with what the converter's row (or the job) would write.
Verdict VerdictOf(const FleetEvent& read, const FleetJob& job, const FleetPlan* plan) {
  Verdict v;
  v.converter = read.converter;
  v.planRow = read.planRow;
  Json said;
  DeviceSettings record{};
  if (read.exitCode != ExitOk || !JsonParse(read.result, said) || !FleetRecordFromRaw(said["raw"].text, record)) {
    v.result = "failed";
    v.error = read.error.empty() ? MsgWorkerSilent : read.error;
    v.reason = read.reason;
    return v;
  }
  FleetSettings wanted = job.settings;
  if (plan != nullptr)
    for (const FleetPlanRow& row : plan->rows)
      if (row.row == read.planRow) wanted = row.settings;
  v.raw = said["raw"].text;
  v.drift = FleetDriftOf(record, wanted);
  v.result = v.drift.empty() ? "same" : "differs";
  return v;
}

}  // namespace

int PlanLoad(const Options& options, FleetJob& job, std::shared_ptr<const FleetPlan>* kept) {
  if (options.plan.empty()) return ExitOk;
  auto read = std::make_shared<FleetPlan>();
  FleetPlanProblem problem;
  if (!FleetPlanRead(options.plan, *read, problem)) {
    CtlWrite(stderr, "rs485ctl: план " + options.plan + ": " + FleetPlanProblemText(problem) + "\n");
    return ExitUsage;
  }
  if (kept != nullptr) *kept = read;
  job.plan = FleetPlanLookup(std::move(read), job.steps, job.settings.verify);
  return ExitOk;
}

int CommandAudit(const Options& options) {
  FleetJob job;
  job.steps = {FleetStep::Read};
  job.settings = {options.baud, options.parityRow, options.dataBitsRow, options.stopBits, options.echo, true};
  std::shared_ptr<const FleetPlan> plan;
  if (const int code = PlanLoad(options, job, &plan); code != ExitOk) return code;
  job.trace = options.trace;
  job.serial = options.serial;
  job.location = options.location;
  job.ports = options.ports;
  job.jobs = options.jobs > 0 || options.ports.empty() ? options.jobs : kPortsDefaultJobs;
  PlatformInterruptCount();
  FleetEngine engine(job, PlatformSelfPath());
  if (const int code = CtlFleetStart(engine, options.json); code != ExitOk) return code;
  // A byte-order mark and CRLF, so that a spreadsheet opens it with Cyrillic intact.
  if (options.csv) CtlWrite(stdout, "\xEF\xBB\xBF" "serial,location,port,plan_row,result,field,found,wanted,error\r\n");
  int32_t same = 0, differ = 0, failed = 0;
  std::vector<FleetEvent> events;
  for (;;) {
    while (engine.StopRequests() < PlatformInterruptRequests()) engine.RequestStop();
    events.clear();
    engine.Poll(events);
    for (const FleetEvent& e : events) {
      if (e.kind == FleetEventKind::NotInPlan) {
        Verdict v;
        v.converter = e.converter;
        v.result = "not_in_plan";
        PrintVerdict(options, v);
      } else if (e.kind == FleetEventKind::StepEnded) {
        const Verdict v = VerdictOf(e, job, plan.get());
        PrintVerdict(options, v);
        same += v.drift.empty() && v.error.empty();
        differ += !v.drift.empty();
        failed += !v.error.empty();
      } else if (e.kind == FleetEventKind::Finished) {
        // A failure leaves its converter unknown: its code wins over a difference.
        const int code = e.exitCode != ExitOk || options.dryRun || differ == 0 ? e.exitCode : ExitDrift;
        const std::string summary = MsgAuditSummary(e.total, same, differ, failed) +
                                    (e.notInPlan > 0 ? MsgNotInPlanCount(e.notInPlan) : std::string());
        if (options.json)
          CtlWriteLine("{\"event\":\"summary\",\"converters\":" + std::to_string(e.total) + ",\"same\":" +
                       std::to_string(same) + ",\"differs\":" + std::to_string(differ) + ",\"failed\":" +
                       std::to_string(failed) + ",\"not_in_plan\":" + std::to_string(e.notInPlan) +
                       ",\"exit_code\":" + std::to_string(code) + "}");
        else
          CtlWrite(options.csv ? stderr : stdout, summary + "\n");
        return code;
      }
    }
    PlatformSleepMs(kPollMs);
  }
}

void PrintDryRun(const std::string& port, const std::vector<FleetDrift>& drift, bool json) {
  if (json)
    CtlWriteLine("{\"port\":" + JsonString(port) + ",\"result\":\"" + (drift.empty() ? "same" : "differs") +
                 "\",\"differs\":" + DriftJson(drift) + "}");
  else
    CtlWriteLine(drift.empty() ? std::string(MsgDryRunSame) : MsgDryRunChanges + DriftText(drift));
}
