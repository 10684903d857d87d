#pragma once
// The utility's one window: the converter's port, the connection check, the
// settings and the firmware update. The handlers are glue between the controls
// and the operations in settings.h and firmware_upload.h.

#include <QTimer>
#include <QWidget>

#include <functional>

#include "app/firmware_upload.h"
#include "app/settings.h"
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
  // button, titled with the window's caption. A test may set messageHook to
  // receive the texts instead.
  void ShowMessage(const QString& text);
  std::function<void(const QString&)> messageHook;

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
  void LocateDevice();
  void ShowSettings(const SettingsView& view);
  SettingsView ReadSettingsControls() const;
};

// The window of the running program.
extern TMainForm* MainForm;

// The window's font: 11-pixel Liberation Sans (the metrics of the classic
// Windows sans-serif), a little narrowed so every caption fits its box.
QFont MainFormFont();
