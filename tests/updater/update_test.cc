// Whole unattended updates of simulated units on the virtual clock: the
// session log of each main path line by line, the decisions the settings and
// the unit's strings drive, and what the unit holds afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

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

using namespace testing_support;
using Strings = std::vector<std::string>;
using Map = std::map<std::string, std::string>;

constexpr const char* kWrApp = "FW41580-01-03_WR_App.bin";
constexpr const char* kFx2Boot = "FW41108-01-09_Boot.bin";
constexpr const char* kFx2App = "FW41144-02-08_App.bin";
const std::string kFinalBoot = "Firmware Update of unit Completed. Softboot the unit begining";
// Configuration files, each configured and stored under its own name.
constexpr const char* kConfigFiles[] = {"boot.ini", "N5OS.xml", "N5App.xml", "TD12Ki.xml", "TD12K.xml", "uv.bin"};

// clang-format off
void Add(std::vector<LoggedLine>& to, const std::vector<LoggedLine>& lines) { to.insert(to.end(), lines.begin(), lines.end()); }
std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }
bool Has(const Strings& messages, const std::string& line) { return std::ranges::count(messages, line) > 0; }
// The log of identifying the unit, up to the update's Begin line.
std::vector<LoggedLine> Identified(const std::string& path, int type, const std::string& pid, int boot_ret, const std::string& found) {
  return {At("Begin", "QuorvelFirmwareUpdaterSilent::LookForReader"), At("Begin", "LookForHardwareSilent"),
          Line("devFound 0,  readerType " + std::to_string(type) + ", secs 30"), Line("found all device count 1 - " + path),
          Line("found device count 1 - pid " + pid), Line("ret 2"), At("End", "LookForHardwareSilent"),
          Line("RDRFirmwareString() - ret = 1"), At("ret = " + std::to_string(boot_ret), "RDRBootString"),
          At("RDRSerialString() - ret = 1", "RDRSerialString"), Line("Unit Found - " + found),
          At("End", "QuorvelFirmwareUpdaterSilent::LookForReader"), At("Begin", "UpdateFirmwareSlient")};
}
// A bench, log and engine of a table case's own.
struct Fresh { SimBench bench; SessionLogRecorder log; QuorvelFirmwareUpdaterSilent silent; };
// clang-format on

class UpdateTest : public testing::Test {
 protected:
  UpdateTest() : cwd_(dir_.path()) { SetProgramTitle("Updater Test"); }
  ~UpdateTest() override { RdrCloseHandle(); }

  // Writes the settings file: InitSettings keys first, then Files keys.
  void Settings(const Map& init, const Map& files) {
    std::string text = "[InitSettings]\n";
    for (const auto& [key, value] : init) text += key + "=" + value + "\n";
    text += "[Files]\n";
    for (const auto& [key, value] : files) text += key + "=" + value + "\n";
    WriteFile(dir_.File("QuorvelFirmwareUpdater.ini"), text);
  }
  void File(const std::string& name, const std::vector<uint8_t>& bytes) {
    WriteFile(dir_.File(name), std::string(bytes.begin(), bytes.end()));
  }
  std::vector<uint8_t> Contents(const std::string& name) { return Bytes(ReadFile(dir_.File(name))); }

