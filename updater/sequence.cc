// The unattended update: settings and file checks, the unit's identity and
// the firmware checks, then every transfer stage in its fixed order with the
// soft boots and waits the unit needs between them.
#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>

#include "platform/clock.h"
#include "platform/system.h"
#include "reader/flash.h"
#include "reader/fullarray.h"
#include "updater/engine.h"
#include "updater/local_file.h"
#include "updater/program_title.h"
#include "updater/session_log.h"
#include "updater/silent.h"

namespace {

constexpr const char* kDoSilentLocation = "QuorvelFirmwareUpdaterSilent::DoSilent";
constexpr const char* kUpdateLocation = "UpdateFirmwareSlient";
constexpr uint32_t kFullArrayOmnikeyBit = 0x4000;
constexpr uint32_t kPacketSize = 1024;

void Log(const RT::BaseString& message) { WriteSessionLog(message, nullptr); }
void Log(const char* message) { WriteSessionLog(message, nullptr); }
bool Contains(const RT::BaseString& text, const char* part) { return text.Find(part) >= 0; }

// The moments at which the update waits for a rebooting unit.
enum class Reboot { kAfterBootloader, kBeforeFx3, kFinal };

void WaitForReboot(int32_t reader_type, Reboot moment) {
  const char* line = nullptr;
  uint32_t seconds = 0;
  switch (reader_type) {
    case 6:
    case 10:
    case 11:
    case 12:
    case 13:
      line = "Waiting 30 secs for FX3 models to reboot";
      seconds = 30;
      break;
    case 9:
      if (moment == Reboot::kFinal) {
        line = "Waiting 30 secs for FX3 models to reboot";
        seconds = 30;
      }
      break;
    case 4:
    case 8:
      line = moment == Reboot::kFinal ? "Waiting 10 secs for HX2 fx3 / WR2200 to reboot"
                                      : "Waiting 10 secs for HX2 fX3 / WR2200 to reboot";
      seconds = 10;
      break;
    default: break;
  }
  if (line == nullptr) return;
  Log(line);
  platform::GetClock().Sleep(seconds * 1000);
}

// The unit after a soft boot: searched for, then opened, then given the rest
// of the search time to answer on the held handle.
bool AwaitUnit(QuorvelFirmwareUpdaterSilent& silent, Reboot moment, const char* success_line) {
  const int32_t found = LookForHardwareSilent(silent);
  if (moment == Reboot::kBeforeFx3) WaitForReboot(silent.m_ReaderType, moment);
  const int32_t opened = RdrOpen(nullptr);

  bool regained = false;
  if (found != 0 || opened == 0) {
    regained = opened == 0;
  } else {
    platform::Clock& clock = platform::GetClock();
    const uint32_t limit = static_cast<uint32_t>(std::max(silent.m_LocateUSBTimeout / 1000, 0));
    const auto start = static_cast<uint32_t>(clock.Seconds());
    for (;;) {
      clock.Sleep(1000);
      if (static_cast<uint32_t>(clock.Seconds()) - start > limit) break;
      if (CheckReaderConnection(silent.m_ReaderType) == 0) {
        regained = true;
        break;
      }
    }
    if (!regained) regained = CheckReaderConnection(silent.m_ReaderType) == 0 || RdrOpen(nullptr) == 0;
  }
  if (regained) Log(success_line);
  return regained;
}

// Whether the stage's file is the version, or the part, the unit already
// runs; logs the skip.
bool SkipStage(const QuorvelFirmwareUpdaterSilent& silent, const RT::BaseString& unit_string,
               const RT::BaseString& file, const char* part) {
  if (silent.m_SkipSameFirmware && IsSameFirmware(unit_string, file)) {
    Log(RT::BaseString("Skipping %s firmware update - same version already loaded", part));
    return true;
  }
  if (silent.m_SkipSimilarFirmware && IsSimilarFirmware(unit_string, file)) {
    Log(RT::BaseString("Skipping %s firmware update - Similar version already loaded", part));
    return true;
  }
  return false;
}

class UpdateRun {
 public:
  explicit UpdateRun(QuorvelFirmwareUpdaterSilent& silent) : silent_(silent) {}

