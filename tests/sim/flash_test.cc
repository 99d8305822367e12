// The flash model spoken to directly, request bytes in and reply bytes out.
#include "sim/flash.h"

#include <gtest/gtest.h>

#include "sim/flash_model.h"
#include "sim/wire.h"
#include "tests/support/temp_dir.h"

namespace sim {
namespace {

struct Reply {
  int16_t status = 0;
  uint16_t id = 0;
  std::vector<uint8_t> data;
};

// One sector request without a location hint.
Reply Send(FlashModel& model, uint8_t sub, uint16_t id = 0, uint16_t offset = 0, uint16_t length = 0,
           const std::vector<uint8_t>& data = {}, uint8_t chip = 0) {
  std::vector<uint8_t> body = {sub, chip, 0, 0, 0, 0, 0, 0, 0, 0};
  PutU16(body, 2, id);
  PutU16(body, 6, offset);
  PutU16(body, 8, length);
  body.insert(body.end(), data.begin(), data.end());
  auto bytes = model.Handle(kSectorCommand, body).value();
  if (bytes.size() < 6) return {static_cast<int16_t>(ReadU16(bytes, 0)), 0, {}};
  return {static_cast<int16_t>(ReadU16(bytes, 0)), ReadU16(bytes, 2), {bytes.begin() + 6, bytes.end()}};
}

nlohmann::json Config(uint32_t sectors = 64) { return {{"sectors_per_chip", sectors}, {"raw_sectors", 256}}; }

TEST(FlashModelLogical, RulesOfTheLogicalView) {
  FlashModel model(Config(4), {});
  EXPECT_EQ(Send(model, kSubRead, 1, 0, 20).status, -127);  // before SectorInit
  EXPECT_EQ(Send(model, kSubInit).status, 0);
  EXPECT_EQ(Send(model, kSubInit, 0, 0, 0, {}, 5).status, -118);
  const Reply created = Send(model, kSubNew);
  EXPECT_EQ(Send(model, kSubRead, created.id, 1020, 2).data, (std::vector<uint8_t>{0xFF, 0xFF}));
  EXPECT_EQ(Send(model, kSubWrite, created.id, 1020, 3, {1, 2, 3}).status, -127);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(Send(model, kSubNew).status, 0);
  EXPECT_EQ(Send(model, kSubNew).status, -116);  // the chip is full
  EXPECT_EQ(Send(model, kSubDelete, created.id).status, 0);
  EXPECT_EQ(Send(model, kSubRead, created.id, 0, 1).status, -126);
}

// One erase clears the 64-sector block holding the sector, and nothing else.
TEST(FlashModelRaw, BlockEraseAndBounds) {
  FlashModel model(Config(), {});
  for (uint16_t sector : {3, 63, 64, 127, 128}) EXPECT_EQ(Send(model, kSubRawWrite, sector, 0, 1, {0x12}).status, 0);
  EXPECT_EQ(Send(model, kSubRawErase, 65, 1, 1).status, 0);
  for (uint16_t sector : {3, 63, 64, 127, 128})
    EXPECT_EQ(model.RawSector(0, sector)[0], sector / 64 == 1 ? 0xFF : 0x12);
  EXPECT_EQ(Send(model, kSubRawRead, 256, 0, 4).status, -127);
}

TEST(FlashModelPersistence, FlashOutlivesTheModelAndCompacts) {
  testing_support::TempDir dir;
  uint16_t id = 0;
  {
    FlashModel model(Config(), dir.path());
    Send(model, kSubInit);
    id = Send(model, kSubNew).id;
    // Many rewrites of one sector make the journal worth compacting.
    for (int i = 0; i < 400; ++i) Send(model, kSubWrite, id, 0, 2, {uint8_t(i), uint8_t(i >> 8)});
    model.Save();
    EXPECT_LT(std::filesystem::file_size(dir.path() / "flash.bin"), 8000u);  // compacted
  }
  FlashModel reopened(Config(), dir.path());
  EXPECT_FALSE(reopened.Initialised(0));  // a new power-up
  Send(reopened, kSubInit);
  EXPECT_EQ(Send(reopened, kSubRead, id, 0, 2).data, (std::vector<uint8_t>{399 & 0xFF, 399 >> 8}));
  // A process that died while writing leaves a cut record: the whole ones count.
  Send(reopened, kSubWrite, id, 0, 1, {0x42});
  const auto journal = dir.path() / "flash.bin";
  std::filesystem::resize_file(journal, std::filesystem::file_size(journal) - 100);
  EXPECT_EQ(FlashModel(Config(), dir.path()).LogicalSector(0, id)->at(0), 399 & 0xFF);
}

}  // namespace
}  // namespace sim
