// The console program's session log: the file every step of a run is
// recorded in, and the -v switch that echoes each line on standard output.
#pragma once

// Set by -v: every line written to the session log is also printed.
extern bool gVerbose;

// Opens the log for appending ("a+") and installs it as the engine's
// session-log sink; false leaves no log open, and every later line is then
// dropped.
bool OpenSessionLog(const char* path);
void CloseSessionLog();
