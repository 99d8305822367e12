#include "updater/session_log.h"

namespace {

SessionLogSink* g_SessionLogSink = nullptr;

}  // namespace

void SetSessionLogSink(SessionLogSink* sink) { g_SessionLogSink = sink; }

void WriteSessionLog(const char* message, const char* location) {
  if (message == nullptr || g_SessionLogSink == nullptr) return;
  g_SessionLogSink->Line(message, location);
}

void WriteSessionLog(const RT::BaseString& message, const char* location) {
  WriteSessionLog(message.c_str(), location);
}

void WriteSessionLogText(const char* text) {
  if (text == nullptr || g_SessionLogSink == nullptr) return;
  g_SessionLogSink->Text(text);
}
