// Whole unattended updates of simulated units on the virtual clock: the
// session log of each main path line by line, the decisions the settings and
// the unit's strings drive, and what the unit holds afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/system.h"
#include "reader/flash.h"
#include "sim/firmware_files.h"
#include "tests/support/fake_pcsc.h"
#include "tests/support/session_log_recorder.h"
#include "tests/support/sim_bench.h"
#include "tests/support/temp_dir.h"
#include "updater/engine.h"
#include "updater/program_title.h"
#include "updater/silent.h"

namespace {

using testing_support::At;
using testing_support::Line;
using testing_support::LoggedLine;

constexpr const char* kWrApp = "FW41580-01-03_WR_App.bin";
constexpr const char* kFx2Boot = "FW41108-01-09_Boot.bin";
constexpr const char* kFx2App = "FW41144-02-08_App.bin";
// Configuration files, each configured and stored under its own name.
constexpr const char* kConfigFiles[] = {"boot.ini", "N5OS.xml", "N5App.xml", "TD12Ki.xml", "TD12K.xml", "uv.bin"};

std::string Bytes(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

// A whole reply message: header, int32 status and 4 zero bytes, padded to
// 64 bytes.
std::vector<uint8_t> StatusReply(uint8_t command, int32_t status) {
  std::vector<uint8_t> reply(64, 0);
  reply[0] = 8;
  reply[2] = command;
  for (int i = 0; i < 4; ++i) reply[4 + i] = static_cast<uint8_t>(static_cast<uint32_t>(status) >> (8 * i));
  return reply;
}

class UpdateTest : public testing::Test {
 protected:
  UpdateTest() : cwd_(dir_.path()) { SetProgramTitle("Updater Test"); }
  ~UpdateTest() override { RdrCloseHandle(); }

  // Writes the settings file: InitSettings keys first, then Files keys.
  void Settings(const std::map<std::string, std::string>& init, const std::map<std::string, std::string>& files) {
    std::string text = "[InitSettings]\n";
    for (const auto& [key, value] : init) text += key + "=" + value + "\n";
    text += "[Files]\n";
    for (const auto& [key, value] : files) text += key + "=" + value + "\n";
    testing_support::WriteFile(dir_.File("QuorvelFirmwareUpdater.ini"), text);
  }
  void File(const std::string& name, const std::vector<uint8_t>& bytes) {
    testing_support::WriteFile(dir_.File(name), Bytes(bytes));
  }
  std::vector<uint8_t> Contents(const std::string& name) {
    const std::string text = testing_support::ReadFile(dir_.File(name));
    return {text.begin(), text.end()};
  }

  // The FX2-based unit of reader type 2 with every file the stages can send.
  sim::Unit& Fx2UnitWithFiles() {
    WriteFx2Files();
    return bench_.AddUnit(Fx2Config());
  }
  void WriteFx2Files() {
    File(kFx2Boot, sim::FlashImage(1, 0x50000 + 0x3000, 7));
    File(kFx2App, sim::ApplicationFile(40 * 1024, 8));
    for (const char* name : kConfigFiles) {
      File(name, sim::TextFile(name, 3000, 9));
    }
    File("fx3.img", sim::ApplicationFile(5000, 10));
    // Files named after what the unit already runs, and an application file
    // without its header.
    File("FW41108-02-01_Boot.bin", sim::FlashImage(1, 0x50000 + 0x400, 11));
    File("FW41144-02-07_App.bin", sim::ApplicationFile(3000, 12));
    std::vector<uint8_t> headerless = sim::ApplicationFile(3000, 14);
    headerless[5] = 0;
    File("FW41144-02-09_NoHeader.bin", headerless);
  }
  // The Files section naming a file for every stage.
  static std::map<std::string, std::string> EveryFile(const std::string& bootloader) {
    std::map<std::string, std::string> files = {
        {"bootloader", bootloader}, {"application", kFx2App}, {"fx3.bin", "fx3.img"}};
    for (const char* name : kConfigFiles) files[name] = name;
    return files;
  }
  static sim::UnitConfig Fx2Config() {
    sim::UnitConfig config = testing_support::Fx2UnitConfig();
    config.fx3_firmware = "FW41582-01-04";
    return config;
  }

  // An update by an engine of the test's own, its printing dropped.
  static int32_t Quietly(QuorvelFirmwareUpdaterSilent& silent) {
    testing::internal::CaptureStdout();
    const int32_t result = silent.DoSilent();
    testing::internal::GetCapturedStdout();
    RdrCloseHandle();
    return result;
  }
  // The update, with what it prints kept in printed_.
  int32_t Run() {
    testing::internal::CaptureStdout();
    const int32_t result = silent_.DoSilent();
    printed_ = testing::internal::GetCapturedStdout();
    RdrCloseHandle();
    return result;
  }

  // The log from the line after the settings load's End line on.
  std::vector<LoggedLine> AfterSettings() const {
    const auto& lines = log_.lines();
    auto end =
        std::find(lines.begin(), lines.end(), At("End", "QuorvelFirmwareUpdaterSilent::LoadSettingsFromIniFile"));
    return {end == lines.end() ? end : end + 1, lines.end()};
  }
  bool Logged(const std::string& message) const {
    const auto messages = log_.Messages();
    return std::find(messages.begin(), messages.end(), message) != messages.end();
  }

  testing_support::TempDir dir_;
  testing_support::ScopedWorkingDirectory cwd_;
  testing_support::SimBench bench_;
  testing_support::ScopedPcsc pcsc_;
  testing_support::SessionLogRecorder log_;
  QuorvelFirmwareUpdaterSilent silent_;
  std::string printed_;
};

TEST_F(UpdateTest, Wr2200ApplicationByPacketTransfer) {
  File(kWrApp, sim::Fx3BootImage({300, 200}, 5, 16));
  Settings({}, {{"application", kWrApp}});
  sim::Unit& unit = bench_.AddUnit(testing_support::WrUnitConfig());

  ASSERT_EQ(Run(), 0);

  const std::string path = unit.DevicePath();
  const std::vector<LoggedLine> expected = {
      At("Begin", "QuorvelFirmwareUpdaterSilent::LookForReader"),
      At("Begin", "LookForHardwareSilent"),
      Line("devFound 0,  readerType 4, secs 30"),
      Line("found all device count 1 - " + path),
      Line("found device count 1 - pid 0x4000"),
      Line("ret 2"),
      At("End", "LookForHardwareSilent"),
      Line("RDRFirmwareString() - ret = 1"),
      At("ret = 0", "RDRBootString"),
      At("RDRSerialString() - ret = 1", "RDRSerialString"),
      Line("Unit Found - App FW41580-01-02, Boot Not Found, FX3 Not Found, Serial WR0001"),
      At("End", "QuorvelFirmwareUpdaterSilent::LookForReader"),
      At("Begin", "UpdateFirmwareSlient"),
      Line("Using transfer protocol 2"),
      Line(std::string("Updating application firmware file- ") + kWrApp),
      At("Start", "WR2200FileCopy"),
      Line(std::string("installFilename ") + kWrApp),
      At("Begin", "RdrNewFileCopy"),
      Line("fileSize 2032, aMaxPacketSize 768, filename app.bin"),
      At("End", "RdrNewFileCopy"),
      At("End", "WR2200FileCopy"),
      Line("Update of application firmware complete"),
      Line("Update of app.bin complete"),
      Line("Firmware Update of unit Completed. Softboot the unit begining"),
      At("RdrSoftBoot() - ret = 1", "RdrSoftBoot"),
      Line("Waiting 10 secs for HX2 fx3 / WR2200 to reboot"),
      At("End", "UpdateFirmwareSlient"),
      At("End", "QuorvelFirmwareUpdaterSilent::DoSilent"),
  };
  EXPECT_EQ(AfterSettings(), expected);
  EXPECT_EQ(log_.text(), "..\n");
  EXPECT_EQ(printed_,
            "Updating reader firmware. DO NOT POWER OFF UNIT. The unit may perform soft resets.\n"
            "Updating reader application firmware\n");
  // The image without its trailing bytes, stored as app.bin.
  const std::vector<uint8_t> image = Contents(kWrApp);
  ASSERT_TRUE(unit.FileNamed("app.bin").has_value());
  EXPECT_EQ(unit.FileNamed("app.bin")->contents, std::vector<uint8_t>(image.begin(), image.end() - 16));
  EXPECT_EQ(unit.soft_boots(), 1u);
}

// The FX2 path: the bootloader restored by raw sectors, the soft boot and the
// search for the unit, then the application by F_cp and every file stage,
// the restart before FX3 and fx3.bin, all through the flash file system.
TEST_F(UpdateTest, Fx2BootloaderByRawSectorsThenEveryFileStage) {
  sim::Unit& unit = Fx2UnitWithFiles();
  Settings({{"RebootBeforeFX3", "1"}, {"ShowFirmwareOnFinished", "1"}}, EveryFile(kFx2Boot));
  ASSERT_EQ(Run(), 0);

  const std::vector<LoggedLine> search = {
      At("Begin", "LookForHardwareSilent"),    Line("devFound 1,  readerType 2, secs 30"),
      Line("found all device count 0 - "),  // still restarting
      Line("found device count 1 - pid 0x47"), Line("ret 2"),
      At("End", "LookForHardwareSilent"),
  };
  auto old_copy = [](const std::string& name) {
    return std::vector<LoggedLine>{At("Start", "RdrOldFileCopy"), Line("installFilename " + name),
                                   At("End", "RdrOldFileCopy")};
  };
  std::vector<LoggedLine> expected = {
      At("Begin", "QuorvelFirmwareUpdaterSilent::LookForReader"),
      At("Begin", "LookForHardwareSilent"),
      Line("devFound 0,  readerType 2, secs 30"),
      Line("found all device count 1 - " + unit.DevicePath()),
      Line("found device count 1 - pid 0x47"),
      Line("ret 2"),
      At("End", "LookForHardwareSilent"),
      Line("RDRFirmwareString() - ret = 1"),
      At("ret = 13", "RDRBootString"),
      At("RDRSerialString() - ret = 1", "RDRSerialString"),
      Line("Unit Found - App FW41144-02-07, Boot FW41108-02-01, FX3 Not Found, Serial HX0001"),
      At("End", "QuorvelFirmwareUpdaterSilent::LookForReader"),
      At("Begin", "UpdateFirmwareSlient"),
      Line(std::string("Updating bootloader firmware file - ") + kFx2Boot),
      At("Begin", "RestoreFlash"),
      Line(std::string("path ") + kFx2Boot),
      Line("Using transfer protocol 1"),
      At("End", "RestoreFlash"),
      Line("Update of bootloader complete"),
      Line("Softboot Reader unit"),
      At("RdrSoftBoot() - ret = 1", "RdrSoftBoot")};
  auto append = [&](const std::vector<LoggedLine>& lines) {
    expected.insert(expected.end(), lines.begin(), lines.end());
  };
  append(search);
  append({Line("Softboot of reader complete"), Line("Using transfer protocol 1"), Line("Erasing app.bin from unit"),
          Line(std::string("Updating app.bin firmware file- ") + kFx2App), At("F_cp() - ret = 40960", "RdrCopyFile"),
          Line("Update of app.bin complete"), Line("Updating boot.ini file- boot.ini")});
  append(old_copy("boot.ini"));
  append({Line("Update of boot.ini complete"), Line("Updating N5OS.xml file- N5OS.xml"),
          At("F_cp() - ret = 3000", "RdrCopyFile"), Line("Update of N5OS.xml complete"),
          Line("Updating N5App.xml file- N5App.xml"), At("F_cp() - ret = 3000", "RdrCopyFile"),
          Line("Update of N5App.xml complete"), Line("Using transfer protocol 1"),
          Line("Updating TD12Ki.xml file- TD12Ki.xml")});
  append(old_copy("TD12Ki.xml"));
  append({Line("Update of TD12Ki.xml complete"), Line("Using transfer protocol 1"),
          Line("Updating TD12K.xml file- TD12K.xml")});
  append(old_copy("TD12K.xml"));
  append(
      {Line("Update of TD12K.xml complete"), Line("Using transfer protocol 1"), Line("Updating uv.bin file- uv.bin")});
  append(old_copy("uv.bin"));
  append({Line("Update of uv.bin complete"), Line("Restarting Reader unit"),
          At("RdrSoftBoot() - ret = 1", "RdrSoftBoot")});
  append(search);
  append(
      {Line("Restart of reader complete"), Line("Using transfer protocol 1"), Line("Updating fx3.bin file- fx3.img")});
  append(old_copy("fx3.img"));
  append({Line("Update of fx3.bin complete"), Line("Firmware Update of unit Completed. Softboot the unit begining"),
          At("RdrSoftBoot() - ret = 1", "RdrSoftBoot"), At("End", "UpdateFirmwareSlient"),
          // ShowFirmwareOnFinished: the unit is identified once more.
          At("Begin", "QuorvelFirmwareUpdaterSilent::LookForReader")});
  std::vector<LoggedLine> lines = AfterSettings();
  lines.resize(std::min(lines.size(), expected.size()));
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(printed_,
            "Updating reader firmware. DO NOT POWER OFF UNIT. The unit may perform soft resets.\n"
            "Updating bootloader firmware\nUpdating reader application firmware\nUpdating reader BootIniFile\n"
            "Updating reader N5OSFile\nUpdating reader N5App.xml\nUpdating reader TD12Ki.xml\n"
            "Updating reader TD12K.xml\nUpdating reader uvBinFile\nUpdating reader fx3.bin\n");

  // What the unit holds is what was configured, byte for byte: the image in
  // raw flash with its last block padded with 0xFF, and every file.
  std::vector<uint8_t> image = Contents(kFx2Boot);
  image.resize((image.size() + 1023) / 1024 * 1024, 0xFF);
  EXPECT_TRUE(unit.RawFlash(image.size()) == image);
  for (const auto& [stored, local] : std::map<std::string, std::string>{{"app.bin", kFx2App},
                                                                        {"boot.ini", "boot.ini"},
                                                                        {"N5OS.xml", "N5OS.xml"},
                                                                        {"N5App.xml", "N5App.xml"},
                                                                        {"TD12Ki.xml", "TD12Ki.xml"},
                                                                        {"TD12K.xml", "TD12K.xml"},
                                                                        {"uv.bin", "uv.bin"},
                                                                        {"fx3.bin", "fx3.img"}}) {
    EXPECT_EQ(unit.FlashFile(stored), Contents(local)) << stored;
  }
  EXPECT_EQ(unit.soft_boots(), 3u);
}

// A unit that restarts into its boot loader after a restored image: the
// search after the soft boot finds it there, and once it reports its new
// versions a second run with SkipSameFirmware sends nothing.
TEST_F(UpdateTest, UnitInItsBootLoaderAfterTheRestoreAndASecondRunThatSkips) {
  WriteFx2Files();
  sim::UnitConfig config = Fx2Config();
  config.boot_loader_product_id = 0x40;
  config.updates = {
      {"(image)", {{"boot_header", testing_support::BootHeaderText("FW41108", "01", "09")}}},
      {"app.bin", {{"firmware_name", "FW41144-02-08"}}},
  };
  sim::Unit& unit = bench_.AddUnit(config);
  Settings({{"SkipSameFirmware", "1"}}, {{"bootloader", kFx2Boot}, {"application", kFx2App}});
  ASSERT_EQ(Run(), 0);
  EXPECT_TRUE(Logged("found device count 1 - pid 0x40"));
  EXPECT_TRUE(Logged("Softboot of reader complete"));
  EXPECT_EQ(unit.ProductId(), 0x47);

  log_.Clear();
  QuorvelFirmwareUpdaterSilent second;
  ASSERT_EQ(Quietly(second), 0);
  EXPECT_TRUE(Logged("Unit Found - App FW41144-02-08, Boot FW41108-01-09, FX3 Not Found, Serial HX0001"));
  EXPECT_TRUE(Logged("Skipping bootloader firmware update - same version already loaded"));
  EXPECT_TRUE(Logged("Skipping application firmware update - same version already loaded"));
  EXPECT_EQ(unit.soft_boots(), 2u);
}

// The waits for a rebooting unit by reader type: after the bootloader's soft
// boot before the search, at the restart before FX3 after the search (type 10
// also 5 s before it), and after the final soft boot.
TEST_F(UpdateTest, RebootWaitsByReaderType) {
  struct Case {
    int32_t reader_type;
    const char* boot_code;
    const char* app_code;
    uint16_t product_id;
    std::vector<std::string> sequence;
    uint64_t waited_ms;  // at least
  };
  const std::string fx3_30 = "Waiting 30 secs for FX3 models to reboot";
  const std::string wr_10 = "Waiting 10 secs for HX2 fX3 / WR2200 to reboot";
  const std::string wr_10_final = "Waiting 10 secs for HX2 fx3 / WR2200 to reboot";
  const std::string final_boot = "Firmware Update of unit Completed. Softboot the unit begining";
  const Case cases[] = {
      {10,
       "FW41447",
       "FW41427",
       0x70,
       {"Softboot Reader unit", fx3_30, "ret 2", "Restarting Reader unit", "ret 2", fx3_30, final_boot, fx3_30},
       95000},
      {8,
       "FW41651",
       "FW41671",
       0x4004,
       {"Softboot Reader unit", wr_10, "ret 2", "Restarting Reader unit", "ret 2", wr_10, final_boot, wr_10_final},
       30000},
      {9,
       "FW41411",
       "FW41417",
       0x73,
       {"Softboot Reader unit", "ret 2", "Restarting Reader unit", "ret 2", final_boot, fx3_30},
       30000},
      {2,
       "FW41108",
       "FW41144",
       0x47,
       {"Softboot Reader unit", "ret 2", "Restarting Reader unit", "ret 2", final_boot},
       0},
  };
  File("fx3.img", sim::ApplicationFile(2000, 3));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reader_type);
    testing_support::SimBench bench;
    testing_support::SessionLogRecorder log;
    QuorvelFirmwareUpdaterSilent silent;
    silent.m_OverrideFirmwareCheck = true;  // header requests depend on the platform class
    sim::UnitConfig config = Fx2Config();
    config.product_id = c.product_id;
    config.firmware_name = std::string(c.app_code) + "-01-01";
    config.boot_header = testing_support::BootHeaderText(c.boot_code, "01", "01");
    sim::Unit& unit = bench.AddUnit(config);
    const std::string boot = std::string(c.boot_code) + "_Boot.bin";
    const std::string app = std::string(c.app_code) + "_App.bin";
    File(boot, sim::FlashImage(0, 2048, 4));
    File(app, sim::ApplicationFile(2000, 5));
    Settings({{"RebootBeforeFX3", "1"}}, {{"bootloader", boot}, {"application", app}, {"fx3.bin", "fx3.img"}});
    const uint64_t before = bench.clock().Elapsed();
    EXPECT_EQ(Quietly(silent), 0);
    EXPECT_EQ(silent.m_ReaderType, c.reader_type);
    // From the bootloader's soft boot on.
    std::vector<std::string> sequence;
    bool started = false;
    for (const std::string& message : log.Messages()) {
      started = started || message == "Softboot Reader unit";
      if (started && (message == "ret 2" || message.starts_with("Waiting") || message == final_boot ||
                      message == "Softboot Reader unit" || message == "Restarting Reader unit")) {
        sequence.push_back(message);
      }
    }
    EXPECT_EQ(sequence, c.sequence);
    EXPECT_GE(bench.clock().Elapsed() - before, c.waited_ms);
    EXPECT_EQ(unit.soft_boots(), 3u);
  }
}

