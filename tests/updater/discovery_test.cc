// Finding and identifying the unit on the virtual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim/request_handler.h"
#include "tests/support/fake_pcsc.h"
#include "tests/support/session_log_recorder.h"
#include "tests/support/sim_bench.h"
#include "updater/engine.h"
#include "updater/silent.h"

namespace {

using testing_support::SimBench;

// Answers the firmware-name request with "unknown" until it has refused
// `refusals` of them.
class LateFirmwareName final : public sim::RequestHandler {
 public:
  explicit LateFirmwareName(int refusals) : refusals_(refusals) {}
  std::optional<std::vector<uint8_t>> Handle(uint8_t command, std::span<const uint8_t> body) override {
    if (command != 14 || body.empty() || body[0] != 6 || refusals_ == 0) return std::nullopt;
    --refusals_;
    return std::vector<uint8_t>{0xF6, 0xFE, 0xFF, 0xFF};
  }
  void Save() override {}

 private:
  int refusals_;
};

class DiscoveryTest : public testing::Test {
 protected:
  ~DiscoveryTest() override { RdrCloseHandle(); }

  // Product ids as the settings of a reader type leave them.
  void SelectReaderType(int32_t reader_type, int32_t product_id, int32_t timeout_ms) {
    silent_.m_ReaderType = reader_type;
    silent_.m_ProductIds.fill(0);
    silent_.m_ProductIds[0] = 0x40;
    silent_.m_ProductIds[1] = product_id;
    silent_.m_LocateUSBTimeout = timeout_ms;
  }
  int Count(const std::string& message) const {
    const auto messages = log_.Messages();
    return static_cast<int>(std::count(messages.begin(), messages.end(), message));
  }

  SimBench bench_;
  testing_support::SessionLogRecorder log_;
  QuorvelFirmwareUpdaterSilent silent_;
};

TEST_F(DiscoveryTest, SearchTimeLimitFollowsTheSettingAndTheLastFind) {
  struct Case {
    int32_t timeout_ms;
    int32_t dev_found_before;
    uint32_t unit_back_after_ms;  // the unit appears this late
    int32_t result;
    uint64_t elapsed_ms;
  };
  const Case cases[] = {
      {30000, 0, 1000000, 0, 31000},  // gives up a little over 30 s
      {30000, 0, 20500, 2, 21000},    // found while still looking
      {999, 0, 100500, 2, 101000},    // below a second: no limit
      {30000, 2, 100500, 2, 101000},  // last found in the boot loader: no limit
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.timeout_ms);
    SimBench bench;
    sim::Unit& unit = bench.AddUnit(testing_support::Fx2UnitConfig());
    unit.Disconnect(c.unit_back_after_ms);
    SelectReaderType(2, 0x47, c.timeout_ms);
    silent_.m_DevFound = c.dev_found_before;
    EXPECT_EQ(LookForHardwareSilent(silent_), c.result);
    EXPECT_EQ(silent_.m_DevFound, c.result == 0 ? 0 : 1);
    EXPECT_EQ(bench.clock().Elapsed(), c.elapsed_ms);
  }
}

TEST_F(DiscoveryTest, UnitInItsBootLoaderIsFoundFirstAndLiftsTheNextLimit) {
  sim::UnitConfig config = testing_support::Fx2UnitConfig();
  config.product_id = 0x40;
  bench_.AddUnit(config);
  SelectReaderType(2, 0x47, 30000);
  EXPECT_EQ(LookForHardwareSilent(silent_), 1);
  EXPECT_EQ(silent_.m_DevFound, 2);
  EXPECT_EQ(bench_.clock().Elapsed(), 0u);
  log_.Clear();
  LookForHardwareSilent(silent_);
  EXPECT_EQ(log_.Messages().at(1), "devFound 2,  readerType 2, secs -1");
}

TEST_F(DiscoveryTest, IdentityStringsByReaderType) {
  struct Case {
    int32_t reader_type;
    const char* fx3;
  };
  for (const Case& c : {Case{7, "Not Found"}, Case{8, "FW41582-01-04"}, Case{2, "Not Found"}}) {
    SCOPED_TRACE(c.reader_type);
    SimBench bench;
    sim::UnitConfig config = testing_support::Fx2UnitConfig();
    config.fx3_firmware = "FW41582-01-04";
    bench.AddUnit(config);
    SelectReaderType(c.reader_type, 0x47, 30000);
    ASSERT_TRUE(silent_.LookForReader());
    EXPECT_STREQ(silent_.m_AppString.c_str(), "FW41144-02-07");
    EXPECT_STREQ(silent_.m_BootString.c_str(), "FW41108-02-01");
    EXPECT_STREQ(silent_.m_SerialString.c_str(), "HX0001");
    EXPECT_STREQ(silent_.m_FX3String.c_str(), c.fx3);
  }
}

TEST_F(DiscoveryTest, NoUnitLeavesTheNotFoundTexts) {
  SelectReaderType(2, 0x47, 2000);
  silent_.m_SerialString.Assign("old");
  EXPECT_FALSE(silent_.LookForReader());
  EXPECT_STREQ(silent_.m_AppString.c_str(), "Not Found");
  EXPECT_STREQ(silent_.m_BootString.c_str(), "Not Found");
  EXPECT_STREQ(silent_.m_FX3String.c_str(), "Not Found");
  EXPECT_STREQ(silent_.m_SerialString.c_str(), "");
}

