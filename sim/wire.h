// Byte-level layout of the messages the simulated unit exchanges with the
// host: little-endian fields, the reply size encoding and the 64-byte block
// padding of every bulk transfer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

inline constexpr size_t kHeaderBytes = 4;
inline constexpr size_t kBlockBytes = 64;
// Largest body the 14-bit size field can describe (in 2048-byte units).
inline constexpr size_t kLargestReplyBody = size_t{0x3FFF} * 2048;

uint16_t ReadU16(std::span<const uint8_t> bytes, size_t offset);
uint32_t ReadU32(std::span<const uint8_t> bytes, size_t offset);
void PutU16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value);
void PutU32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value);
// Copies text into bytes[offset, offset + width), zero-filling the rest of
// the field; text longer than the field is cut.
void PutText(std::vector<uint8_t>& bytes, size_t offset, size_t width, std::string_view text);
// Text of a NUL-padded field, ending at the first NUL or at the field's end.
std::string ReadText(std::span<const uint8_t> bytes, size_t offset, size_t width);

// Smallest multiple of 64 that holds the given byte count (at least 64).
size_t PaddedLength(size_t bytes);

// The reply Size field for a body of the given length, and the body length
// that field stands for. Bodies below 0x8000 bytes are counted plainly, larger
// ones in 256-byte units while 14 bits suffice, else in 2048-byte units.
uint16_t EncodeReplySize(size_t body_bytes);
size_t DecodeReplySize(uint16_t size);

// A request as the unit received it in one bulk OUT transfer.
struct Request {
  uint16_t size = 0;
  uint8_t command = 0;
  uint8_t reserved = 0;
  std::vector<uint8_t> body;
};

// Parses one written transfer: a whole number of 64-byte blocks carrying a
// header and Size body bytes. nullopt when the transfer is not a well-formed
// message (not a multiple of 64, shorter than the header, or Size larger than
// what was written).
std::optional<Request> ParseRequest(std::span<const uint8_t> transfer);

// The wire bytes of one reply: header (Command and reserved echoed, Size
// encoded), the body padded with zeros up to the encoded count, and the whole
// message padded to a multiple of 64 bytes. Bodies above kLargestReplyBody
// are cut to it.
std::vector<uint8_t> FrameReply(uint8_t command, uint8_t reserved, std::span<const uint8_t> body);

// The wire bytes of a request, as a host would write them (for tests and
// fixtures that talk to a unit without the library).
std::vector<uint8_t> FrameRequest(uint8_t command, std::span<const uint8_t> body, uint8_t reserved = 0);

}  // namespace sim
