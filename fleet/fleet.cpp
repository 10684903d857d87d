#include "fleet/fleet.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <set>
#include <utility>

#include "fleet/journal.h"
#include "ops/json.h"
#include "ops/messages.h"
#include "ops/settings.h"
#include "ops/sha256.h"
#include "platform/process.h"
#include "platform/system_error.h"
#include "platform/time.h"

const char* const FleetPhaseNames[UploadFinishing + 1] = {"entering", "waiting", "sending", "finishing"};

const char* FleetStepCommand(FleetStep step) {
  static const char* const kCommands[] = {"read", "write", "flash"};
  return kCommands[static_cast<size_t>(step)];
}

bool FleetSettingsGiven(const FleetSettings& settings) {
  return !settings.baud.empty() || settings.parityRow >= 0 || settings.dataBitsRow >= 0 || settings.stopBits != 0 ||
         settings.echo >= 0;
}

namespace {

constexpr int32_t kSearchEveryMs = 500;  // watch: how often converters are looked for
constexpr int32_t kEndWaitMs = 10000;    // the destructor: the workers' time to end in order
constexpr int32_t kEndPollMs = 20;

// One worker process: rs485ctl serving one converter with one command.
struct Worker {
  PlatformChild child;
  std::string pending;  // output not yet ended by a newline
  std::string result;   // its last line that is a JSON object and no progress event
  // Its last progress event.
  UploadPhase phase = UploadEntering;
  uint64_t recordsSent = 0;
  uint64_t recordsTotal = 0;
  std::string progressPort;
  int exitCode = 0;
  std::string notStarted;  // why it could not be started, in the user's words
  bool started = false;
  bool updating = false;  // its converter may be in the update mode: a progress event came, its result not yet
  bool stopped = false;   // a request to stop was passed on to it
  bool killed = false;    // ended from here, on a second request
};

// One converter served: its steps, one worker after the other.
struct Unit {
  int32_t number = 0;
  ConverterPort converter{};
  FleetUnitJob job;  // its steps, settings and image
  size_t step = 0;
  Worker worker;
  // The short worker that tells the converter the step's worker left in its
  // update mode to leave it, once that worker has gone.
  Worker release;
  bool releasing = false;
  bool interrupted = false;  // the step's worker was ended by a request to stop
  uint32_t startedMs = 0;
  int exitCode = FleetOk;
  std::string error;  // the failure that ended it, and why
  std::string reason;
  bool goneMeanwhile = false;  // a search did not see it while it was served
  std::vector<JournalUnit::Step> done;  // its steps' results, for its journal line
};

}  // namespace

struct FleetRun {
  FleetJob job;
  std::string program;
  bool started = false;
  bool finished = false;
  int exitCode = FleetOk;
  int requests = 0;
  bool stoppingTold = false;
  uint32_t nextSearchMs = 0;
  std::vector<FleetEvent> queued;  // what happened in Start, for the first Poll
  std::vector<std::unique_ptr<Unit>> active;
  std::deque<ConverterPort> waiting;  // not watch: the units whose turn has not come
  std::set<std::string> served;  // watch: served, and not unplugged since
  std::set<std::string> seen;    // watch: present at the last search
  int32_t numbered = 0;
  int32_t total = 0;
  int32_t ok = 0;
  int32_t notInPlan = 0;
  int worst = FleetOk;
  std::string journal;  // the journal's file; empty: none
  uint64_t imageSize = 0;
  std::string imageSha256;
  bool halted = false;  // a journal line could not be written
  std::string haltError, haltReason;
};

