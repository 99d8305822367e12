#include "dialog/updater_dialog.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QEventLoop>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QThread>
#include <QVBoxLayout>

#include "dialog/device_search.h"
#include "dialog/dialog_engine.h"
#include "dialog/dialog_log.h"
#include "platform/clock.h"
#include "platform/system.h"
#include "reader/fullarray.h"
#include "updater/engine.h"
#include "updater/program_title.h"

namespace {

constexpr uint32_t kProcessingWaitMs = 5000;
constexpr uint32_t kProcessingRetryMs = 10;

// Takes the processing mutex, waiting up to 5 seconds on the installed clock.
bool TakeProcessing(std::mutex& processing) {
  platform::Clock& clock = platform::GetClock();
  const uint32_t start = clock.TickCount();
  while (!processing.try_lock()) {
    if (clock.TickCount() - start >= kProcessingWaitMs) return false;
    clock.Sleep(kProcessingRetryMs);
  }
  return true;
}
constexpr uint32_t kFullArrayOmnikeyBit = 0x4000;
constexpr int32_t kStringBuffer = 200;
constexpr const char* kNotFound = "Not Found";
constexpr const char* kConnectionLost = "Reader Units connection lost";

QString Q(const std::string& text) { return QString::fromStdString(text); }
QString Q(const RT::BaseString& text) { return QString::fromUtf8(text.c_str()); }
bool Contains(const RT::BaseString& text, const char* part) { return text.Find(part) >= 0; }

// A first-seven-characters code equal to another, ignoring case.
bool CodeIs(const RT::BaseString& code, const char* other) { return code.CompareNoCase(other) == 0; }

QLineEdit* ReadOnlyEdit(const char* name) {
  auto* edit = new QLineEdit;
  edit->setObjectName(name);
  edit->setReadOnly(true);
  return edit;
}

QPushButton* Button(const char* name, const QString& text) {
  auto* button = new QPushButton(text);
  button->setObjectName(name);
  button->setAutoDefault(false);
  return button;
}

}  // namespace

UpdaterDialog::UpdaterDialog(Prompter& prompter, std::mutex& processing, QWidget* parent)
    : QDialog(parent), prompter_(prompter), processing_(processing), worker_(engine_, *this) {
  BuildControls();
  poll_timer_.setInterval(kPollMilliseconds);
  connect(&poll_timer_, &QTimer::timeout, this, &UpdaterDialog::PollTick);
}

// A worker still running holds this dialog; the dialog refuses to close
// while one runs, so this join returns at once.
UpdaterDialog::~UpdaterDialog() { worker_.Join(); }

void UpdaterDialog::BuildControls() {
  setWindowTitle(QStringLiteral("VL Series Firmware Updater - SW 04718"));
  setWindowIcon(
      QIcon::fromTheme(QStringLiteral("system-software-update"), style()->standardIcon(QStyle::SP_BrowserReload)));

  auto* identity = new QGroupBox;
  auto* fields = new QFormLayout(identity);
  serial_edit_ = ReadOnlyEdit("IDC_1005");
  boot_edit_ = ReadOnlyEdit("IDC_1013");
  app_edit_ = ReadOnlyEdit("IDC_1007");
  fx3_edit_ = ReadOnlyEdit("IDC_1010");
  fields->addRow(tr("Serial String"), serial_edit_);
  fields->addRow(tr("Bootstrap"), boot_edit_);
  fields->addRow(tr("App Firmware"), app_edit_);
  fields->addRow(tr("FX3 Firmware"), fx3_edit_);

  scan_button_ = Button("IDC_1012", tr("Scan for VL/PN/HX2/TD12K"));
  reset_button_ = Button("IDC_1014", tr("Reset"));
  update_button_ = Button("IDC_1009", tr("Update Reader  Files"));
  auto* actions = new QHBoxLayout;
  actions->addWidget(scan_button_, 1);
  actions->addWidget(reset_button_);
  actions->addWidget(update_button_);
  // The style's size hint leaves the longest caption touching the frame.
  for (QPushButton* button : {reset_button_, update_button_}) {
    button->setMinimumWidth(button->sizeHint().width() + 16);
  }

  progress_ = new QProgressBar;
  progress_->setObjectName("IDC_1121");
  progress_->setTextVisible(false);
  progress_->setRange(0, 100);
  progress_->setValue(0);
  progress_info_ = new QLabel(tr("Progress Info"));
  progress_info_->setObjectName("IDC_1122");
  progress_info_->setAlignment(Qt::AlignCenter);
  progress_info_->setWordWrap(true);
  status_ = new QLabel;
  status_->setObjectName("IDC_1123");
  status_->setAlignment(Qt::AlignCenter);
  status_->setWordWrap(true);

  list_ = new QListWidget;
  list_->setObjectName("IDC_1008");
  list_->setSelectionMode(QAbstractItemView::NoSelection);
  list_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  list_->setMinimumHeight(200);

  // No system menu here: About sits on a small button and in the window's
  // context menu.
  auto* about_button = Button("IDM_ABOUTBOX", tr("About..."));
  close_button_ = Button("IDC_1", tr("Close"));
  close_button_->setDefault(true);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(about_button);
  bottom->addStretch(1);
  bottom->addWidget(close_button_);
  auto* about = new QAction(tr("&About QuorvelFirmwareUpdater..."), this);
  addAction(about);
  setContextMenuPolicy(Qt::ActionsContextMenu);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(identity);
  layout->addLayout(actions);
  layout->addWidget(progress_);
  layout->addWidget(progress_info_);
  layout->addWidget(status_);
  layout->addWidget(list_, 1);
  layout->addLayout(bottom);
  setMinimumWidth(540);

  connect(scan_button_, &QPushButton::clicked, this, &UpdaterDialog::Scan);
  connect(reset_button_, &QPushButton::clicked, this, &UpdaterDialog::Reset);
  connect(update_button_, &QPushButton::clicked, this, &UpdaterDialog::Update);
  connect(close_button_, &QPushButton::clicked, this, &UpdaterDialog::RequestClose);
  connect(about_button, &QPushButton::clicked, this, &UpdaterDialog::ShowAbout);
  connect(about, &QAction::triggered, this, &UpdaterDialog::ShowAbout);
}

