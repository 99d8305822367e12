#include "tests/support/trace_capture.h"

namespace testing_support {

TraceCapture::TraceCapture(int32_t level) : path_(dir_.File("RdrDev.log")), log_(LogOpen(path_.c_str(), level)) {
  LogSetGlobal(log_);
}

int32_t TraceCapture::Close() {
  if (log_ == InvalidLogHandle()) return 0;
  if (LogGetGlobal() == log_) LogSetGlobal(nullptr);
  const int32_t result = LogClose(log_);
  log_ = InvalidLogHandle();
  return result;
}

}  // namespace testing_support
