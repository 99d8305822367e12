// The checksum a unit verifies at the end of a packet transfer: the
// reflected CRC-32 (polynomial 0xEDB88320, register starting at 0xFFFFFFFF)
// without the final inversion, i.e. the complement of the usual CRC-32.
#pragma once

#include <cstdint>
#include <span>

namespace sim {

class PacketCrc {
 public:
  void Update(std::span<const uint8_t> bytes);
  uint32_t value() const { return register_; }

 private:
  uint32_t register_ = 0xFFFFFFFFu;
};

uint32_t ComputePacketCrc(std::span<const uint8_t> bytes);

}  // namespace sim