bool UpdaterDialog::Open() {
  InitSessionLog(".", false);
  EnableSessionLog(true);
  std::string family;
  if (LoadDialogSettings(engine_, kDialogSettingsFile, &family) == 0) {
    prompter_.Inform(kMessageCaption,
                     QStringLiteral("Unrecognized bootloader/application firmware. Closing application."));
    QMetaObject::invokeMethod(this, &UpdaterDialog::RequestClose, Qt::QueuedConnection);
    return false;
  }
  scan_button_->setText(QStringLiteral("Scan for ") + Q(family));

  closing = false;
  WriteDialogLog("Session Start - Version " + ProgramTitle() + "\n\n");
  RefreshMembers();
  connected_ = false;
  update_button_->setEnabled(false);
  setWindowTitle(Q(ProgramTitle()));
  QFont heavy = status_->font();
  heavy.setWeight(static_cast<QFont::Weight>(std::min(heavy.weight() * 4, static_cast<int>(QFont::Black))));
  status_->setFont(heavy);
  poll_timer_.start();
  return true;
}

// --- What the worker and the search call ---------------------------------

void UpdaterDialog::RunOnDialogThread(const std::function<void()>& call) {
  if (QThread::currentThread() == thread()) return call();
  PendingCall pending{&call, false};
  std::unique_lock lock(calls_mutex_);
  calls_.push_back(&pending);
  QCoreApplication::postEvent(this, new QEvent(kRunCallsEvent));
  call_done_.wait(lock, [&pending] { return pending.done; });
}

void UpdaterDialog::RunQueuedCalls() {
  std::unique_lock lock(calls_mutex_);
  while (!calls_.empty()) {
    PendingCall* pending = calls_.front();
    calls_.pop_front();
    lock.unlock();
    (*pending->call)();
    lock.lock();
    pending->done = true;
  }
  call_done_.notify_all();
}

void UpdaterDialog::AddMessage(const std::string& text) {
  RunOnDialogThread([this, &text] { AppendLine(Q(text)); });
}

void UpdaterDialog::AppendLine(const QString& text) {
  auto* item = new QListWidgetItem(text, list_);
  list_->setCurrentItem(item, QItemSelectionModel::NoUpdate);
  if (list_->count() > 4) list_->scrollToItem(item);
  WriteDialogLog(text.toStdString());
}

void UpdaterDialog::StepProgress() {
  RunOnDialogThread([this] { progress_->setValue(std::min(progress_->value() + 1, progress_->maximum())); });
}

void UpdaterDialog::PostRefreshControls() { QCoreApplication::postEvent(this, new QEvent(kRefreshControlsEvent)); }

