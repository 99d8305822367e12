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

using namespace testing_support;

constexpr const char* kBinary = QUORVEL_BINARY_DIR "/console/QuorvelFirmwareUpdaterConsole";
const std::string kTitle = "QuorvelFirmwareUpdaterConsole SW04718 Revision 2.0.9";
constexpr const char* kLogFile = "QuorvelFirmwareUpdaterConsoleLog.txt";
constexpr const char* kIni = "QuorvelFirmwareUpdater.ini";
const std::string kListing = "gVerbose 0, silent.m_ShowDetails 1\n" + kTitle + " - reader details\n";
// clang-format off
const std::string kHelp = kTitle + " command line options\n\t-h or -? : this message\n"
    "\t-o : override ini to reader firmware check (mostly for VL120)\n\t-s : only printf all reader firmware strings attached\n\n"
    "\t-v : printf messages to the command window as well\n\n";
struct ProcessRun { int exit_code = -1; std::string output; bool operator==(const ProcessRun&) const = default; };
// clang-format on

using Strings = std::vector<std::string>;
using Units = std::vector<std::pair<std::string, std::string>>;

class ConsoleTest : public testing::Test {
 protected:
  void SetUp() override { ::unsetenv("QUORVEL_SIM_DIR"), ::unsetenv("QUORVEL_SIM_CLOCK"); }
  void TearDown() override { SetUp(); }

  ProcessRun Start(const std::vector<std::string>& arguments) {
    std::string command = "cd '" + dir_.path().string() + "' && '" + kBinary + "'";
    for (const std::string& argument : arguments) command += " '" + argument + "'";
    ProcessRun run;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    for (int c; pipe != nullptr && (c = std::fgetc(pipe)) != EOF;) run.output += static_cast<char>(c);
    if (int status = pipe ? ::pclose(pipe) : -1; WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
    return run;
  }

  // Simulated units from unit files written into the working directory, on
  // virtual time.
  void SimulatedUnits(const Units& unit_files) {
    std::filesystem::create_directory(dir_.File("units"));
    for (const auto& [name, json] : unit_files) WriteFile(dir_.File("units/" + name + ".json"), json);
    ::setenv("QUORVEL_SIM_DIR", dir_.File("units").c_str(), 1), ::setenv("QUORVEL_SIM_CLOCK", "virtual", 1);
  }

  std::string Log() const { return ReadFile(dir_.File(kLogFile)); }

  // Splits the log into lines, checks each line's stamp and quoting, and
  // returns "message" or "message @ location" for each.
  std::vector<std::string> Messages() const {
    static const std::regex kLine(
        R"re((\d\d)/(\d\d)/(\d{4})T(\d\d):(\d\d):(\d\d):(\d{4}) - , "(.*?)"(, location = "(.*)")?)re");
    std::vector<std::string> messages;
    std::istringstream in(Log());
    for (std::string text; std::getline(in, text);) {
      // Progress marks of a transfer stand on lines of their own.
      if (text.find_first_not_of('.') == std::string::npos) continue;
      std::smatch m;
      EXPECT_TRUE(std::regex_match(text, m, kLine)) << "malformed line: " << text;
      if (!m.empty()) messages.push_back(m[9].matched ? m[8].str() + " @ " + m[10].str() : m[8].str());
    }
    return messages;
  }

  TempDir dir_;
};

TEST_F(ConsoleTest, HelpIsPrintedOncePerRequestAndNothingRuns) {
  EXPECT_EQ(Start({"-h", "-?", "-s", "-o", "-h"}),
            (ProcessRun{0, kHelp + kHelp + kHelp + "gVerbose 0, silent.m_ShowDetails 1\n"}));
  EXPECT_EQ(Messages(),
            (Strings{"Begin @ main", "Start Session @ " + kTitle, "End Session @ " + kTitle, "End @ main"}));
}

// With -v every line after the first two (written before the options are
// read) is echoed as it is logged.
TEST_F(ConsoleTest, MissingSettingsFileEndsWithThreeAndLogsEveryStepInOrder) {
  const ProcessRun run = Start({"-v"});
  const std::string log = Log();
  const size_t third_line = log.find('\n', log.find('\n') + 1) + 1;
  ASSERT_GT(third_line, 0u);
  EXPECT_EQ(run.output, "gVerbose 1, silent.m_ShowDetails 0\n" + log.substr(third_line));
  EXPECT_EQ(run.exit_code, 3);
  const Strings messages = Messages();
  ASSERT_EQ(messages.size(), 37u);
  // clang-format off
  // The lines of the settings load between them are the settings tests' concern.
  const Strings head = {"Begin @ main", "Start Session @ " + kTitle, "Start @ QuorvelFirmwareUpdaterSilent::DoSilent", "Session Start - Version " + kTitle,
      "Begin @ QuorvelFirmwareUpdaterSilent::LoadSettingsFromIniFile", "inifile - ./QuorvelFirmwareUpdater.ini"};
  const Strings tail = {"Error with ./QuorvelFirmwareUpdater.ini file", "End @ QuorvelFirmwareUpdaterSilent::DoSilent", "nRetCode 3", "End Session @ " + kTitle, "End @ main"};
  // clang-format on
  EXPECT_EQ(Strings(messages.begin(), messages.begin() + 6), head);
  EXPECT_EQ(Strings(messages.end() - 5, messages.end()), tail);
}

// A WR-series unit as the example unit file describes it.
std::string WrUnit(const std::string& serial, const std::string& firmware) {
  return R"({"usb": {"vendor_id": "0x17B9", "product_id": "0x4000", "serial": ")" + serial +
         R"("}, "identity": {"firmware_name": ")" + firmware +
         R"(", "fx3_firmware": "FW41582-01-04", "api_version": "0x000B"}, "soft_boot": {"reenumerate_after_ms": 4000},
  "updates": [{"file": "app.bin", "set": {"firmware_name": "FW41580-01-03"}}, {"file": "fx3.bin", "set": {"fx3_firmware": "FW41582-01-05"}}]})";
}

