#include "dialog/application.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>
#include <QTimer>
#include <cstdio>
#include <mutex>

#include "dialog/dialog_log.h"
#include "dialog/updater_dialog.h"
#include "updater/program_title.h"

QString DialogProgramTitle() {
  return QStringLiteral("QuorvelFirmwareUpdater SW04718 Revision %1.%2.%3").arg(2).arg(0).arg(9);
}

InstanceLock::InstanceLock() {
  QString directory = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (directory.isEmpty()) directory = QDir::tempPath();
  path_ = QDir(directory).filePath(QCoreApplication::applicationName() + QStringLiteral(".lock"));
}

bool InstanceLock::Acquire() {
  lock_ = std::make_unique<QLockFile>(path_);
  // A lock left by a copy that died is taken over at once.
  lock_->setStaleLockTime(0);
  return lock_->tryLock(0);
}

namespace {

// Saves the window as it looks now.
bool SaveScreenshot(QWidget& window, const QString& path) {
  const bool saved = window.grab().save(path, "PNG");
  std::fprintf(stderr, "%s %s\n", saved ? "screenshot saved:" : "screenshot could not be saved:", qPrintable(path));
  return saved;
}

void Automate(UpdaterDialog& dialog, const Automation& automation, int* exit_code) {
  QObject::connect(&dialog, &UpdaterDialog::connectedChanged, &dialog, [&dialog](bool connected) {
    if (connected && !dialog.updating()) QTimer::singleShot(0, &dialog, &UpdaterDialog::Update);
  });
  QObject::connect(&dialog, &UpdaterDialog::updateFinished, &dialog, [&dialog, automation, exit_code] {
    if (!SaveScreenshot(dialog, automation.screenshot)) *exit_code = 1;
    dialog.RequestClose();
  });
  QTimer::singleShot(automation.timeout_ms, &dialog, [&dialog, automation, exit_code] {
    std::fprintf(stderr, "the update did not finish within %d ms\n", automation.timeout_ms);
    SaveScreenshot(dialog, automation.screenshot);
    *exit_code = 1;
    dialog.RequestClose();
  });
}

}  // namespace

int RunDialogProgram(Prompter& prompter, const Automation& automation) {
  SetProgramTitle(DialogProgramTitle().toStdString());
  InstanceLock instance;
  if (!instance.Acquire()) {
    prompter.Inform(kMessageCaption,
                    QStringLiteral("Application is already running.  Only one instance is allowed, exiting program."));
    return 0;
  }
  const ScopedDialogLogSink sink;
  std::mutex processing;
  int exit_code = 0;
  UpdaterDialog dialog(prompter, processing);
  if (!automation.screenshot.isEmpty()) Automate(dialog, automation, &exit_code);
  dialog.Open();
  dialog.exec();
  return exit_code;
}
