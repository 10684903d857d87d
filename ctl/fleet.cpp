#include "ctl/fleet.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ctl/output.h"
#include "discovery/device_locator.h"
#include "ops/firmware_upload.h"
#include "ops/json.h"
#include "ops/messages.h"
#include "platform/interrupt.h"
#include "platform/process.h"
#include "platform/system_error.h"
#include "platform/time.h"
#include "ports/ms_clock.h"
#include "ports/port_table.h"

namespace {

constexpr int32_t kPollMs = 20;          // how often the workers' output is looked at
constexpr int32_t kSearchEveryMs = 500;  // watch: how often converters are looked for
constexpr const char* kProgress = "\"event\":\"progress\",";

// One worker: this program serving one converter with one command.
struct Worker {
  ConverterPort converter{};
  std::string command;
  PlatformChild child;
  std::string pending;   // output not yet ended by a newline
  std::string result;    // its last line that is no progress event
  std::string progress;  // its last progress event
  int exitCode = 0;
  int startError = 0;     // why it could not be started: the system's code in errno terms
  bool started = false;
  bool updating = false;  // its converter may be in the update mode: a progress event came, its result not yet
  bool stopped = false;   // a request to stop was passed on to it
  bool killed = false;    // ended from here, on a second request
};

// The image a flash worker is given: watch's --flash, or flash's FILE.
std::string ImageOf(const Options& options) { return options.image.empty() ? options.file : options.image; }

bool IsProgress(const std::string& line) {
  Json said;
  return JsonParse(line, said) && said.kind == Json::Object && said["event"].text == "progress";
}

std::vector<std::string> WorkerArguments(const Options& options, const std::string& command,
                                         const ConverterPort& converter) {
  std::vector<std::string> args = {"rs485ctl", "--worker", "--json"};
  if (!options.trace.empty()) args.insert(args.end(), {"--trace", options.trace});
  if (converter.serial[0] != '\0') args.insert(args.end(), {"--serial", converter.serial});
  if (converter.location[0] != '\0') args.insert(args.end(), {"--location", converter.location});
  // Known by neither: by its port, the only name it has.
  if (converter.serial[0] == '\0' && converter.location[0] == '\0') args.insert(args.end(), {"--port", converter.port});
  if (command == "write") {
    // What the command line and the profile named, as they were checked here.
    if (!options.baud.empty()) args.insert(args.end(), {"--baud", options.baud});
    if (options.parityRow >= 0) args.insert(args.end(), {"--parity", ParityNames[options.parityRow]});
    if (options.dataBitsRow >= 0)
      args.insert(args.end(), {"--bits", std::to_string(DataBitsValues[options.dataBitsRow])});
    if (options.stopBits != 0) args.insert(args.end(), {"--stop", std::to_string(options.stopBits)});
    if (options.echo >= 0) args.insert(args.end(), {"--echo", options.echo == 1 ? "on" : "off"});
    if (!options.verify) args.push_back("--no-verify");
  }
  if (command == "flash") args.insert(args.end(), {"--settle-ms", std::to_string(options.settleMs)});
  args.push_back(command);
  if (command == "flash") args.insert(args.end(), {"--", ImageOf(options)});
  return args;
}

void WorkerStart(Worker& worker, const Options& options, const std::string& command) {
  const std::string self = PlatformSelfPath();
  worker.command = command;
  worker.startError =
      self.empty() ? ENOENT : PlatformChildStart(self, WorkerArguments(options, command, worker.converter), worker.child);
  worker.started = worker.startError == 0;
}

// Passes the requests to stop on: the first to each worker, which ends as a
// Ctrl+C at the terminal makes it end; the second ends the updates at once
// (reads and writes are short, and a write is never cut between its record
// and its closing write).
void WorkerPassOnStop(Worker& worker, int requests) {
  if (!worker.started) return;
  if (requests >= 1 && !worker.stopped) {
    PlatformChildStop(worker.child);
    worker.stopped = true;
  }
  if (requests >= 2 && worker.command == "flash" && !worker.killed) {
    PlatformChildKill(worker.child);
    worker.killed = true;
  }
}

// Takes what the worker printed; each whole line goes to line(). True once it
// has ended and all it printed has been taken.
template <class Line>
bool WorkerPoll(Worker& worker, Line line) {
  if (!worker.started) return true;
  const int read = PlatformChildRead(worker.child, worker.pending);
  const auto take = [&](const std::string& text) {
    // An update's progress means its converter may be in the update mode
    // until its result comes.
    (IsProgress(text) ? worker.progress : worker.result) = text;
    worker.updating = IsProgress(text);
    line(text);
  };
  for (size_t end; (end = worker.pending.find('\n')) != std::string::npos;) {
    // A worker's standard output on Windows ends its lines in CR LF.
    const std::string text = worker.pending.substr(0, end > 0 && worker.pending[end - 1] == '\r' ? end - 1 : end);
    worker.pending.erase(0, end + 1);
    take(text);
  }
  if (read >= 0) return false;
  if (!worker.pending.empty()) {
    take(worker.pending);
    worker.pending.clear();
  }
  return PlatformChildEnded(worker.child, worker.exitCode);
}

// A member of a JSON line, as text; empty when it has none.
std::string MemberText(const std::string& line, const char* key) {
  Json said;
  return JsonParse(line, said) ? said[key].text : std::string();
}

// A worker's line for the JSON lines here: its event first, then the
// converter's serial number and place, then what the worker said.
std::string Tagged(const std::string& line, const ConverterPort& converter) {
  std::string body = line.size() > 1 && line[0] == '{' ? line.substr(1) : "\"output\":" + JsonString(line) + "}";
  std::string event = "result";
  if (body.rfind(kProgress, 0) == 0) {
    body.erase(0, std::string(kProgress).size());
    event = "progress";
  }
  return "{\"event\":\"" + event + "\",\"serial\":" + JsonOrNull(converter.serial) +
         ",\"location\":" + JsonOrNull(converter.location) + (body == "}" ? "" : ",") + body;
}

// What a worker's result line says for people: the failure, or what was done.
std::string ResultDetail(const Worker& worker) {
  Json result;
  if (!JsonParse(worker.result, result)) return MsgWorkerSilent;
  const auto text = [&](const char* key) { return result[key].text; };
  if (!text("error").empty()) return text("error") + (text("reason").empty() ? "" : ": " + text("reason"));
  const auto number = [&](const char* key) { return std::strtoull(text(key).c_str(), nullptr, 10); };
  if (result.Has("records_sent")) return MsgRecordsSent(number("records_sent"), number("records_total"));
  return text("baud") + " бит/с, " + text("parity") + ", " + text("data_bits") + " бит, стоп-битов " + text("stop_bits") +
         ", запись " + text("raw");
}

// The exit codes a worker ends with by itself.
bool OwnExitCode(int code) { return (code >= ExitOk && code <= ExitOutput) || code == ExitInterrupted; }

int FailureCodeOf(const std::string& command) {
  return command == "flash" ? ExitFirmware : command == "write" ? ExitWrite : ExitRead;
}

// Tells the converter a worker left in its update mode to leave it, found
// within waitMs (the port is free: its worker is gone). What became of it,
// for the reason; empty when it was not updating.
std::string WorkerReleaseConverter(Worker& worker, int32_t waitMs) {
  if (!worker.updating) return std::string();
  worker.updating = false;
  PortLayerInit();
  MsClockStart();
  std::string why;
  return FirmwareLeaveUpdateMode(worker.converter, waitMs, why) ? std::string(MsgUpdateModeLeft)
                                                                : MsgUpdateModeNotLeft(why);
}

// The result line of a worker that ended without its own, in the keys of
// its command's: result is "interrupted" or "worker_failed".
std::string MadeResult(const Worker& worker, const Options& options, const std::string& result, const char* error,
                       const std::string& reason) {
  std::string fields = "{\"port\":" + JsonString(worker.converter.port);
  if (worker.command == "flash") {
    const std::string sent = MemberText(worker.progress, "records_sent");
    const std::string total = MemberText(worker.progress, "records_total");
    fields += ",\"file\":" + JsonString(ImageOf(options)) + ",\"result\":\"" + result +
              "\",\"records_sent\":" + (sent.empty() ? "0" : sent) +
              ",\"records_total\":" + (total.empty() ? "0" : total) + ",\"bytes_sent\":null";
  } else {
    fields += ",\"result\":\"" + result + "\"";
  }
  return fields + ",\"error\":" + JsonString(error) + ",\"reason\":" + JsonString(reason) + "}";
}

// Once a worker has ended: one that could not start, or ended without its
// result (killed, crashed, or ended at once by a second request), gets a
// whole result line made here, and its converter is released.
void WorkerSettle(Worker& worker, const Options& options, bool stopRequested, int32_t waitMs) {
  if (!worker.started) {
    if (!worker.result.empty()) return;  // never to be started: its result is already said
    const SystemError system = SystemErrorOf(worker.startError);
    worker.result = "{\"port\":" + JsonString(worker.converter.port) +
                    ",\"result\":\"worker_not_started\",\"error\":" + JsonString(MsgWorkerNotStarted) +
                    ",\"reason\":" + JsonString(MsgSystemFailure(system.code, system.text)) + "}";
    worker.exitCode = ExitPort;  // the converter could not be served
    return;
  }
  // The name the update ended on, for the line here.
  const std::string port = MemberText(worker.result, "port");
  if (!port.empty()) std::snprintf(worker.converter.port, sizeof worker.converter.port, "%s", port.c_str());
  if (!worker.result.empty() && OwnExitCode(worker.exitCode) && !worker.updating) return;

  const bool interrupted = worker.killed || (stopRequested && worker.exitCode == ExitInterrupted);
  const std::string released = WorkerReleaseConverter(worker, waitMs);
  std::string reason;
  if (interrupted && worker.command == "flash") {
    const auto number = [&](const char* key) {
      return std::strtoull(MemberText(worker.progress, key).c_str(), nullptr, 10);
    };
    reason = MsgRecordsSent(number("records_sent"), number("records_total")) + ". " + released;
  } else {
    reason = MsgWorkerExitReason(worker.exitCode) + (released.empty() ? "" : " " + released);
  }
  worker.result = interrupted ? MadeResult(worker, options, "interrupted", MsgUpdateInterrupted, reason)
                              : MadeResult(worker, options, "worker_failed", MsgWorkerSilent, reason);
  if (interrupted) worker.exitCode = ExitInterrupted;
  else if (!OwnExitCode(worker.exitCode) || worker.exitCode == ExitOk) worker.exitCode = FailureCodeOf(worker.command);
}

// The image must be there and whole before any converter is switched.
bool ImageReady(const std::string& file, bool json) {
  std::vector<uint8_t> image;
  std::string message;
  std::string reason;
  if (FirmwareImageLoad(file.c_str(), image, message, reason) == UploadDone && image.empty()) message = MsgFirmwareEmpty;
  else if (message.empty()) return true;
  CtlWrite(stderr, message + "\n" + (reason.empty() ? "" : reason + "\n"));
  PrintError(nullptr, message.c_str(), reason, json);
  return false;
}

// The units served and how they ended, for the last line.
struct Tally {
  int32_t total = 0;
  int32_t ok = 0;
  int worst = ExitOk;
  void Add(int exitCode) {
    ++total;
    ok += exitCode == ExitOk;
    worst = std::max(worst, exitCode);
  }
};

void PrintSummary(const Tally& tally, int exitCode, bool json) {
  if (json)
    CtlWriteLine("{\"event\":\"summary\",\"converters\":" + std::to_string(tally.total) + ",\"ok\":" +
                 std::to_string(tally.ok) + ",\"failed\":" + std::to_string(tally.total - tally.ok) +
                 ",\"exit_code\":" + std::to_string(exitCode) + "}");
  else
    CtlWriteLine(MsgFleetSummary(tally.total, tally.ok, tally.total - tally.ok));
}

// One converter in watch: its steps, one worker after the other.
struct Unit {
  std::vector<std::string> steps;
  size_t step = 0;
  Worker worker;
  uint32_t startedMs = 0;
  std::string outcomes;  // the steps done, as JSON
  std::string detail;    // the same for people
  int exitCode = ExitOk;
  bool goneMeanwhile = false;  // a search did not see it while it was served
};

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

const char* StepText(const std::string& step) {
  return step == "flash" ? MsgStepFlash : step == "write" ? MsgStepWrite : MsgStepRead;
}

// Notes how the unit's current step ended.
void UnitStepDone(Unit& unit) {
  const std::string& step = unit.steps[unit.step];
  Json result;
  JsonParse(unit.worker.result, result);
  const Json& error = result["error"];
  const std::string failure = unit.worker.exitCode == ExitOk ? "" : ResultDetail(unit.worker);
  unit.outcomes += std::string(unit.outcomes.empty() ? "" : ",") + "{\"step\":\"" + step +
                   "\",\"exit_code\":" + std::to_string(unit.worker.exitCode) +
                   ",\"error\":" + (error.kind == Json::String ? JsonString(error.text) : "null") +
                   "}";
  unit.detail += (unit.detail.empty() ? "" : ", ") + std::string(StepText(step)) + (failure.empty() ? "" : ": " + failure);
  unit.exitCode = unit.worker.exitCode;
  ++unit.step;
}

void PrintUnit(const Unit& unit, bool json) {
  const bool ok = unit.exitCode == ExitOk;
  const uint32_t ms = PlatformTickMs() - unit.startedMs;
  const ConverterPort& c = unit.worker.converter;
  if (json) {
    const char* result = ok ? "ok" : unit.exitCode == ExitInterrupted ? "interrupted" : "failed";
    CtlWriteLine("{\"event\":\"unit\",\"serial\":" + JsonOrNull(c.serial) + ",\"location\":" + JsonOrNull(c.location) +
                 ",\"port\":" + JsonString(c.port) + ",\"steps\":[" + unit.outcomes + "],\"result\":\"" + result +
                 "\",\"exit_code\":" + std::to_string(unit.exitCode) + ",\"time_ms\":" + std::to_string(ms) + "}");
    return;
  }
  CtlWriteLine(UnitLine(ok, c, unit.detail + CtlFormat(" (%.1f с)", ms / 1000.0)));
}

}  // namespace

