#include "sim/serial_link.h"

#include <algorithm>
#include <array>
#include <utility>

#include "sim/crc.h"
#include "sim/wire.h"

namespace sim {
namespace {

constexpr size_t kFrameOverhead = 10;  // start mark, header, CRC
constexpr int32_t kPollSliceMs = 20;
constexpr int32_t kWriteWaitMs = 5000;
// A request body never exceeds this; a larger Size is not a frame.
constexpr size_t kLargestRequestBody = 8176;

// Puts a character's bits at a bit position of little-endian bytes.
void PlaceBits(std::vector<uint8_t>& bytes, uint16_t character, size_t position, int32_t bits) {
  if (bytes.size() < (position + static_cast<size_t>(bits) + 7) / 8 + 2) {
    bytes.resize((position + static_cast<size_t>(bits) + 7) / 8 + 2, 0);
  }
  for (int32_t bit = 0; bit < bits; ++bit, ++position) {
    if ((character >> bit) & 1) bytes[position / 8] |= static_cast<uint8_t>(1u << (position % 8));
  }
}

}  // namespace

std::vector<uint16_t> SerialFrameCharacters(uint8_t command, uint8_t reserved, std::span<const uint8_t> body,
                                            int32_t bits) {
  std::vector<uint8_t> padded(body.begin(), body.end());
  uint16_t size = static_cast<uint16_t>(padded.size());
  if (padded.size() > 0x7FFF) {
    const size_t units = std::min<size_t>((padded.size() + 255) / 256, 0x7FFF);
    padded.resize(units * 256, 0);
    size = static_cast<uint16_t>(0x8000 | units);
  }
  std::vector<uint8_t> frame = {0x01, 0xFF, 0, 0, command, reserved};
  PutU16(frame, 2, size);
  frame.insert(frame.end(), padded.begin(), padded.end());
  const uint32_t crc = ComputePacketCrc(std::span(frame).subspan(2));
  frame.resize(frame.size() + 4);
  PutU32(frame, frame.size() - 4, crc);

  std::vector<uint16_t> characters;
  const size_t total = frame.size() * 8;
  for (size_t position = 0; position < total; position += static_cast<size_t>(bits)) {
    uint16_t character = 0;
    for (int32_t bit = 0; bit < bits && position + static_cast<size_t>(bit) < total; ++bit) {
      const size_t at = position + static_cast<size_t>(bit);
      if ((frame[at / 8] >> (at % 8)) & 1) character |= static_cast<uint16_t>(1u << bit);
    }
    characters.push_back(character);
  }
  return characters;
}

std::unique_ptr<SerialLink> SerialLink::Start(UnitConfig config, int32_t bits, std::filesystem::path state_dir) {
  if (bits < 5 || bits > 8) return nullptr;
  std::unique_ptr<platform::serial::PseudoTerminal> terminal = platform::serial::PseudoTerminal::Open();
  if (!terminal || !terminal->SetBitSize(bits)) return nullptr;
  auto link =
      std::unique_ptr<SerialLink>(new SerialLink(std::move(config), bits, std::move(state_dir), std::move(terminal)));
  link->thread_ = std::thread([raw = link.get()] { raw->Run(); });
  return link;
}

SerialLink::SerialLink(UnitConfig config, int32_t bits, std::filesystem::path state_dir,
                       std::unique_ptr<platform::serial::PseudoTerminal> terminal)
    : config_(std::move(config)),
      bits_(bits),
      terminal_(std::move(terminal)),
      firmware_(config_, std::move(state_dir)) {}

SerialLink::~SerialLink() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  std::lock_guard lock(mutex_);
  firmware_.Save();
}

uint64_t SerialLink::requests_served() {
  std::lock_guard lock(mutex_);
  return requests_served_;
}

uint64_t SerialLink::characters_skipped() {
  std::lock_guard lock(mutex_);
  return characters_skipped_;
}

std::optional<std::vector<uint8_t>> SerialLink::FlashFile(const std::string& name) {
  std::lock_guard lock(mutex_);
  return firmware_.flash()->File(0, name);
}

void SerialLink::Run() {
  std::array<uint8_t, 512> buffer{};
  while (!stop_) {
    const int32_t got = terminal_->Read(buffer, kPollSliceMs);
    if (got < 0) return;
    for (int32_t index = 0; index < got; ++index) {
      Receive(static_cast<uint16_t>(buffer[static_cast<size_t>(index)] & ((1u << bits_) - 1)));
    }
  }
}

void SerialLink::Receive(uint16_t character) {
  PlaceBits(pending_bytes_, character, pending_.size() * static_cast<size_t>(bits_), bits_);
  pending_.push_back(character);
  for (;;) {
    const std::vector<uint8_t>& bytes = pending_bytes_;
    const size_t received = pending_.size() * static_cast<size_t>(bits_);
    const bool start_ok = (received < 8 || bytes[0] == 0x01) && (received < 16 || bytes[1] == 0xFF);
    if (start_ok && received < 48) return;
    size_t body = start_ok ? ReadU16(bytes, 2) : 0;
    if (start_ok && body <= kLargestRequestBody) {
      if (received < (body + kFrameOverhead) * 8) return;
      const uint32_t crc = ComputePacketCrc(std::span(bytes).subspan(2, 4 + body));
      if (crc == ReadU32(bytes, 6 + body)) {
        Request request;
        request.size = static_cast<uint16_t>(body);
        request.command = bytes[4];
        request.reserved = bytes[5];
        request.body.assign(bytes.begin() + 6, bytes.begin() + 6 + static_cast<std::ptrdiff_t>(body));
        // Whatever followed the frame in its last character is padding.
        pending_.clear();
        pending_bytes_.clear();
        if (!Answer(request)) stop_ = true;
        return;
      }
    }
    pending_.erase(pending_.begin());
    pending_bytes_.assign(pending_bytes_.size(), 0);
    for (size_t index = 0; index < pending_.size(); ++index) {
      PlaceBits(pending_bytes_, pending_[index], index * static_cast<size_t>(bits_), bits_);
    }
    {
      std::lock_guard lock(mutex_);
      ++characters_skipped_;
    }
    if (pending_.empty()) return;
  }
}

bool SerialLink::Answer(const Request& request) {
  FirmwareReply reply;
  {
    std::lock_guard lock(mutex_);
    reply = firmware_.Handle(request);
    ++requests_served_;
  }
  const std::vector<uint16_t> characters = SerialFrameCharacters(request.command, request.reserved, reply.body, bits_);
  std::vector<uint8_t> bytes(characters.begin(), characters.end());
  const bool written = terminal_->Write(bytes, kWriteWaitMs);
  if (reply.soft_boot) {
    std::lock_guard lock(mutex_);
    firmware_.Restart();
  }
  return written;
}

}  // namespace sim
