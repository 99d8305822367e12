#include "dialog/dialog_log.h"

#include <cstdio>
#include <mutex>

#include "platform/clock.h"

namespace {

struct LogState {
  std::mutex mutex;  // guards path and enabled, and keeps lines whole
  std::string path;
  bool enabled = false;
};

LogState& State() {
  static LogState state;
  return state;
}

// The sink the Mute guard puts back; null while none is installed.
SessionLogSink* g_InstalledSink = nullptr;

}  // namespace

void InitSessionLog(const std::string& directory, bool truncate) {
  LogState& state = State();
  std::lock_guard lock(state.mutex);
  state.path = directory + "/" + kDialogLogFile;
  state.enabled = truncate;
  if (truncate) {
    if (std::FILE* file = std::fopen(state.path.c_str(), "w"); file != nullptr) std::fclose(file);
  }
}

void EnableSessionLog(bool on) {
  LogState& state = State();
  std::lock_guard lock(state.mutex);
  state.enabled = on;
}

void WriteDialogLog(const std::string& text) {
  LogState& state = State();
  std::lock_guard lock(state.mutex);
  if (!state.enabled) return;
  std::FILE* file = std::fopen(state.path.c_str(), "a");
  if (file == nullptr) return;
  const platform::LocalTime now = platform::GetClock().Now();
  std::fprintf(file, "\n%02d:%02d:%02d - %s", now.hour, now.minute, now.second, text.c_str());
  std::fclose(file);
}

void DialogLogSink::Line(const char* message, const char* location) {
  if (location == nullptr) {
    WriteDialogLog(message);
  } else {
    WriteDialogLog(std::string(location) + "::" + message);
  }
}

void DialogLogSink::Text(const char*) {}

ScopedDialogLogSink::ScopedDialogLogSink() {
  g_InstalledSink = &sink_;
  SetSessionLogSink(&sink_);
}

ScopedDialogLogSink::~ScopedDialogLogSink() {
  SetSessionLogSink(nullptr);
  g_InstalledSink = nullptr;
}

ScopedDialogLogSink::Mute::Mute() { SetSessionLogSink(nullptr); }
ScopedDialogLogSink::Mute::~Mute() { SetSessionLogSink(g_InstalledSink); }