TEST_F(DiscoveryTest, Td12kUnitIsGivenTimeToBoot) {
  struct Case {
    int32_t timeout_ms;
    int refusals;
    const char* wait_line;
    long failed_reads;
    const char* app;
  };
  const Case cases[] = {
      {30000, 1000, "TD12K(i) unit waiting up to 30 sec for boot up", 32, "Not Found"},
      {5000, 1000, "TD12K(i) unit waiting up to 10 sec for boot up", 12, "Not Found"},
      // Answers after a few tries: the wait ends at once.
      {30000, 9, "TD12K(i) unit waiting up to 30 sec for boot up", -1, "FW41144-02-07"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.wait_line);
    SimBench bench;
    sim::Unit& unit = bench.AddUnit(testing_support::Fx2UnitConfig());
    unit.AddHandler(std::make_unique<LateFirmwareName>(c.refusals));
    SelectReaderType(10, 0x47, c.timeout_ms);
    log_.Clear();
    ASSERT_TRUE(silent_.LookForReader());
    EXPECT_EQ(Count(c.wait_line), 1);
    // A unit that does not name its firmware cannot be opened yet.
    const auto& lines = log_.lines();
    const long failed_opens =
        std::count(lines.begin(), lines.end(), testing_support::At("RdrOpen() - failed", "RDRFirmwareString"));
    if (c.failed_reads >= 0) {
      EXPECT_EQ(failed_opens, c.failed_reads);
    } else {
      EXPECT_GT(failed_opens, 1);
      EXPECT_LT(bench.clock().Elapsed(), 10000u);
    }
    EXPECT_STREQ(silent_.m_AppString.c_str(), c.app);
  }
}

TEST_F(DiscoveryTest, BootStringIsCutWhereTheHeaderEnds) {
  struct Case {
    size_t header_length;
    const char* boot;
  };
  const std::string header = testing_support::BootHeaderText("FW41108", "02", "01");
  for (const Case& c : {Case{header.size(), "FW41108-02-01"}, Case{53, "FW41108-02-"}, Case{20, "FW4"}}) {
    SimBench bench;
    sim::UnitConfig config = testing_support::Fx2UnitConfig();
    config.boot_header = header.substr(0, c.header_length);
    bench.AddUnit(config);
    char buffer[200];
    EXPECT_EQ(RDRBootString(buffer, sizeof buffer, nullptr), static_cast<int32_t>(strlen(c.boot)));
    EXPECT_STREQ(buffer, c.boot);
    EXPECT_EQ(g_ReaderHandle, nullptr);
  }
}

TEST_F(DiscoveryTest, ConnectionCheck) {
  EXPECT_EQ(CheckReaderConnection(2), -2);
  sim::Unit& unit = bench_.AddUnit(testing_support::Fx2UnitConfig());
  ASSERT_EQ(RdrOpen(nullptr), 0);
  EXPECT_EQ(CheckReaderConnection(2), 0);
  EXPECT_GE(bench_.clock().Elapsed(), 5000u);
  unit.Disconnect(std::nullopt);
  EXPECT_EQ(CheckReaderConnection(2), -1);
}

TEST_F(DiscoveryTest, OmnikeyReadersAreSwitchedByPrefixUntilAConnectFails) {
  testing_support::ScopedPcsc pcsc({"OMNIKEY CardMan 5x21-CL 0 00 00", "Other Reader 00 00",
                                    "omnikey cardman 5x21-cl 1 01 00", "OMNIKEY CardMan 5x21-CL 2 02 00"});
  ControlOmnikeyReaders(false);
  ControlOmnikeyReaders(true);
  const std::vector<std::string> one_pass = {
      "establish",
      "list",
      "connect OMNIKEY CardMan 5x21-CL 0 00 00",
      "control OMNIKEY CardMan 5x21-CL 0 00 00 0x42000c87 03 01 out=200",
      "disconnect OMNIKEY CardMan 5x21-CL 0 00 00",
      "connect omnikey cardman 5x21-cl 1 01 00",
      "control omnikey cardman 5x21-cl 1 01 00 0x42000c87 03 01 out=200",
      "disconnect omnikey cardman 5x21-cl 1 01 00",
      "connect OMNIKEY CardMan 5x21-CL 2 02 00",
      "control OMNIKEY CardMan 5x21-CL 2 02 00 0x42000c87 03 01 out=200",
      "disconnect OMNIKEY CardMan 5x21-CL 2 02 00",
      "release",
  };
  std::vector<std::string> expected = one_pass;
  for (std::string call : one_pass) {
    if (call.starts_with("control")) call.replace(call.size() - 10, 2, "00");
    expected.push_back(call);
  }
  EXPECT_EQ(pcsc.fake().calls(), expected);

  testing_support::ScopedPcsc failing({"OMNIKEY CardMan 5x21-CL 0 00 00", "OMNIKEY CardMan 5x21-CL 1 01 00"});
  failing.fake().FailConnect("OMNIKEY CardMan 5x21-CL 0 00 00");
  ControlOmnikeyReaders(false);
  EXPECT_EQ(failing.fake().calls(),
            (std::vector<std::string>{"establish", "list", "connect OMNIKEY CardMan 5x21-CL 0 00 00", "release"}));
}

}  // namespace
