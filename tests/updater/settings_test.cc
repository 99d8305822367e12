#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/session_log_recorder.h"
#include "tests/support/temp_dir.h"
#include "updater/silent.h"

namespace {

using testing_support::At;
using testing_support::Line;
using testing_support::LoggedLine;
using testing_support::SessionLogRecorder;
using testing_support::TempDir;
using testing_support::WriteFile;

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

  std::vector<std::string> Messages() const { return log_.Messages(); }

  SessionLogRecorder log_;
  TempDir dir_;
  QuorvelFirmwareUpdaterSilent silent_;
};

TEST_F(SettingsTest, EveryLineOfTheLoadInOrder) {
  ASSERT_EQ(Load("[InitSettings]\n"
                 "locateUSBTimeout=45000\nlocateUSBTimeoutRest=5000\nFormatTimeout=1\nCopyTimeout=2\n"
                 "RemoveDevices=1\nVerboseLogging=1\nSkipTheBootloaderReset=1\nUseOldTransferProtocol=0\n"
                 "RebootBeforeFX3=1\nSkipSameFirmware=2\nSkipSimilarFirmware=1\nShowFirmwareOnFinished=1\n"
                 "[Files]\nbootloader=b.bin\nbootloaderalt=ba.bin\napplication=FW41098_FW41026.bin\n"
                 "boot.ini=boot.ini\nN5OS.xml=os.xml\nN5App.xml=app.xml\nTD12Ki.xml=ki.xml\n"
                 "TD12K.xml=k.xml\nfx3.bin=fx3.img\nuv.bin=uv.img\n"),
            0);
  const std::string path = dir_.File("settings.ini");
  const std::vector<LoggedLine> expected = {
      At("Begin", kLoad),
      Line("inifile - " + path),
      Line("b.bin"),
      Line("SettingsFromIni"),
      Line("locateUSBTimeout - 45000"),
      Line("locateUSBTimeoutRest - 5000"),
      Line("formatTimeout - 1"),
      Line("copyTimeout - 2"),
      Line("removeDevices - 1"),
      Line("verboseLogging - 1"),
      Line("m_SkipTheBootloaderReset - true"),
      Line("m_UseOldTransferProtocol - false"),
      Line("m_RebootBeforeFX3 - true"),
      Line("m_SkipSameFirmware - false"),
      Line("m_SkipSimilarFirmware - true"),
      Line("m_BootloaderFile - b.bin"),
      Line("m_BootloaderAltFile - ba.bin"),
      Line("m_ApplicationFile - FW41098_FW41026.bin"),
      Line("m_BootIniFile - boot.ini"),
      Line("m_N5OSFile - os.xml"),
      Line("m_N5AppFile - app.xml"),
      Line("m_td12kFile - k.xml"),
      Line("m_td12kiFile - ki.xml"),
      Line("m_fx3AppFile - fx3.img"),
      Line("m_uvBinFile - uv.img"),
      Line("m_ReaderType - 0"),
      Line("No reader selected or firmware mismatch in ini file"),
      At("End", kLoad),
  };
  EXPECT_EQ(log_.lines(), expected);
  EXPECT_EQ(silent_.m_LocateUSBTimeout, 45000);
  EXPECT_EQ(silent_.m_LocateUSBTimeoutRest, 5000);
  EXPECT_EQ(silent_.m_FormatTimeout, 1);
  EXPECT_EQ(silent_.m_CopyTimeout, 2);
  EXPECT_TRUE(silent_.m_RemoveDevices);
  EXPECT_TRUE(silent_.m_ShowFirmwareOnFinished);
  EXPECT_EQ(silent_.m_N5OSFile.View(), "os.xml");
  EXPECT_EQ(silent_.m_N5AppFile.View(), "app.xml");
  EXPECT_EQ(silent_.m_td12kiFile.View(), "ki.xml");
  EXPECT_EQ(silent_.m_td12kFile.View(), "k.xml");
  EXPECT_EQ(silent_.m_fx3AppFile.View(), "fx3.img");
  EXPECT_EQ(silent_.m_uvBinFile.View(), "uv.img");
  EXPECT_EQ(silent_.m_BootIniFile.View(), "boot.ini");
  EXPECT_EQ(silent_.m_BootloaderAltFile.View(), "ba.bin");
}

TEST_F(SettingsTest, MissingFileGivesEveryDefault) {
  ASSERT_EQ(silent_.LoadSettingsFromIniFile(dir_.File("absent.ini").c_str()), 0);
  EXPECT_EQ(silent_.m_LocateUSBTimeout, 30000);
  EXPECT_EQ(silent_.m_LocateUSBTimeoutRest, 10000);
  EXPECT_EQ(silent_.m_FormatTimeout, 60000);
  EXPECT_EQ(silent_.m_CopyTimeout, 30000);
  EXPECT_FALSE(silent_.m_RemoveDevices);
  EXPECT_FALSE(silent_.m_VerboseLogging);
  EXPECT_FALSE(silent_.m_ShowFirmwareOnFinished);
  EXPECT_EQ(silent_.m_ApplicationFile.View(), "");
  EXPECT_EQ(silent_.m_ReaderType, 0);
  EXPECT_EQ(silent_.m_ProductIds, (std::array<int32_t, 10>{0x40}));
  const std::vector<std::string> messages = Messages();
  ASSERT_EQ(messages.size(), 28u);
  EXPECT_EQ(messages[2], "");  // the empty bootloader name still has its line
  EXPECT_EQ(messages[4], "locateUSBTimeout - 30000");
  EXPECT_EQ(messages[8], "removeDevices - 0");
  EXPECT_EQ(messages[15], "m_BootloaderFile - ");
  EXPECT_EQ(messages[26], "No reader selected or firmware mismatch in ini file");
}

