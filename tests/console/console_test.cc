// The console program as a user runs it: a process in a working directory,
// its standard output, its exit code and the session log it leaves.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "sim/firmware_files.h"
#include "tests/support/temp_dir.h"

namespace {

using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

constexpr const char* kBinary = QUORVEL_BINARY_DIR "/console/QuorvelFirmwareUpdaterConsole";
constexpr const char* kTitle = "QuorvelFirmwareUpdaterConsole SW04718 Revision 2.0.9";
constexpr const char* kLogFile = "QuorvelFirmwareUpdaterConsoleLog.txt";

const std::string kHelp = std::string(kTitle) +
                          " command line options\n"
                          "\t-h or -? : this message\n"
                          "\t-o : override ini to reader firmware check (mostly for VL120)\n"
                          "\t-s : only printf all reader firmware strings attached\n\n"
                          "\t-v : printf messages to the command window as well\n\n";

struct ProcessRun {
  int exit_code = -1;
  std::string output;
};

struct LogLine {
  std::string message;
  std::string location;  // empty when the line has none
  bool has_location = false;
};

class ConsoleTest : public testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv("QUORVEL_SIM_DIR");
    ::unsetenv("QUORVEL_SIM_CLOCK");
  }
  void TearDown() override { SetUp(); }

  ProcessRun Start(const std::vector<std::string>& arguments) {
    std::string command = std::string("cd '") + dir_.path().string() + "' && '" + kBinary + "'";
    for (const std::string& argument : arguments) command += " '" + argument + "'";
    ProcessRun run;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[4096];
    size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, count);
    int status = ::pclose(pipe);
    if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
    return run;
  }

  // Simulated units from unit files written into the working directory, on
  // virtual time.
  void SimulatedUnits(const std::vector<std::pair<std::string, std::string>>& unit_files) {
    std::filesystem::create_directory(dir_.File("units"));
    for (const auto& [name, json] : unit_files) WriteFile(dir_.File("units/" + name + ".json"), json);
    ::setenv("QUORVEL_SIM_DIR", dir_.File("units").c_str(), 1);
    ::setenv("QUORVEL_SIM_CLOCK", "virtual", 1);
  }

  std::string Log() const { return ReadFile(dir_.File(kLogFile)); }

  // Splits the log into lines and checks each line's stamp and quoting.
  std::vector<LogLine> LogLines() const {
    static const std::regex kLine(
        R"re((\d\d)/(\d\d)/(\d{4})T(\d\d):(\d\d):(\d\d):(\d{4}) - , "(.*?)"(, location = "(.*)")?)re");
    std::vector<LogLine> lines;
    std::istringstream in(Log());
    std::string text;
    while (std::getline(in, text)) {
      // Progress marks of a transfer stand on lines of their own.
      if (text.find_first_not_of('.') == std::string::npos) continue;
      std::smatch match;
      EXPECT_TRUE(std::regex_match(text, match, kLine)) << "malformed line: " << text;
      if (!match.empty()) lines.push_back({match[8], match[10], match[9].matched});
    }
    return lines;
  }

  static std::vector<std::string> Messages(const std::vector<LogLine>& lines) {
    std::vector<std::string> messages;
    for (const LogLine& line : lines) {
      messages.push_back(line.has_location ? line.message + " @ " + line.location : line.message);
    }
    return messages;
  }

  TempDir dir_;
};

