// The flash image restore against simulated units: raw sectors on a unit
// without packet transfers, one packet transfer on a unit with them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "sim/flash_model.h"
#include "sim/wire.h"
#include "tests/support/session_log_recorder.h"
#include "tests/support/sim_bench.h"
#include "tests/support/temp_dir.h"
#include "updater/engine.h"

namespace {

using namespace testing_support;

constexpr size_t kGen1Header = 0x50000;

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 13 + (i >> 10));
  return data;
}

class RestoreTest : public testing::Test {
 protected:
  // A unit without the packet-transfer bit restores through raw sectors.
  sim::Unit& AddUnit(bool packets) { return bench_.AddUnit(packets ? WrUnitConfig() : Fx2UnitConfig()); }
  std::string Image(const std::vector<uint8_t>& contents) {
    WriteFile(dir_.File("boot.bin"), std::string(contents.begin(), contents.end()));
    return dir_.File("boot.bin");
  }
  int32_t Restore(const std::string& path, LogStyle style = LogStyle::kConsole) {
    const int32_t result = RestoreFlash(RT::BaseString("%s", path.c_str()), style);
    EXPECT_EQ(g_ReaderHandle, nullptr);
    return result;
  }
  // Sector, offset and length of each raw erase.
  static std::vector<std::vector<uint16_t>> Erases(sim::Unit& unit) {
    std::vector<std::vector<uint16_t>> erases;
    for (const sim::Request& r : RequestsOf(unit, 126, sim::kSubRawErase))
      erases.push_back({sim::ReadU16(r.body, 2), sim::ReadU16(r.body, 6), sim::ReadU16(r.body, 8)});
    return erases;
  }

  SimBench bench_;
  SessionLogRecorder log_;
  TempDir dir_;
};

// An empty image, and one beyond what 16-bit sector numbers address, send no
// erase at all.
TEST_F(RestoreTest, RawSectorsWrittenAndErasedPerGroup) {
  sim::Unit& unit = AddUnit(false);
  const std::vector<uint8_t> image = Pattern(65 * 1024 + 1);
  ASSERT_EQ(Restore(Image(image)), 0);
  EXPECT_EQ(log_.Messages()[2], "Using transfer protocol 1");
  EXPECT_EQ(Erases(unit), (std::vector<std::vector<uint16_t>>{{0, 1, 1}, {64, 1, 1}}));
  EXPECT_EQ(RequestsOf(unit, 126, sim::kSubRawWrite).size(), 66u);
  // The last block's padding is in the update tests.
  EXPECT_EQ(unit.flash().RawSector(0, 64), std::vector<uint8_t>(image.begin() + 64 * 1024, image.end() - 1));
  unit.ClearTraffic();
  ASSERT_EQ(Restore(Image({})), 0);
  const std::string path = dir_.File("huge.bin");
  WriteFile(path, "");
  std::filesystem::resize_file(path, 65536 * 1024 + 1);
  EXPECT_EQ(Restore(path), 32);
  EXPECT_TRUE(RequestsOf(unit, 126).empty());
}

TEST_F(RestoreTest, RawSectorFailuresInBothLogStyles) {
  // The sector request answered with an error (-1: the read-back is damaged), style, result, message.
  // clang-format off
  const std::tuple<int, LogStyle, int32_t, std::string> cases[] = {
      {sim::kSubRawErase, LogStyle::kConsole, 33, "SectorRawErase() Erase - ret = 0"},
      {sim::kSubRawWrite, LogStyle::kConsole, 32, "SectorRawWrite() Write - ret = 0"},
      {sim::kSubRawRead, LogStyle::kConsole, 32, "SectorRawRead() Read - ret = 0"},
      {-1, LogStyle::kDialog, 32, "N5RestoreFlash::SectorRawRead() Verify failed"}};
  // clang-format on
  const std::string path = Image(Pattern(3000));
  sim::Unit& unit = AddUnit(false);
  // When corrupting, raw reads of sector 1 are served by the unit's own flash with one bit of its data flipped.
  bool corrupt = false;
  sim::FlashModel& flash = unit.flash();  // taken here: the unit is locked while it serves a request
  Intercept(unit, [&](uint8_t command, auto body) -> std::optional<std::vector<uint8_t>> {
    if (!corrupt || command != sim::kSectorCommand || body[0] != sim::kSubRawRead || sim::ReadU16(body, 2) != 1)
      return std::nullopt;
    std::optional<std::vector<uint8_t>> reply = flash.Handle(command, body);
    (*reply)[6 + 500] ^= 0x01;
    return reply;
  });
  for (const auto& [sub, style, result, message] : cases) {
    corrupt = sub < 0;
    if (sub >= 0) unit.flash().InjectStatus(static_cast<uint8_t>(sub), -122);
    log_.Clear();
    EXPECT_EQ(Restore(path, style), result);
    EXPECT_EQ(log_.Messages()[style == LogStyle::kConsole ? 3 : 1], message);
  }
}

TEST_F(RestoreTest, PacketTransferNeedsAGenerationHeader) {
  sim::Unit& unit = AddUnit(true);
  std::vector<uint8_t> image = Pattern(kGen1Header + 5000);
  for (size_t i = 0; i < 8; ++i) image[kGen1Header + i] = i < 4 ? 0xA5 : 0x01;
  ASSERT_EQ(Restore(Image(image)), 0);
  EXPECT_EQ(unit.Image(), image);
  EXPECT_EQ(log_.Messages()[2], "Using transfer protocol 2");
  for (const auto& [size, message] : {std::pair<size_t, std::string>{kGen1Header + 32, "gen 2 file read header failed"},
                                      {0, "gen 1 file read header failed"}}) {
    unit.ClearTraffic();
    log_.Clear();
    EXPECT_EQ(Restore(Image(Pattern(size)), LogStyle::kDialog), 19);
    EXPECT_EQ(log_.Messages(), (std::vector<std::string>{"Using transfer protocol 2", "N5RestoreFlash::" + message}));
    EXPECT_TRUE(RequestsOf(unit, 14, 35).empty());
  }
}

TEST_F(RestoreTest, NothingIsOpenedForAMissingImageOrWithoutAReader) {
  EXPECT_EQ(Restore(Image(Pattern(10))), 19);
  EXPECT_EQ(log_.Messages().at(log_.Messages().size() - 2), "RdrOpen() - ret = 21");
  sim::Unit& unit = AddUnit(false);
  const std::string path = dir_.File("absent.bin");
  log_.Clear();
  EXPECT_EQ(Restore(path), 19);
  EXPECT_EQ(log_.Messages()[2], "PathFileExists(path) - ret = false, path = (" + path + ")");
  EXPECT_EQ(unit.devices_opened(), 0u);
}

}  // namespace
