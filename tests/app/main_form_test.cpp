// The setup window: its form, its start-up, and the search for a converter
// that is not there.

#include <QCheckBox>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyle>
#include <QStyleOptionButton>
#include <QtTest>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "app/main_form.h"
#include "ops/messages.h"
#include "platform/files.h"
#include "platform/serial_ports.h"
#include "support/pty.h"
#include "support/scratch_dir.h"
#include "ui_main_form.h"

class MainFormTest : public QObject {
  Q_OBJECT

 private slots:
  void formMatchesItsDescription();
  void everyCaptionFitsItsBox();
  void captionsGrowWithoutTheirFont();
  void tabOrder();
  void startUpState();
  void bannerPerStart();
  void absentConverterKeepsSearching();
  void traceFromTheEnvironment();
  void incompleteTraceToldOnceAfterTheOperation();
};

namespace {

QRect Geometry(QWidget* w) { return w->geometry(); }

std::vector<char> ReadAll(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

void MainFormTest::formMatchesItsDescription() {
  TMainForm form;
  Ui::TMainForm& ui = *form.ui;
  QCOMPARE(form.objectName(), QStringLiteral("MainForm"));
  QCOMPARE(form.windowTitle(), QString::fromUtf8("Программа настройки"));
  QCOMPARE(form.pos(), QPoint(350, 205));
  QCOMPARE(form.size(), QSize(447, 297));  // the client area of a 455 x 324 window with a classic frame

  struct Expected {
    QWidget* widget;
    QRect geometry;
    QWidget* parent;
  };
  const Expected expected[] = {
      {ui.PortEdit, {8, 24, 273, 21}, &form},   {ui.ConnButton, {288, 32, 137, 25}, &form},
      {ui.P, {8, 64, 417, 209}, &form},         {ui.Button1, {288, 8, 137, 25}, &form},
      {ui.BaudRate, {8, 32, 169, 21}, ui.P},    {ui.LB, {8, 72, 65, 73}, ui.P},
      {ui.Bits, {88, 72, 89, 73}, ui.P},        {ui.Stop, {192, 72, 97, 17}, ui.P},
      {ui.Echo, {192, 32, 153, 17}, ui.P},      {ui.Save, {328, 168, 75, 25}, ui.P},
      {ui.Label1, {8, 56, 48, 13}, ui.P},       {ui.Label2, {88, 56, 80, 13}, ui.P},
      {ui.PortEditLabel, {8, 8, 83, 13}, &form}, {ui.BaudRateLabel, {8, 16, 146, 13}, ui.P},
  };
  for (const Expected& e : expected) {
    QCOMPARE(Geometry(e.widget), e.geometry);
    QCOMPARE(e.widget->parentWidget(), e.parent);
  }
  // A labelled edit box has its label 3 pixels above it.
  QCOMPARE(ui.PortEditLabel->geometry().bottom() + 1 + 3, ui.PortEdit->y());
  QCOMPARE(ui.BaudRateLabel->geometry().bottom() + 1 + 3, ui.BaudRate->y());

  QCOMPARE(ui.PortEditLabel->text(), QString::fromUtf8("Доступный порт"));
  QCOMPARE(ui.BaudRateLabel->text(), QString::fromUtf8("Скорость обмена 485 <-> ТП"));
  QCOMPARE(ui.ConnButton->text(), QString::fromUtf8("Проверить связь"));
  QCOMPARE(ui.Button1->text(), QString::fromUtf8("Прошивка"));
  QCOMPARE(ui.Save->text(), QString::fromUtf8("Записать"));
  QCOMPARE(ui.Stop->text(), QString::fromUtf8("2 стоп-бита"));
  QCOMPARE(ui.Echo->text(), QString::fromUtf8("Подавление эхо ТП"));
  QCOMPARE(ui.Label1->text(), QString::fromUtf8("Чётность"));
  QCOMPARE(ui.Label2->text(), QString::fromUtf8("Длина посылки"));

  const QStringList parity = {"None", "Even", "Odd", "Mark", "Space"};
  const QStringList bits = {"8", "7", "9"};
  QCOMPARE(ui.LB->count(), parity.size());
  for (int row = 0; row < parity.size(); ++row) QCOMPARE(ui.LB->item(row)->text(), parity[row]);
  QCOMPARE(ui.Bits->count(), bits.size());
  for (int row = 0; row < bits.size(); ++row) QCOMPARE(ui.Bits->item(row)->text(), bits[row]);
  QCOMPARE(ui.LB->item(0)->sizeHint().height(), 13);
  QCOMPARE(ui.LB->selectionMode(), QAbstractItemView::SingleSelection);

  QCOMPARE(form.Timer1->interval(), 1000);
  QCOMPARE(form.Timer1->objectName(), QStringLiteral("Timer1"));
}

void MainFormTest::everyCaptionFitsItsBox() {
  TMainForm form;
  const QFont font = form.font();
  QCOMPARE(font.pixelSize(), 11);
  const QFontMetrics metrics(font);
  for (QLabel* label : form.findChildren<QLabel*>())
    QVERIFY2(metrics.horizontalAdvance(label->text()) <= label->width(), qPrintable(label->text()));
  for (QPushButton* button : form.findChildren<QPushButton*>())
    QVERIFY2(metrics.horizontalAdvance(button->text()) + 8 <= button->width(), qPrintable(button->text()));
  for (QCheckBox* box : form.findChildren<QCheckBox*>()) {
    QStyleOptionButton option;
    option.initFrom(box);
    const int indicator = box->style()->pixelMetric(QStyle::PM_IndicatorWidth, &option, box) +
                          box->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, &option, box);
    QVERIFY2(indicator + metrics.horizontalAdvance(box->text()) <= box->width(), qPrintable(box->text()));
  }
  for (QListWidget* list : form.findChildren<QListWidget*>())
    for (int row = 0; row < list->count(); ++row)
      QVERIFY(metrics.height() <= list->item(row)->sizeHint().height() + 1);
}

// Run where fontconfig knows only DejaVu, wider than the form's Liberation
// Sans: a caption that would be cut grows to the right; nothing moves or shrinks.
void MainFormTest::captionsGrowWithoutTheirFont() {
  TMainForm form;
  QCOMPARE(QFontInfo(form.font()).family(), QStringLiteral("DejaVu Sans"));
  QWidget designed;
  Ui::TMainForm().setupUi(&designed);
  for (const QWidget* as : designed.findChildren<QWidget*>(QRegularExpression("^[A-Z]"))) {
    const QWidget* control = form.findChild<QWidget*>(as->objectName());
    QVERIFY2(control->pos() == as->pos() && control->height() == as->height() && control->width() >= as->width(),
             qPrintable(as->objectName()));
  }
  everyCaptionFitsItsBox();
}

void MainFormTest::tabOrder() {
  TMainForm form;
  Ui::TMainForm& ui = *form.ui;
  const QList<QWidget*> order = {ui.PortEdit, ui.ConnButton, ui.BaudRate, ui.LB,
                                 ui.Bits,     ui.Stop,       ui.Echo,     ui.Save, ui.Button1};
  for (int i = 0; i + 1 < order.size(); ++i) {
    QWidget* next = order[i]->nextInFocusChain();
    while (next != order[i + 1] && !order.contains(next)) next = next->nextInFocusChain();
    QVERIFY2(next == order[i + 1], qPrintable(order[i]->objectName()));
  }
}

void MainFormTest::startUpState() {
  ScratchDir dir;
  TMainForm form;
  Ui::TMainForm& ui = *form.ui;
  QVERIFY(!ui.P->isEnabled());
  QVERIFY(!ui.Save->isEnabled());  // everything inside the panel is out of reach
  QVERIFY(ui.ConnButton->isEnabled());
  QVERIFY(ui.Button1->isEnabled());
  QVERIFY(ui.PortEdit->isReadOnly());
  QVERIFY(ui.PortEdit->text().isEmpty());
  QVERIFY(!form.Timer1->isActive());
  QCOMPARE(form.logic.portId, PortId{0});
  QCOMPARE(ui.LB->currentRow(), -1);
  QCOMPARE(ui.Bits->currentRow(), -1);
  QVERIFY(!ui.Stop->isChecked());
  QVERIFY(!ui.Echo->isChecked());
  QVERIFY(ui.BaudRate->text().isEmpty());
}

void MainFormTest::bannerPerStart() {
  ScratchDir dir;
  { TMainForm first; }
  { TMainForm second; }  // the same process: the port layer starts only once
  const std::vector<char> log = ReadAll("port.out");
  QCOMPARE(log.size(), size_t{20});
  QCOMPARE(static_cast<unsigned char>(log[2]), 0x82);
}

void MainFormTest::absentConverterKeepsSearching() {
  ScratchDir dir;
  SerialPortsFrom.sysRoot = dir.path().c_str();  // a machine without serial ports
  TMainForm form;
  QStringList messages;
  form.messageHook = [&](const QString& text, const QString&) { messages << text; };
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  QCOMPARE(form.ui->PortEdit->text(), QString::fromUtf8(MsgNoDevice));
  QVERIFY(form.Timer1->isActive());
  QTest::qWait(1200);  // a tick later it is still searching
  QVERIFY(form.Timer1->isActive());
  QCOMPARE(form.ui->PortEdit->text(), QString::fromUtf8(MsgNoDevice));

  // Both actions act on that text and fail to open it.
  form.ui->ConnButton->click();
  form.ui->Button1->click();
  QCOMPARE(messages, QStringList({QString::fromUtf8(MsgPortOpenFailed), QString::fromUtf8(MsgPortOpenFailed)}));
  QCOMPARE(form.logic.portId, PortId{0});
  QVERIFY(!form.ui->P->isEnabled());
}

// RS485_TRACE: a file that cannot be written is told once, with its name,
// and the window works on; one that can takes the window's exchanges.
void MainFormTest::traceFromTheEnvironment() {
  ScratchDir dir;
  SerialPortsFrom.sysRoot = dir.path().c_str();  // no converter: the check fails to open its port
  const QString opened = QString::fromUtf8(MsgPortOpenFailed);
  const std::string trace = dir.path() + "/trace.log", missing = dir.path() + "/no-such-folder/trace.log";
  for (const std::string& path : {missing, trace}) {
    qputenv("RS485_TRACE", QByteArray::fromStdString(path));
    TMainForm form;
    QStringList messages;
    form.messageHook = [&](const QString& text, const QString& reason) { messages << text + "\n" + reason; };
    form.show();
    form.hide();
    form.show();
    form.ui->ConnButton->click();
    QCOMPARE(messages.size(), path == missing ? 2 : 1);
    QVERIFY(messages.front().startsWith(path == missing ? QString::fromUtf8(MsgTraceOpenFailed) : opened));
    QVERIFY(messages.front().contains(QString::fromStdString(path)) == (path == missing));
  }
  const std::vector<char> bytes = ReadAll(trace.c_str());
  QVERIFY(std::string(bytes.begin(), bytes.end()).find("\topen\t\tПорт не найден.") != std::string::npos);
}

// A trace that cannot be written to its end never stops the check: after it,
// one message says the trace is incomplete and why, and only once.
void MainFormTest::incompleteTraceToldOnceAfterTheOperation() {
  ScratchDir dir;
  TestPty pty;  // the converter's port, where nothing answers
  const std::string port = "/dev/" + pty.name, link = dir.path() + "/port";
  std::filesystem::create_symlink(port, link);
  const struct {
    std::string trace;
    std::string reason;
  } cases[] = {
      {"/dev/full", MsgTraceWriteReason("/dev/full", FileErrorText(ENOSPC))},
      {link, MsgTracePortReason(link, port)},  // the port itself under another name
  };
  const QString checked = QString::fromUtf8(MsgSettingsReadFailed);
  for (const auto& c : cases) {
    qputenv("RS485_TRACE", QByteArray::fromStdString(c.trace));
    TMainForm form;
    form.logic.fixedPort = port;
    QStringList messages;
    form.messageHook = [&](const QString& text, const QString& reason) { messages << text + "\n" + reason; };
    form.show();
    form.ui->ConnButton->click();
    form.ui->ConnButton->click();
    QCOMPARE(messages.size(), 3);
    QVERIFY2(messages[0].startsWith(checked) && messages[2].startsWith(checked), qPrintable(messages.join("|")));
    QCOMPARE(messages[1], QString::fromUtf8(MsgTraceIncomplete) + "\n" + QString::fromStdString(c.reason));
  }
  // Nothing of the trace went into the converter's line: its requests hold no tab.
  const std::vector<uint8_t> heard = pty.Read(4096, 200);
  QVERIFY(!heard.empty() && std::count(heard.begin(), heard.end(), '\t') == 0);
}

QTEST_MAIN(MainFormTest)
#include "main_form_test.moc"
