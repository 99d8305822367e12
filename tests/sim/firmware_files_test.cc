// The sample flash images carry their header where the updater looks for it.
#include "sim/firmware_files.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "sim/wire.h"

namespace {

using sim::ReadU32;

bool HeaderAt(const std::vector<uint8_t>& bytes, size_t offset) {
  return offset + 32 <= bytes.size() && ReadU32(bytes, offset) == 0xA5A5A5A5 &&
         ReadU32(bytes, offset + 4) == 0x01010101;
}

TEST(SimFirmwareFiles, FlashImagesCarryTheHeaderAtTheirGenerationOnly) {
  const size_t offsets[] = {0x50000, 0x2A0000, 0x400000, 0x5A0000};
  for (int generation = 0; generation <= 4; ++generation) {
    SCOPED_TRACE(generation);
    const std::vector<uint8_t> image = sim::FlashImage(generation, 0x5A0000 + 64, 7);
    for (int other = 1; other <= 4; ++other) EXPECT_EQ(HeaderAt(image, offsets[other - 1]), other == generation);
    EXPECT_TRUE(generation == 0 || sim::FlashImageHeaderOffset(generation) == offsets[generation - 1]);
  }
  EXPECT_THROW(sim::FlashImage(2, 0x2A0000 + 31, 7), std::invalid_argument);
  EXPECT_THROW(sim::FlashImage(5, 0x600000, 7), std::invalid_argument);
}

}  // namespace