  int32_t Run() {
    WriteSessionLog("Begin", kUpdateLocation);
    RdrOpen(nullptr);
    std::printf("Updating reader firmware. DO NOT POWER OFF UNIT. The unit may perform soft resets.\n");

    BootloaderStage();
    if (RdrOpen(nullptr) != 0) Abort("Failed to open reader link, aborting FirmareUpdater");
    if (!aborted_) ApplicationStage();
    if (!aborted_) FileSystemStages();
    if (!aborted_) RestartBeforeFx3();
    if (!aborted_) Fx3Stage();
    if (!aborted_ && (updated_ || fx3_sent_)) {
      Log("Firmware Update of unit Completed. Softboot the unit begining");
      RdrSoftBoot();
      silent_.m_SerialString.Assign("");
      WaitForReboot(silent_.m_ReaderType, Reboot::kFinal);
    }

    RdrCloseHandle();
    WriteSessionLog("End", kUpdateLocation);
    return aborted_ ? 2 : 0;
  }

 private:
  void Abort(const RT::BaseString& message) {
    Log(message);
    aborted_ = true;
  }
  void Abort(const char* message) { Abort(RT::BaseString("%s", message)); }

  // Opens a firmware file for a packet transfer and reads the 32 bytes it
  // starts with; aborts the stage when either fails. `what` names the file
  // in the failure lines.
  bool OpenForPackets(const RT::BaseString& path, const char* what, PacketFile* opened) {
    const std::string failure = OpenFirmwareForPackets(path.c_str(), what, opened);
    if (!failure.empty()) Abort(failure.c_str());
    return failure.empty();
  }

  void BootloaderStage() {
    const RT::BaseString& file = silent_.m_SelectedBootloaderFile;
    if (file.IsEmpty() || SkipStage(silent_, silent_.m_BootString, file, "bootloader")) return;
    silent_.m_BootString.Assign("");
    Log(RT::BaseString("Updating bootloader firmware file - %s", file.c_str()));
    std::printf("Updating bootloader firmware\n");
    updated_ = true;
    const int32_t result = RestoreFlash(file);
    restart_wanted_ = true;
    if (result != 0) return Abort(RT::BaseString("Update of bootloader failed (res = %d), aborting Update", result));
    Log("Update of bootloader complete");
    if (silent_.m_SkipTheBootloaderReset) return Log("Skipping bootloader reset");

    Log("Softboot Reader unit");
    RdrSoftBoot();
    restart_wanted_ = false;
    WaitForReboot(silent_.m_ReaderType, Reboot::kAfterBootloader);
    if (!AwaitUnit(silent_, Reboot::kAfterBootloader, "Softboot of reader complete")) {
      Abort("Cannot find reader after bootloader update, aborting FirmareUpdater");
    }
  }

