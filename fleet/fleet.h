#pragma once
// The fleet: several converters served at once, each by a worker process of
// its own (rs485ctl started with the hidden --worker for one converter and one
// step, docs/worker.md), for rs485ctl's --all and watch and for the windows'
// station. The port layer, the clock and the search are each one per process,
// so the workers are processes; this engine only searches, starts them, reads
// their JSON lines through a pipe without waiting, passes stop requests on,
// and turns what they say into events. It never waits: Poll() is called from
// a loop (rs485ctl) or a window's timer, and returns at once; even a
// converter a worker left in its update mode is released by a short worker.
// Nothing here prints.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "discovery/device_locator.h"
#include "ops/firmware_upload.h"

// rs485ctl's exit codes, which are also the workers' and a unit's outcome.
enum FleetExit : int {
  FleetOk = 0,
  FleetAbsent = 1,
  FleetUsage = 2,
  FleetPort = 3,
  FleetRead = 4,
  FleetWrite = 5,
  FleetFirmware = 6,
  FleetOutput = 7,
  FleetInterrupted = 130,
};

// One step of a unit; a unit's steps run one after the other, and a step
// that fails ends the unit.
enum class FleetStep : uint8_t { Read, Write, Flash };

// The worker's command of a step: "read", "write", "flash".
const char* FleetStepCommand(FleetStep step);

// The names of an update's phases in the workers' progress lines, by UploadPhase.
extern const char* const FleetPhaseNames[UploadFinishing + 1];

// What a write step changes; what is unset keeps what the converter has.
struct FleetSettings {
  std::string baud;      // decimal, as --baud takes it; empty: unset
  int parityRow = -1;    // -1: unset
  int dataBitsRow = -1;  // -1: unset
  int stopBits = 0;      // 1 or 2; 0: unset
  int echo = -1;         // 0 off, 1 on; -1: unset
  bool verify = true;    // read back and compare
};

// True when a write step would change something.
bool FleetSettingsGiven(const FleetSettings& settings);

// Reads a profile (what `rs485ctl read --json` prints) into the settings it
// leaves unset, so that what was chosen otherwise wins. false, with the
// problem in the user's words, when the file cannot be read, is not one JSON
// object, or holds a key or value that is not a setting the converter takes;
// nothing is changed then.
bool FleetProfileRead(const std::string& path, FleetSettings& settings, std::string& problem);

// Reads a ports file: one port name a line, as --port takes it; "#" starts a
// comment to the end of its line; blank lines, a UTF-8 byte-order mark and CR
// LF line ends are taken. false, with the problem in the user's words naming
// the line, for a file that cannot be read, names no port, names one twice,
// or holds a line that is no port name; ports is left as it was then.
bool FleetPortsRead(const std::string& path, std::vector<std::string>& ports, std::string& problem);

// One unit's own part of a job: its steps, settings and image, and the row
// of the plan that chose them (0: the job's own, no plan).
struct FleetUnitJob {
  std::vector<FleetStep> steps;
  FleetSettings settings;
  std::string image;
  int32_t planRow = 0;
  // The image's SHA-256 and size as read before any converter was touched
  // (a plan's when the plan was checked); the worker refuses another.
  std::string sha256;
  uint64_t imageSize = 0;
};

struct FleetJob {
  std::vector<FleetStep> steps;  // empty: a settings read
  std::string image;             // the image of a Flash step, checked by FleetEngine::Start
  int32_t settleMs = FirmwareSettleMs;
  FleetSettings settings;        // of a Write step
  std::string trace;             // the workers' --trace ("-" or empty)
  // false: the converters present at the start, each once (--all); true:
  // every converter plugged in, once until it is unplugged, until stopped
  // (watch, the station).
  bool watch = false;
  std::string serial;    // only converters with this serial number; empty: any
  std::string location;  // only converters in this place; empty: any
  std::string sha256;    // the SHA-256 the image must have, lower-case hex; empty: not checked
  // The journal's name for what the run does ("write", "flash", "watch",
  // "station"); empty: the run changes nothing and is not journaled.
  std::string operation;
  std::string journal;   // the journal's file; empty: the default place
  // Not watch: the units are these ports (TCP, RFC 2217, device names), each
  // once and known by its name alone, instead of the converters found (then
  // serial and location stay empty); empty: the converters found.
  std::vector<std::string> ports;
  // Not watch: at most this many units served at once, the others waiting
  // their turn in order; 0: all at once. watch serves every converter as it
  // is seen.
  int32_t jobs = 0;
  // A plan: each converter's own part of the job (FleetPlanLookup makes it
  // from a plan checked whole beforehand); false for a converter the plan
  // does not name, which is not touched (a NotInPlan event). Empty: every
  // unit gets the steps, settings and image above.
  std::function<bool(const ConverterPort& converter, FleetUnitJob& unit)> plan;
};

