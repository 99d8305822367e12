// The line stamp: its calendar part follows the clock second by second even
// though it is formatted once a second, and its seconds field matches "%9.6f".
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "tests/support/temp_dir.h"
#include "trace/trace.h"

namespace {

std::vector<std::string> Stamps(const std::string& text) {
  static const std::regex kStamp("\r\n(\\w{3} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d) +(\\d+\\.\\d{6}) line");
  std::vector<std::string> stamps;
  for (std::sregex_iterator it(text.begin(), text.end(), kStamp), end; it != end; ++it) {
    stamps.push_back((*it)[1].str() + "|" + (*it)[2].str());
  }
  return stamps;
}

TEST(TraceStamp, CalendarAndSecondsFollowTheClock) {
  platform::VirtualClock clock({2026, 12, 31, 23, 59, 58, 500, 4});
  platform::ScopedClock installed(clock);
  testing_support::TempDir dir;
  const std::string path = dir.File("trace.log");
  LOGHANDLE log = LogOpen(path.c_str(), kTraceDetail);
  LogBlockBegin(log);
  // Within one second, across a second, a minute and a year, and a block
  // of over a thousand seconds (the seconds field outgrows its width).
  const uint64_t steps[] = {0, 499, 1, 1000, 1234567};
  for (uint64_t step : steps) {
    clock.Advance(step);
    LogWrite(log, kTraceDetail, "\nline");
  }
  LogBlockEnd(log);
  ASSERT_EQ(LogClose(log), 1);
  EXPECT_EQ(
      Stamps(testing_support::ReadFile(path)),
      (std::vector<std::string>{"Dec 31 23:59:58|0.000000", "Dec 31 23:59:58|0.499000", "Dec 31 23:59:59|0.500000",
                                "Jan  1 00:00:00|1.500000", "Jan  1 00:20:34|1236.067000"}));
}

}  // namespace