  void ApplicationStage() {
    const RT::BaseString& file = silent_.m_ApplicationFile;
    if (file.IsEmpty() || SkipStage(silent_, silent_.m_AppString, file, "application")) return;
    updated_ = true;
    restart_wanted_ = true;
    silent_.m_AppString.Assign("");
    const int32_t protocol = ChooseTransferProtocol();
    Log(RT::BaseString("Using transfer protocol %d", protocol));
    std::printf("Updating reader application firmware\n");

    if (RDRIsWR2200Based(g_ReaderHandle)) {
      Log(RT::BaseString("Updating application firmware file- %s", file.c_str()));
      const int32_t result = WR2200FileCopy(file.c_str(), protocol);
      if (result != 0) {
        Log(RT::BaseString("Update of application firmware failed (res = %d), aborting Update", result));
        return Abort(RT::BaseString("Update of app.bin failed (res = %d), aborting Update", result));
      }
      Log("Update of application firmware complete");
    } else if (protocol == 2) {
      Log(RT::BaseString("Updating app.bin firmware file- %s", file.c_str()));
      PacketFile local;
      if (!OpenForPackets(file, "application", &local)) return;
      if (!IsApplicationHeader(local.header)) return Abort("Invalid application file header, aborting Update");
      const int32_t result = RdrNewFileCopy(local.file.get(), local.size, "app.bin", kPacketSize);
      if (result != 0) return Abort(RT::BaseString("Update of app.bin failed (res = %d), aborting Update", result));
    } else {
      Log("Erasing app.bin from unit");
      F_remove(g_ReaderHandle, "0:app.bin");
      Log(RT::BaseString("Updating app.bin firmware file- %s", file.c_str()));
      const int32_t result = RdrCopyFile(file.c_str(), "0:app.bin");
      if (result != platform::FileSize(file.c_str())) {
        return Abort(RT::BaseString("Update of app.bin failed (res = %d), aborting Update", result));
      }
    }
    Log("Update of app.bin complete");
  }

  // A configuration file sent through the reader's flash file system.
  struct FileStage {
    const RT::BaseString QuorvelFirmwareUpdaterSilent::*file;
    const char* name;     // on the unit, and in the log lines
    const char* printed;  // the console line
    bool by_copy;         // F_cp after removing the old file, else the 900-byte copy
    bool logs_protocol;   // writes the protocol line first
    bool wants_restart;
  };

  void FileSystemStages() {
    static constexpr FileStage kStages[] = {
        {&QuorvelFirmwareUpdaterSilent::m_BootIniFile, "boot.ini", "Updating reader BootIniFile\n", false, false, true},
        {&QuorvelFirmwareUpdaterSilent::m_N5OSFile, "N5OS.xml", "Updating reader N5OSFile\n", true, false, true},
        {&QuorvelFirmwareUpdaterSilent::m_N5AppFile, "N5App.xml", "Updating reader N5App.xml\n", true, false, true},
        {&QuorvelFirmwareUpdaterSilent::m_td12kiFile, "TD12Ki.xml", "Updating reader TD12Ki.xml\n", false, true, true},
        {&QuorvelFirmwareUpdaterSilent::m_td12kFile, "TD12K.xml", "Updating reader TD12K.xml\n", false, true, true},
        {&QuorvelFirmwareUpdaterSilent::m_uvBinFile, "uv.bin", "Updating reader uvBinFile\n", false, true, false},
    };
    for (const FileStage& stage : kStages) {
      const RT::BaseString& file = silent_.*stage.file;
      if (file.IsEmpty()) continue;
      if (stage.logs_protocol) Log(RT::BaseString("Using transfer protocol %d", 1));
      Log(RT::BaseString("Updating %s file- %s", stage.name, file.c_str()));
      std::printf("%s", stage.printed);
      updated_ = true;
      if (stage.wants_restart) restart_wanted_ = true;
      bool failed = false;
      int32_t result = 0;
      if (stage.by_copy) {
        const RT::BaseString flash_path("0:%s", stage.name);
        F_remove(g_ReaderHandle, flash_path.c_str());
        result = RdrCopyFile(file.c_str(), flash_path.c_str());
        failed = result != platform::FileSize(file.c_str());
      } else {
        result = RdrOldFileCopy(file.c_str(), stage.name);
        failed = result != 0;
      }
      if (failed) return Abort(RT::BaseString("Update of %s failed (res = %d), aborting Update", stage.name, result));
      Log(RT::BaseString("Update of %s complete", stage.name));
    }
  }

  void RestartBeforeFx3() {
    if (!silent_.m_RebootBeforeFX3 || silent_.m_fx3AppFile.IsEmpty() || !restart_wanted_) return;
    Log("Restarting Reader unit");
    RdrSoftBoot();
    if (silent_.m_ReaderType == 10) platform::GetClock().Sleep(5000);
    if (!AwaitUnit(silent_, Reboot::kBeforeFx3, "Restart of reader complete")) {
      Abort("Cannot find reader after bootloader update, aborting FirmareUpdater");
    }
  }

