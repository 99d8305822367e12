// The flash model spoken to directly, request bytes in and reply bytes out.
#include "sim/flash.h"

#include <gtest/gtest.h>

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

TEST(FlashModelLogical, RulesOfTheLogicalView) {
  FlashModel model(Config(4), {});
  EXPECT_EQ(Send(model, Block(sim::kSubRead, 0, 1, 0, 0, 20)).status, -127);  // before SectorInit
  Reply init = Send(model, Block(sim::kSubInit, 0, 0, 0, 0, 0));
  EXPECT_EQ(init.status, 0);
  EXPECT_EQ(init.size, 2u);
  EXPECT_EQ(Send(model, Block(sim::kSubInit, 5, 0, 0, 0, 0)).status, -118);
  Reply created = Send(model, Block(sim::kSubNew, 0, 0, 0, 0, 0));
  ASSERT_EQ(created.status, 0);
  EXPECT_EQ(Send(model, Block(sim::kSubRead, 0, created.id, 0, 1020, 2)).data, (std::vector<uint8_t>{0xFF, 0xFF}));
  EXPECT_EQ(Send(model, Block(sim::kSubWrite, 0, created.id, 0, 1020, 3, {1, 2, 3})).status, -127);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(Send(model, Block(sim::kSubNew, 0, 0, 0, 0, 0)).status, 0);
  EXPECT_EQ(Send(model, Block(sim::kSubNew, 0, 0, 0, 0, 0)).status, -116);  // the chip is full
  EXPECT_EQ(model.AllocatedSectors(0), 4u);
  EXPECT_EQ(Send(model, Block(sim::kSubDelete, 0, created.id, 0, 0, 0)).status, 0);
  EXPECT_EQ(Send(model, Block(sim::kSubRead, 0, created.id, 0, 0, 1)).status, -126);
  EXPECT_EQ(Send(model, Block(sim::kSubDelete, 0, created.id, 0, 0, 0)).status, -126);
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

TEST(FlashModelReplies, StatusOnlyRepliesCutWhatTheHostDoesNotRead) {
  // Sizes of: a failing read, a successful raw write, raw erase, write and delete.
  struct Case {
    const char* setting;
    std::vector<size_t> sizes;
  } cases[] = {
      {"never", {6 + 4, 6, 6, 6, 6}},
      {"failures", {2, 6, 6, 6, 6}},
      {"unused_fields", {2, 2, 2, 6, 6}},  // a write and a delete report where the sector is
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setting);
    nlohmann::json config = Config();
    config["status_only_replies"] = c.setting;
    FlashModel model(config, {});
    Send(model, Block(sim::kSubInit, 0, 0, 0, 0, 0));
    const uint16_t id = Send(model, Block(sim::kSubNew, 0, 0, 0, 0, 0)).id;
    Reply failing = Send(model, Block(sim::kSubRead, 0, 999, 0, 0, 4));
    EXPECT_EQ(failing.status, -126);
    const std::vector<size_t> sizes = {failing.size, Send(model, Block(sim::kSubRawWrite, 0, 1, 0, 0, 1, {0})).size,
                                       Send(model, Block(sim::kSubRawErase, 0, 1, 0, 0, 0)).size,
                                       Send(model, Block(sim::kSubWrite, 0, id, 0, 0, 1, {7})).size,
                                       Send(model, Block(sim::kSubDelete, 0, id, 0, 0, 0)).size};
    EXPECT_EQ(sizes, c.sizes);
  }
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
  // A process that died while writing leaves a cut record: the whole ones count.
  Send(reopened, Block(sim::kSubWrite, 0, id, 0, 0, 1, {0x42}));
  const auto journal = dir.path() / "flash.bin";
  std::filesystem::resize_file(journal, std::filesystem::file_size(journal) - 100);
  EXPECT_EQ(FlashModel(Config(), dir.path()).LogicalSector(0, id)->at(0), 399 & 0xFF);
}

}  // namespace
