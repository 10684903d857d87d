#include "ctl/fleet.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ctl/output.h"
#include "ctl/profile.h"
#include "discovery/device_locator.h"
#include "ops/firmware_upload.h"
#include "ops/messages.h"
#include "platform/interrupt.h"
#include "platform/process.h"
#include "platform/time.h"

namespace {

constexpr int32_t kPollMs = 20;          // how often the workers' output is looked at
constexpr int32_t kSearchEveryMs = 500;  // watch: how often converters are looked for
constexpr const char* kProgress = "\"event\":\"progress\",";

// One worker: this program serving one converter with one command.
struct Worker {
  ConverterPort converter{};
  PlatformChild child;
  std::string pending;  // output not yet ended by a newline
  std::string result;   // its last line that is no progress event
  int exitCode = 0;
  bool started = false;
};

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
    if (options.parityRow >= 0) args.insert(args.end(), {"--parity", CtlParityNames[options.parityRow]});
    if (options.dataBitsRow >= 0)
      args.insert(args.end(), {"--bits", std::to_string(DataBitsValues[options.dataBitsRow])});
    if (options.stopBits != 0) args.insert(args.end(), {"--stop", std::to_string(options.stopBits)});
    if (options.echo >= 0) args.insert(args.end(), {"--echo", options.echo == 1 ? "on" : "off"});
    if (!options.verify) args.push_back("--no-verify");
  }
  if (command == "flash") args.insert(args.end(), {"--settle-ms", std::to_string(options.settleMs)});
  args.push_back(command);
  if (command == "flash") args.insert(args.end(), {"--", options.image.empty() ? options.file : options.image});
  return args;
}

bool WorkerStart(Worker& worker, const Options& options, const std::string& command) {
  const std::string self = PlatformSelfPath();
  worker.started = !self.empty() && PlatformChildStart(self, WorkerArguments(options, command, worker.converter), worker.child);
  return worker.started;
}

// Takes what the worker printed; each whole line goes to line(). True once it
// has ended and all it printed has been taken.
template <class Line>
bool WorkerPoll(Worker& worker, Line line) {
  if (!worker.started) return true;
  const int read = PlatformChildRead(worker.child, worker.pending);
  for (size_t end; (end = worker.pending.find('\n')) != std::string::npos;) {
    // A worker's standard output on Windows ends its lines in CR LF.
    const std::string text = worker.pending.substr(0, end > 0 && worker.pending[end - 1] == '\r' ? end - 1 : end);
    worker.pending.erase(0, end + 1);
    if (text.rfind(std::string("{") + kProgress, 0) != 0) worker.result = text;
    line(text);
  }
  if (read >= 0) return false;
  if (!worker.pending.empty()) {
    worker.result = worker.pending;
    line(worker.pending);
    worker.pending.clear();
  }
  return PlatformChildEnded(worker.child, worker.exitCode);
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
  std::vector<JsonMember> members;
  std::string problem;
  if (!JsonObjectParse(worker.result, members, problem)) return MsgWorkerSilent;
  const auto text = [&](const char* key) {
    const JsonMember* m = JsonFind(members, key);
    return m != nullptr ? m->text : std::string();
  };
  if (!text("error").empty()) return text("error") + (text("reason").empty() ? "" : ": " + text("reason"));
  const auto number = [&](const char* key) { return std::strtoull(text(key).c_str(), nullptr, 10); };
  if (JsonFind(members, "records_sent") != nullptr) return MsgRecordsSent(number("records_sent"), number("records_total"));
  return text("baud") + " бит/с, " + text("parity") + ", " + text("data_bits") + " бит, стоп-битов " + text("stop_bits") +
         ", запись " + text("raw");
}

