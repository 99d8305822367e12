// The simulated unit's flash as a class, with the hooks tests use to look at
// it and to damage it. The unit itself only needs MakeFlashModel (flash.h).
//
// What it serves:
// - Command 126, the sector request: the logical view (sub-commands 0 init,
//   2 read, 3 write, 6 new, 7 delete) over logical sectors of 1022 bytes
//   (1020 data bytes and a 2-byte link), and the raw view (9 read, 10 write,
//   11 erase) over 1024-byte physical sectors with NOR rules.
// - Command 14, service 8 (serial memory read) and service 17 (memory sizes).
//
// Logical sectors move: every write puts the sector into a fresh physical slot
// and the reply carries the new location. Location hints from the host are
// accepted whatever they hold (a real unit searches when a hint is stale) but
// are counted, so tests can see whether the host passes back what it was told.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/request_handler.h"

namespace sim {

inline constexpr uint8_t kSectorCommand = 126;
inline constexpr uint8_t kInformationCommand = 14;
inline constexpr uint32_t kSerialMemoryService = 8;
inline constexpr uint32_t kMemorySizeService = 17;

// Sub-commands of the sector request.
enum SectorSubCommand : uint8_t {
  kSubInit = 0,
  kSubRead = 2,
  kSubWrite = 3,
  kSubNew = 6,
  kSubDelete = 7,
  kSubRawRead = 9,
  kSubRawWrite = 10,
  kSubRawErase = 11,
};

inline constexpr size_t kLogicalSectorBytes = 1022;
inline constexpr size_t kLogicalDataBytes = 1020;
inline constexpr size_t kRawSectorBytes = 1024;
inline constexpr size_t kRawEraseBlockSectors = 64;
inline constexpr uint16_t kDirectorySector = 1;
inline constexpr uint16_t kEndOfChain = 0x7FFF;

struct FlashStatistics {
  uint64_t sector_requests = 0;
  uint64_t hints_absent = 0;   // logical requests that sent location 0
  uint64_t hints_current = 0;  // ... that sent the sector's current location
  uint64_t hints_stale = 0;    // ... that sent any other location
  uint64_t moves = 0;          // logical writes (each one moves its sector)
};

class FlashModel final : public RequestHandler {
 public:
  // See MakeFlashModel (flash.h) for the arguments; the keys of the config
  // object are listed in docs/sim-units.md.
  FlashModel(const nlohmann::json& config, std::filesystem::path state_dir);
  ~FlashModel() override;
  FlashModel(const FlashModel&) = delete;
  FlashModel& operator=(const FlashModel&) = delete;

  std::optional<std::vector<uint8_t>> Handle(uint8_t command, std::span<const uint8_t> body) override;
  void Save() override;

  // --- hooks for tests --------------------------------------------------------
  // After letting `skip` requests of this sub-command through, the next
  // `count` of them (count < 0: all of them) answer `status` and change
  // nothing. Reads still carry the sector's data.
  void InjectStatus(uint8_t sub_command, int16_t status, int32_t skip = 0, int32_t count = 1);
  void ClearInjectedStatuses();

  // All 1022 bytes of an allocated logical sector.
  std::optional<std::vector<uint8_t>> LogicalSector(uint8_t chip, uint16_t id) const;
  std::optional<uint16_t> LogicalLocation(uint8_t chip, uint16_t id) const;
  size_t AllocatedSectors(uint8_t chip) const;
  // Overwrites bytes of an allocated logical sector in place (no move); false
  // when the sector does not exist or the range does not fit.
  bool PokeLogical(uint8_t chip, uint16_t id, uint16_t offset, std::span<const uint8_t> bytes);
  // The link of an allocated sector (bytes 1020-1021).
  bool SetLink(uint8_t chip, uint16_t id, uint16_t link);
  // The size field of the directory's entry 0 (its length in bytes).
  bool SetDirectoryLength(uint8_t chip, int32_t length);

  // The files of a logical chip's file system as a host reads them: the
  // directory chained from logical sector 1 (its length in entry 0), then
  // each used entry's chain, cut to the entry's size. A chain that ends early,
  // loops or names a missing sector gives the bytes it reached; a directory
  // whose entry 0 is not "_dir" gives no files. Names as stored (at most 14
  // characters); of two entries with one name the first counts, as in a lookup.
  std::map<std::string, std::vector<uint8_t>> Files(uint8_t chip) const;
  std::optional<std::vector<uint8_t>> File(uint8_t chip, const std::string& name) const;

  // A raw sector as read (erased bytes read 0xFF).
  std::vector<uint8_t> RawSector(uint8_t chip, uint16_t sector) const;
  // The first `bytes` bytes of a raw chip, sector after sector, as read.
  std::vector<uint8_t> RawBytes(uint8_t chip, size_t bytes) const;
  // Serial memory bytes as service 8 reads them, by memory chip (2, 16, 20, 32)
  // and address (wrapping at the memory's size); false for a missing chip.
  bool PokeSerialMemory(uint8_t chip, uint32_t address, std::span<const uint8_t> bytes);

  FlashStatistics Statistics() const;
  bool Initialised(uint8_t chip) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace sim
