#include "app/station_window.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include <utility>

#include "ops/messages.h"

namespace {

QString Text(const char* utf8) { return QString::fromUtf8(utf8); }
QString Text(const std::string& utf8) { return QString::fromStdString(utf8); }

// A choice: its label (with its Alt key), the field, and a button that picks a file.
QLineEdit* AddChoice(QGridLayout* grid, int row, const char* caption, const char* filter, bool save,
                     QList<QWidget*>& controls) {
  auto* label = new QLabel(Text(caption));
  auto* edit = new QLineEdit;
  auto* browse = new QPushButton(Text("Выбрать…"));
  label->setBuddy(edit);
  edit->setAccessibleName(label->text().remove('&'));
  browse->setAccessibleName(Text("Выбрать: ") + edit->accessibleName());
  grid->addWidget(label, row, 0);
  grid->addWidget(edit, row, 1);
  grid->addWidget(browse, row, 2);
  QObject::connect(browse, &QPushButton::clicked, edit, [edit, filter, save] {
    const QString file = save ? QFileDialog::getSaveFileName(edit->window(), edit->accessibleName(), edit->text(), Text(filter))
                              : QFileDialog::getOpenFileName(edit->window(), edit->accessibleName(), edit->text(), Text(filter));
    if (!file.isEmpty()) edit->setText(file);
  });
  controls << edit << browse;
  return edit;
}

}  // namespace

TStationWindow::TStationWindow(const std::string& workerProgram, QWidget* parent)
    : QWidget(parent, Qt::Window), tickTimer(new QTimer(this)), logic(*this, workerProgram) {
  setObjectName(QStringLiteral("StationWindow"));
  setWindowTitle(Text(MsgStationTitle));
  auto* grid = new QGridLayout;
  imageEdit = AddChoice(grid, 0, "&Прошивка:", "Прошивка (*.bin);;Все файлы (*)", false, choiceControls_);
  profileEdit = AddChoice(grid, 1, "П&рофиль:", "Профиль (*.json);;Все файлы (*)", false, choiceControls_);
  logEdit = AddChoice(grid, 2, "&Журнал JSON:", "JSON Lines (*.jsonl);;Все файлы (*)", true, choiceControls_);

  startButton = new QPushButton(Text("П&уск"));
  stopButton = new QPushButton(Text("&Стоп"));
  stateLabel = new QLabel(Text(MsgStationIdle));
  goodLabel = new QLabel;
  failedLabel = new QLabel;
  choiceControls_ << startButton;
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(startButton);
  buttons->addWidget(stopButton);
  buttons->addWidget(stateLabel, 1);
  buttons->addWidget(goodLabel);
  buttons->addWidget(failedLabel);

  slotTable = new QTableWidget(0, StationColumnCount);
  slotTable->setObjectName(QStringLiteral("StationSlots"));
  slotTable->setAccessibleName(Text("Преобразователи"));
  QStringList titles;
  for (int c = 0; c < StationColumnCount; ++c) titles << Text(StationColumnTitle(static_cast<StationColumn>(c)));
  slotTable->setHorizontalHeaderLabels(titles);
  slotTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
  slotTable->setSelectionBehavior(QAbstractItemView::SelectRows);
  slotTable->setTabKeyNavigation(false);  // Tab leaves the table for the next control
  slotTable->verticalHeader()->hide();
  slotTable->horizontalHeader()->setSectionResizeMode(StationColResult, QHeaderView::Stretch);
  slotTable->setColumnWidth(StationColSerial, 120);
  slotTable->setColumnWidth(StationColLocation, 90);
  slotTable->setColumnWidth(StationColStep, 200);
  slotTable->setColumnWidth(StationColProgress, 80);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addLayout(buttons);
  layout->addWidget(slotTable, 1);
  resize(820, 420);

  tickTimer->setObjectName(QStringLiteral("StationTick"));
  tickTimer->setInterval(StationTickMs);
  connect(tickTimer, &QTimer::timeout, this, [this] { logic.Tick(); });
  connect(startButton, &QPushButton::clicked, this, [this] { StartRun(); });
  connect(stopButton, &QPushButton::clicked, this, [this] { logic.StopClick(); });
  ShowCounts(0, 0);
  ShowRunState(Idle);
}