  // Every file the FX2 unit's stages can send.
  void WriteFx2Files() {
    File(kFx2Boot, sim::FlashImage(1, 0x50000 + 0x3000, 7));
    File(kFx2App, sim::ApplicationFile(40 * 1024, 8));
    for (const char* name : kConfigFiles) File(name, sim::TextFile(name, 3000, 9));
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
  static Map EveryFile(const std::string& bootloader) {
    Map files = {{"bootloader", bootloader}, {"application", kFx2App}, {"fx3.bin", "fx3.img"}};
    for (const char* name : kConfigFiles) files[name] = name;
    return files;
  }
  // The FX2-based unit of reader type 2.
  static sim::UnitConfig Fx2Config(uint16_t api_version = 0x3) {
    sim::UnitConfig config = Fx2UnitConfig();
    config.fx3_firmware = "FW41582-01-04";
    config.api_version = api_version;
    return config;
  }

  // A unit of `config` with the given product id, firmware name and boot header.
  static sim::Unit& Unit(Fresh& f, sim::UnitConfig config, uint16_t pid, const std::string& app,
                         std::optional<std::string> boot) {
    config.product_id = pid, config.firmware_name = app, config.boot_header = std::move(boot);
    return f.bench.AddUnit(config);
  }

  // The update, with what it prints kept in printed_.
  int32_t Run(QuorvelFirmwareUpdaterSilent& silent) {
    testing::internal::CaptureStdout();
    const int32_t result = silent.DoSilent();
    printed_ = testing::internal::GetCapturedStdout();
    RdrCloseHandle();
    return result;
  }

  // The log from the line after the settings load's End line on.
  std::vector<LoggedLine> AfterSettings() const {
    const auto& lines = log_.lines();
    auto end = std::ranges::find(lines, At("End", "QuorvelFirmwareUpdaterSilent::LoadSettingsFromIniFile"));
    return {end == lines.end() ? end : end + 1, lines.end()};
  }

  TempDir dir_;
  ScopedWorkingDirectory cwd_;
  SimBench bench_;
  ScopedPcsc pcsc_;
  SessionLogRecorder log_;
  QuorvelFirmwareUpdaterSilent silent_;
  std::string printed_;
};

TEST_F(UpdateTest, Wr2200ApplicationByPacketTransfer) {
  File(kWrApp, sim::Fx3BootImage({300, 200}, 5, 16));
  Settings({}, {{"application", kWrApp}});
  sim::Unit& unit = bench_.AddUnit(WrUnitConfig());
  ASSERT_EQ(Run(silent_), 0);
  std::vector<LoggedLine> expected =
      Identified(unit.DevicePath(), 4, "0x4000", 0, "App FW41580-01-02, Boot Not Found, FX3 Not Found, Serial WR0001");
  // clang-format off
  Add(expected, {Line("Using transfer protocol 2"), Line(std::string("Updating application firmware file- ") + kWrApp),
      At("Start", "WR2200FileCopy"), Line(std::string("installFilename ") + kWrApp), At("Begin", "RdrNewFileCopy"),
      Line("fileSize 2032, aMaxPacketSize 768, filename app.bin"), At("End", "RdrNewFileCopy"), At("End", "WR2200FileCopy"),
      Line("Update of application firmware complete"), Line("Update of app.bin complete"), Line(kFinalBoot),
      At("RdrSoftBoot() - ret = 1", "RdrSoftBoot"), Line("Waiting 10 secs for HX2 fx3 / WR2200 to reboot"),
      At("End", "UpdateFirmwareSlient"), At("End", "QuorvelFirmwareUpdaterSilent::DoSilent")});
  // clang-format on
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
  WriteFx2Files();
  sim::Unit& unit = bench_.AddUnit(Fx2Config());
  Settings({{"RebootBeforeFX3", "1"}, {"ShowFirmwareOnFinished", "1"}}, EveryFile(kFx2Boot));
  ASSERT_EQ(Run(silent_), 0);

  std::vector<LoggedLine> expected = Identified(unit.DevicePath(), 2, "0x47", 13,
                                                "App FW41144-02-07, Boot FW41108-02-01, FX3 Not Found, Serial HX0001");
  // clang-format off
  auto add = [&](const std::vector<LoggedLine>& lines) { Add(expected, lines); };
  add({Line(std::string("Updating bootloader firmware file - ") + kFx2Boot), At("Begin", "RestoreFlash"), Line(std::string("path ") + kFx2Boot),
       Line("Using transfer protocol 1"), At("End", "RestoreFlash"), Line("Update of bootloader complete"), Line("Softboot Reader unit"),
       At("RdrSoftBoot() - ret = 1", "RdrSoftBoot")});
  auto search = [&] {  // the unit still restarting at first
    add({At("Begin", "LookForHardwareSilent"), Line("devFound 1,  readerType 2, secs 30"), Line("found all device count 0 - "),
         Line("found device count 1 - pid 0x47"), Line("ret 2"), At("End", "LookForHardwareSilent")});
  };
  // A file stage: by the old packet copy, or by F_cp of 3000 bytes.
  auto stage = [&](const std::string& name, const std::string& local, bool protocol, bool old_copy) {
    if (protocol) add({Line("Using transfer protocol 1")});
    add({Line("Updating " + name + " file- " + local)});
    add(old_copy ? std::vector{At("Start", "RdrOldFileCopy"), Line("installFilename " + local), At("End", "RdrOldFileCopy")}
                 : std::vector{At("F_cp() - ret = 3000", "RdrCopyFile")});
    add({Line("Update of " + name + " complete")});
  };
  search();
  add({Line("Softboot of reader complete"), Line("Using transfer protocol 1"), Line("Erasing app.bin from unit"),
       Line(std::string("Updating app.bin firmware file- ") + kFx2App), At("F_cp() - ret = 40960", "RdrCopyFile"),
       Line("Update of app.bin complete")});
  stage("boot.ini", "boot.ini", false, true);
  for (const char* name : {"N5OS.xml", "N5App.xml"}) stage(name, name, false, false);
  for (const char* name : {"TD12Ki.xml", "TD12K.xml", "uv.bin"}) stage(name, name, true, true);
  add({Line("Restarting Reader unit"), At("RdrSoftBoot() - ret = 1", "RdrSoftBoot")});
  search();
  add({Line("Restart of reader complete")});
  stage("fx3.bin", "fx3.img", true, true);
  add({Line(kFinalBoot), At("RdrSoftBoot() - ret = 1", "RdrSoftBoot"), At("End", "UpdateFirmwareSlient"),
       // ShowFirmwareOnFinished: the unit is identified once more.
       At("Begin", "QuorvelFirmwareUpdaterSilent::LookForReader")});
  // clang-format on
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
  for (const auto& [key, local] : EveryFile("")) {
    if (key != "bootloader") {
      EXPECT_EQ(unit.FlashFile(key == "application" ? "app.bin" : key), Contents(local)) << key;
    }
  }
  EXPECT_EQ(unit.soft_boots(), 3u);
}

// The waits for a rebooting unit by reader type: after the bootloader's soft
// boot before the search, at the restart before FX3 after the search (type 10
// also 5 s before it), and after the final soft boot.
TEST_F(UpdateTest, RebootWaitsByReaderType) {
  const std::string fx3 = "Waiting 30 secs for FX3 models to reboot", boot = "Softboot Reader unit",
                    wr = "Waiting 10 secs for HX2 fX3 / WR2200 to reboot", restart = "Restarting Reader unit",
                    wr_final = "Waiting 10 secs for HX2 fx3 / WR2200 to reboot", ret = "ret 2";
  // clang-format off
  struct Case { int32_t reader_type; const char *boot_code, *app_code; uint16_t product_id; Strings sequence; uint64_t waited_ms; /* at least */ };
  const Case cases[] = {
      {10, "FW41447", "FW41427", 0x70, {boot, fx3, ret, restart, ret, fx3, kFinalBoot, fx3}, 95000},
      {8, "FW41651", "FW41671", 0x4004, {boot, wr, ret, restart, ret, wr, kFinalBoot, wr_final}, 30000},
      {9, "FW41411", "FW41417", 0x73, {boot, ret, restart, ret, kFinalBoot, fx3}, 30000},
  };
  // clang-format on
  File("fx3.img", sim::ApplicationFile(2000, 3));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reader_type);
    Fresh f;
    f.silent.m_OverrideFirmwareCheck = true;  // header requests depend on the platform class
    sim::Unit& unit =
        Unit(f, Fx2Config(), c.product_id, std::string(c.app_code) + "-01-01", BootHeaderText(c.boot_code, "01", "01"));
    const std::string boot_file = std::string(c.boot_code) + "_Boot.bin", app = std::string(c.app_code) + "_App.bin";
    File(boot_file, sim::FlashImage(0, 2048, 4));
    File(app, sim::ApplicationFile(2000, 5));
    Settings({{"RebootBeforeFX3", "1"}}, {{"bootloader", boot_file}, {"application", app}, {"fx3.bin", "fx3.img"}});
    EXPECT_EQ(Run(f.silent), 0);
    Strings sequence;  // from the bootloader's soft boot on
    for (const std::string& m : f.log.Messages())
      if ((m == boot || !sequence.empty()) &&
          (m == ret || m.starts_with("Waiting") || m == kFinalBoot || m == boot || m == restart))
        sequence.push_back(m);
    EXPECT_EQ(sequence, c.sequence);
    EXPECT_GE(f.bench.clock().Elapsed(), c.waited_ms);
    EXPECT_EQ(unit.soft_boots(), 3u);
  }
}

