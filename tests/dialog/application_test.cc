// The program's start and its session log: the single-instance refusal, the
// log line format on the installed clock, and the engine's lines with their
// locations folded in.
#include "dialog/application.h"

#include <gtest/gtest.h>

#include <QStringList>
#include <filesystem>

#include "dialog/dialog_log.h"
#include "platform/clock.h"
#include "tests/support/temp_dir.h"
#include "updater/session_log.h"

namespace {

using namespace testing_support;

class RecordingPrompter final : public Prompter {
 public:
  void Inform(const QString& caption, const QString& text) override { boxes.push_back(caption + " | " + text); }
  bool Ask(const QString&, const QString&) override { return false; }
  QStringList boxes;
};

TEST(ApplicationTest, ASecondInstanceIsRefusedWithoutOpeningItsDialog) {
  TempDir dir;
  ScopedWorkingDirectory cwd(dir.path());
  InstanceLock first;
  ASSERT_TRUE(first.Acquire());
  RecordingPrompter prompter;
  EXPECT_EQ(RunDialogProgram(prompter), 0);
  EXPECT_EQ(prompter.boxes, QStringList{"VLSeriesFirmwareUpdaterApp | Application is already running.  Only one "
                                        "instance is allowed, exiting program."});
  // The refused copy never reached its dialog, which would have logged.
  EXPECT_FALSE(std::filesystem::exists(dir.File(kDialogLogFile)));
  EXPECT_FALSE(InstanceLock().Acquire());
}

TEST(ApplicationTest, LogLinesAreStampedFromTheClockAndFoldTheLocation) {
  TempDir dir;
  platform::VirtualClock clock({2026, 3, 14, 9, 5, 3, 250, 6});
  platform::ScopedClock scoped(clock);
  const std::string path = dir.File(kDialogLogFile);
  WriteFile(path, "earlier session");

  InitSessionLog(dir.path().string(), false);
  WriteDialogLog("dropped while the switch is off");
  EnableSessionLog(true);
  {
    const ScopedDialogLogSink sink;
    WriteSessionLog("RDROpenUSB() - rdrHdl = -1", "RdrOpen");
    WriteSessionLog("Using transfer protocol 2", nullptr);
    WriteSessionLogText("....");
    const ScopedDialogLogSink::Mute mute;
    WriteSessionLog("Begin", "QuorvelFirmwareUpdaterSilent::LoadSettingsFromIniFile");
  }
  clock.Advance(61000);
  WriteDialogLog("Session End");
  EXPECT_EQ(ReadFile(path),
            "earlier session\n09:05:03 - RdrOpen::RDROpenUSB() - rdrHdl = -1\n09:05:03 - Using transfer protocol 2"
            "\n09:06:04 - Session End");

  InitSessionLog(dir.path().string(), true);
  EXPECT_EQ(ReadFile(path), "");
  EnableSessionLog(false);
}

}  // namespace
