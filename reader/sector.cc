// The flash sector commands: one request/reply exchange of Command 126 per
// operation, in a logical view (sectors named by id, placed by the reader) and
// a raw view (physical sectors).
#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "reader/flash.h"
#include "reader/frame.h"
#include "reader/handle.h"
#include "reader/little_endian.h"
#include "trace/trace.h"

namespace {

constexpr uint8_t kCommandSector = 126;

enum SubCommand : uint8_t {
  kInit = 0,
  kRead = 2,
  kWrite = 3,
  kNew = 6,
  kDelete = 7,
  kRawRead = 9,
  kRawWrite = 10,
  kRawErase = 11,
};

// One request carries at most this many data bytes: the room left beside the
// parameter block and the reply fields in the library's message buffers.
constexpr int32_t kLargestData = 1026;

// The parameter block that starts every sector request.
struct SectorParameters {
  static constexpr size_t kBytes = 10;
  uint8_t sub_command = 0;
  uint8_t chip = 0;
  uint16_t logical_id = 0;  // or the physical sector in the raw view
  uint16_t physical_loc = 0;
  uint16_t offset = 0;
  uint16_t length = 0;

  void Encode(std::span<uint8_t, kBytes> out) const {
    out[0] = sub_command;
    out[1] = chip;
    WriteLe16(out, 2, logical_id);
    WriteLe16(out, 4, physical_loc);
    WriteLe16(out, 6, offset);
    WriteLe16(out, 8, length);
  }
};

// The fields in front of the data of every sector reply.
struct SectorReply {
  static constexpr size_t kBytes = 6;
  int16_t status = 0;
  uint16_t logical_id = 0;
  uint16_t physical_loc = 0;

