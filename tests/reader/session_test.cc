// A whole conversation with one unit, checked on the wire: open the first
// reader, read its identity, send a file in packets, soft-boot it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "reader/handle.h"
#include "reader/rdr.h"
#include "sim/crc.h"
#include "sim/traffic.h"
#include "sim/wire.h"
#include "tests/support/sim_bench.h"
#include "transport/usb.h"

namespace {

using sim::ReadU16;
using sim::ReadU32;

TEST(ReaderSession, OpenIdentifySendAFileAndSoftBoot) {
  testing_support::SimBench bench;
  // FX2-based: the one class that answers the application and boot headers.
  sim::UnitConfig config = testing_support::Fx2UnitConfig();
  config.serial_string = "SN-000123";
  config.fx3_firmware = "FX3 1.2.3";
  config.application_header = "FW41580-02-11 application";
  config.boot_header = testing_support::BootHeaderText("FW41581", "01", "04");
  config.reenumerate_after_ms = 5000;
  sim::Unit& unit = bench.AddUnit(config);

  RDRHANDLE handle = RDROpenUSB(nullptr);
  ASSERT_NE(handle, InvalidReaderHandle());
  EXPECT_EQ(handle->firmware_number, 41144);

  char text[64];
  ASSERT_EQ(RDRFirmwareString(handle, text, sizeof text), 1);
  EXPECT_STREQ(text, config.firmware_name.c_str());
  ASSERT_EQ(RDRSerialString(handle, text, sizeof text), 1);
  EXPECT_STREQ(text, "SN-000123");
  ASSERT_EQ(RDRFX3FirmwareString(handle, text, sizeof text), 1);
  EXPECT_STREQ(text, "FX3 1.2.3");
  char header[2048] = {};
  ASSERT_EQ(RDRAppHeader(handle, header, sizeof header), 1);
  EXPECT_STREQ(header, "FW41580-02-11 application");
  std::memset(header, 0, sizeof header);
  ASSERT_EQ(RDRBootHeader(handle, header, sizeof header), 1);
  EXPECT_EQ(std::string(header), *config.boot_header);
  uint32_t version = 0;
  ASSERT_EQ(RDRAPIVersion(handle, &version), 1);
  EXPECT_EQ(version, *config.api_version);

  // The identity requests as they crossed the wire, after the open's own.
  auto requests = sim::Requests(unit.traffic());
  ASSERT_GE(requests.size(), 8u);
  const std::vector<sim::Request> identity(requests.end() - 6, requests.end());
  const uint32_t items[] = {6, 21, 50, 23, 24};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(identity[i].command, 14);
    EXPECT_EQ(identity[i].size, 8);
    EXPECT_EQ(ReadU32(identity[i].body, 0), items[i]);
    EXPECT_EQ(ReadU32(identity[i].body, 4), 0u);
  }
  EXPECT_EQ(identity[5].command, 120);
  EXPECT_EQ(identity[5].size, 0);

  // A 2500-byte file in packets of 1024: two full packets, then the rest
  // with the size, the name and the CRC of the whole file.
  std::vector<uint8_t> file(2500);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 7 + 3);
  const uint32_t crc = sim::ComputePacketCrc(file);
  unit.ClearTraffic();
  ASSERT_EQ(RDRFilePacketWriteRequest(handle, 0, 1024, 3, file.data(), 0, 0, nullptr), 1);
  ASSERT_EQ(RDRFilePacketWriteRequest(handle, 1, 1024, 3, file.data() + 1024, 0, 0, nullptr), 1);
  ASSERT_EQ(RDRFilePacketWriteRequest(handle, 2, 452, 3, file.data() + 2048, 2500, crc, "app.bin"), 1);
  auto packets = sim::Requests(unit.traffic());
  ASSERT_EQ(packets.size(), 3u);
  auto writes = sim::WrittenTransfers(unit.traffic());
  EXPECT_EQ(writes[0].size(), 1088u);
  EXPECT_EQ(writes[2].size(), 512u);
  for (uint32_t i = 0; i < 3; ++i) {
    const auto& body = packets[i].body;
    EXPECT_EQ(packets[i].command, 14);
    EXPECT_EQ(ReadU32(body, 0), 35u);
    EXPECT_EQ(ReadU32(body, 4), i);
    EXPECT_EQ(ReadU32(body, 12), 3u);
  }
  EXPECT_EQ(packets[0].size, 1024 + 52);
  EXPECT_EQ(ReadU32(packets[0].body, 16), 0u) << "no size before the final packet";
  EXPECT_EQ(ReadU32(packets[0].body, 48), 0u);
  const auto& last = packets[2].body;
  EXPECT_EQ(packets[2].size, 452 + 52);
  EXPECT_EQ(ReadU32(last, 8), 452u);
  EXPECT_EQ(ReadU32(last, 16), 2500u);
  EXPECT_EQ(last[20], 1);
  EXPECT_EQ(sim::ReadText(last, 21, 27), "app.bin");
  EXPECT_EQ(ReadU32(last, 48), crc);
  EXPECT_EQ(std::vector<uint8_t>(last.begin() + 52, last.end()), std::vector<uint8_t>(file.begin() + 2048, file.end()));
  auto stored = unit.FileNamed("app.bin");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->contents, file);

  // Soft boot with reconnect: the unit answers, drops off the bus, and the
  // handle follows it until it is back.
  unit.ClearTraffic();
  const uint64_t before = bench.clock().Elapsed();
  EXPECT_EQ(RDRSoftBoot(handle, 1), 1);
  auto boot = sim::Requests(unit.traffic());
  ASSERT_FALSE(boot.empty());
  EXPECT_EQ(boot[0].command, 122);
  EXPECT_EQ(boot[0].size, 0);
  EXPECT_EQ(unit.soft_boots(), 1u);
  EXPECT_GE(bench.clock().Elapsed() - before, 1000u);
  EXPECT_LE(bench.clock().Elapsed() - before, 25000u);
  EXPECT_EQ(RDRClose(handle), 1);

  // After the reboot the unit is on the bus again and opens as before.
  bench.clock().Advance(config.reenumerate_after_ms);
  RDRHANDLE again = RDROpenUSB(nullptr);
  ASSERT_NE(again, InvalidReaderHandle());
  EXPECT_EQ(again->firmware_number, 41144);
  RDRClose(again);
}

}  // namespace
