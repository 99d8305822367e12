#include "dialog/update_worker.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "dialog/device_search.h"
#include "dialog/dialog_engine.h"
#include "platform/clock.h"
#include "platform/system.h"
#include "reader/flash.h"
#include "trace/trace.h"
#include "updater/engine.h"
#include "updater/local_file.h"

namespace {

constexpr uint32_t kPacketSize = 1024;
constexpr const char* kOpenFailed = "Failed to open reader link, aborting FirmareUpdater";
constexpr const char* kRestartFailed = "Cannot find reader after bootloader update, aborting FirmareUpdater";
constexpr const char* kRestartDone = "Restart of reader complete";

bool WaitsAfterRestart(int32_t reader_type) { return reader_type >= 9 && reader_type <= 13; }

// The configuration files, in the order they are sent.
struct FileStage {
  const RT::BaseString QuorvelFirmwareUpdaterSilent::*file;
  const char* name;      // on the unit and in the list lines
  const char* activity;  // the current-activity text
  bool by_copy;          // removed, then copied with F_cp; else the 900-byte copy
};
constexpr FileStage kFileStages[] = {
    {&QuorvelFirmwareUpdaterSilent::m_BootIniFile, "boot.ini", "Updating boot.ini file", false},
    {&QuorvelFirmwareUpdaterSilent::m_N5OSFile, "N5OS.xml", "Updating N5OS.xml file", true},
    {&QuorvelFirmwareUpdaterSilent::m_N5AppFile, "N5App.xml", "Updating N5App.xml file", true},
    {&QuorvelFirmwareUpdaterSilent::m_td12kiFile, "TD12Ki.xml", "Updating TD12Ki.xml file", false},
    {&QuorvelFirmwareUpdaterSilent::m_td12kFile, "TD12K.xml", "Updating TD12K.xml file", false},
    {&QuorvelFirmwareUpdaterSilent::m_uvBinFile, "uv.bin", "Updating uv.bin file", false},
};

class WorkerRun {
 public:
  WorkerRun(QuorvelFirmwareUpdaterSilent& silent, UpdateHost& host) : silent_(silent), host_(host) {}

  void Run() {
    OpenTrace();
    Message("Starting Firmware update");
    if (RdrOpen(nullptr) != 0) {
      Abort(kOpenFailed);
    } else {
      BootloaderStage();
    }
    if (RdrOpen(nullptr) != 0) {
      Message(kOpenFailed);
      aborted_ = true;
    }
    if (!aborted_) ApplicationStage();
    if (!aborted_) FileStages();
    if (!aborted_ && silent_.m_RebootBeforeFX3 && !silent_.m_fx3AppFile.IsEmpty()) Restart(false);
    if (!aborted_) Fx3Stage();
    if (!aborted_) FinalReboot();
    CloseTrace();
    host_.StepProgress();
    host_.PostRefreshControls();
    host_.PostUpdateFinished();
  }

 private:
  void Message(const std::string& text) { host_.AddMessage(text); }
  void Message(const RT::BaseString& text) { host_.AddMessage(text.c_str()); }
  void Abort(const RT::BaseString& text) {
    Message(text);
    aborted_ = true;
  }
  void Abort(const char* text) { Abort(RT::BaseString("%s", text)); }
  void Activity(const char* text) {
    host_.texts().Set(DialogTexts::kProgressInfo, text);
    host_.PostRefreshControls();
  }
  void Step() { host_.StepProgress(); }
  std::string Text(DialogTexts::Field field) const { return host_.texts().Get(field); }
  void ClearIdentity() {
    host_.texts().Set(DialogTexts::kBoot, "");
    host_.texts().Set(DialogTexts::kApp, "");
    host_.texts().Set(DialogTexts::kFx3, "");
  }

  void OpenTrace() {
    if (!silent_.m_VerboseLogging || LogGetGlobal() != nullptr) return;
    const LOGHANDLE log = LogOpen(kTraceLogFile, kTraceDetail);
    if (!LogIsValid(log)) return;
    LogSetGlobal(log);
    trace_ = log;
  }

  // A handle still open holds an instance of the log, which refuses to close
  // under it; the handle goes first then.
  void CloseTrace() {
    if (trace_ == nullptr) return;
    LogSetGlobal(nullptr);
    if (LogClose(trace_) != 1) {
      RdrCloseHandle();
      LogClose(trace_);
    }
    trace_ = nullptr;
  }

