// The unit's check of a packet transfer (the CRC, size, kind and packet
// order decide whether a file is stored) and of FX3 boot-memory lines.
#include <gtest/gtest.h>

#include "sim/crc.h"
#include "sim/firmware.h"
#include "sim/wire.h"
#include "tests/support/sim_bench.h"
#include "tests/support/sim_host.h"

namespace {

using sim::kStatusBadParameter, sim::kStatusNotAccepting;

using Final = testing_support::FinalPacket;
using testing_support::FilePacketBody;

// The status a unit answers to a request (1 when no reply came).
int32_t StatusOf(testing_support::SimHost& host, const std::vector<uint8_t>& body) {
  auto reply = host.Exchange(14, body);
  return reply && reply->body.size() >= 4 ? static_cast<int32_t>(sim::ReadU32(reply->body, 0)) : 1;
}

TEST(SimFileTransfer, BadCrcSizeKindOrOrderDiscardsTheTransfer) {
  testing_support::SimBench bench;
  sim::Unit& unit = bench.AddUnit();
  testing_support::SimHost host(unit.DevicePath());
  auto send = [&](const std::vector<uint8_t>& body) { return StatusOf(host, body); };
  std::vector<uint8_t> file(1500);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 7 + 3);
  std::span<const uint8_t> data(file);
  const uint32_t crc = sim::ComputePacketCrc(file);
  // The final packet of a whole 1024 + 476 transfer, each field spoilt in turn.
  for (const Final& bad : {Final{1500, 1, "app.bin", crc ^ 1}, Final{1500, 2, "app.bin", crc},  // kind 2: fx3.bin only
                           Final{1500, 1, "", crc}, Final{1499, 1, "app.bin", crc}}) {
    EXPECT_EQ(send(FilePacketBody(0, 2, data.first(1024))), 0);
    EXPECT_EQ(send(FilePacketBody(1, 2, data.subspan(1024), bad)), kStatusBadParameter) << bad.name << bad.file_size;
  }
  EXPECT_EQ(send(FilePacketBody(1, 2, data.subspan(1024), Final{1500, 1, "app.bin", crc})), kStatusNotAccepting);
  EXPECT_EQ(send(FilePacketBody(0, 3, data.first(500))), 0);
  EXPECT_EQ(send(FilePacketBody(2, 3, data.subspan(500, 500))), kStatusNotAccepting);  // packet 1 skipped
  EXPECT_EQ(send(FilePacketBody(0, 1, std::vector<uint8_t>(1025))), kStatusBadParameter);
  EXPECT_EQ(send(FilePacketBody(3, 3, data.first(10))), kStatusBadParameter);
  EXPECT_FALSE(unit.FileNamed("app.bin"));

  EXPECT_EQ(send(FilePacketBody(0, 2, data.first(1024))), 0);
  EXPECT_EQ(send(FilePacketBody(1, 2, data.subspan(1024), Final{1500, 1, "app.bin", crc})), 0);
  EXPECT_EQ(unit.FileNamed("app.bin")->contents, file);
}

TEST(SimFx3BootLines, ALineCrossingItsChipIsWrittenAsTheUnitFileChooses) {
  const std::vector<uint8_t> line = {7, 1, 0xFE, 0xFF, 4, 0, 0, 0, 0xA1, 0xA2, 0xA3, 0xA4};  // chip 1, 0xFFFE
  using enum sim::Fx3LineCrossing;
  // The crossing, the memory size (0: default), the status and where 0xA4 lands (0: nowhere).
  const std::tuple<sim::Fx3LineCrossing, uint32_t, int32_t, size_t> cases[] = {
      {kLinear, 0, 0, 0x20001},
      {kWrap, 0, 0, 0x10001},
      {kRefuse, 0, kStatusBadParameter, 0},
      {kWrap, 0x20000, 0, 0x10001}};  // a line of the last chip stays inside the memory
  for (const auto& [crossing, memory_bytes, status, last_byte_at] : cases) {
    testing_support::SimBench bench;
    sim::UnitConfig config = testing_support::WrUnitConfig();
    config.fx3_line_crossing = crossing;
    if (memory_bytes) config.fx3_boot_memory_bytes = memory_bytes;
    sim::Unit& unit = bench.AddUnit(config);
    testing_support::SimHost host(unit.DevicePath());
    EXPECT_EQ(StatusOf(host, line), status);
    const std::vector<uint8_t> memory = unit.Fx3BootMemory();
    EXPECT_EQ(memory[0x1FFFF], status == 0 ? 0xA2 : 0xFF);
    for (size_t at : {0x10001, 0x20001}) EXPECT_EQ(at < memory.size() && memory[at] == 0xA4, at == last_byte_at);
  }
}

}  // namespace
