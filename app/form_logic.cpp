#include "app/form_logic.h"

#include <utility>

#include "discovery/device_locator.h"
#include "ops/messages.h"
#include "ops/trace.h"
#include "platform/folders.h"
#include "ports/ms_clock.h"

class FormLogic::HandlerScope {
 public:
  explicit HandlerScope(bool& running) : running_(running), entered_(!running) { running_ = true; }
  ~HandlerScope() {
    if (entered_) running_ = false;
  }
  HandlerScope(const HandlerScope&) = delete;
  HandlerScope& operator=(const HandlerScope&) = delete;
  bool Entered() const { return entered_; }  // false: another handler runs; do nothing

 private:
  bool& running_;
  bool entered_;
};

void FormLogic::FormCreate() {
  // Where port.out and trelvo.bin are, before the port layer opens the log.
  FolderChooseWorking("rs485setup");
  PortLayerInit();
  MsClockStart();
  TraceStartFromEnvironment(traceMessage_, traceReason_);
}

void FormLogic::FormShow() {
  const HandlerScope scope(handlerRunning_);
  if (!scope.Entered()) return;
  // A trace that cannot be written is told once; the window runs without it.
  if (!traceMessage_.empty()) view_.ShowMessage(std::exchange(traceMessage_, {}), std::exchange(traceReason_, {}));
  if (fixedPort.empty())
    LocateDevice();
  else
    view_.SetPortText(fixedPort);  // the timer is never started: nothing to look for
}

void FormLogic::Timer1Timer() {
  const HandlerScope scope(handlerRunning_);
  if (scope.Entered()) LocateDevice();
}

// The timer runs only while the converter is absent; restarting it while it
// runs would change its rhythm, so an active timer is left alone.
void FormLogic::LocateDevice() {
  char portName[200];
  view_.SetPortText(MsgNoDevice);
  if (LocateDevicePort(portName, sizeof portName) != 0) {
    view_.SetPortText(portName);
    view_.StopTimer();
  } else if (!view_.TimerActive()) {
    view_.StartTimer();
  }
}

void FormLogic::ConnButtonClick() {
  const HandlerScope scope(handlerRunning_);
  if (!scope.Entered()) return;
  const SettingsResult result = SettingsCheck(view_.PortText().c_str(), portId, settings);
  if (result != SettingsOk) {
    view_.ShowMessage(SettingsMessage(result), PortFailureReason(PortLastFailure()));
  } else {
    view_.EnablePanel(true);
    view_.EnableCheckButton(false);
    view_.ShowSettings(SettingsToView(settings));
  }
  TellTraceProblem();
}

void FormLogic::SaveClick() {
  const HandlerScope scope(handlerRunning_);
  if (!scope.Entered()) return;
  // A baud rate nobody typed is never written: the record stays as it was.
  if (!SettingsFromView(view_.ReadSettings(), settings)) {
    view_.ShowMessage(MsgBadBaudRate, MsgBadBaudRateReason);
    return;
  }
  const SettingsResult result = SettingsWrite(portId, settings);
  view_.ShowMessage(SettingsMessage(result),
                    result == SettingsOk ? std::string() : PortFailureReason(PortLastFailure()));
  TellTraceProblem();
}

void FormLogic::Button1Click() {
  const HandlerScope scope(handlerRunning_);
  if (!scope.Entered()) return;
  UploadHooks hooks;
  hooks.message = [this](const char* text, const std::string& reason) { view_.ShowMessage(text, reason); };
  hooks.wait = [this](int32_t ms) { view_.WaitPainting(ms); };
  hooks.busy = [this](bool on) {
    if (on) {
      view_.SetWaitCursor(true);
      view_.ShowProgress(true);
    } else {
      view_.ShowProgress(false);
      view_.SetWaitCursor(false);
    }
  };
  hooks.progress = [this](UploadPhase phase, const UploadReport& sofar) {
    view_.UpdateProgress(phase, sofar.recordsSent, sofar.recordsTotal);
  };
  hooks.reopenDelayMs = uploadSettleMs;
  hooks.finishDelayMs = uploadSettleMs;

  // No search runs during the update: it would change the port being updated.
  const bool searching = view_.TimerActive();
  view_.StopTimer();
  FirmwareUpload(view_.PortText().c_str(), portId, FirmwareFileName, hooks);
  if (searching) view_.StartTimer();
  view_.CloseProgress();
  TellTraceProblem();
}

void FormLogic::TellTraceProblem() {
  if (traceProblemTold_) return;
  const std::string problem = TraceProblem();
  if (problem.empty()) return;
  traceProblemTold_ = true;
  view_.ShowMessage(MsgTraceIncomplete, problem);
}

FormArguments FormParseArguments(const std::vector<std::string>& args, std::string& port, std::string& error) {
  static const std::string kPortOption = "--port", kPortEquals = "--port=";
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help") return FormArgumentsHelp;
    if (arg == kPortOption && i + 1 < args.size()) {
      port = args[++i];
    } else if (arg.compare(0, kPortEquals.size(), kPortEquals) == 0) {
      port = arg.substr(kPortEquals.size());
    } else {
      error = arg == kPortOption ? MsgWindowNoPortName : MsgWindowUnknownArgument + arg;
      return FormArgumentsBad;
    }
    if (port.empty()) {
      error = MsgWindowNoPortName;
      return FormArgumentsBad;
    }
  }
  return FormArgumentsRun;
}
