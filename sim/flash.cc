// The simulated unit's flash model: logical sectors that move on every write,
// raw NOR sectors, serial memories, injected flash statuses, and a journal on
// disk so that a unit's flash outlives the process that wrote it.
#include "sim/flash.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>

#include "sim/flash_model.h"
#include "sim/json_reader.h"
#include "sim/wire.h"

namespace sim {
namespace {

// Flash driver statuses the model answers on its own.
constexpr int16_t kStatusOk = 0;
constexpr int16_t kStatusInvalidParameters = -127;
constexpr int16_t kStatusSectorNotFound = -126;
constexpr int16_t kStatusBitCleared = -125;
constexpr int16_t kStatusUnsupportedDevice = -118;
constexpr int16_t kStatusFull = -116;
// Reader status of a request the unit does not know (0xFEF6).
constexpr int32_t kStatusUnknownRequest = -266;
// Reader status of a bad parameter (0xFEF2).
constexpr int32_t kStatusBadParameter = -270;

constexpr size_t kParameterBlockBytes = 10;
constexpr size_t kSectorReplyBytes = 6;
// The most data bytes one sector request can carry.
constexpr size_t kLargestSectorData = 1026;
// The most bytes one serial memory read answers.
constexpr uint32_t kLargestSerialRead = 2040;
constexpr uint16_t kFirstFileId = 2;
constexpr uint16_t kLastId = 0x7FFE;
constexpr uint32_t kLargestSerialMemory = 16u << 20;
// Where the physical slot cursor starts, so that locations and logical ids
// never coincide by accident.
constexpr uint16_t kFirstSlotCursor = 0x21;

constexpr char kJournalMagic[8] = {'Q', 'F', 'L', 'A', 'S', 'H', '0', '1'};
constexpr char kJournalFileName[] = "flash.bin";
// Journal record types.
constexpr uint8_t kRecordLogical = 'L';   // chip, id, location, 1022 bytes
constexpr uint8_t kRecordDelete = 'X';    // chip, id
constexpr uint8_t kRecordRaw = 'R';       // chip, sector, 1024 bytes
constexpr uint8_t kRecordRawErase = 'E';  // chip, first sector, count
constexpr size_t kLogicalRecordBytes = 1 + 1 + 2 + 2 + kLogicalSectorBytes;
constexpr size_t kDeleteRecordBytes = 1 + 1 + 2;
constexpr size_t kRawRecordBytes = 1 + 1 + 2 + kRawSectorBytes;
constexpr size_t kRawEraseRecordBytes = 1 + 1 + 2 + 2;

struct LogicalSectorState {
  uint16_t location = 0;
  std::array<uint8_t, kLogicalSectorBytes> bytes{};
};

struct Chip {
  uint32_t max_sectors = 0;
  uint16_t slot_count = 0;  // locations 1..slot_count
  std::map<uint16_t, LogicalSectorState> sectors;
  std::vector<bool> slot_used;  // by location
  uint16_t id_cursor = kFirstFileId;
  uint16_t slot_cursor = kFirstSlotCursor;
  bool initialised = false;
};

struct Injection {
  int16_t status = 0;
  int32_t skip = 0;
  int32_t count = 1;  // < 0: forever
};

void AppendU16(std::vector<uint8_t>& bytes, uint16_t value) { PutU16(bytes, bytes.size(), value); }

// Deterministic contents of a serial memory: a mixing hash of seed and address.
uint8_t SerialMemoryByte(uint32_t seed, uint32_t address) {
  uint32_t x = address * 2654435761u ^ (seed + 1) * 40503u;
  x ^= x >> 13;
  x *= 0x5BD1E995u;
  x ^= x >> 15;
  return static_cast<uint8_t>(x);
}

uint8_t SubCommandFromJson(const nlohmann::json& value, const std::string& where) {
  if (!value.is_string()) return static_cast<uint8_t>(ObjectReader::ParseUnsigned(value, where, 0xFF));
  static const std::map<std::string, uint8_t> kNames = {
      {"init", kSubInit},     {"read", kSubRead},        {"write", kSubWrite},        {"new", kSubNew},
      {"delete", kSubDelete}, {"raw_read", kSubRawRead}, {"raw_write", kSubRawWrite}, {"raw_erase", kSubRawErase}};
  auto found = kNames.find(value.get<std::string>());
  if (found == kNames.end()) throw std::invalid_argument(where + ": unknown sub-command " + value.dump());
  return found->second;
}

std::vector<uint8_t> ChipList(const nlohmann::json* value, const std::string& where, std::vector<uint8_t> fallback) {
  if (!value) return fallback;
  if (!value->is_array()) throw std::invalid_argument(where + ": expected an array of chip numbers");
  std::vector<uint8_t> chips;
  for (const nlohmann::json& chip : *value) {
    chips.push_back(static_cast<uint8_t>(ObjectReader::ParseUnsigned(chip, where, 0xFF)));
  }
  return chips;
}

// Replies whose fields beyond the status the host does not read: a raw write
// or erase reports only its status, and SectorInit's reply has nothing else.
bool UsesOnlyStatus(uint8_t sub_command) {
  return sub_command == kSubInit || sub_command == kSubRawWrite || sub_command == kSubRawErase;
}

}  // namespace

struct FlashModel::State {
  // Guards every member below: the unit may serve requests on one thread
  // while a test looks at the flash from another.
  mutable std::mutex mutex;