void UpdaterDialog::PostUpdateFinished() { QCoreApplication::postEvent(this, new QEvent(kUpdateFinishedEvent)); }

bool UpdaterDialog::event(QEvent* event) {
  switch (static_cast<int>(event->type())) {
    case kRunCallsEvent: RunQueuedCalls(); return true;
    case kAnswerOneEvent: return true;
    case kRefreshMembersEvent: RefreshMembers(); return true;
    case kRefreshControlsEvent: RefreshControls(); return true;
    case kUpdateFinishedEvent:
      close_button_->setEnabled(true);
      texts().Set(DialogTexts::kStatus, "");
      RefreshControls();
      poll_timer_.start(kPollMilliseconds);
      progress_->setValue(0);
      updating_ = false;
      emit updateFinished();
      return true;
    default: return QDialog::event(event);
  }
}

void UpdaterDialog::RefreshControls() {
  serial_edit_->setText(Q(texts().Get(DialogTexts::kSerial)));
  boot_edit_->setText(Q(texts().Get(DialogTexts::kBoot)));
  app_edit_->setText(Q(texts().Get(DialogTexts::kApp)));
  fx3_edit_->setText(Q(texts().Get(DialogTexts::kFx3)));
  progress_info_->setText(Q(texts().Get(DialogTexts::kProgressInfo)));
  status_->setText(Q(texts().Get(DialogTexts::kStatus)));
}

void UpdaterDialog::RefreshMembers() {
  texts().Set(DialogTexts::kSerial, serial_edit_->text().toStdString());
  texts().Set(DialogTexts::kBoot, boot_edit_->text().toStdString());
  texts().Set(DialogTexts::kApp, app_edit_->text().toStdString());
  texts().Set(DialogTexts::kFx3, fx3_edit_->text().toStdString());
  texts().Set(DialogTexts::kProgressInfo, progress_info_->text().toStdString());
  texts().Set(DialogTexts::kStatus, status_->text().toStdString());
}

void UpdaterDialog::SetConnected(bool connected) {
  connected_ = connected;
  scan_button_->setEnabled(connected);
  update_button_->setEnabled(connected);
  reset_button_->setEnabled(connected);
  emit connectedChanged(connected);
}

// --- Poll, scan and reset --------------------------------------------------

void UpdaterDialog::PollTick() {
  if (!connected_) return Scan();
  char serial[kStringBuffer];
  const RT::BaseString known(texts().Get(DialogTexts::kSerial).c_str(),
                             static_cast<int32_t>(texts().Get(DialogTexts::kSerial).size()));
  if (DialogSerialString(serial, sizeof serial) > 0 && known.CompareNoCase(serial) == 0) return;
  texts().Set(DialogTexts::kSerial, kNotFound);
  AddMessage(kConnectionLost);
  SetConnected(false);
  RefreshControls();
}

int32_t UpdaterDialog::SearchKeepingResponsive() {
  DeviceSearch search(engine_, *this, true);
  QEventLoop loop;
  search.Start([&loop] { QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection); });
  searching_ = true;
  loop.exec();
  searching_ = false;
  return search.Join();
}

void UpdaterDialog::Scan() {
  if (!TakeProcessing(processing_)) return;
  std::unique_lock processing(processing_, std::adopt_lock);
  poll_timer_.stop();
  if (connected_) AddMessage(kConnectionLost);
  SetConnected(false);
  texts().Set(DialogTexts::kSerial, "");
  texts().Set(DialogTexts::kApp, kNotFound);
  texts().Set(DialogTexts::kBoot, kNotFound);
  texts().Set(DialogTexts::kFx3, kNotFound);
  AddMessage("Looking for VL/TD9200 HX2/PN/WR/TD12K series unit");
  RefreshControls();

  const bool found = SearchKeepingResponsive() == 0;
  if (closing) {
    processing.unlock();
    if (close_pending_) FinishClose();
    return;
  }
  if (found) ReadUnitStrings();
  processing.unlock();
  RefreshControls();
  poll_timer_.start(kPollMilliseconds);
}

