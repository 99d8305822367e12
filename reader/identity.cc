// Who the reader is: firmware, serial and FX3 strings, the application and
// boot header strings, the request-set version, and the platform class taken
// from the firmware number stored at open.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "reader/frame.h"
#include "reader/handle.h"
#include "reader/little_endian.h"
#include "trace/trace.h"

namespace {

constexpr uint8_t kCommandService = 14;
constexpr uint8_t kCommandApiVersion = 120;
constexpr uint8_t kCommandSh4Firmware = 127;

constexpr uint32_t kItemFirmwareName = 6;
constexpr uint32_t kItemSerialString = 21;
constexpr uint32_t kItemAppHeader = 23;
constexpr uint32_t kItemBootHeader = 24;
constexpr uint32_t kItemFx3Firmware = 50;

// Reply capacities and string bounds of the requests used here.
constexpr uint16_t kStringReplyCapacity = 40;
constexpr uint16_t kHeaderReplyCapacity = 2044;
constexpr uint16_t kSh4ReplyCapacity = 24;
constexpr uint16_t kApiVersionReplyCapacity = 4;
constexpr size_t kItemStringOffset = 8;
constexpr size_t kItemStringBound = 30;
constexpr size_t kSh4StringOffset = 4;
constexpr size_t kSh4StringBound = 14;

constexpr int32_t kStatusNotSupported = -266;  // 0xFEF6: the reader does not know the request

// Sends an information request (Command 14, item and a zero word) and receives
// at most `capacity` reply bytes into `reply`, which is zeroed first so that
// fields the reader left out read as 0. Returns the reply body length, or -1
// when the exchange failed.
int32_t RequestInformation(RDRHANDLE handle, uint32_t item, std::span<uint8_t> reply) {
  std::array<uint8_t, 8> request{};
  WriteLe32(request, 0, item);
  std::fill(reply.begin(), reply.end(), uint8_t{0});
  RDRMSGHDR ohdr{static_cast<uint16_t>(request.size()), kCommandService, 0};
  RDRMSGHDR ihdr{static_cast<uint16_t>(reply.size()), kCommandService, 0};
  if (!RDRSendReceive(handle, &ohdr, request.data(), &ihdr, reply.data())) return -1;
  return static_cast<int32_t>(std::min<uint32_t>(DecodeMessageSize(ihdr.Size), static_cast<uint32_t>(reply.size())));
}

// A request with no body (SH4 firmware name, API version).
bool RequestPlain(RDRHANDLE handle, uint8_t command, std::span<uint8_t> reply) {
  std::fill(reply.begin(), reply.end(), uint8_t{0});
  RDRMSGHDR ohdr{0, command, 0};
  RDRMSGHDR ihdr{static_cast<uint16_t>(reply.size()), command, 0};
  return RDRSendReceive(handle, &ohdr, nullptr, &ihdr, reply.data()) != 0;
}

// Hands a reply string to the caller: cut to `bound` characters, then copied
// into the caller's `length` bytes (zero-filled behind the text). The text
// must be strictly shorter than `length`, so that the caller gets its
// terminator; otherwise the caller holds the cut text without one and the
// call fails with error 7.
int32_t DeliverString(RDRHANDLE handle, std::span<const uint8_t> field, size_t bound, char* name, int32_t length,
                      const char* trace_format) {
  std::array<char, 32> work{};
  const size_t available = std::min(bound, field.size());
  const auto* text = reinterpret_cast<const char*>(field.data());
  const size_t text_length = strnlen(text, available);
  std::memcpy(work.data(), text, text_length);

  if (length > 0) {
    const size_t capacity = static_cast<size_t>(length);
    const size_t copied = std::min(text_length, capacity);
    std::memcpy(name, work.data(), copied);
    std::memset(name + copied, 0, capacity - copied);
  }
  if (length > 0 && text_length < static_cast<size_t>(length)) {
    Trace(handle, kTraceDetail, trace_format, work.data());
    return 1;
  }
  SetLibraryError(handle, kErrBufferOverrun);
  return 0;
}

bool IsSh4Number(int32_t number) { return number == 40961 || number == 40972 || number == 40990; }

bool IsWr2200Number(int32_t number) { return number == 41580 || number == 41699 || number == 41968; }

// Readers that belong to none of the three platform classes.
bool IsUnclassifiedNumber(int32_t number) {
  constexpr std::array<int32_t, 10> kNumbers = {40981, 40993, 40996, 40998, 41003, 41005, 41008, 41011, 41031, 41040};
  return std::find(kNumbers.begin(), kNumbers.end(), number) != kNumbers.end();
}

// Serial and FX3 strings differ only in the item and the operation name.
int32_t ItemString(RDRHANDLE handle, const char* operation, uint32_t item, char* name, int32_t length) {
  if (!HandleEnter(handle, operation, __LINE__)) return 0;
  TraceParameters(handle, {{"vhdl", handle}, {"name", name}, {"length", length}});

  int32_t result = 0;
  std::array<uint8_t, kStringReplyCapacity> reply{};
  if (name == nullptr) {
    SetLibraryError(handle, kErrInvalidParameter);
  } else if (RDRIsSH4Based(handle)) {
    SetLibraryError(handle, kErrNotSupported);
  } else if (RequestInformation(handle, item, reply) >= 0) {
    const auto status = static_cast<int32_t>(ReadLe32(reply, 0));
    if (status == kStatusNotSupported) {
      SetLibraryError(handle, kErrNotSupported);
    } else if (status != 0) {
      RDRErrorCheck(handle, status);
    } else {
      result = DeliverString(handle, std::span(reply).subspan(kItemStringOffset), kItemStringBound, name, length,
                             "\nSerial string is \"%s\"");
    }
  }
  return HandleExit(handle, operation, __LINE__, kCheckNonZero, result);
}

// Application and boot header strings differ only in the item, the
// operation name and the trace text.
int32_t HeaderString(RDRHANDLE handle, const char* operation, uint32_t item, char* hdr, int32_t length,
                     const char* trace_format) {
  if (!HandleEnter(handle, operation, __LINE__)) return 0;
  TraceParameters(handle, {{"vhdl", handle}, {"hdr", hdr}, {"length", length}});

  int32_t result = 0;
  std::array<uint8_t, kHeaderReplyCapacity> reply{};
  int32_t received = 0;
  if ((handle->capability_flags & kCapExtendedRequests) == 0) {
    SetLibraryError(handle, kErrNotSupported);
  } else if (hdr == nullptr) {
    SetLibraryError(handle, kErrInvalidParameter);
  } else if (!RDRIsFX2Based(handle)) {
    SetLibraryError(handle, kErrNotSupported);
  } else if ((received = RequestInformation(handle, item, reply)) >= 0) {
    const auto status = static_cast<int32_t>(ReadLe32(reply, 0));
    if (status == kStatusNotSupported) {
      SetLibraryError(handle, kErrNotSupported);
    } else if (status != 0) {
      RDRErrorCheck(handle, status);
    } else {
      // A text without a terminator ends with the reply body.
      const size_t body = static_cast<size_t>(received);
      const size_t room = body > kItemStringOffset ? body - kItemStringOffset : 0;
      const auto* text = reinterpret_cast<const char*>(reply.data() + kItemStringOffset);
      const size_t text_length = strnlen(text, room);
      if (length > 0 && text_length < static_cast<size_t>(length)) {
        std::memcpy(hdr, text, text_length);
        Trace(handle, kTraceDetail, trace_format, std::string(text, text_length).c_str());
        result = 1;
      } else {
        SetLibraryError(handle, kErrBufferOverrun);
      }
    }
  }
  return HandleExit(handle, operation, __LINE__, kCheckNonZero, result);
}

}  // namespace

