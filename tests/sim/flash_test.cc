// The flash model spoken to directly, request bytes in and reply bytes out.
#include "sim/flash.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "sim/flash_model.h"
#include "sim/wire.h"
#include "tests/support/temp_dir.h"

namespace {

using sim::FlashModel;

struct Reply {
  int16_t status = 0;
  uint16_t id = 0;
  uint16_t location = 0;
  std::vector<uint8_t> data;
  size_t size = 0;
};

std::vector<uint8_t> Block(uint8_t sub, uint8_t chip, uint16_t id, uint16_t hint, uint16_t offset, uint16_t length,
                           const std::vector<uint8_t>& data = {}) {
  std::vector<uint8_t> body(10 + data.size());
  body[0] = sub;
  body[1] = chip;
  sim::PutU16(body, 2, id);
  sim::PutU16(body, 4, hint);
  sim::PutU16(body, 6, offset);
  sim::PutU16(body, 8, length);
  for (size_t i = 0; i < data.size(); ++i) body[10 + i] = data[i];
  return body;
}

Reply Send(FlashModel& model, const std::vector<uint8_t>& body) {
  auto bytes = model.Handle(sim::kSectorCommand, body);
  EXPECT_TRUE(bytes.has_value());
  Reply reply;
  if (!bytes) return reply;
  reply.size = bytes->size();
  reply.status = static_cast<int16_t>((*bytes)[0] | (*bytes)[1] << 8);
  if (bytes->size() >= 6) {
    reply.id = static_cast<uint16_t>((*bytes)[2] | (*bytes)[3] << 8);
    reply.location = static_cast<uint16_t>((*bytes)[4] | (*bytes)[5] << 8);
    reply.data.assign(bytes->begin() + 6, bytes->end());
  }
  return reply;
}

nlohmann::json Config(uint32_t sectors = 64) { return {{"sectors_per_chip", sectors}, {"raw_sectors", 256}}; }

TEST(FlashModelLogical, FormattedDirectoryAndMovingWrites) {
  FlashModel model(Config(), {});
  // Before SectorInit the logical view refuses.
  EXPECT_EQ(Send(model, Block(sim::kSubRead, 0, 1, 0, 0, 20)).status, -127);
  Reply init = Send(model, Block(sim::kSubInit, 0, 0, 0, 0, 0));
  EXPECT_EQ(init.status, 0);
  EXPECT_EQ(init.size, 2u);
  EXPECT_EQ(Send(model, Block(sim::kSubInit, 5, 0, 0, 0, 0)).status, -118);

  Reply entry = Send(model, Block(sim::kSubRead, 0, 1, 0, 0, 20));
  ASSERT_EQ(entry.status, 0);
  ASSERT_EQ(entry.size, 26u);
  EXPECT_EQ(std::memcmp(entry.data.data(), "_dir", 5), 0);
  EXPECT_EQ(entry.data[14] | entry.data[15] << 8, 1);
  EXPECT_EQ(entry.data[16], 20);
  const uint16_t first_location = entry.location;
  EXPECT_NE(first_location, 1);  // locations are not logical ids

  Reply created = Send(model, Block(sim::kSubNew, 0, 0, 0, 0, 0));
  ASSERT_EQ(created.status, 0);
  EXPECT_GE(created.id, 2);
  Reply link = Send(model, Block(sim::kSubRead, 0, created.id, created.location, 1020, 2));
  EXPECT_EQ(link.data, (std::vector<uint8_t>{0xFF, 0xFF}));

  Reply written = Send(model, Block(sim::kSubWrite, 0, created.id, created.location, 5, 3, {7, 8, 9}));
  ASSERT_EQ(written.status, 0);
  EXPECT_NE(written.location, created.location);
  Reply again = Send(model, Block(sim::kSubWrite, 0, created.id, written.location, 1020, 0));
  EXPECT_EQ(again.status, 0);
  EXPECT_NE(again.location, written.location);
  Reply back = Send(model, Block(sim::kSubRead, 0, created.id, 0, 4, 5));
  EXPECT_EQ(back.data, (std::vector<uint8_t>{0xFF, 7, 8, 9, 0xFF}));
  EXPECT_EQ(back.location, again.location);

  auto stats = model.Statistics();
  EXPECT_EQ(stats.hints_current, 3u);  // link read and both writes passed back what they were told
  EXPECT_EQ(stats.moves, 2u);

  EXPECT_EQ(Send(model, Block(sim::kSubWrite, 0, created.id, 0, 1020, 3, {1, 2, 3})).status, -127);
  EXPECT_EQ(Send(model, Block(sim::kSubDelete, 0, created.id, 0, 0, 0)).status, 0);
  EXPECT_EQ(Send(model, Block(sim::kSubRead, 0, created.id, 0, 0, 1)).status, -126);
  EXPECT_EQ(Send(model, Block(sim::kSubDelete, 0, created.id, 0, 0, 0)).status, -126);
}

TEST(FlashModelLogical, FullChipAnswersFileSystemFull) {
  FlashModel model(Config(4), {});
  Send(model, Block(sim::kSubInit, 0, 0, 0, 0, 0));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Send(model, Block(sim::kSubNew, 0, 0, 0, 0, 0)).status, 0);
  EXPECT_EQ(Send(model, Block(sim::kSubNew, 0, 0, 0, 0, 0)).status, -116);
  EXPECT_EQ(model.AllocatedSectors(0), 4u);
}