TEST_F(ConsoleTest, HelpIsPrintedOncePerRequestAndNothingRuns) {
  ProcessRun run = Start({"-h", "-?", "-s", "-o", "-h"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, kHelp + kHelp + kHelp + "gVerbose 0, silent.m_ShowDetails 1\n");
  const std::vector<std::string> expected = {
      "Begin @ main",
      std::string("Start Session @ ") + kTitle,
      std::string("End Session @ ") + kTitle,
      "End @ main",
  };
  EXPECT_EQ(Messages(LogLines()), expected);
  EXPECT_EQ(Log().find("nRetCode"), std::string::npos);
}

// With -v every line after the first two (written before the options are
// read) is echoed as it is logged.
TEST_F(ConsoleTest, MissingSettingsFileEndsWithThreeAndLogsEveryStepInOrder) {
  ProcessRun run = Start({"-v"});
  EXPECT_EQ(run.exit_code, 3);
  const std::string log = Log();
  const size_t third_line = log.find('\n', log.find('\n') + 1) + 1;
  ASSERT_GT(third_line, 0u);
  EXPECT_EQ(run.output, "gVerbose 1, silent.m_ShowDetails 0\n" + log.substr(third_line));
  const std::vector<std::string> messages = Messages(LogLines());
  ASSERT_EQ(messages.size(), 37u);
  EXPECT_EQ(messages[0], "Begin @ main");
  EXPECT_EQ(messages[1], std::string("Start Session @ ") + kTitle);
  EXPECT_EQ(messages[2], "Start @ QuorvelFirmwareUpdaterSilent::DoSilent");
  EXPECT_EQ(messages[3], std::string("Session Start - Version ") + kTitle);
  EXPECT_EQ(messages[4], "Begin @ QuorvelFirmwareUpdaterSilent::LoadSettingsFromIniFile");
  EXPECT_EQ(messages[5], "inifile - ./QuorvelFirmwareUpdater.ini");
  EXPECT_EQ(messages[6], "");
  EXPECT_EQ(messages[7], "SettingsFromIni");
  EXPECT_EQ(messages[8], "locateUSBTimeout - 30000");
  EXPECT_EQ(messages[29], "m_ReaderType - 0");
  EXPECT_EQ(messages[30], "No reader selected or firmware mismatch in ini file");
  EXPECT_EQ(messages[31], "End @ QuorvelFirmwareUpdaterSilent::LoadSettingsFromIniFile");
  EXPECT_EQ(messages[32], "Error with ./QuorvelFirmwareUpdater.ini file");
  EXPECT_EQ(messages[33], "End @ QuorvelFirmwareUpdaterSilent::DoSilent");
  EXPECT_EQ(messages[34], "nRetCode 3");
  EXPECT_EQ(messages[35], std::string("End Session @ ") + kTitle);
  EXPECT_EQ(messages[36], "End @ main");
}

TEST_F(ConsoleTest, AMissingFirmwareFileEndsWithFiveBeforeAnyUnitIsSought) {
  WriteFile(dir_.File("QuorvelFirmwareUpdater.ini"),
            "[InitSettings]\r\nRemoveDevices=1\r\n[Files]\r\napplication=files/FW41580_02_11.bin\r\n");
  ProcessRun run = Start({"-o", "-V", "--v", "/h"});
  EXPECT_EQ(run.exit_code, 5);
  EXPECT_EQ(run.output, "gVerbose 0, silent.m_ShowDetails 0\n");
  const std::vector<std::string> messages = Messages(LogLines());
  ASSERT_EQ(messages.size(), 36u);
  EXPECT_EQ(messages[12], "removeDevices - 1");
  EXPECT_EQ(messages[21], "m_ApplicationFile - files/FW41580_02_11.bin");
  EXPECT_EQ(messages[29], "m_ReaderType - 4");
  EXPECT_EQ(messages[31], "Application File missing - files/FW41580_02_11.bin");
  EXPECT_EQ(messages[33], "nRetCode 5");
}

TEST_F(ConsoleTest, ShowDetailsRunsTheListingInsteadOfTheUpdate) {
  WriteFile(dir_.File("QuorvelFirmwareUpdater.ini"), "[Files]\napplication=FW41580.bin\n");
  ProcessRun run = Start({"-s", "-o"});
  EXPECT_EQ(run.output, std::string("gVerbose 0, silent.m_ShowDetails 1\n") + kTitle + " - reader details\n");
  EXPECT_EQ(run.exit_code, 0);
  const std::vector<std::string> messages = Messages(LogLines());
  const std::vector<std::string> expected = {
      "Begin @ main",
      std::string("Start Session @ ") + kTitle,
      "Start @ QuorvelFirmwareUpdaterSilent::ShowAllReaders",
      "End @ QuorvelFirmwareUpdaterSilent::ShowAllReaders",
      "nRetCode 0",
      std::string("End Session @ ") + kTitle,
      "End @ main",
  };
  EXPECT_EQ(messages, expected);
}

// A WR-series unit as the example unit file describes it.
std::string WrUnit(const std::string& serial, const std::string& firmware) {
  return R"({"usb": {"vendor_id": "0x17B9", "product_id": "0x4000", "serial": ")" + serial +
         R"("}, "identity": {"firmware_name": ")" + firmware +
         R"(", "fx3_firmware": "FW41582-01-04", "api_version": "0x000B"},
  "soft_boot": {"reenumerate_after_ms": 4000},
  "updates": [{"file": "app.bin", "set": {"firmware_name": "FW41580-01-03"}},
              {"file": "fx3.bin", "set": {"fx3_firmware": "FW41582-01-05"}}]})";
}