  void Fx3Stage() {
    const RT::BaseString& file = silent_.m_fx3AppFile;
    if (file.IsEmpty() || SkipStage(silent_, silent_.m_FX3String, file, "fx3")) return;
    silent_.m_FX3String.Assign("");
    const int32_t protocol = ChooseTransferProtocol();
    Log(RT::BaseString("Using transfer protocol %d", protocol));
    Log(RT::BaseString("Updating fx3.bin file- %s", file.c_str()));
    std::printf("Updating reader fx3.bin\n");

    int32_t result = 0;
    if (protocol == 2) {
      PacketFile local;
      if (!OpenForPackets(file, "fx3App", &local)) return;
      result = RdrNewFileCopy(local.file.get(), local.size, "fx3.bin", kPacketSize);
    } else {
      result = RdrOldFileCopy(file.c_str(), "fx3.bin");
    }
    if (result != 0) return Abort(RT::BaseString("Update of fx3.bin failed (res = %d), aborting Update", result));
    Log("Update of fx3.bin complete");
    fx3_sent_ = true;
  }

  QuorvelFirmwareUpdaterSilent& silent_;
  bool updated_ = false;
  bool restart_wanted_ = false;
  bool aborted_ = false;
  bool fx3_sent_ = false;
};

}  // namespace

int32_t UpdateFirmwareSlient(QuorvelFirmwareUpdaterSilent& silent) { return UpdateRun(silent).Run(); }

// Logs a firmware mismatch; false when the run must end there (no -o).
bool QuorvelFirmwareUpdaterSilent::AcceptMismatch(const RT::BaseString& message) {
  Log(message);
  if (!m_OverrideFirmwareCheck) return false;
  Log("Override option selected");
  return true;
}

bool QuorvelFirmwareUpdaterSilent::SelectAndCheckBootloader() {
  const RT::BaseString code = m_BootString.Left(7);
  const RT::BaseString mismatch(
      "Bootloader firmware %s does not match file selected %s. (Use -o command line param to override.)",
      m_BootString.c_str(), m_BootloaderFile.c_str());
  m_SelectedBootloaderFile = m_BootloaderFile;
  if (code.CompareNoCase("FW41019") == 0) {
    if (Contains(m_BootloaderAltFile, "FW41098")) m_SelectedBootloaderFile = m_BootloaderAltFile;
    if (!Contains(m_BootloaderFile, "FW41098") && !Contains(m_BootloaderAltFile, "FW41098")) {
      return AcceptMismatch(RT::BaseString(
          "Bootloader VL120 firmware %s does not match file selected %s. (Use - o command line param to override.)",
          m_BootString.c_str(), m_BootloaderFile.c_str()));
    }
  } else if (code.CompareNoCase("FW41348") == 0 && !m_BootloaderFile.IsEmpty() && !m_BootloaderAltFile.IsEmpty()) {
    if (Contains(m_BootloaderFile, code.c_str())) return true;
    if (!Contains(m_BootloaderAltFile, code.c_str())) return AcceptMismatch(mismatch);
    m_SelectedBootloaderFile = m_BootloaderAltFile;
  } else if (!m_BootloaderFile.IsEmpty() && !Contains(m_BootloaderFile, code.c_str())) {
    return AcceptMismatch(mismatch);
  }
  return true;
}

bool QuorvelFirmwareUpdaterSilent::CheckApplication() {
  const RT::BaseString code = m_AppString.Left(7);
  const char* required = nullptr;
  if (code.CompareNoCase("FW41077") == 0) required = "FW41026";
  if (code.CompareNoCase("FW41922") == 0) required = "FW41808";
  if (required != nullptr) {
    if (Contains(m_ApplicationFile, required)) return true;
    return AcceptMismatch(RT::BaseString(
        "Application VL120 firmware %s does not match file selected %s. (Use -o command line param to override.)",
        m_AppString.c_str(), m_ApplicationFile.c_str()));
  }
  if (!m_ApplicationFile.IsEmpty() && !Contains(m_ApplicationFile, code.c_str())) {
    return AcceptMismatch(RT::BaseString(
        "Application firmware %s does not match file selected %s. (Use -o command line param to override.)",
        m_AppString.c_str(), m_ApplicationFile.c_str()));
  }
  return true;
}

