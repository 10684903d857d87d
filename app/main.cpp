// rs485setup: the converter's setup window.

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "app/main_form.h"
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
  std::string port, error;
  switch (FormParseArguments(std::vector<std::string>(argv + 1, argv + argc), port, error)) {
    case FormArgumentsHelp: std::fputs(MsgWindowHelp, stdout); return 0;
    case FormArgumentsBad: std::fprintf(stderr, "rs485setup: %s\n\n%s", error.c_str(), MsgWindowHelp); return 2;
    case FormArgumentsRun: break;
  }
  int qtArgc = 1;  // the arguments are the window's own; Qt is set through its environment
  SetupApplication app(qtArgc, argv);
  try {
    TMainForm form;
    MainForm = &form;
    form.logic.fixedPort = port;
    QApplication::setApplicationDisplayName(form.windowTitle());
    form.show();
    SetupApplication::exec();
    MainForm = nullptr;
  } catch (const std::exception& error) {
    SetupApplication::ShowError(QString::fromLocal8Bit(error.what()));
  } catch (...) {
    SetupApplication::ShowError(QString());
  }
  return 0;
}
