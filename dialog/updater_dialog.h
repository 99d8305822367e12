// The main dialog: watches for the unit the settings describe, shows its
// identity strings, keeps the message list (which doubles as the session log)
// and the progress bar, and offers scan, reset and update. Controls carry
// their control ids in their object names ("IDC_1005").
#pragma once

#include <QDialog>
#include <QEvent>
#include <QTimer>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "dialog/prompter.h"
#include "dialog/update_host.h"
#include "dialog/update_worker.h"
#include "updater/silent.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;

// The user messages, as event types counted from QEvent::User as the
// platform counts its user messages from 0x0400.
inline constexpr QEvent::Type kAnswerOneEvent = static_cast<QEvent::Type>(QEvent::User + 0x01);
inline constexpr QEvent::Type kRefreshMembersEvent = static_cast<QEvent::Type>(QEvent::User + 0x02);
inline constexpr QEvent::Type kRefreshControlsEvent = static_cast<QEvent::Type>(QEvent::User + 0x03);
inline constexpr QEvent::Type kUpdateFinishedEvent = static_cast<QEvent::Type>(QEvent::User + 0x04);

// Runs the calls other threads have queued for the dialog's thread.
inline constexpr QEvent::Type kRunCallsEvent = static_cast<QEvent::Type>(QEvent::User + 0x100);

inline constexpr int kPollMilliseconds = 2000;

class UpdaterDialog final : public QDialog, public UpdateHost {
  Q_OBJECT

 public:
  // processing keeps a scan and the start of an update from overlapping.
  UpdaterDialog(Prompter& prompter, std::mutex& processing, QWidget* parent = nullptr);
  ~UpdaterDialog() override;

  // Loads the settings and starts watching for the unit. false when the
  // settings select no reader type: the user was told and a close is posted.
  bool Open();

  void AddMessage(const std::string& text) override;
  void StepProgress() override;
  void PostRefreshControls() override;
  void PostUpdateFinished() override;

  // Copies the texts into the controls, or the controls into the texts.
  void RefreshControls();
  void RefreshMembers();

  // The handlers of the buttons and the poll timer.
  void Scan();
  void Reset();
  void Update();
  void PollTick();
  void ShowAbout();
  // The Close button's handler, also run for a close request of the window.
  void RequestClose();

  bool connected() const { return connected_; }
  bool updating() const { return updating_; }
  const QTimer& pollTimer() const { return poll_timer_; }
  QuorvelFirmwareUpdaterSilent& engine() { return engine_; }

 signals:
  void connectedChanged(bool connected);
  // The update-finished message has been handled.
  void updateFinished();

 protected:
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void reject() override;

 private:
  void BuildControls();
  void SetConnected(bool connected);
  void AppendLine(const QString& text);
  // Runs call on the dialog's thread; a caller on another thread waits
  // until it has run. The hand-over goes through calls_mutex_, so that the
  // thread sanitizer sees it whichever way the toolkit queues its events.
  void RunOnDialogThread(const std::function<void()>& call);
  void RunQueuedCalls();
  // Runs the device search on its thread while this thread goes on handling
  // events, so that Close is heard; 0 when the unit was found.
  int32_t SearchKeepingResponsive();
  void ReadUnitStrings();
  // The file, bootloader and application checks before an update; false
  // when the update must not start.
  bool CheckBeforeUpdate();
  void FinishClose();

  Prompter& prompter_;
  std::mutex& processing_;
  QuorvelFirmwareUpdaterSilent engine_;
  UpdateWorker worker_;
  QTimer poll_timer_;
  bool connected_ = false;
  bool updating_ = false;
  bool searching_ = false;
  bool close_pending_ = false;
  bool finished_ = false;

  struct PendingCall {
    const std::function<void()>* call;
    bool done;
  };
  std::mutex calls_mutex_;  // guards calls_ and the done flag of each call in it
  std::condition_variable call_done_;
  std::deque<PendingCall*> calls_;

  QPushButton* close_button_ = nullptr;
  QLineEdit* serial_edit_ = nullptr;
  QLineEdit* boot_edit_ = nullptr;
  QLineEdit* app_edit_ = nullptr;
  QLineEdit* fx3_edit_ = nullptr;
  QPushButton* update_button_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QLabel* progress_info_ = nullptr;
  QLabel* status_ = nullptr;
  QListWidget* list_ = nullptr;
  QPushButton* reset_button_ = nullptr;
  QPushButton* scan_button_ = nullptr;
};
