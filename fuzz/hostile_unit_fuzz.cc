// The library against a unit whose every answer comes from the input (see
// hostile_unit.h): the open, then a sequence of identity, control, sector,
// exchange and full-array operations chosen by the input. Input: the length
// of the operations' part (16 bits), that part, then the unit's answers.
// Every buffer the library fills is allocated at exactly the length it is
// told, so AddressSanitizer reports a write past it; the virtual clock makes
// every time limit free. The top two bits of the length attach a trace log
// (to /dev/null) at the detail level or at a conditional one, so that the
// unit's texts and numbers also pass through the trace lines.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "fuzz/hostile_unit.h"
#include "fuzz/input.h"
#include "fuzz/targets.h"
#include "platform/clock.h"
#include "reader/flash.h"
#include "reader/fullarray.h"
#include "reader/rdr.h"
#include "trace/trace.h"
#include "transport/usb.h"

namespace fuzz {
namespace {

// A heap block of exactly `length` bytes (none for length <= 0).
struct Block {
  explicit Block(int32_t length)
      : bytes(length > 0 ? std::make_unique<uint8_t[]>(static_cast<size_t>(length)) : nullptr) {}
  uint8_t* get() const { return bytes.get(); }
  std::unique_ptr<uint8_t[]> bytes;
};

// A length near the interesting edges: small, a message's, a sector's, or
// any other (negative included).
int32_t Length(Tape& tape) {
  const uint8_t pick = tape.Byte();
  switch (pick & 3) {
    case 0: return pick >> 2;
    case 1: return 1000 + (pick >> 2);
    case 2: return static_cast<int32_t>(tape.U16() % 2100);
    default: {
      // Negative ones as they come; positive ones stay allocatable.
      const auto any = static_cast<int32_t>(tape.U32());
      return any < 0 ? any : any % 70000;
    }
  }
}

using StringCall = int32_t (*)(RDRHANDLE, char*, int32_t);
constexpr StringCall kStringCalls[] = {RDRAppHeader, RDRBootHeader, RDRFirmwareString, RDRFX3FirmwareString,
                                       RDRSerialString};

void FullArrayOperations(Tape& tape) {
  const FAHANDLE full = FullArrayOpenUSB(nullptr);
  if (full == InvalidFullArrayHandle()) return;
  for (int step = tape.Byte() % 6; step > 0; --step) {
    uint32_t first = 0;
    uint32_t second = 0;
    switch (tape.Byte() % 5) {
      case 0: FullArrayStatus(full, &first); break;
      case 1: FullArrayStatusSet(full, tape.U32(), &first); break;
      case 2: FullArrayFlashMemory(full, nullptr, &first, &second); break;
      case 3: FullArrayAPIVersion(full, &first); break;
      default: {
        const int32_t length = static_cast<int32_t>(tape.U16() % 700);
        Block buffer(length);
        const uint8_t memory = tape.Byte();
        _ReadEeprom(full, memory, static_cast<int32_t>(tape.U32() % 0x40000), length, buffer.get());
        break;
      }
    }
  }
  FullArrayClose(full);
}

void Operation(RDRHANDLE handle, Tape& tape) {
  uint16_t id = 0;
  uint16_t location = 0;
  const uint8_t chip = tape.Byte() % 3;
  switch (tape.Byte() % 20) {
    case 0: {
      uint32_t value = 0;
      RDRAPIVersion(handle, &value);
      break;
    }
    case 1: {
      const int32_t length = Length(tape);
      Block text(length);
      kStringCalls[tape.Byte() % std::size(kStringCalls)](handle, reinterpret_cast<char*>(text.get()), length);
      break;
    }
    case 2:
      RDRIsSH4Based(handle);
      RDRIsWR2200Based(handle);
      RDRIsFX2Based(handle);
      break;
    case 3:
      // No time limit (0) would wait forever on a silent unit, as it should.
      RDRTimeoutSet(handle, 1 + tape.Byte() % 3);
      RDRPacketSizeSet(handle, static_cast<int32_t>(tape.U16()) - 1);
      break;
    case 4: RDRFlush(handle); break;
    case 5: RDRReconnect(handle); break;
    case 6: RDRSoftBoot(handle, tape.Byte() & 1); break;
    case 7: {
      const uint32_t length = tape.U16() % 1100;
      Block data(static_cast<int32_t>(length));
      const std::string name = tape.Text();
      const uint16_t index = tape.U16();
      const uint16_t count = tape.U16();
      const uint32_t file_size = tape.U32();
      const uint32_t crc = tape.U32();
      RDRFilePacketWriteRequest(handle, index, length, count, data.get(), file_size, crc,
                                (tape.Byte() & 1) != 0 ? name.c_str() : nullptr);
      break;
    }
    case 8: {
      const int32_t length = Length(tape);
      Block data(length);
      const uint8_t memory = tape.Byte();
      RDRWriteEepromLineFX3(handle, memory, static_cast<int32_t>(tape.U32()), length, data.get());
      break;
    }
    case 9: {
      const int32_t length = static_cast<int32_t>(tape.U16() % 3000);
      Block data(length);
      RDRFlashFirmwareWriteFX3(handle, length, data.get());
      break;
    }
    case 10: SectorInit(handle, chip); break;
    case 11: {
      const int32_t length = Length(tape);
      Block data(length);
      const uint16_t sector = tape.U16();
      SectorRead(handle, chip, sector, tape.U16() % 1100, length, data.get(), &location);
      break;
    }
    case 12: {
      const int32_t length = Length(tape);
      Block data(length);
      const uint16_t sector = tape.U16();
      SectorWrite(handle, chip, sector, tape.U16() % 1100, length, data.get(), &location);
      break;
    }
    case 13: SectorNew(handle, chip, &id, &location); break;
    case 14: SectorDelete(handle, chip, tape.U16(), &location); break;
    case 15: {
      const int32_t length = Length(tape);
      Block data(length);
      const uint16_t sector = tape.U16();
      SectorRawRead(handle, chip, sector, tape.U16() % 1100, length, data.get());
      break;
    }
    case 16: {
      const int32_t length = Length(tape);
      Block data(length);
      const uint16_t sector = tape.U16();
      SectorRawWrite(handle, chip, sector, tape.U16() % 1100, length, data.get());
      break;
    }
    case 17: {
      const uint16_t sector = tape.U16();
      const uint8_t offset = tape.Byte();
      SectorRawErase(handle, chip, sector, offset, tape.Byte());
      break;
    }
    case 18: {
      // A bare exchange with a reply capacity of the input's choosing.
      const uint16_t out_size = tape.U16() % 2100;
      Block out(out_size);
      RDRMSGHDR request{out_size, tape.Byte(), 0};
      RDRMSGHDR reply{tape.U16(), 0, 0};
      Block in(static_cast<int32_t>(DecodeMessageSize(reply.Size)));
      RDRSendReceive(handle, &request, out.get(), &reply, in.get());
      break;
    }
    default: FullArrayOperations(tape); break;
  }
}

int operations_run = 0;

}  // namespace

int HostileUnitOperationsRun() { return operations_run; }

int HostileUnit(const uint8_t* data, size_t size) {
  // Two tapes: the operations to run, then everything the unit answers.
  Tape header(data, size);
  const uint16_t wanted = header.U16();
  const size_t operation_bytes = std::min<size_t>(wanted & 0x3FFF, header.remaining());
  const size_t unit_at = size - header.remaining() + operation_bytes;
  Tape operations(data + (unit_at - operation_bytes), operation_bytes);
  Tape unit(data + unit_at, size - unit_at);

  platform::VirtualClock clock;
  platform::ScopedClock scoped(clock);
  auto backend = std::make_shared<HostileBackend>(unit);
  platform::usb::SetBackend(backend);

  LOGHANDLE log = nullptr;
  if ((wanted & 0x8000) != 0) log = LogOpen("/dev/null", (wanted & 0x4000) != 0 ? kTraceKeepOnError : kTraceDetail);
  LogSetGlobal(log);

  operations_run = 0;
  const RDRHANDLE handle = RDROpenUSB(nullptr);
  if (handle != InvalidReaderHandle()) {
    for (operations_run = 0; operations_run < 64 && !operations.empty(); ++operations_run) {
      Operation(handle, operations);
    }
    RDRClose(handle);
  } else {
    // Without a handle the full-array open still walks the unit.
    FullArrayOperations(operations);
  }
  platform::usb::SetBackend(nullptr);
  LogSetGlobal(nullptr);
  LogClose(log);
  return 0;
}

}  // namespace fuzz

QUORVEL_FUZZ_ENTRY(fuzz::HostileUnit)
