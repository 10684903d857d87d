#pragma once
// The utility's one window: the converter's port, the connection check, the
// settings and the firmware update. The handlers are glue between the controls
// and the operations in settings.h and firmware_upload.h.

#include <QTimer>
#include <QWidget>

#include <functional>

#include "ops/firmware_upload.h"
#include "ops/settings.h"
#include "ports/port_table.h"

namespace Ui {
class TMainForm;
}

class TMainForm : public QWidget {
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

  // State the handlers share: the converter's open port (0 when none) and the
  // settings record last read.
  PortId portId = 0;
  DeviceSettings settings{};

  // The converter's settling time in a firmware update; tests shorten it.
  int32_t uploadSettleMs = FirmwareSettleMs;

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
  // A handler runs to its end before any other starts: the update lets the
  // window paint and take events while it waits, and a click that comes then
  // must not start a second exchange inside the first.
  class HandlerScope;
  bool handlerRunning_ = false;

  void LocateDevice();
  void KeepOneRowSelected(class QListWidget* list);
  void ShowSettings(const SettingsView& view);
  SettingsView ReadSettingsControls() const;
};

// The window of the running program.
extern TMainForm* MainForm;

// The window's font: 11-pixel Liberation Sans (the metrics of the classic
// Windows sans-serif), a little narrowed so every caption fits its box.
QFont MainFormFont();
