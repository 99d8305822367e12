// The full-array handle over a USB reader handle: status word, memory sizes
// (asked for, or measured by probing the serial memories' wrap-around) and
// serial memory reads.
#include "reader/fullarray.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <new>
#include <set>

#include "reader/frame.h"
#include "reader/handle.h"
#include "reader/little_endian.h"
#include "trace/trace.h"

namespace {

constexpr uint8_t kCommandInformation = 14;
constexpr uint32_t kServiceStatus = 4;
constexpr uint8_t kServiceSerialRead = 8;
constexpr uint32_t kServiceMemorySizes = 17;
constexpr size_t kServiceRequestBytes = 60;
constexpr size_t kServiceReplyCapacity = 60;
constexpr size_t kSerialReadRequestBytes = 8;
constexpr int32_t kLongestLine = 56;
constexpr int32_t kLineBytes = 32;
constexpr int32_t kHalfBoundary = 0x8000;
constexpr int32_t kUpperHalfChipBit = 8;
constexpr int32_t kStatusUnknownRequest = -266;
constexpr int32_t kFirmwareNumber40990 = 40990;

// Serial memory chips and the probe geometry.
constexpr int32_t kFirmwareChip = 2;
constexpr int32_t kConfigChipA = 16;
constexpr int32_t kConfigChipB = 20;
constexpr int32_t kConfigChipC = 32;
constexpr int32_t kProbeBytes = 50;
constexpr uint32_t kSmallConfigSize = 0x20000;
constexpr uint32_t kLargeConfigSize = 0x84000;
constexpr uint32_t kSmallFirmwareSize = 0x2000;
constexpr uint32_t kLargeFirmwareSize = 0x4000;

constexpr std::array<const char*, 16> kCommandNames = {
    "NotAssigned",
    "FULLARRAYCOMMANDSCAN",
    "FULLARRAYCOMMANDAUTOSCAN",
    "FULLARRAYCOMMANDDEFAULT",
    "FULLARRAYCOMMANDSETSTATUS",
    "FULLARRAYCOMMANDCLRSTATUS",
    "FULLARRAYCOMMANDFIRMWARE",
    "FULLARRAYCOMMANDWRITEEEPROM",
    "FULLARRAYCOMMANDREADEEPROM",
    "FULLARRAYCOMMANDREADCONFIG",
    "FULLARRAYCOMMANDDUMMY",
    "FULLARRAYCOMMANDVALIDATE",
    "FULLARRAYCOMMANDWRITEREG",
    "FULLARRAYCOMMANDREADREG",
    "FULLARRAYCOMMANDWRITEGPIO",
    "FULLARRAYCOMMANDREADGPIO",
};

// Live full-array objects: callers' pointers are looked up here before they
// are dereferenced.
struct Registry {
  std::mutex mutex;  // guards handles
  std::set<const FullArrayRecord*> handles;
};

Registry& GetRegistry() {
  static Registry registry;
  return registry;
}

// The inner reader handle of a live full-array object, or null with library
// error 4 recorded globally.
RDRHANDLE LiveInner(const FullArrayRecord* handle) {
  Registry& registry = GetRegistry();
  {
    std::lock_guard lock(registry.mutex);
    if (registry.handles.contains(handle) && handle->kind_tag == kKindFullArray) return handle->inner;
  }
  SetLibraryError(nullptr, kErrInvalidParameter);
  return nullptr;
}

// False when the registry cannot grow: out of memory is an error, not an
// exception across the library's boundary.
bool Register(const FullArrayRecord* handle) {
  Registry& registry = GetRegistry();
  try {
    std::lock_guard lock(registry.mutex);
    registry.handles.insert(handle);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// Takes a live object out of the registry; true for the one caller that did.
bool Unregister(const FullArrayRecord* handle) {
  Registry& registry = GetRegistry();
  std::lock_guard lock(registry.mutex);
  return registry.handles.erase(handle) != 0;
}

int32_t CloseRoutine(FullArrayRecord* self) {
  RDRHANDLE inner = self->inner;
  Unregister(self);
  self->kind_tag = 0;
  PlatformAlloc(IsValidReaderHandle(inner) ? inner : nullptr, self, 0);
  if (!IsValidReaderHandle(inner) || inner->close == nullptr) {
    SetLibraryError(IsValidReaderHandle(inner) ? inner : nullptr, kErrInvalidParameter);
    return 0;
  }
  return inner->close(inner);
}

// One information request with a 60-byte body: service code, a second word,
// zeros. Fills `reply` and returns the body bytes received, or -1 when the
// exchange failed (error recorded by the message layer).
int32_t ServiceRequest(RDRHANDLE inner, uint32_t service, uint32_t argument,
                       std::array<uint8_t, kServiceReplyCapacity>& reply) {
  std::array<uint8_t, kServiceRequestBytes> request{};
  WriteLe32(request, 0, service);
  WriteLe32(request, 4, argument);
  RDRMSGHDR ohdr{static_cast<uint16_t>(request.size()), kCommandInformation, 0};
  RDRMSGHDR ihdr{static_cast<uint16_t>(reply.size()), 0, 0};
  if (!RDRSendReceive(inner, &ohdr, request.data(), &ihdr, reply.data())) return -1;
  return static_cast<int32_t>(DecodeMessageSize(ihdr.Size));
}

// A reply too short for the fields the caller reads would leave them as
// zeros, which read as success.
bool RequireReply(RDRHANDLE inner, int32_t received, int32_t needed) {
  if (received >= needed) return true;
  Trace(inner, kTraceError, "\nReply of %d bytes, %d expected", received, needed);
  SetLibraryError(inner, kErrIncompleteMessage);
  return false;
}

// Reads one probe block; 0 when the read failed.
int32_t ReadProbe(FAHANDLE handle, int32_t chip, int32_t addr, std::array<uint8_t, kProbeBytes>& block) {
  return _ReadEeprom(handle, chip, addr, kProbeBytes, block.data());
}

// The work of FullArrayFlashMemory, inside its frame.
int32_t MeasureMemories(FAHANDLE handle, RDRHANDLE inner, uint32_t* firmware_size, uint32_t* config_size) {
  uint32_t firmware = 0;
  uint32_t config = kSmallConfigSize;
  bool asked = false;
  if ((inner->capability_flags & kCapExtendedRequests) != 0) {
    std::array<uint8_t, kServiceReplyCapacity> reply{};
    const int32_t received = ServiceRequest(inner, kServiceMemorySizes, 0, reply);
    if (received < 0 || !RequireReply(inner, received, 4)) return 0;
    const auto status = static_cast<int32_t>(ReadLe32(reply, 0));
    if (status != kStatusUnknownRequest) {
      if (RDRErrorCheck(inner, status)) return 0;
      if (!RequireReply(inner, received, 20)) return 0;
      firmware = ReadLe32(reply, 8);
      config = ReadLe32(reply, 16);
      asked = true;
    } else {
      // The reader cannot say: measure. Two configuration chips that answer
      // differently mean the large memory if the third one mirrors the first.
      std::array<uint8_t, kProbeBytes> a{};
      std::array<uint8_t, kProbeBytes> b{};
      const bool read_a = ReadProbe(handle, kConfigChipA, 0, a) != 0;
      const bool read_b = ReadProbe(handle, kConfigChipB, 0, b) != 0;
      if (read_a && read_b && a != b) {
        std::array<uint8_t, kProbeBytes> c{};
        if (!ReadProbe(handle, kConfigChipC, 0x4000, c)) return 0;
        if (c != a) {
          SetLibraryError(inner, kErrNotSupported);
          return 0;
        }
        config = kLargeConfigSize;
      } else {
        config = kSmallConfigSize;
      }
    }
  }
  if (!asked) {
    if (inner->firmware_number == kFirmwareNumber40990) {
      config = kSmallConfigSize;
      firmware = 0;
    } else {
      // The firmware memory wraps at its size: a copy of its start at 0x2000
      // or 0x4000 tells which.
      std::array<uint8_t, kProbeBytes> start{};
      std::array<uint8_t, kProbeBytes> probe{};
      if (!ReadProbe(handle, kFirmwareChip, 0, start) || !ReadProbe(handle, kFirmwareChip, 0x2000, probe)) return 0;
      if (start == probe) {
        firmware = kSmallFirmwareSize;
      } else {
        if (!ReadProbe(handle, kFirmwareChip, 0x4000, probe)) return 0;
        if (start != probe) {
          SetLibraryError(inner, kErrNotSupported);
          return 0;
        }
        firmware = kLargeFirmwareSize;
      }
    }
  }
  if (firmware_size != nullptr) *firmware_size = firmware;
  if (config_size != nullptr) *config_size = config;
  Trace(inner, kTraceDetail, "\nFirmware=%d bytes, Config=%d bytes", static_cast<int32_t>(firmware),
        static_cast<int32_t>(config));
  return 1;
}

}  // namespace

const char* FullArrayCommandName(int32_t code) {
  return code >= 0 && code < static_cast<int32_t>(kCommandNames.size()) ? kCommandNames[code] : nullptr;
}

FAHANDLE FullArrayOpenUSB(const char* path) {
  LOGHANDLE log = LogAttachInstance(LogGetGlobal());
  LogEnter(log, "FullArrayOpenUSB", __LINE__);
  LogTraceString(log, "path", path);
  auto fail = [log]() {
    LogExitPointer(log, "FullArrayOpenUSB", __LINE__, kCheckFailure, InvalidFullArrayHandle());
    LogDetachInstance(log);
    return InvalidFullArrayHandle();
  };

  RDRHANDLE inner = RDROpenUSB(path);
  if (inner == InvalidReaderHandle() || inner == nullptr) return fail();
  auto* handle = static_cast<FullArrayRecord*>(PlatformAlloc(inner, nullptr, sizeof(FullArrayRecord)));
  if (handle == nullptr) {
    RDRClose(inner);
    return fail();
  }
  std::memset(handle, 0, sizeof(FullArrayRecord));
  handle->kind_tag = kKindFullArray;
  handle->close = CloseRoutine;
  handle->inner = inner;
  if (!Register(handle)) {
    PlatformAlloc(inner, handle, 0);
    RDRClose(inner);
    SetLibraryError(nullptr, kErrNoMemory);
    return fail();
  }
  if (!_CheckCaps(handle)) {
    // The object goes first, then the reader; the reason for the failure
    // stays the last error.
    const int32_t reason = GetErrorCode();
    Unregister(handle);
    PlatformAlloc(inner, handle, 0);
    RDRClose(inner);
    SetErrorCode(nullptr, reason);
    return fail();
  }
  LogExitPointer(log, "FullArrayOpenUSB", __LINE__, kCheckAlways, handle);
  // The open's own instance has done its work (the reader handle traces on
  // its own); kept attached it would stop the log from ever being closed.
  LogDetachInstance(log);
  return handle;
}

int32_t _CheckCaps(FAHANDLE handle) {
  RDRHANDLE inner = LiveInner(handle);
  if (inner == nullptr || !HandleEnter(inner, "_CheckCaps", __LINE__)) return 0;
  TracePointer(inner, "vhdl", handle);
  int32_t result = 0;
  if (RDRFlush(inner)) {
    const int32_t timeout = RDRTimeout(inner);
    if (RDRTimeoutSet(inner, 1)) {
      result = FullArrayFlashMemory(handle, nullptr, &handle->firmware_size, &handle->config_size) &&
               FullArrayAPIVersion(handle, &handle->api_version);
      // Restored on every path: the handle outlives a failed measurement
      // only until the open closes it, but it must not keep 1 second.
      RDRTimeoutSet(inner, timeout);
      if (result) {
        handle->full_size =
            handle->firmware_size == kFullArrayFullSize && handle->config_size == kFullArrayFullSize ? 1 : 0;
      }
    }
  }
  return HandleExit(inner, "_CheckCaps", __LINE__, kCheckNonZero, result);
}

int32_t FullArrayAPIVersion(FAHANDLE handle, uint32_t* value) {
  RDRHANDLE inner = LiveInner(handle);
  if (inner == nullptr || !HandleEnter(inner, "FullArrayAPIVersion", __LINE__)) return 0;
  TraceParameters(inner, {{"vhdl", handle}, {"value", value}});
  const int32_t result = RDRAPIVersion(inner, value);
  return HandleExit(inner, "FullArrayAPIVersion", __LINE__, kCheckNonZero, result);
}

int32_t FullArrayClose(FAHANDLE handle) {
  RDRHANDLE inner = LiveInner(handle);
  if (inner == nullptr) return 0;
  // An abort answer of the progress callback does not keep the object and
  // the reader it holds open from being released.
  if (HandleEnterPastAbort(inner, "FullArrayClose", __LINE__)) {
    TracePointer(inner, "vhdl", handle);
    Trace(inner, kTraceDetail, "\nReader closure will continue after exit log");
    HandleExit(inner, "FullArrayClose", __LINE__, kCheckNonZero, 1);
    RDRLogSet(inner, nullptr);
  } else if (IsValidReaderHandle(inner)) {
    // Refused on a live reader (a call from its progress callback): closing
    // now would pull the reader from under the operation in progress.
    return 0;
  }
  // Otherwise the reader was closed behind the object's back; the close
  // routine still releases the object. Only the caller that takes the object
  // out of the registry runs it: two closes of one handle racing past the
  // checks above must not both release it.
  if (!Unregister(handle)) {
    SetLibraryError(nullptr, kErrInvalidParameter);
    return 0;
  }
  return handle->close(handle);
}

int32_t FullArrayStatus(FAHANDLE handle, uint32_t* mask) {
  RDRHANDLE inner = LiveInner(handle);
  if (inner == nullptr || !HandleEnter(inner, "FullArrayStatus", __LINE__)) return 0;
  TraceParameters(inner, {{"vhdl", handle}, {"mask", mask}});
  const int32_t result = FullArrayStatusSet(handle, 0, mask);
  return HandleExit(inner, "FullArrayStatus", __LINE__, kCheckNonZero, result);
}

int32_t FullArrayStatusSet(FAHANDLE handle, uint32_t mask, uint32_t* newmask) {
  RDRHANDLE inner = LiveInner(handle);
  if (inner == nullptr || !HandleEnter(inner, "FullArrayStatusSet", __LINE__)) return 0;
  TraceParameters(inner, {{"vhdl", handle}, {"mask", static_cast<int32_t>(mask)}, {"newmask", newmask}});
  Trace(inner, kTraceDetail, "\nSetting bits 0x%X", mask);
  auto exit = [&](int32_t result) { return HandleExit(inner, "FullArrayStatusSet", __LINE__, kCheckNonZero, result); };

  uint32_t word = 0;
  if (inner->firmware_number != kFirmwareNumber40990) {
    std::array<uint8_t, kServiceReplyCapacity> reply{};
    const int32_t received = ServiceRequest(inner, kServiceStatus, mask, reply);
    if (received < 0 || !RequireReply(inner, received, 4)) return exit(0);
    if (RDRErrorCheck(inner, static_cast<int32_t>(ReadLe32(reply, 0)))) return exit(0);
    if (!RequireReply(inner, received, 8)) return exit(0);
    word = ReadLe32(reply, 4);
    Trace(inner, kTraceDetail, "\nUpdated bits 0x%X", word);
    if ((mask & ~word) != 0) {
      Trace(inner, kTraceError, "\nERROR: Status failed to be set!!! Set 0x%X, got back 0x%X", mask, word);
    }
  }
  if (newmask != nullptr) *newmask = word;
  return exit(1);
}

int32_t FullArrayFlashMemory(FAHANDLE handle, void* reserved, uint32_t* Firmware, uint32_t* Config) {
  RDRHANDLE inner = LiveInner(handle);
  if (inner == nullptr || !HandleEnter(inner, "FullArrayFlashMemory", __LINE__)) return 0;
  TraceParameters(inner, {{"vhdl", handle}, {"reserved", reserved}, {"Firmware", Firmware}, {"Config", Config}});
  const int32_t result = MeasureMemories(handle, inner, Firmware, Config);
  return HandleExit(inner, "FullArrayFlashMemory", __LINE__, kCheckNonZero, result);
}

int32_t _ReadEeprom(FAHANDLE handle, int32_t chip, int32_t addr, int32_t length, void* buffer) {
  RDRHANDLE inner = LiveInner(handle);
  if (inner == nullptr || !HandleEnter(inner, "_ReadEeprom", __LINE__)) return 0;
  TraceParameters(inner, {{"vhdl", handle}, {"chip", chip}, {"addr", addr}, {"length", length}, {"buffer", buffer}});
  auto exit = [&](int32_t result) { return HandleExit(inner, "_ReadEeprom", __LINE__, kCheckNonZero, result); };
  if (length < 0 || addr < 0 || (buffer == nullptr && length > 0)) {
    SetLibraryError(inner, kErrInvalidParameter);
    return exit(0);
  }
  auto* out = static_cast<uint8_t*>(buffer);
  if (addr < kHalfBoundary && int64_t{addr} + length > kHalfBoundary) {
    const int32_t lower = kHalfBoundary - addr;
    const int32_t result = _ReadEeprom(handle, chip, addr, lower, out) &&
                           _ReadEeprom(handle, chip, kHalfBoundary, length - lower, out + lower);
    return exit(result);
  }
  int32_t remaining = length;
  int32_t at = addr;
  // Lines end on 32-byte boundaries: an unaligned start first reads up to the
  // next one, every later line is whole until the rest.
  while (remaining > 0) {
    const int32_t line = std::min(remaining, kLineBytes - at % kLineBytes);
    if (!_ReadEepromLine(handle, chip, at, line, out)) return exit(0);
    at += line;
    out += line;
    remaining -= line;
  }
  return exit(1);
}

int32_t _ReadEepromLine(FAHANDLE handle, int32_t chip, int32_t addr, int32_t length, void* buffer) {
  RDRHANDLE inner = LiveInner(handle);
  if (inner == nullptr || !HandleEnter(inner, "_ReadEepromLine", __LINE__)) return 0;
  TraceParameters(inner, {{"vhdl", handle}, {"chip", chip}, {"addr", addr}, {"length", length}, {"buffer", buffer}});
  auto exit = [&](int32_t result) { return HandleExit(inner, "_ReadEepromLine", __LINE__, kCheckNonZero, result); };
  if (length < 0 || length > kLongestLine || (buffer == nullptr && length > 0)) {
    SetLibraryError(inner, kErrInvalidParameter);
    return exit(0);
  }
  const auto wire_chip = static_cast<uint8_t>(chip | ((addr & kHalfBoundary) != 0 ? kUpperHalfChipBit : 0));
  const auto wire_address = static_cast<uint16_t>(addr & (kHalfBoundary - 1));
  const uint32_t count = (static_cast<uint32_t>(length) + 3) & ~3u;

  std::array<uint8_t, kSerialReadRequestBytes> request{};
  request[0] = kServiceSerialRead;
  request[1] = wire_chip;
  WriteLe16(request, 2, wire_address);
  WriteLe32(request, 4, count);
  std::array<uint8_t, kServiceReplyCapacity> reply{};
  RDRMSGHDR ohdr{static_cast<uint16_t>(request.size()), kCommandInformation, 0};
  RDRMSGHDR ihdr{static_cast<uint16_t>(reply.size()), 0, 0};
  if (!RDRSendReceive(inner, &ohdr, request.data(), &ihdr, reply.data())) {
    Trace(inner, kTraceError, "\nERROR: failed request to read %d eeprom bytes from 0x%X of chip %d", length,
          wire_address, wire_chip);
    return exit(0);
  }
  const auto received = static_cast<int32_t>(DecodeMessageSize(ihdr.Size));
  if (!RequireReply(inner, received, 4)) return exit(0);
  const auto status = static_cast<int32_t>(ReadLe32(reply, 0));
  if (status != 0) {
    // The memory probing expects the configuration chips to be unknown to
    // some readers: that answer fails quietly.
    if (!(wire_chip >= 16 && status == kStatusUnknownRequest)) {
      RDRErrorCheck(inner, status);
      Trace(inner, kTraceError, "\nERROR: reader returned result 0x%X on read %d eeprom bytes from 0x%X of chip %d",
            static_cast<uint32_t>(status), length, wire_address, wire_chip);
    }
    return exit(0);
  }
  if (!RequireReply(inner, received, 4 + length)) return exit(0);
  if (length > 0) std::memcpy(buffer, reply.data() + 4, static_cast<size_t>(length));
  return exit(1);
}
