// The USB exchange: one request written in 64-byte blocks, the reply read
// back in a first packet and gathered, and the reconnect that retries once
// after a timeout.
#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "platform/clock.h"
#include "platform/system.h"
#include "reader/frame.h"
#include "reader/handle.h"
#include "reader/little_endian.h"
#include "trace/trace.h"
#include "transport/usb.h"
#include "transport/usb_device.h"

namespace {

constexpr uint32_t kMessageBuffer = 2048;
constexpr uint32_t kHeaderBytes = 4;
constexpr uint32_t kLargestRequestBody = kMessageBuffer - kHeaderBytes;
constexpr uint32_t kBlock = 64;
constexpr uint32_t kNoLimit = 0x7FFFFFFF;

// The message header on the wire: Size little-endian, then Command and the
// reserved byte, whatever the host's byte order and struct layout.
void EncodeHeader(const RDRMSGHDR& header, std::span<uint8_t> out) {
  WriteLe16(out, 0, header.Size);
  out[2] = header.Command;
  out[3] = header.reserved;
}

RDRMSGHDR DecodeHeader(std::span<const uint8_t> in) { return RDRMSGHDR{ReadLe16(in, 0), in[2], in[3]}; }

uint32_t RoundUpToBlock(uint32_t bytes) { return (bytes + kBlock - 1) / kBlock * kBlock; }

// Time left of the exchange's budget, for the next read or write.
uint32_t Remaining(uint32_t start, uint32_t budget) {
  const uint32_t spent = platform::GetClock().TickCount() - start;
  return spent >= budget ? 0 : budget - spent;
}

}  // namespace