TEST_F(ConsoleTest, ExitCodesOfUpdatesOfSimulatedUnits) {
  for (const sim::SampleFile& f : sim::DemoFirmwareFiles())
    WriteFile(dir_.File(f.name), {f.contents.begin(), f.contents.end()});
  // Lines may end in CR LF.
  WriteFile(dir_.File(kIni),
            "[InitSettings]\r\nlocateUSBTimeout=5000\r\n"
            "[Files]\r\napplication=FW41580-01-03_WR_App.bin\r\nfx3.bin=FW41582-01-05_fx3.bin\r\n");
  const std::string done = "Firmware Update of unit Completed. Softboot the unit begining";
  // clang-format off
  struct Case { const char* firmware; Strings arguments; int exit_code; std::string last_lines; };  // firmware null: no unit
  const Case cases[] = {{"FW41580-01-02", {"-V", "--v", "/h"}, 0, done}, {nullptr, {}, 4, "No Reader found"},  // unknown options ignored
      {"FW41699-01-01", {}, 2, "Application firmware FW41699-01-01 does not match file selected "
                               "FW41580-01-03_WR_App.bin. (Use -o command line param to override.)"},
      {"FW41699-01-01", {"-o"}, 0, done}};
  // clang-format on
  for (const Case& c : cases) {
    std::filesystem::remove_all(dir_.File("units")), std::filesystem::remove(dir_.File(kLogFile));
    SimulatedUnits(c.firmware ? Units{{"wr", WrUnit("WR0001", c.firmware)}} : Units{});
    EXPECT_EQ(Start(c.arguments).exit_code, c.exit_code);
    const Strings m = Messages();
    EXPECT_TRUE(std::ranges::count(m, c.last_lines) && std::ranges::count(m, "nRetCode " + std::to_string(c.exit_code)))
        << Log();
  }
}

TEST_F(ConsoleTest, ShowDetailsListsEveryUnitInDeviceListOrder) {
  SimulatedUnits({{"b-second", WrUnit("WR0002", "FW41580-01-02")},
                  {"a-first", R"({"usb": {"product_id": "0x0047", "serial": "HX0001"},
                                  "identity": {"firmware_name": "FW41144-02-07", "application_header": "App",
                                  "boot_header": "Quorvel Boot Ldr FW41108 Built 2024-03-18          02.01 release"}})"}});
  EXPECT_EQ(Start({"-s"}),
            (ProcessRun{0, kListing +
                               "For reader serial: HX0001\n\tboot: FW41108-02-01\n\tapp: FW41144-02-07\n\tfx3: \n\n"
                               "For reader serial: WR0002\n\tboot: \n\tapp: FW41580-01-02\n\tfx3: FW41582-01-04\n\n"}));
}

}  // namespace