// Configured files are checked in a fixed order before any unit is sought.
TEST_F(UpdateTest, FileChecksStopAtTheFirstMissingFile) {
  WriteFx2Files();
  std::filesystem::create_directory(dir_.File("folder.xml"));
  // clang-format off
  const std::pair<Map, Strings> cases[] = {
      {{{"bootloader", kFx2Boot}, {"application", "FW41144_missing.bin"}, {"uv.bin", "gone.bin"}}, {"Application File missing - FW41144_missing.bin"}},
      {{{"application", kFx2App}, {"TD12K.xml", "gone.xml"}, {"N5App.xml", "folder.xml"}}, {"N5AppFile File missing - folder.xml", "folder.xml is not a regular file"}},
  };
  // clang-format on
  for (const auto& [files, expected] : cases) {
    log_.Clear();
    Settings({}, files);
    EXPECT_EQ(Run(silent_), 5);
    const Strings lines = log_.Messages();
    // The last lines before End.
    EXPECT_EQ(Strings(lines.end() - static_cast<long>(expected.size()) - 1, lines.end() - 1), expected);
    EXPECT_EQ(bench_.clock().Elapsed(), 0u);
  }
}

// Which stages run, and how, as the settings and the unit's strings decide.
TEST_F(UpdateTest, StageDecisions) {
  // clang-format off
  struct Case { const char* name; Map init, files; uint16_t api_version; int32_t exit_code; Strings present, absent; uint32_t soft_boots; };
  // clang-format on
  const std::string same_boot = "FW41108-02-01_Boot.bin", same_app = "FW41144-02-07_App.bin",
                    no_header = "FW41144-02-09_NoHeader.bin", app_done = "Update of app.bin complete",
                    fx3_done = "Update of fx3.bin complete", restart = "Restarting Reader unit",
                    soft_boot = "Softboot Reader unit", bad_header = "Invalid application file header, aborting Update";
  const std::pair<std::string, std::string> fx3 = {"fx3.bin", "fx3.img"};
  // clang-format off
  const Case cases[] = {
      {"same bootloader skipped, no soft boot after it", {{"SkipSameFirmware", "1"}}, {{"bootloader", same_boot}, {"application", kFx2App}}, 0x3, 0, {"Skipping bootloader firmware update - same version already loaded", app_done}, {soft_boot}, 1},
      {"similar bootloader and application skipped", {{"SkipSimilarFirmware", "1"}}, {{"bootloader", kFx2Boot}, {"application", kFx2App}}, 0x3, 0, {"Skipping bootloader firmware update - Similar version already loaded", "Skipping application firmware update - Similar version already loaded"}, {kFinalBoot}, 0},
      {"everything the same: nothing sent, no soft boot", {{"SkipSameFirmware", "1"}}, {{"bootloader", same_boot}, {"application", same_app}}, 0x3, 0, {"Skipping application firmware update - same version already loaded"}, {kFinalBoot}, 0},
      {"only the FX3 file is new: sent, then the final soft boot", {{"SkipSameFirmware", "1"}, {"RebootBeforeFX3", "1"}}, {{"application", same_app}, fx3}, 0x3, 0, {fx3_done, kFinalBoot}, {restart}, 1},
      {"uv.bin alone asks for no restart before FX3", {{"RebootBeforeFX3", "1"}, {"SkipSameFirmware", "1"}}, {{"application", same_app}, {"uv.bin", "uv.bin"}, fx3}, 0x3, 0, {"Update of uv.bin complete", fx3_done}, {restart}, 1},
      {"bootloader reset skipped, the restart before FX3 still wanted", {{"SkipTheBootloaderReset", "1"}, {"RebootBeforeFX3", "1"}, {"SkipSameFirmware", "1"}}, {{"bootloader", kFx2Boot}, {"application", same_app}, fx3}, 0x3, 0, {"Skipping bootloader reset", restart, "Restart of reader complete"}, {soft_boot}, 2},
      {"packet transfer for application and FX3", {}, {{"application", kFx2App}, fx3}, 0xB, 0, {"Using transfer protocol 2", app_done, fx3_done}, {"Using transfer protocol 1", "Erasing app.bin from unit"}, 1},
      {"old protocol forced", {{"UseOldTransferProtocol", "1"}}, {{"application", kFx2App}, fx3}, 0xB, 0, {"Using transfer protocol 1", "Erasing app.bin from unit", fx3_done}, {"Using transfer protocol 2"}, 1},
      {"packet transfer refuses a file without the application header", {}, {{"application", no_header}}, 0xB, 2, {bad_header}, {app_done, kFinalBoot}, 0},
      {"the file system takes it unchecked", {}, {{"application", no_header}}, 0x3, 0, {app_done}, {bad_header}, 1},
  };
  // clang-format on
  WriteFx2Files();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh f;
    sim::Unit& unit = f.bench.AddUnit(Fx2Config(c.api_version));
    Settings(c.init, c.files);
    EXPECT_EQ(Run(f.silent), c.exit_code);
    const Strings messages = f.log.Messages();
    for (const std::string& line : c.present) EXPECT_TRUE(Has(messages, line)) << "missing: " << line;
    for (const std::string& line : c.absent) EXPECT_FALSE(Has(messages, line)) << "unexpected: " << line;
    EXPECT_EQ(unit.soft_boots(), c.soft_boots);
  }
}