  std::map<uint8_t, Chip> chips;
  std::set<uint8_t> raw_chips;
  uint32_t raw_sectors = 8192;
  std::map<std::pair<uint8_t, uint16_t>, std::array<uint8_t, kRawSectorBytes>> raw;
  std::map<uint8_t, std::vector<uint8_t>> memories;
  bool size_service = true;
  uint32_t reported_firmware_size = 0;
  uint32_t reported_config_size = 0;
  bool require_init = true;
  StatusOnlyReplies status_only = StatusOnlyReplies::kNever;
  std::map<uint8_t, std::deque<Injection>> injections;
  FlashStatistics statistics;

  // Persistence: the journal file holds a header and change records; loading
  // replays them. It is rewritten compactly when it has grown well beyond the
  // live state.
  std::filesystem::path journal_path;
  std::ofstream journal;
  uint64_t journal_bytes = 0;

  // --- persistence ----------------------------------------------------------
  void Record(const std::vector<uint8_t>& record) {
    if (!journal.is_open()) return;
    journal.write(reinterpret_cast<const char*>(record.data()), static_cast<std::streamsize>(record.size()));
    journal.flush();
    journal_bytes += record.size();
  }

  static std::vector<uint8_t> LogicalRecord(uint8_t chip, uint16_t id, const LogicalSectorState& sector) {
    std::vector<uint8_t> record{kRecordLogical, chip};
    AppendU16(record, id);
    AppendU16(record, sector.location);
    record.insert(record.end(), sector.bytes.begin(), sector.bytes.end());
    return record;
  }

  static std::vector<uint8_t> DeleteRecord(uint8_t chip, uint16_t id) {
    std::vector<uint8_t> record{kRecordDelete, chip};
    AppendU16(record, id);
    return record;
  }

  static std::vector<uint8_t> RawRecord(uint8_t chip, uint16_t sector, const std::array<uint8_t, kRawSectorBytes>& b) {
    std::vector<uint8_t> record{kRecordRaw, chip};
    AppendU16(record, sector);
    record.insert(record.end(), b.begin(), b.end());
    return record;
  }

  static std::vector<uint8_t> RawEraseRecord(uint8_t chip, uint16_t first, uint16_t count) {
    std::vector<uint8_t> record{kRecordRawErase, chip};
    AppendU16(record, first);
    AppendU16(record, count);
    return record;
  }

  uint64_t LiveBytes() const {
    uint64_t bytes = sizeof(kJournalMagic) + raw.size() * kRawRecordBytes;
    for (const auto& [number, chip] : chips) bytes += chip.sectors.size() * kLogicalRecordBytes;
    return bytes;
  }

  // Replays a journal; a truncated last record (a process that died while
  // writing) is ignored.
  bool Load(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.size() < sizeof(kJournalMagic) || std::memcmp(data.data(), kJournalMagic, sizeof(kJournalMagic)) != 0) {
      throw std::runtime_error("flash: " + path.string() + " is not a flash journal");
    }
    std::span<const uint8_t> bytes(data);
    size_t at = sizeof(kJournalMagic);
    while (at < bytes.size()) {
      uint8_t type = bytes[at];
      size_t length = type == kRecordLogical    ? kLogicalRecordBytes
                      : type == kRecordDelete   ? kDeleteRecordBytes
                      : type == kRecordRaw      ? kRawRecordBytes
                      : type == kRecordRawErase ? kRawEraseRecordBytes
                                                : 0;
      if (length == 0 || at + length > bytes.size()) break;
      auto record = bytes.subspan(at, length);
      uint8_t chip_number = record[1];
      uint16_t number = ReadU16(record, 2);
      if (type == kRecordLogical) {
        auto found = chips.find(chip_number);
        if (found != chips.end()) {
          Chip& chip = found->second;
          LogicalSectorState sector;
          sector.location = ReadU16(record, 4);
          std::copy_n(record.begin() + 6, kLogicalSectorBytes, sector.bytes.begin());
          auto old = chip.sectors.find(number);
          if (old != chip.sectors.end() && old->second.location < chip.slot_used.size()) {
            chip.slot_used[old->second.location] = false;
          }
          if (sector.location < chip.slot_used.size()) chip.slot_used[sector.location] = true;
          chip.sectors[number] = sector;
        }
      } else if (type == kRecordDelete) {
        auto found = chips.find(chip_number);
        if (found != chips.end()) {
          auto old = found->second.sectors.find(number);
          if (old != found->second.sectors.end()) {
            if (old->second.location < found->second.slot_used.size()) {
              found->second.slot_used[old->second.location] = false;
            }
            found->second.sectors.erase(old);
          }
        }
      } else if (type == kRecordRaw) {
        std::array<uint8_t, kRawSectorBytes> block;
        std::copy_n(record.begin() + 4, kRawSectorBytes, block.begin());
        raw[{chip_number, number}] = block;
      } else {
        uint16_t count = ReadU16(record, 4);
        for (uint32_t s = number; s < uint32_t{number} + count; ++s) raw.erase({chip_number, static_cast<uint16_t>(s)});
      }
      at += length;
    }
    // Carry on allocating after what the journal used, as the unit would.
    for (auto& [number, chip] : chips) {
      for (const auto& [id, sector] : chip.sectors) {
        chip.id_cursor = std::max<uint16_t>(chip.id_cursor, static_cast<uint16_t>(std::min<int>(id + 1, kLastId)));
        if (sector.location < chip.slot_count) {
          chip.slot_cursor = std::max<uint16_t>(chip.slot_cursor, static_cast<uint16_t>(sector.location + 1));
        }
      }
    }
    return true;
  }

