// The global trace log in a scratch file for one test.
#pragma once

#include <cstdint>
#include <string>

#include "tests/support/temp_dir.h"
#include "trace/trace.h"

namespace testing_support {

class TraceCapture {
 public:
  explicit TraceCapture(int32_t level = kTraceDetail);
  ~TraceCapture() { Close(); }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  // What the file holds so far.
  std::string Read() const { return ReadFile(path_); }
  // Uninstalls and closes the log: LogClose's result, 0 once closed. Every
  // operation the log saw must have traced its parameters under the names in
  // traced_parameters.txt: support staff read the log by those names.
  int32_t Close();

 private:
  TempDir dir_;
  std::string path_;
  LOGHANDLE log_;
};

// The names an operation's first call in `trace` gave its parameters, joined
// by commas: the "name=0x..." lines right after its enter line; `absent` when
// it was not called.
std::string TracedParameters(const std::string& trace, const std::string& operation, const std::string& absent);

}  // namespace testing_support
