// What a unit does that the library's own tests cannot see. From a bare host:
// its IN endpoint queue, exclusive opens, and its check of a packet transfer
// (the CRC, size, kind and packet order decide whether a file is stored).
#include <gtest/gtest.h>

#include <cerrno>
#include <tuple>
#include <vector>

#include "platform/system.h"
#include "reader/flash.h"
#include "reader/rdr.h"
#include "sim/crc.h"
#include "sim/traffic.h"
#include "sim/unit.h"
#include "sim/wire.h"
#include "tests/support/sim_bench.h"
#include "tests/support/sim_host.h"
#include "tests/support/temp_dir.h"

namespace {

using sim::kStatusBadParameter, sim::kStatusNotAccepting;
using testing_support::FilePacketBody, testing_support::ServiceBody, testing_support::SimHost;
using testing_support::ReaderOwner, testing_support::SimBench, testing_support::WrUnitConfig;
using Final = testing_support::FinalPacket;
using Strings = std::vector<std::optional<std::string>>;

constexpr const char* kName = "FW41580-01-02";

class SimUnitBus : public ::testing::Test {
 protected:
  SimUnitBus() : unit_(bench_.AddUnit()), host_(unit_.DevicePath()) {}

  // The firmware name a reply carries, or "" when none came.
  std::string NameOf(const std::optional<SimHost::Reply>& reply) {
    return reply && reply->body.size() >= 40 ? sim::ReadText(reply->body, 8, 32) : "";
  }
  // The status a unit answers to a request (1 when no reply came).
  int32_t Send(const std::vector<uint8_t>& body) {
    auto reply = host_.Exchange(14, body);
    return reply && reply->body.size() >= 4 ? static_cast<int32_t>(sim::ReadU32(reply->body, 0)) : 1;
  }

  testing_support::SimBench bench_;
  sim::Unit& unit_;
  SimHost host_;
};

TEST_F(SimUnitBus, OpensAreExclusiveAndUnreadRepliesQueueUntilReadOrTheInPipeIsResetOrAborted) {
  EXPECT_EQ(SimHost(unit_.DevicePath()).last_error(), static_cast<uint32_t>(EBUSY));
  ASSERT_TRUE(host_.Send(14, ServiceBody(6)));
  ASSERT_TRUE(host_.Send(120, {}));
  EXPECT_EQ(NameOf(host_.ReadReply()), kName);  // the older reply first
  EXPECT_EQ(host_.ReadReply()->command, 120);
  for (auto drop : {&platform::usb::Device::ResetPipe, &platform::usb::Device::AbortPipe}) {
    ASSERT_TRUE(host_.Send(14, ServiceBody(6)));
    EXPECT_TRUE((host_.device().*drop)(0x81));
    EXPECT_FALSE(host_.Read(512));
  }
  // A host that never reads fills the endpoint: the oldest replies go.
  const size_t replies = sim::kReplyQueueBytes / 64 + 10;
  for (size_t i = 0; i < replies; ++i) ASSERT_TRUE(host_.Send(120, {}, static_cast<uint8_t>(i)));
  EXPECT_EQ(host_.Read(64, 0)->at(3), static_cast<uint8_t>(10));  // the oldest kept reply
}

TEST_F(SimUnitBus, BadCrcSizeKindOrOrderDiscardsTheTransfer) {
  std::vector<uint8_t> file(1500);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 7 + 3);
  std::span<const uint8_t> data(file);
  const uint32_t crc = sim::ComputePacketCrc(file);
  // The final packet of a whole 1024 + 476 transfer, each field spoilt in turn.
  for (const Final& bad : {Final{1500, 1, "app.bin", crc ^ 1}, Final{1500, 2, "app.bin", crc},  // kind 2: fx3.bin only
                           Final{1500, 1, "", crc}, Final{1499, 1, "app.bin", crc}}) {
    EXPECT_EQ(Send(FilePacketBody(0, 2, data.first(1024))), 0);
    EXPECT_EQ(Send(FilePacketBody(1, 2, data.subspan(1024), bad)), kStatusBadParameter) << bad.name << bad.file_size;
  }
  EXPECT_EQ(Send(FilePacketBody(1, 2, data.subspan(1024), Final{1500, 1, "app.bin", crc})), kStatusNotAccepting);
  EXPECT_EQ(Send(FilePacketBody(0, 3, data.first(500))), 0);
  EXPECT_EQ(Send(FilePacketBody(2, 3, data.subspan(500, 500))), kStatusNotAccepting);  // packet 1 skipped
  EXPECT_EQ(Send(FilePacketBody(0, 1, std::vector<uint8_t>(1025))), kStatusBadParameter);
  EXPECT_EQ(Send(FilePacketBody(3, 3, data.first(10))), kStatusBadParameter);
  EXPECT_FALSE(unit_.FileNamed("app.bin"));