  void WriteCompactJournal() {
    if (journal_path.empty()) return;
    std::filesystem::path temporary = journal_path;
    temporary += ".tmp";
    {
      std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
      if (!out) throw std::runtime_error("flash: cannot write " + temporary.string());
      out.write(kJournalMagic, sizeof(kJournalMagic));
      for (const auto& [number, chip] : chips) {
        for (const auto& [id, sector] : chip.sectors) {
          auto record = LogicalRecord(number, id, sector);
          out.write(reinterpret_cast<const char*>(record.data()), static_cast<std::streamsize>(record.size()));
        }
      }
      for (const auto& [key, block] : raw) {
        auto record = RawRecord(key.first, key.second, block);
        out.write(reinterpret_cast<const char*>(record.data()), static_cast<std::streamsize>(record.size()));
      }
      if (!out.flush()) throw std::runtime_error("flash: cannot write " + temporary.string());
    }
    journal.close();
    std::filesystem::rename(temporary, journal_path);
    journal.open(journal_path, std::ios::binary | std::ios::app);
    journal_bytes = LiveBytes();
  }

  // --- logical view -----------------------------------------------------------
  // Next free physical slot after the cursor; every write lands somewhere new.
  uint16_t TakeSlot(Chip& chip) {
    for (uint32_t tries = 0; tries < chip.slot_count; ++tries) {
      uint16_t slot = chip.slot_cursor;
      chip.slot_cursor = static_cast<uint16_t>(slot >= chip.slot_count ? 1 : slot + 1);
      if (slot >= 1 && slot <= chip.slot_count && !chip.slot_used[slot]) {
        chip.slot_used[slot] = true;
        return slot;
      }
    }
    return 0;  // cannot happen: there are more slots than sectors
  }

  void ReleaseSlot(Chip& chip, uint16_t slot) {
    if (slot < chip.slot_used.size()) chip.slot_used[slot] = false;
  }

  void Format(uint8_t number, Chip& chip) {
    LogicalSectorState directory;
    directory.bytes.fill(0xFF);
    std::fill_n(directory.bytes.begin(), 20, 0);
    std::memcpy(directory.bytes.data(), "_dir", 4);
    directory.bytes[14] = kDirectorySector;
    directory.bytes[16] = 20;
    directory.location = TakeSlot(chip);
    chip.sectors[kDirectorySector] = directory;
    Record(LogicalRecord(number, kDirectorySector, directory));
  }

  void CountHint(const Chip& chip, uint16_t id, uint16_t hint) {
    if (hint == 0) {
      ++statistics.hints_absent;
      return;
    }
    auto found = chip.sectors.find(id);
    if (found != chip.sectors.end() && found->second.location == hint) {
      ++statistics.hints_current;
    } else {
      ++statistics.hints_stale;
    }
  }

  // The pending injected status for a sub-command, consuming one use.
  std::optional<int16_t> TakeInjection(uint8_t sub_command) {
    auto found = injections.find(sub_command);
    if (found == injections.end()) return std::nullopt;
    auto& queue = found->second;
    while (!queue.empty() && queue.front().count == 0) queue.pop_front();
    if (queue.empty()) return std::nullopt;
    Injection& next = queue.front();
    if (next.skip > 0) {
      --next.skip;
      return std::nullopt;
    }
    if (next.count > 0) --next.count;
    return next.status;
  }

