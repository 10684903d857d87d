// The setup window against the simulated converter, found as a real converter
// is found: the program runs under umockdev-wrapper, and a testbed presents a
// USB device 16C0:4E04 with its ttyACM0 backed by a pseudo-terminal, on which
// the simulated converter is served.

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QtTest>

#include <fstream>
#include <memory>
#include <vector>

#include "app/main_form.h"
#include "ops/messages.h"
#include "sim/converter_testbed.h"
#include "platform/time.h"
#include "ports/port_table.h"
#include "sim/sim_serve.h"
#include "support/scratch_dir.h"
#include "ui_main_form.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Of(const SimSettings& s) { return Bytes(s.begin(), s.end()); }

QString Text(const char* utf8) { return QString::fromUtf8(utf8); }

}  // namespace

class MainFormDeviceTest : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void checkFillsTheControls();
  void failedCheckLeavesEverything();
  void portHeldElsewhere();
  void writeStoresWhatTheControlsSay();
  void refusingConverter();
  void converterAppearsLater();
  void firmwareUpdateKeepsTheWindowAlive();
  void firmwareUpdateWithTheConverterSettlingTime();
  void oneHandlerAtATime();
  void listsKeepTheirRow();

 private:
  // Plugs the converter in and serves it.
  void PlugConverter();
  // A window shown, with its messages collected instead of shown.
  void ShowForm();
  void Check();

  std::unique_ptr<ScratchDir> dir_;
  UMockdevTestbed* testbed_ = nullptr;
  int keepOpen_ = -1;
  SimConverter converter_;
  std::unique_ptr<SimServer> server_;
  std::unique_ptr<TMainForm> form_;
  QStringList messages_;
  QStringList reasons_;
};

void MainFormDeviceTest::init() {
  dir_ = std::make_unique<ScratchDir>();
  testbed_ = TestbedCreate();
  QVERIFY(testbed_ != nullptr);
  messages_.clear();
}

void MainFormDeviceTest::cleanup() {
  form_.reset();
  server_.reset();
  if (keepOpen_ >= 0) close(keepOpen_);
  keepOpen_ = -1;
  TestbedDestroy(testbed_);
  testbed_ = nullptr;
  dir_.reset();
}

void MainFormDeviceTest::PlugConverter() {
  const int master = TestbedAddConverter(testbed_);
  QVERIFY(master >= 0);
  // Holding the terminal open keeps its other side from reading as hung up
  // while the window has the port closed.
  keepOpen_ = open("/dev/ttyACM0", O_RDWR | O_NOCTTY | O_CLOEXEC);
  QVERIFY(keepOpen_ >= 0);
  server_ = std::make_unique<SimServer>(converter_, master);
  QVERIFY(server_->Ok());
}

void MainFormDeviceTest::ShowForm() {
  form_ = std::make_unique<TMainForm>();
  form_->messageHook = [this](const QString& text, const QString& reason) {
    messages_ << text;
    reasons_ << reason;
  };
  form_->show();
  QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
}

void MainFormDeviceTest::Check() {
  form_->ui->ConnButton->click();
  QCOMPARE(messages_, QStringList());
  QVERIFY(form_->ui->P->isEnabled());
}

void MainFormDeviceTest::checkFillsTheControls() {
  converter_.SetSettings({0x80, 0x04, 0xA5, 0x05, 'x', 0xFF});  // 1152, spare set, odd parity byte and size
  PlugConverter();
  ShowForm();
  Ui::TMainForm& ui = *form_->ui;
  QCOMPARE(ui.PortEdit->text(), QStringLiteral("ttyACM0"));
  QVERIFY(!form_->Timer1->isActive());
  QVERIFY(!ui.P->isEnabled());  // found at once, still only a check enables the panel

  Check();
  QVERIFY(!ui.ConnButton->isEnabled());
  QVERIFY(ui.Button1->isEnabled());
  QVERIFY(form_->logic.portId != 0);
  QVERIFY(PortSlotOf(form_->logic.portId) != nullptr);  // the port stays open for the write
  QCOMPARE(ui.BaudRate->text(), QStringLiteral("115200"));
  QCOMPARE(ui.LB->currentRow(), 0);
  QCOMPARE(ui.Bits->currentRow(), 2);
  QVERIFY(ui.Stop->isChecked());
  QVERIFY(ui.Echo->isChecked());
}

