// Steering the link and the reader: timeout and packet size, flush and
// reconnect, the soft reboot, the packet-wise file write and the line-wise
// write of the FX3 controller's boot memory.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "platform/clock.h"
#include "reader/frame.h"
#include "reader/handle.h"
#include "reader/little_endian.h"
#include "trace/trace.h"

namespace {

constexpr uint8_t kCommandService = 14;
constexpr uint8_t kCommandSoftBoot = 122;

constexpr uint32_t kServiceFx3Line = 7;
constexpr uint32_t kServiceFilePacket = 35;

constexpr uint32_t kMaxPacketData = 1024;
constexpr int32_t kMaxEepromLine = 1024;
constexpr int32_t kFx3LineLength = 768;

constexpr uint32_t kPollIntervalMs = 1000;
constexpr int32_t kPollProgressStep = 10;
constexpr int32_t kPollProgressLimit = 100;

// File packet request (service 35): a fixed 52-byte head, then the data.
struct FilePacketLayout {
  static constexpr size_t kService = 0;
  static constexpr size_t kIndex = 4;
  static constexpr size_t kLength = 8;
  static constexpr size_t kCount = 12;
  static constexpr size_t kFileSize = 16;
  static constexpr size_t kFileKind = 20;
  static constexpr size_t kName = 21;
  static constexpr size_t kNameField = 27;
  static constexpr size_t kMaxName = 23;
  static constexpr size_t kCrc = 48;
  static constexpr size_t kData = 52;
  static constexpr size_t kArea = kData + kMaxPacketData;  // 1076
};

enum FileKind : uint8_t { kFileUnnamed = 0, kFileNamed = 1, kFileFx3 = 2 };

// FX3 boot-memory line request (service 7): an 8-byte head, then the data.
struct Fx3LineLayout {
  static constexpr size_t kService = 0;
  static constexpr size_t kChip = 1;
  static constexpr size_t kAddress = 2;
  static constexpr size_t kLength = 4;
  static constexpr size_t kData = 8;
  static constexpr uint16_t kReplyCapacity = 1028;
};

// The progress value shown for a poll count: never 0 or 100, which the
// frame itself reports at an operation's entry and exit.
int32_t ShownProgress(int32_t progress) {
  if (progress == 0) return 1;
  if (progress == kPollProgressLimit) return 99;
  return progress;
}

enum class PollReport { kContinue, kAborted };

PollReport ReportPoll(RDRHANDLE handle, int32_t progress) {
  handle->progress = ShownProgress(progress);
  if (CallProgressCallback(handle, handle->progress) == 0) {
    SetLibraryError(handle, kErrCallbackAbort);
    return PollReport::kAborted;
  }
  return PollReport::kContinue;
}

bool Poll(RDRHANDLE handle) {
  platform::GetClock().Sleep(kPollIntervalMs);
  return RDRReconnect(handle) != 0;
}

// Polls while the reader still answers; false when the callback aborted or
// the progress count passed 100.
bool PollWhileAnswering(RDRHANDLE handle, int32_t& progress) {
  while (Poll(handle)) {
    if (ReportPoll(handle, progress) == PollReport::kAborted) return false;
    if (progress > kPollProgressLimit) return false;
    progress += kPollProgressStep;
  }
  return true;
}

// Follows the reader through its restart. Phase 1 waits for it to drop off
// the bus; phase 2 ends with success at the first poll that still finds it
// gone and keeps polling while it answers. The progress count runs on across
// both phases, so the whole wait stays within about 25 polls.
int32_t FollowRestart(RDRHANDLE handle) {
  int32_t progress = 0;
  return PollWhileAnswering(handle, progress) && PollWhileAnswering(handle, progress) ? 1 : 0;
}

}  // namespace

int32_t RDRTimeout(RDRHANDLE handle) {
  if (!HandleEnter(handle, "RDRTimeout", __LINE__)) return 0;
  TracePointer(handle, "vhdl", handle);
  return HandleExit(handle, "RDRTimeout", __LINE__, kCheckAlways, handle->timeout);
}

int32_t RDRTimeoutSet(RDRHANDLE handle, int32_t timeout) {
  if (!HandleEnter(handle, "RDRTimeoutSet", __LINE__)) return 0;
  TraceParameters(handle, {{"vhdl", handle}, {"timeout", timeout}});
  Trace(handle, kTraceDetail, "\nTimeout set to %d seconds", timeout);
  handle->timeout = timeout;
  return HandleExit(handle, "RDRTimeoutSet", __LINE__, kCheckNonZero, 1);
}

