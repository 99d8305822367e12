// What a unit stores from packet transfers and FX3 boot-memory lines.
#include <gtest/gtest.h>

#include <numeric>

#include "sim/crc.h"
#include "sim/firmware.h"
#include "sim/wire.h"
#include "tests/support/sim_bench.h"
#include "tests/support/sim_host.h"

namespace {

using sim::PutU32;
using sim::ReadU32;
using testing_support::SimBench;
using testing_support::SimHost;

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

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  return bytes;
}

class SimFileTransfer : public ::testing::Test {
 protected:
  SimFileTransfer() : unit_(bench_.AddUnit()), host_(unit_.DevicePath()) {}

  int32_t Send(const std::vector<uint8_t>& body) {
    auto reply = host_.Exchange(14, body);
    EXPECT_TRUE(reply);
    EXPECT_EQ(reply ? reply->body.size() : 0, 8u);
    return reply ? static_cast<int32_t>(ReadU32(reply->body, 0)) : 1;
  }

  // Sends a file the way a host does: full packets, then a final packet
  // (possibly empty) with size, kind, name and CRC. Returns every status.
  std::vector<int32_t> SendFile(const std::vector<uint8_t>& file, uint8_t kind, const std::string& name,
                                uint32_t packet = 1024, std::optional<uint32_t> crc = std::nullopt) {
    const uint32_t full = static_cast<uint32_t>(file.size() / packet);
    std::vector<int32_t> statuses;
    std::span<const uint8_t> data(file);
    for (uint32_t i = 0; i < full; ++i)
      statuses.push_back(Send(PacketBody(i, full + 1, data.subspan(i * packet, packet))));
    Final final{static_cast<uint32_t>(file.size()), kind, name, crc.value_or(sim::ComputePacketCrc(file))};
    statuses.push_back(Send(PacketBody(full, full + 1, data.subspan(full * packet), final)));
    return statuses;
  }

  SimBench bench_;
  sim::Unit& unit_;
  SimHost host_;
};

TEST_F(SimFileTransfer, ReassemblesPacketsAndStoresTheFileUnderItsName) {
  std::vector<uint8_t> file = Pattern(2500);
  EXPECT_EQ(SendFile(file, 1, "app.bin"), (std::vector<int32_t>{0, 0, 0}));
  auto stored = unit_.FileNamed("app.bin");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->kind, 1);
  EXPECT_EQ(stored->contents, file);

  // An exact multiple of the packet size ends with an empty final packet.
  std::vector<uint8_t> fx3 = Pattern(1536);
  EXPECT_EQ(SendFile(fx3, 2, "fx3.bin", 768), (std::vector<int32_t>{0, 0, 0}));
  EXPECT_EQ(unit_.FileNamed("fx3.bin")->contents, fx3);
  EXPECT_EQ(unit_.FileNames(), (std::vector<std::string>{"app.bin", "fx3.bin"}));

  // Without a name the file is the unit's flash image.
  std::vector<uint8_t> image = Pattern(300);
  EXPECT_EQ(SendFile(image, 0, ""), (std::vector<int32_t>{0}));
  EXPECT_EQ(unit_.Image(), image);
}

