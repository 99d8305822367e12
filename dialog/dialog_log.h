// The dialog program's session log: the text file that receives every line of
// the message list, the settings and the session start and end lines, and the
// sink through which the update engine's procedures write to it.
#pragma once

#include <string>

#include "updater/session_log.h"

// The log file's name inside the directory given to InitSessionLog.
inline constexpr const char* kDialogLogFile = "QuorvelFirmwareUpdaterLog.txt";

// Sets the log to "<directory>/QuorvelFirmwareUpdaterLog.txt" and the switch
// to truncate; with truncate the file is created empty.
void InitSessionLog(const std::string& directory, bool truncate);
void EnableSessionLog(bool on);
// Appends "\n%02d:%02d:%02d - <text>" stamped from the installed clock, while
// the switch is on; a file that cannot be opened loses the line. Callable from
// any thread.
void WriteDialogLog(const std::string& text);

// Carries the engine's session-log lines into the dialog's log with the
// location folded into the text ("RdrOpen::RDROpenUSB() - rdrHdl = -1").
// The engine's raw progress text has no place in this log and is dropped.
class DialogLogSink final : public SessionLogSink {
 public:
  void Line(const char* message, const char* location) override;
  void Text(const char* text) override;
};

// Installs the sink for its lifetime. While a Mute is alive the engine's lines
// are dropped (the dialog's settings load writes its own record).
class ScopedDialogLogSink {
 public:
  ScopedDialogLogSink();
  ~ScopedDialogLogSink();
  ScopedDialogLogSink(const ScopedDialogLogSink&) = delete;
  ScopedDialogLogSink& operator=(const ScopedDialogLogSink&) = delete;

  class Mute {
   public:
    Mute();
    ~Mute();
    Mute(const Mute&) = delete;
    Mute& operator=(const Mute&) = delete;
  };

 private:
  DialogLogSink sink_;
};