  EXPECT_EQ(Send(FilePacketBody(0, 2, data.first(1024))), 0);
  EXPECT_EQ(Send(FilePacketBody(1, 2, data.subspan(1024), Final{1500, 1, "app.bin", crc})), 0);
  EXPECT_EQ(unit_.FileNamed("app.bin")->contents, file);
}

// The bounded traffic record: which events survive the limits, also when a
// read's data is filled in after later events.
sim::TrafficEvent Carrying(size_t bytes, uint32_t code) {
  return {.kind = sim::TrafficKind::kWrite, .code = code, .data = std::vector<uint8_t>(bytes, 0xAB)};
}

std::vector<uint32_t> Codes(const sim::TrafficRecord& record) {
  std::vector<uint32_t> codes;
  for (const sim::TrafficEvent& event : record.Events()) codes.push_back(event.code);
  return codes;
}

TEST(TrafficRecord, KeepsTheNewestTailWithinBothLimits) {
  const std::tuple<sim::TrafficLimit, std::vector<size_t>, std::vector<uint32_t>> cases[] = {
      {{3, 1000}, {1, 1, 1, 1, 1}, {2, 3, 4}},   // by count
      {{10, 100}, {60, 30, 20, 10}, {1, 2, 3}},  // by bytes: 120 -> drop the 60
      {{10, 10}, {5, 50}, {1}},                  // the newest stays even alone over the limit
      {{0, 0}, {1, 2}, {}},                      // nothing kept
  };
  for (const auto& [limit, sizes, kept] : cases) {
    sim::TrafficRecord record(limit);
    for (size_t i = 0; i < sizes.size(); ++i) record.Append(Carrying(sizes[i], static_cast<uint32_t>(i)));
    EXPECT_EQ(Codes(record), kept) << limit.events << "/" << limit.bytes;
  }
}

// What an update leaves behind on a unit at its next restart: the strings of
// the update rules (files sent through the flash file system, images written
// to raw sectors) and the boot loader's product id after an image only.
Strings StringsOf(sim::Unit& u) {
  return {u.ReportedString("firmware_name"), u.ReportedString("application_header"), u.ReportedString("boot_header")};
}

// Soft boots the unit through the library and waits until it is back.
ReaderOwner SoftBoot(SimBench& bench, sim::Unit& unit, ReaderOwner handle) {
  EXPECT_EQ(RDRSoftBoot(handle.get(), 0), 1);
  handle.reset();
  bench.clock().Advance(3000);
  return bench.Open(unit);
}

TEST(SimUpdateRules, FlashFilesFireWhenWrittenOrChangedAndTheImageRuleOnAnImage) {
  testing_support::TempDir folder;
  SimBench bench;
  sim::UnitConfig config = WrUnitConfig();
  config.boot_loader_product_id = 0x40;
  config.updates = {{"boot.ini", {{"firmware_name", "FW41580-01-09"}}},
                    {"N5App.xml", {{"application_header", "App 2"}}},
                    {sim::kImageRuleFile, {{"boot_header", "Boot 2"}}}};
  sim::Unit& unit = bench.AddUnit(config);
  const std::string boot_ini = folder.File("boot.ini"), n5app = folder.File("N5App.xml");
  testing_support::WriteFile(boot_ini, "[boot]\n");
  testing_support::WriteFile(n5app, "<a/>\n");
  ReaderOwner handle = bench.Open(unit);
  ASSERT_EQ(F_cp(handle.get(), boot_ini.c_str(), "0:boot.ini"), 7);
  ASSERT_EQ(F_cp(handle.get(), n5app.c_str(), "0:N5App.xml"), 5);
  handle = SoftBoot(bench, unit, std::move(handle));
  EXPECT_EQ(StringsOf(unit), (Strings{"FW41580-01-09", "App 2", WrUnitConfig().boot_header}));
  EXPECT_EQ(unit.ProductId(), 0x4000);  // named files are no image

  // Again: boot.ini rewritten with the same bytes, N5App.xml changed, raw sectors written.
  // (A name the library can parse: the open after the restart reads it.)
  for (const char* key : {"firmware_name", "application_header"}) unit.SetReportedString(key, "FW41580-01-01");
  F_remove(handle.get(), "0:boot.ini");
  ASSERT_EQ(F_cp(handle.get(), boot_ini.c_str(), "0:boot.ini"), 7);
  testing_support::WriteFile(n5app, "<b/>\n");
  ASSERT_EQ(F_cp(handle.get(), n5app.c_str(), "0:N5App.xml"), 5);
  std::vector<uint8_t> data(1024, 0x5A);
  ASSERT_EQ(SectorRawWrite(handle.get(), 0, 0, 0, 1024, data.data()), 1);
  handle = SoftBoot(bench, unit, std::move(handle));
  EXPECT_EQ(StringsOf(unit), (Strings{"FW41580-01-01", "App 2", "Boot 2"}));
  EXPECT_EQ(unit.ProductId(), 0x40);
  SoftBoot(bench, unit, std::move(handle));
  EXPECT_EQ(unit.ProductId(), 0x4000);  // the boot loader stays for one restart only
}

}  // namespace