TEST_F(SimFileTransfer, BadCrcSizeKindOrOrderDiscardsTheTransfer) {
  std::vector<uint8_t> file = Pattern(1500);
  EXPECT_EQ(SendFile(file, 1, "app.bin", 1024, sim::ComputePacketCrc(file) ^ 1),
            (std::vector<int32_t>{0, sim::kStatusBadParameter}));
  EXPECT_FALSE(unit_.FileNamed("app.bin"));
  EXPECT_EQ(SendFile(file, 2, "app.bin"), (std::vector<int32_t>{0, sim::kStatusBadParameter}));
  EXPECT_EQ(SendFile(file, 1, ""), (std::vector<int32_t>{0, sim::kStatusBadParameter}));

  std::span<const uint8_t> data(file);
  Final final{1500, 1, "app.bin", sim::ComputePacketCrc(file)};
  EXPECT_EQ(Send(PacketBody(1, 2, data.subspan(1024), final)), sim::kStatusNotAccepting);  // no packet 0
  EXPECT_EQ(Send(PacketBody(0, 3, data.first(500))), 0);
  EXPECT_EQ(Send(PacketBody(2, 3, data.subspan(500, 500))), sim::kStatusNotAccepting);  // packet 1 skipped
  EXPECT_EQ(Send(PacketBody(1, 3, data.subspan(500, 500))), sim::kStatusNotAccepting);  // already discarded
  final.file_size = 1499;
  EXPECT_EQ(Send(PacketBody(0, 2, data.first(1024))), 0);
  EXPECT_EQ(Send(PacketBody(1, 2, data.subspan(1024), final)), sim::kStatusBadParameter);
  EXPECT_EQ(Send(PacketBody(0, 1, std::vector<uint8_t>(1025))), sim::kStatusBadParameter);
  EXPECT_EQ(Send(PacketBody(3, 3, data.first(10))), sim::kStatusBadParameter);
  EXPECT_FALSE(unit_.FileNamed("app.bin"));

  // A complete retransmission then succeeds.
  EXPECT_EQ(SendFile(file, 1, "app.bin"), (std::vector<int32_t>{0, 0}));
  EXPECT_EQ(unit_.FileNamed("app.bin")->contents, file);
}

TEST_F(SimFileTransfer, FinalPacketWithoutFieldsWhenTheCrcComesOutZero) {
  // Appending the register's own bytes drives it to 0; the host then sends
  // no size, kind, name or CRC, and the unit takes the file as its image.
  std::vector<uint8_t> file = {'a', 'b', 'c'};
  const uint32_t crc = sim::ComputePacketCrc(file);
  for (int i = 0; i < 4; ++i) file.push_back(static_cast<uint8_t>(crc >> (8 * i)));
  ASSERT_EQ(sim::ComputePacketCrc(file), 0u);
  EXPECT_EQ(Send(PacketBody(0, 1, file, Final{})), 0);
  EXPECT_EQ(unit_.Image(), file);
}

TEST_F(SimFileTransfer, Fx3LinesLandAtChipTimes64KPlusAddress) {
  auto line = [](uint8_t chip, uint16_t address, std::span<const uint8_t> data) {
    std::vector<uint8_t> body(8 + data.size(), 0);
    body[0] = 7;
    body[1] = chip;
    sim::PutU16(body, 2, address);
    PutU32(body, 4, static_cast<uint32_t>(data.size()));
    std::copy(data.begin(), data.end(), body.begin() + 8);
    return body;
  };
  auto status = [&](const std::vector<uint8_t>& body) {
    auto reply = host_.Exchange(14, body);
    EXPECT_EQ(reply->body.size(), 4u);
    return static_cast<int32_t>(ReadU32(reply->body, 0));
  };
  std::vector<uint8_t> image = Pattern(70000);
  std::span<const uint8_t> data(image);
  for (size_t pos = 0; pos < image.size(); pos += 768) {
    size_t length = std::min<size_t>(768, image.size() - pos);
    ASSERT_EQ(
        status(line(static_cast<uint8_t>(pos >> 16), static_cast<uint16_t>(pos & 0xFFFF), data.subspan(pos, length))),
        0);
  }
  std::vector<uint8_t> memory = unit_.Fx3BootMemory();
  ASSERT_EQ(memory.size(), 0x80000u);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin()));
  EXPECT_EQ(memory[70000], 0xFF);  // untouched memory reads erased

  EXPECT_EQ(status(line(7, 0xFFFF, data.first(2))), sim::kStatusNoSpace);  // past the 512 KiB memory
  EXPECT_EQ(status(line(0, 0, std::vector<uint8_t>(1025))), sim::kStatusBadParameter);
  std::vector<uint8_t> short_body = line(0, 0, data.first(16));
  short_body.resize(12);  // claims 16 data bytes, carries 4
  EXPECT_EQ(status(short_body), sim::kStatusBadParameter);
}

}  // namespace
