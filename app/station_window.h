#pragma once
// The station in the Qt window: a top-level window "Станция" over the
// station's logic. The choices (image, profile, JSON log) with their
// buttons, Start and Stop, the counters, and the slot list as a table whose
// every cell is text, so that screen readers read it row by row.

#include <QTimer>
#include <QWidget>

#include <functional>

#include "app/station_logic.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

class TStationWindow : public QWidget, private StationView {
  Q_OBJECT

 public:
  // The workers: rs485ctl beside the window unless told otherwise.
  explicit TStationWindow(const std::string& workerProgram = StationWorkerProgram(), QWidget* parent = nullptr);
  ~TStationWindow() override;

  // Sets the choices as the command line made them.
  void SetChoices(const StationChoices& choices);
  // The Start button's work, with the choices in the fields.
  bool StartRun();

  // A test may take the messages and answer the close question instead.
  std::function<void(const QString& text, const QString& reason)> messageHook;
  std::function<bool()> askHook;

  QLineEdit* imageEdit;
  QLineEdit* profileEdit;
  QLineEdit* logEdit;
  QPushButton* startButton;
  QPushButton* stopButton;
  QLabel* stateLabel;
  QLabel* goodLabel;
  QLabel* failedLabel;
  QTableWidget* slotTable;
  QTimer* tickTimer;

  StationLogic logic;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  QList<QWidget*> choiceControls_;
  bool closing_ = false;  // the logic has let the window close
  std::string plan_, journal_;  // from the command line, for every start

  // StationView
  void ShowSlot(size_t index, const StationSlot& slot, bool inserted) override;
  void ShowCounts(int32_t good, int32_t failed) override;
  void ShowRunState(RunState state) override;
  void ShowMessage(const std::string& text, const std::string& reason) override;
  bool AskStopForClose() override;
  void StartTicking() override;
  void StopTicking() override;
  void CloseWindow() override;
};