int32_t QuorvelFirmwareUpdaterSilent::DoSilent() {
  WriteSessionLog("Start", kDoSilentLocation);
  WriteSessionLog(RT::BaseString("Session Start - Version %s", ProgramTitle().c_str()), nullptr);
  const int32_t result = RunUpdate();
  WriteSessionLog("End", kDoSilentLocation);
  return result;
}

int32_t QuorvelFirmwareUpdaterSilent::RunUpdate() {
  if (LoadSettingsFromIniFile(kSettingsFile) == 0) {
    Log(RT::BaseString("Error with %s file", kSettingsFile));
    return 3;
  }
  g_UseOldTransferProtocol = m_UseOldTransferProtocol;

  bool full_array_bit = true;
  if (m_FullArrayCheck) {
    const FAHANDLE full_array = FullArrayOpenUSB(nullptr);
    if (full_array != InvalidFullArrayHandle()) {
      uint32_t mask = 0;
      FullArrayStatus(full_array, &mask);
      full_array_bit = (mask & kFullArrayOmnikeyBit) != 0;
      if (full_array_bit) ControlOmnikeyReaders(false);
      FullArrayClose(full_array);
    }
  }

  struct RequiredFile {
    const RT::BaseString QuorvelFirmwareUpdaterSilent::*file;
    const char* missing;
  };
  static constexpr RequiredFile kRequiredFiles[] = {
      {&QuorvelFirmwareUpdaterSilent::m_BootloaderFile, "Bootloader File missing - %s"},
      {&QuorvelFirmwareUpdaterSilent::m_BootloaderAltFile, "BootloaderAltFile File missing - %s"},
      {&QuorvelFirmwareUpdaterSilent::m_ApplicationFile, "Application File missing - %s"},
      {&QuorvelFirmwareUpdaterSilent::m_BootIniFile, "BootIni File missing - %s"},
      {&QuorvelFirmwareUpdaterSilent::m_N5OSFile, "N5OSFile File missing - %s"},
      {&QuorvelFirmwareUpdaterSilent::m_N5AppFile, "N5AppFile File missing - %s"},
      {&QuorvelFirmwareUpdaterSilent::m_td12kiFile, "td12kiFile File missing - %s"},
      {&QuorvelFirmwareUpdaterSilent::m_td12kFile, "td12kFile File missing - %s"},
      {&QuorvelFirmwareUpdaterSilent::m_fx3AppFile, "fx3AppFile File missing - %s"},
      {&QuorvelFirmwareUpdaterSilent::m_uvBinFile, "uvBinFile File missing - %s"},
  };
  for (const RequiredFile& required : kRequiredFiles) {
    const RT::BaseString& file = this->*required.file;
    if (file.IsEmpty() || platform::IsRegularFile(file.c_str())) continue;
    Log(RT::BaseString(required.missing, file.c_str()));
    // A folder of that name would pass for the file until its transfer fails
    // half way through the update.
    if (platform::FileExists(file.c_str())) Log(RT::BaseString("%s is not a regular file", file.c_str()));
    return 5;
  }

  if (!LookForReader()) {
    Log("No Reader found");
    return 4;
  }
  if (!SelectAndCheckBootloader() || !CheckApplication()) return 2;

  const int32_t result = UpdateFirmwareSlient(*this);
  if (m_FullArrayCheck && full_array_bit) ControlOmnikeyReaders(true);
  if (m_ShowFirmwareOnFinished) LookForReader();
  return result;
}
