// The sample firmware files walked the way the updater reads them.
#include "sim/firmware_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "sim/wire.h"

namespace {

using sim::ReadU32;

bool HeaderAt(const std::vector<uint8_t>& bytes, size_t offset) {
  return offset + 32 <= bytes.size() && ReadU32(bytes, offset) == 0xA5A5A5A5 &&
         ReadU32(bytes, offset + 4) == 0x01010101;
}

TEST(SimFirmwareFiles, Fx3BootImagesWalkToTheirMeasuredLength) {
  const std::pair<std::vector<size_t>, size_t> cases[] = {{{}, 0}, {{1}, 0}, {{512, 256, 200}, 0}, {{3, 7}, 37}};
  for (const auto& [sections, trailing] : cases) {
    const std::vector<uint8_t> image = sim::Fx3BootImage(sections, 9, trailing);
    ASSERT_GE(image.size(), 4u);
    EXPECT_TRUE(image[0] == 'C' && image[1] == 'Y' && image[3] == 0xB0);
    size_t at = 4;
    uint32_t sum = 0;
    uint32_t next_address = sim::kFx3LoadAddress;
    std::vector<size_t> walked;
    while (at + 8 <= image.size() && ReadU32(image, at) != 0 && walked.size() < 10) {
      const uint32_t words = ReadU32(image, at);
      EXPECT_EQ(ReadU32(image, at + 4), next_address);
      for (uint32_t i = 0; i < words; ++i) sum += ReadU32(image, at + 8 + 4 * i);
      walked.push_back(words);
      next_address += words * 4;
      at += 8 + size_t{words} * 4;
    }
    EXPECT_EQ(walked, sections);
    EXPECT_EQ(ReadU32(image, at + 4), sim::kFx3LoadAddress);  // the entry address
    EXPECT_EQ(ReadU32(image, at + 8), sum);
    EXPECT_EQ(image.size(), at + 12 + trailing);
  }
  EXPECT_THROW(sim::Fx3BootImage({4, 0, 4}, 1), std::invalid_argument);
}

TEST(SimFirmwareFiles, FlashImagesCarryTheHeaderAtTheirGenerationOnly) {
  const size_t offsets[] = {0x50000, 0x2A0000, 0x400000, 0x5A0000};
  for (int generation = 0; generation <= 4; ++generation) {
    SCOPED_TRACE(generation);
    const std::vector<uint8_t> image = sim::FlashImage(generation, 0x5A0000 + 64, 7);
    for (int other = 1; other <= 4; ++other) EXPECT_EQ(HeaderAt(image, offsets[other - 1]), other == generation);
    if (generation > 0) {
      EXPECT_EQ(sim::FlashImageHeaderOffset(generation), offsets[generation - 1]);
      EXPECT_THROW(sim::FlashImage(generation, offsets[generation - 1] + 31, 7), std::invalid_argument);
    }
  }
  EXPECT_THROW(sim::FlashImage(5, 0x600000, 7), std::invalid_argument);
  EXPECT_NE(sim::FlashImage(1, 0x60000, 7), sim::FlashImage(1, 0x60000, 8));
  EXPECT_EQ(sim::FlashImage(1, 0x60000, 7), sim::FlashImage(1, 0x60000, 7));
}

TEST(SimFirmwareFiles, ApplicationAndTextFilesHaveTheirSize) {
  EXPECT_TRUE(HeaderAt(sim::ApplicationFile(40 * 1024, 3), 0));
  EXPECT_THROW(sim::ApplicationFile(31, 3), std::invalid_argument);
  for (const char* name : {"boot.ini", "N5OS.xml"}) {
    for (size_t size : {0u, 10u, 4096u}) {
      const std::vector<uint8_t> text = sim::TextFile(name, size, 1);
      EXPECT_EQ(text.size(), size) << name;
      EXPECT_TRUE(
          std::all_of(text.begin(), text.end(), [](uint8_t c) { return c == '\n' || (c >= 0x20 && c < 0x7F); }));
    }
  }
  const std::vector<uint8_t> xml = sim::TextFile("N5OS.xml", 4096, 1);
  EXPECT_EQ(std::string(xml.end() - 12, xml.end()), "</Settings>\n");
}

}  // namespace