TEST_F(SettingsTest, BooleansAreTrueOnlyForExactlyOne) {
  Load(
      "[initsettings]\nSKIPSAMEFIRMWARE=2\nSkipSimilarFirmware=1\nRemoveDevices=-1\n"
      "VerboseLogging= 1 \nRebootBeforeFX3=1st\nUseOldTransferProtocol=true\n");
  EXPECT_FALSE(silent_.m_SkipSameFirmware);
  EXPECT_TRUE(silent_.m_SkipSimilarFirmware);
  EXPECT_FALSE(silent_.m_RemoveDevices);
  EXPECT_TRUE(silent_.m_VerboseLogging);
  EXPECT_TRUE(silent_.m_RebootBeforeFX3);  // the leading number is 1
  EXPECT_FALSE(silent_.m_UseOldTransferProtocol);
}

TEST_F(SettingsTest, TextValuesAreCutAt999Characters) {
  const std::string name = "FW41580" + std::string(1500, 'x');
  ASSERT_EQ(LoadFiles("", name), 1);
  EXPECT_EQ(silent_.m_ApplicationFile.Length(), 999);
  EXPECT_EQ(silent_.m_ApplicationFile.View(), name.substr(0, 999));
  EXPECT_EQ(Messages()[17], "m_ApplicationFile - " + name.substr(0, 999));
}

struct TableCase {
  const char* bootloader;
  const char* application;
  int32_t reader_type;
  std::array<int32_t, 3> product_ids;
  bool full_array_check;
};

TEST_F(SettingsTest, ReaderTypeTable) {
  const TableCase cases[] = {
      // Application alone with FW41580 and no bootloader: WR series.
      {"", "files/FW41580_02_11.bin", 4, {0x40, 0x4000, 0}, false},
      // The same application with any bootloader selects nothing.
      {"files/boot.bin", "files/FW41580_02_11.bin", 0, {0x40, 0, 0}, false},
      // The WR1200 row follows the HX2/PN row; entry 2 keeps the HX2/PN value.
      {"FW41108.bin", "FW41144_FW41400.bin", 3, {0x40, 0x48, 0x46}, true},
      {"FW41743.bin", "FW41808.bin", 1, {0x40, 0x64, 0x65}, false},
      {"FW41099.bin", "FW41808.bin", 0, {0x40, 0, 0}, false},
      // 370dpi and 550dpi codes together: the 550dpi rule stands back.
      {"", "FW41566_FW41569.bin", 12, {0x40, 0x73, 0}, true},
      {"FW41536.bin", "FW41938.bin", 13, {0x40, 0x72, 0}, true},
      {"", "FW41569.bin", 13, {0x40, 0x72, 0}, true},
      // The last matching rule wins, entry 2 stays from the only rule naming it.
      {"", "FW41026_FW41968.bin", 15, {0x40, 0x4019, 0x65}, false},
      // The full-array check is only ever set by the table.
      {"", "FW41144_FW41580.bin", 4, {0x40, 0x4000, 0x46}, true},
      {"FW41447.bin", "FW41703.bin", 16, {0x40, 0x400d, 0}, false},
      {"FW41447.bin", "FW41944.bin", 10, {0x40, 0x70, 0}, true},
      {"FW41411.bin", "FW41453.bin", 11, {0x40, 0x47, 0}, true},
      {"FW41840.bin", "FW41841.bin", 8, {0x40, 0x4004, 0}, false},
      {"", "FW41699.bin", 14, {0x40, 0x400c, 0}, false},
      {"FW41699.bin", "FW41699.bin", 0, {0x40, 0, 0}, false},
      // Codes compare case-sensitively.
      {"", "files/fw41580_02_11.bin", 0, {0x40, 0, 0}, false},
      {"", "", 0, {0x40, 0, 0}, false},
  };
  for (const TableCase& c : cases) {
    SCOPED_TRACE(std::string("bootloader \"") + c.bootloader + "\", application \"" + c.application + "\"");
    EXPECT_EQ(LoadFiles(c.bootloader, c.application), c.reader_type == 0 ? 0 : 1);
    EXPECT_EQ(silent_.m_ReaderType, c.reader_type);
    std::array<int32_t, 10> ids{c.product_ids[0], c.product_ids[1], c.product_ids[2]};
    EXPECT_EQ(silent_.m_ProductIds, ids);
    EXPECT_EQ(silent_.m_FullArrayCheck, c.full_array_check);
    const std::vector<std::string> messages = Messages();
    EXPECT_EQ(messages[25], "m_ReaderType - " + std::to_string(c.reader_type));
    EXPECT_EQ(messages[26] == "No reader selected or firmware mismatch in ini file", c.reader_type == 0);
  }
}

TEST_F(SettingsTest, ReloadStartsFromCleanSelection) {
  ASSERT_EQ(LoadFiles("", "FW41944.bin"), 1);
  ASSERT_TRUE(silent_.m_FullArrayCheck);
  silent_.m_ProductIds.fill(7);
  ASSERT_EQ(Load("[InitSettings]\nShowFirmwareOnFinished=1\n"), 0);
  EXPECT_EQ(silent_.m_ReaderType, 0);
  EXPECT_FALSE(silent_.m_FullArrayCheck);
  EXPECT_TRUE(silent_.m_ShowFirmwareOnFinished);
  EXPECT_EQ(silent_.m_ProductIds, (std::array<int32_t, 10>{0x40}));
}

}  // namespace