  static SectorReply Decode(std::span<const uint8_t> in) {
    SectorReply reply;
    reply.status = static_cast<int16_t>(ReadLe16(in, 0));
    if (in.size() >= kBytes) {
      reply.logical_id = ReadLe16(in, 2);
      reply.physical_loc = ReadLe16(in, 4);
    }
    return reply;
  }
};

constexpr size_t kStatusBytes = 2;

bool SectorCommandsSupported(RDRHANDLE handle) {
  const int32_t number = handle->firmware_number;
  return number >= 41014 && number != 41031 && number != 41040;
}

bool IsLogical(uint8_t sub_command) { return sub_command <= kDelete; }
bool IsRead(uint8_t sub_command) { return sub_command == kRead || sub_command == kRawRead; }
bool IsWrite(uint8_t sub_command) { return sub_command == kWrite || sub_command == kRawWrite; }

struct SectorCall {
  uint8_t sub_command;
  int32_t chip;
  int32_t id;  // logical id, requested id (new) or physical sector (raw)
  int32_t offset;
  int32_t length;
  void* read_buffer;
  const void* write_buffer;
  uint16_t* assigned_id;  // SectorNew only
  uint16_t* location;     // logical view, may be null
};

// Whether a successful reply must carry the assigned id and location. A
// deleted sector's new location is of no use to anyone, so SectorDelete
// takes it when it comes and does without it otherwise.
bool NeedsFields(const SectorCall& call) {
  switch (call.sub_command) {
    case kNew: return true;
    case kRead:
    case kWrite: return call.location != nullptr;
    default: return false;
  }
}

// The work of every sector operation, run inside the caller's frame.
int32_t PerformSectorCall(RDRHANDLE handle, const SectorCall& call) {
  if (!SectorCommandsSupported(handle)) {
    SetLibraryError(handle, kErrNotSupported);
    return 0;
  }
  const bool reads = IsRead(call.sub_command);
  const bool writes = IsWrite(call.sub_command);
  // Refused before anything is copied: a longer length would overrun the
  // message buffers, a null buffer would be dereferenced.
  if ((reads || writes) && (call.length < 0 || call.length > kLargestData)) {
    Trace(handle, kTraceError, "\nSector data length %d exceeds %d bytes", call.length, kLargestData);
    SetLibraryError(handle, kErrInvalidParameter);
    return 0;
  }
  if ((reads && call.read_buffer == nullptr && call.length > 0) ||
      (writes && call.write_buffer == nullptr && call.length > 0) ||
      (call.sub_command == kNew && call.assigned_id == nullptr)) {
    SetLibraryError(handle, kErrInvalidParameter);
    return 0;
  }

  SectorParameters parameters;
  parameters.sub_command = call.sub_command;
  parameters.chip = static_cast<uint8_t>(call.chip);
  parameters.logical_id = static_cast<uint16_t>(call.id);
  parameters.physical_loc = IsLogical(call.sub_command) && call.location != nullptr ? *call.location : 0;
  parameters.offset = static_cast<uint16_t>(call.offset);
  parameters.length = static_cast<uint16_t>(call.length);

  std::array<uint8_t, SectorParameters::kBytes + kLargestData> request{};
  parameters.Encode(std::span<uint8_t, SectorParameters::kBytes>(request.data(), SectorParameters::kBytes));
  size_t request_size = SectorParameters::kBytes;
  if (writes) {
    if (call.length > 0) std::memcpy(request.data() + SectorParameters::kBytes, call.write_buffer, call.length);
    request_size += static_cast<size_t>(call.length);
  }

  const uint8_t* data = request.data() + SectorParameters::kBytes;
  switch (call.sub_command) {
    case kInit: Trace(handle, kTraceDetail, "\nSectorInit: chip %d", parameters.chip); break;
    case kNew:
      Trace(handle, kTraceDetail, "\nSectorNew: chip %d id %d(%d)", parameters.chip, parameters.logical_id,
            parameters.physical_loc);
      break;
    case kWrite:
      TraceDump(handle, kTraceDetail, data, call.length, "\nSectorWrite: chip %d id %d offset %d length %d",
                parameters.chip, parameters.logical_id, parameters.offset, parameters.length);
      break;
    case kRawWrite:
      TraceDump(handle, kTraceDetail, data, call.length, "\nSectorRawWrite: chip %d sector %d offset %d length %d",
                parameters.chip, parameters.logical_id, parameters.offset, parameters.length);
      break;
    case kRawErase:
      Trace(handle, kTraceDetail, "\nSectorRawErase: chip %d sector %d offset %d length %d", parameters.chip,
            parameters.logical_id, parameters.offset, parameters.length);
      break;
    default: break;
  }

  const size_t fields = call.sub_command == kInit ? 2 : SectorReply::kBytes;
  const size_t capacity = fields + (reads ? static_cast<size_t>(call.length) : 0);
  std::array<uint8_t, SectorReply::kBytes + kLargestData> reply{};
  RDRMSGHDR ohdr{static_cast<uint16_t>(request_size), kCommandSector, 0};
  RDRMSGHDR ihdr{static_cast<uint16_t>(capacity), 0, 0};
  if (!RDRSendReceive(handle, &ohdr, request.data(), &ihdr, reply.data())) return 0;
  const size_t received = DecodeMessageSize(ihdr.Size);
  if (received < kStatusBytes) {
    // Without its status a reply cannot be judged; taking zeros for it would
    // report success.
    Trace(handle, kTraceError, "\nSector reply of %d bytes has no status", static_cast<int32_t>(received));
    SetLibraryError(handle, kErrIncompleteMessage);
    return 0;
  }
  // A reader may answer with the status alone; the fields behind it are
  // needed only when the status is 0 and the operation reads them.
  const bool has_fields = call.sub_command != kInit && received >= SectorReply::kBytes;
  SectorReply fields_in =
      SectorReply::Decode(std::span<const uint8_t>(reply.data(), has_fields ? fields : kStatusBytes));
  if (has_fields) {
    if (call.sub_command == kNew) *call.assigned_id = fields_in.logical_id;
    if (IsLogical(call.sub_command) && call.sub_command != kInit && call.location != nullptr) {
      *call.location = fields_in.physical_loc;
    }
  } else {
    // What the trace shows: nothing moved.
    fields_in.logical_id = parameters.logical_id;
    fields_in.physical_loc = parameters.physical_loc;
  }
  size_t delivered = 0;
  if (reads && received > fields) {
    delivered = std::min(static_cast<size_t>(call.length), received - fields);
    if (delivered > 0) std::memcpy(call.read_buffer, reply.data() + fields, delivered);
  }

  const uint8_t* read_data = reply.data() + fields;
  switch (call.sub_command) {
    case kRead:
      TraceDump(handle, kTraceDetail, read_data, static_cast<int32_t>(delivered),
                "\nSectorRead: chip %d id %d(%d) offset %d length %d", parameters.chip, parameters.logical_id,
                fields_in.physical_loc, parameters.offset, parameters.length);
      break;
    case kRawRead:
      TraceDump(handle, kTraceDetail, read_data, static_cast<int32_t>(delivered),
                "\nSectorRawRead: chip %d sector %d offset %d length %d", parameters.chip, parameters.logical_id,
                parameters.offset, parameters.length);
      break;
    case kWrite:
      Trace(handle, kTraceDetail, "\nMoved to id %d(%d)", parameters.logical_id, fields_in.physical_loc);
      break;
    case kNew: Trace(handle, kTraceDetail, "now at %d(%d)", fields_in.logical_id, fields_in.physical_loc); break;
    case kDelete:
      Trace(handle, kTraceDetail, "\nSectorDelete: chip %d id %d(%d)", parameters.chip, parameters.logical_id,
            fields_in.physical_loc);
      break;
    default: break;
  }

  if (!FlashErrorCheck(handle, fields_in.status)) return 0;
  if (!has_fields && NeedsFields(call)) {
    Trace(handle, kTraceError, "\nSector reply of %d bytes lacks the fields after its status",
          static_cast<int32_t>(received));
    SetLibraryError(handle, kErrIncompleteMessage);
    return 0;
  }
  if (reads && delivered < static_cast<size_t>(call.length)) {
    Trace(handle, kTraceError, "\nSector reply carried %d of %d data bytes", static_cast<int32_t>(delivered),
          call.length);
    SetLibraryError(handle, kErrIncompleteMessage);
    return 0;
  }
  return 1;
}

// The parameter lines of a read or write within a sector: by logical id
// with its location hint, or raw by physical sector.
void TraceTransfer(RDRHANDLE handle, const SectorCall& call) {
  const void* buffer = call.write_buffer != nullptr ? call.write_buffer : call.read_buffer;
  if (call.sub_command == kRawRead || call.sub_command == kRawWrite) {
    TraceParameters(handle, {{"vhdl", handle},
                             {"chip", call.chip},
                             {"sector", call.id},
                             {"offset", call.offset},
                             {"length", call.length},
                             {"buffer", buffer}});
    return;
  }
  TraceParameters(handle, {{"vhdl", handle},
                           {"chip", call.chip},
                           {"logicalID", call.id},
                           {"offset", call.offset},
                           {"length", call.length},
                           {"buffer", buffer},
                           {"physicalLoc", call.location}});
}

}  // namespace

