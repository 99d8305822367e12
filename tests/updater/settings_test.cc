#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/session_log_recorder.h"
#include "tests/support/temp_dir.h"
#include "updater/silent.h"

namespace {

using namespace testing_support;

constexpr const char* kLoad = "QuorvelFirmwareUpdaterSilent::LoadSettingsFromIniFile";

class SettingsTest : public testing::Test {
 protected:
  // Loads an ini file with the given contents; returns the load's result.
  int32_t Load(const std::string& contents) {
    WriteFile(dir_.File("settings.ini"), contents);
    log_.Clear();
    return silent_.LoadSettingsFromIniFile(dir_.File("settings.ini").c_str());
  }

  int32_t LoadFiles(const std::string& bootloader, const std::string& application) {
    return Load("[Files]\nbootloader=" + bootloader + "\napplication=" + application + "\n");
  }

  SessionLogRecorder log_;
  TempDir dir_;
  QuorvelFirmwareUpdaterSilent silent_;
};

TEST_F(SettingsTest, EveryLineOfTheLoadInOrder) {
  // clang-format off
  ASSERT_EQ(Load("[InitSettings]\nlocateUSBTimeout=45000\nlocateUSBTimeoutRest=5000\nFormatTimeout=1\nCopyTimeout=2\nRemoveDevices=1\n"
                 "VerboseLogging=1\nSkipTheBootloaderReset=1\nUseOldTransferProtocol=0\nRebootBeforeFX3=1\nSkipSameFirmware=2\n"
                 "SkipSimilarFirmware=1\nShowFirmwareOnFinished=1\n[Files]\nbootloader=b.bin\nbootloaderalt=ba.bin\n"
                 "application=FW41098_FW41026.bin\nboot.ini=boot.ini\nN5OS.xml=os.xml\nN5App.xml=app.xml\nTD12Ki.xml=ki.xml\n"
                 "TD12K.xml=k.xml\nfx3.bin=fx3.img\nuv.bin=uv.img\n"), 0);
  // clang-format on
  const std::vector<LoggedLine>& lines = log_.lines();
  ASSERT_EQ(lines.size(), 28u);
  EXPECT_EQ(lines.front(), At("Begin", kLoad));
  EXPECT_EQ(lines.back(), At("End", kLoad));
  const std::vector<std::string> all = log_.Messages();
  // clang-format off
  const std::vector<std::string> expected = {"inifile - " + dir_.File("settings.ini"), "b.bin", "SettingsFromIni",
      "locateUSBTimeout - 45000", "locateUSBTimeoutRest - 5000", "formatTimeout - 1", "copyTimeout - 2", "removeDevices - 1",
      "verboseLogging - 1", "m_SkipTheBootloaderReset - true", "m_UseOldTransferProtocol - false", "m_RebootBeforeFX3 - true",
      "m_SkipSameFirmware - false", "m_SkipSimilarFirmware - true", "m_BootloaderFile - b.bin", "m_BootloaderAltFile - ba.bin",
      "m_ApplicationFile - FW41098_FW41026.bin", "m_BootIniFile - boot.ini", "m_N5OSFile - os.xml", "m_N5AppFile - app.xml",
      "m_td12kFile - k.xml", "m_td12kiFile - ki.xml", "m_fx3AppFile - fx3.img", "m_uvBinFile - uv.img", "m_ReaderType - 0",
      "No reader selected or firmware mismatch in ini file"};
  // clang-format on
  EXPECT_EQ(std::vector<std::string>(all.begin() + 1, all.end() - 1), expected);
  EXPECT_TRUE(silent_.m_ShowFirmwareOnFinished);  // the one setting that is not logged
}

TEST_F(SettingsTest, MissingFileGivesEveryDefault) {
  ASSERT_EQ(silent_.LoadSettingsFromIniFile(dir_.File("absent.ini").c_str()), 0);
  const std::array<int32_t, 4> timeouts = {silent_.m_LocateUSBTimeout, silent_.m_LocateUSBTimeoutRest,
                                           silent_.m_FormatTimeout, silent_.m_CopyTimeout};
  EXPECT_EQ(timeouts, (std::array<int32_t, 4>{30000, 10000, 60000, 30000}));
  EXPECT_FALSE(silent_.m_RemoveDevices || silent_.m_VerboseLogging || silent_.m_ShowFirmwareOnFinished);
  EXPECT_EQ(silent_.m_ProductIds, (std::array<int32_t, 10>{0x40}));
  const std::vector<std::string> messages = log_.Messages();
  ASSERT_EQ(messages.size(), 28u);
  EXPECT_EQ(messages[2], "");  // the empty bootloader name still has its line
}

TEST_F(SettingsTest, BooleansAreTrueOnlyForExactlyOneAndTextIsCut) {
  Load(
      "[initsettings]\nSKIPSAMEFIRMWARE=2\nSkipSimilarFirmware=1\nRemoveDevices=-1\n"
      "VerboseLogging= 1 \nRebootBeforeFX3=1st\nUseOldTransferProtocol=true\n");
  // RebootBeforeFX3=1st: the leading number is 1.
  const std::array<bool, 6> flags = {silent_.m_SkipSameFirmware, silent_.m_SkipSimilarFirmware,
                                     silent_.m_RemoveDevices,    silent_.m_VerboseLogging,
                                     silent_.m_RebootBeforeFX3,  silent_.m_UseOldTransferProtocol};
  EXPECT_EQ(flags, (std::array<bool, 6>{false, true, false, true, true, false}));
  // Text values are cut at 999 characters.
  const std::string name = "FW41580" + std::string(1500, 'x');
  ASSERT_EQ(LoadFiles("", name), 1);
  EXPECT_EQ(silent_.m_ApplicationFile.View(), name.substr(0, 999));
  EXPECT_EQ(log_.Messages()[17], "m_ApplicationFile - " + name.substr(0, 999));
}

// Rows run one after another on the same object, so each row also shows that
// a reload starts from a clean selection (ids, reader type, full-array check).
TEST_F(SettingsTest, ReaderTypeTable) {
  // clang-format off
  struct Case { const char *bootloader, *application; int32_t reader_type; std::array<int32_t, 3> ids; bool full_array_check; };
  // clang-format on
  const Case cases[] = {
      // Application alone with FW41580 and no bootloader: WR series; with any bootloader, nothing.
      {"", "files/FW41580_02_11.bin", 4, {0x40, 0x4000, 0}, false},
      {"files/boot.bin", "files/FW41580_02_11.bin", 0, {0x40, 0, 0}, false},
      // The WR1200 row follows the HX2/PN row; entry 2 keeps the HX2/PN value.
      {"FW41108.bin", "FW41144_FW41400.bin", 3, {0x40, 0x48, 0x46}, true},
      // 370dpi and 550dpi codes together: the 550dpi rule stands back.
      {"", "FW41566_FW41569.bin", 12, {0x40, 0x73, 0}, true},
      // The last matching rule wins, entry 2 stays from the only rule naming it.
      {"", "FW41026_FW41968.bin", 15, {0x40, 0x4019, 0x65}, false},
      {"", "FW41144_FW41580.bin", 4, {0x40, 0x4000, 0x46}, true},
      // Codes compare case-sensitively.
      {"", "files/fw41580_02_11.bin", 0, {0x40, 0, 0}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("bootloader \"") + c.bootloader + "\", application \"" + c.application + "\"");
    EXPECT_EQ(LoadFiles(c.bootloader, c.application), c.reader_type == 0 ? 0 : 1);
    EXPECT_EQ(silent_.m_ProductIds, (std::array<int32_t, 10>{c.ids[0], c.ids[1], c.ids[2]}));
    EXPECT_EQ(silent_.m_FullArrayCheck, c.full_array_check);
    const std::vector<std::string> m = log_.Messages();
    EXPECT_EQ(m[25], "m_ReaderType - " + std::to_string(c.reader_type));
    EXPECT_EQ(m[26] == "No reader selected or firmware mismatch in ini file", c.reader_type == 0);
  }
}

}  // namespace
