// The CRC-32 register both the packet transfer and the serial frame carry:
// reflected polynomial 0xEDB88320, started at 0xFFFFFFFF and sent without the
// final inversion (CRC-32/JAMCRC; "123456789" gives 0x340BC6D9).
#pragma once

#include <array>
#include <cstdint>
#include <span>

inline constexpr uint32_t kCrc32Start = 0xFFFFFFFFu;

inline constexpr std::array<uint32_t, 256> kCrc32Table = [] {
  std::array<uint32_t, 256> table{};
  for (uint32_t index = 0; index < 256; ++index) {
    uint32_t value = index;
    for (int bit = 0; bit < 8; ++bit) value = (value & 1) != 0 ? (value >> 1) ^ 0xEDB88320u : value >> 1;
    table[index] = value;
  }
  return table;
}();

// Folds bytes into the register; feed a file piece by piece from kCrc32Start.
inline uint32_t Crc32Update(uint32_t crc, std::span<const uint8_t> bytes) {
  for (uint8_t byte : bytes) crc = (crc >> 8) ^ kCrc32Table[(crc ^ byte) & 0xFF];
  return crc;
}
