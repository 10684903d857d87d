#pragma once
// The utility's one window: the converter's port, the connection check, the
// settings and the firmware update. The window holds the controls and forwards
// its events to the handlers of form_logic.h, which drive it as a FormView.

#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

#include "app/form_logic.h"
#include "app/station_window.h"

class QPushButton;

namespace Ui {
class TMainForm;
}

class TMainForm : public QWidget, private FormView {
  Q_OBJECT

 public:
  explicit TMainForm(QWidget* parent = nullptr);
  ~TMainForm() override;

  // Every message to the user: a modal box with the text, no icon, one OK
  // button, titled with the window's caption; the reason and what to do, where
  // there is one, under it. A test may set messageHook to receive the texts
  // instead.
  void ShowMessage(const QString& text, const QString& reason = QString());
  std::function<void(const QString& text, const QString& reason)> messageHook;

  Ui::TMainForm* ui;
  QTimer* Timer1;
  // Opens the station: below the panel, where the form has nothing, so the
  // form's own controls, places and tab order stay as they are.
  QPushButton* StationButton;

  // The station window, made on first use and shown in front.
  TStationWindow* OpenStation();

  // The handlers and the state they share (the open port, the record).
  FormLogic logic{*this};

 public slots:
  void FormCreate();
  void FormShow();
  void Timer1Timer();
  void ConnButtonClick();
  void SaveClick();
  void Button1Click();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  class UploadProgress;
  std::unique_ptr<UploadProgress> progress_;
  std::unique_ptr<TStationWindow> station_;

  void KeepOneRowSelected(class QListWidget* list);

  // FormView
  std::string PortText() override;
  void SetPortText(const std::string& text) override;
  void EnablePanel(bool on) override;
  void EnableCheckButton(bool on) override;
  void ShowMessage(const std::string& text, const std::string& reason) override;
  void UpdateProgress(UploadPhase phase, uint64_t sent, uint64_t total) override;
  void ShowProgress(bool visible) override;
  void CloseProgress() override;
  void SetWaitCursor(bool on) override;
  void StartTimer() override;
  void StopTimer() override;
  bool TimerActive() override;
  SettingsView ReadSettings() override;
  void ShowSettings(const SettingsView& view) override;
  void WaitPainting(int32_t ms) override;
};

// The window of the running program.
extern TMainForm* MainForm;

// The window's font: 11-pixel Liberation Sans (the metrics of the classic
// Windows sans-serif), a little narrowed so every caption fits its box.
QFont MainFormFont();
