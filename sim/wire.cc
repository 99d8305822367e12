#include "sim/wire.h"

#include <algorithm>

namespace sim {

uint16_t ReadU16(std::span<const uint8_t> bytes, size_t offset) {
  if (offset + 2 > bytes.size()) return 0;
  return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

uint32_t ReadU32(std::span<const uint8_t> bytes, size_t offset) {
  if (offset + 4 > bytes.size()) return 0;
  return static_cast<uint32_t>(bytes[offset]) | (static_cast<uint32_t>(bytes[offset + 1]) << 8) |
         (static_cast<uint32_t>(bytes[offset + 2]) << 16) | (static_cast<uint32_t>(bytes[offset + 3]) << 24);
}

void PutU16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value) {
  if (bytes.size() < offset + 2) bytes.resize(offset + 2);
  bytes[offset] = static_cast<uint8_t>(value);
  bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void PutU32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
  if (bytes.size() < offset + 4) bytes.resize(offset + 4);
  for (size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutText(std::vector<uint8_t>& bytes, size_t offset, size_t width, std::string_view text) {
  if (bytes.size() < offset + width) bytes.resize(offset + width);
  size_t copied = std::min(width, text.size());
  std::copy_n(text.begin(), copied, bytes.begin() + static_cast<std::ptrdiff_t>(offset));
  std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(offset + copied),
            bytes.begin() + static_cast<std::ptrdiff_t>(offset + width), uint8_t{0});
}

std::string ReadText(std::span<const uint8_t> bytes, size_t offset, size_t width) {
  std::string text;
  for (size_t i = offset; i < bytes.size() && i < offset + width && bytes[i] != 0; ++i) {
    text.push_back(static_cast<char>(bytes[i]));
  }
  return text;
}

size_t PaddedLength(size_t bytes) {
  size_t blocks = (bytes + kBlockBytes - 1) / kBlockBytes;
  return std::max<size_t>(1, blocks) * kBlockBytes;
}

uint16_t EncodeReplySize(size_t body_bytes) {
  if (body_bytes < 0x8000) return static_cast<uint16_t>(body_bytes);
  size_t units256 = (body_bytes + 255) / 256;
  if (units256 <= 0x3FFF) return static_cast<uint16_t>(0x8000 | units256);
  size_t units2048 = std::min<size_t>((body_bytes + 2047) / 2048, 0x3FFF);
  return static_cast<uint16_t>(0xC000 | units2048);
}

size_t DecodeReplySize(uint16_t size) {
  if (size < 0x8000) return size;
  if (size < 0xC000) return size_t{size & 0x3FFFu} * 256;
  return size_t{size & 0x3FFFu} * 2048;
}

std::optional<Request> ParseRequest(std::span<const uint8_t> transfer) {
  if (transfer.size() < kBlockBytes || transfer.size() % kBlockBytes != 0) return std::nullopt;
  Request request;
  request.size = ReadU16(transfer, 0);
  request.command = transfer[2];
  request.reserved = transfer[3];
  if (size_t{request.size} + kHeaderBytes > transfer.size()) return std::nullopt;
  request.body.assign(transfer.begin() + kHeaderBytes, transfer.begin() + kHeaderBytes + request.size);
  return request;
}

std::vector<uint8_t> FrameReply(uint8_t command, uint8_t reserved, std::span<const uint8_t> body) {
  std::span<const uint8_t> sent = body.first(std::min(body.size(), kLargestReplyBody));
  uint16_t size = EncodeReplySize(sent.size());
  size_t encoded = DecodeReplySize(size);
  std::vector<uint8_t> wire(PaddedLength(kHeaderBytes + encoded), 0);
  PutU16(wire, 0, size);
  wire[2] = command;
  wire[3] = reserved;
  std::copy(sent.begin(), sent.end(), wire.begin() + kHeaderBytes);
  return wire;
}

std::vector<uint8_t> FrameRequest(uint8_t command, std::span<const uint8_t> body, uint8_t reserved) {
  std::vector<uint8_t> wire(PaddedLength(kHeaderBytes + body.size()), 0);
  PutU16(wire, 0, static_cast<uint16_t>(body.size()));
  wire[2] = command;
  wire[3] = reserved;
  std::copy(body.begin(), body.end(), wire.begin() + kHeaderBytes);
  return wire;
}

}  // namespace sim
