#include "app/main_form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QEventLoop>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QShowEvent>
#include <QVBoxLayout>

#include "ops/firmware_upload.h"
#include "ops/messages.h"
#include "discovery/device_locator.h"
#include "ports/ms_clock.h"
#include "ui_main_form.h"

TMainForm* MainForm = nullptr;

namespace {

constexpr int kListRowHeight = 13;

// Shows how a firmware update goes. It is modal and cannot be dismissed: the
// converter has no way to abandon an update half-way.
class UploadProgress : public QDialog {
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
    count_->setText(QString::fromUtf8("Записей передано: %1 из %2").arg(sent).arg(total));
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

// A pause that keeps the windows painting; the modal progress display keeps
// the user's input away from the main window meanwhile.
void WaitPainting(int32_t ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);  // a coarse timer may end early
  loop.exec();
}

}  // namespace

QFont MainFormFont() {
  QFont font(QStringLiteral("Liberation Sans"));
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(11);
  font.setStretch(98);
  return font;
}

class TMainForm::HandlerScope {
 public:
  explicit HandlerScope(bool& running) : running_(running), entered_(!running) { running_ = true; }
  ~HandlerScope() {
    if (entered_) running_ = false;
  }
  HandlerScope(const HandlerScope&) = delete;
  HandlerScope& operator=(const HandlerScope&) = delete;
  bool Entered() const { return entered_; }  // false: another handler runs; do nothing

 private:
  bool& running_;
  bool entered_;
};

TMainForm::TMainForm(QWidget* parent) : QWidget(parent), ui(new Ui::TMainForm), Timer1(new QTimer(this)) {
  ui->setupUi(this);
  move(350, 205);  // the form's place on the screen; the form description sets only its size
  setFont(MainFormFont());
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
  FormCreate();
}

TMainForm::~TMainForm() { delete ui; }

void TMainForm::FormCreate() {
  PortLayerInit();
  MsClockStart();
}

void TMainForm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!event->spontaneous()) FormShow();  // shown by the program, not restored by the desktop
}

void TMainForm::FormShow() {
  const HandlerScope scope(handlerRunning_);
  if (scope.Entered()) LocateDevice();
}

void TMainForm::Timer1Timer() {
  const HandlerScope scope(handlerRunning_);
  if (scope.Entered()) LocateDevice();
}

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

// The timer runs only while the converter is absent; restarting it while it
// runs would change its rhythm, so an active timer is left alone.
void TMainForm::LocateDevice() {
  char portName[200];
  ui->PortEdit->setText(QString::fromUtf8(MsgNoDevice));
  if (LocateDevicePort(portName, sizeof portName) != 0) {
    ui->PortEdit->setText(QString::fromLocal8Bit(portName));
    Timer1->stop();
  } else if (!Timer1->isActive()) {
    Timer1->start();
  }
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

void TMainForm::ConnButtonClick() {
  const HandlerScope scope(handlerRunning_);
  if (!scope.Entered()) return;
  const QByteArray portName = ui->PortEdit->text().toLocal8Bit();
  const SettingsResult result = SettingsCheck(portName.constData(), portId, settings);
  if (result != SettingsOk) {
    const std::string reason =
        result == SettingsPortOpenFailed ? PortFailureReason(PortLastFailure()) : std::string();
    ShowMessage(QString::fromUtf8(SettingsMessage(result)), QString::fromStdString(reason));
    return;
  }
  ui->P->setEnabled(true);
  ui->ConnButton->setEnabled(false);
  ShowSettings(SettingsToView(settings));
}

void TMainForm::SaveClick() {
  const HandlerScope scope(handlerRunning_);
  if (!scope.Entered()) return;
  SettingsFromView(ReadSettingsControls(), settings);
  ShowMessage(QString::fromUtf8(SettingsMessage(SettingsWrite(portId, settings))));
}

void TMainForm::Button1Click() {
  const HandlerScope scope(handlerRunning_);
  if (!scope.Entered()) return;
  UploadProgress progress(this);
  UploadHooks hooks;
  hooks.message = [this](const char* text, const std::string& reason) {
    ShowMessage(QString::fromUtf8(text), QString::fromStdString(reason));
  };
  hooks.wait = WaitPainting;
  hooks.busy = [&progress](bool on) {
    if (on) {
      QApplication::setOverrideCursor(Qt::WaitCursor);
      progress.show();
    } else {
      progress.hide();
      QApplication::restoreOverrideCursor();
    }
  };
  hooks.progress = [&progress](UploadPhase phase, const UploadReport& sofar) {
    progress.Update(phase, sofar.recordsSent, sofar.recordsTotal);
    QCoreApplication::processEvents();
  };
  hooks.reopenDelayMs = uploadSettleMs;
  hooks.finishDelayMs = uploadSettleMs;

  // No search runs during the update: it would change the port being updated.
  const bool searching = Timer1->isActive();
  Timer1->stop();
  const QByteArray portName = ui->PortEdit->text().toLocal8Bit();
  FirmwareUpload(portName.constData(), portId, FirmwareFileName, hooks);
  if (searching) Timer1->start();
}

void TMainForm::ShowSettings(const SettingsView& view) {
  ui->BaudRate->setText(QString::fromStdString(view.baudRate));
  ui->Echo->setChecked(view.echoSuppression);
  ui->Stop->setChecked(view.twoStopBits);
  ui->LB->setCurrentRow(view.parityRow);
  ui->Bits->setCurrentRow(view.dataBitsRow);
}

SettingsView TMainForm::ReadSettingsControls() const {
  SettingsView view;
  view.baudRate = ui->BaudRate->text().toStdString();
  view.parityRow = ui->LB->currentRow();
  view.dataBitsRow = ui->Bits->currentRow();
  view.twoStopBits = ui->Stop->isChecked();
  view.echoSuppression = ui->Echo->isChecked();
  return view;
}
