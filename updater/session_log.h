// The session log that every procedure of the update engine writes its steps
// to. The engine writes through a sink that the running program installs at
// start: the console its log file, the dialog its own log, a test a recorder.
// With no sink installed every line is dropped.
#pragma once

#include "updater/base_string.h"

class SessionLogSink {
 public:
  virtual ~SessionLogSink() = default;
  // One stamped line with the message and, when location is not null, the
  // location. Never called with a null message.
  virtual void Line(const char* message, const char* location) = 0;
  // The text as it stands: no stamp, no quotes, no line end. Never null.
  virtual void Text(const char* text) = 0;
};

// Installs the sink for the whole process; null drops every line. The caller
// keeps ownership and keeps the sink alive while it is installed. Install it
// before the engine runs: the engine's thread reads it unguarded.
void SetSessionLogSink(SessionLogSink* sink);

// Nothing is written for a null message.
void WriteSessionLog(const char* message, const char* location);
void WriteSessionLog(const RT::BaseString& message, const char* location);
// Progress marks and the like; nothing for a null text.
void WriteSessionLogText(const char* text);
