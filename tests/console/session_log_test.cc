#include "console/session_log.h"

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "tests/support/temp_dir.h"
#include "updater/base_string.h"
#include "updater/session_log.h"

namespace {

using namespace testing_support;

class SessionLogTest : public testing::Test {
 protected:
  void SetUp() override { gVerbose = false; }
  void TearDown() override { CloseSessionLog(), gVerbose = false; }
  std::string Log() const { return ReadFile(path_); }

  TempDir dir_;
  std::string path_ = dir_.File("QuorvelFirmwareUpdaterConsoleLog.txt");
  platform::VirtualClock clock_{{2026, 12, 5, 20, 42, 7, 83, 6}};
  platform::ScopedClock scoped_clock_{clock_};
};

// Opening appends; lines carry stamp, quoted message and optional location;
// overlong pieces are cut keeping their quotes; verbose echoes every write.
TEST_F(SessionLogTest, LinesCarryStampMessageAndOptionalLocation) {
  WriteFile(path_, "earlier session\n");
  ASSERT_TRUE(OpenSessionLog(path_.c_str()));
  WriteSessionLog("Begin", "main");
  clock_.Advance(3'600'000 * 5 + 1917);  // to the next day, past midnight
  WriteSessionLog(RT::BaseString("nRetCode %d", 3), nullptr);
  WriteSessionLog(nullptr, "main"), WriteSessionLog("", nullptr);
  WriteSessionLogText("...."), WriteSessionLogText(nullptr);
  // Each piece fills the 2000-byte work buffer: 1999 characters and its NUL.
  WriteSessionLog(std::string(5000, 'm').c_str(), std::string(5000, 'l').c_str());
  gVerbose = true;
  testing::internal::CaptureStdout();
  WriteSessionLog("Start", "main"), WriteSessionLogText("##"), WriteSessionLog(nullptr, nullptr);
  const std::string echoed = "12/06/2026T01:42:09:0000 - , \"Start\", location = \"main\"\n##";
  EXPECT_EQ(testing::internal::GetCapturedStdout(), echoed);
  EXPECT_EQ(Log(),
            "earlier session\n12/05/2026T20:42:07:0083 - , \"Begin\", location = \"main\"\n"
            "12/06/2026T01:42:09:0000 - , \"nRetCode 3\"\n12/06/2026T01:42:09:0000 - , \"\"\n"
            "....12/06/2026T01:42:09:0000 - , \"" +
                std::string(1995, 'm') + "\", location = \"" + std::string(1984, 'l') + "\"\n" + echoed);
}

TEST_F(SessionLogTest, WithoutAnOpenLogNothingIsWrittenOrEchoed) {
  gVerbose = true;
  testing::internal::CaptureStdout();
  WriteSessionLogText("text");
  EXPECT_FALSE(OpenSessionLog(dir_.path().c_str()));  // a directory cannot be opened as the log
  WriteSessionLog("Begin", "main");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  ASSERT_TRUE(OpenSessionLog(path_.c_str()));
  CloseSessionLog();  // the fixture closes it a second time
  WriteSessionLog("after close", nullptr);
  EXPECT_EQ(Log(), "");
}

}  // namespace