enum class FleetEventKind : uint8_t {
  UnitStarted,  // a converter found, its first step started
  StepStarted,  // a unit's next step started
  Progress,     // an update's phase and records
  StepEnded,    // one step of a unit ended
  UnitEnded,    // a unit's last step ended (or the first that failed)
  Stopping,     // the first request to stop was taken
  Finished,     // nothing more comes: the counts
  NotInPlan,    // a converter found that the plan does not name, left alone (once until unplugged)
};

struct FleetEvent {
  FleetEventKind kind = FleetEventKind::Finished;
  int32_t unit = 0;            // from 1 for each unit served (a unit plugged in again is a new one); 0 for Stopping, Finished
  ConverterPort converter{};   // serial number, place, and the port (Progress: the worker's; after an update, the name it ended on)
  FleetStep step = FleetStep::Read;  // UnitStarted, StepStarted, Progress, StepEnded
  int32_t planRow = 0;        // the plan's row serving the unit (0: no plan); its steps, settings and image are that row's
  UploadPhase phase = UploadEntering;  // Progress
  uint64_t recordsSent = 0;   // Progress, StepEnded of a Flash
  uint64_t recordsTotal = 0;
  int exitCode = FleetOk;     // StepEnded, UnitEnded; Finished: the run's (the worst; 130 once an update or watch was stopped)
  std::string result;         // StepEnded: the worker's result, one JSON object; UnitEnded: "ok", "failed", "interrupted"
  // StepEnded, UnitEnded: the failure in the user's words (empty when none);
  // Stopping, Finished: the journal that could not be written, which stopped the run
  std::string error;
  std::string reason;         // and why, with what to do (empty when none)
  uint32_t elapsedMs = 0;     // UnitEnded
  int32_t total = 0;          // Finished: units served, good, failed
  int32_t ok = 0;
  int32_t failed = 0;
  int32_t notInPlan = 0;      // Finished: converters left alone, not counted in total
};

struct FleetRun;  // a run's units, workers and counts

class FleetEngine {
 public:
  // workerProgram: rs485ctl's path (rs485ctl itself, or the one beside the window).
  FleetEngine(FleetJob job, std::string workerProgram);
  // A run still going is stopped as by two requests and waited for (ten
  // seconds at the most, then what still runs is ended); no worker is left
  // behind.
  ~FleetEngine();
  FleetEngine(const FleetEngine&) = delete;
  FleetEngine& operator=(const FleetEngine&) = delete;

  // Checks what can be checked before any converter is touched (the image
  // whole, not empty and of the SHA-256 given; the journal opened or
  // created; for a job that is no watch and names no ports, that a
  // converter is there), then starts. false with the message and reason
  // otherwise, and ExitCode() tells which (FleetFirmware, FleetUsage,
  // FleetAbsent). Each unit's journal line is on the disk before its
  // UnitEnded event; a line that cannot be written stops the run as a
  // first request would, no new unit or step starts, and the run ends
  // with FleetOutput at least.
  bool Start(std::string& message, std::string& reason);
  // Appends what happened since the last call; never waits.
  void Poll(std::vector<FleetEvent>& events);
  // The first request: every worker ends in order (an update stops sending
  // and tells its converter to leave the update mode; a read or write ends
  // its short exchange); no new unit or step starts, and each unit still
  // waiting its turn ends at once as interrupted, nothing sent to it. The
  // second: the updates end at once and their converters are told to leave
  // the update mode.
  void RequestStop();
  int StopRequests() const;
  bool Finished() const;  // the Finished event has been given
  // After a Start that failed, why; once finished, the run's exit code.
  int ExitCode() const;

 private:
  std::unique_ptr<FleetRun> run_;
};
