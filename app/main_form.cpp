#include "app/main_form.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDialog>
#include <QEventLoop>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QStyle>
#include <QStyleOptionButton>
#include <QVBoxLayout>

#include "ops/messages.h"
#include "ui_main_form.h"

TMainForm* MainForm = nullptr;

namespace {

constexpr int kListRowHeight = 13;

}  // namespace

// Shows how a firmware update goes. It is modal and cannot be dismissed: the
// converter has no way to abandon an update half-way.
class TMainForm::UploadProgress : public QDialog {
 public:
  explicit UploadProgress(QWidget* parent)
      : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
        phase_(new QLabel(this)),
        count_(new QLabel(this)),
        bar_(new QProgressBar(this)) {
    setObjectName(QStringLiteral("UploadProgress"));
    setWindowTitle(QString::fromUtf8("Прошивка"));
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(phase_);
    layout->addWidget(count_);
    layout->addWidget(bar_);
    setMinimumWidth(320);
  }

  void Update(UploadPhase phase, uint64_t sent, uint64_t total) {
    phase_->setText(QString::fromUtf8(UploadPhaseText(phase)));
    count_->setText(QString::fromStdString(MsgRecordsSent(sent, total)));
    bar_->setRange(0, total > 0 ? 1000 : 0);
    bar_->setValue(total > 0 ? static_cast<int>(sent * 1000 / total) : 0);
  }

  void reject() override {}  // Escape does not close it

 protected:
  void closeEvent(QCloseEvent* event) override { event->ignore(); }

 private:
  QLabel* phase_;
  QLabel* count_;
  QProgressBar* bar_;
};

namespace {

// A pause that keeps the windows painting; the modal progress display keeps
// the user's input away from the main window meanwhile.
void WaitPainting(int32_t ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);  // a coarse timer may end early
  loop.exec();
}

// A caption wider than its box in the window's font (where Liberation Sans is
// missing, a wider one stands in) grows the box to the right until it fits,
// as the Win32 window's captions do; nothing moves or shrinks.
void FitCaption(QWidget* control, const QString& caption, int extra) {
  const int width = control->fontMetrics().horizontalAdvance(caption) + extra;
  if (width > control->width()) control->resize(width, control->height());
}

void FitCaptions(QWidget* form) {
  for (QLabel* label : form->findChildren<QLabel*>()) FitCaption(label, label->text(), 0);
  for (QCheckBox* box : form->findChildren<QCheckBox*>()) {
    QStyleOptionButton option;
    option.initFrom(box);
    const int indicator = box->style()->pixelMetric(QStyle::PM_IndicatorWidth, &option, box) +
                          box->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, &option, box);
    FitCaption(box, box->text(), indicator);
  }
}

}  // namespace

QFont MainFormFont() {
  QFont font(QStringLiteral("Liberation Sans"));
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(11);
  font.setStretch(98);
  return font;
}

TMainForm::TMainForm(QWidget* parent)
    : QWidget(parent), ui(new Ui::TMainForm), Timer1(new QTimer(this)), StationButton(new QPushButton(this)) {
  ui->setupUi(this);
  StationButton->setObjectName(QStringLiteral("StationButton"));
  StationButton->setText(QString::fromUtf8(MsgStationButton));
  StationButton->setGeometry(288, 276, 137, 19);
  move(350, 205);  // the form's place on the screen; the form description sets only its size
  setFont(MainFormFont());
  FitCaptions(this);
  for (QListWidget* list : {ui->LB, ui->Bits}) {
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    for (int row = 0; row < list->count(); ++row) list->item(row)->setSizeHint(QSize(0, kListRowHeight));
    KeepOneRowSelected(list);
  }
  Timer1->setObjectName(QStringLiteral("Timer1"));
  Timer1->setInterval(1000);

  connect(Timer1, &QTimer::timeout, this, &TMainForm::Timer1Timer);
  connect(ui->ConnButton, &QPushButton::clicked, this, &TMainForm::ConnButtonClick);
  connect(ui->Save, &QPushButton::clicked, this, &TMainForm::SaveClick);
  connect(ui->Button1, &QPushButton::clicked, this, &TMainForm::Button1Click);
  connect(StationButton, &QPushButton::clicked, this, [this] { OpenStation(); });
  FormCreate();
}