TEST_F(UpdateTest, FirmwareChecksAgainstTheUnitsCodes) {
  // The unit reports <boot_code>-04-00 (boot_code null: no boot header) and <app_code>-04-02.
  // clang-format off
  struct Case { const char *boot_code, *app_code, *bootloader, *alternative, *application; bool override_check; std::string mismatch; const char* selected; int32_t exit_code; };
  const Case cases[] = {
      {"FW41019", "FW41026", "FW41098_a.bin", "FW41098_b.bin", "FW41026_x.bin", false, "", "FW41098_b.bin", 0},
      {"fw41019", "FW41026", "FW41743_a.bin", "FW41098_b.bin", "FW41026_x.bin", false, "", "FW41098_b.bin", 0},
      {"FW41019", "FW41026", "FW41743_a.bin", "", "FW41026_x.bin", true, "Bootloader VL120 firmware FW41019-04-00 does not match file selected FW41743_a.bin. (Use - o command line param to override.)", "FW41743_a.bin", 0},
      {"FW41348", "FW41026", "FW41743_a.bin", "FW41348_b.bin", "FW41026_x.bin", false, "", "FW41348_b.bin", 0},
      {"FW41348", "FW41026", "FW41743_a.bin", "FW41098_b.bin", "FW41026_x.bin", false, "Bootloader firmware FW41348-04-00 does not match file selected FW41743_a.bin. (Use -o command line param to override.)", "FW41743_a.bin", 2},
      {nullptr, "FW41026", "FW41743_a.bin", "", "FW41026_x.bin", false, "Bootloader firmware Not Found does not match file selected FW41743_a.bin. (Use -o command line param to override.)", "FW41743_a.bin", 2},
      {"FW41098", "FW41077", "", "", "FW41808_x.bin", false, "Application VL120 firmware FW41077-04-02 does not match file selected FW41808_x.bin. (Use -o command line param to override.)", "", 2},
      {"FW41098", "FW41922", "", "", "FW41808_x.bin", false, "", "", 0},
      {"FW41098", "FW41026", "", "", "FW41808_x.bin", false, "Application firmware FW41026-04-02 does not match file selected FW41808_x.bin. (Use -o command line param to override.)", "", 2},
  };
  // clang-format on
  for (const char* name : {"FW41098_a.bin", "FW41098_b.bin", "FW41743_a.bin", "FW41348_b.bin"})
    File(name, std::vector<uint8_t>(100, 0x5A));
  File("FW41026_x.bin", sim::ApplicationFile(100, 1));
  File("FW41808_x.bin", sim::ApplicationFile(100, 2));
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.app_code) + " " + c.bootloader + " " + c.alternative + " " + c.application);
    Fresh f;
    f.silent.m_OverrideFirmwareCheck = c.override_check;
    Unit(f, Fx2UnitConfig(), 0x65, std::string(c.app_code) + "-04-02",
         c.boot_code ? std::optional(BootHeaderText(c.boot_code, "04", "00")) : std::nullopt);
    Settings({}, {{"bootloader", c.bootloader}, {"bootloaderalt", c.alternative}, {"application", c.application}});
    EXPECT_EQ(Run(f.silent), c.exit_code);
    EXPECT_STREQ(f.silent.m_SelectedBootloaderFile.c_str(), c.selected);
    const Strings messages = f.log.Messages();
    const auto mismatch =
        std::ranges::find_if(messages, [](const std::string& m) { return m.find("does not match") != m.npos; });
    ASSERT_EQ(mismatch == messages.end(), c.mismatch.empty());
    if (c.mismatch.empty()) continue;
    EXPECT_EQ(*mismatch, c.mismatch);
    // Without the override the run ends there and nothing is sent.
    EXPECT_EQ(mismatch[1], c.override_check ? "Override option selected" : "End");
    EXPECT_TRUE(c.override_check || f.bench.unit().soft_boots() == 0u);
  }
}