  // A sector reply cut to its status where the unit answers status only.
  std::vector<uint8_t> SectorRequest(std::span<const uint8_t> body) {
    std::vector<uint8_t> reply = ServeSector(body);
    const bool failed = ReadU16(reply, 0) != 0;
    const bool unused = !body.empty() && UsesOnlyStatus(body[0]);
    if ((status_only == StatusOnlyReplies::kFailures && failed) ||
        (status_only == StatusOnlyReplies::kUnusedFields && (failed || unused))) {
      reply.resize(2);
    }
    return reply;
  }

  std::vector<uint8_t> ServeSector(std::span<const uint8_t> body) {
    ++statistics.sector_requests;
    std::vector<uint8_t> reply(kSectorReplyBytes, 0);
    auto answer = [&reply](int16_t status) {
      PutU16(reply, 0, static_cast<uint16_t>(status));
      return reply;
    };
    if (body.size() < kParameterBlockBytes) return answer(kStatusInvalidParameters);
    const uint8_t sub_command = body[0];
    const uint8_t chip_number = body[1];
    const uint16_t id = ReadU16(body, 2);
    const uint16_t hint = ReadU16(body, 4);
    const uint16_t offset = ReadU16(body, 6);
    const uint16_t length = ReadU16(body, 8);
    auto data = body.subspan(kParameterBlockBytes);

    const bool reads = sub_command == kSubRead || sub_command == kSubRawRead;
    if (sub_command == kSubInit) reply.resize(2);
    if (reads && length <= kLargestSectorData) reply.resize(kSectorReplyBytes + length, 0);
    std::optional<int16_t> injected = TakeInjection(sub_command);

    switch (sub_command) {
      case kSubInit: {
        auto found = chips.find(chip_number);
        if (injected) return answer(*injected);
        if (found == chips.end()) return answer(kStatusUnsupportedDevice);
        found->second.initialised = true;
        return answer(kStatusOk);
      }
      case kSubRead:
      case kSubWrite:
      case kSubNew:
      case kSubDelete: {
        auto found = chips.find(chip_number);
        if (found == chips.end()) return answer(injected.value_or(kStatusUnsupportedDevice));
        Chip& chip = found->second;
        if (sub_command != kSubNew) CountHint(chip, id, hint);
        auto sector = chip.sectors.find(id);
        if (sector != chip.sectors.end()) PutU16(reply, 4, sector->second.location);
        if (reads && sector != chip.sectors.end() && length <= kLargestSectorData &&
            size_t{offset} + length <= kLogicalSectorBytes) {
          std::copy_n(sector->second.bytes.begin() + offset, length, reply.begin() + kSectorReplyBytes);
        }
        if (injected) return answer(*injected);
        if (require_init && !chip.initialised) return answer(kStatusInvalidParameters);
        if (sub_command == kSubNew) return NewSector(chip_number, chip, id, reply);
        if (sector == chip.sectors.end()) return answer(kStatusSectorNotFound);
        if (sub_command == kSubDelete) {
          ReleaseSlot(chip, sector->second.location);
          chip.sectors.erase(sector);
          Record(DeleteRecord(chip_number, id));
          return answer(kStatusOk);
        }
        if (length > kLargestSectorData || size_t{offset} + length > kLogicalSectorBytes) {
          return answer(kStatusInvalidParameters);
        }
        if (sub_command == kSubRead) return answer(kStatusOk);
        if (data.size() != length) return answer(kStatusInvalidParameters);
        std::copy(data.begin(), data.end(), sector->second.bytes.begin() + offset);
        ReleaseSlot(chip, sector->second.location);
        sector->second.location = TakeSlot(chip);
        ++statistics.moves;
        PutU16(reply, 4, sector->second.location);
        Record(LogicalRecord(chip_number, id, sector->second));
        return answer(kStatusOk);
      }
      case kSubRawRead:
      case kSubRawWrite:
      case kSubRawErase: {
        if (!raw_chips.contains(chip_number)) return answer(injected.value_or(kStatusUnsupportedDevice));
        const bool range_ok =
            id < raw_sectors && (sub_command == kSubRawErase || size_t{offset} + length <= kRawSectorBytes);
        auto block = raw.find({chip_number, id});
        if (sub_command == kSubRawRead && range_ok) {
          for (size_t i = 0; i < length; ++i) {
            reply[kSectorReplyBytes + i] = block == raw.end() ? 0xFF : block->second[offset + i];
          }
        }
        if (injected) return answer(*injected);
        if (!range_ok) return answer(kStatusInvalidParameters);
        if (sub_command == kSubRawRead) return answer(kStatusOk);
        if (sub_command == kSubRawErase) {
          // One erase clears the whole 64 KiB block that holds the sector;
          // offset and length are not looked at.
          uint32_t first = id - id % kRawEraseBlockSectors;
          uint32_t count = std::min<uint32_t>(kRawEraseBlockSectors, raw_sectors - first);
          for (uint32_t s = first; s < first + count; ++s) raw.erase({chip_number, static_cast<uint16_t>(s)});
          Record(RawEraseRecord(chip_number, static_cast<uint16_t>(first), static_cast<uint16_t>(count)));
          return answer(kStatusOk);
        }
        if (data.size() != length) return answer(kStatusInvalidParameters);
        std::array<uint8_t, kRawSectorBytes> bytes;
        if (block == raw.end()) {
          bytes.fill(0xFF);
        } else {
          bytes = block->second;
        }
        // NOR flash: programming only clears bits.
        for (size_t i = 0; i < length; ++i) {
          if ((bytes[offset + i] & data[i]) != data[i]) return answer(kStatusBitCleared);
        }
        std::copy(data.begin(), data.end(), bytes.begin() + offset);
        raw[{chip_number, id}] = bytes;
        Record(RawRecord(chip_number, id, bytes));
        return answer(kStatusOk);
      }
      default: return answer(injected.value_or(kStatusInvalidParameters));
    }
  }

