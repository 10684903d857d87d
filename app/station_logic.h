#pragma once
// The station: every converter plugged in is served once, as rs485ctl watch
// serves it, one slot per converter, for a line operator who chooses the
// image and the settings once and starts. What it decides is the same for
// every window toolkit: a window implements StationView over its controls
// and forwards its events to StationLogic. It runs on the window's thread and
// never waits: the fleet engine's workers are processes, and Tick() (a timer
// of the window, every StationTickMs while a run goes) takes what they said.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/form_logic.h"
#include "fleet/fleet.h"

// How often the window's timer calls Tick during a run.
constexpr int32_t StationTickMs = 40;

// One converter of the run, as its slot shows it.
struct StationSlot {
  enum State : uint8_t { Running, Ok, Failed, Interrupted, NotInPlan };
  int32_t unit = 0;        // the fleet's unit number
  std::string serial;      // empty when it has none
  std::string location;    // "1-1.3", "Port_#0003.Hub_#0001"
  std::string port;
  State state = Running;
  std::string step;        // the step in the user's words ("прошивка", "запись настроек", …)
  uint64_t recordsSent = 0;
  uint64_t recordsTotal = 0;
  std::string outcome;     // "ОК", or the failure in words with its reason
  uint32_t elapsedMs = 0;
};

// The slot list's columns, the same in both windows: a header and each
// slot's text in it (the state is always in words, never only a colour).
enum StationColumn : uint8_t { StationColSerial, StationColLocation, StationColStep, StationColProgress,
                               StationColResult, StationColumnCount };
const char* StationColumnTitle(StationColumn column);
std::string StationCellText(const StationSlot& slot, StationColumn column);

// The order of slots: by place on the hub. Linux's "1-1.3" compares number by
// number, component by component; Windows's "Port_#0003.Hub_#0001" by hub
// number, then port number. True when a comes before b.
bool StationLocationBefore(const std::string& a, const std::string& b);

// The choices made once before a run.
struct StationChoices {
  std::string image;    // empty: no update
  std::string profile;  // empty: no settings written (with neither, each converter's settings are read)
  std::string jsonLog;  // empty: none; else the results as JSON Lines, as they happen
  std::string plan;     // each converter's own image and settings (fleet/plan.h); then neither image nor profile
  std::string journal;  // the journal's file; empty: the user's default one
};

// The window's command line with the station's options: FormParseArguments's
// "--port NAME", plus "--station" with "--flash IMAGE", "--from PROFILE",
// "--json-log FILE", "--plan FILE", "--journal FILE" (each also "--opt=VALUE").
struct WindowArguments {
  std::string port;
  bool station = false;  // open the station with these choices and start
  StationChoices choices;
};
FormArguments WindowParseArguments(const std::vector<std::string>& args, WindowArguments& parsed, std::string& error);

// The worker program: rs485ctl in the folder of the running window; empty
// when this program's path cannot be told.
std::string StationWorkerProgram();

class StationView {
 public:
  virtual ~StationView() = default;
  // The slots in their order (by place on the hub), whole; index is where a
  // slot is, so that a list control changes only that row.
  virtual void ShowSlot(size_t index, const StationSlot& slot, bool inserted) = 0;
  virtual void ShowCounts(int32_t good, int32_t failed) = 0;
  // Idle (choices and Start enabled), running (Stop enabled), stopping (nothing).
  enum RunState : uint8_t { Idle, Running, Stopping };
  virtual void ShowRunState(RunState state) = 0;
  // A modal message with its reason under it (empty when none).
  virtual void ShowMessage(const std::string& text, const std::string& reason) = 0;
  // Closing during a run: true when the user wants the run stopped and the
  // window closed once the converters are out of their update mode.
  virtual bool AskStopForClose() = 0;
  virtual void StartTicking() = 0;  // the timer that calls Tick
  virtual void StopTicking() = 0;
  virtual void CloseWindow() = 0;   // the run is over after a close was asked
};

// What the station drives: the fleet engine; tests give it recorded events.
class StationFleet {
 public:
  virtual ~StationFleet() = default;
  virtual bool Start(std::string& message, std::string& reason) = 0;
  virtual void Poll(std::vector<FleetEvent>& events) = 0;
  virtual void RequestStop() = 0;
};
using StationFleetMaker = std::function<std::unique_ptr<StationFleet>(const FleetJob& job)>;

class StationLogic {
 public:
  // The fleet engine with workerProgram as its workers.
  StationLogic(StationView& view, std::string workerProgram);
  StationLogic(StationView& view, StationFleetMaker maker);
  ~StationLogic();
  StationLogic(const StationLogic&) = delete;
  StationLogic& operator=(const StationLogic&) = delete;

  // Checks the choices before any converter is touched (the image whole, the
  // profile valid, the plan whole with its images); a problem is shown and
  // nothing starts.
  bool Start(const StationChoices& choices);
  void StopClick();
  void Tick();
  // The window's close request: true when it may close now; otherwise the
  // run was asked to stop (or the user chose to keep it) and CloseWindow
  // comes once the converters are done.
  bool CloseRequested();
  bool Running() const;
  const std::vector<StationSlot>& Slots() const;
  int32_t Good() const;
  int32_t Failed() const;

 private:
  struct Run;
  StationView& view_;
  StationFleetMaker maker_;
  std::unique_ptr<Run> run_;
  std::vector<StationSlot> slots_;
  int32_t good_ = 0;
  int32_t failed_ = 0;
  bool ticking_ = false;  // a message shown from Tick may let the timer call it again

  size_t PlaceSlot(const StationSlot& fresh, std::vector<size_t>& changed);
  void UnitStarted(const FleetEvent& event, std::vector<size_t>& changed);
  void NotInPlan(const FleetEvent& event, std::vector<size_t>& changed);
  void UnitNews(const FleetEvent& event, std::vector<size_t>& changed);
  void UnitEnded(const FleetEvent& event, std::vector<size_t>& changed);
  void LogLine(const std::string& line);
  void Finish();
};