// A fault in any stage ends the run with 2 after that stage's failure line:
// no success line for it, no final soft boot.
TEST_F(UpdateTest, FaultInAnyStageAbortsTheUpdate) {
  enum class Fault { kTimeout, kDisconnect, kFlashStatus, kNeverBack };
  // stage: the flash name the stage writes, or "bootloader" or "restart"; failure: start of the failure line, by
  // default "Update of <stage> failed (res = ".
  // clang-format off
  struct Case { std::string stage; Fault fault; std::string failure = ""; };
  const Case cases[] = {
      {"bootloader", Fault::kTimeout, "Update of bootloader failed (res = 33)"}, {"bootloader", Fault::kDisconnect, "Failed to open reader link, aborting FirmareUpdater"},
      {"app.bin", Fault::kFlashStatus}, {"boot.ini", Fault::kTimeout}, {"N5OS.xml", Fault::kDisconnect}, {"TD12Ki.xml", Fault::kFlashStatus}, {"uv.bin", Fault::kTimeout},
      {"restart", Fault::kNeverBack, "Cannot find reader after bootloader update, aborting FirmareUpdater"}, {"fx3.bin", Fault::kFlashStatus},
  };
  // clang-format on
  WriteFx2Files();
  Settings({{"RebootBeforeFX3", "1"}}, EveryFile(kFx2Boot));
  // The requests of a run without faults, to find where each stage starts.
  std::vector<sim::Request> requests;
  {
    Fresh f;
    sim::Unit& unit = f.bench.AddUnit(Fx2Config());
    ASSERT_EQ(Run(f.silent), 0);
    requests = sim::Requests(unit.traffic());
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stage + " fault " + std::to_string(static_cast<int>(c.fault)));
    // The stage's first request: the first raw erase of the bootloader, the second of three soft boots for the restart,
    // else the first request that names the stage's file.
    size_t first = 0, boots = 0;
    auto starts = [&](const sim::Request& r) {
      if (c.stage == "restart") return (boots += r.command == 122) == 2;
      if (c.stage == "bootloader") return r.command == 126 && r.body.at(0) == 11;
      return !std::ranges::search(r.body, c.stage).empty();
    };
    while (first < requests.size() && !starts(requests[first])) ++first;
    ASSERT_LT(first, requests.size());
    const auto number = static_cast<uint32_t>(first + 1);
    // Requests before the stage's first with this command (and first body byte).
    auto count = [&](uint8_t command, int sub) {
      return static_cast<uint32_t>(std::count_if(
          requests.begin(), requests.begin() + static_cast<long>(first),
          [&](const sim::Request& r) { return r.command == command && (sub < 0 || r.body.at(0) == sub); }));
    };

    Fresh f;
    sim::Unit& unit = f.bench.AddUnit(Fx2Config());
    sim::Faults faults;
    switch (c.fault) {
      case Fault::kTimeout: faults.silence = sim::FaultTrigger{number, 0}; break;
      case Fault::kDisconnect: faults.disconnect = sim::DisconnectFault{number, std::nullopt}; break;
      case Fault::kNeverBack: faults.disconnect = sim::DisconnectFault{number + 1, std::nullopt}; break;
      case Fault::kFlashStatus:
        unit.flash().InjectStatus(requests[first].body.at(0), -122, count(126, requests[first].body.at(0)), -1);
        break;
    }
    unit.SetFaults(faults);
    EXPECT_EQ(Run(f.silent), 2);

    const Strings messages = f.log.Messages();
    const std::string failure = c.failure.empty() ? "Update of " + c.stage + " failed (res = " : c.failure;
    EXPECT_TRUE(std::ranges::any_of(messages, [&](const std::string& m) { return m.starts_with(failure); })) << failure;
    EXPECT_FALSE(
        Has(messages, c.stage == "restart" ? "Restart of reader complete" : "Update of " + c.stage + " complete"));
    EXPECT_FALSE(Has(messages, kFinalBoot));
    EXPECT_EQ(unit.soft_boots(), count(122, -1) + (c.fault == Fault::kNeverBack ? 1u : 0u));
  }
}

}  // namespace