  std::vector<uint8_t> NewSector(uint8_t chip_number, Chip& chip, uint16_t requested, std::vector<uint8_t>& reply) {
    auto answer = [&reply](int16_t status) {
      PutU16(reply, 0, static_cast<uint16_t>(status));
      return reply;
    };
    PutU16(reply, 4, 0);
    if (chip.sectors.size() >= chip.max_sectors) return answer(kStatusFull);
    uint16_t id = 0;
    if (requested != 0) {
      if (requested > kLastId || chip.sectors.contains(requested)) return answer(kStatusInvalidParameters);
      id = requested;
    } else {
      for (uint32_t tries = 0; tries <= kLastId && id == 0; ++tries) {
        uint16_t candidate = chip.id_cursor;
        chip.id_cursor = static_cast<uint16_t>(candidate >= kLastId ? kFirstFileId : candidate + 1);
        if (candidate >= kFirstFileId && !chip.sectors.contains(candidate)) id = candidate;
      }
      if (id == 0) return answer(kStatusFull);
    }
    LogicalSectorState sector;
    sector.bytes.fill(0xFF);  // erased: the link reads 0xFFFF, the end of a chain
    sector.location = TakeSlot(chip);
    chip.sectors[id] = sector;
    PutU16(reply, 2, id);
    PutU16(reply, 4, sector.location);
    Record(LogicalRecord(chip_number, id, sector));
    return answer(kStatusOk);
  }

  // --- the file system, read back for tests and update rules ---------------------
  // Up to `size` bytes of the chain from `first`; stops where the chain ends,
  // loops or names a sector that does not exist.
  std::vector<uint8_t> ReadChain(const Chip& chip, uint16_t first, size_t size) const {
    std::vector<uint8_t> bytes;
    std::set<uint16_t> passed;
    for (uint16_t id = first; bytes.size() < size && passed.insert(id).second;) {
      auto sector = chip.sectors.find(id);
      if (sector == chip.sectors.end()) break;
      const size_t piece = std::min(kLogicalDataBytes, size - bytes.size());
      bytes.insert(bytes.end(), sector->second.bytes.begin(), sector->second.bytes.begin() + piece);
      id = ReadU16(sector->second.bytes, kLogicalDataBytes) & kEndOfChain;
      if (id == kEndOfChain) break;
    }
    return bytes;
  }

  std::map<std::string, std::vector<uint8_t>> DirectoryFiles(uint8_t chip_number) const {
    constexpr size_t kEntryBytes = 20;
    constexpr size_t kNameBytes = 14;
    std::map<std::string, std::vector<uint8_t>> files;
    auto found = chips.find(chip_number);
    if (found == chips.end()) return files;
    const Chip& chip = found->second;
    auto head = chip.sectors.find(kDirectorySector);
    if (head == chip.sectors.end() || ReadText(head->second.bytes, 0, kNameBytes) != "_dir") return files;
    const auto length = static_cast<int32_t>(ReadU32(head->second.bytes, 16));
    if (length < static_cast<int32_t>(kEntryBytes)) return files;
    const std::vector<uint8_t> directory = ReadChain(chip, kDirectorySector, static_cast<size_t>(length));
    for (size_t at = kEntryBytes; at + kEntryBytes <= directory.size(); at += kEntryBytes) {
      if (directory[at] == 0) continue;  // a free entry
      const auto size = static_cast<int32_t>(ReadU32(directory, at + 16));
      files.try_emplace(ReadText(directory, at, kNameBytes),
                        ReadChain(chip, ReadU16(directory, at + 14), static_cast<size_t>(std::max(size, 0))));
    }
    return files;
  }

