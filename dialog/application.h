// The dialog program's start and end: the single-instance lock, the program
// title, the main dialog run modally, and the unattended run that the demo
// and the desktop-less screenshot use.
#pragma once

#include <QLockFile>
#include <QString>
#include <memory>

#include "dialog/prompter.h"

// "QuorvelFirmwareUpdater SW04718 Revision 2.0.9".
QString DialogProgramTitle();

// The lock that keeps a second copy from running, named after the
// application in the user's runtime directory.
class InstanceLock {
 public:
  InstanceLock();
  // False when another copy holds it.
  bool Acquire();
  QString path() const { return path_; }

 private:
  QString path_;
  std::unique_ptr<QLockFile> lock_;
};

// With screenshot set: once the scan has connected the unit, press Update;
// when the update has finished, save the window as a PNG there and close.
// A run that has not finished within timeout_ms saves what it shows and
// ends with 1.
struct Automation {
  QString screenshot;
  int timeout_ms = 180000;
};

// Runs the program after the QApplication exists; the process exit code.
int RunDialogProgram(Prompter& prompter, const Automation& automation = {});