TEST_F(ConsoleTest, ExitCodesOfUpdatesOfSimulatedUnits) {
  for (const sim::SampleFile& file : sim::DemoFirmwareFiles()) {
    WriteFile(dir_.File(file.name), std::string(file.contents.begin(), file.contents.end()));
  }
  WriteFile(dir_.File("QuorvelFirmwareUpdater.ini"),
            "[InitSettings]\nlocateUSBTimeout=5000\n"
            "[Files]\napplication=FW41580-01-03_WR_App.bin\nfx3.bin=FW41582-01-05_fx3.bin\n");
  struct Case {
    const char* firmware;  // null: no unit attached
    std::vector<std::string> arguments;
    int exit_code;
    const char* last_lines;
  };
  const Case cases[] = {
      {"FW41580-01-02", {}, 0, "Firmware Update of unit Completed. Softboot the unit begining"},
      {nullptr, {}, 4, "No Reader found"},
      {"FW41699-01-01",
       {},
       2,
       "Application firmware FW41699-01-01 does not match file selected FW41580-01-03_WR_App.bin. (Use -o command "
       "line param to override.)"},
      {"FW41699-01-01", {"-o"}, 0, "Firmware Update of unit Completed. Softboot the unit begining"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.firmware ? c.firmware : "no unit");
    std::filesystem::remove_all(dir_.File("units"));
    std::filesystem::remove(dir_.File(kLogFile));
    SimulatedUnits(c.firmware ? std::vector<std::pair<std::string, std::string>>{{"wr", WrUnit("WR0001", c.firmware)}}
                              : std::vector<std::pair<std::string, std::string>>{});
    ProcessRun run = Start(c.arguments);
    EXPECT_EQ(run.exit_code, c.exit_code);
    const std::vector<std::string> messages = Messages(LogLines());
    EXPECT_NE(std::find(messages.begin(), messages.end(), c.last_lines), messages.end()) << Log();
    EXPECT_NE(std::find(messages.begin(), messages.end(), "nRetCode " + std::to_string(c.exit_code)), messages.end());
  }
  // The unit of the last run reports what it received, and -s lists it.
  ProcessRun listing = Start({"-s"});
  EXPECT_EQ(listing.exit_code, 0);
  EXPECT_EQ(listing.output, std::string("gVerbose 0, silent.m_ShowDetails 1\n") + kTitle +
                                " - reader details\n"
                                "For reader serial: WR0001\n\tboot: \n\tapp: FW41580-01-03\n\tfx3: FW41582-01-05\n\n");
}

TEST_F(ConsoleTest, ShowDetailsListsEveryUnitInDeviceListOrder) {
  SimulatedUnits({{"b-second", WrUnit("WR0002", "FW41580-01-02")},
                  {"a-first", R"({"usb": {"product_id": "0x0047", "serial": "HX0001"},
                                  "identity": {"firmware_name": "FW41144-02-07", "application_header": "App",
                                  "boot_header": "Quorvel Boot Ldr FW41108 Built 2024-03-18          02.01 release"}})"}});
  ProcessRun run = Start({"-s"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, std::string("gVerbose 0, silent.m_ShowDetails 1\n") + kTitle +
                            " - reader details\n"
                            "For reader serial: HX0001\n\tboot: FW41108-02-01\n\tapp: FW41144-02-07\n\tfx3: \n\n"
                            "For reader serial: WR0002\n\tboot: \n\tapp: FW41580-01-02\n\tfx3: FW41582-01-04\n\n");
}

TEST_F(ConsoleTest, RunsAppendToTheSameLog) {
  ProcessRun first = Start({"-h"});
  const std::string after_first = Log();
  ProcessRun second = Start({});
  EXPECT_EQ(first.exit_code, 0);
  EXPECT_EQ(second.exit_code, 3);
  EXPECT_EQ(second.output, "gVerbose 0, silent.m_ShowDetails 0\n");
  const std::string log = Log();
  EXPECT_EQ(log.substr(0, after_first.size()), after_first);
  std::vector<LogLine> lines = LogLines();
  ASSERT_EQ(lines.size(), 4u + 37u);
  EXPECT_EQ(lines[3].message, "End");
  EXPECT_EQ(lines[4].message, "Begin");
  EXPECT_EQ(lines[5].message, "Start Session");
  EXPECT_EQ(lines[39].message, "End Session");
}

TEST_F(ConsoleTest, ALogThatCannotBeOpenedChangesNothingButTheLog) {
  std::filesystem::create_directory(dir_.File(kLogFile));
  ProcessRun run = Start({"-v"});
  EXPECT_EQ(run.exit_code, 3);
  EXPECT_EQ(run.output, "gVerbose 1, silent.m_ShowDetails 0\n");
}

}  // namespace