  // Whether the stage's file is the version, or the part, the unit runs.
  bool Skip(const std::string& unit_string, const RT::BaseString& file, const char* part) {
    const RT::BaseString unit(unit_string.c_str(), static_cast<int32_t>(unit_string.size()));
    if (silent_.m_SkipSameFirmware && IsSameFirmware(unit, file, LogStyle::kDialog)) {
      Message(RT::BaseString("Skipping %s firmware update - same version already loaded", part));
      return true;
    }
    if (silent_.m_SkipSimilarFirmware && IsSimilarFirmware(unit, file, LogStyle::kDialog)) {
      Message(RT::BaseString("Skipping %s firmware update - Similar version already loaded", part));
      return true;
    }
    return false;
  }

  void BootloaderStage() {
    const RT::BaseString& file = silent_.m_SelectedBootloaderFile;
    if (file.IsEmpty() || Skip(Text(DialogTexts::kBoot), file, "bootloader")) return;
    host_.texts().Set(DialogTexts::kBoot, "");
    Message(RT::BaseString("Updating bootloader firmware file - %s", file.c_str()));
    Step();
    Activity("Updating bootloader firmware. DO NOT POWER OFF UNIT");
    const int32_t result = RestoreFlash(file, LogStyle::kDialog);
    Step();
    if (result != 0) {
      Abort(RT::BaseString("Update of bootloader failed (res = %d), aborting Update", result));
      host_.PostRefreshControls();
      return;
    }
    Message("Update of bootloader complete");
    if (silent_.m_SkipTheBootloaderReset) {
      Activity("Skipping reset");
    } else {
      Restart(true);
    }
    Step();
  }

  // The soft boot and the wait for the unit to come back, after the
  // bootloader or before the FX3 firmware.
  void Restart(bool after_bootloader) {
    Activity("Restarting Reader unit");
    Step();
    ClearIdentity();
    RdrSoftBoot(LogStyle::kDialog);
    Step();
    platform::Clock& clock = platform::GetClock();
    const auto locate_ms = static_cast<uint32_t>(std::max(silent_.m_LocateUSBTimeout, 0));
    if (after_bootloader && WaitsAfterRestart(silent_.m_ReaderType)) clock.Sleep(locate_ms);
    if (!after_bootloader && silent_.m_ReaderType == 10) clock.Sleep(5000);
    const int32_t search = SearchDeviceThreaded(silent_, host_, false);
    Step();
    if (!after_bootloader && WaitsAfterRestart(silent_.m_ReaderType)) clock.Sleep(locate_ms);
    const int32_t opened = RdrOpen(nullptr);

    bool regained = opened == 0;
    if (search == 0 && opened != 0) {
      const auto limit = static_cast<uint32_t>(std::max(silent_.m_LocateUSBTimeout / 1000, 0));
      const auto start = static_cast<uint32_t>(clock.Seconds());
      int32_t check = opened;
      for (;;) {
        if (check == 0) {
          regained = true;
          break;
        }
        clock.Sleep(1000);
        if (static_cast<uint32_t>(clock.Seconds()) - start > limit) break;
        check = DialogCheckConnection(silent_.m_ReaderType);
      }
      if (!regained) regained = DialogCheckConnection(silent_.m_ReaderType) == 0 || RdrOpen(nullptr) == 0;
    }
    if (regained) {
      Message(kRestartDone);
    } else {
      Abort(kRestartFailed);
    }
  }

  // Opens a file for a packet transfer and reads the 32 bytes it starts with.
  bool OpenForPackets(const RT::BaseString& path, const char* what, PacketFile* opened) {
    const std::string failure = OpenFirmwareForPackets(path.c_str(), what, opened);
    if (!failure.empty()) Abort(failure.c_str());
    return failure.empty();
  }

  void ApplicationStage() {
    const RT::BaseString& file = silent_.m_ApplicationFile;
    if (file.IsEmpty() || Skip(Text(DialogTexts::kApp), file, "application")) return;
    host_.texts().Set(DialogTexts::kApp, "");
    const int32_t protocol = ChooseTransferProtocol();
    Message(RT::BaseString("Using transfer protocol %d", protocol));
    Activity("Updating application firmware");

    if (RDRIsWR2200Based(g_ReaderHandle)) {
      Step();
      Message(RT::BaseString("Updating application firmware file- %s", file.c_str()));
      const int32_t result = WR2200FileCopy(file.c_str(), protocol, LogStyle::kDialog);
      Step();
      if (result != 0) {
        return Abort(RT::BaseString("Update of application firmware failed (res = %d), aborting Update", result));
      }
      Message("Update of application firmware complete");
      Step();
    } else if (protocol == 2) {
      Message(RT::BaseString("Updating app.bin firmware file- %s", file.c_str()));
      PacketFile local;
      if (!OpenForPackets(file, "application", &local)) return;
      if (!IsApplicationHeader(local.header)) return Abort("Invalid application file header, aborting Update");
      const int32_t result = RdrNewFileCopy(local.file.get(), local.size, "app.bin", kPacketSize, LogStyle::kDialog);
      if (result != 0) return Abort(RT::BaseString("Update of app.bin failed (res = %d), aborting Update", result));
      Step();
    } else {
      Step();
      Message(RT::BaseString("Updating app.bin firmware file- %s", file.c_str()));
      const int32_t result = RdrOldFileCopy(file.c_str(), "app.bin", LogStyle::kDialog);
      Step();
      if (result != 0) return Abort(RT::BaseString("Update of app.bin failed (res = %d), aborting Update", result));
      Message("Update of app.bin complete");
      Step();
    }
  }

