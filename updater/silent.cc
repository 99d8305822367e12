#include "updater/silent.h"

#include "updater/program_title.h"
#include "updater/session_log.h"

namespace {

constexpr const char* kDoSilentLocation = "QuorvelFirmwareUpdaterSilent::DoSilent";
constexpr const char* kShowAllReadersLocation = "QuorvelFirmwareUpdaterSilent::ShowAllReaders";

}  // namespace

int32_t QuorvelFirmwareUpdaterSilent::DoSilent() {
  WriteSessionLog("Start", kDoSilentLocation);
  int32_t result = 2;
  WriteSessionLog(RT::BaseString("Session Start - Version %s", ProgramTitle().c_str()), nullptr);

  if (LoadSettingsFromIniFile(kSettingsFile) == 0) {
    WriteSessionLog(RT::BaseString("Error with %s file", kSettingsFile), nullptr);
    result = 3;
  } else {
    // The file checks, the unit search and the transfer stages are not part
    // of this build yet; an update must never be reported as done.
    WriteSessionLog("Update is not available in this build", nullptr);
  }

  WriteSessionLog("End", kDoSilentLocation);
  return result;
}

int32_t QuorvelFirmwareUpdaterSilent::ShowAllReaders() {
  WriteSessionLog("Start", kShowAllReadersLocation);
  WriteSessionLog("Reader listing is not available in this build", nullptr);
  WriteSessionLog("End", kShowAllReadersLocation);
  return 2;
}