int CommandAll(const Options& options) {
  if (options.command == "flash" && !ImageReady(options.file, options.json)) return ExitFirmware;
  ConverterList found;
  LocateConvertersPlugged(found);
  ConverterListKeep(found, options.serial.c_str(), options.location.c_str());
  if (found.count == 0) {
    CtlWrite(stderr, std::string(MsgNoDevice) + "\n");
    PrintError(nullptr, MsgNoDevice, "", options.json);
    return ExitAbsent;
  }
  // Each request to stop is passed on from here; the second still ends
  // with the converters told to leave the update mode.
  PlatformInterruptCount();
  std::vector<Worker> workers(static_cast<size_t>(found.count));
  for (size_t k = 0; k < workers.size(); ++k) {
    workers[k].converter = found.converters[k];
    // One without a serial port fails with its reason; no worker could serve it.
    if (found.converters[k].port[0] == '\0') {
      workers[k].result = ErrorJson(nullptr, MsgPortOpenFailed, MsgConverterWithoutPort);
      workers[k].exitCode = ExitPort;
      continue;
    }
    WorkerStart(workers[k], options, options.command);
  }
  Tally tally;
  for (std::vector<bool> done(workers.size(), false); std::count(done.begin(), done.end(), false) > 0;) {
    const int requests = PlatformInterruptRequests();
    for (size_t k = 0; k < workers.size(); ++k) {
      Worker& worker = workers[k];
      if (done[k]) continue;
      WorkerPassOnStop(worker, requests);
      const bool ended = WorkerPoll(worker, [&](const std::string& line) {
        if (options.json && IsProgress(line)) CtlWriteLine(Tagged(line, worker.converter));
      });
      if (!ended) continue;
      done[k] = true;
      WorkerSettle(worker, options, requests > 0, requests > 1 ? 0 : options.settleMs);
      tally.Add(worker.exitCode);
      CtlWriteLine(options.json ? Tagged(worker.result, worker.converter)
                                : UnitLine(worker.exitCode == ExitOk, worker.converter, ResultDetail(worker)));
    }
    PlatformSleepMs(kPollMs);
  }
  // An update asked to stop ends as stopped, whatever each unit got to.
  const int worst = options.command == "flash" && PlatformInterrupted() ? ExitInterrupted : tally.worst;
  PrintSummary(tally, worst, options.json);
  return worst;
}

