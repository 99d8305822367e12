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

using testing_support::At;
using testing_support::Line;
using testing_support::LoggedLine;

constexpr size_t kGen1Header = 0x50000;

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 13 + (i >> 10));
  return data;
}

// Serves raw reads through the unit's own flash and damages one sector's data.
struct CorruptRawRead final : sim::RequestHandler {
  explicit CorruptRawRead(sim::FlashModel& flash) : flash(flash) {}
  std::optional<std::vector<uint8_t>> Handle(uint8_t command, std::span<const uint8_t> body) override {
    if (!active || command != sim::kSectorCommand || body[0] != sim::kSubRawRead || sim::ReadU16(body, 2) != 1) {
      return std::nullopt;
    }
    std::optional<std::vector<uint8_t>> reply = flash.Handle(command, body);
    (*reply)[6 + 500] ^= 0x01;
    return reply;
  }
  void Save() override {}
  sim::FlashModel& flash;
  bool active = false;
};

class RestoreTest : public testing::Test {
 protected:
  // A unit without the packet-transfer bit restores through raw sectors.
  sim::Unit& AddUnit(bool packets) {
    return bench_.AddUnit(packets ? testing_support::WrUnitConfig() : testing_support::Fx2UnitConfig());
  }
  std::string Image(const std::vector<uint8_t>& contents) {
    testing_support::WriteFile(dir_.File("boot.bin"), std::string(contents.begin(), contents.end()));
    return dir_.File("boot.bin");
  }
  int32_t Restore(const std::string& path, LogStyle style = LogStyle::kConsole) {
    const int32_t result = RestoreFlash(RT::BaseString("%s", path.c_str()), style);
    EXPECT_EQ(g_ReaderHandle, nullptr);
    return result;
  }
  static std::vector<uint32_t> Sectors(sim::Unit& unit, uint8_t subCommand) {
    std::vector<uint32_t> sectors;
    for (const sim::Request& request : testing_support::RequestsOf(unit, 126, subCommand)) {
      sectors.push_back(sim::ReadU16(request.body, 2));
      if (subCommand == sim::kSubRawErase) {
        EXPECT_EQ(sim::ReadU16(request.body, 6), 1);  // offset
        EXPECT_EQ(sim::ReadU16(request.body, 8), 1);  // length
      }
    }
    return sectors;
  }

  testing_support::SimBench bench_;
  testing_support::SessionLogRecorder log_;
  testing_support::TempDir dir_;
};

TEST_F(RestoreTest, RawSectorsWrittenPaddedAndErasedPerGroup) {
  sim::Unit& unit = AddUnit(false);
  const std::vector<uint8_t> image = Pattern(1025);
  const std::string path = Image(image);
  ASSERT_EQ(Restore(path), 0);
  EXPECT_EQ(log_.lines(), (std::vector<LoggedLine>{At("Begin", "RestoreFlash"), Line("path " + path),
                                                   Line("Using transfer protocol 1"), At("End", "RestoreFlash")}));
  EXPECT_EQ(Sectors(unit, sim::kSubRawErase), std::vector<uint32_t>{0});
  EXPECT_EQ(Sectors(unit, sim::kSubRawWrite), (std::vector<uint32_t>{0, 1}));
  EXPECT_EQ(unit.flash().RawSector(0, 0), std::vector<uint8_t>(image.begin(), image.begin() + 1024));
  std::vector<uint8_t> last(1024, 0xFF);
  last[0] = image[1024];
  EXPECT_EQ(unit.flash().RawSector(0, 1), last);

  unit.ClearTraffic();
  const std::vector<uint8_t> twoGroups = Pattern(65 * 1024);
  ASSERT_EQ(Restore(Image(twoGroups)), 0);
  EXPECT_EQ(Sectors(unit, sim::kSubRawErase), (std::vector<uint32_t>{0, 64}));
  EXPECT_EQ(unit.flash().RawSector(0, 64), std::vector<uint8_t>(twoGroups.begin() + 64 * 1024, twoGroups.end()));

  unit.ClearTraffic();
  ASSERT_EQ(Restore(Image({})), 0);
  EXPECT_TRUE(testing_support::RequestsOf(unit, 126).empty());
}

