// rs485setup: the converter's setup window.

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "app/main_form.h"
#include "app/station_logic.h"
#include "ops/messages.h"
#include "platform/console.h"

namespace {

// Shows what escapes an event handler and lets the window go on.
class SetupApplication : public QApplication {
 public:
  using QApplication::QApplication;

  bool notify(QObject* receiver, QEvent* event) override {
    try {
      return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
      ShowError(QString::fromLocal8Bit(error.what()));
    } catch (...) {
      ShowError(QString());
    }
    return false;
  }

  static void ShowError(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationDisplayName(), text, QMessageBox::Ok);
    box.exec();
  }
};

}  // namespace

int main(int argc, char** argv) {
  // Before "port.out" is opened: a closed standard stream must not become it.
  PlatformStdStreamsInit();
  // Read before Qt starts, so that the help needs no display.
  WindowArguments arguments;
  std::string error;
  switch (WindowParseArguments(std::vector<std::string>(argv + 1, argv + argc), arguments, error)) {
    case FormArgumentsHelp: std::fputs(MsgWindowHelp, stdout); return 0;
    case FormArgumentsBad: std::fprintf(stderr, "rs485setup: %s\n\n%s", error.c_str(), MsgWindowHelp); return 2;
    case FormArgumentsRun: break;
  }
  int qtArgc = 1;  // the arguments are the window's own; Qt is set through its environment
  SetupApplication app(qtArgc, argv);
  try {
    TMainForm form;
    MainForm = &form;
    form.logic.fixedPort = arguments.port;
    QApplication::setApplicationDisplayName(form.windowTitle());
    if (arguments.station) {
      // The line PC's shortcut: the station with its choices, started; a
      // choice it cannot honour is told, and the station waits.
      TStationWindow* station = form.OpenStation();
      station->SetChoices(arguments.choices);
      station->StartRun();
    } else {
      form.show();
    }
    SetupApplication::exec();
    MainForm = nullptr;
  } catch (const std::exception& error) {
    SetupApplication::ShowError(QString::fromLocal8Bit(error.what()));
  } catch (...) {
    SetupApplication::ShowError(QString());
  }
  return 0;
}