void UpdaterDialog::ReadUnitStrings() {
  platform::Clock& clock = platform::GetClock();
  char text[kStringBuffer];
  const int32_t type = engine_.m_ReaderType;
  if (DialogFirmwareString(text, sizeof text) > 0) {
    texts().Set(DialogTexts::kApp, text);
  } else if (type == 10 || type == 13) {
    // Without a limit long enough the wait counts ten seconds, and ends as
    // soon as the unit answers.
    int32_t seconds = engine_.m_LocateUSBTimeout > 10000 ? engine_.m_LocateUSBTimeout / 1000 : 10;
    AddMessage(RT::BaseString("TD12K(i) unit waiting up to %d sec for boot up", seconds).c_str());
    do {
      clock.Sleep(1000);
      --seconds;
      if (DialogFirmwareString(text, sizeof text) > 0) {
        texts().Set(DialogTexts::kApp, text);
        break;
      }
    } while (seconds >= 0 && !closing);
  }
  // Read through the handle the firmware read left open.
  if (DialogBootString(text, sizeof text) > 0) texts().Set(DialogTexts::kBoot, text);
  if (DialogSerialString(text, sizeof text) > 0) texts().Set(DialogTexts::kSerial, text);
  if (HasFx3String(type)) {
    if (DialogFX3FirmwareString(text, sizeof text) > 0) texts().Set(DialogTexts::kFx3, text);
    if (!texts().Get(DialogTexts::kSerial).empty()) {
      clock.Sleep(10000);
      if (DialogFirmwareString(text, sizeof text) > 0) texts().Set(DialogTexts::kApp, text);
      if (DialogBootString(text, sizeof text) > 0) texts().Set(DialogTexts::kBoot, text);
    }
  }

  AddMessage("Unit Found - Firmware " + texts().Get(DialogTexts::kApp) + ", Boot " + texts().Get(DialogTexts::kBoot));
  AddMessage("Unit Found - checking connection");
  if (DialogCheckConnection(type) == 0) {
    texts().Set(DialogTexts::kProgressInfo, "Unit Found - Serial " + texts().Get(DialogTexts::kSerial));
    AddMessage("Reader Units connection established");
    SetConnected(true);
  }
}

void UpdaterDialog::Reset() {
  AddMessage("Reset connected Reader Unit");
  if (connected_) AddMessage(kConnectionLost);
  SetConnected(false);
  poll_timer_.stop();
  RdrSoftBoot(LogStyle::kDialog);
  poll_timer_.start(kPollMilliseconds);
}

// --- Update ------------------------------------------------------------------

bool UpdaterDialog::CheckBeforeUpdate() {
  struct RequiredFile {
    const RT::BaseString QuorvelFirmwareUpdaterSilent::*file;
    const char* missing;
  };
  static constexpr RequiredFile kRequired[] = {
      {&QuorvelFirmwareUpdaterSilent::m_BootloaderFile, "Bootloader File missing - %s"},
      {&QuorvelFirmwareUpdaterSilent::m_ApplicationFile, "Application File missing - %s"},
      {&QuorvelFirmwareUpdaterSilent::m_BootIniFile, "BootIni File missing - %s"},
  };
  for (const RequiredFile& required : kRequired) {
    const RT::BaseString& file = engine_.*required.file;
    if (file.IsEmpty() || platform::FileExists(file.c_str())) continue;
    AddMessage(RT::BaseString(required.missing, file.c_str()).c_str());
    return false;
  }

  const std::string boot = texts().Get(DialogTexts::kBoot);
  const RT::BaseString boot_code = RT::BaseString("%s", boot.c_str()).Left(7);
  const RT::BaseString& main_file = engine_.m_BootloaderFile;
  const RT::BaseString& alt_file = engine_.m_BootloaderAltFile;
  auto ask = [&](const char* format, const std::string& unit, const RT::BaseString& file) {
    return prompter_.Ask(kMessageCaption, Q(RT::BaseString(format, unit.c_str(), file.c_str())));
  };
  const char* kBootMismatch = "Bootloader firmware %s does not match file selected %s. Do you wish to continue?";
  engine_.m_SelectedBootloaderFile = main_file;
  std::string line = "Bootloader File to be used - " + std::string(main_file.c_str());
  if (main_file.IsEmpty()) line = "No Bootloader File updated.";
  if (CodeIs(boot_code, "FW41019")) {
    if (alt_file.IsEmpty()) {
      if (!main_file.IsEmpty()) line = "No BootloaderAlt File updated.";
    } else {
      if (Contains(alt_file, "FW41098")) engine_.m_SelectedBootloaderFile = alt_file;
      if (!Contains(main_file, "FW41098") && !Contains(alt_file, "FW41098") &&
          !ask("Bootloader VL120 firmware %s does not match file selected %s. Do you wish to continue?", boot,
               main_file)) {
        return false;
      }
    }
  } else if (CodeIs(boot_code, "FW41348") && !main_file.IsEmpty() && !alt_file.IsEmpty()) {
    if (!Contains(main_file, boot_code.c_str())) {
      if (Contains(alt_file, boot_code.c_str())) {
        engine_.m_SelectedBootloaderFile = alt_file;
      } else if (!ask(kBootMismatch, boot, main_file)) {
        return false;
      }
    }
  } else if (!main_file.IsEmpty() && !Contains(main_file, boot_code.c_str()) && !ask(kBootMismatch, boot, main_file)) {
    return false;
  }
  AddMessage(line);

  const std::string app = texts().Get(DialogTexts::kApp);
  const RT::BaseString app_code = RT::BaseString("%s", app.c_str()).Left(7);
  const RT::BaseString& app_file = engine_.m_ApplicationFile;
  const char* required = nullptr;
  if (CodeIs(app_code, "FW41077")) required = "FW41026";
  if (CodeIs(app_code, "FW41922")) required = "FW41808";
  if (required != nullptr) {
    return Contains(app_file, required) ||
           ask("Application VL120 firmware %s does not match file selected %s. Do you wish to continue?", app,
               app_file);
  }
  return app_file.IsEmpty() || Contains(app_file, app_code.c_str()) ||
         ask("Application firmware %s does not match file selected %s. Do you wish to continue?", app, app_file);
}