int32_t RDRFirmwareString(RDRHANDLE handle, char* name, int32_t length) {
  if (!HandleEnter(handle, "RDRFirmwareString", __LINE__)) return 0;
  TraceParameters(handle, {{"vhdl", handle}, {"name", name}, {"length", length}});

  int32_t result = 0;
  std::array<uint8_t, kStringReplyCapacity> reply{};
  if (name == nullptr) {
    SetLibraryError(handle, kErrInvalidParameter);
  } else if (RequestInformation(handle, kItemFirmwareName, reply) >= 0) {
    const auto status = static_cast<int32_t>(ReadLe32(reply, 0));
    if ((status & 0xFFFF) == 0xFFFF || status == 6) {
      // Older readers do not know the information request and name their
      // firmware through a request of their own.
      Trace(handle, kTraceDetail, "\nReader appears to be SH4 based");
      std::array<uint8_t, kSh4ReplyCapacity> sh4{};
      if (RequestPlain(handle, kCommandSh4Firmware, sh4)) {
        if (ReadLe16(sh4, 0) != 0) {
          SetLibraryError(handle, kErrNotSupported);
        } else {
          result = DeliverString(handle, std::span(sh4).subspan(kSh4StringOffset), kSh4StringBound, name, length,
                                 "\nFirmware name is \"%s\"");
        }
      }
    } else if (!RDRErrorCheck(handle, status)) {
      result = DeliverString(handle, std::span(reply).subspan(kItemStringOffset), kItemStringBound, name, length,
                             "\nFirmware name is \"%s\"");
    }
  }
  return HandleExit(handle, "RDRFirmwareString", __LINE__, kCheckNonZero, result);
}