namespace {

bool HasStep(const FleetJob& job, FleetStep step) {
  return std::find(job.steps.begin(), job.steps.end(), step) != job.steps.end();
}

uint64_t Count(const Json& value) {
  return value.kind == Json::Number && value.number > 0 ? static_cast<uint64_t>(value.number) : 0;
}

std::string StringOf(const Json& value) { return value.kind == Json::String ? value.text : std::string(); }

// A worker's name for its converter: serial number and place, both when it
// has both (twins share the one); known by neither, its port.
void AddIdentity(std::vector<std::string>& args, const ConverterPort& converter) {
  if (converter.serial[0] != '\0') args.insert(args.end(), {"--serial", converter.serial});
  if (converter.location[0] != '\0') args.insert(args.end(), {"--location", converter.location});
  if (converter.serial[0] == '\0' && converter.location[0] == '\0') args.insert(args.end(), {"--port", converter.port});
}

std::vector<std::string> StepArguments(const FleetJob& job, const FleetUnitJob& own, FleetStep step,
                                       const ConverterPort& converter) {
  std::vector<std::string> args = {"rs485ctl", "--worker", "--json"};
  if (!job.trace.empty()) args.insert(args.end(), {"--trace", job.trace});
  AddIdentity(args, converter);
  const FleetSettings& s = own.settings;
  if (step == FleetStep::Write) {
    if (!s.baud.empty()) args.insert(args.end(), {"--baud", s.baud});
    if (s.parityRow >= 0) args.insert(args.end(), {"--parity", ParityNames[s.parityRow]});
    if (s.dataBitsRow >= 0) args.insert(args.end(), {"--bits", std::to_string(DataBitsValues[s.dataBitsRow])});
    if (s.stopBits != 0) args.insert(args.end(), {"--stop", std::to_string(s.stopBits)});
    if (s.echo >= 0) args.insert(args.end(), {"--echo", s.echo == 1 ? "on" : "off"});
    if (!s.verify) args.push_back("--no-verify");
  }
  if (step == FleetStep::Flash) args.insert(args.end(), {"--settle-ms", std::to_string(job.settleMs)});
  // The worker sends the image read at the start or nothing: a file changed meanwhile is refused.
  if (step == FleetStep::Flash && !own.sha256.empty()) args.insert(args.end(), {"--sha256", own.sha256});
  args.push_back(FleetStepCommand(step));
  if (step == FleetStep::Flash) args.insert(args.end(), {"--", own.image});
  return args;
}

void WorkerStart(Worker& worker, const std::string& program, const std::vector<std::string>& args) {
  worker = Worker{};
  const int error = program.empty() ? ENOENT : PlatformChildStart(program, args, worker.child);
  worker.started = error == 0;
  if (!worker.started) {
    const SystemError system = SystemErrorOf(error);
    worker.notStarted = MsgSystemFailure(system.code, system.text);
  }
}

// Passes the requests to stop on: the first to each worker, which ends as a
// Ctrl+C at a terminal makes it end; the second ends the updates at once
// (reads and writes are short, and a write is never cut between its record
// and its closing write).
void WorkerPassOnStop(Worker& worker, FleetStep step, int requests) {
  if (!worker.started) return;
  if (requests >= 1 && !worker.stopped) {
    PlatformChildStop(worker.child);
    worker.stopped = true;
  }
  if (requests >= 2 && step == FleetStep::Flash && !worker.killed) {
    PlatformChildKill(worker.child);
    worker.killed = true;
  }
}

// One line a worker printed. Each line of its protocol is one JSON object:
// a progress event, or its result; anything else is passed over.
template <class Progress>
void WorkerTake(Worker& worker, const std::string& line, Progress progress) {
  Json said;
  if (!JsonParse(line, said) || said.kind != Json::Object) return;
  if (StringOf(said["event"]) != "progress") {
    worker.result = line;
    worker.updating = false;
    return;
  }
  // Its converter may be in the update mode until its result comes.
  worker.updating = true;
  for (int p = UploadEntering; p <= UploadFinishing; ++p)
    if (StringOf(said["phase"]) == FleetPhaseNames[p]) worker.phase = static_cast<UploadPhase>(p);
  worker.recordsSent = Count(said["records_sent"]);
  worker.recordsTotal = Count(said["records_total"]);
  worker.progressPort = StringOf(said["port"]);
  progress();
}

// Takes what the worker printed, without waiting. True once it has ended and
// all it printed has been taken.
template <class Progress>
bool WorkerPoll(Worker& worker, Progress progress) {
  if (!worker.started) return true;
  const int read = PlatformChildRead(worker.child, worker.pending);
  for (size_t end; (end = worker.pending.find('\n')) != std::string::npos;) {
    // A worker's standard output on Windows ends its lines in CR LF.
    const std::string line = worker.pending.substr(0, end > 0 && worker.pending[end - 1] == '\r' ? end - 1 : end);
    worker.pending.erase(0, end + 1);
    WorkerTake(worker, line, progress);
  }
  if (read >= 0) return false;
  if (!worker.pending.empty()) {
    WorkerTake(worker, worker.pending, progress);
    worker.pending.clear();
  }
  return PlatformChildEnded(worker.child, worker.exitCode);
}

// Ends a worker at once and reaps it, for the destructor's deadline.
void WorkerEnd(Worker& worker) {
  if (!worker.started) return;
  PlatformChildKill(worker.child);
  while (!PlatformChildEnded(worker.child, worker.exitCode)) PlatformSleepMs(1);
  std::string rest;
  for (int k = 0; k < 100 && PlatformChildRead(worker.child, rest) >= 0; ++k) PlatformSleepMs(1);
  worker.started = false;
}

// The exit codes a worker ends with by itself.
bool OwnExitCode(int code) { return (code >= FleetOk && code <= FleetOutput) || code == FleetInterrupted; }

int FailureCodeOf(FleetStep step) {
  return step == FleetStep::Flash ? FleetFirmware : step == FleetStep::Write ? FleetWrite : FleetRead;
}

std::string UnitKey(const ConverterPort& converter) {
  return std::string(converter.serial) + '\n' + converter.location + '\n' +
         (converter.serial[0] == '\0' && converter.location[0] == '\0' ? converter.port : "");
}

bool Present(const std::string& key) {
  ConverterList found;
  LocateConverters(found);
  for (int32_t k = 0; k < found.count; ++k)
    if (UnitKey(found.converters[k]) == key) return true;
  return false;
}

FleetStep StepOf(const Unit& unit) { return unit.job.steps[std::min(unit.step, unit.job.steps.size() - 1)]; }

FleetEvent EventOf(FleetEventKind kind, const Unit& unit) {
  FleetEvent event;
  event.kind = kind;
  event.unit = unit.number;
  event.converter = unit.converter;
  event.step = StepOf(unit);
  event.planRow = unit.job.planRow;
  return event;
}

void UnitStepStart(FleetRun& run, Unit& unit) {
  WorkerStart(unit.worker, run.program, StepArguments(run.job, unit.job, StepOf(unit), unit.converter));
}

// The start of a result line made here, in the keys of the step's command's
// own: its port, and for an update its file and records.
std::string MadeResult(const Unit& unit, const std::string& result) {
  std::string fields = "{\"port\":" + JsonString(unit.converter.port);
  if (StepOf(unit) != FleetStep::Flash) return fields + ",\"result\":\"" + result + "\"";
  return fields + ",\"file\":" + JsonString(unit.job.image) + ",\"sha256\":" + JsonOrNull(unit.job.sha256) +
         ",\"result\":\"" + result +
         "\",\"records_sent\":" + std::to_string(unit.worker.recordsSent) +
         ",\"records_total\":" + std::to_string(unit.worker.recordsTotal) + ",\"bytes_sent\":null";
}

// A converter to serve: a unit of its own, its first step started. One
// without a serial port (--all) has its failure at once: no worker could
// serve it; one whose turn came after a request to stop is interrupted
// before anything was sent to it.
void UnitBegin(FleetRun& run, const ConverterPort& converter, std::vector<FleetEvent>& events) {
  FleetUnitJob own{run.job.steps, run.job.settings, run.job.image, 0, run.imageSha256, run.imageSize};
  if (run.job.plan && !run.job.plan(converter, own)) {
    // Left alone, and told once: watch takes it as served until it is unplugged.
    FleetEvent left;
    left.kind = FleetEventKind::NotInPlan;
    left.converter = converter;
    events.push_back(left);
    ++run.notInPlan;
    if (run.job.watch) run.served.insert(UnitKey(converter));
    return;
  }
  auto unit = std::make_unique<Unit>();
  unit->job = std::move(own);
  unit->number = ++run.numbered;
  unit->converter = converter;
  unit->startedMs = PlatformTickMs();
  if (run.requests > 0) {
    const bool flash = StepOf(*unit) == FleetStep::Flash;
    unit->worker.result = MadeResult(*unit, "interrupted") +
                          ",\"error\":" + JsonString(flash ? MsgUpdateInterrupted : MsgUnitNotReached) +
                          ",\"reason\":" + JsonString(MsgNothingSent) + "}";
    unit->worker.exitCode = FleetInterrupted;
  } else if (converter.port[0] == '\0') {
    unit->worker.result = "{\"port\":null,\"error\":" + JsonString(MsgPortOpenFailed) +
                          ",\"reason\":" + JsonString(MsgConverterWithoutPort) + "}";
    unit->worker.exitCode = FleetPort;
  } else {
    UnitStepStart(run, *unit);
  }
  events.push_back(EventOf(FleetEventKind::UnitStarted, *unit));
  run.active.push_back(std::move(unit));
}

// The result line of a step whose worker ended without its own, in the keys
// of its command's: result is "interrupted" or "worker_failed". released:
// what became of a converter it left in the update mode (empty: it did not).
void UnitMakeResult(Unit& unit, const std::string& released) {
  Worker& worker = unit.worker;
  const FleetStep step = StepOf(unit);
  const bool flash = step == FleetStep::Flash;
  std::string reason;
  if (unit.interrupted && flash)
    reason = MsgRecordsSent(worker.recordsSent, worker.recordsTotal) + ". " + released;
  else
    reason = MsgWorkerExitReason(worker.exitCode) + (released.empty() ? "" : " " + released);
  worker.result = MadeResult(unit, unit.interrupted ? "interrupted" : "worker_failed") +
                  ",\"error\":" + JsonString(unit.interrupted ? MsgUpdateInterrupted : MsgWorkerSilent) +
                  ",\"reason\":" + JsonString(reason) + "}";
  if (unit.interrupted) worker.exitCode = FleetInterrupted;
  else if (!OwnExitCode(worker.exitCode) || worker.exitCode == FleetOk) worker.exitCode = FailureCodeOf(step);
}

// What the release worker made of the converter, for the made result.
std::string ReleaseOutcome(const Worker& release) {
  if (!release.started && !release.notStarted.empty())
    return MsgUpdateModeNotLeft(std::string(MsgWorkerNotStarted) + " " + release.notStarted);
  Json said;
  if (!JsonParse(release.result, said) || said["left"].kind != Json::Bool)
    return MsgUpdateModeNotLeft(std::string(MsgWorkerSilent) + " " + MsgWorkerExitReason(release.exitCode));
  return said["left"].boolean ? std::string(MsgUpdateModeLeft) : MsgUpdateModeNotLeft(StringOf(said["reason"]));
}

// Once a step's worker has ended. True when the step's result is known; false
// while its converter, left in the update mode, is being told to leave it.
bool UnitSettle(FleetRun& run, Unit& unit) {
  Worker& worker = unit.worker;
  if (!worker.started) {
    if (!worker.result.empty()) return true;  // never to be started: its result is already said
    worker.result = "{\"port\":" + JsonString(unit.converter.port) +
                    ",\"result\":\"worker_not_started\",\"error\":" + JsonString(MsgWorkerNotStarted) +
                    ",\"reason\":" + JsonString(worker.notStarted) + "}";
    worker.exitCode = FleetPort;  // the converter could not be served
    return true;
  }
  // The name the update ended on, for what comes next.
  Json said;
  if (JsonParse(worker.result, said) && !StringOf(said["port"]).empty())
    std::snprintf(unit.converter.port, sizeof unit.converter.port, "%s", StringOf(said["port"]).c_str());
  if (!worker.result.empty() && OwnExitCode(worker.exitCode) && !worker.updating) return true;

  unit.interrupted = worker.killed || (run.requests > 0 && worker.exitCode == FleetInterrupted);
  if (!worker.updating) {
    UnitMakeResult(unit, std::string());
    return true;
  }
  // Its port is free now. After a second request nothing is waited for.
  std::vector<std::string> args = {"rs485ctl", "--worker", "--json"};
  AddIdentity(args, unit.converter);
  args.insert(args.end(), {"--settle-ms", std::to_string(run.requests > 1 ? 0 : run.job.settleMs), "leave"});
  WorkerStart(unit.release, run.program, args);
  unit.releasing = true;
  return false;
}

// The unit's line, on the disk before its end is told. One that cannot be
// written stops the run: no unit or step starts after it.
void RunJournal(FleetRun& run, const Unit& unit, const FleetEvent& done, std::vector<FleetEvent>& events) {
  if (run.journal.empty()) return;
  JournalUnit line;
  line.operation = run.job.operation;
  line.serial = unit.converter.serial;
  line.location = unit.converter.location;
  line.port = unit.converter.port;
  line.steps = unit.done;
  if (std::find(unit.job.steps.begin(), unit.job.steps.end(), FleetStep::Flash) != unit.job.steps.end()) {
    line.image = unit.job.image;
    line.imageSize = unit.job.imageSize;
    line.imageSha256 = unit.job.sha256;
  }
  line.result = done.result;
  line.exitCode = done.exitCode;
  line.error = done.error;
  line.reason = done.reason;
  line.durationMs = done.elapsedMs;
  std::string reason;
  if (JournalAppendUnit(run.journal, line, reason)) return;
  FleetEvent stopping;
  stopping.kind = FleetEventKind::Stopping;
  stopping.error = MsgJournalWriteFailed;
  stopping.reason = reason;
  if (!run.halted) events.push_back(stopping);
  run.halted = true;
  run.haltError = stopping.error;
  run.haltReason = reason;
}

// A step's result is known: tells it, then starts the next step or ends the
// unit. True when the unit has ended.
bool UnitStepEnded(FleetRun& run, Unit& unit, std::vector<FleetEvent>& events) {
  const Worker& worker = unit.worker;
  Json said;
  JsonParse(worker.result, said);
  FleetEvent ended = EventOf(FleetEventKind::StepEnded, unit);
  ended.exitCode = worker.exitCode;
  ended.result = worker.result;
  ended.error = StringOf(said["error"]);
  ended.reason = StringOf(said["reason"]);
  ended.recordsSent = Count(said["records_sent"]);
  ended.recordsTotal = Count(said["records_total"]);
  events.push_back(ended);
  unit.exitCode = worker.exitCode;
  unit.error = ended.error;
  unit.reason = ended.reason;
  unit.done.push_back({FleetStepCommand(ended.step), worker.exitCode, worker.result});
  if (unit.exitCode == FleetOk && unit.step + 1 < unit.job.steps.size() && run.requests == 0 && !run.halted) {
    ++unit.step;
    UnitStepStart(run, unit);
    events.push_back(EventOf(FleetEventKind::StepStarted, unit));
    return false;
  }
  const bool ok = unit.exitCode == FleetOk;
  FleetEvent done = EventOf(FleetEventKind::UnitEnded, unit);
  done.exitCode = unit.exitCode;
  done.result = ok ? "ok" : unit.exitCode == FleetInterrupted ? "interrupted" : "failed";
  done.error = ok ? std::string() : unit.error;
  done.reason = ok ? std::string() : unit.reason;
  done.elapsedMs = PlatformTickMs() - unit.startedMs;
  RunJournal(run, unit, done, events);
  events.push_back(done);
  ++run.total;
  run.ok += ok;
  run.worst = std::max(run.worst, unit.exitCode);
  // A unit that failed and was away meanwhile (unplugged during its update)
  // is served again when it is back, however soon.
  const std::string key = UnitKey(unit.converter);
  if (run.job.watch && (ok || (!unit.goneMeanwhile && Present(key)))) run.served.insert(key);
  return true;
}

// One unit's turn in a poll. True when it has ended.
bool UnitPoll(FleetRun& run, Unit& unit, std::vector<FleetEvent>& events) {
  if (unit.releasing) {
    if (!WorkerPoll(unit.release, [] {})) return false;
    unit.releasing = false;
    UnitMakeResult(unit, ReleaseOutcome(unit.release));
    return UnitStepEnded(run, unit, events);
  }
  WorkerPassOnStop(unit.worker, StepOf(unit), run.requests);
  const bool ended = WorkerPoll(unit.worker, [&] {
    FleetEvent progress = EventOf(FleetEventKind::Progress, unit);
    std::snprintf(progress.converter.port, sizeof progress.converter.port, "%s", unit.worker.progressPort.c_str());
    progress.phase = unit.worker.phase;
    progress.recordsSent = unit.worker.recordsSent;
    progress.recordsTotal = unit.worker.recordsTotal;
    events.push_back(progress);
  });
  return ended && UnitSettle(run, unit) && UnitStepEnded(run, unit, events);
}

// watch: the converters plugged in now; each new one becomes a unit.
void RunSearch(FleetRun& run, std::vector<FleetEvent>& events) {
  ConverterList found;
  LocateConverters(found);
  ConverterListKeep(found, run.job.serial.c_str(), run.job.location.c_str());
  std::set<std::string> present;
  for (int32_t k = 0; k < found.count; ++k) present.insert(UnitKey(found.converters[k]));
  for (auto it = run.served.begin(); it != run.served.end();) it = present.count(*it) ? std::next(it) : run.served.erase(it);
  for (const auto& unit : run.active) unit->goneMeanwhile |= present.count(UnitKey(unit->converter)) == 0;
  for (int32_t k = 0; k < found.count; ++k) {
    const std::string key = UnitKey(found.converters[k]);
    const bool busy =
        std::any_of(run.active.begin(), run.active.end(), [&](const auto& unit) { return UnitKey(unit->converter) == key; });
    // Only one seen at the search before as well: a converter that has just
    // appeared may not open yet (its node made, its permissions set, a
    // prober glancing at it), and a unit failed for that would count as
    // served until it is unplugged.
    if (!busy && run.served.count(key) == 0 && run.seen.count(key) != 0) UnitBegin(run, found.converters[k], events);
  }
  run.seen = std::move(present);
}

// Starts the units waiting their turn while fewer than the job's bound are
// served; after a request to stop, each is ended at once instead.
void RunFill(FleetRun& run, std::vector<FleetEvent>& events) {
  const size_t bound = run.job.jobs > 0 ? static_cast<size_t>(run.job.jobs) : run.waiting.size();
  while (!run.waiting.empty() && (run.requests > 0 || run.active.size() < bound)) {
    const ConverterPort converter = run.waiting.front();
    run.waiting.pop_front();
    UnitBegin(run, converter, events);
  }
}

void RunFinish(FleetRun& run, std::vector<FleetEvent>& events) {
  run.finished = true;
  // watch ends only when asked to; an update asked to stop ends as stopped,
  // whatever each unit got to.
  const bool stopped = run.requests > 0 && (run.job.watch || HasStep(run.job, FleetStep::Flash));
  run.exitCode = stopped ? FleetInterrupted : run.worst;
  if (run.halted) run.exitCode = std::max(run.exitCode, static_cast<int>(FleetOutput));
  FleetEvent finished;
  finished.kind = FleetEventKind::Finished;
  finished.error = run.haltError;
  finished.reason = run.haltReason;
  finished.exitCode = run.exitCode;
  finished.total = run.total;
  finished.ok = run.ok;
  finished.failed = run.total - run.ok;
  finished.notInPlan = run.notInPlan;
  events.push_back(finished);
}

}  // namespace

