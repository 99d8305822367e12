// The console's session-log sink: stamped lines appended to its log file.
#include "console/session_log.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/clock.h"
#include "updater/session_log.h"

bool gVerbose = false;

namespace {

// Written only from the main thread; the console runs single-threaded.
std::FILE* g_SessionLog = nullptr;

// Each piece of a line is formed in a work buffer of this size; a message or
// location too long for it is cut so that its closing quote still fits.
constexpr size_t kWorkBufferSize = 2000;

// Appends prefix, text cut to what the work buffer leaves, and suffix.
void AppendPiece(std::string& line, const char* prefix, const char* text, const char* suffix) {
  const size_t frame = std::strlen(prefix) + std::strlen(suffix);
  const size_t room = kWorkBufferSize - 1 - frame;
  line += prefix;
  line.append(text, strnlen(text, room));
  line += suffix;
}

void Emit(const char* text, size_t length) {
  std::fwrite(text, 1, length, g_SessionLog);
  if (gVerbose) std::printf("%s", text);
  std::fflush(g_SessionLog);
}

void WriteLine(const char* message, const char* location) {
  const platform::LocalTime now = platform::GetClock().Now();
  char stamp[kWorkBufferSize];
  std::snprintf(stamp, sizeof stamp, "%02d/%02d/%04dT%02d:%02d:%02d:%04d - ", now.month, now.day, now.year, now.hour,
                now.minute, now.second, now.millisecond);

  std::string line = stamp;
  AppendPiece(line, ", \"", message, "\"");
  if (location != nullptr) AppendPiece(line, ", location = \"", location, "\"");
  line += '\n';
  Emit(line.c_str(), line.size());
}

class ConsoleSessionLog final : public SessionLogSink {
 public:
  void Line(const char* message, const char* location) override { WriteLine(message, location); }
  void Text(const char* text) override { Emit(text, std::strlen(text)); }
};

ConsoleSessionLog g_ConsoleSink;

}  // namespace

bool OpenSessionLog(const char* path) {
  CloseSessionLog();
  g_SessionLog = std::fopen(path, "a+");
  if (g_SessionLog == nullptr) return false;
  SetSessionLogSink(&g_ConsoleSink);
  return true;
}

void CloseSessionLog() {
  if (g_SessionLog == nullptr) return;
  SetSessionLogSink(nullptr);
  std::fclose(g_SessionLog);
  g_SessionLog = nullptr;
}