TEST(FlashModelLogical, InjectedStatusesSkipThenFailWithoutChanges) {
  nlohmann::json config = Config();
  config["inject"] = {{{"sub_command", "write"}, {"status", -122}, {"skip", 1}, {"count", 1}}};
  FlashModel model(config, {});
  Send(model, Block(sim::kSubInit, 0, 0, 0, 0, 0));
  Reply created = Send(model, Block(sim::kSubNew, 0, 0, 0, 0, 0));
  EXPECT_EQ(Send(model, Block(sim::kSubWrite, 0, created.id, 0, 0, 1, {1})).status, 0);
  Reply refused = Send(model, Block(sim::kSubWrite, 0, created.id, 0, 0, 1, {0}));
  EXPECT_EQ(refused.status, -122);
  EXPECT_EQ(Send(model, Block(sim::kSubWrite, 0, created.id, 0, 1, 1, {2})).status, 0);

  model.InjectStatus(sim::kSubRead, -117);
  Reply read = Send(model, Block(sim::kSubRead, 0, created.id, 0, 0, 2));
  EXPECT_EQ(read.status, -117);
  EXPECT_EQ(read.data, (std::vector<uint8_t>{1, 2}));  // the data still comes along
  EXPECT_EQ(Send(model, Block(sim::kSubRead, 0, created.id, 0, 0, 2)).status, 0);
}

TEST(FlashModelRaw, NorRulesAndBlockErase) {
  FlashModel model(Config(), {});
  std::vector<uint8_t> pattern(1024);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 7);
  EXPECT_EQ(Send(model, Block(sim::kSubRawWrite, 0, 65, 0, 0, 1024, pattern)).status, 0);
  Reply read = Send(model, Block(sim::kSubRawRead, 0, 65, 0, 0, 1024));
  EXPECT_EQ(read.data, pattern);
  // Clearing more bits is fine; setting one back needs an erase.
  EXPECT_EQ(Send(model, Block(sim::kSubRawWrite, 0, 65, 0, 0, 1, {0x00})).status, 0);
  EXPECT_EQ(Send(model, Block(sim::kSubRawWrite, 0, 65, 0, 1, 1, {0xFF})).status, -125);
  EXPECT_EQ(model.RawSector(0, 65)[1], pattern[1]);
  EXPECT_EQ(Send(model, Block(sim::kSubRawWrite, 0, 3, 0, 0, 1, {0x12})).status, 0);

  EXPECT_EQ(Send(model, Block(sim::kSubRawErase, 0, 64, 0, 1, 1)).status, 0);
  EXPECT_EQ(model.RawSector(0, 65), std::vector<uint8_t>(1024, 0xFF));
  EXPECT_EQ(model.RawSector(0, 3)[0], 0x12);  // other erase block untouched

  EXPECT_EQ(Send(model, Block(sim::kSubRawRead, 0, 256, 0, 0, 4)).status, -127);
  EXPECT_EQ(Send(model, Block(sim::kSubRawRead, 0, 0, 0, 1000, 25)).status, -127);
  EXPECT_EQ(Send(model, Block(sim::kSubRawRead, 3, 0, 0, 0, 4)).status, -118);
}

std::vector<uint8_t> SerialRead(FlashModel& model, uint8_t chip, uint16_t address, uint32_t count, int32_t* status) {
  std::vector<uint8_t> body{
      8, chip, static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(count), 0, 0, 0};
  auto reply = model.Handle(sim::kInformationCommand, body);
  EXPECT_TRUE(reply.has_value());
  *status = static_cast<int32_t>((*reply)[0] | (*reply)[1] << 8 | (*reply)[2] << 16 | (*reply)[3] << 24);
  return std::vector<uint8_t>(reply->begin() + 4, reply->end());
}