// Configured files are checked in a fixed order before any unit is sought.
TEST_F(UpdateTest, FileChecksStopAtTheFirstMissingFile) {
  WriteFx2Files();
  std::filesystem::create_directory(dir_.File("folder.xml"));
  struct Case {
    std::map<std::string, std::string> files;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {{{"bootloader", kFx2Boot}, {"application", "FW41144_missing.bin"}, {"uv.bin", "gone.bin"}},
       {"Application File missing - FW41144_missing.bin"}},
      {{{"application", kFx2App}, {"TD12K.xml", "gone.xml"}, {"N5App.xml", "folder.xml"}},
       {"N5AppFile File missing - folder.xml", "folder.xml is not a regular file"}},
  };
  for (const Case& c : cases) {
    log_.Clear();
    Settings({}, c.files);
    EXPECT_EQ(Quietly(silent_), 5);
    std::vector<std::string> lines = log_.Messages();
    lines.erase(lines.begin(), lines.end() - static_cast<long>(c.lines.size()) - 1);
    lines.pop_back();  // End
    EXPECT_EQ(lines, c.lines);
    EXPECT_EQ(bench_.clock().Elapsed(), 0u);
  }
}

// Which stages run, and how, as the settings and the unit's strings decide.
TEST_F(UpdateTest, StageDecisions) {
  using Strings = std::vector<std::string>;
  struct Case {
    const char* name;
    std::map<std::string, std::string> init;
    std::map<std::string, std::string> files;
    uint16_t api_version;
    int32_t exit_code;
    Strings present;
    Strings absent;
    uint32_t soft_boots;
  };
  const std::string final_boot = "Firmware Update of unit Completed. Softboot the unit begining";
  const std::string same_app = "FW41144-02-07_App.bin";
  const std::string no_header = "FW41144-02-09_NoHeader.bin";
  // clang-format off
  const Case cases[] = {
      {"same bootloader skipped, no soft boot after it", {{"SkipSameFirmware", "1"}},
       {{"bootloader", "FW41108-02-01_Boot.bin"}, {"application", kFx2App}}, 0x3, 0,
       {"Skipping bootloader firmware update - same version already loaded", "Update of app.bin complete"},
       {"Softboot Reader unit"}, 1},
      {"similar bootloader and application skipped", {{"SkipSimilarFirmware", "1"}},
       {{"bootloader", kFx2Boot}, {"application", kFx2App}}, 0x3, 0,
       {"Skipping bootloader firmware update - Similar version already loaded",
        "Skipping application firmware update - Similar version already loaded"}, {final_boot}, 0},
      {"everything the same: nothing sent, no soft boot", {{"SkipSameFirmware", "1"}},
       {{"bootloader", "FW41108-02-01_Boot.bin"}, {"application", same_app}}, 0x3, 0,
       {"Skipping application firmware update - same version already loaded"}, {final_boot}, 0},
      {"only the FX3 file is new: sent, then the final soft boot", {{"SkipSameFirmware", "1"}, {"RebootBeforeFX3", "1"}},
       {{"application", same_app}, {"fx3.bin", "fx3.img"}}, 0x3, 0,
       {"Update of fx3.bin complete", final_boot}, {"Restarting Reader unit"}, 1},
      {"uv.bin alone asks for no restart before FX3", {{"RebootBeforeFX3", "1"}, {"SkipSameFirmware", "1"}},
       {{"application", same_app}, {"uv.bin", "uv.bin"}, {"fx3.bin", "fx3.img"}}, 0x3, 0,
       {"Update of uv.bin complete", "Update of fx3.bin complete"}, {"Restarting Reader unit"}, 1},
      {"bootloader reset skipped, the restart before FX3 still wanted",
       {{"SkipTheBootloaderReset", "1"}, {"RebootBeforeFX3", "1"}, {"SkipSameFirmware", "1"}},
       {{"bootloader", kFx2Boot}, {"application", same_app}, {"fx3.bin", "fx3.img"}}, 0x3, 0,
       {"Skipping bootloader reset", "Restarting Reader unit", "Restart of reader complete"}, {"Softboot Reader unit"}, 2},
      {"packet transfer for application and FX3", {}, {{"application", kFx2App}, {"fx3.bin", "fx3.img"}}, 0xB, 0,
       {"Using transfer protocol 2", "Update of app.bin complete", "Update of fx3.bin complete"},
       {"Using transfer protocol 1", "Erasing app.bin from unit"}, 1},
      {"old protocol forced", {{"UseOldTransferProtocol", "1"}}, {{"application", kFx2App}, {"fx3.bin", "fx3.img"}},
       0xB, 0, {"Using transfer protocol 1", "Erasing app.bin from unit", "Update of fx3.bin complete"},
       {"Using transfer protocol 2"}, 1},
      {"packet transfer refuses a file without the application header", {}, {{"application", no_header}}, 0xB, 2,
       {"Invalid application file header, aborting Update"}, {"Update of app.bin complete", final_boot}, 0},
      {"the file system takes it unchecked", {}, {{"application", no_header}}, 0x3, 0,
       {"Update of app.bin complete"}, {"Invalid application file header, aborting Update"}, 1},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A bench, log and engine of the case's own.
    testing_support::SimBench bench;
    testing_support::SessionLogRecorder log;
    QuorvelFirmwareUpdaterSilent silent;
    WriteFx2Files();
    sim::UnitConfig config = Fx2Config();
    config.api_version = c.api_version;
    sim::Unit& unit = bench.AddUnit(config);
    Settings(c.init, c.files);
    EXPECT_EQ(Quietly(silent), c.exit_code);
    const Strings messages = log.Messages();
    for (const std::string& line : c.present) {
      EXPECT_NE(std::find(messages.begin(), messages.end(), line), messages.end()) << "missing: " << line;
    }
    for (const std::string& line : c.absent) {
      EXPECT_EQ(std::find(messages.begin(), messages.end(), line), messages.end()) << "unexpected: " << line;
    }
    EXPECT_EQ(unit.soft_boots(), c.soft_boots);
  }
}

