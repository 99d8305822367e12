// Feeds random character streams to the serial exchange's receive path.
// Input: byte 0 picks the bit size (5..16), byte 1 the reply capacity
// (0..255 bytes), the rest are the characters the port delivers (one byte
// each up to 8 bits, two little-endian bytes each above). The reply buffers
// are allocated at their exact size, so AddressSanitizer reports any write
// past them; virtual time bounds every wait, so a stream without a valid
// reply ends in a timeout instead of a hang.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "fuzz/targets.h"
#include "platform/clock.h"
#include "platform/serial_port.h"
#include "reader/handle.h"
#include "transport/serial.h"

namespace fuzz {

int SerialReceive(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  platform::VirtualClock clock;
  platform::ScopedClock scoped(clock);
  const int32_t bits = 5 + data[0] % 12;
  const uint16_t capacity = data[1];
  std::vector<uint16_t> characters;
  const size_t width = bits > 8 ? 2 : 1;
  for (size_t at = 2; at + width <= size; at += width) {
    characters.push_back(static_cast<uint16_t>(width == 2 ? data[at] | (data[at + 1] << 8) : data[at]));
  }

  auto port = std::make_unique<platform::serial::MemoryPort>(bits);
  port->Deliver(characters);
  RDRHANDLE handle = SEROpenPort(std::move(port));
  if (handle == InvalidReaderHandle()) return 0;
  RDRTimeoutSet(handle, 1);

  auto header = std::make_unique<RDRMSGHDR>(RDRMSGHDR{capacity, 0, 0});
  std::unique_ptr<uint8_t[]> body = capacity == 0 ? nullptr : std::make_unique_for_overwrite<uint8_t[]>(capacity);
  RDRMSGHDR request{0, 14, 0};
  const int32_t result = SERSendReceive(handle, &request, nullptr, header.get(), body.get());
  if (result == 1 && (header->Size & 0x8000) == 0 && header->Size > capacity) __builtin_trap();
  // The ring gives back at most what was received.
  size_t kept = 0;
  while (SERGetCharacter(handle) != 256) {
    if (++kept > characters.size()) __builtin_trap();
  }
  RDRClose(handle);
  return 0;
}

}  // namespace fuzz

QUORVEL_FUZZ_ENTRY(fuzz::SerialReceive)