  // --- serial memories ---------------------------------------------------------
  std::vector<uint8_t> SerialRead(std::span<const uint8_t> body) {
    std::vector<uint8_t> reply(4, 0);
    if (body.size() < 8) {
      PutU32(reply, 0, static_cast<uint32_t>(kStatusBadParameter));
      return reply;
    }
    uint8_t wire_chip = body[1];
    uint32_t address = ReadU16(body, 2);
    uint32_t count = ReadU32(body, 4);
    auto memory = memories.find(wire_chip);
    if (memory == memories.end() && (wire_chip & 8) != 0) {
      // The upper 32 KiB half of a memory answers as its chip number | 8.
      memory = memories.find(static_cast<uint8_t>(wire_chip & ~8));
      address += 0x8000;
    }
    if (memory == memories.end()) {
      PutU32(reply, 0, static_cast<uint32_t>(kStatusUnknownRequest));
      return reply;
    }
    if (count > kLargestSerialRead) {
      PutU32(reply, 0, static_cast<uint32_t>(kStatusBadParameter));
      return reply;
    }
    const auto& bytes = memory->second;
    for (uint32_t i = 0; i < count; ++i) reply.push_back(bytes[(address + i) % bytes.size()]);
    return reply;
  }

  std::vector<uint8_t> MemorySizes() const {
    std::vector<uint8_t> reply(20, 0);
    if (!size_service) {
      PutU32(reply, 0, static_cast<uint32_t>(kStatusUnknownRequest));
      return reply;
    }
    PutU32(reply, 8, reported_firmware_size);
    PutU32(reply, 16, reported_config_size);
    return reply;
  }
};

FlashSettings ParseFlashSettings(const nlohmann::json& config) {
  FlashSettings settings;
  ObjectReader reader(config, "flash");
  reader.Unsigned("sectors_per_chip", settings.sectors_per_chip, kLastId - 1);
  if (settings.sectors_per_chip == 0) throw std::invalid_argument("flash.sectors_per_chip: must not be 0");
  settings.logical_chips = ChipList(reader.Find("logical_chips"), "flash.logical_chips", settings.logical_chips);
  settings.raw_chips = ChipList(reader.Find("raw_chips"), "flash.raw_chips", settings.raw_chips);
  reader.Unsigned("raw_sectors", settings.raw_sectors, 65536);
  if (settings.raw_sectors == 0) throw std::invalid_argument("flash.raw_sectors: must not be 0");
  reader.Bool("require_init", settings.require_init);
  reader.Bool("format", settings.format);
  if (const nlohmann::json* memories = reader.Find("serial_memories")) {
    ObjectReader chips(*memories, "flash.serial_memories");
    settings.serial_memories.clear();
    for (auto it = memories->begin(); it != memories->end(); ++it) {
      const std::string where = "flash.serial_memories." + it.key();
      const bool digits =
          !it.key().empty() && it.key().size() <= 3 && it.key().find_first_not_of("0123456789") == std::string::npos;
      const unsigned number = digits ? static_cast<unsigned>(std::stoul(it.key())) : 256;
      if (number > 255 || (number & 8) != 0) {
        throw std::invalid_argument(where + ": not a chip number (0-255, bit 3 clear)");
      }
      chips.Find(it.key());
      ObjectReader memory(it.value(), where);
      FlashSettings::SerialMemory parsed{0x4000, number};
      memory.Unsigned("size", parsed.size, kLargestSerialMemory);
      if (parsed.size == 0) throw std::invalid_argument(where + ".size: must not be 0");
      memory.Unsigned("seed", parsed.seed);
      memory.Finish();
      settings.serial_memories[static_cast<uint8_t>(number)] = parsed;
    }
  }
  reader.Bool("memory_size_service", settings.memory_size_service);
  for (const char* key : {"firmware_memory_size", "config_memory_size"}) {
    if (const nlohmann::json* size = reader.Find(key)) {
      (std::string(key) == "firmware_memory_size" ? settings.firmware_memory_size : settings.config_memory_size) =
          static_cast<uint32_t>(ObjectReader::ParseUnsigned(*size, reader.Where(key), UINT32_MAX));
    }
  }
  if (const nlohmann::json* inject = reader.Find("inject")) {
    if (!inject->is_array()) throw std::invalid_argument("flash.inject: expected an array");
    for (const nlohmann::json& entry : *inject) {
      ObjectReader item(entry, "flash.inject[]");
      FlashSettings::Injection parsed;
      const nlohmann::json* sub_command = item.Find("sub_command");
      const nlohmann::json* status = item.Find("status");
      if (!sub_command || !status) throw std::invalid_argument("flash.inject[]: needs sub_command and status");
      parsed.sub_command = SubCommandFromJson(*sub_command, "flash.inject[].sub_command");
      item.SignedIn("status", parsed.status, INT16_MIN, INT16_MAX);
      item.SignedIn("skip", parsed.skip, 0, INT32_MAX);
      item.SignedIn("count", parsed.count, INT32_MIN, INT32_MAX);
      item.Finish();
      settings.inject.push_back(parsed);
    }
  }
  std::string status_only = "never";
  reader.Text("status_only_replies", status_only);
  static const std::map<std::string, StatusOnlyReplies> kStatusOnly = {
      {"never", StatusOnlyReplies::kNever},
      {"failures", StatusOnlyReplies::kFailures},
      {"unused_fields", StatusOnlyReplies::kUnusedFields}};
  auto mode = kStatusOnly.find(status_only);
  if (mode == kStatusOnly.end()) {
    throw std::invalid_argument("flash.status_only_replies: \"" + status_only +
                                "\" is none of \"never\", \"failures\", \"unused_fields\"");
  }
  settings.status_only_replies = mode->second;
  reader.Finish();
  return settings;
}