int32_t RDRSerialString(RDRHANDLE handle, char* name, int32_t length) {
  return ItemString(handle, "RDRSerialString", kItemSerialString, name, length);
}

int32_t RDRFX3FirmwareString(RDRHANDLE handle, char* name, int32_t length) {
  return ItemString(handle, "RDRFX3FirmwareString", kItemFx3Firmware, name, length);
}

int32_t RDRAppHeader(RDRHANDLE handle, char* hdr, int32_t length) {
  return HeaderString(handle, "RDRAppHeader", kItemAppHeader, hdr, length, "\nApp header string is \"%s\"");
}

int32_t RDRBootHeader(RDRHANDLE handle, char* hdr, int32_t length) {
  return HeaderString(handle, "RDRBootHeader", kItemBootHeader, hdr, length, "\nBoot header string is \"%s\"");
}

int32_t RDRAPIVersion(RDRHANDLE handle, uint32_t* value) {
  if (!HandleEnter(handle, "RDRAPIVersion", __LINE__)) return 0;
  TraceParameters(handle, {{"vhdl", handle}, {"value", value}});

  uint32_t local = 0;
  uint32_t& version = value != nullptr ? *value : local;
  if ((handle->capability_flags & kCapExtendedRequests) == 0) {
    version = 0;
    return HandleExit(handle, "RDRAPIVersion", __LINE__, kCheckNonZero, 1);
  }
  version = 1;
  // Only the FX2 and WR2200 platforms know the request; the memory transport
  // has no reader behind it to ask.
  const bool ask = (RDRIsFX2Based(handle) && handle->kind_tag != kKindMemory) || RDRIsWR2200Based(handle);
  if (ask) {
    std::array<uint8_t, kApiVersionReplyCapacity> reply{};
    if (!RequestPlain(handle, kCommandApiVersion, reply)) {
      return HandleExit(handle, "RDRAPIVersion", __LINE__, kCheckNonZero, 0);
    }
    if (ReadLe16(reply, 0) == 0) version = ReadLe16(reply, 2);
  }
  Trace(handle, kTraceDetail, "\nAPI version set to 0x%X", version);
  return HandleExit(handle, "RDRAPIVersion", __LINE__, kCheckNonZero, 1);
}

int32_t RDRIsSH4Based(RDRHANDLE handle) {
  if (!HandleEnter(handle, "RDRIsSH4Based", __LINE__)) return 0;
  TracePointer(handle, "vhdl", handle);
  return HandleExit(handle, "RDRIsSH4Based", __LINE__, kCheckAlways, IsSh4Number(handle->firmware_number) ? 1 : 0);
}

int32_t RDRIsWR2200Based(RDRHANDLE handle) {
  if (!HandleEnter(handle, "RDRIsWR2200Based", __LINE__)) return 0;
  TracePointer(handle, "vhdl", handle);
  return HandleExit(handle, "RDRIsWR2200Based", __LINE__, kCheckAlways,
                    IsWr2200Number(handle->firmware_number) ? 1 : 0);
}

// A refused entry skips only the unclassified test: the two sub-tests are
// refused as well and answer no, so an invalid handle counts as FX2 based
// (with error 4 recorded). Callers that care check the handle first.
int32_t RDRIsFX2Based(RDRHANDLE handle) {
  const bool entered = HandleEnter(handle, "RDRIsFX2Based", __LINE__) != 0;
  if (entered) {
    TracePointer(handle, "vhdl", handle);
    if (IsUnclassifiedNumber(handle->firmware_number)) {
      return HandleExit(handle, "RDRIsFX2Based", __LINE__, kCheckAlways, 0);
    }
  }
  const int32_t result = RDRIsSH4Based(handle) || RDRIsWR2200Based(handle) ? 0 : 1;
  return entered ? HandleExit(handle, "RDRIsFX2Based", __LINE__, kCheckAlways, result) : result;
}