int32_t RDRPacketSizeSet(RDRHANDLE handle, int32_t packet) {
  if (!HandleEnter(handle, "RDRPacketSizeSet", __LINE__)) return 0;
  TraceParameters(handle, {{"vhdl", handle}, {"packet", packet}});
  Trace(handle, kTraceDetail, "\nPacket size set to %d bytes", packet);
  int32_t result = 0;
  if (packet < 1) {
    SetLibraryError(handle, kErrInvalidParameter);
  } else {
    handle->packet_size = packet;
    result = 1;
  }
  return HandleExit(handle, "RDRPacketSizeSet", __LINE__, kCheckNonZero, result);
}

int32_t RDRFlush(RDRHANDLE handle) {
  if (!HandleEnter(handle, "RDRFlush", __LINE__)) return 0;
  TracePointer(handle, "vhdl", handle);
  // A transport without a flush (the serial stream) keeps nothing to throw away.
  const TransportOps* transport = handle->transport;
  const int32_t result = transport != nullptr && transport->flush != nullptr ? transport->flush(handle) : 1;
  return HandleExit(handle, "RDRFlush", __LINE__, kCheckNonZero, result);
}

int32_t RDRReconnect(RDRHANDLE handle) {
  if (!HandleEnter(handle, "RDRReconnect", __LINE__)) return 0;
  TracePointer(handle, "vhdl", handle);
  const TransportOps* transport = handle->transport;
  const int32_t result = transport != nullptr && transport->reconnect != nullptr ? transport->reconnect(handle) : 1;
  return HandleExit(handle, "RDRReconnect", __LINE__, kCheckNonZero, result);
}

int32_t RDRSoftBoot(RDRHANDLE handle, int32_t reconnect) {
  if (!HandleEnter(handle, "RDRSoftBoot", __LINE__)) return 0;
  TraceParameters(handle, {{"vhdl", handle}, {"reconnect", reconnect}});

  int32_t result = 0;
  std::array<uint8_t, 2> reply{};
  RDRMSGHDR ohdr{0, kCommandSoftBoot, 0};
  RDRMSGHDR ihdr{static_cast<uint16_t>(reply.size()), kCommandSoftBoot, 0};
  if (RDRSendReceive(handle, &ohdr, nullptr, &ihdr, reply.data())) {
    const auto status = static_cast<int16_t>(ReadLe16(reply, 0));
    if (!RDRErrorCheck(handle, status)) result = reconnect == 0 ? 1 : FollowRestart(handle);
  }
  return HandleExit(handle, "RDRSoftBoot", __LINE__, kCheckNonZero, result);
}

int32_t RDRFilePacketWriteRequest(RDRHANDLE handle, uint32_t index, uint32_t length, uint32_t count, const void* data,
                                  uint32_t file_size, uint32_t crc, const char* name) {
  if (!HandleEnter(handle, "RDRFilePacketWriteRequest", __LINE__)) return 0;
  TracePointer(handle, "vhdl", handle);

  using Layout = FilePacketLayout;
  if ((handle->capability_flags & kCapExtendedRequests) == 0) {
    SetLibraryError(handle, kErrNotSupported);
    return HandleExit(handle, "RDRFilePacketWriteRequest", __LINE__, kCheckNonZero, 0);
  }
  if (length > kMaxPacketData || (length > 0 && data == nullptr)) {
    SetLibraryError(handle, kErrInvalidParameter);
    return HandleExit(handle, "RDRFilePacketWriteRequest", __LINE__, kCheckNonZero, 0);
  }

  std::array<uint8_t, Layout::kArea> request{};
  WriteLe32(request, Layout::kService, kServiceFilePacket);
  WriteLe32(request, Layout::kIndex, index);
  WriteLe32(request, Layout::kLength, length);
  WriteLe32(request, Layout::kCount, count);
  // Size, name and CRC travel only in the final packet, which is the one
  // with a CRC.
  if (crc != 0) {
    WriteLe32(request, Layout::kFileSize, file_size);
    WriteLe32(request, Layout::kCrc, crc);
    if (name != nullptr) {
      const size_t name_length = strnlen(name, Layout::kMaxName + 1);
      if (name_length > Layout::kMaxName) {
        SetLibraryError(handle, kErrInvalidParameter);
        return HandleExit(handle, "RDRFilePacketWriteRequest", __LINE__, kCheckNonZero, 0);
      }
      request[Layout::kFileKind] = std::strcmp(name, "fx3.bin") == 0 ? kFileFx3 : kFileNamed;
      std::memcpy(request.data() + Layout::kName, name, name_length);
    } else {
      request[Layout::kFileKind] = kFileUnnamed;
    }
  }
  if (length > 0) std::memcpy(request.data() + Layout::kData, data, length);

  std::array<uint8_t, 8> reply{};
  RDRMSGHDR ohdr{static_cast<uint16_t>(Layout::kData + length), kCommandService, 0};
  RDRMSGHDR ihdr{static_cast<uint16_t>(reply.size()), kCommandService, 0};
  int32_t result = RDRSendReceive(handle, &ohdr, request.data(), &ihdr, reply.data()) ? 1 : 0;
  // A unit that refuses a packet (out of order, CRC or size mismatch) has
  // discarded the transfer; passing that off as success would report a file
  // the unit never stored as sent.
  if (result && RDRErrorCheck(handle, static_cast<int32_t>(ReadLe32(reply, 0)))) result = 0;
  return HandleExit(handle, "RDRFilePacketWriteRequest", __LINE__, kCheckNonZero, result);
}

