// A bare Qt 6 window of the setup window's size and nothing else: the
// yardstick beside which window_bench.sh measures rs485setup.

#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QWidget window;
  window.setWindowTitle(QStringLiteral("bare"));
  window.resize(447, 297);
  window.show();
  return QApplication::exec();
}