TEST_F(UpdateTest, FirmwareChecksAgainstTheUnitsCodes) {
  enum Mismatch { kNone, kBootVl120, kBoot, kAppVl120, kApp };
  struct Case {
    const char* boot_code;  // null: the unit reports no boot header
    const char* app_code;
    const char* bootloader;
    const char* alternative;
    const char* application;
    bool override_check;
    Mismatch mismatch;
    const char* selected;
    int32_t exit_code;
  };
  const Case cases[] = {
      {"FW41019", "FW41026", "FW41098_a.bin", "", "FW41026_x.bin", false, kNone, "FW41098_a.bin", 0},
      {"FW41019", "FW41026", "FW41098_a.bin", "FW41098_b.bin", "FW41026_x.bin", false, kNone, "FW41098_b.bin", 0},
      {"fw41019", "FW41026", "FW41743_a.bin", "FW41098_b.bin", "FW41026_x.bin", false, kNone, "FW41098_b.bin", 0},
      {"FW41019", "FW41026", "FW41743_a.bin", "", "FW41026_x.bin", false, kBootVl120, "FW41743_a.bin", 2},
      {"FW41019", "FW41026", "FW41743_a.bin", "", "FW41026_x.bin", true, kBootVl120, "FW41743_a.bin", 0},
      {"FW41348", "FW41026", "FW41348_a.bin", "FW41348_b.bin", "FW41026_x.bin", false, kNone, "FW41348_a.bin", 0},
      {"FW41348", "FW41026", "FW41743_a.bin", "FW41348_b.bin", "FW41026_x.bin", false, kNone, "FW41348_b.bin", 0},
      {"FW41348", "FW41026", "FW41743_a.bin", "FW41098_b.bin", "FW41026_x.bin", false, kBoot, "FW41743_a.bin", 2},
      {nullptr, "FW41026", "FW41743_a.bin", "", "FW41026_x.bin", false, kBoot, "FW41743_a.bin", 2},
      {"FW41098", "FW41077", "", "", "FW41026_x.bin", false, kNone, "", 0},
      {"FW41098", "FW41077", "", "", "FW41808_x.bin", false, kAppVl120, "", 2},
      {"FW41098", "FW41922", "", "", "FW41808_x.bin", false, kNone, "", 0},
      {"FW41098", "FW41922", "", "", "FW41026_x.bin", false, kAppVl120, "", 2},
      {"FW41098", "FW41026", "", "", "FW41808_x.bin", false, kApp, "", 2},
  };
  for (const char* name : {"FW41098_a.bin", "FW41098_b.bin", "FW41743_a.bin", "FW41348_a.bin", "FW41348_b.bin"}) {
    File(name, std::vector<uint8_t>(100, 0x5A));
  }
  File("FW41026_x.bin", sim::ApplicationFile(100, 1));
  File("FW41808_x.bin", sim::ApplicationFile(100, 2));
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.boot_code ? c.boot_code : "none") + " " + c.app_code + " " + c.bootloader + " " +
                 c.alternative + " " + c.application);
    testing_support::SimBench bench;
    testing_support::SessionLogRecorder log;
    QuorvelFirmwareUpdaterSilent silent;
    silent.m_OverrideFirmwareCheck = c.override_check;
    sim::UnitConfig config = testing_support::Fx2UnitConfig();
    config.product_id = 0x65;
    config.firmware_name = std::string(c.app_code) + "-04-02";
    if (c.boot_code) {
      config.boot_header = testing_support::BootHeaderText(c.boot_code, "04", "00");
    } else {
      config.boot_header.reset();
    }
    bench.AddUnit(config);
    Settings({}, {{"bootloader", c.bootloader}, {"bootloaderalt", c.alternative}, {"application", c.application}});
    EXPECT_EQ(Quietly(silent), c.exit_code);
    const std::vector<std::string> messages = log.Messages();
    const auto mismatch = std::find_if(messages.begin(), messages.end(),
                                       [](const std::string& m) { return m.find("does not match") != m.npos; });
    if (c.mismatch == kNone) {
      EXPECT_EQ(mismatch, messages.end()) << *mismatch;
    } else {
      const std::string boot = c.boot_code ? std::string(c.boot_code) + "-04-00" : "Not Found";
      const std::string app = std::string(c.app_code) + "-04-02";
      const std::string expected =
          c.mismatch == kBootVl120 ? "Bootloader VL120 firmware " + boot + " does not match file selected " +
                                         c.bootloader + ". (Use - o command line param to override.)"
          : c.mismatch == kBoot ? "Bootloader firmware " + boot + " does not match file selected " + c.bootloader +
                                      ". (Use -o command line param to override.)"
          : c.mismatch == kAppVl120 ? "Application VL120 firmware " + app + " does not match file selected " +
                                          c.application + ". (Use -o command line param to override.)"
                                    : "Application firmware " + app + " does not match file selected " + c.application +
                                          ". (Use -o command line param to override.)";
      ASSERT_NE(mismatch, messages.end());
      EXPECT_EQ(*mismatch, expected);
      // Without the override the run ends there and nothing is sent.
      EXPECT_EQ(mismatch[1], c.override_check ? "Override option selected" : "End");
      if (!c.override_check) {
        EXPECT_EQ(bench.unit().soft_boots(), 0u);
      }
    }
    EXPECT_STREQ(silent.m_SelectedBootloaderFile.c_str(), c.selected);
  }
}