int32_t RDRWriteEepromLineFX3(RDRHANDLE handle, int32_t chip, int32_t addr, int32_t length, const void* buffer) {
  if (!HandleEnter(handle, "RDRWriteEepromLineFX3", __LINE__)) return 0;
  TraceParameters(handle, {{"vhdl", handle}, {"chip", chip}, {"addr", addr}, {"length", length}, {"buffer", buffer}});

  using Layout = Fx3LineLayout;
  // A negative length counts as too long: on the wire it is unsigned.
  if (length < 0 || length > kMaxEepromLine) {
    Trace(handle, kTraceError, "\nERROR: failed FX3 request to write length %d larger than buffer %d", length,
          kMaxEepromLine);
    return HandleExit(handle, "RDRWriteEepromLineFX3", __LINE__, kCheckNonZero, 0);
  }
  if (length > 0 && buffer == nullptr) {
    SetLibraryError(handle, kErrInvalidParameter);
    return HandleExit(handle, "RDRWriteEepromLineFX3", __LINE__, kCheckNonZero, 0);
  }

  std::array<uint8_t, Layout::kData + kMaxEepromLine> request{};
  request[Layout::kService] = static_cast<uint8_t>(kServiceFx3Line);
  request[Layout::kChip] = static_cast<uint8_t>(chip);
  WriteLe16(request, Layout::kAddress, static_cast<uint16_t>(addr));
  WriteLe32(request, Layout::kLength, static_cast<uint32_t>(length));
  if (length > 0) std::memcpy(request.data() + Layout::kData, buffer, static_cast<size_t>(length));

  std::array<uint8_t, Layout::kReplyCapacity> reply{};
  RDRMSGHDR ohdr{static_cast<uint16_t>(Layout::kData + static_cast<size_t>(length)), kCommandService, 0};
  RDRMSGHDR ihdr{Layout::kReplyCapacity, kCommandService, 0};
  if (!RDRSendReceive(handle, &ohdr, request.data(), &ihdr, reply.data())) {
    Trace(handle, kTraceError, "\nERROR: failed FX3 request to write %d eeprom bytes from 0x%X of chip %d", length,
          static_cast<uint32_t>(addr), chip);
    return HandleExit(handle, "RDRWriteEepromLineFX3", __LINE__, kCheckNonZero, 0);
  }
  const auto status = static_cast<int32_t>(ReadLe32(reply, 0));
  if (RDRErrorCheck(handle, status)) {
    Trace(handle, kTraceError, "\nERROR: reader FX3 returned result 0x%X on write %d eeprom bytes from 0x%X of chip %d",
          static_cast<uint32_t>(status), length, static_cast<uint32_t>(addr), chip);
    return HandleExit(handle, "RDRWriteEepromLineFX3", __LINE__, kCheckNonZero, 0);
  }
  return HandleExit(handle, "RDRWriteEepromLineFX3", __LINE__, kCheckNonZero, 1);
}

int32_t RDRFlashFirmwareWriteFX3(RDRHANDLE handle, int32_t length, const void* buffer) {
  if (!HandleEnter(handle, "RDRFlashFirmwareWriteFX3", __LINE__)) return 0;
  TraceParameters(handle, {{"vhdl", handle}, {"length", length}, {"buffer", buffer}});

  if (length != 0 && buffer == nullptr) {
    SetLibraryError(handle, kErrInvalidParameter);
    return HandleExit(handle, "RDRFlashFirmwareWriteFX3", __LINE__, kCheckNonZero, 0);
  }
  Trace(handle, kTraceDetail, "\nlength=%d", length);
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  // Each line is addressed by the 64 KiB chip and the offset of its first
  // byte; 768 does not divide 64 KiB, so a line may run over a chip boundary.
  for (int64_t position = 0; position < length; position += kFx3LineLength) {
    const auto start = static_cast<int32_t>(position);
    const int32_t line = std::min(kFx3LineLength, length - start);
    if (!RDRWriteEepromLineFX3(handle, start >> 16, start & 0xFFFF, line, bytes + start)) {
      return HandleExit(handle, "RDRFlashFirmwareWriteFX3", __LINE__, kCheckNonZero, 0);
    }
  }
  return HandleExit(handle, "RDRFlashFirmwareWriteFX3", __LINE__, kCheckNonZero, 1);
}
