// Settings of the update engine: the ini file's keys with their defaults, the
// session-log record of every setting, and the reader-type table that turns
// the configured file names into a reader type and its USB product ids.
#include <array>
#include <optional>
#include <span>
#include <string_view>

#include "platform/profile.h"
#include "updater/session_log.h"
#include "updater/silent.h"

namespace {

constexpr const char* kLoadLocation = "QuorvelFirmwareUpdaterSilent::LoadSettingsFromIniFile";
// Text keys are read as into a 1000-byte buffer: 999 characters at most.
constexpr size_t kTextBufferSize = 1000;
constexpr int32_t kBootloaderProductId = 0x40;

// One row of the reader-type table. A rule matches when the bootloader name
// is empty or contains one of its bootloader codes, the application name
// contains one of its application codes, and the application name does not
// contain the excluded code. Codes are compared case-sensitively; unused
// code slots are empty.
struct ReaderTypeRule {
  std::array<std::string_view, 3> bootloader_codes;
  std::array<std::string_view, 2> application_codes;
  std::string_view excluded_application_code;
  int32_t reader_type;
  std::optional<int32_t> product_id_1;
  std::optional<int32_t> product_id_2;
  bool full_array_check;
};

// Applied top to bottom; a later match overwrites an earlier one.
constexpr ReaderTypeRule kReaderTypeRules[] = {
    // VL120 series
    {{"FW41098", "FW41348", "FW41743"}, {"FW41026", "FW41808"}, {}, 1, 0x64, 0x65, false},
    // HX2/PN series
    {{"FW41108"}, {"FW41144"}, {}, 2, 0x47, 0x46, true},
    // new WR1200 series
    {{"FW41108"}, {"FW41400"}, {}, 3, 0x48, std::nullopt, false},
    // HX2/PN (720DPI) series
    {{"FW41188"}, {"FW41234"}, {}, 7, 0x47, std::nullopt, false},
    // HX2 USB 3 series
    {{"FW41651"}, {"FW41671"}, {}, 8, 0x4004, std::nullopt, false},
    {{"FW41840"}, {"FW41841"}, {}, 8, 0x4004, std::nullopt, false},
    // WR series
    {{"FW41014"}, {"FW41023"}, {}, 3, 0x48, std::nullopt, false},
    {{}, {"FW41580"}, {}, 4, 0x4000, std::nullopt, false},
    // VL5600 series
    {{"FW41266"}, {"FW41341"}, {}, 5, 0x64, std::nullopt, false},
    {{"FW41638"}, {"FW41640"}, {}, 6, 0x76, std::nullopt, false},
    // TD12K 370 series
    {{"FW41411"}, {"FW41417"}, {}, 9, 0x73, std::nullopt, true},
    // TD12K 550 series
    {{"FW41411"}, {"FW41453"}, {}, 11, 0x47, std::nullopt, true},
    // TD12K USB 3 370dpi series
    {{"FW41536"}, {"FW41566"}, {}, 12, 0x73, std::nullopt, true},
    // TD12K USB 3 550dpi series: only when the 370dpi code is absent
    {{"FW41536"}, {"FW41569", "FW41938"}, "FW41566", 13, 0x72, std::nullopt, true},
    // TD12Ki USB series
    {{"FW41447"}, {"FW41427", "FW41944"}, {}, 10, 0x70, std::nullopt, true},
    {{"FW41447"}, {"FW41703"}, {}, 16, 0x400d, std::nullopt, false},
    // VL2200 series
    {{}, {"FW41699"}, {}, 14, 0x400c, std::nullopt, false},
    // PN2200 series
    {{}, {"FW41968"}, {}, 15, 0x4019, std::nullopt, false},
};

bool ContainsAny(std::string_view name, std::span<const std::string_view> codes) {
  for (std::string_view code : codes) {
    if (!code.empty() && name.find(code) != std::string_view::npos) return true;
  }
  return false;
}

bool Matches(const ReaderTypeRule& rule, std::string_view bootloader, std::string_view application) {
  if (!bootloader.empty() && !ContainsAny(bootloader, rule.bootloader_codes)) return false;
  if (!ContainsAny(application, rule.application_codes)) return false;
  return rule.excluded_application_code.empty() ||
         application.find(rule.excluded_application_code) == std::string_view::npos;
}

const char* TrueFalse(bool value) { return value ? "true" : "false"; }

}  // namespace

void QuorvelFirmwareUpdaterSilent::SelectReaderType() {
  for (const ReaderTypeRule& rule : kReaderTypeRules) {
    if (!Matches(rule, m_BootloaderFile.View(), m_ApplicationFile.View())) continue;
    m_ReaderType = rule.reader_type;
    if (rule.product_id_1) m_ProductIds[1] = *rule.product_id_1;
    if (rule.product_id_2) m_ProductIds[2] = *rule.product_id_2;
    if (rule.full_array_check) m_FullArrayCheck = true;
  }
}