// A fault in any stage ends the run with 2 after that stage's failure line:
// no success line for it, no final soft boot.
TEST_F(UpdateTest, FaultInAnyStageAbortsTheUpdate) {
  enum class Fault { kTimeout, kDisconnect, kFlashStatus, kRefusedPacket, kNeverBack };
  struct Case {
    std::string stage;  // the flash name the stage writes, or "bootloader" or "restart"
    Fault fault;
    bool packets;
    std::string failure = "";  // start of the failure line; default "Update of <stage> failed (res = "
  };
  const Case cases[] = {
      {"bootloader", Fault::kTimeout, false, "Update of bootloader failed (res = 33)"},
      {"bootloader", Fault::kDisconnect, false, "Failed to open reader link, aborting FirmareUpdater"},
      {"bootloader", Fault::kRefusedPacket, true, "Update of bootloader failed (res = 32)"},
      {"app.bin", Fault::kTimeout, false},
      {"app.bin", Fault::kFlashStatus, false},
      {"app.bin", Fault::kRefusedPacket, true, "Update of app.bin failed (res = 32)"},
      {"boot.ini", Fault::kFlashStatus, false},
      {"N5OS.xml", Fault::kDisconnect, false},
      {"N5App.xml", Fault::kTimeout, false},
      {"TD12Ki.xml", Fault::kFlashStatus, false},
      {"TD12K.xml", Fault::kTimeout, false},
      {"uv.bin", Fault::kDisconnect, false},
      {"restart", Fault::kNeverBack, false, "Cannot find reader after bootloader update, aborting FirmareUpdater"},
      {"fx3.bin", Fault::kFlashStatus, false},
      {"fx3.bin", Fault::kRefusedPacket, true, "Update of fx3.bin failed (res = 32)"},
  };
  WriteFx2Files();
  File("FW41108-01-09_Boot2.bin", sim::FlashImage(1, 0x50000 + 0x800, 15));
  auto settings = [&](bool packets) {
    Settings({{"RebootBeforeFX3", "1"}}, EveryFile(packets ? "FW41108-01-09_Boot2.bin" : kFx2Boot));
  };
  auto config = [](bool packets) {
    sim::UnitConfig unit = Fx2Config();
    unit.api_version = packets ? 0xB : 0x3;
    return unit;
  };
  // The requests of a run without faults, to find where each stage starts.
  std::map<bool, std::vector<sim::Request>> clean;
  for (bool packets : {false, true}) {
    testing_support::SimBench bench;
    testing_support::SessionLogRecorder log;
    QuorvelFirmwareUpdaterSilent silent;
    sim::Unit& unit = bench.AddUnit(config(packets));
    settings(packets);
    ASSERT_EQ(Quietly(silent), 0);
    clean[packets] = sim::Requests(unit.traffic());
    ASSERT_EQ(clean[packets].size(), unit.requests_received());
  }
  auto contains = [](const std::vector<uint8_t>& body, const std::string& text) {
    return std::search(body.begin(), body.end(), text.begin(), text.end()) != body.end();
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.stage + " fault " + std::to_string(static_cast<int>(c.fault)));
    const std::string failure = c.failure.empty() ? "Update of " + c.stage + " failed (res = " : c.failure;
    const std::string success =
        c.stage == "restart" ? "Restart of reader complete" : "Update of " + c.stage + " complete";
    const std::vector<sim::Request>& requests = clean[c.packets];
    // The stage's first request: the first erase or image packet of the
    // bootloader, the last soft boot for the restart, else the first request
    // that names the stage's file.
    size_t first = requests.size();
    for (size_t i = 0; i < requests.size(); ++i) {
      const sim::Request& r = requests[i];
      const bool match = c.stage == "bootloader"
                             ? (r.command == 126 && r.body.at(0) == 11) || (r.command == 14 && r.body.at(0) == 35)
                             : contains(r.body, c.stage);
      if (match || c.stage == "restart") {
        first = i;
        break;
      }
    }
    ASSERT_LT(first, requests.size());
    if (c.stage == "restart") {
      // The restart before FX3 is the second of three soft boots.
      first = 0;
      for (int boots = 0; boots < 2; ++first) boots += requests[first].command == 122;
      --first;
    }
    const auto number = static_cast<uint32_t>(first + 1);
    const auto soft_boots_before = static_cast<uint32_t>(std::count_if(
        requests.begin(), requests.begin() + first, [](const sim::Request& r) { return r.command == 122; }));

    testing_support::SimBench bench;
    testing_support::SessionLogRecorder log;
    QuorvelFirmwareUpdaterSilent silent;
    sim::Unit& unit = bench.AddUnit(config(c.packets));
    settings(c.packets);
    sim::Faults faults;
    switch (c.fault) {
      case Fault::kTimeout: faults.silence = sim::FaultTrigger{number, 0}; break;
      case Fault::kDisconnect: faults.disconnect = sim::DisconnectFault{number, std::nullopt}; break;
      case Fault::kNeverBack: faults.disconnect = sim::DisconnectFault{number + 1, std::nullopt}; break;
      case Fault::kFlashStatus: {
        const uint8_t sub_command = requests[first].body.at(0);
        const auto skip = std::count_if(requests.begin(), requests.begin() + first, [&](const sim::Request& r) {
          return r.command == 126 && r.body.at(0) == sub_command;
        });
        unit.flash().InjectStatus(sub_command, -122, static_cast<int32_t>(skip), -1);
        break;
      }
      case Fault::kRefusedPacket: faults.scripted_replies[number] = sim::ScriptedReply{{StatusReply(14, -270)}}; break;
    }
    unit.SetFaults(faults);
    EXPECT_EQ(Quietly(silent), 2);

    const std::vector<std::string> messages = log.Messages();
    EXPECT_TRUE(
        std::any_of(messages.begin(), messages.end(), [&](const std::string& m) { return m.starts_with(failure); }))
        << "no line starting " << failure;
    EXPECT_EQ(std::count(messages.begin(), messages.end(), success), 0);
    EXPECT_EQ(
        std::count(messages.begin(), messages.end(), "Firmware Update of unit Completed. Softboot the unit begining"),
        0);
    EXPECT_EQ(unit.soft_boots(), soft_boots_before + (c.fault == Fault::kNeverBack ? 1u : 0u));
  }
}

}  // namespace
