// Sample firmware files for the simulated units: FX3 boot images,
// application files, bootloader flash images and configuration texts in the
// shapes the updater checks. Every byte follows from the arguments, so two
// runs (or two machines) produce the same files, and a test can rebuild the
// file a unit received to compare it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// The application file header: two little-endian words, then 24 bytes the
// updater does not look at.
inline constexpr uint32_t kApplicationHeaderMagic = 0xA5A5A5A5;
inline constexpr uint32_t kApplicationHeaderMarker = 0x01010101;
inline constexpr size_t kApplicationHeaderBytes = 32;

// Where the first FX3 section loads; later sections follow it in memory, and
// the entry address is this one.
inline constexpr uint32_t kFx3LoadAddress = 0x40003000;

// Offset of the application header in a flash image of generation 1 to 4.
// Throws std::invalid_argument for any other generation.
size_t FlashImageHeaderOffset(int generation);

// An FX3 boot image: "CY", control byte 0x1C, image type 0xB0, one section per
// entry of section_words (uint32 length in words, uint32 load address, the
// data), the terminating section (length 0, entry address), the checksum (sum
// of all data words, modulo 2^32) and trailing_bytes further bytes that are not
// part of the image. Throws std::invalid_argument for a section of 0 words
// (it would end the image early).
std::vector<uint8_t> Fx3BootImage(const std::vector<size_t>& section_words, uint32_t seed, size_t trailing_bytes = 0);

// An application file of `size` bytes (at least 32): the header (magic,
// marker, the size and seed as uint32, 16 bytes of the seed's stream), then
// data. Throws std::invalid_argument when size is below 32.
std::vector<uint8_t> ApplicationFile(size_t size, uint32_t seed);

// A bootloader flash image of `size` bytes carrying the application header at
// its generation's offset and nowhere else among the four offsets;
// generation 0 carries it at none of them. Throws std::invalid_argument for a
// generation outside 0..4 or a size that does not hold the header.
std::vector<uint8_t> FlashImage(int generation, size_t size, uint32_t seed);

// Printable configuration text of exactly `size` bytes (lines end in "\n"):
// an XML document when the name ends in ".xml", ini sections otherwise. The
// name appears in its first line; a size too small for the frame cuts it.
std::vector<uint8_t> TextFile(const std::string& name, size_t size, uint32_t seed);

struct SampleFile {
  std::string name;
  std::vector<uint8_t> contents;
};

// The demo's files: a WR-series application (FX3 boot image) and FX3
// firmware whose part codes match the updates of examples/units/wr-series.json,
// and, for an FX2-based family, a generation 1 bootloader image, an
// application file, boot.ini, N5OS.xml and N5App.xml.
std::vector<SampleFile> DemoFirmwareFiles();

}  // namespace sim