TEST(FlashModelSerial, HalvesWrapAroundAndSizes) {
  nlohmann::json config = Config();
  config["serial_memories"] = {{"2", {{"size", 0x2000}, {"seed", 9}}}, {"16", {{"size", 0x20000}, {"seed", 1}}}};
  FlashModel model(config, {});
  int32_t status = 1;
  auto start = SerialRead(model, 2, 0, 8, &status);
  EXPECT_EQ(status, 0);
  ASSERT_EQ(start.size(), 8u);
  EXPECT_EQ(SerialRead(model, 2, 0x2000, 8, &status), start);  // wraps at 8 KiB
  EXPECT_EQ(SerialRead(model, 10, 0, 8, &status), start);      // upper half: 0x8000 wraps too
  EXPECT_NE(SerialRead(model, 16, 0, 8, &status), start);
  SerialRead(model, 20, 0, 8, &status);
  EXPECT_EQ(status, -266);

  std::vector<uint8_t> sizes_request(60, 0);
  sizes_request[0] = 17;
  auto sizes = model.Handle(sim::kInformationCommand, sizes_request);
  ASSERT_TRUE(sizes.has_value());
  EXPECT_EQ(sim::ReadU32(*sizes, 0), 0u);
  EXPECT_EQ(sim::ReadU32(*sizes, 8), 0x2000u);
  EXPECT_EQ(sim::ReadU32(*sizes, 16), 0x20000u);
  std::vector<uint8_t> other(60, 0);
  other[0] = 6;
  EXPECT_FALSE(model.Handle(sim::kInformationCommand, other).has_value());

  FlashModel without(nlohmann::json{{"memory_size_service", false}}, {});
  EXPECT_EQ(static_cast<int32_t>(sim::ReadU32(*without.Handle(sim::kInformationCommand, sizes_request), 0)), -266);
}

TEST(FlashModelPersistence, FlashOutlivesTheModelAndCompacts) {
  testing_support::TempDir dir;
  uint16_t id = 0;
  {
    FlashModel model(Config(), dir.path());
    Send(model, Block(sim::kSubInit, 0, 0, 0, 0, 0));
    id = Send(model, Block(sim::kSubNew, 0, 0, 0, 0, 0)).id;
    // Many rewrites of one sector make the journal worth compacting.
    for (int i = 0; i < 400; ++i) {
      Send(model, Block(sim::kSubWrite, 0, id, 0, 0, 2, {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)}));
    }
    Send(model, Block(sim::kSubRawWrite, 0, 7, 0, 0, 2, {0x5A, 0xA5}));
    model.Save();
    EXPECT_LT(std::filesystem::file_size(dir.path() / "flash.bin"), 8000u);
  }
  FlashModel reopened(Config(), dir.path());
  EXPECT_FALSE(reopened.Initialised(0));  // a new power-up
  Send(reopened, Block(sim::kSubInit, 0, 0, 0, 0, 0));
  Reply data = Send(reopened, Block(sim::kSubRead, 0, id, 0, 0, 2));
  EXPECT_EQ(data.data, (std::vector<uint8_t>{399 & 0xFF, 399 >> 8}));
  EXPECT_EQ(reopened.RawSector(0, 7)[1], 0xA5);
  EXPECT_EQ(reopened.AllocatedSectors(0), 2u);
  // A new sector does not reuse the id that is still allocated.
  EXPECT_NE(Send(reopened, Block(sim::kSubNew, 0, 0, 0, 0, 0)).id, id);
}

TEST(FlashModelPersistence, TruncatedJournalKeepsWholeRecords) {
  testing_support::TempDir dir;
  uint16_t id = 0;
  {
    FlashModel model(Config(), dir.path());
    Send(model, Block(sim::kSubInit, 0, 0, 0, 0, 0));
    id = Send(model, Block(sim::kSubNew, 0, 0, 0, 0, 0)).id;
    Send(model, Block(sim::kSubWrite, 0, id, 0, 0, 1, {0x42}));
    Send(model, Block(sim::kSubWrite, 0, id, 0, 0, 1, {0x43}));
  }
  auto path = dir.path() / "flash.bin";
  std::filesystem::resize_file(path, std::filesystem::file_size(path) - 100);
  FlashModel reopened(Config(), dir.path());
  EXPECT_EQ(reopened.LogicalSector(0, id)->at(0), 0x42);
}

}  // namespace