int32_t QuorvelFirmwareUpdaterSilent::LoadSettingsFromIniFile(const char* path) {
  WriteSessionLog("Begin", kLoadLocation);
  WriteSessionLog(RT::BaseString("inifile - %s", path == nullptr ? "" : path), nullptr);

  m_ReaderType = 0;
  m_FullArrayCheck = false;
  m_ShowFirmwareOnFinished = false;

  const platform::Profile profile = platform::Profile::Load(path == nullptr ? "" : path);
  auto integer = [&](const char* key, int32_t fallback) { return profile.Int("InitSettings", key, fallback); };
  auto boolean = [&](const char* key) { return profile.Int("InitSettings", key, 0) == 1; };
  auto text = [&](RT::BaseString& member, const char* key) {
    std::string value = profile.Text("Files", key, "", kTextBufferSize);
    member.Assign(value.c_str());
  };

  m_LocateUSBTimeout = integer("locateUSBTimeout", 30000);
  m_LocateUSBTimeoutRest = integer("locateUSBTimeoutRest", 10000);
  m_FormatTimeout = integer("FormatTimeout", 60000);
  m_CopyTimeout = integer("CopyTimeout", 30000);
  m_RemoveDevices = boolean("RemoveDevices");
  m_VerboseLogging = boolean("VerboseLogging");
  m_SkipTheBootloaderReset = boolean("SkipTheBootloaderReset");
  m_UseOldTransferProtocol = boolean("UseOldTransferProtocol");
  m_RebootBeforeFX3 = boolean("RebootBeforeFX3");
  m_SkipSameFirmware = boolean("SkipSameFirmware");
  m_SkipSimilarFirmware = boolean("SkipSimilarFirmware");
  m_ShowFirmwareOnFinished = boolean("ShowFirmwareOnFinished");

  text(m_BootloaderFile, "bootloader");
  WriteSessionLog(m_BootloaderFile, nullptr);
  text(m_BootloaderAltFile, "bootloaderalt");
  text(m_ApplicationFile, "application");
  text(m_BootIniFile, "boot.ini");
  text(m_N5OSFile, "N5OS.xml");
  text(m_N5AppFile, "N5App.xml");
  text(m_td12kiFile, "TD12Ki.xml");
  text(m_td12kFile, "TD12K.xml");
  text(m_fx3AppFile, "fx3.bin");
  text(m_uvBinFile, "uv.bin");

  WriteSessionLog("SettingsFromIni", nullptr);
  WriteSessionLog(RT::BaseString("locateUSBTimeout - %d", m_LocateUSBTimeout), nullptr);
  WriteSessionLog(RT::BaseString("locateUSBTimeoutRest - %d", m_LocateUSBTimeoutRest), nullptr);
  WriteSessionLog(RT::BaseString("formatTimeout - %d", m_FormatTimeout), nullptr);
  WriteSessionLog(RT::BaseString("copyTimeout - %d", m_CopyTimeout), nullptr);
  WriteSessionLog(RT::BaseString("removeDevices - %d", m_RemoveDevices ? 1 : 0), nullptr);
  WriteSessionLog(RT::BaseString("verboseLogging - %d", m_VerboseLogging ? 1 : 0), nullptr);
  WriteSessionLog(RT::BaseString("m_SkipTheBootloaderReset - %s", TrueFalse(m_SkipTheBootloaderReset)), nullptr);
  WriteSessionLog(RT::BaseString("m_UseOldTransferProtocol - %s", TrueFalse(m_UseOldTransferProtocol)), nullptr);
  WriteSessionLog(RT::BaseString("m_RebootBeforeFX3 - %s", TrueFalse(m_RebootBeforeFX3)), nullptr);
  WriteSessionLog(RT::BaseString("m_SkipSameFirmware - %s", TrueFalse(m_SkipSameFirmware)), nullptr);
  WriteSessionLog(RT::BaseString("m_SkipSimilarFirmware - %s", TrueFalse(m_SkipSimilarFirmware)), nullptr);
  WriteSessionLog(RT::BaseString("m_BootloaderFile - %s", m_BootloaderFile.c_str()), nullptr);
  WriteSessionLog(RT::BaseString("m_BootloaderAltFile - %s", m_BootloaderAltFile.c_str()), nullptr);
  WriteSessionLog(RT::BaseString("m_ApplicationFile - %s", m_ApplicationFile.c_str()), nullptr);
  WriteSessionLog(RT::BaseString("m_BootIniFile - %s", m_BootIniFile.c_str()), nullptr);
  WriteSessionLog(RT::BaseString("m_N5OSFile - %s", m_N5OSFile.c_str()), nullptr);
  WriteSessionLog(RT::BaseString("m_N5AppFile - %s", m_N5AppFile.c_str()), nullptr);
  WriteSessionLog(RT::BaseString("m_td12kFile - %s", m_td12kFile.c_str()), nullptr);
  WriteSessionLog(RT::BaseString("m_td12kiFile - %s", m_td12kiFile.c_str()), nullptr);
  WriteSessionLog(RT::BaseString("m_fx3AppFile - %s", m_fx3AppFile.c_str()), nullptr);
  WriteSessionLog(RT::BaseString("m_uvBinFile - %s", m_uvBinFile.c_str()), nullptr);

  m_ProductIds.fill(0);
  m_ProductIds[0] = kBootloaderProductId;
  SelectReaderType();

  WriteSessionLog(RT::BaseString("m_ReaderType - %d", m_ReaderType), nullptr);
  int32_t result = 1;
  if (m_ReaderType == 0) {
    WriteSessionLog("No reader selected or firmware mismatch in ini file", nullptr);
    result = 0;
  }
  WriteSessionLog("End", kLoadLocation);
  return result;
}
