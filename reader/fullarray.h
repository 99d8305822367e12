// The full-array interface: a second handle type over a USB reader handle,
// through which the reader's status word is read and set and its serial
// memories (firmware memory, configuration memory) are measured and read.
#pragma once

#include <cstdint>

#include "reader/rdr.h"

inline constexpr uint32_t kFullArrayFullSize = 0x40000;

struct FullArrayRecord {
  uint32_t kind_tag;                        // kKindFullArray while the object is live
  int32_t (*close)(FullArrayRecord* self);  // releases the object, then closes the inner handle
  RDRHANDLE inner;
  uint32_t firmware_size;  // bytes, measured at open
  uint32_t config_size;
  uint32_t api_version;
  uint32_t full_size;  // 1 when both memories are kFullArrayFullSize bytes
};
using FAHANDLE = FullArrayRecord*;

// The failure value of FullArrayOpenUSB: the all-ones pointer, never null.
inline FAHANDLE InvalidFullArrayHandle() { return reinterpret_cast<FAHANDLE>(~uintptr_t{0}); }

// Opens the reader at `path` (null: the first reader) and measures it.
// -1 (InvalidFullArrayHandle()) on failure.
FAHANDLE FullArrayOpenUSB(const char* path);
// Releases the object and closes the inner reader handle: 1 when it closed,
// 0 for an invalid handle (library error 4).
int32_t FullArrayClose(FAHANDLE handle);
int32_t FullArrayStatus(FAHANDLE handle, uint32_t* mask);
// Sets bits of the status word; the new word goes to *newmask (may be null).
// A bit that does not stick is traced as an error but still gives 1.
int32_t FullArrayStatusSet(FAHANDLE handle, uint32_t mask, uint32_t* newmask);
// Decides the firmware and configuration memory sizes (either pointer may be
// null); `reserved` is not used.
int32_t FullArrayFlashMemory(FAHANDLE handle, void* reserved, uint32_t* Firmware, uint32_t* Config);
// Steps of the open, with trace frames of their own.
int32_t _CheckCaps(FAHANDLE handle);
int32_t FullArrayAPIVersion(FAHANDLE handle, uint32_t* value);
// Reads serial memory: addresses from 0x8000 on are the chip's upper half
// (chip | 8 on the wire). Any length; lines of at most 32 bytes are sent.
int32_t _ReadEeprom(FAHANDLE handle, int32_t chip, int32_t addr, int32_t length, void* buffer);
// One read request of 0 to 56 bytes.
int32_t _ReadEepromLine(FAHANDLE handle, int32_t chip, int32_t addr, int32_t length, void* buffer);

// Name of a full-array command code 0-15, or null for any other code.
const char* FullArrayCommandName(int32_t code);
