// The session log that every procedure of the update engine writes its steps
// to. The engine only declares the writer: each program that links the
// engine defines it (the console writes stamped lines to its own log file).
#pragma once

#include "updater/base_string.h"

// One stamped line with the message and, when location is not null, the
// location. Nothing is written for a null message.
void WriteSessionLog(const char* message, const char* location);
void WriteSessionLog(const RT::BaseString& message, const char* location);
// The text as it stands: no stamp, no quotes, no line end.
void WriteSessionLogText(const char* text);
