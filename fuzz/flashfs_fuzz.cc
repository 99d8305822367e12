// The flash file system over hostile flash contents. A simulated unit gets a
// few files written the ordinary way; the input then damages the directory
// and the chains (bytes, links, the directory length) and drives a sequence
// of F_fopen, F_fread, F_fwrite, F_fseek, F_remove and F_cp on a fresh
// handle. Buffers are exactly as long as the library is told.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/input.h"
#include "fuzz/targets.h"
#include "platform/clock.h"
#include "platform/usb.h"
#include "reader/flash.h"
#include "sim/flash_model.h"
#include "sim/usb_backend.h"
#include "transport/usb.h"

namespace fuzz {
namespace {

constexpr int kSlots = 3;
constexpr const char* kModes[] = {"rb", "wb", "ab", "r+b", "w+b", "a+b", "r", "x"};
constexpr const char* kNames[] = {"a", "b", "c", "d", "0:a", "1:b", "_dir", "abcdefghijklmn", "abcdefghijklmno"};

// Logical sector ids of the files written before the damage: the directory
// is 1, the files' chains follow in order of allocation.
constexpr uint16_t kHighestSector = 12;

std::string Name(Tape& tape) {
  const uint8_t pick = tape.Byte() % (std::size(kNames) + 1);
  return pick < std::size(kNames) ? kNames[pick] : tape.Text();
}

// A flash name, or a host file of the input's bytes.
std::string CopyEnd(Tape& tape, bool source) {
  if ((tape.Byte() & 3) != 0) return Name(tape);
  if (!source) return (ScratchFolder() / "copy-out").string();
  return WriteScratchFile("copy-in", tape.Bytes(tape.U16() % 4000));
}

void Write(RDRHANDLE handle, const char* name, size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + size);
  FlashFile* file = F_fopen(handle, name, "wb");
  if (file == nullptr) __builtin_trap();  // the undamaged flash must take it
  F_fwrite(bytes.data(), 1, static_cast<int32_t>(size), file);
  F_fclose(file);
}

void Damage(sim::FlashModel& flash, Tape& tape) {
  for (int pokes = tape.Byte() % 12; pokes > 0; --pokes) {
    const auto id = static_cast<uint16_t>(1 + tape.Byte() % kHighestSector);
    switch (tape.Byte() % 4) {
      case 0: flash.SetLink(0, id, tape.U16()); break;
      case 1: flash.SetDirectoryLength(0, static_cast<int32_t>(tape.U32())); break;
      default: {
        const uint16_t offset = tape.U16() % sim::kLogicalSectorBytes;
        const std::vector<uint8_t> bytes = tape.Bytes(tape.Byte() % 40);
        flash.PokeLogical(0, id, offset, bytes);
        break;
      }
    }
  }
}

int32_t Count(Tape& tape) {
  const uint8_t pick = tape.Byte();
  return (pick & 0x80) != 0 ? static_cast<int32_t>(tape.U32()) : pick;
}

void Operation(RDRHANDLE handle, std::array<FlashFile*, kSlots>& files, Tape& tape) {
  FlashFile*& file = files[tape.Byte() % kSlots];
  switch (tape.Byte() % 8) {
    case 0:
      if (file == nullptr) {
        const std::string name = Name(tape);
        file = F_fopen(handle, name.c_str(), kModes[tape.Byte() % std::size(kModes)]);
      }
      break;
    case 1: {
      const int32_t size = Count(tape) % 64;
      const int32_t items = Count(tape);
      const int64_t bytes = int64_t{size} * items;
      if (file == nullptr || bytes < 0 || bytes > 6000) break;
      auto buffer = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(bytes));
      const int32_t read = F_fread(buffer.get(), size, items, file);
      if (read < -1 || read > std::max(items, 0)) __builtin_trap();
      break;
    }
    case 2: {
      const int32_t size = Count(tape) % 64;
      const int32_t items = Count(tape);
      const int64_t bytes = int64_t{size} * items;
      if (file == nullptr || bytes < 0 || bytes > 6000) break;
      auto buffer = std::make_unique<uint8_t[]>(static_cast<size_t>(bytes));
      const int32_t written = F_fwrite(buffer.get(), size, items, file);
      if (written < -1 || written > std::max(items, 0)) __builtin_trap();
      break;
    }
    case 3:
      if (file != nullptr) {
        const int32_t offset = static_cast<int32_t>(tape.U32()) % 5000;
        F_fseek(file, offset, tape.Byte() % 4);
      }
      break;
    case 4:
      if (file != nullptr) {
        F_ftell(file);
        F_feof(file);
        F_ferror(file);
      }
      break;
    case 5:
      if (file != nullptr) F_fclose(file);
      file = nullptr;
      break;
    case 6: {
      const std::string name = Name(tape);
      F_remove(handle, name.c_str());
      break;
    }
    default: {
      const std::string source = CopyEnd(tape, true);
      const std::string destination = CopyEnd(tape, false);
      F_cp(handle, source.c_str(), destination.c_str());
      break;
    }
  }
}

}  // namespace

int FlashFs(const uint8_t* data, size_t size) {
  Tape tape(data, size);
  platform::VirtualClock clock;
  platform::ScopedClock scoped(clock);
  auto backend = std::make_shared<sim::SimulatedBackend>();
  sim::UnitConfig config;
  config.flash = {{"sectors_per_chip", 48}, {"raw_sectors", 64}};
  const std::shared_ptr<sim::Unit> unit = backend->AddUnit(std::move(config));
  platform::usb::SetBackend(backend);

  RDRHANDLE handle = RDROpenUSB(nullptr);
  if (handle == InvalidReaderHandle()) __builtin_trap();
  Write(handle, "a", 1500);
  Write(handle, "b", 40);
  Write(handle, "c", 2100);
  RDRClose(handle);

  Damage(unit->flash(), tape);
  handle = RDROpenUSB(nullptr);
  if (handle == InvalidReaderHandle()) __builtin_trap();
  std::array<FlashFile*, kSlots> files{};
  for (int step = 0; step < 32 && !tape.empty(); ++step) Operation(handle, files, tape);
  for (FlashFile* file : files) {
    if (file != nullptr) F_fclose(file);
  }
  RDRClose(handle);
  platform::usb::SetBackend(nullptr);
  return 0;
}

}  // namespace fuzz

QUORVEL_FUZZ_ENTRY(fuzz::FlashFs)
