#include "transport/serial.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/clock.h"
#include "platform/system.h"
#include "reader/crc32.h"
#include "reader/frame.h"
#include "reader/handle.h"
#include "reader/little_endian.h"
#include "trace/trace.h"

namespace {

constexpr int32_t kNoCharacter = 256;
constexpr uint8_t kStartMark0 = 0x01;
constexpr uint8_t kStartMark1 = 0xFF;
constexpr uint32_t kHeaderOffset = 2;
constexpr uint32_t kBodyOffset = 6;
constexpr uint32_t kCrcBytes = 4;
constexpr uint32_t kFrameOverhead = kBodyOffset + kCrcBytes;
constexpr uint32_t kNoLimit = 0x7FFFFFFF;
constexpr uint32_t kWaitSliceMs = 10;
constexpr uint16_t kOverrunMark = 0x800;
constexpr int32_t kLargestBitSize = 16;

// Reply Size as the stream reads it: bit 15 selects 256-byte units.
uint32_t StreamMessageSize(uint16_t size) {
  return (size & 0x8000) != 0 ? static_cast<uint32_t>(size & 0x7FFF) * 256 : size;
}

uint32_t TimeLimit(RDRHANDLE handle) {
  return handle->timeout == 0 ? kNoLimit : static_cast<uint32_t>(handle->timeout) * 1000u;
}

bool TimedOut(RDRHANDLE handle, uint32_t start) { return platform::GetClock().TickCount() - start > TimeLimit(handle); }

bool IsSerialHandle(RDRHANDLE handle) { return IsValidReaderHandle(handle) && handle->kind_tag == kKindSerial; }

// Refuses a valid handle of another kind before its frame is entered, so
// the error stays global; invalid handles are refused by the entry step.
bool RefuseOtherKind(RDRHANDLE handle) {
  if (!IsValidReaderHandle(handle) || handle->kind_tag == kKindSerial) return false;
  SetLibraryError(nullptr, kErrInvalidParameter);
  return true;
}

// Stores one character in the unsolicited-input ring. A full ring marks its
// newest entry so that a reader of the ring sees where input was lost.
bool StoreUnsolicited(RDRHANDLE handle, int32_t character) {
  if (character == kNoCharacter) return true;
  SerialFields& stream = handle->stream;
  const uint32_t stored = (stream.ring_write - stream.ring_read + kUnsolicitedRingEntries) % kUnsolicitedRingEntries;
  if (stored == kUnsolicitedRingEntries - 1) {
    const uint32_t newest = (stream.ring_write + kUnsolicitedRingEntries - 1) % kUnsolicitedRingEntries;
    stream.ring[newest] |= kOverrunMark;
    return false;
  }
  stream.ring[stream.ring_write] = static_cast<uint16_t>(character);
  stream.ring_write = (stream.ring_write + 1) % kUnsolicitedRingEntries;
  return true;
}

// The c bits at bit position p of a little-endian bit stream. Three bytes are
// read so that a character that starts late in a byte keeps all its bits
// (with two bytes, sizes of 11 and 13 to 15 bits would lose their top bits).
uint16_t CharacterAt(std::span<const uint8_t> bytes, size_t position, int32_t bits) {
  const size_t first = position / 8;
  uint32_t value = 0;
  for (size_t index = 0; index < 3 && first + index < bytes.size(); ++index) {
    value |= static_cast<uint32_t>(bytes[first + index]) << (8 * index);
  }
  return static_cast<uint16_t>((value >> (position % 8)) & ((1u << bits) - 1));
}

// The bits of the reply received so far, from the first character that may
// begin a frame. Each byte, as it fills, also lands where the caller sees
// it: offsets 2-5 in the reply header, the body in the reply buffer up to
// its capacity; start mark, CRC and anything further stay here.
class ReceiveWindow {
 public:
  ReceiveWindow(int32_t bits, RDRMSGHDR* ihdr, uint8_t* idata, uint32_t capacity)
      : bits_(bits), ihdr_(ihdr), idata_(idata), capacity_(capacity) {}

  size_t bit_count() const { return (characters_.size() - first_) * static_cast<size_t>(bits_); }
  bool empty() const { return first_ == characters_.size(); }
  uint16_t first() const { return characters_[first_]; }

  void Append(uint16_t character) {
    const size_t position = bit_count();
    characters_.push_back(character);
    Place(character, position);
  }

  // Drops the first character; Rebuild() puts the rest back in place.
  void DropFirst() { ++first_; }

  void Rebuild() {
    characters_.erase(characters_.begin(), characters_.begin() + static_cast<std::ptrdiff_t>(first_));
    first_ = 0;
    std::fill(bytes_.begin(), bytes_.end(), 0);
    size_t position = 0;
    for (uint16_t character : characters_) {
      Place(character, position);
      position += static_cast<size_t>(bits_);
    }
  }

