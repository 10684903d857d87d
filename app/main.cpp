// rs485setup: the converter's setup window.

#include <QApplication>
#include <QMessageBox>

#include <exception>

#include "app/main_form.h"
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
  SetupApplication app(argc, argv);
  try {
    TMainForm form;
    MainForm = &form;
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
