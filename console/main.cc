// QuorvelFirmwareUpdaterConsole: the unattended front end of the updater.
// Runs one action per start (the update, or with -s the reader listing) and
// returns its result as the exit code.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "console/session_log.h"
#include "reader/rdr.h"
#include "sim/usb_backend.h"
#include "updater/program_title.h"
#include "updater/session_log.h"
#include "updater/silent.h"

namespace {

constexpr const char* kProgramTitle = "QuorvelFirmwareUpdaterConsole SW04718 Revision 2.0.9";
constexpr const char* kSessionLogFile = "QuorvelFirmwareUpdaterConsoleLog.txt";

void PrintHelp() {
  std::printf("%s command line options\n", ProgramTitle().c_str());
  std::printf("\t-h or -? : this message\n");
  std::printf("\t-o : override ini to reader firmware check (mostly for VL120)\n");
  std::printf("\t-s : only printf all reader firmware strings attached\n\n");
  std::printf("\t-v : printf messages to the command window as well\n\n");
}

}  // namespace

int main(int argc, char** argv) {
  SetProgramTitle(kProgramTitle);

  // Without a log the run still goes on; the writer then skips every line.
  OpenSessionLog(kSessionLogFile);
  WriteSessionLog("Begin", "main");
  WriteSessionLog("Start Session", ProgramTitle().c_str());

  int32_t exit_code = 0;
  {
    QuorvelFirmwareUpdaterSilent silent;

    bool help_shown = false;
    for (int i = 1; i < argc; ++i) {
      const char* argument = argv[i];
      if (std::strcmp(argument, "-o") == 0) {
        silent.m_OverrideFirmwareCheck = true;
      } else if (std::strcmp(argument, "-v") == 0) {
        gVerbose = true;
      } else if (std::strcmp(argument, "-s") == 0) {
        silent.m_ShowDetails = true;
      } else if (std::strcmp(argument, "-?") == 0 || std::strcmp(argument, "-h") == 0) {
        PrintHelp();
        help_shown = true;
      }
    }

    std::printf("gVerbose %d, silent.m_ShowDetails %d\n", gVerbose ? 1 : 0, silent.m_ShowDetails ? 1 : 0);

    if (!help_shown) {
      // QUORVEL_SIM_DIR, when set, puts simulated units behind the USB
      // boundary in place of attached hardware.
      sim::InstallFromEnvironment();
      RDRInitialize();
      exit_code = silent.m_ShowDetails ? silent.ShowAllReaders() : silent.DoSilent();
      WriteSessionLog(RT::BaseString("nRetCode %d", exit_code), nullptr);
    }
  }

  WriteSessionLog("End Session", ProgramTitle().c_str());
  WriteSessionLog("End", "main");
  CloseSessionLog();
  return exit_code;
}