int32_t SectorInit(RDRHANDLE handle, int32_t chip) {
  if (!HandleEnter(handle, "SectorInit", __LINE__)) return 0;
  TraceParameters(handle, {{"vhdl", handle}, {"chip", chip}});
  int32_t result = PerformSectorCall(handle, {kInit, chip, 0, 0, 0, nullptr, nullptr, nullptr, nullptr});
  return HandleExit(handle, "SectorInit", __LINE__, kCheckNonZero, result);
}

int32_t SectorRead(RDRHANDLE handle, int32_t chip, int32_t logical_id, int32_t offset, int32_t length, void* buffer,
                   uint16_t* location) {
  if (!HandleEnter(handle, "SectorRead", __LINE__)) return 0;
  const SectorCall call{kRead, chip, logical_id, offset, length, buffer, nullptr, nullptr, location};
  TraceTransfer(handle, call);
  return HandleExit(handle, "SectorRead", __LINE__, kCheckNonZero, PerformSectorCall(handle, call));
}

int32_t SectorWrite(RDRHANDLE handle, int32_t chip, int32_t logical_id, int32_t offset, int32_t length,
                    const void* buffer, uint16_t* location) {
  if (!HandleEnter(handle, "SectorWrite", __LINE__)) return 0;
  const SectorCall call{kWrite, chip, logical_id, offset, length, nullptr, buffer, nullptr, location};
  TraceTransfer(handle, call);
  return HandleExit(handle, "SectorWrite", __LINE__, kCheckNonZero, PerformSectorCall(handle, call));
}