FleetEngine::FleetEngine(FleetJob job, std::string workerProgram) : run_(std::make_unique<FleetRun>()) {
  run_->job = std::move(job);
  run_->program = std::move(workerProgram);
  if (run_->job.steps.empty()) run_->job.steps.push_back(FleetStep::Read);
}

FleetEngine::~FleetEngine() {
  FleetRun& run = *run_;
  if (!run.started || run.finished) return;
  while (run.requests < 2) RequestStop();
  std::vector<FleetEvent> events;
  for (const uint32_t since = PlatformTickMs(); !run.finished && PlatformTickMs() - since < kEndWaitMs;
       PlatformSleepMs(kEndPollMs)) {
    events.clear();
    Poll(events);
  }
  // A worker that outlived the deadline (an exchange that hangs) is ended.
  for (const auto& unit : run.active) {
    WorkerEnd(unit->worker);
    WorkerEnd(unit->release);
  }
}

bool FleetEngine::Start(std::string& message, std::string& reason) {
  FleetRun& run = *run_;
  message.clear();
  reason.clear();
  if (run.started) return true;
  // The image must be there and whole before any converter is switched (a
  // plan's images were checked when it was read).
  if (HasStep(run.job, FleetStep::Flash) && !run.job.plan) {
    std::vector<uint8_t> image;
    if (FirmwareImageLoad(run.job.image.c_str(), image, message, reason) == UploadDone && image.empty())
      message = MsgFirmwareEmpty;
    run.imageSize = image.size();
    run.imageSha256 = Sha256Hex(image.data(), image.size());
    if (message.empty() && !run.job.sha256.empty() && run.imageSha256 != run.job.sha256) {
      message = MsgImageHashMismatch;
      reason = MsgImageHashReason(run.job.image, run.imageSha256, run.job.sha256);
    }
    if (!message.empty()) {
      run.exitCode = FleetFirmware;
      return false;
    }
  }
  if (!run.job.operation.empty() && !JournalPrepare(run.job.journal, run.journal, reason)) {
    message = MsgJournalOpenFailed;
    run.journal.clear();
    run.exitCode = FleetUsage;
    return false;
  }
  if (run.job.watch) {
    run.started = true;
    run.nextSearchMs = PlatformTickMs();
    return true;
  }
  // The ports named are served without a search, each known by its name.
  for (const std::string& name : run.job.ports) {
    ConverterPort converter{};
    std::snprintf(converter.port, sizeof converter.port, "%s", name.c_str());
    run.waiting.push_back(converter);
  }
  if (run.job.ports.empty()) {
    ConverterList found;
    LocateConvertersPlugged(found);
    ConverterListKeep(found, run.job.serial.c_str(), run.job.location.c_str());
    if (found.count == 0) {
      message = MsgNoDevice;
      run.exitCode = FleetAbsent;
      return false;
    }
    run.waiting.assign(found.converters, found.converters + found.count);
  }
  run.started = true;
  RunFill(run, run.queued);
  return true;
}

