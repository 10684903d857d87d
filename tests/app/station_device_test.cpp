// The Qt station against simulated converters plugged in and out of a
// umockdev testbed, served by real rs485ctl workers: one failing, one plugged
// in late, one unplugged in the middle of its update.

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/station_window.h"
#include "ops/messages.h"
#include "sim/converter_testbed.h"
#include "sim/sim_serve.h"
#include "support/scratch_dir.h"

namespace {

QString Text(const char* utf8) { return QString::fromUtf8(utf8); }

QStringList Column(QTableWidget* table, int column) {
  QStringList texts;
  for (int row = 0; row < table->rowCount(); ++row)
    texts << (table->item(row, column) ? table->item(row, column)->text() : QString());
  return texts;
}

}  // namespace

class StationDeviceTest : public QObject {
  Q_OBJECT

 private slots:
  void everySlotRightThroughPlugsAndUnplugs();
};

void StationDeviceTest::everySlotRightThroughPlugsAndUnplugs() {
  ScratchDir dir;
  {
    std::ofstream image("fw.bin", std::ios::binary);
    for (int i = 0; i < 272 * 3; ++i) image.put(static_cast<char>(i * 7 + 1));
  }
  SimConverter sim[4];  // before the testbed's servers, which use them
  UMockdevTestbed* testbed = TestbedCreate();
  QVERIFY(testbed != nullptr);
  auto plugged = std::make_unique<TestbedConverters>(testbed);
  const auto plug = [&](int k) {
    const std::string place = "1-1." + std::to_string(k + 1), serial = "SN" + std::to_string(k);
    QVERIFY(plugged->Plug(sim[k], place.c_str(), ("ttyACM" + std::to_string(k)).c_str(), serial.c_str()));
  };
  SimFaults failing;
  failing.noAckAfter = 1;  // its update stops after one record
  sim[0].SetFaults(failing);
  sim[3].SetLineRate(480);     // a record takes 583 ms on its line: unplugged during it

  TStationWindow station(RS485CTL_PATH);
  QStringList messages;
  station.messageHook = [&](const QString& text, const QString& reason) { messages << text + " / " + reason; };
  station.show();
  QVERIFY(QTest::qWaitForWindowExposed(&station));
  StationChoices choices;
  choices.image = "fw.bin";
  choices.jsonLog = "station.jsonl";
  station.SetChoices(choices);
  plug(2);
  plug(0);
  plug(3);
  QVERIFY(station.StartRun());
  QVERIFY(!station.startButton->isEnabled() && station.stopButton->isEnabled());

  QTableWidget* table = station.slotTable;
  const auto result = [&](int row) { return table->item(row, StationColResult)->text(); };
  QTRY_VERIFY_WITH_TIMEOUT(sim[3].Counters().recordsAcked > 0, 60000);
  plugged->Unplug("1-1.4");
  QTRY_COMPARE_WITH_TIMEOUT(table->rowCount(), 3, 60000);
  QTRY_VERIFY_WITH_TIMEOUT(!result(2).startsWith(Text(MsgStationRunning)), 60000);
  plug(1);  // late
  // Every slot by its place, each result in words.
  QTRY_COMPARE_WITH_TIMEOUT(table->rowCount(), 4, 60000);
  QTRY_VERIFY_WITH_TIMEOUT(!Column(table, StationColResult).join('\n').contains(Text(MsgStationRunning)), 90000);
  QCOMPARE(Column(table, StationColSerial), (QStringList{"SN0", "SN1", "SN2", "SN3"}));
  QCOMPARE(Column(table, StationColLocation), (QStringList{"1-1.1", "1-1.2", "1-1.3", "1-1.4"}));
  QVERIFY2(result(0).startsWith(Text("ОШИБКА: ")), qPrintable(result(0)));
  QCOMPARE(result(1), Text("ОК"));
  QCOMPARE(result(2), Text("ОК"));
  QVERIFY2(result(3).startsWith(Text("ОШИБКА: ")), qPrintable(result(3)));
  QCOMPARE(table->item(1, StationColProgress)->text(), QStringLiteral("3 из 3"));
  QCOMPARE(station.goodLabel->text(), Text("Успешно: 2"));
  QCOMPARE(station.failedLabel->text(), Text("С ошибкой: 2"));
  QCOMPARE(sim[1].Counters().updateLeaves, 1u);

  // Stop: the run ends, every worker gone, the log whole.
  QTest::mouseClick(station.stopButton, Qt::LeftButton);
  QTRY_VERIFY_WITH_TIMEOUT(station.startButton->isEnabled(), 30000);
  QVERIFY(!station.logic.Running());
  // Those still plugged in are out of the update mode (the unplugged one
  // cannot hear anything).
  for (int k = 0; k < 3; ++k) QVERIFY2(!sim[k].Snapshot().updateMode, qPrintable(QString::number(k)));
  std::ifstream log("station.jsonl");
  std::vector<std::string> lines;
  for (std::string line; std::getline(log, line);) lines.push_back(line);
  QCOMPARE(lines.size(), size_t{5});
  QVERIFY(lines.back().rfind("{\"event\":\"summary\",\"converters\":4,\"ok\":2,\"failed\":2,", 0) == 0);
  QVERIFY2(messages.isEmpty(), qPrintable(messages.join('\n')));
  plugged.reset();
  TestbedDestroy(testbed);
}

QTEST_MAIN(StationDeviceTest)
#include "station_device_test.moc"