int32_t SectorNew(RDRHANDLE handle, int32_t chip, uint16_t* logical_id, uint16_t* location) {
  if (!HandleEnter(handle, "SectorNew", __LINE__)) return 0;
  TraceParameters(handle, {{"vhdl", handle}, {"chip", chip}, {"logicalID", logical_id}, {"physicalLoc", location}});
  const int32_t requested = logical_id != nullptr ? *logical_id : 0;
  int32_t result = PerformSectorCall(handle, {kNew, chip, requested, 0, 0, nullptr, nullptr, logical_id, location});
  return HandleExit(handle, "SectorNew", __LINE__, kCheckNonZero, result);
}

int32_t SectorDelete(RDRHANDLE handle, int32_t chip, int32_t logical_id, uint16_t* location) {
  if (!HandleEnter(handle, "SectorDelete", __LINE__)) return 0;
  TraceParameters(handle, {{"vhdl", handle}, {"chip", chip}, {"logicalID", logical_id}, {"physicalLoc", location}});
  int32_t result = PerformSectorCall(handle, {kDelete, chip, logical_id, 0, 0, nullptr, nullptr, nullptr, location});
  return HandleExit(handle, "SectorDelete", __LINE__, kCheckNonZero, result);
}

int32_t SectorRawRead(RDRHANDLE handle, int32_t chip, int32_t sector, int32_t offset, int32_t length, void* buffer) {
  if (!HandleEnter(handle, "SectorRawRead", __LINE__)) return 0;
  const SectorCall call{kRawRead, chip, sector, offset, length, buffer, nullptr, nullptr, nullptr};
  TraceTransfer(handle, call);
  return HandleExit(handle, "SectorRawRead", __LINE__, kCheckNonZero, PerformSectorCall(handle, call));
}

int32_t SectorRawWrite(RDRHANDLE handle, int32_t chip, int32_t sector, int32_t offset, int32_t length,
                       const void* buffer) {
  if (!HandleEnter(handle, "SectorRawWrite", __LINE__)) return 0;
  const SectorCall call{kRawWrite, chip, sector, offset, length, nullptr, buffer, nullptr, nullptr};
  TraceTransfer(handle, call);
  return HandleExit(handle, "SectorRawWrite", __LINE__, kCheckNonZero, PerformSectorCall(handle, call));
}

int32_t SectorRawErase(RDRHANDLE handle, int32_t chip, int32_t sector, int32_t offset, int32_t length) {
  if (!HandleEnter(handle, "SectorRawErase", __LINE__)) return 0;
  TraceParameters(handle,
                  {{"vhdl", handle}, {"chip", chip}, {"sector", sector}, {"offset", offset}, {"length", length}});
  int32_t result =
      PerformSectorCall(handle, {kRawErase, chip, sector, offset, length, nullptr, nullptr, nullptr, nullptr});
  return HandleExit(handle, "SectorRawErase", __LINE__, kCheckNonZero, result);
}
