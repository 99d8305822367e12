// A session-log writer for tests of the update engine: the engine declares
// the writer and each program defines it, so an engine test defines one that
// keeps every line in memory. Include from exactly one file per test program.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "updater/session_log.h"

namespace testing_support {

struct LoggedLine {
  std::string message;
  std::optional<std::string> location;
  bool operator==(const LoggedLine&) const = default;
};

inline std::vector<LoggedLine>& RecordedLines() {
  static std::vector<LoggedLine> lines;
  return lines;
}

inline std::string& RecordedText() {
  static std::string text;
  return text;
}

inline void ClearRecordedLog() {
  RecordedLines().clear();
  RecordedText().clear();
}

inline std::ostream& operator<<(std::ostream& out, const LoggedLine& line) {
  out << '"' << line.message << '"';
  if (line.location) out << " @ \"" << *line.location << '"';
  return out;
}

}  // namespace testing_support

void WriteSessionLog(const char* message, const char* location) {
  if (message == nullptr) return;
  testing_support::RecordedLines().push_back(
      {message, location == nullptr ? std::nullopt : std::optional<std::string>(location)});
}

void WriteSessionLog(const RT::BaseString& message, const char* location) {
  WriteSessionLog(message.c_str(), location);
}

void WriteSessionLogText(const char* text) {
  if (text != nullptr) testing_support::RecordedText() += text;
}
