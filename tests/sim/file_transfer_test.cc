// The unit's check of a packet transfer (the CRC, size, kind and packet
// order decide whether a file is stored) and of FX3 boot-memory lines.
#include <gtest/gtest.h>

#include "sim/crc.h"
#include "sim/firmware.h"
#include "sim/wire.h"
#include "tests/support/sim_bench.h"
#include "tests/support/sim_host.h"

namespace {

using sim::kStatusBadParameter;
using sim::kStatusNotAccepting;
using sim::PutU32;

struct Final {
  uint32_t file_size = 0;
  uint8_t kind = 0;
  std::string name;
  uint32_t crc = 0;
};

std::vector<uint8_t> PacketBody(uint32_t index, uint32_t count, std::span<const uint8_t> data,
                                std::optional<Final> final = std::nullopt) {
  std::vector<uint8_t> body(52 + data.size(), 0);
  PutU32(body, 0, 35);
  PutU32(body, 4, index);
  PutU32(body, 8, static_cast<uint32_t>(data.size()));
  PutU32(body, 12, count);
  if (final) {
    PutU32(body, 16, final->file_size);
    body[20] = final->kind;
    sim::PutText(body, 21, 27, final->name);
    PutU32(body, 48, final->crc);
  }
  std::copy(data.begin(), data.end(), body.begin() + 52);
  return body;
}

class SimFileTransfer : public ::testing::Test {
 protected:
  SimFileTransfer() : unit_(bench_.AddUnit()), host_(unit_.DevicePath()) {}

  int32_t Send(const std::vector<uint8_t>& body) {
    auto reply = host_.Exchange(14, body);
    EXPECT_EQ(reply ? reply->body.size() : 0, 8u);
    return reply ? static_cast<int32_t>(sim::ReadU32(reply->body, 0)) : 1;
  }

  // Full 1024-byte packets, then a final packet with size, kind, name and CRC.
  std::vector<int32_t> SendFile(const std::vector<uint8_t>& file, uint8_t kind, const std::string& name,
                                std::optional<uint32_t> crc = std::nullopt) {
    const uint32_t full = static_cast<uint32_t>(file.size() / 1024);
    std::vector<int32_t> statuses;
    std::span<const uint8_t> data(file);
    for (uint32_t i = 0; i < full; ++i) statuses.push_back(Send(PacketBody(i, full + 1, data.subspan(i * 1024, 1024))));
    Final final{static_cast<uint32_t>(file.size()), kind, name, crc.value_or(sim::ComputePacketCrc(file))};
    statuses.push_back(Send(PacketBody(full, full + 1, data.subspan(full * 1024), final)));
    return statuses;
  }

  testing_support::SimBench bench_;
  sim::Unit& unit_;
  testing_support::SimHost host_;
};

TEST_F(SimFileTransfer, BadCrcSizeKindOrOrderDiscardsTheTransfer) {
  std::vector<uint8_t> file(1500);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 7 + 3);
  const std::vector<int32_t> refused = {0, kStatusBadParameter};
  EXPECT_EQ(SendFile(file, 1, "app.bin", sim::ComputePacketCrc(file) ^ 1), refused);
  EXPECT_EQ(SendFile(file, 2, "app.bin"), refused);  // kind 2 is for fx3.bin only
  EXPECT_EQ(SendFile(file, 1, ""), refused);
  EXPECT_FALSE(unit_.FileNamed("app.bin"));