  void FileStages() {
    for (const FileStage& stage : kFileStages) {
      const RT::BaseString& file = silent_.*stage.file;
      if (file.IsEmpty()) continue;
      Message(RT::BaseString("Using transfer protocol %d", 1));
      Activity(stage.activity);
      Message(RT::BaseString("Updating %s file- %s", stage.name, file.c_str()));
      int32_t result = 0;
      bool failed = false;
      if (stage.by_copy) {
        const RT::BaseString flash_path("0:%s", stage.name);
        F_remove(g_ReaderHandle, flash_path.c_str());
        Step();
        result = RdrCopyFile(file.c_str(), flash_path.c_str(), LogStyle::kDialog);
        failed = result != platform::FileSize(file.c_str());
      } else {
        result = RdrOldFileCopy(file.c_str(), stage.name, LogStyle::kDialog);
        failed = result != 0;
      }
      Step();
      if (failed) return Abort(RT::BaseString("Update of %s failed (res = %d), aborting Update", stage.name, result));
      Message(RT::BaseString("Update of %s complete", stage.name));
      Step();
    }
  }

  void Fx3Stage() {
    const RT::BaseString& file = silent_.m_fx3AppFile;
    if (file.IsEmpty() || Skip(Text(DialogTexts::kFx3), file, "fx3")) return;
    host_.texts().Set(DialogTexts::kFx3, "");
    const int32_t protocol = ChooseTransferProtocol();
    Message(RT::BaseString("Using transfer protocol %d", protocol));
    Message(RT::BaseString("Updating fx3.bin file- %s", file.c_str()));
    Activity("Updating fx3.bin file");
    int32_t result = 0;
    if (protocol == 2) {
      PacketFile local;
      if (!OpenForPackets(file, "fx3App", &local)) return;
      result = RdrNewFileCopy(local.file.get(), local.size, "fx3.bin", kPacketSize, LogStyle::kDialog);
    } else {
      result = RdrOldFileCopy(file.c_str(), "fx3.bin", LogStyle::kDialog);
    }
    Step();
    if (result != 0) return Abort(RT::BaseString("Update of fx3.bin failed (res = %d), aborting Update", result));
    Message("Update of fx3.bin complete");
    Step();
  }

  void FinalReboot() {
    ClearIdentity();
    RdrSoftBoot(LogStyle::kDialog);
    host_.texts().Set(DialogTexts::kProgressInfo, "Update of reader unit completed. Final reboot in progress");
    Message("Update of unit Completed");
    host_.PostRefreshControls();
    if (WaitsAfterRestart(silent_.m_ReaderType)) {
      platform::GetClock().Sleep(static_cast<uint32_t>(std::max(silent_.m_LocateUSBTimeout, 0)));
    }
    host_.texts().Set(DialogTexts::kSerial, "");
    Message("Final Reboot of unit initiated");
  }

  QuorvelFirmwareUpdaterSilent& silent_;
  UpdateHost& host_;
  bool aborted_ = false;
  LOGHANDLE trace_ = nullptr;
};

}  // namespace

int32_t UpdateProgressRange(const QuorvelFirmwareUpdaterSilent& silent) {
  int32_t range = silent.m_BootloaderFile.IsEmpty() ? 1 : 6;
  for (const RT::BaseString* file :
       {&silent.m_ApplicationFile, &silent.m_BootIniFile, &silent.m_N5OSFile, &silent.m_N5AppFile, &silent.m_td12kiFile,
        &silent.m_td12kFile, &silent.m_fx3AppFile, &silent.m_uvBinFile}) {
    if (!file->IsEmpty()) range += 3;
  }
  return range;
}

int32_t UpdateWorker::StartUpdateWorker(bool useOldTransferProtocol) {
  Join();
  g_UseOldTransferProtocol = useOldTransferProtocol;
  thread_ = std::thread([this] { WorkerRun(silent_, host_).Run(); });
  return 0;
}