void MainFormDeviceTest::failedCheckLeavesEverything() {
  converter_.SetFaults({.corruptCrc = true});
  PlugConverter();
  ShowForm();
  Ui::TMainForm& ui = *form_->ui;
  ui.ConnButton->click();
  QCOMPARE(messages_, QStringList{Text(MsgSettingsReadFailed)});
  QCOMPARE(form_->logic.portId, PortId{0});
  for (const PortSlot& slot : PortTable) QCOMPARE(slot.open, 0);
  QVERIFY(!ui.P->isEnabled());
  QVERIFY(ui.ConnButton->isEnabled());
  QVERIFY(ui.BaudRate->text().isEmpty());
  QCOMPARE(ui.LB->currentRow(), -1);
  QVERIFY(!ui.Echo->isChecked());

  // Once the converter answers properly, the check can be repeated.
  converter_.SetFaults({});
  messages_.clear();
  Check();
  QCOMPARE(ui.BaudRate->text(), QStringLiteral("9600"));
}

void MainFormDeviceTest::portHeldElsewhere() {
  PlugConverter();
  ShowForm();
  PortId holder = 0;
  QCOMPARE(PortOpen(holder, "ttyACM0"), 0);  // another user of the port
  form_->ui->ConnButton->click();
  QCOMPARE(messages_, QStringList{Text(MsgPortOpenFailed)});
  QVERIFY2(reasons_.value(0).startsWith(QString::fromUtf8("Порт занят программой ")), qPrintable(reasons_.value(0)));
  QCOMPARE(form_->logic.portId, PortId{0});
  QVERIFY(!form_->ui->P->isEnabled());
}

void MainFormDeviceTest::writeStoresWhatTheControlsSay() {
  converter_.SetSettings({0x60, 0x00, 0x5A, 0x08, 'N', 0x80 | 0x15});
  PlugConverter();
  ShowForm();
  Check();
  Ui::TMainForm& ui = *form_->ui;
  // "115200" typed after "5760": no rate the record carries, nothing written.
  ui.BaudRate->setText(QStringLiteral("5760115200"));
  ui.Save->click();
  QCOMPARE(messages_, QStringList{Text(MsgBadBaudRate)});
  QCOMPARE(converter_.Counters().memoryWrites, 0u);
  messages_.clear();
  ui.BaudRate->setText(QStringLiteral("5760"));
  ui.LB->setCurrentRow(4);   // Space
  ui.Bits->setCurrentRow(1);  // 7
  ui.Stop->setChecked(true);
  ui.Echo->setChecked(false);
  ui.Save->click();
  QCOMPARE(messages_, QStringList{Text(MsgOk)});
  const SimSnapshot seen = converter_.Snapshot();
  QCOMPARE(Of(seen.settings), (Bytes{57, 0x00, 0x5A, 7, 'Z', 0x40 | 0x15}));
  QCOMPARE(seen.controlWrites, Bytes{57});
  QVERIFY(PortSlotOf(form_->logic.portId) != nullptr);
  QVERIFY(ui.P->isEnabled());
}

void MainFormDeviceTest::refusingConverter() {
  PlugConverter();
  ShowForm();
  Check();
  converter_.SetFaults({.refuseWrites = true});
  form_->ui->BaudRate->setText(QStringLiteral("19200"));
  form_->ui->Save->click();
  QCOMPARE(messages_, QStringList{Text(MsgSettingsWriteFailed)});
  QCOMPARE(converter_.Counters().controlWrites, 0u);
  QCOMPARE(Of(converter_.Settings()), Of(SimDefaultSettings));
  QCOMPARE(form_->ui->BaudRate->text(), QStringLiteral("19200"));  // the user's values stay for another try
}

void MainFormDeviceTest::converterAppearsLater() {
  ShowForm();
  QCOMPARE(form_->ui->PortEdit->text(), Text(MsgNoDevice));
  QVERIFY(form_->Timer1->isActive());
  PlugConverter();
  QTRY_COMPARE_WITH_TIMEOUT(form_->ui->PortEdit->text(), QStringLiteral("ttyACM0"), 3000);
  QVERIFY(!form_->Timer1->isActive());
  Check();
}

