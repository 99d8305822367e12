// Finding and identifying the unit on the virtual clock.
#include <gtest/gtest.h>

#include "tests/support/fake_pcsc.h"
#include "tests/support/session_log_recorder.h"
#include "tests/support/sim_bench.h"
#include "updater/engine.h"
#include "updater/silent.h"

namespace {

using namespace testing_support;
using Strings = std::vector<std::string>;

class DiscoveryTest : public testing::Test {
 protected:
  ~DiscoveryTest() override { RdrCloseHandle(); }

  // Product ids as the settings of a reader type leave them.
  void SelectReaderType(int32_t reader_type, int32_t timeout_ms) {
    silent_.m_ReaderType = reader_type;
    silent_.m_ProductIds = {0x40, 0x47};
    silent_.m_LocateUSBTimeout = timeout_ms;
  }
  // App, boot, FX3 and serial strings, joined by '|'.
  std::string Identity() const {
    return std::string(silent_.m_AppString.c_str()) + "|" + silent_.m_BootString.c_str() + "|" +
           silent_.m_FX3String.c_str() + "|" + silent_.m_SerialString.c_str();
  }

  // A fresh FX2 unit on `bench`, its configuration changed by `edit` first.
  static sim::Unit& AddFx2(SimBench& bench, auto edit) {
    sim::UnitConfig config = Fx2UnitConfig();
    edit(config);
    return bench.AddUnit(config);
  }

  SimBench bench_;
  SessionLogRecorder log_;
  QuorvelFirmwareUpdaterSilent silent_;
};

// A unit found in its boot loader is reported as 1 with devFound 2, and
// devFound 2 lifts the limit of the next search.
TEST_F(DiscoveryTest, SearchTimeLimitFollowsTheSettingAndTheLastFind) {
  // clang-format off
  struct Case { int32_t timeout_ms, dev_found_before; uint16_t pid; uint32_t back_after_ms; int32_t result, dev_found; uint64_t elapsed_ms; };
  const Case cases[] = {
      // Gives up a little over 30 s; found while still looking.
      {30000, 0, 0x47, 1000000, 0, 0, 31000}, {30000, 0, 0x47, 20500, 2, 1, 21000},
      // No limit: below a second, or last found in the boot loader.
      {999, 0, 0x47, 100500, 2, 1, 101000}, {30000, 2, 0x47, 100500, 2, 1, 101000},
      {30000, 0, 0x40, 0, 1, 2, 0},            // in its boot loader: found first
  };
  // clang-format on
  for (const Case& c : cases) {
    SimBench bench;
    AddFx2(bench, [&](sim::UnitConfig& config) { config.product_id = c.pid; }).Disconnect(c.back_after_ms);
    SelectReaderType(2, c.timeout_ms);
    silent_.m_DevFound = c.dev_found_before;
    EXPECT_EQ(LookForHardwareSilent(silent_), c.result);
    EXPECT_EQ(silent_.m_DevFound, c.dev_found);
    EXPECT_EQ(bench.clock().Elapsed(), c.elapsed_ms);
  }
}

// The FX3 string is read for reader type 8 only; no unit leaves the
// not-found texts and an empty serial.
TEST_F(DiscoveryTest, IdentityStringsByReaderType) {
  silent_.m_SerialString.Assign("old");
  SelectReaderType(2, 2000);
  EXPECT_FALSE(silent_.LookForReader());
  EXPECT_EQ(Identity(), "Not Found|Not Found|Not Found|");
  for (const auto& [reader_type, fx3] : {std::pair{7, "Not Found"}, {8, "FW41582-01-04"}, {2, "Not Found"}}) {
    SimBench bench;
    AddFx2(bench, [](sim::UnitConfig& config) { config.fx3_firmware = "FW41582-01-04"; });
    SelectReaderType(reader_type, 30000);
    ASSERT_TRUE(silent_.LookForReader()) << reader_type;
    EXPECT_EQ(Identity(), std::string("FW41144-02-07|FW41108-02-01|") + fx3 + "|HX0001") << reader_type;
  }
}

TEST_F(DiscoveryTest, Td12kUnitIsGivenTimeToBoot) {
  // clang-format off
  struct Case { int32_t timeout_ms; int refusals; const char* wait_line; long reads; const char* app; };
  const Case cases[] = {
      {30000, 1000, "TD12K(i) unit waiting up to 30 sec for boot up", 32, "Not Found"},
      {5000, 1000, "TD12K(i) unit waiting up to 10 sec for boot up", 12, "Not Found"},
      // Answers after a few tries: the wait ends at once.
      {30000, 9, "TD12K(i) unit waiting up to 30 sec for boot up", -1, "FW41144-02-07"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SimBench bench;
    // The firmware-name request is answered "unknown" `refusals` times.
    Intercept(bench.AddUnit(Fx2UnitConfig()), [refusals = c.refusals](uint8_t command, auto body) mutable {
      const bool refuse = command == 14 && !body.empty() && body[0] == 6 && refusals-- > 0;
      return refuse ? std::optional(std::vector<uint8_t>{0xF6, 0xFE, 0xFF, 0xFF}) : std::nullopt;
    });
    SelectReaderType(10, c.timeout_ms);
    log_.Clear();
    ASSERT_TRUE(silent_.LookForReader());
    EXPECT_EQ(std::ranges::count(log_.Messages(), c.wait_line), 1);
    // A unit that does not name its firmware cannot be opened yet.
    const long fails = std::ranges::count(log_.lines(), At("RdrOpen() - failed", "RDRFirmwareString"));
    EXPECT_TRUE(c.reads < 0 ? fails > 1 && bench.clock().Elapsed() < 10000u : fails == c.reads);
    EXPECT_STREQ(silent_.m_AppString.c_str(), c.app);
  }
}

TEST_F(DiscoveryTest, BootStringIsCutWhereTheHeaderEnds) {
  const std::string header = BootHeaderText("FW41108", "02", "01");
  for (const auto& [length, boot] : {std::pair{header.size(), "FW41108-02-01"}, {53, "FW41108-02-"}, {20, "FW4"}}) {
    SimBench bench;
    AddFx2(bench, [&](sim::UnitConfig& config) { config.boot_header = header.substr(0, length); });
    char buffer[200];
    EXPECT_EQ(RDRBootString(buffer, sizeof buffer, nullptr), static_cast<int32_t>(strlen(boot)));
    EXPECT_STREQ(buffer, boot);
    EXPECT_EQ(g_ReaderHandle, nullptr);
  }
}

// Which readers the switch reaches through a real pcscd is in the platform
// tests; here: the prefix whatever its case, and the first failed connect
// ending the switch.
TEST_F(DiscoveryTest, OmnikeyReadersAreSwitchedByPrefixUntilAConnectFails) {
  const std::string upper = "OMNIKEY CardMan 5x21-CL 0 00 00", lower = "omnikey cardman 5x21-cl 1 01 00";
  ScopedPcsc pcsc({upper, "Other Reader 00 00", lower});
  ControlOmnikeyReaders(true);
  Strings expected = {"establish", "list"};
  for (const std::string& n : {upper, lower})
    expected.insert(expected.end(), {"connect " + n, "control " + n + " 0x42000c87 03 00 out=200", "disconnect " + n});
  expected.push_back("release");
  EXPECT_EQ(pcsc.fake().calls(), expected);
  ScopedPcsc failing({upper, lower});
  failing.fake().FailConnect(upper);
  ControlOmnikeyReaders(false);
  EXPECT_EQ(failing.fake().calls(), (Strings{"establish", "list", "connect " + upper, "release"}));
}

}  // namespace