TMainForm::~TMainForm() { delete ui; }

TStationWindow* TMainForm::OpenStation() {
  if (!station_) station_ = std::make_unique<TStationWindow>();
  station_->show();
  station_->raise();
  station_->activateWindow();
  return station_.get();
}

void TMainForm::FormCreate() { logic.FormCreate(); }

void TMainForm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!event->spontaneous()) FormShow();  // shown by the program, not restored by the desktop
}

void TMainForm::FormShow() { logic.FormShow(); }
void TMainForm::Timer1Timer() { logic.Timer1Timer(); }
void TMainForm::ConnButtonClick() { logic.ConnButtonClick(); }
void TMainForm::SaveClick() { logic.SaveClick(); }
void TMainForm::Button1Click() { logic.Button1Click(); }

// Once a row is shown, a list never stands without one: a Ctrl+click would
// otherwise leave it empty while a save silently kept the old value.
void TMainForm::KeepOneRowSelected(QListWidget* list) {
  connect(list, &QListWidget::itemSelectionChanged, this, [list] {
    const QList<QListWidgetItem*> selected = list->selectedItems();
    if (!selected.isEmpty()) {
      list->setProperty("keptRow", list->row(selected.first()));
      return;
    }
    const QVariant kept = list->property("keptRow");
    if (kept.isValid() && kept.toInt() >= 0) list->setCurrentRow(kept.toInt(), QItemSelectionModel::ClearAndSelect);
  });
}

void TMainForm::ShowMessage(const QString& text, const QString& reason) {
  if (messageHook) {
    messageHook(text, reason);
    return;
  }
  QMessageBox box(QMessageBox::NoIcon, windowTitle(), text, QMessageBox::Ok, this);
  if (!reason.isEmpty()) box.setInformativeText(reason);
  box.exec();
}

void TMainForm::ShowMessage(const std::string& text, const std::string& reason) {
  ShowMessage(QString::fromStdString(text), QString::fromStdString(reason));
}

std::string TMainForm::PortText() { return ui->PortEdit->text().toLocal8Bit().toStdString(); }
void TMainForm::SetPortText(const std::string& text) { ui->PortEdit->setText(QString::fromStdString(text)); }
void TMainForm::EnablePanel(bool on) { ui->P->setEnabled(on); }
void TMainForm::EnableCheckButton(bool on) { ui->ConnButton->setEnabled(on); }

void TMainForm::UpdateProgress(UploadPhase phase, uint64_t sent, uint64_t total) {
  if (!progress_) progress_ = std::make_unique<UploadProgress>(this);
  progress_->Update(phase, sent, total);
  QCoreApplication::processEvents();
}

void TMainForm::ShowProgress(bool visible) {
  if (!progress_) progress_ = std::make_unique<UploadProgress>(this);
  progress_->setVisible(visible);
}

void TMainForm::CloseProgress() { progress_.reset(); }

void TMainForm::SetWaitCursor(bool on) {
  if (on)
    QApplication::setOverrideCursor(Qt::WaitCursor);
  else
    QApplication::restoreOverrideCursor();
}

void TMainForm::StartTimer() { Timer1->start(); }
void TMainForm::StopTimer() { Timer1->stop(); }
bool TMainForm::TimerActive() { return Timer1->isActive(); }
void TMainForm::WaitPainting(int32_t ms) { ::WaitPainting(ms); }

void TMainForm::ShowSettings(const SettingsView& view) {
  ui->BaudRate->setText(QString::fromStdString(view.baudRate));
  ui->Echo->setChecked(view.echoSuppression);
  ui->Stop->setChecked(view.twoStopBits);
  ui->LB->setCurrentRow(view.parityRow);
  ui->Bits->setCurrentRow(view.dataBitsRow);
}

SettingsView TMainForm::ReadSettings() {
  SettingsView view;
  view.baudRate = ui->BaudRate->text().toStdString();
  view.parityRow = ui->LB->currentRow();
  view.dataBitsRow = ui->Bits->currentRow();
  view.twoStopBits = ui->Stop->isChecked();
  view.echoSuppression = ui->Echo->isChecked();
  return view;
}
