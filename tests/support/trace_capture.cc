#include "tests/support/trace_capture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>

namespace testing_support {

TraceCapture::TraceCapture(int32_t level) : path_(dir_.File("RdrDev.log")), log_(LogOpen(path_.c_str(), level)) {
  LogSetGlobal(log_);
}

int32_t TraceCapture::Close() {
  if (log_ == InvalidLogHandle()) return 0;
  if (LogGetGlobal() == log_) LogSetGlobal(nullptr);
  const int32_t result = LogClose(log_);
  log_ = InvalidLogHandle();
  std::istringstream table(
      ReadFile(std::filesystem::path(__FILE__).replace_filename("traced_parameters.txt").string()));
  EXPECT_FALSE(table.str().empty());
  for (std::string operation, names; table >> operation >> names;)
    EXPECT_EQ(TracedParameters(Read(), operation, names), names) << operation;
  return result;
}

std::string TracedParameters(const std::string& trace, const std::string& operation, const std::string& absent) {
  // A line: date, time, seconds into the block, indentation, then the text.
  static const std::regex kParameter(R"(^\w{3} [ \d]\d \d\d:\d\d:\d\d +[\d.]+ +(\w+)=0x)");
  size_t at = trace.find("enter " + operation + "(");
  if (at == std::string::npos) return absent;
  std::string names;
  for (at = trace.find("\r\n", at); at != std::string::npos; at = trace.find("\r\n", at)) {
    at += 2;
    const std::string line = trace.substr(at, trace.find("\r\n", at) - at);
    std::smatch found;
    if (!std::regex_search(line, found, kParameter)) break;
    names += (names.empty() ? "" : ",") + found[1].str();
  }
  return names;
}

}  // namespace testing_support