FlashModel::FlashModel(const nlohmann::json& config, std::filesystem::path state_dir)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  const FlashSettings settings = ParseFlashSettings(config.is_null() ? nlohmann::json::object() : config);
  for (uint8_t number : settings.logical_chips) {
    Chip chip;
    chip.max_sectors = settings.sectors_per_chip;
    chip.slot_count = static_cast<uint16_t>(std::min<uint32_t>(0xFFFE, settings.sectors_per_chip * 2 + 64));
    chip.slot_used.assign(size_t{chip.slot_count} + 1, false);
    s.chips[number] = std::move(chip);
  }
  s.raw_chips.insert(settings.raw_chips.begin(), settings.raw_chips.end());
  s.raw_sectors = settings.raw_sectors;
  s.require_init = settings.require_init;
  for (const auto& [number, memory] : settings.serial_memories) {
    std::vector<uint8_t> bytes(memory.size);
    for (uint32_t a = 0; a < memory.size; ++a) bytes[a] = SerialMemoryByte(memory.seed, a);
    s.memories[number] = std::move(bytes);
  }
  s.size_service = settings.memory_size_service;
  auto memory_size = [&s](uint8_t chip) -> uint32_t {
    auto found = s.memories.find(chip);
    return found == s.memories.end() ? 0 : static_cast<uint32_t>(found->second.size());
  };
  s.reported_firmware_size = settings.firmware_memory_size.value_or(memory_size(2));
  s.reported_config_size = settings.config_memory_size.value_or(memory_size(16));
  for (const FlashSettings::Injection& injection : settings.inject) {
    s.injections[injection.sub_command].push_back(Injection{injection.status, injection.skip, injection.count});
  }
  s.status_only = settings.status_only_replies;

  bool loaded = false;
  if (!state_dir.empty()) {
    std::filesystem::create_directories(state_dir);
    s.journal_path = state_dir / kJournalFileName;
    loaded = s.Load(s.journal_path);
    if (!loaded) {
      std::ofstream create(s.journal_path, std::ios::binary | std::ios::trunc);
      create.write(kJournalMagic, sizeof(kJournalMagic));
      if (!create.flush()) throw std::runtime_error("flash: cannot write " + s.journal_path.string());
    }
    s.journal.open(s.journal_path, std::ios::binary | std::ios::app);
    s.journal_bytes = std::filesystem::file_size(s.journal_path);
  }
  // A chip with no sectors at all gets the empty directory a formatted unit has.
  if (settings.format) {
    for (auto& [number, chip] : s.chips) {
      if (chip.sectors.empty()) s.Format(number, chip);
    }
  }
}

FlashModel::~FlashModel() {
  try {
    Save();
  } catch (const std::exception&) {
    // A destructor cannot report; the journal already holds every change.
  }
}

std::optional<std::vector<uint8_t>> FlashModel::Handle(uint8_t command, std::span<const uint8_t> body) {
  std::lock_guard lock(state_->mutex);
  if (command == kSectorCommand) return state_->SectorRequest(body);
  if (command != kInformationCommand || body.empty()) return std::nullopt;
  if (body[0] == kSerialMemoryService) return state_->SerialRead(body);
  if (body.size() >= 4 && ReadU32(body, 0) == kMemorySizeService) return state_->MemorySizes();
  return std::nullopt;
}

void FlashModel::Save() {
  std::lock_guard lock(state_->mutex);
  State& s = *state_;
  if (!s.journal.is_open()) return;
  s.journal.flush();
  // Rewrite only when the journal is mostly superseded records.
  if (s.journal_bytes > 2 * s.LiveBytes() + (256u << 10)) s.WriteCompactJournal();
}

void FlashModel::InjectStatus(uint8_t sub_command, int16_t status, int32_t skip, int32_t count) {
  std::lock_guard lock(state_->mutex);
  state_->injections[sub_command].push_back(Injection{status, skip, count});
}

void FlashModel::ClearInjectedStatuses() {
  std::lock_guard lock(state_->mutex);
  state_->injections.clear();
}