// The result a worker that printed none leaves.
void NoteSilence(Worker& worker) {
  if (!worker.result.empty()) return;
  worker.result = "{\"port\":" + JsonString(worker.converter.port) + ",\"error\":" +
                  JsonString(worker.started ? MsgWorkerSilent : MsgWorkerNotStarted) + ",\"reason\":null}";
  if (!worker.started) worker.exitCode = ExitPort;  // the converter could not be served
  if (worker.exitCode == 0) worker.exitCode = ExitOutput;
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

// One converter in watch: its steps, one worker after the other.
struct Unit {
  std::vector<std::string> steps;
  size_t step = 0;
  Worker worker;
  uint32_t startedMs = 0;
  std::string outcomes;  // the steps done, as JSON
  std::string detail;    // the same for people
  int exitCode = ExitOk;
};

std::string UnitKey(const ConverterPort& converter) {
  return std::string(converter.serial) + '\n' + converter.location + '\n' +
         (converter.serial[0] == '\0' && converter.location[0] == '\0' ? converter.port : "");
}

const char* StepText(const std::string& step) {
  return step == "flash" ? MsgStepFlash : step == "write" ? MsgStepWrite : MsgStepRead;
}

// Notes how the unit's current step ended.
void UnitStepDone(Unit& unit) {
  const std::string& step = unit.steps[unit.step];
  std::vector<JsonMember> members;
  std::string problem;
  JsonObjectParse(unit.worker.result, members, problem);
  const JsonMember* error = JsonFind(members, "error");
  const std::string failure = unit.worker.exitCode == ExitOk ? "" : ResultDetail(unit.worker);
  unit.outcomes += std::string(unit.outcomes.empty() ? "" : ",") + "{\"step\":\"" + step +
                   "\",\"exit_code\":" + std::to_string(unit.worker.exitCode) +
                   ",\"error\":" + (error != nullptr && error->kind == JsonMember::String ? JsonString(error->text) : "null") +
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
    CtlWriteLine("{\"event\":\"unit\",\"serial\":" + JsonOrNull(c.serial) + ",\"location\":" + JsonOrNull(c.location) +
                 ",\"port\":" + JsonString(c.port) + ",\"steps\":[" + unit.outcomes + "],\"result\":\"" +
                 (ok ? "ok" : "failed") + "\",\"exit_code\":" + std::to_string(unit.exitCode) +
                 ",\"time_ms\":" + std::to_string(ms) + "}");
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
  // The first Ctrl+C is the workers' to act on; this one waits for them.
  PlatformInterruptCatch();
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
  int worst = ExitOk;
  int32_t ok = 0;
  for (std::vector<bool> done(workers.size(), false); std::count(done.begin(), done.end(), false) > 0;) {
    for (size_t k = 0; k < workers.size(); ++k) {
      Worker& worker = workers[k];
      if (done[k]) continue;
      const bool ended = WorkerPoll(worker, [&](const std::string& line) {
        if (options.json && line.rfind(std::string("{") + kProgress, 0) == 0) CtlWriteLine(Tagged(line, worker.converter));
      });
      if (!ended) continue;
      done[k] = true;
      NoteSilence(worker);
      worst = std::max(worst, worker.exitCode);
      ok += worker.exitCode == ExitOk;
      CtlWriteLine(options.json ? Tagged(worker.result, worker.converter)
                                : UnitLine(worker.exitCode == ExitOk, worker.converter, ResultDetail(worker)));
    }
    PlatformSleepMs(kPollMs);
  }
  const int32_t total = found.count;
  if (options.json)
    CtlWriteLine("{\"event\":\"summary\",\"converters\":" + std::to_string(total) + ",\"ok\":" + std::to_string(ok) +
                 ",\"failed\":" + std::to_string(total - ok) + ",\"exit_code\":" + std::to_string(worst) + "}");
  else
    CtlWriteLine(MsgFleetSummary(total, ok, total - ok));
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

  PlatformInterruptCatch();
  CtlWrite(stderr, std::string(MsgWatchWaiting) + "\n");
  std::vector<std::unique_ptr<Unit>> active;
  std::set<std::string> served;  // served, and not unplugged since
  bool told = false;
  for (uint32_t nextSearch = PlatformTickMs();; PlatformSleepMs(kPollMs)) {
    const bool stopping = PlatformInterrupted();
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
      const bool ended = WorkerPoll(unit.worker, [&](const std::string& line) {
        if (options.json && line.rfind(std::string("{") + kProgress, 0) == 0)
          CtlWriteLine(Tagged(line, unit.worker.converter));
      });
      if (!ended) {
        ++it;
        continue;
      }
      NoteSilence(unit.worker);
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
      served.insert(UnitKey(unit.worker.converter));
      it = active.erase(it);
    }
  }
  return ExitInterrupted;
}
