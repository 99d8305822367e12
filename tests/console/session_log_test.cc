#include "console/session_log.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/clock.h"
#include "tests/support/temp_dir.h"
#include "updater/base_string.h"
#include "updater/session_log.h"

namespace {

using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

class SessionLogTest : public testing::Test {
 protected:
  void SetUp() override { gVerbose = false; }
  void TearDown() override {
    CloseSessionLog();
    gVerbose = false;
  }
  std::string Log() const { return ReadFile(path_); }

  TempDir dir_;
  std::string path_ = dir_.File("QuorvelFirmwareUpdaterConsoleLog.txt");
  platform::VirtualClock clock_{{2026, 12, 5, 20, 42, 7, 83, 6}};
  platform::ScopedClock scoped_clock_{clock_};
};

TEST_F(SessionLogTest, LinesCarryStampMessageAndOptionalLocation) {
  ASSERT_TRUE(OpenSessionLog(path_.c_str()));
  WriteSessionLog("Begin", "main");
  clock_.Advance(3'600'000 * 5 + 1917);  // to the next day, past midnight
  WriteSessionLog(RT::BaseString("nRetCode %d", 3), nullptr);
  WriteSessionLog(nullptr, "main");
  WriteSessionLog("", nullptr);
  WriteSessionLogText("....");
  WriteSessionLogText(nullptr);
  EXPECT_EQ(Log(),
            "12/05/2026T20:42:07:0083 - , \"Begin\", location = \"main\"\n"
            "12/06/2026T01:42:09:0000 - , \"nRetCode 3\"\n"
            "12/06/2026T01:42:09:0000 - , \"\"\n"
            "....");
}

TEST_F(SessionLogTest, OverlongPiecesAreCutKeepingTheirQuotes) {
  ASSERT_TRUE(OpenSessionLog(path_.c_str()));
  const std::string message(5000, 'm');
  const std::string location(5000, 'l');
  WriteSessionLog(message.c_str(), location.c_str());
  // Each piece fills the 2000-byte work buffer: 1999 characters and its NUL.
  const std::string expected = "12/05/2026T20:42:07:0083 - , \"" + std::string(1995, 'm') + "\", location = \"" +
                               std::string(1984, 'l') + "\"\n";
  EXPECT_EQ(Log(), expected);
}

TEST_F(SessionLogTest, OpenAppendsAndVerboseEchoesEveryWrite) {
  WriteFile(path_, "earlier session\n");
  ASSERT_TRUE(OpenSessionLog(path_.c_str()));
  gVerbose = true;
  testing::internal::CaptureStdout();
  WriteSessionLog("Start", "QuorvelFirmwareUpdaterSilent::DoSilent");
  WriteSessionLogText("##");
  WriteSessionLog(nullptr, nullptr);
  const std::string echoed = testing::internal::GetCapturedStdout();
  const std::string line =
      "12/05/2026T20:42:07:0083 - , \"Start\", location = \"QuorvelFirmwareUpdaterSilent::DoSilent\"\n";
  EXPECT_EQ(echoed, line + "##");
  EXPECT_EQ(Log(), "earlier session\n" + line + "##");
}

TEST_F(SessionLogTest, WithoutAnOpenLogNothingIsWrittenOrEchoed) {
  gVerbose = true;
  testing::internal::CaptureStdout();
  WriteSessionLog("Begin", "main");
  WriteSessionLogText("text");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  // A directory cannot be opened as the log.
  EXPECT_FALSE(OpenSessionLog(dir_.path().c_str()));
  testing::internal::CaptureStdout();
  WriteSessionLog("Begin", "main");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  ASSERT_TRUE(OpenSessionLog(path_.c_str()));
  CloseSessionLog();
  CloseSessionLog();
  WriteSessionLog("after close", nullptr);
  EXPECT_EQ(Log(), "");
}

}  // namespace
