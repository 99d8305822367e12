// Hostile files for the two walks of the update engine that trust a file's
// own structure: the FX3 boot image's section walk (WR2200FileCopy) and the
// restore's search for a generation header (RestoreFlash), each sending what
// it accepts to a simulated unit.
//
// Input: a mode byte (bit 0 the walk, bit 1 the transfer protocol, bit 2 a
// unit that refuses the transfer, bit 6 the dialog's log style, bits 3-5 the
// image's size class), then for the FX3 walk the file itself, for the restore
// pieces of bytes placed near the generation offsets of a sparse image.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/input.h"
#include "fuzz/targets.h"
#include "platform/clock.h"
#include "platform/usb.h"
#include "sim/usb_backend.h"
#include "updater/engine.h"

namespace fuzz {
namespace {

constexpr long kBases[] = {0x50000, 0x2A0000, 0x400000, 0x5A0000, 0};
// Beyond this an accepting unit would take thousands of exchanges per input.
constexpr long kLargestAcceptedImage = 0x10000;

std::string SparseImage(Tape& tape, uint8_t size_class) {
  const long size = size_class < 4 ? tape.U16() % 8192 : kBases[size_class - 4] + tape.Byte();
  const std::string path = (ScratchFolder() / "image.bin").string();
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) __builtin_trap();
  if (size > 0) {
    std::fseek(file, size - 1, SEEK_SET);
    std::fputc(0, file);
  }
  while (!tape.empty()) {
    const long base = kBases[tape.Byte() % std::size(kBases)];
    const long at = base + static_cast<int16_t>(tape.U16()) % 64;
    std::vector<uint8_t> bytes = tape.Bytes(tape.Byte() % 48);
    if (at < 0 || at >= size) continue;
    if (at + static_cast<long>(bytes.size()) > size) bytes.resize(static_cast<size_t>(size - at));
    std::fseek(file, at, SEEK_SET);
    std::fwrite(bytes.data(), 1, bytes.size(), file);
  }
  std::fclose(file);
  return path;
}

}  // namespace

int Restore(const uint8_t* data, size_t size) {
  Tape tape(data, size);
  const uint8_t mode = tape.Byte();
  const bool fx3 = (mode & 1) != 0;
  const int32_t protocol = (mode & 2) != 0 ? 2 : 1;
  const uint8_t size_class = (mode >> 3) & 7;
  const bool refuse = (mode & 4) != 0 || (!fx3 && size_class >= 4 && kBases[size_class - 4] > kLargestAcceptedImage);
  const LogStyle style = (mode & 0x40) != 0 ? LogStyle::kDialog : LogStyle::kConsole;

  platform::VirtualClock clock;
  platform::ScopedClock scoped(clock);
  SessionLogSpy log;
  auto backend = std::make_shared<sim::SimulatedBackend>();
  sim::UnitConfig config;
  config.api_version = protocol == 2 ? 0x0B : 0x03;
  config.flash = {{"raw_sectors", 64}, {"sectors_per_chip", 16}};
  if (refuse) {
    config.unknown_services = {7, 35};
    config.flash["inject"] = {{{"sub_command", "raw_erase"}, {"status", -121}}};
  }
  backend->AddUnit(std::move(config));
  platform::usb::SetBackend(backend);

  if (fx3) {
    const std::string path = WriteScratchFile("fx3.img", tape.Rest());
    if (RdrOpen(nullptr) != 0) __builtin_trap();
    const int32_t result = WR2200FileCopy(path.c_str(), protocol, style);
    if (result < 0 || result > 10) __builtin_trap();
    RdrCloseHandle();
  } else {
    const std::string path = SparseImage(tape, size_class);
    const int32_t result = RestoreFlash(RT::BaseString("%s", path.c_str()), style);
    if (result != 0 && result != 19 && result != 32 && result != 33 && result != 34) __builtin_trap();
  }
  platform::usb::SetBackend(nullptr);
  return 0;
}

}  // namespace fuzz

QUORVEL_FUZZ_ENTRY(fuzz::Restore)
