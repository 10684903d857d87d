// The station's Qt window: reached from the form without moving it, every
// control by Tab, the slot list a table for screen readers, and a choice
// from the command line it cannot honour told before anything starts.

#include <QAccessible>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>

#include "app/main_form.h"
#include "ops/messages.h"
#include "support/scratch_dir.h"

class StationWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void openedFromTheFormWithoutMovingIt();
  void everyControlByTabAndTheListAsATable();
  void planToldBeforeAnythingStarts();
};

void StationWindowTest::openedFromTheFormWithoutMovingIt() {
  ScratchDir dir;
  TMainForm form;
  QPushButton* button = form.StationButton;
  QVERIFY(form.rect().contains(button->geometry()));
  for (QWidget* other : form.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
    if (other != button) QVERIFY2(!other->geometry().intersects(button->geometry()), qPrintable(other->objectName()));
  QTest::mouseClick(button, Qt::LeftButton);
  TStationWindow* station = nullptr;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* s = qobject_cast<TStationWindow*>(w)) station = s;
  QVERIFY(station != nullptr);
  QVERIFY(station->isVisible());
  QCOMPARE(station->windowTitle(), QString::fromUtf8("Станция"));
  QCOMPARE(form.OpenStation(), station);  // one station, shown again
}

void StationWindowTest::everyControlByTabAndTheListAsATable() {
  ScratchDir dir;
  TStationWindow station;
  station.show();
  QApplication::setActiveWindow(&station);
  QVERIFY(QTest::qWaitForWindowActive(&station));
  station.imageEdit->setFocus();
  QList<QWidget*> reached;
  for (int k = 0; k < 20 && !reached.contains(QApplication::focusWidget()); ++k) {
    reached << QApplication::focusWidget();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  }
  QList<QWidget*> controls;
  for (QWidget* w : station.findChildren<QWidget*>())
    if ((qobject_cast<QLineEdit*>(w) || qobject_cast<QPushButton*>(w) || w == station.slotTable) && w->isEnabled())
      controls << w;
  QCOMPARE(reached.size(), controls.size());
  for (QWidget* w : controls) QVERIFY2(reached.contains(w), qPrintable(w->accessibleName()));
  QVERIFY(!station.stopButton->isEnabled());  // nothing to stop yet

  QAccessibleInterface* table = QAccessible::queryAccessibleInterface(station.slotTable);
  QVERIFY(table != nullptr);
  QCOMPARE(table->role(), QAccessible::Table);
  QCOMPARE(table->text(QAccessible::Name), QString::fromUtf8("Преобразователи"));
  QAccessibleTableInterface* cells = table->tableInterface();
  QVERIFY(cells != nullptr);
  QCOMPARE(cells->columnCount(), int{StationColumnCount});
  QCOMPARE(cells->columnDescription(StationColResult), QString::fromUtf8(MsgStationColResult));
}

void StationWindowTest::planToldBeforeAnythingStarts() {
  ScratchDir dir;
  TStationWindow station;
  QStringList messages;
  station.messageHook = [&](const QString& text, const QString&) { messages << text; };
  StationChoices choices;
  choices.image = "fw.bin";
  choices.plan = "plan.json";
  station.SetChoices(choices);
  QVERIFY(!station.StartRun());
  QCOMPARE(messages, QStringList{QString::fromUtf8(MsgStationPlanWithChoices)});
  QVERIFY(station.startButton->isEnabled());
  QCOMPARE(station.imageEdit->text(), QStringLiteral("fw.bin"));  // kept for the operator's next start
}

QTEST_MAIN(StationWindowTest)
#include "station_window_test.moc"
