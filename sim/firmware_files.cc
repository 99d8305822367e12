#include "sim/firmware_files.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <stdexcept>

#include "sim/wire.h"

namespace sim {
namespace {

// splitmix64: a small generator whose whole state is its seed, so the bytes
// depend on nothing but the arguments. Each kind of file mixes in its own salt
// so that one seed does not give two kinds the same bytes.
class ByteStream {
 public:
  ByteStream(uint32_t seed, uint64_t salt) : state_(uint64_t{seed} << 32 ^ salt) {}

  uint64_t Next64() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Next32() { return static_cast<uint32_t>(Next64() >> 32); }

  void Fill(std::vector<uint8_t>& bytes, size_t from) {
    for (size_t at = from; at < bytes.size(); at += 8) {
      uint64_t word = Next64();
      for (size_t i = 0; i < 8 && at + i < bytes.size(); ++i) bytes[at + i] = static_cast<uint8_t>(word >> (8 * i));
    }
  }

 private:
  uint64_t state_;
};

constexpr uint64_t kFx3Salt = 0x4658330000000001ull;
constexpr uint64_t kApplicationSalt = 0x4150500000000002ull;
constexpr uint64_t kImageSalt = 0x494D470000000003ull;
constexpr uint64_t kTextSalt = 0x5458540000000004ull;

constexpr std::array<size_t, 4> kGenerationOffsets = {0x50000, 0x2A0000, 0x400000, 0x5A0000};

bool HeaderAt(const std::vector<uint8_t>& bytes, size_t offset) {
  return offset + 8 <= bytes.size() && ReadU32(bytes, offset) == kApplicationHeaderMagic &&
         ReadU32(bytes, offset + 4) == kApplicationHeaderMarker;
}

void Append(std::string& text, const char* format, auto... values) {
  char line[128];
  const int length = std::snprintf(line, sizeof line, format, values...);
  if (length > 0) text.append(line, static_cast<size_t>(length));
}

}  // namespace

size_t FlashImageHeaderOffset(int generation) {
  if (generation < 1 || generation > static_cast<int>(kGenerationOffsets.size())) {
    throw std::invalid_argument("flash image generation " + std::to_string(generation) + " is not 1..4");
  }
  return kGenerationOffsets[static_cast<size_t>(generation - 1)];
}

std::vector<uint8_t> Fx3BootImage(const std::vector<size_t>& section_words, uint32_t seed, size_t trailing_bytes) {
  ByteStream stream(seed, kFx3Salt);
  std::vector<uint8_t> image = {'C', 'Y', 0x1C, 0xB0};
  uint32_t address = kFx3LoadAddress;
  uint32_t checksum = 0;
  for (size_t words : section_words) {
    if (words == 0 || words > 0x3FFFFFFF) {
      throw std::invalid_argument("an FX3 section holds 1 to 2^30-1 words, not " + std::to_string(words));
    }
    PutU32(image, image.size(), static_cast<uint32_t>(words));
    PutU32(image, image.size(), address);
    for (size_t i = 0; i < words; ++i) {
      const uint32_t word = stream.Next32();
      checksum += word;
      PutU32(image, image.size(), word);
    }
    address += static_cast<uint32_t>(words * 4);
  }
  PutU32(image, image.size(), 0);
  PutU32(image, image.size(), kFx3LoadAddress);
  PutU32(image, image.size(), checksum);
  const size_t end = image.size();
  image.resize(end + trailing_bytes);
  stream.Fill(image, end);
  return image;
}

std::vector<uint8_t> ApplicationFile(size_t size, uint32_t seed) {
  if (size < kApplicationHeaderBytes || size > UINT32_MAX) {
    throw std::invalid_argument("an application file holds 32 bytes or more, not " + std::to_string(size));
  }
  ByteStream stream(seed, kApplicationSalt);
  std::vector<uint8_t> file(size);
  stream.Fill(file, 0);
  PutU32(file, 0, kApplicationHeaderMagic);
  PutU32(file, 4, kApplicationHeaderMarker);
  PutU32(file, 8, static_cast<uint32_t>(size));
  PutU32(file, 12, seed);
  return file;
}

std::vector<uint8_t> FlashImage(int generation, size_t size, uint32_t seed) {
  std::optional<size_t> header;
  if (generation != 0) header = FlashImageHeaderOffset(generation);
  if (header && size < *header + kApplicationHeaderBytes) {
    throw std::invalid_argument("a generation " + std::to_string(generation) + " image needs " +
                                std::to_string(*header + kApplicationHeaderBytes) + " bytes or more");
  }
  ByteStream stream(seed, kImageSalt);
  std::vector<uint8_t> image(size);
  stream.Fill(image, 0);
  // Random bytes matching a header at another offset would make the image
  // pass for another generation.
  for (size_t offset : kGenerationOffsets) {
    if (HeaderAt(image, offset)) image[offset] ^= 0xFF;
  }
  if (header) {
    std::vector<uint8_t> application = ApplicationFile(kApplicationHeaderBytes, seed);
    std::copy(application.begin(), application.end(), image.begin() + static_cast<std::ptrdiff_t>(*header));
  }
  return image;
}

std::vector<uint8_t> TextFile(const std::string& name, size_t size, uint32_t seed) {
  ByteStream stream(seed, kTextSalt);
  const bool xml = name.size() >= 4 && name.compare(name.size() - 4, 4, ".xml") == 0;
  std::string text;
  std::string end;
  if (xml) {
    text = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!-- " + name + " -->\n<Settings>\n";
    end = "</Settings>\n";
  } else {
    text = "; " + name + "\n[Settings]\n";
  }
  for (uint32_t item = 1;; ++item) {
    std::string line;
    if (xml) {
      Append(line, "  <Item key=\"K%04u\" value=\"%08X\"/>\n", item, stream.Next32());
    } else {
      if (item % 16 == 0) Append(line, "[Section%u]\n", item / 16);
      Append(line, "Key%04u=%08X\n", item, stream.Next32());
    }
    if (text.size() + line.size() + end.size() > size) break;
    text += line;
  }
  // Blanks pad the text to its size; a line of blanks means nothing to either format.
  if (text.size() + end.size() < size) {
    text.append(size - text.size() - end.size() - 1, ' ');
    text += '\n';
  }
  text += end;
  text.resize(size);
  return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<SampleFile> DemoFirmwareFiles() {
  return {
      {"FW41580-01-03_WR_App.bin", Fx3BootImage({512, 256, 200}, 41580)},
      {"FW41582-01-05_fx3.bin", Fx3BootImage({384, 128}, 41582)},
      {"FW41108-01-09_Boot.bin", FlashImage(1, 0x50000 + 0x10000, 41108)},
      {"FW41144-02-08_App.bin", ApplicationFile(40 * 1024, 41144)},
      {"boot.ini", TextFile("boot.ini", 2 * 1024, 1)},
      {"N5OS.xml", TextFile("N5OS.xml", 3 * 1024, 2)},
      {"N5App.xml", TextFile("N5App.xml", 4 * 1024, 3)},
  };
}

}  // namespace sim
