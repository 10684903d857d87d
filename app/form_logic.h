#pragma once
// What the window's handlers decide, the same for every window toolkit: the
// search for the converter with its retry timer, the connection check and the
// write with the record mapped to the controls and back, the firmware update
// with its progress and busy cursor, the messages with their reasons, and one
// handler at a time. A window implements FormView over its controls and
// forwards its events to FormLogic.

#include <cstdint>
#include <string>
#include <vector>

#include "ops/firmware_upload.h"
#include "ops/settings.h"
#include "ports/port_table.h"

// The window as the handlers see it. Texts are UTF-8.
class FormView {
 public:
  virtual ~FormView() = default;

  virtual std::string PortText() = 0;  // the port name the user sees
  virtual void SetPortText(const std::string& text) = 0;
  virtual void EnablePanel(bool on) = 0;        // the settings panel and all inside it
  virtual void EnableCheckButton(bool on) = 0;  // "Проверить связь"
  // A modal message with the reason under it where there is one; returns when
  // the user has closed it.
  virtual void ShowMessage(const std::string& text, const std::string& reason) = 0;
  // The modal progress display of an update: updated (made on first use,
  // hidden until shown), shown or hidden, and done with.
  virtual void UpdateProgress(UploadPhase phase, uint64_t sent, uint64_t total) = 0;
  virtual void ShowProgress(bool visible) = 0;
  virtual void CloseProgress() = 0;
  virtual void SetWaitCursor(bool on) = 0;
  virtual void StartTimer() = 0;  // the search's retry, once a second
  virtual void StopTimer() = 0;
  virtual bool TimerActive() = 0;
  virtual SettingsView ReadSettings() = 0;
  virtual void ShowSettings(const SettingsView& view) = 0;
  // A pause during which the windows keep painting.
  virtual void WaitPainting(int32_t ms) = 0;
};

class FormLogic {
 public:
  explicit FormLogic(FormView& view) : view_(view) {}
  FormLogic(const FormLogic&) = delete;
  FormLogic& operator=(const FormLogic&) = delete;

  void FormCreate();
  void FormShow();
  void Timer1Timer();
  void ConnButtonClick();
  void SaveClick();
  void Button1Click();

  // State the handlers share: the converter's open port (0 when none) and the
  // settings record last read.
  PortId portId = 0;
  DeviceSettings settings{};
  // The converter's settling time in a firmware update; tests shorten it.
  int32_t uploadSettleMs = FirmwareSettleMs;
  // A port named on the command line, set before FormShow: the window shows
  // it and never searches; empty, the search runs as ever.
  std::string fixedPort;

 private:
  // A handler runs to its end before any other starts: the update lets the
  // window paint and take events while it waits, and a click that comes then
  // must not start a second exchange inside the first.
  class HandlerScope;
  bool handlerRunning_ = false;
  // Why the trace RS485_TRACE asks for could not be started, told once at the first show.
  std::string traceMessage_;
  std::string traceReason_;
  bool traceProblemTold_ = false;

  void LocateDevice();
  // After an operation: a trace that became incomplete is told, once.
  void TellTraceProblem();

  FormView& view_;
};

// The window's command line (UTF-8, without the program's name): "--port NAME"
// or "--port=NAME" points the window at NAME; "-h" or "--help" asks for
// MsgWindowHelp. FormArgumentsBad: error says what is wrong.
enum FormArguments { FormArgumentsRun, FormArgumentsHelp, FormArgumentsBad };
FormArguments FormParseArguments(const std::vector<std::string>& args, std::string& port, std::string& error);