TEST_F(RestoreTest, RawSectorFailuresInBothLogStyles) {
  struct Case {
    int subCommand;  // the sector request answered with an error; -1 the read-back is damaged
    LogStyle style;
    int32_t result;
    std::string message;
  };
  const std::vector<Case> cases = {
      {sim::kSubRawErase, LogStyle::kConsole, 33, "SectorRawErase() Erase - ret = 0"},
      {sim::kSubRawErase, LogStyle::kDialog, 33, "N5RestoreFlash::SectorRawErase() Erase - ret = 0"},
      {sim::kSubRawWrite, LogStyle::kConsole, 32, "SectorRawWrite() Write - ret = 0"},
      {sim::kSubRawRead, LogStyle::kConsole, 32, "SectorRawRead() Read - ret = 0"},
      {-1, LogStyle::kConsole, 32, "SectorRawRead() Verify failed"},
      {-1, LogStyle::kDialog, 32, "N5RestoreFlash::SectorRawRead() Verify failed"},
  };
  const std::string path = Image(Pattern(3000));
  sim::Unit& unit = AddUnit(false);
  auto handler = std::make_unique<CorruptRawRead>(unit.flash());
  CorruptRawRead& corrupt = *handler;  // owned by the unit from here on
  unit.AddHandler(std::move(handler));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    corrupt.active = c.subCommand < 0;
    if (c.subCommand >= 0) unit.flash().InjectStatus(static_cast<uint8_t>(c.subCommand), -122);
    log_.Clear();
    EXPECT_EQ(Restore(path, c.style), c.result);
    if (c.style == LogStyle::kConsole) {
      EXPECT_EQ(log_.lines(), (std::vector<LoggedLine>{At("Begin", "RestoreFlash"), Line("path " + path),
                                                       Line("Using transfer protocol 1"), Line(c.message),
                                                       At("End", "RestoreFlash")}));
    } else {
      EXPECT_EQ(log_.Messages(), (std::vector<std::string>{"Using transfer protocol 1", c.message}));
    }
  }
}

TEST_F(RestoreTest, AnImageBeyondSixteenBitSectorsIsRefusedBeforeAnyErase) {
  sim::Unit& unit = AddUnit(false);
  const std::string path = Image({});
  std::filesystem::resize_file(path, 65536 * 1024 + 1);
  EXPECT_EQ(Restore(path), 32);
  EXPECT_EQ(log_.Messages()[3], "image of 65537 blocks is larger than the 65536 sectors the flash can address");
  EXPECT_TRUE(testing_support::RequestsOf(unit, 126).empty());
}

TEST_F(RestoreTest, PacketTransferNeedsAGenerationHeader) {
  sim::Unit& unit = AddUnit(true);
  std::vector<uint8_t> image = Pattern(kGen1Header + 5000);
  for (size_t i = 0; i < 8; ++i) image[kGen1Header + i] = i < 4 ? 0xA5 : 0x01;
  ASSERT_EQ(Restore(Image(image)), 0);
  EXPECT_EQ(unit.Image(), image);
  EXPECT_EQ(log_.Messages()[2], "Using transfer protocol 2");

  const std::vector<std::pair<std::vector<uint8_t>, std::string>> refused = {
      {Pattern(kGen1Header + 32), "gen 2 file read header failed"},
      {{}, "gen 1 file read header failed"},
  };
  for (const auto& [contents, message] : refused) {
    unit.ClearTraffic();
    log_.Clear();
    EXPECT_EQ(Restore(Image(contents)), 19);
    EXPECT_EQ(log_.Messages().at(3), message);
    EXPECT_TRUE(testing_support::RequestsOf(unit, 14, 35).empty());
  }
  log_.Clear();
  EXPECT_EQ(Restore(Image(Pattern(kGen1Header + 32)), LogStyle::kDialog), 19);
  EXPECT_EQ(log_.Messages(),
            (std::vector<std::string>{"Using transfer protocol 2", "N5RestoreFlash::gen 2 file read header failed"}));
}

TEST_F(RestoreTest, NothingIsOpenedForAMissingImage) {
  sim::Unit& unit = AddUnit(false);
  const std::string path = dir_.File("absent.bin");
  EXPECT_EQ(Restore(path), 19);
  EXPECT_EQ(log_.Messages()[2], "PathFileExists(path) - ret = false, path = (" + path + ")");
  EXPECT_EQ(log_.lines().back(), At("End", "RestoreFlash"));
  EXPECT_EQ(unit.devices_opened(), 0u);
}

TEST_F(RestoreTest, NoReaderAttached) {
  EXPECT_EQ(Restore(Image(Pattern(10))), 19);
  EXPECT_EQ(log_.Messages().at(log_.Messages().size() - 2), "RdrOpen() - ret = 21");
}

}  // namespace
