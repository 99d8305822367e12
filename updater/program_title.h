// The running program's title, which the engine puts into its session-start
// line and the reader listing. Each program sets it once at start, before
// the engine runs.
#pragma once

#include <string>

const std::string& ProgramTitle();
void SetProgramTitle(std::string title);