  std::span<const uint8_t> data(file);
  Final final{1500, 1, "app.bin", sim::ComputePacketCrc(file)};
  EXPECT_EQ(Send(PacketBody(1, 2, data.subspan(1024), final)), kStatusNotAccepting);  // no packet 0
  EXPECT_EQ(Send(PacketBody(0, 3, data.first(500))), 0);
  EXPECT_EQ(Send(PacketBody(2, 3, data.subspan(500, 500))), kStatusNotAccepting);  // packet 1 skipped
  EXPECT_EQ(Send(PacketBody(1, 3, data.subspan(500, 500))), kStatusNotAccepting);  // already discarded
  final.file_size = 1499;
  EXPECT_EQ(Send(PacketBody(0, 2, data.first(1024))), 0);
  EXPECT_EQ(Send(PacketBody(1, 2, data.subspan(1024), final)), kStatusBadParameter);
  EXPECT_EQ(Send(PacketBody(0, 1, std::vector<uint8_t>(1025))), kStatusBadParameter);
  EXPECT_EQ(Send(PacketBody(3, 3, data.first(10))), kStatusBadParameter);
  EXPECT_FALSE(unit_.FileNamed("app.bin"));

  EXPECT_EQ(SendFile(file, 1, "app.bin"), (std::vector<int32_t>{0, 0}));
  EXPECT_EQ(unit_.FileNamed("app.bin")->contents, file);
}

TEST_F(SimFileTransfer, FinalPacketWithoutFieldsWhenTheCrcComesOutZero) {
  // Appending the register's own bytes drives it to 0; the host then sends
  // no size, kind, name or CRC, and the unit takes the file as its image.
  std::vector<uint8_t> file = {'a', 'b', 'c'};
  const uint32_t crc = sim::ComputePacketCrc(file);
  EXPECT_EQ(crc, 0xCADBBE3Du);  // the complement of the usual CRC-32
  for (int i = 0; i < 4; ++i) file.push_back(static_cast<uint8_t>(crc >> (8 * i)));
  ASSERT_EQ(sim::ComputePacketCrc(file), 0u);
  EXPECT_EQ(Send(PacketBody(0, 1, file, Final{})), 0);
  EXPECT_EQ(unit_.Image(), file);
}

TEST(SimFx3BootLines, ALineCrossingItsChipIsWrittenAsTheUnitFileChooses) {
  std::vector<uint8_t> line = {7, 1, 0xFE, 0xFF, 4, 0, 0, 0, 0xA1, 0xA2, 0xA3, 0xA4};  // chip 1, 0xFFFE
  struct Case {
    sim::Fx3LineCrossing crossing;
    int32_t status;
  } cases[] = {
      {sim::Fx3LineCrossing::kLinear, 0},
      {sim::Fx3LineCrossing::kWrap, 0},
      {sim::Fx3LineCrossing::kRefuse, kStatusBadParameter},
  };
  for (const Case& c : cases) {
    testing_support::SimBench bench;
    sim::UnitConfig config = testing_support::WrUnitConfig();
    config.fx3_line_crossing = c.crossing;
    sim::Unit& unit = bench.AddUnit(config);
    auto reply = testing_support::SimHost(unit.DevicePath()).Exchange(14, line);
    ASSERT_TRUE(reply);
    EXPECT_EQ(static_cast<int32_t>(sim::ReadU32(reply->body, 0)), c.status);
    const std::vector<uint8_t> memory = unit.Fx3BootMemory();
    EXPECT_EQ(memory[0x1FFFF], c.status == 0 ? 0xA2 : 0xFF);
    // The line's last byte: in the next chip, or back at the start of its own.
    EXPECT_EQ(memory[0x20001] == 0xA4, c.crossing == sim::Fx3LineCrossing::kLinear);
    EXPECT_EQ(memory[0x10001] == 0xA4, c.crossing == sim::Fx3LineCrossing::kWrap);
  }
  // A line of the last chip that wraps stays inside the boot memory.
  testing_support::SimBench bench;
  sim::UnitConfig config = testing_support::WrUnitConfig();
  config.fx3_line_crossing = sim::Fx3LineCrossing::kWrap;
  config.fx3_boot_memory_bytes = 0x20000;
  sim::Unit& unit = bench.AddUnit(config);
  EXPECT_EQ(sim::ReadU32(testing_support::SimHost(unit.DevicePath()).Exchange(14, line)->body, 0), 0u);
  EXPECT_EQ(unit.Fx3BootMemory()[0x10001], 0xA4);
}

}  // namespace