int CommandWatch(const Options& options) {
  if (!options.image.empty() && !ImageReady(options.image, options.json)) return ExitFirmware;
  std::vector<std::string> steps;
  if (!options.image.empty()) steps.push_back("flash");
  const bool settings = !options.profile.empty() || !options.baud.empty() || options.parityRow >= 0 ||
                        options.dataBitsRow >= 0 || options.stopBits != 0 || options.echo >= 0;
  if (settings) steps.push_back("write");
  if (steps.empty()) steps.push_back("read");

  PlatformInterruptCount();
  CtlWrite(stderr, std::string(MsgWatchWaiting) + "\n");
  std::vector<std::unique_ptr<Unit>> active;
  std::set<std::string> served;  // served, and not unplugged since
  Tally tally;
  bool told = false;
  for (uint32_t nextSearch = PlatformTickMs();; PlatformSleepMs(kPollMs)) {
    const int requests = PlatformInterruptRequests();
    const bool stopping = requests > 0;
    if (stopping && !told) {
      CtlWrite(stderr, std::string(MsgWatchStopping) + "\n");
      told = true;
    }
    if (stopping && active.empty()) break;
    if (!stopping && static_cast<int32_t>(PlatformTickMs() - nextSearch) >= 0) {
      nextSearch = PlatformTickMs() + kSearchEveryMs;
      ConverterList found;
      LocateConverters(found);
      std::set<std::string> present;
      for (int32_t k = 0; k < found.count; ++k) present.insert(UnitKey(found.converters[k]));
      for (auto it = served.begin(); it != served.end();) it = present.count(*it) ? std::next(it) : served.erase(it);
      for (const auto& unit : active) unit->goneMeanwhile |= present.count(UnitKey(unit->worker.converter)) == 0;
      for (int32_t k = 0; k < found.count; ++k) {
        const std::string key = UnitKey(found.converters[k]);
        const bool busy = std::any_of(active.begin(), active.end(),
                                      [&](const auto& unit) { return UnitKey(unit->worker.converter) == key; });
        if (busy || served.count(key) != 0) continue;
        auto unit = std::make_unique<Unit>();
        unit->steps = steps;
        unit->startedMs = PlatformTickMs();
        unit->worker.converter = found.converters[k];
        WorkerStart(unit->worker, options, steps[0]);
        active.push_back(std::move(unit));
      }
    }
    for (auto it = active.begin(); it != active.end();) {
      Unit& unit = **it;
      WorkerPassOnStop(unit.worker, requests);
      const bool ended = WorkerPoll(unit.worker, [&](const std::string& line) {
        if (options.json && IsProgress(line)) CtlWriteLine(Tagged(line, unit.worker.converter));
      });
      if (!ended) {
        ++it;
        continue;
      }
      WorkerSettle(unit.worker, options, stopping, requests > 1 ? 0 : options.settleMs);
      UnitStepDone(unit);
      if (unit.exitCode == ExitOk && unit.step < unit.steps.size() && !PlatformInterrupted()) {
        const ConverterPort converter = unit.worker.converter;
        unit.worker = Worker{};
        unit.worker.converter = converter;
        WorkerStart(unit.worker, options, unit.steps[unit.step]);
        ++it;
        continue;
      }
      PrintUnit(unit, options.json);
      tally.Add(unit.exitCode);
      // A unit that failed and was away meanwhile (unplugged during its
      // update) is served again when it is back, however soon.
      const std::string key = UnitKey(unit.worker.converter);
      if (unit.exitCode == ExitOk || (!unit.goneMeanwhile && Present(key))) served.insert(key);
      it = active.erase(it);
    }
  }
  PrintSummary(tally, ExitInterrupted, options.json);
  return ExitInterrupted;
}
