// A session-log sink for tests of the update engine: installed for its
// lifetime, it keeps every line and every piece of raw text in memory.
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

inline std::ostream& operator<<(std::ostream& out, const LoggedLine& line) {
  out << '"' << line.message << '"';
  if (line.location) out << " @ \"" << *line.location << '"';
  return out;
}

inline LoggedLine Line(std::string message) { return {std::move(message), std::nullopt}; }
inline LoggedLine At(std::string message, std::string location) { return {std::move(message), std::move(location)}; }

class SessionLogRecorder final : public SessionLogSink {
 public:
  SessionLogRecorder() { SetSessionLogSink(this); }
  ~SessionLogRecorder() override { SetSessionLogSink(nullptr); }
  SessionLogRecorder(const SessionLogRecorder&) = delete;
  SessionLogRecorder& operator=(const SessionLogRecorder&) = delete;

  void Line(const char* message, const char* location) override {
    lines_.push_back({message, location == nullptr ? std::nullopt : std::optional<std::string>(location)});
  }
  void Text(const char* text) override { text_ += text; }

  const std::vector<LoggedLine>& lines() const { return lines_; }
  const std::string& text() const { return text_; }
  std::vector<std::string> Messages() const {
    std::vector<std::string> messages;
    for (const LoggedLine& line : lines_) messages.push_back(line.message);
    return messages;
  }
  void Clear() {
    lines_.clear();
    text_.clear();
  }

 private:
  std::vector<LoggedLine> lines_;
  std::string text_;
};

}  // namespace testing_support
