// The dialog against a simulated WR-series unit on the virtual clock: the
// scan (with its search thread), an update on the worker thread, a refused
// mismatch, a pulled unit and a close during an endless search.
#include <gtest/gtest.h>

#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <filesystem>
#include <memory>
#include <mutex>

#include "dialog/application.h"
#include "dialog/device_search.h"
#include "dialog/dialog_engine.h"
#include "dialog/dialog_log.h"
#include "dialog/update_worker.h"
#include "dialog/updater_dialog.h"
#include "platform/clock.h"
#include "sim/firmware_files.h"
#include "tests/support/fake_pcsc.h"
#include "tests/support/sim_bench.h"
#include "tests/support/temp_dir.h"
#include "trace/trace.h"
#include "updater/engine.h"
#include "updater/program_title.h"
#include "updater/session_log.h"

namespace {

using namespace testing_support;
using Strings = std::vector<std::string>;

constexpr const char* kApp = "FW41580-01-03_WR_App.bin";
constexpr const char* kFx3 = "FW41582-01-05_fx3.bin";

// Boxes as "caption | text"; questions get the answer set.
class RecordingPrompter final : public Prompter {
 public:
  void Inform(const QString& caption, const QString& text) override { boxes.push_back(caption + " | " + text); }
  bool Ask(const QString& caption, const QString& text) override {
    Inform(caption, text);
    return answer;
  }
  QStringList boxes;
  bool answer = true;
};

class DialogTest : public testing::Test {
 protected:
  DialogTest() : cwd_(dir_.path()) {
    SetProgramTitle("Dialog Test");
    for (const sim::SampleFile& file : sim::DemoFirmwareFiles()) {
      WriteFile(dir_.File(file.name), std::string(file.contents.begin(), file.contents.end()));
    }
  }
  ~DialogTest() override {
    dialog_.reset();
    RdrCloseHandle();
  }

  void Settings(const std::string& init, const std::string& application = kApp) {
    WriteFile(dir_.File("QuorvelFirmwareUpdater.ini"),
              "[InitSettings]\n" + init + "\n[Files]\napplication=" + application + "\nfx3.bin=" + kFx3 + "\n");
  }
  UpdaterDialog& Open(bool expect_selected = true) {
    dialog_ = std::make_unique<UpdaterDialog>(prompter_, processing_);
    EXPECT_EQ(dialog_->Open(), expect_selected);
    dialog_->show();
    return *dialog_;
  }
  // A dialog whose first scan found the unit of the given settings.
  UpdaterDialog& Connected(const sim::UnitConfig& config, const std::string& init = "") {
    bench_.AddUnit(config);
    Settings(init);
    UpdaterDialog& dialog = Open();
    dialog.PollTick();
    EXPECT_TRUE(dialog.connected());
    return dialog;
  }
  template <typename T>
  T* Control(const char* name) {
    T* control = dialog_->findChild<T*>(name);
    EXPECT_NE(control, nullptr) << name;
    return control;
  }
  QString Edit(const char* name) { return Control<QLineEdit>(name)->text(); }
  bool Enabled(const char* name) { return Control<QPushButton>(name)->isEnabled(); }
  Strings Lines() {
    Strings lines;
    QListWidget* list = Control<QListWidget>("IDC_1008");
    for (int row = 0; row < list->count(); ++row) lines.push_back(list->item(row)->text().toStdString());
    return lines;
  }
  // Presses Update and handles events until the worker's update-finished.
  void RunUpdate() {
    QEventLoop loop;
    QObject::connect(dialog_.get(), &UpdaterDialog::updateFinished, &loop, &QEventLoop::quit);
    // Only a hung worker lets this fire.
    QTimer::singleShot(60000, &loop, [&loop] {
      ADD_FAILURE() << "the update did not finish";
      loop.quit();
    });
    dialog_->Update();
    if (dialog_->updating()) loop.exec();
  }