std::optional<std::vector<uint8_t>> FlashModel::LogicalSector(uint8_t chip, uint16_t id) const {
  std::lock_guard lock(state_->mutex);
  auto found = state_->chips.find(chip);
  if (found == state_->chips.end()) return std::nullopt;
  auto sector = found->second.sectors.find(id);
  if (sector == found->second.sectors.end()) return std::nullopt;
  return std::vector<uint8_t>(sector->second.bytes.begin(), sector->second.bytes.end());
}

std::optional<uint16_t> FlashModel::LogicalLocation(uint8_t chip, uint16_t id) const {
  std::lock_guard lock(state_->mutex);
  auto found = state_->chips.find(chip);
  if (found == state_->chips.end()) return std::nullopt;
  auto sector = found->second.sectors.find(id);
  if (sector == found->second.sectors.end()) return std::nullopt;
  return sector->second.location;
}

size_t FlashModel::AllocatedSectors(uint8_t chip) const {
  std::lock_guard lock(state_->mutex);
  auto found = state_->chips.find(chip);
  return found == state_->chips.end() ? 0 : found->second.sectors.size();
}

bool FlashModel::PokeLogical(uint8_t chip, uint16_t id, uint16_t offset, std::span<const uint8_t> bytes) {
  std::lock_guard lock(state_->mutex);
  auto found = state_->chips.find(chip);
  if (found == state_->chips.end()) return false;
  auto sector = found->second.sectors.find(id);
  if (sector == found->second.sectors.end() || size_t{offset} + bytes.size() > kLogicalSectorBytes) return false;
  std::copy(bytes.begin(), bytes.end(), sector->second.bytes.begin() + offset);
  state_->Record(State::LogicalRecord(chip, id, sector->second));
  return true;
}

bool FlashModel::SetLink(uint8_t chip, uint16_t id, uint16_t link) {
  std::vector<uint8_t> bytes;
  PutU16(bytes, 0, link);
  return PokeLogical(chip, id, kLogicalDataBytes, bytes);
}

bool FlashModel::SetDirectoryLength(uint8_t chip, int32_t length) {
  std::vector<uint8_t> bytes;
  PutU32(bytes, 0, static_cast<uint32_t>(length));
  return PokeLogical(chip, kDirectorySector, 16, bytes);
}

std::vector<uint8_t> FlashModel::RawSector(uint8_t chip, uint16_t sector) const {
  std::lock_guard lock(state_->mutex);
  auto found = state_->raw.find({chip, sector});
  if (found == state_->raw.end()) return std::vector<uint8_t>(kRawSectorBytes, 0xFF);
  return std::vector<uint8_t>(found->second.begin(), found->second.end());
}

std::map<std::string, std::vector<uint8_t>> FlashModel::Files(uint8_t chip) const {
  std::lock_guard lock(state_->mutex);
  return state_->DirectoryFiles(chip);
}

std::optional<std::vector<uint8_t>> FlashModel::File(uint8_t chip, const std::string& name) const {
  auto files = Files(chip);
  auto found = files.find(name);
  if (found == files.end()) return std::nullopt;
  return std::move(found->second);
}

std::vector<uint8_t> FlashModel::RawBytes(uint8_t chip, size_t bytes) const {
  std::lock_guard lock(state_->mutex);
  std::vector<uint8_t> flash(bytes, 0xFF);
  // Sector numbers are 16 bits wide: nothing lies beyond sector 0xFFFF.
  for (size_t at = 0; at < bytes && at / kRawSectorBytes <= 0xFFFF; at += kRawSectorBytes) {
    auto block = state_->raw.find({chip, static_cast<uint16_t>(at / kRawSectorBytes)});
    if (block == state_->raw.end()) continue;
    std::copy_n(block->second.begin(), std::min(kRawSectorBytes, bytes - at),
                flash.begin() + static_cast<std::ptrdiff_t>(at));
  }
  return flash;
}

bool FlashModel::PokeSerialMemory(uint8_t chip, uint32_t address, std::span<const uint8_t> bytes) {
  std::lock_guard lock(state_->mutex);
  auto found = state_->memories.find(chip);
  if (found == state_->memories.end()) return false;
  for (size_t i = 0; i < bytes.size(); ++i) found->second[(address + i) % found->second.size()] = bytes[i];
  return true;
}

FlashStatistics FlashModel::Statistics() const {
  std::lock_guard lock(state_->mutex);
  return state_->statistics;
}

bool FlashModel::Initialised(uint8_t chip) const {
  std::lock_guard lock(state_->mutex);
  auto found = state_->chips.find(chip);
  return found != state_->chips.end() && found->second.initialised;
}

std::unique_ptr<RequestHandler> MakeFlashModel(const nlohmann::json& config, const std::filesystem::path& state_dir) {
  return std::make_unique<FlashModel>(config, state_dir);
}

}  // namespace sim
