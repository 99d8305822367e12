// Units loaded from a folder of unit files, and what they keep there
// between two processes (two backends on the same folder).
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "sim/crc.h"
#include "sim/usb_backend.h"
#include "sim/wire.h"
#include "tests/support/sim_host.h"
#include "tests/support/temp_dir.h"

namespace {

using testing_support::ServiceBody, testing_support::SimHost, testing_support::WriteFile;

class SimUnitFolder : public ::testing::Test {
 protected:
  ~SimUnitFolder() override { platform::usb::SetBackend(nullptr); }

  std::shared_ptr<sim::SimulatedBackend> Load() {
    auto backend = sim::SimulatedBackend::FromDirectory(folder_.path());
    platform::usb::SetBackend(backend);
    return backend;
  }

  platform::VirtualClock clock_;
  platform::ScopedClock scoped_clock_{clock_};
  testing_support::TempDir folder_;
};

TEST_F(SimUnitFolder, LoadsUnitFilesInNameOrderAndSkipsBrokenOnesWithTheirReason) {
  WriteFile(folder_.File("b-second.json"), R"({"usb": {"product_id": "0x47", "serial": "B"}})");
  WriteFile(folder_.File("a-first.json"), R"({"usb": {"product_id": "0x48", "serial": "A"}})");
  WriteFile(folder_.File("c-broken.json"), R"({"usb": {"product_id": )");
  WriteFile(folder_.File("d-typo.json"), R"({"usb": {"prodct_id": 1}})");
  WriteFile(folder_.File("e-twin.json"), R"({"usb": {"product_id": "0x47", "serial": "b"}})");
  auto backend = Load();
  auto units = backend->units();
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(std::tuple(units[0]->name(), units[1]->name()), std::tuple("a-first", "b-second"));
  auto errors = backend->load_errors();
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_EQ(errors[0].rfind(folder_.File("c-broken.json") + ": not valid JSON", 0), 0u) << errors[0];
  EXPECT_EQ(errors[1], folder_.File("d-typo.json") + ": usb.prodct_id: unknown key");
  EXPECT_NE(errors[2].find("has the device path of unit \"b-second\""), std::string::npos) << errors[2];
}

TEST_F(SimUnitFolder, StoredStateIsSeenByTheNextBackendOnTheFolder) {
  WriteFile(folder_.File("wr.json"), R"({
    "usb": {"vendor_id": "0x17B9", "product_id": "0x4000", "serial": "WR1"},
    "identity": {"firmware_name": "FW41580-01-02"},
    "soft_boot": {"reenumerate_after_ms": 1000},
    "updates": [{"file": "app.bin", "set": {"firmware_name": "FW41580-01-03"}}]
  })");
  const std::vector<uint8_t> file(500, 0x5A);
  {
    auto unit = Load()->unit("wr");
    SimHost host(unit->DevicePath());
    // A one-packet transfer of app.bin, a status bit, then the restart that applies the update.
    std::vector<uint8_t> packet(52, 0);
    const uint32_t header[] = {35, 0, 500, 1, 500};
    for (size_t i = 0; i < 5; ++i) sim::PutU32(packet, 4 * i, header[i]);
    packet[20] = 1;
    sim::PutText(packet, 21, 27, "app.bin");
    sim::PutU32(packet, 48, sim::ComputePacketCrc(file));
    packet.insert(packet.end(), file.begin(), file.end());
    ASSERT_EQ(sim::ReadU32(host.Exchange(14, packet)->body, 0), 0u);
    ASSERT_TRUE(host.Exchange(14, ServiceBody(4, 0x4000, 60)));
    ASSERT_TRUE(host.Exchange(122, {}));
    clock_.Advance(1000);
  }
  platform::usb::SetBackend(nullptr);

  auto unit = Load()->unit("wr");
  EXPECT_EQ(unit->FileNamed("app.bin")->contents, file);
  EXPECT_EQ(unit->status_word(), 0x4080u);
  EXPECT_EQ(unit->ReportedString("firmware_name"), "FW41580-01-03");
  EXPECT_TRUE(std::filesystem::is_directory(folder_.path() / "wr.state" / "flash"));  // the flash model's share
}

}  // namespace
