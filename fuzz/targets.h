// The bodies of the fuzz targets. Each *_fuzz.cc file defines one of these
// and, in the libFuzzer build, the LLVMFuzzerTestOneInput that calls it; the
// replay test links all of them to run every corpus file and reproducer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz {

int SerialReceive(const uint8_t* data, size_t size);
int Settings(const uint8_t* data, size_t size);
int UnitConfig(const uint8_t* data, size_t size);
int HostileUnit(const uint8_t* data, size_t size);
int FlashFs(const uint8_t* data, size_t size);
int Restore(const uint8_t* data, size_t size);

// Operations the last HostileUnit call ran after a successful open: a seed
// that no longer opens the reader fuzzes nothing beyond the open.
int HostileUnitOperationsRun();

}  // namespace fuzz

// Defines the libFuzzer entry point for one target, except in the replay
// build, where all targets share one executable.
#ifdef QUORVEL_FUZZ_REPLAY
#define QUORVEL_FUZZ_ENTRY(function)
#else
#define QUORVEL_FUZZ_ENTRY(function) \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return function(data, size); }
#endif