  TempDir dir_;
  ScopedWorkingDirectory cwd_;
  SimBench bench_;
  ScopedPcsc pcsc_;
  ScopedDialogLogSink sink_;
  RecordingPrompter prompter_;
  std::mutex processing_;
  std::unique_ptr<UpdaterDialog> dialog_;
};

TEST_F(DialogTest, ScanFindsTheUnitAndFillsTheIdentityFields) {
  // An FX2-based unit: only these report the boot header.
  bench_.AddUnit(Fx2UnitConfig("HX0042"));
  Settings("", "FW41144-02-08_App.bin");
  UpdaterDialog& dialog = Open();
  EXPECT_EQ(Control<QPushButton>("IDC_1012")->text(), "Scan for HX2/PN series");
  EXPECT_FALSE(Enabled("IDC_1009"));
  EXPECT_TRUE(dialog.pollTimer().isActive());
  EXPECT_EQ(dialog.pollTimer().interval(), 2000);

  dialog.PollTick();
  ASSERT_TRUE(dialog.connected());
  EXPECT_EQ(Edit("IDC_1005"), "HX0042");
  EXPECT_EQ(Edit("IDC_1007"), "FW41144-02-07");
  EXPECT_EQ(Edit("IDC_1013"), "FW41108-02-01");
  // Reader type 2 has no FX3 string to read.
  EXPECT_EQ(Edit("IDC_1010"), "Not Found");
  EXPECT_EQ(Control<QLabel>("IDC_1122")->text(), "Unit Found - Serial HX0042");
  EXPECT_TRUE(Enabled("IDC_1009") && Enabled("IDC_1012") && Enabled("IDC_1014"));
  EXPECT_EQ(Lines(), (Strings{"Looking for VL/TD9200 HX2/PN/WR/TD12K series unit",
                              "Unit Found - Firmware FW41144-02-07, Boot FW41108-02-01",
                              "Unit Found - checking connection", "Reader Units connection established"}));
}

TEST_F(DialogTest, UpdateRunsToTheFinalRebootWithTraceLogAndProgress) {
  UpdaterDialog& dialog = Connected(WrUnitConfig(), "VerboseLogging=1");
  const size_t before = Lines().size();

  QProgressBar* progress = Control<QProgressBar>("IDC_1121");
  std::vector<int> steps;
  QObject::connect(progress, &QProgressBar::valueChanged, [&steps](int value) { steps.push_back(value); });
  RunUpdate();

  // One bar position per step: three for the WR2200 application, two for
  // the FX3 file, one at the end; then back to 0.
  EXPECT_EQ(progress->maximum(), 7);
  EXPECT_EQ(steps, (std::vector<int>{1, 2, 3, 4, 5, 6, 0}));
  const Strings lines = Lines();
  EXPECT_EQ(
      Strings(lines.begin() + static_cast<long>(before), lines.end()),
      (Strings{"No Bootloader File updated.", "Starting Firmware update", "Using transfer protocol 2",
               std::string("Updating application firmware file- ") + kApp, "Update of application firmware complete",
               "Using transfer protocol 2", std::string("Updating fx3.bin file- ") + kFx3, "Update of fx3.bin complete",
               "Update of unit Completed", "Final Reboot of unit initiated"}));
  EXPECT_EQ(bench_.unit().soft_boots(), 1u);
  EXPECT_TRUE(Enabled("IDC_1"));
  EXPECT_FALSE(Enabled("IDC_1009"));
  EXPECT_EQ(Control<QLabel>("IDC_1122")->text(), "Update of reader unit completed. Final reboot in progress");
  EXPECT_TRUE(Control<QLabel>("IDC_1123")->text().isEmpty());
  EXPECT_TRUE(dialog.pollTimer().isActive());
  EXPECT_NE(ReadFile(dir_.File(kDialogLogFile)).find(" - Final Reboot of unit initiated"), std::string::npos);
  // The trace log was written and is closed again.
  EXPECT_FALSE(ReadFile(dir_.File("RdrDev.log")).empty());
  EXPECT_EQ(LogGetGlobal(), nullptr);

  // For a person to look at; the window must fit a 1024x768 screen.
  EXPECT_LE(dialog.frameGeometry().width(), 1024);
  EXPECT_LE(dialog.frameGeometry().height(), 740);
  EXPECT_TRUE(dialog.grab().save(QUORVEL_BINARY_DIR "/dialog-after-update.png"));
}

TEST_F(DialogTest, AnUpdateWithoutFilesStillRebootsTheUnit) {
  UpdaterDialog& dialog = Connected(WrUnitConfig());
  dialog.engine().m_ApplicationFile.Assign("");
  dialog.engine().m_fx3AppFile.Assign("");
  RunUpdate();
  const Strings lines = Lines();
  EXPECT_EQ(Strings(lines.end() - 3, lines.end()),
            (Strings{"Starting Firmware update", "Update of unit Completed", "Final Reboot of unit initiated"}));
  EXPECT_EQ(bench_.unit().soft_boots(), 1u);
  EXPECT_EQ(Edit("IDC_1005"), "");
}

// Then the unit is pulled: it is lost within one poll.
TEST_F(DialogTest, NoToAMismatchLeavesTheButtonsAndCloseEnabledUntilTheUnitIsPulled) {
  sim::UnitConfig config = WrUnitConfig();
  config.firmware_name = "FW41590-01-02";
  UpdaterDialog& dialog = Connected(config);
  prompter_.answer = false;
  dialog.Update();

  EXPECT_EQ(prompter_.boxes, QStringList{QString("VLSeriesFirmwareUpdaterApp | Application firmware FW41590-01-02 "
                                                 "does not match file selected ") +
                                         kApp + ". Do you wish to continue?"});
  EXPECT_FALSE(dialog.updating());
  EXPECT_TRUE(Enabled("IDC_1") && Enabled("IDC_1009") && Enabled("IDC_1012") && Enabled("IDC_1014"));
  EXPECT_TRUE(dialog.pollTimer().isActive());
  EXPECT_EQ(Lines().back(), "No Bootloader File updated.");

  dialog.PollTick();
  EXPECT_TRUE(dialog.connected()) << "the same serial keeps the connection";
  bench_.unit().Disconnect(std::nullopt);
  dialog.PollTick();
  EXPECT_FALSE(dialog.connected());
  EXPECT_EQ(Lines().back(), "Reader Units connection lost");
  EXPECT_EQ(Edit("IDC_1005"), "Not Found");
  EXPECT_FALSE(Enabled("IDC_1009"));
}

TEST_F(DialogTest, CloseEndsASearchWithoutTimeLimit) {
  Settings("locateUSBTimeoutRest=0");
  UpdaterDialog& dialog = Open();
  bool finished = false;
  QObject::connect(&dialog, &QDialog::finished, [&finished] { finished = true; });
  // Pressed while the scan waits for its search.
  QTimer::singleShot(0, Control<QPushButton>("IDC_1"), &QPushButton::click);
  dialog.PollTick();

  EXPECT_TRUE(finished);
  EXPECT_FALSE(dialog.connected());
  EXPECT_NE(ReadFile(dir_.File(kDialogLogFile)).find("Session End -  Version Dialog Test\n\n"), std::string::npos);
}

TEST_F(DialogTest, SettingsWithoutReaderTypeCloseTheProgram) {
  Settings("", "unknown.bin");
  Open(false);
  EXPECT_EQ(prompter_.boxes, QStringList{"VLSeriesFirmwareUpdaterApp | Unrecognized bootloader/application firmware. "
                                         "Closing application."});
  EXPECT_FALSE(dialog_->pollTimer().isActive());
}

// Without a window: the program's start and its session log (the
// single-instance refusal, the log line format on the installed clock, the
// engine's lines with their locations folded in), and the dialog's own engine
// variants: the OMNIKEY switch with both reader models, the device search's
// ids and the progress range.
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

TEST(DialogEngineTest, OmnikeySwitchSendsEachModelItsControl) {
  const std::string cardman = "OMNIKEY CardMan 5x21-CL 00 00";
  const std::string dual = "hid global omnikey 5122cl dual 01 00";
  {
    // Both directions' bytes reach the readers' drivers in the pcscd test.
    ScopedPcsc pcsc({cardman, dual, "Other Reader 00 00"});
    DialogControlOmnikeyReaders(true);
    EXPECT_EQ(pcsc.fake().calls(),
              (Strings{"establish", "list", "connect " + cardman, "control " + cardman + " 0x42000c87 03 00 out=200",
                       "disconnect " + cardman, "connect " + dual,
                       "control " + dual + " 0x42000001 ff 9a 04 01 out=200", "disconnect " + dual, "release"}));
  }
  // A refused connection ends the switching.
  ScopedPcsc pcsc({cardman, dual});
  pcsc.fake().FailConnect(cardman);
  DialogControlOmnikeyReaders(false);
  EXPECT_EQ(pcsc.fake().calls(), (Strings{"establish", "list", "connect " + cardman, "release"}));
}

TEST(DialogEngineTest, SearchMatchesVendorAndProductInTheHardwareIds) {
  SimBench bench;
  bench.AddUnit(WrUnitConfig());
  EXPECT_TRUE(DevicePresent(0x17B9, 0x4000));
  EXPECT_FALSE(DevicePresent(0x0898, 0x4000));
  EXPECT_FALSE(DevicePresent(0x17B9, 0x400));
  EXPECT_FALSE(DevicePresent(0x17B9, 0));
}

}  // namespace
