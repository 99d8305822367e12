#include "sim/crc.h"

#include <array>

namespace sim {
namespace {

constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t value = i;
    for (int bit = 0; bit < 8; ++bit) value = (value & 1u) ? (value >> 1) ^ 0xEDB88320u : value >> 1;
    table[i] = value;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kTable = MakeTable();

}  // namespace

void PacketCrc::Update(std::span<const uint8_t> bytes) {
  for (uint8_t byte : bytes) register_ = (register_ >> 8) ^ kTable[(register_ ^ byte) & 0xFFu];
}

uint32_t ComputePacketCrc(std::span<const uint8_t> bytes) {
  PacketCrc crc;
  crc.Update(bytes);
  return crc.value();
}

}  // namespace sim