void FleetEngine::Poll(std::vector<FleetEvent>& events) {
  FleetRun& run = *run_;
  if (!run.started || run.finished) return;
  events.insert(events.end(), run.queued.begin(), run.queued.end());
  run.queued.clear();
  if (run.requests > 0 && !run.stoppingTold) {
    FleetEvent stopping;
    stopping.kind = FleetEventKind::Stopping;
    events.push_back(stopping);
    run.stoppingTold = true;
  }
  if (run.job.watch && (run.requests > 0 || run.halted) && run.active.empty()) return RunFinish(run, events);
  if (run.job.watch && run.requests == 0 && !run.halted && static_cast<int32_t>(PlatformTickMs() - run.nextSearchMs) >= 0) {
    run.nextSearchMs = PlatformTickMs() + kSearchEveryMs;
    RunSearch(run, events);
  }
  for (auto it = run.active.begin(); it != run.active.end();)
    it = UnitPoll(run, **it, events) ? run.active.erase(it) : std::next(it);
  RunFill(run, events);
  if (!run.job.watch && run.active.empty()) RunFinish(run, events);
}

void FleetEngine::RequestStop() { ++run_->requests; }

int FleetEngine::StopRequests() const { return run_->requests; }

bool FleetEngine::Finished() const { return run_->finished; }

int FleetEngine::ExitCode() const { return run_->exitCode; }