void UpdaterDialog::Update() {
  bool omnikey_bit = false;
  if (engine_.m_FullArrayCheck) {
    // Closed again at once, so that the worker can open the unit.
    omnikey_bit = true;
    const FAHANDLE full_array = FullArrayOpenUSB(nullptr);
    if (full_array != InvalidFullArrayHandle()) {
      uint32_t mask = 0;
      FullArrayStatus(full_array, &mask);
      omnikey_bit = (mask & kFullArrayOmnikeyBit) != 0;
      FullArrayClose(full_array);
    }
    if (omnikey_bit) DialogControlOmnikeyReaders(false);
  }
  close_button_->setEnabled(false);
  if (!CheckBeforeUpdate() || !TakeProcessing(processing_)) {
    close_button_->setEnabled(true);
    return;
  }
  std::unique_lock processing(processing_, std::adopt_lock);
  poll_timer_.stop();
  SetConnected(false);
  texts().Set(DialogTexts::kStatus, "DO NOT DISCONNECT DEVICE WHILE UPDATE IS IN PROGRESS");
  progress_->setRange(0, UpdateProgressRange(engine_));
  progress_->setValue(0);
  RefreshControls();

  updating_ = true;
  worker_.StartUpdateWorker(engine_.m_UseOldTransferProtocol);
  if (engine_.m_FullArrayCheck && omnikey_bit) DialogControlOmnikeyReaders(true);
  processing.unlock();
  RefreshControls();
}

// --- Closing and the about box ---------------------------------------------

void UpdaterDialog::RequestClose() {
  // The worker reaches into this dialog until it has posted update-finished.
  if (updating_ || finished_) return;
  if (!closing) {
    closing = true;
    WriteDialogLog("Session End -  Version " + ProgramTitle() + "\n\n");
    poll_timer_.stop();
  }
  // A running search sees the flag and ends; the scan then finishes the close.
  if (searching_) {
    close_pending_ = true;
    return;
  }
  FinishClose();
}

void UpdaterDialog::FinishClose() {
  finished_ = true;
  RdrCloseHandle();
  done(QDialog::Accepted);
}

void UpdaterDialog::reject() { RequestClose(); }

void UpdaterDialog::closeEvent(QCloseEvent* event) {
  event->ignore();
  RequestClose();
}

void UpdaterDialog::ShowAbout() {
  QDialog about(this);
  about.setWindowTitle(QStringLiteral("About VLSeriesFirmwareUpdater"));
  auto* icon = new QLabel;
  icon->setPixmap(windowIcon().pixmap(32, 32));
  auto* title = new QLabel(Q(ProgramTitle()));
  title->setObjectName("IDC_1123");
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
  connect(buttons, &QDialogButtonBox::accepted, &about, &QDialog::accept);
  auto* row = new QHBoxLayout;
  row->addWidget(icon);
  row->addWidget(title, 1);
  auto* layout = new QVBoxLayout(&about);
  layout->addLayout(row);
  layout->addWidget(buttons);
  about.exec();
}