  uint8_t byte(size_t offset) const { return offset < bytes_.size() ? bytes_[offset] : 0; }
  std::span<const uint8_t> bytes(size_t offset, size_t count) const { return {bytes_.data() + offset, count}; }
  uint32_t body_size() const { return StreamMessageSize(static_cast<uint16_t>(byte(2) | (byte(3) << 8))); }

 private:
  void Place(uint16_t character, size_t position) {
    const size_t last = (position + static_cast<size_t>(bits_) - 1) / 8;
    if (bytes_.size() <= last) bytes_.resize(last + 1, 0);
    const uint32_t value = static_cast<uint32_t>(character & ((1u << bits_) - 1)) << (position % 8);
    for (size_t offset = position / 8; offset <= last; ++offset) {
      bytes_[offset] |= static_cast<uint8_t>(value >> (8 * (offset - position / 8)));
      Land(offset);
    }
  }

  void Land(size_t offset) {
    const uint8_t value = bytes_[offset];
    switch (offset) {
      case 0:
      case 1: return;
      case 2: ihdr_->Size = static_cast<uint16_t>((ihdr_->Size & 0xFF00) | value); return;
      case 3: ihdr_->Size = static_cast<uint16_t>((ihdr_->Size & 0x00FF) | (value << 8)); return;
      case 4: ihdr_->Command = value; return;
      case 5: ihdr_->reserved = value; return;
      default: break;
    }
    // Bytes past the header exist only once its Size is complete.
    const size_t body_offset = offset - kBodyOffset;
    if (idata_ != nullptr && body_offset < body_size() && body_offset < capacity_) idata_[body_offset] = value;
  }

  const int32_t bits_;
  RDRMSGHDR* const ihdr_;
  uint8_t* const idata_;
  const uint32_t capacity_;
  std::vector<uint16_t> characters_;  // from characters_[first_] on
  size_t first_ = 0;
  std::vector<uint8_t> bytes_;
};

int32_t PortRawInput(RDRHANDLE handle) { return handle->stream.port->Read(); }

int32_t PortRawOutput(RDRHANDLE handle, int32_t character) {
  platform::serial::Port& port = *handle->stream.port;
  if (character == kNoCharacter) return port.CanWrite() ? 1 : 0;
  return port.Write(static_cast<uint16_t>(character)) ? 1 : 0;
}

int32_t PortBitSize(RDRHANDLE handle) { return handle->stream.port->BitSize(); }

int32_t SerialClose(RDRHANDLE handle) {
  if (!IsSerialHandle(handle)) {
    SetLibraryError(handle, kErrInvalidParameter);
    return 0;
  }
  handle->kind_tag = 0;
  FreeReaderHandle(handle);
  return 1;
}

const TransportOps kSerialTransport{SERSendReceive, nullptr, nullptr, SerialClose};

RDRHANDLE NewSerialHandle(const SerialFunctions& functions, LOGHANDLE instance) {
  RDRHANDLE handle = NewReaderHandle(kKindSerial);
  if (handle == nullptr) return nullptr;
  InstallTransport(handle, kSerialTransport);
  handle->capability_flags = kCapExtendedRequests;
  handle->trace = instance;
  handle->stream.raw_input = functions.raw_input;
  handle->stream.raw_output = functions.raw_output;
  handle->stream.bit_size = functions.bit_size;
  handle->stream.character_getter = SERGetCharacter;
  return handle;
}

}  // namespace

uint32_t SerialFrameCrc(std::span<const uint8_t> bytes) { return Crc32Update(kCrc32Start, bytes); }

int32_t SERGetCharacter(RDRHANDLE handle) {
  if (RefuseOtherKind(handle)) return -1;
  if (!HandleEnter(handle, "SERGetCharacter", __LINE__)) return -1;
  TracePointer(handle, "vhdl", handle);
  SerialFields& stream = handle->stream;
  int32_t character = kNoCharacter;
  if (stream.ring_read != stream.ring_write) {
    character = stream.ring[stream.ring_read];
    stream.ring_read = (stream.ring_read + 1) % kUnsolicitedRingEntries;
  }
  if (character == kNoCharacter) {
    if (stream.raw_input == nullptr) {
      SetLibraryError(handle, kErrInvalidParameter);
      character = -1;
    } else {
      character = stream.raw_input(handle);
    }
  }
  return HandleExit(handle, "SERGetCharacter", __LINE__, kCheckNonNegative, character);
}