int32_t USBSendReceiveEx(RDRHANDLE handle, RDRMSGHDR* ohdr, const void* odata, RDRMSGHDR* ihdr, void* idata) {
  if (!HandleEnter(handle, "USBSendReceiveEx", __LINE__)) return 0;
  // Checked once: an exchange runs under the handle's lock, so its trace log
  // cannot change underneath it.
  const bool traced = HandleTraced(handle);
  if (traced) {
    TraceParameters(handle, {{"vhdl", handle}, {"ohdr", ohdr}, {"odata", odata}, {"ihdr", ihdr}, {"idata", idata}});
  }
  auto fail = [&](int32_t number) {
    if (number >= 0) SetLibraryError(handle, number);
    return HandleExit(handle, "USBSendReceiveEx", __LINE__, kCheckNonZero, 0);
  };
  if (ohdr == nullptr || ihdr == nullptr) return fail(kErrInvalidParameter);

  const uint32_t start = platform::GetClock().TickCount();
  const uint32_t budget = handle->timeout == 0 ? kNoLimit : static_cast<uint32_t>(handle->timeout) * 1000u;
  const uint32_t capacity = idata == nullptr ? 0 : DecodeMessageSize(ihdr->Size);

  // Left uninitialised: only the bytes that go on the wire are written, the
  // padding of the request to its last block included.
  std::array<uint8_t, kMessageBuffer> message;
  EncodeHeader(*ohdr, message);
  const uint32_t size = ohdr->Size;
  if (size != 0) {
    if (size > kLargestRequestBody) {
      Trace(handle, kTraceError, "\nOutgoing message is too large");
      return fail(kErrInvalidParameter);
    }
    if (odata == nullptr) {
      Trace(handle, kTraceError, "\nNull data pointer for non-null message");
      return fail(kErrInvalidParameter);
    }
    std::memcpy(message.data() + kHeaderBytes, odata, size);
  }

  const int32_t wire = static_cast<int32_t>(RoundUpToBlock(size + kHeaderBytes));
  std::memset(message.data() + kHeaderBytes + size, 0, static_cast<uint32_t>(wire) - kHeaderBytes - size);
  int32_t written = 0;
  if (!MyWriteFile(handle, message.data(), wire, &written, Remaining(start, budget))) return fail(-1);
  if (written < wire) return fail(kErrUsbSend);

  // The first read may take up to the whole buffer, whatever the handle says.
  const int32_t first_read = std::clamp(handle->first_read_length, 0, static_cast<int32_t>(kMessageBuffer));
  int32_t received = 0;
  if (!MyReadFile(handle, message.data(), first_read, &received, Remaining(start, budget))) return fail(-1);
  if (received < static_cast<int32_t>(kHeaderBytes)) {
    Trace(handle, kTraceError, "\nIncomplete message; only received %d bytes", received);
    return fail(kErrIncompleteMessage);
  }
  *ihdr = DecodeHeader(message);
  if (ihdr->Command != ohdr->Command) {
    RDRFlush(handle);
    return fail(kErrInvalidContent);
  }
  const uint32_t body = DecodeMessageSize(ihdr->Size);
  if (body == 0) return HandleExit(handle, "USBSendReceiveEx", __LINE__, kCheckNonZero, 1);

  // "\nIncoming Size = %d"; this and the line of a reply that came whole are
  // written at almost every exchange, so they are put together piece by piece.
  if (traced) LogLine(handle->trace, kTraceDetail).Literal("Incoming Size = ").Decimal(static_cast<int32_t>(body));
  if (body > capacity) {
    Trace(handle, kTraceError, "\nIncoming=%d bytes, buffer=%d bytes", static_cast<int32_t>(body),
          static_cast<int32_t>(capacity));
    Trace(handle, kTraceError, "\nihdr: Command=%d, Size=%d, reserved=%d", ihdr->Command, ihdr->Size, ihdr->reserved);
    RDRFlush(handle);
    return fail(kErrMessageTooLong);
  }

  auto* destination = static_cast<uint8_t*>(idata);
  const uint32_t got = static_cast<uint32_t>(received);
  if (got >= body + kHeaderBytes) {
    std::memcpy(destination, message.data() + kHeaderBytes, body);
    if (traced) {
      LogLine(handle->trace, kTraceDetail)  // "\nMessage received in the first request = %d"
          .Literal("Message received in the first request = ")
          .Decimal(static_cast<int32_t>(body));
    }
    return HandleExit(handle, "USBSendReceiveEx", __LINE__, kCheckNonZero, 1);
  }

  // The rest of the reply: straight into the caller's buffer while whole
  // blocks fit, the padding beyond its room through the drain buffer.
  const uint32_t copied = got - kHeaderBytes;
  std::memcpy(destination, message.data() + kHeaderBytes, copied);
  uint8_t* cursor = destination + copied;
  const uint32_t remaining_wire = (RoundUpToBlock(body + kHeaderBytes) / kBlock - got / kBlock) * kBlock;
  const uint32_t room = capacity - copied;
  uint32_t direct = remaining_wire;
  uint32_t drain = 0;
  uint32_t keep = 0;
  if (room < remaining_wire) {
    direct = room / kBlock * kBlock;
    drain = remaining_wire - direct;
    keep = room - direct;
  }

  auto read_piece = [&](uint8_t* into, uint32_t want) -> int32_t {
    int32_t count = 0;
    if (!MyReadFile(handle, into, static_cast<int32_t>(want), &count, Remaining(start, budget))) return -1;
    if (static_cast<uint32_t>(count) < want) {
      Trace(handle, kTraceError, "\nIncomplete message; short by %d bytes", static_cast<int32_t>(want) - count);
      SetLibraryError(handle, kErrIncompleteMessage);
      return -1;
    }
    return count;
  };

  const uint32_t packet = static_cast<uint32_t>(std::max(handle->packet_size, 1));
  while (direct > 0) {
    const uint32_t want = std::min(packet, direct);
    if (read_piece(cursor, want) < 0) return fail(-1);
    cursor += want;
    direct -= want;
  }
  while (drain > 0) {
    const uint32_t want = std::min(kMessageBuffer, drain);
    if (read_piece(message.data(), want) < 0) return fail(-1);
    const uint32_t kept = std::min(want, keep);
    std::memcpy(cursor, message.data(), kept);
    cursor += kept;
    keep -= kept;
    drain -= want;
  }
  return HandleExit(handle, "USBSendReceiveEx", __LINE__, kCheckNonZero, 1);
}

int32_t USBFlush(RDRHANDLE handle) {
  if (!HandleEnter(handle, "USBFlush", __LINE__)) return 0;
  TracePointer(handle, "vhdl", handle);
  return HandleExit(handle, "USBFlush", __LINE__, kCheckNonZero, PlatformFlush(handle));
}

int32_t USBReconnect(RDRHANDLE handle) {
  if (!HandleEnter(handle, "USBReconnect", __LINE__)) return 0;
  TracePointer(handle, "vhdl", handle);
  if (handle->kind_tag != kKindUsb) {
    SetLibraryError(handle, kErrInvalidParameter);
    return HandleExit(handle, "USBReconnect", __LINE__, kCheckNonZero, 0);
  }
  if (handle->usb.device) UsbCloseDevice(handle);
  return HandleExit(handle, "USBReconnect", __LINE__, kCheckNonZero, UsbOpenDevice(handle));
}

int32_t UsbExchange(RDRHANDLE handle, RDRMSGHDR* ohdr, const void* odata, RDRMSGHDR* ihdr, void* idata) {
  int32_t result = USBSendReceiveEx(handle, ohdr, odata, ihdr, idata);
  if (!result && platform::GetLastSystemError() == static_cast<uint32_t>(LibraryError(kErrTimeout)) &&
      USBReconnect(handle)) {
    result = USBSendReceiveEx(handle, ohdr, odata, ihdr, idata);
  }
  return result;
}