void MainFormDeviceTest::firmwareUpdateKeepsTheWindowAlive() {
  PlugConverter();
  ShowForm();
  Check();
  const Bytes image(272 * 5 + 10, 0x5A);
  std::ofstream("trelvo.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  form_->logic.uploadSettleMs = 300;

  // While the converter settles, the window still handles events, shows the
  // progress modally and the busy cursor.
  bool sawProgress = false;
  QTimer::singleShot(100, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    sawProgress = modal != nullptr && modal->objectName() == QStringLiteral("UploadProgress") && modal->isVisible() &&
                  QApplication::overrideCursor() != nullptr &&
                  QApplication::overrideCursor()->shape() == Qt::WaitCursor;
  });
  form_->ui->Button1->click();
  QVERIFY(sawProgress);
  QCOMPARE(messages_, QStringList{Text(MsgFinished)});
  QCOMPARE(QApplication::overrideCursor(), nullptr);
  QCOMPARE(form_->logic.portId, PortId{0});

  converter_.WaitUntil([](const SimCounters& c) { return c.updateLeaves >= 1; }, 2000);
  Bytes expected = image;
  expected.insert(expected.end(), image.begin() + 272 * 4 + 10, image.begin() + 272 * 5);
  QCOMPARE(converter_.Snapshot().image, expected);

  // The port is closed now: the write fails, and the enabled states stay.
  messages_.clear();
  form_->ui->Save->click();
  QCOMPARE(messages_, QStringList{Text(MsgSettingsWriteFailed)});
  QVERIFY(form_->ui->P->isEnabled());
  QVERIFY(!form_->ui->ConnButton->isEnabled());

  // Another update opens the port anew.
  messages_.clear();
  form_->ui->Button1->click();
  QCOMPARE(messages_, QStringList{Text(MsgFinished)});
  QVERIFY(converter_.WaitUntil([](const SimCounters& c) { return c.updateEnters >= 4 && c.updateLeaves >= 2; }, 2000));
}

void MainFormDeviceTest::firmwareUpdateWithTheConverterSettlingTime() {
  PlugConverter();
  ShowForm();
  const Bytes image(272 * 2, 0xA5);
  std::ofstream("trelvo.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  QElapsedTimer took;
  took.start();
  form_->ui->Button1->click();
  QCOMPARE(messages_, QStringList{Text(MsgFinished)});
  QVERIFY(took.elapsed() >= 9900);  // two settling waits of 5 s
  converter_.WaitUntil([](const SimCounters& c) { return c.updateLeaves >= 1; }, 2000);
  QCOMPARE(converter_.Snapshot().image, image);
  QCOMPARE(form_->logic.portId, PortId{0});
}

void MainFormDeviceTest::oneHandlerAtATime() {
  PlugConverter();
  ShowForm();
  Check();
  const Bytes image(272 * 2, 0x11);
  std::ofstream("trelvo.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  form_->logic.uploadSettleMs = 200;
  // A double click, a save and the search come while the update runs, before
  // its progress window is up: none of them may start.
  bool delivered = false;
  QTimer::singleShot(0, [&] {
    form_->ui->Button1->click();
    form_->ui->Save->click();
    form_->Timer1Timer();
    delivered = true;
  });
  form_->ui->Button1->click();
  QVERIFY(delivered);
  QCOMPARE(messages_, QStringList{Text(MsgFinished)});
  QVERIFY(converter_.WaitUntil([](const SimCounters& c) { return c.updateLeaves >= 1; }, 2000));
  PlatformSleepMs(100);
  const SimCounters seen = converter_.Counters();
  QCOMPARE(seen.updateEnters, 2u);
  QCOMPARE(seen.updateLeaves, 1u);
  QCOMPARE(seen.memoryWrites, 0u);
  QCOMPARE(converter_.Snapshot().image, image);
}

void MainFormDeviceTest::listsKeepTheirRow() {
  PlugConverter();
  ShowForm();
  Check();
  QListWidget* parity = form_->ui->LB;
  const auto click = [&](int row, Qt::KeyboardModifiers modifiers) {
    QTest::mouseClick(parity->viewport(), Qt::LeftButton, modifiers, parity->visualItemRect(parity->item(row)).center());
  };
  click(2, Qt::NoModifier);
  click(2, Qt::ControlModifier);  // would deselect the only row
  QCOMPARE(parity->selectedItems().size(), 1);
  QCOMPARE(parity->currentRow(), 2);
  form_->ui->Save->click();
  QCOMPARE(messages_, QStringList{Text(MsgOk)});
  QCOMPARE(converter_.Settings()[4], uint8_t{'O'});  // what the list shows is what is written
}

int main(int argc, char** argv) {
  if (!TestbedUnderWrapper()) {
    std::printf("umockdev's preload library is not active: run this under umockdev-wrapper\n");
    return 77;
  }
  QApplication app(argc, argv);
  MainFormDeviceTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "main_form_device_test.moc"