TStationWindow::~TStationWindow() = default;

void TStationWindow::SetChoices(const StationChoices& choices) {
  imageEdit->setText(Text(choices.image));
  profileEdit->setText(Text(choices.profile));
  logEdit->setText(Text(choices.jsonLog));
  plan_ = choices.plan;
  journal_ = choices.journal;
}

bool TStationWindow::StartRun() {
  StationChoices choices;
  choices.image = imageEdit->text().trimmed().toStdString();
  choices.profile = profileEdit->text().trimmed().toStdString();
  choices.jsonLog = logEdit->text().trimmed().toStdString();
  // The command line's plan and journal serve every run.
  choices.plan = plan_;
  choices.journal = journal_;
  return logic.Start(choices);
}

void TStationWindow::closeEvent(QCloseEvent* event) {
  if (closing_ || logic.CloseRequested()) {
    event->accept();
    return;
  }
  event->ignore();
}

void TStationWindow::ShowSlot(size_t index, const StationSlot& slot, bool inserted) {
  const int row = static_cast<int>(index);
  if (inserted) slotTable->insertRow(row);
  // The result in colour and in words.
  const QColor colour = slot.state == StationSlot::Ok          ? QColor(0, 128, 0)
                        : slot.state == StationSlot::Running   ? palette().color(QPalette::Text)
                        : slot.state == StationSlot::NotInPlan ? QColor(96, 96, 96)
                                                               : QColor(192, 0, 0);
  for (int c = 0; c < StationColumnCount; ++c) {
    QTableWidgetItem* item = slotTable->item(row, c);
    if (item == nullptr) {
      item = new QTableWidgetItem;
      slotTable->setItem(row, c, item);
    }
    const QString text = Text(StationCellText(slot, static_cast<StationColumn>(c)));
    item->setText(text);
    item->setToolTip(text);
    if (c == StationColResult) item->setForeground(colour);
  }
}

void TStationWindow::ShowCounts(int32_t good, int32_t failed) {
  goodLabel->setText(Text(MsgStationGood(good)));
  failedLabel->setText(Text(MsgStationFailed(failed)));
}

void TStationWindow::ShowRunState(RunState state) {
  for (QWidget* control : choiceControls_) control->setEnabled(state == Idle);
  stopButton->setEnabled(state == Running);
  stateLabel->setText(Text(state == Idle ? MsgStationIdle : state == Running ? MsgStationWorking : MsgStationStopping));
  // A disabled control keeps no focus: it goes where the user can act.
  if (state == Running && !slotTable->hasFocus()) stopButton->setFocus();
  if (state == Idle && !slotTable->hasFocus()) startButton->setFocus();
}

// The window goes on while a message is shown: the box is window-modal and
// does not hold the event loop.
void TStationWindow::ShowMessage(const std::string& text, const std::string& reason) {
  if (messageHook) {
    messageHook(Text(text), Text(reason));
    return;
  }
  auto* box = new QMessageBox(QMessageBox::NoIcon, windowTitle(), Text(text), QMessageBox::Ok, this);
  box->setAttribute(Qt::WA_DeleteOnClose);
  if (!reason.empty()) box->setInformativeText(Text(reason));
  box->open();
}

bool TStationWindow::AskStopForClose() {
  if (askHook) return askHook();
  QMessageBox box(QMessageBox::Question, windowTitle(), Text(MsgStationAskStop), QMessageBox::Yes | QMessageBox::No,
                  this);
  box.button(QMessageBox::Yes)->setText(Text("&Да"));
  box.button(QMessageBox::No)->setText(Text("&Нет"));
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

void TStationWindow::StartTicking() { tickTimer->start(); }
void TStationWindow::StopTicking() { tickTimer->stop(); }

void TStationWindow::CloseWindow() {
  closing_ = true;
  close();
}