int32_t StreamGet(RDRHANDLE handle, uint32_t start) {
  if (RefuseOtherKind(handle)) return -1;
  if (!HandleEnter(handle, "StreamGet", __LINE__)) return -1;
  TraceParameters(handle, {{"vhdl", handle}, {"timestart", static_cast<int32_t>(start)}});
  auto fail = [&](const char* line, int32_t number) {
    if (line != nullptr) Trace(handle, kTraceError, "%s", line);
    SetLibraryError(handle, number);
    return HandleExit(handle, "StreamGet", __LINE__, kCheckNonNegative, -1);
  };
  if (handle->stream.raw_input == nullptr) return fail(nullptr, kErrInvalidParameter);
  int32_t character = handle->stream.raw_input(handle);
  while (character == kNoCharacter) {
    platform::GetClock().Sleep(kWaitSliceMs);
    if (CallProgressCallback(handle, handle->progress) == 0) return fail("\nRead aborted", kErrCallbackAbort);
    if (TimedOut(handle, start)) return fail("\nRead timed out", kErrTimeout);
    character = handle->stream.raw_input(handle);
  }
  return HandleExit(handle, "StreamGet", __LINE__, kCheckNonNegative, character < 0 ? -1 : character);
}

int32_t StreamPut(RDRHANDLE handle, uint32_t start) {
  if (RefuseOtherKind(handle)) return 0;
  if (!HandleEnter(handle, "StreamPut", __LINE__)) return 0;
  TraceParameters(handle, {{"vhdl", handle}, {"timestart", static_cast<int32_t>(start)}});
  auto fail = [&](const char* line, int32_t number) {
    if (line != nullptr) Trace(handle, kTraceError, "%s", line);
    SetLibraryError(handle, number);
    return HandleExit(handle, "StreamPut", __LINE__, kCheckPositive, 0);
  };
  if (handle->stream.raw_output == nullptr) return fail(nullptr, kErrInvalidParameter);
  while (handle->stream.raw_output(handle, kNoCharacter) == 0) {
    platform::GetClock().Sleep(kWaitSliceMs);
    if (CallProgressCallback(handle, handle->progress) == 0) return fail("\nWrite aborted", kErrCallbackAbort);
    if (TimedOut(handle, start)) return fail("\nWrite timed out", kErrTimeout);
  }
  return HandleExit(handle, "StreamPut", __LINE__, kCheckPositive, 1);
}

int32_t SERSendReceive(RDRHANDLE handle, RDRMSGHDR* ohdr, const void* odata, RDRMSGHDR* ihdr, void* idata) {
  if (RefuseOtherKind(handle)) return 0;
  if (!HandleEnter(handle, "SERSendReceive", __LINE__)) return 0;
  TraceParameters(handle, {{"vhdl", handle}, {"ohdr", ohdr}, {"odata", odata}, {"ihdr", ihdr}, {"idata", idata}});
  auto fail = [&](const char* line, int32_t number) {
    if (line != nullptr) Trace(handle, kTraceError, "%s", line);
    if (number >= 0) SetLibraryError(handle, number);
    return HandleExit(handle, "SERSendReceive", __LINE__, kCheckPositive, 0);
  };
  SerialFields& stream = handle->stream;
  if (stream.character_getter != SERGetCharacter) return fail("\nSERHANDLE not opened ", kErrInvalidParameter);
  if (stream.raw_output == nullptr) return fail("\nNo raw output redirection", kErrInvalidParameter);
  if (ohdr == nullptr || ihdr == nullptr) return fail(nullptr, kErrInvalidParameter);

  const uint32_t start = platform::GetClock().TickCount();
  const uint32_t size = ohdr->Size;
  if (ihdr->Size != 0 && idata == nullptr) {
    return fail("\nIncoming message is non-null and has no buffer", kErrInvalidParameter);
  }
  if (size != 0) {
    if (size > kLargestSerialRequestBody) return fail("\nOutgoing message is too large", kErrInvalidParameter);
    if (odata == nullptr) return fail("\nNull data pointer for non-null message", kErrInvalidParameter);
  }
  std::vector<uint8_t> frame(kFrameOverhead + size);
  frame[0] = kStartMark0;
  frame[1] = kStartMark1;
  WriteLe16(frame, kHeaderOffset, ohdr->Size);
  frame[4] = ohdr->Command;
  frame[5] = ohdr->reserved;
  if (size != 0) std::memcpy(frame.data() + kBodyOffset, odata, size);
  WriteLe32(frame, kBodyOffset + size, SerialFrameCrc(std::span(frame).subspan(kHeaderOffset, 4 + size)));

  const int32_t bits = stream.bit_size == nullptr ? -1 : stream.bit_size(handle);
  // A size of 0 would never move through the frame, and above 16 bits a
  // character no longer fits the port's value range.
  if (bits < 1 || bits > kLargestBitSize) return fail("\nInvalid bit size; error on port", kErrInvalidParameter);

  const size_t frame_bits = frame.size() * 8;
  for (size_t position = 0; position < frame_bits; position += static_cast<size_t>(bits)) {
    if (!StreamPut(handle, start)) return fail(nullptr, -1);
    if (stream.raw_output(handle, CharacterAt(frame, position, bits)) != 1) return fail(nullptr, -1);
  }
  if (stream.raw_output(handle, kNoCharacter) != 1) return fail(nullptr, -1);

  const uint32_t capacity = StreamMessageSize(ihdr->Size);
  ReceiveWindow window(bits, ihdr, static_cast<uint8_t*>(idata), capacity);
  for (;;) {
    const int32_t character = StreamGet(handle, start);
    if (character < 0) return fail(nullptr, -1);
    window.Append(static_cast<uint16_t>(character));
    const size_t received = window.bit_count();

    const bool plausible =
        (received < 8 || window.byte(0) == kStartMark0) && (received < 16 || window.byte(1) == kStartMark1);
    if (plausible && received < kBodyOffset * 8) continue;
    if (plausible) {
      const uint32_t body = window.body_size();
      if (body <= capacity) {
        const size_t frame_end = static_cast<size_t>(body) + kFrameOverhead;
        if (received < frame_end * 8) continue;
        const uint32_t expected = SerialFrameCrc(window.bytes(kHeaderOffset, 4 + body));
        const std::span<const uint8_t> trailer = window.bytes(kBodyOffset + body, kCrcBytes);
        if (expected == ReadLe32(trailer, 0)) return HandleExit(handle, "SERSendReceive", __LINE__, kCheckPositive, 1);
      }
    }
    // Not a frame from here: keep its first character and every following
    // one up to the next that may start a frame.
    if (!StoreUnsolicited(handle, window.first())) return fail(nullptr, -1);
    window.DropFirst();
    while (!window.empty() && window.first() != 1) {
      if (!StoreUnsolicited(handle, window.first())) return fail(nullptr, -1);
      window.DropFirst();
    }
    window.Rebuild();
  }
}

