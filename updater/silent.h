// The update-engine object: the settings of one run, the configured file
// names, the selected reader type with its USB product ids, and the unit's
// identity strings once they have been read.
#pragma once

#include <array>
#include <cstdint>

#include "updater/base_string.h"

// Where DoSilent reads its settings: the file of that name in the working
// directory.
inline constexpr const char* kSettingsFile = "./QuorvelFirmwareUpdater.ini";

class QuorvelFirmwareUpdaterSilent {
 public:
  QuorvelFirmwareUpdaterSilent() = default;
  ~QuorvelFirmwareUpdaterSilent() = default;
  QuorvelFirmwareUpdaterSilent(const QuorvelFirmwareUpdaterSilent&) = delete;
  QuorvelFirmwareUpdaterSilent& operator=(const QuorvelFirmwareUpdaterSilent&) = delete;

  // Reads the settings file, records every setting in the session log and
  // selects the reader type. 1 when a reader type was selected, 0 when none
  // was. A missing file is no error: every setting takes its default.
  int32_t LoadSettingsFromIniFile(const char* path);

  // The unattended update; the result is the console's exit code (0 done,
  // 2 mismatch or aborted, 3 no reader type, 4 no unit, 5 missing file).
  int32_t DoSilent();

  // Lists every attached reader's strings on standard output; always 0.
  int32_t ShowAllReaders();

  // Waits for the unit and reads its identity strings; false when no unit
  // was found (the strings then say "Not Found", the serial is empty).
  bool LookForReader();

  std::array<int32_t, 10> m_ProductIds{};
  int32_t m_LocateUSBTimeout = 0;
  int32_t m_LocateUSBTimeoutRest = 0;
  int32_t m_FormatTimeout = 0;
  int32_t m_CopyTimeout = 0;
  int32_t m_DevFound = 0;
  bool m_RemoveDevices = false;
  bool m_VerboseLogging = false;
  RT::BaseString m_SerialString;
  RT::BaseString m_AppString;
  RT::BaseString m_FX3String;
  RT::BaseString m_BootString;
  bool m_OverrideFirmwareCheck = false;
  bool m_ShowDetails = false;
  RT::BaseString m_N5OSFile;
  RT::BaseString m_N5AppFile;
  RT::BaseString m_BootloaderFile;
  RT::BaseString m_BootloaderAltFile;
  RT::BaseString m_SelectedBootloaderFile;
  RT::BaseString m_ApplicationFile;
  RT::BaseString m_BootIniFile;
  int32_t m_ReaderType = 0;
  RT::BaseString m_td12kiFile;
  RT::BaseString m_td12kFile;
  RT::BaseString m_fx3AppFile;
  RT::BaseString m_uvBinFile;
  bool m_SkipTheBootloaderReset = false;
  bool m_UseOldTransferProtocol = false;
  bool m_RebootBeforeFX3 = false;
  bool m_SkipSameFirmware = false;
  bool m_SkipSimilarFirmware = false;
  bool m_ShowFirmwareOnFinished = false;
  bool m_FullArrayCheck = false;

 private:
  void SelectReaderType();
  // DoSilent between its Start and End lines.
  int32_t RunUpdate();
  // Chooses m_SelectedBootloaderFile and checks the bootloader and
  // application files against the unit's codes; false ends the run (a
  // mismatch without the override).
  bool SelectAndCheckBootloader();
  bool CheckApplication();
  bool AcceptMismatch(const RT::BaseString& message);
};