RDRHANDLE SEROpenFunctions(const SerialFunctions& functions, void* context) {
  LOGHANDLE instance = LogAttachInstance(LogGetGlobal());
  RDRHANDLE handle = NewSerialHandle(functions, instance);
  if (handle == nullptr) {
    LogDetachInstance(instance);
    return InvalidReaderHandle();
  }
  handle->stream.context = context;
  return handle;
}

RDRHANDLE SEROpenPort(std::unique_ptr<platform::serial::Port> port) {
  if (!port) {
    SetLibraryError(nullptr, kErrInvalidParameter);
    return InvalidReaderHandle();
  }
  RDRHANDLE handle = SEROpenFunctions(SerialFunctions{PortRawInput, PortRawOutput, PortBitSize}, nullptr);
  if (handle != InvalidReaderHandle()) handle->stream.port = std::move(port);
  return handle;
}

void* SERContext(RDRHANDLE handle) { return IsSerialHandle(handle) ? handle->stream.context : nullptr; }

RDRHANDLE SEROpen(const char* device_path) {
  LOGHANDLE instance = LogAttachInstance(LogGetGlobal());
  LogEnter(instance, "SEROpen", __LINE__);
  LogTraceString(instance, "path", device_path);
  auto fail = [&]() {
    LogExitPointer(instance, "SEROpen", __LINE__, kCheckFailure, InvalidReaderHandle());
    LogDetachInstance(instance);
    return InvalidReaderHandle();
  };
  if (device_path == nullptr) {
    SetLibraryError(nullptr, kErrInvalidParameter);
    return fail();
  }
  std::unique_ptr<platform::serial::Port> port = platform::serial::OpenTerminal(device_path);
  if (!port) {
    SetErrorCode(nullptr, static_cast<int32_t>(platform::GetLastSystemError()));
    return fail();
  }
  RDRHANDLE handle = NewSerialHandle(SerialFunctions{PortRawInput, PortRawOutput, PortBitSize}, instance);
  if (handle == nullptr) return fail();
  handle->stream.port = std::move(port);
  Trace(handle, kTraceDetail, "\nOpening reader on serial port \"%s\"", device_path);
  if (!RDRFirmwareString(handle, handle->firmware_name, sizeof(handle->firmware_name) - 1)) {
    FreeReaderHandle(handle);
    return fail();
  }
  ParseFirmwareNumber(handle);
  if (handle->firmware_number == 0) {
    FreeReaderHandle(handle);
    return fail();
  }
  return static_cast<RDRHANDLE>(LogExitPointer(instance, "SEROpen", __LINE__, kCheckAlways, handle));
}
