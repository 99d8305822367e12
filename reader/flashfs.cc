// The reader's flash file system, kept entirely on the host: a directory file
// at logical sector 1 of each chip, files as chains of logical sectors, and
// stream-like operations on them. Every byte moves through the sector
// commands.
#include <algorithm>
#include <bitset>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>

#include "platform/system.h"
#include "reader/flash.h"
#include "reader/frame.h"
#include "reader/handle.h"
#include "reader/little_endian.h"
#include "trace/trace.h"

namespace {

constexpr int64_t kDataBytes = 1020;      // file data per logical sector
constexpr int32_t kLinkOffset = 1020;     // the 2-byte link behind the data
constexpr uint16_t kLinkIdMask = 0x7FFF;  // bit 15 is kept, never interpreted
constexpr uint16_t kEndOfChain = 0x7FFF;
constexpr uint32_t kNoSector = 0xFFFF;
constexpr uint32_t kDirectorySector = 1;
constexpr int64_t kEntryBytes = 20;
constexpr size_t kNameBytes = 14;
constexpr int32_t kCopyChunk = 10200;  // ten sectors' worth of data per copy pass
constexpr size_t kLongestMode = 32;
// A chain can hold no more sectors than a link can name, so no file and no
// directory can be longer than this; anything longer is corruption.
constexpr uint32_t kLongestChain = 0x7FFF;
constexpr int64_t kLargestFile = int64_t{kLongestChain} * kDataBytes;
// A file's chain that loops or ends before the file's size is reported as
// the reader's own "file system corruption" flash error: the text says what
// happened, and callers already treat flash errors as flash damage.
constexpr int32_t kErrChainCorrupt = kErrFlashUnrecognized + 11;  // 32715
constexpr int32_t kErrFlashFull = kErrFlashUnrecognized + 12;     // 32716

// The sectors a chain walk has passed since the chain's first sector, so that
// a link pointing back into the chain is caught instead of followed forever.
class ChainWalk {
 public:
  void Restart(uint32_t first) {
    seen_.reset();
    seen_.set(first & kLinkIdMask);
  }
  // False when the sector was already passed: the chain loops.
  bool Step(uint32_t next) {
    if (seen_.test(next & kLinkIdMask)) return false;
    seen_.set(next & kLinkIdMask);
    return true;
  }

 private:
  std::bitset<size_t{kLongestChain} + 1> seen_;
};

// Walks live in library memory like the file objects they serve, so running
// out of memory is a recorded error (library error 6), never an exception.
struct WalkRelease {
  void operator()(ChainWalk* walk) const {
    walk->~ChainWalk();
    PlatformAlloc(nullptr, walk, 0);
  }
};
using WalkPointer = std::unique_ptr<ChainWalk, WalkRelease>;

// A fresh walk, or null with the allocator's error recorded.
WalkPointer NewWalk(RDRHANDLE handle) {
  void* block = PlatformAlloc(handle, nullptr, sizeof(ChainWalk));
  return WalkPointer(block != nullptr ? new (block) ChainWalk() : nullptr);
}

// Live file objects and the chain walks of attached directories. Callers'
// pointers are looked up here before they are dereferenced, so a closed or
// made-up file object is refused instead of read.
// Entries remember their handle's serial: a handle closed and a new one
// opened at the same address must not share files or directory state.
struct Registry {
  struct Entry {
    uint64_t owner_serial;
    WalkPointer walk;
  };
  std::mutex mutex;  // guards the two maps (not the walks, which the owning handle's lock guards)
  std::map<const FlashFile*, Entry> files;
  std::map<RDRHANDLE, Entry> directories;
};

// Whether a registered entry still belongs to the live handle it was made for.
bool OwnerAlive(RDRHANDLE handle, const Registry::Entry& entry) {
  return IsValidReaderHandle(handle) && handle->serial == entry.owner_serial;
}

Registry& GetRegistry() {
  static Registry registry;
  return registry;
}

// False (library error 6) when the registry cannot grow.
bool RegisterFile(RDRHANDLE handle, FlashFile* file, WalkPointer walk) {
  Registry& registry = GetRegistry();
  try {
    std::lock_guard lock(registry.mutex);
    registry.files.try_emplace(file, Registry::Entry{handle->serial, std::move(walk)});
    return true;
  } catch (const std::bad_alloc&) {
  }
  SetLibraryError(handle, kErrNoMemory);
  return false;
}

// True for the one caller that took the object out of the registry.
bool UnregisterFile(FlashFile* file) {
  Registry& registry = GetRegistry();
  std::lock_guard lock(registry.mutex);
  return registry.files.erase(file) != 0;
}

// The owner of a live file object, or null (library error 4 recorded
// globally: no handle is known) for any other pointer. A registered file
// whose reader has been closed is orphaned: null, with *orphaned set.
RDRHANDLE LiveFileOwner(const FlashFile* file, bool* orphaned = nullptr) {
  Registry& registry = GetRegistry();
  {
    std::lock_guard lock(registry.mutex);
    auto found = registry.files.find(file);
    if (found != registry.files.end() && file->magic == kFlashFileMagic) {
      if (OwnerAlive(file->owner, found->second)) return file->owner;
      if (orphaned != nullptr) *orphaned = true;
    }
  }
  SetLibraryError(nullptr, kErrInvalidParameter);
  return nullptr;
}

// The file's chain walk, once its owner's lock is held; null when another
// thread closed the file while this one waited for the lock.
ChainWalk* LiveFileWalk(const FlashFile* file) {
  Registry& registry = GetRegistry();
  std::lock_guard lock(registry.mutex);
  auto found = registry.files.find(file);
  return found == registry.files.end() ? nullptr : found->second.walk.get();
}

// The walk of the handle's attached directory; null (library error 6
// recorded) when there is no memory for it.
ChainWalk* DirectoryWalk(RDRHANDLE handle) {
  Registry& registry = GetRegistry();
  {
    std::lock_guard lock(registry.mutex);
    auto found = registry.directories.find(handle);
    if (found != registry.directories.end() && OwnerAlive(handle, found->second)) return found->second.walk.get();
  }
  // Allocated outside the registry's lock: the allocator traces through the handle.
  WalkPointer walk = NewWalk(handle);
  if (!walk) return nullptr;
  try {
    std::lock_guard lock(registry.mutex);
    // Handles that were closed since leave their walks behind; drop them
    // (this handle's own stale entry included, if its address was reused).
    std::erase_if(registry.directories, [](const auto& item) { return !OwnerAlive(item.first, item.second); });
    return registry.directories.try_emplace(handle, Registry::Entry{handle->serial, std::move(walk)})
        .first->second.walk.get();
  } catch (const std::bad_alloc&) {
  }
  SetLibraryError(handle, kErrNoMemory);
  return nullptr;
}

bool IsDirectory(const FlashFile& file) { return &file == &file.owner->directory; }

// One 20-byte directory entry.
struct DirectoryEntry {
  char name[kNameBytes] = {};
  uint16_t first_sector = 0;
  int32_t size = 0;

  static DirectoryEntry Decode(const uint8_t (&bytes)[kEntryBytes]) {
    DirectoryEntry entry;
    std::memcpy(entry.name, bytes, kNameBytes);
    entry.first_sector = ReadLe16(bytes, 14);
    entry.size = static_cast<int32_t>(ReadLe32(bytes, 16));
    return entry;
  }

  void Encode(uint8_t (&bytes)[kEntryBytes]) const {
    std::memcpy(bytes, name, kNameBytes);
    WriteLe16(bytes, 14, first_sector);
    WriteLe32(bytes, 16, static_cast<uint32_t>(size));
  }

  // Names compare over at most 14 characters; a 14-character name has no terminator.
  bool NameIs(const char* file_name) const {
    char text[kNameBytes + 1] = {};
    std::memcpy(text, name, kNameBytes);
    return std::strncmp(text, file_name, kNameBytes) == 0;
  }
};

bool PlausibleDirectoryLength(int64_t length) {
  return length >= kEntryBytes && length <= kLargestFile && length % kEntryBytes == 0;
}

struct FlashName {
  uint8_t chip = 0;
  const char* file = nullptr;
};

// Splits "C:name" into chip and file name; 0 or the library error number.
int32_t ParseName(const char* name, FlashName* out) {
  if (name == nullptr) return kErrInvalidParameter;
  out->chip = 0;
  out->file = name;
  if (name[0] != '\0' && name[1] == ':') {
    out->chip = static_cast<uint8_t>(name[0] - '0');
    out->file = name + 2;
  }
  const size_t length = strnlen(out->file, kNameBytes + 1);
  if (length == 0) return kErrInvalidParameter;
  if (length > kNameBytes) return kErrFlashNameTooLong;
  return 0;
}

void SetProgress(RDRHANDLE handle, int64_t done, int64_t whole) {
  if (whole > 0) handle->progress = static_cast<int32_t>(done * 100 / whole);
}

// --- chains -------------------------------------------------------------------

// A detached directory object keeps its owner (code that still holds it may
// need the handle) but loses its magic, which marks it as not attached.
void Detach(RDRHANDLE handle) { handle->directory.magic = 0; }

// A chain that loops or ends before the data it should hold. A broken
// directory chain is a corrupt directory; it is attached afresh next time, in
// case the flash has been mended meanwhile.
void ReportBrokenChain(FlashFile& file, const char* what) {
  RDRHANDLE handle = file.owner;
  file.flags |= kFlashError;
  Trace(handle, kTraceError, "\nSector chain of %s %s after id %u", file.name, what, file.current_sector);
  if (IsDirectory(file)) {
    Detach(handle);
    SetLibraryError(handle, kErrDirectoryCorrupt);
  } else {
    SetLibraryError(handle, kErrChainCorrupt);
  }
}

void RestartChain(FlashFile& file, ChainWalk& walk) {
  file.current_sector = file.first_sector;
  file.current_location = file.first_sector;
  file.sector_base = 0;
  walk.Restart(file.first_sector);
}

// The link of the current sector; the hint is passed and the new one kept.
std::optional<uint16_t> ReadLink(FlashFile& file) {
  uint8_t bytes[2] = {};
  auto location = static_cast<uint16_t>(file.current_location);
  if (!SectorRead(file.owner, file.chip, static_cast<int32_t>(file.current_sector), kLinkOffset, 2, bytes, &location)) {
    file.flags |= kFlashError;
    return std::nullopt;
  }
  file.current_location = location;
  return ReadLe16(bytes, 0);
}

// Moves on to the linked sector; false (error recorded) when the link ends
// the chain or leads back into it.
bool Advance(FlashFile& file, ChainWalk& walk, uint16_t link) {
  const uint16_t next = link & kLinkIdMask;
  if (next == kEndOfChain) {
    ReportBrokenChain(file, "ends early");
    return false;
  }
  if (!walk.Step(next)) {
    ReportBrokenChain(file, "loops back");
    return false;
  }
  file.sector_base += static_cast<uint32_t>(kDataBytes);
  file.current_sector = next;
  return true;
}

// --- transfers ------------------------------------------------------------------

// Whole items read, or -1 when the file may not be read. *failed tells a
// sector or chain failure (recorded) from a short read at the end of the file.
int32_t ReadItems(FlashFile& file, ChainWalk& walk, void* buffer, int32_t size, int32_t items, bool* failed) {
  RDRHANDLE handle = file.owner;
  *failed = false;
  if ((file.flags & (kFlashRead | kFlashUpdate)) == 0) {
    file.flags |= kFlashError;
    SetLibraryError(handle, kErrFlashAccess);
    *failed = true;
    return -1;
  }
  if (size == 0) return 0;
  if (size < 0 || items < 0 || int64_t{size} * items > std::numeric_limits<int32_t>::max()) {
    SetLibraryError(handle, kErrInvalidParameter);
    *failed = true;
    return -1;
  }
  const int64_t requested = int64_t{size} * items;
  int64_t wanted = requested;

  if (file.position < file.sector_base) RestartChain(file, walk);
  while (file.position >= file.sector_base + kDataBytes) {
    auto link = ReadLink(file);
    if (!link) {
      *failed = true;
      return 0;
    }
    // At the end of the chain nothing lies beyond the position: stay on the
    // last sector, so that a later write there extends the chain.
    if ((*link & kLinkIdMask) == kEndOfChain) break;
    if (!Advance(file, walk, *link)) {
      *failed = true;
      return 0;
    }
  }
  if (int64_t{file.position} + wanted > file.size) {
    file.flags |= kFlashEof;
    wanted = std::max<int64_t>(0, int64_t{file.size} - file.position);
  }

  auto* out = static_cast<uint8_t*>(buffer);
  int64_t remaining = wanted;
  if (remaining > 0 && file.pushback != -1) {
    *out++ = static_cast<uint8_t>(file.pushback);
    file.pushback = -1;
    ++file.position;
    --remaining;
  }
  while (remaining > 0) {
    if (file.position >= file.sector_base + kDataBytes) {
      ReportBrokenChain(file, "ends early");
      *failed = true;
      break;
    }
    const auto piece =
        static_cast<int32_t>(std::min<int64_t>(remaining, file.sector_base + kDataBytes - file.position));
    auto location = static_cast<uint16_t>(file.current_location);
    if (!SectorRead(handle, file.chip, static_cast<int32_t>(file.current_sector),
                    static_cast<int32_t>(file.position - file.sector_base), piece, out, &location)) {
      file.flags |= kFlashError;
      *failed = true;
      break;
    }
    file.current_location = location;
    file.position += static_cast<uint32_t>(piece);
    out += piece;
    remaining -= piece;
    if (remaining > 0) {
      auto link = ReadLink(file);
      if (!link || !Advance(file, walk, *link)) {
        *failed = true;
        break;
      }
    }
    SetProgress(handle, requested - remaining, requested);
  }
  return static_cast<int32_t>((wanted - remaining) / size);
}

bool UpdateEntrySize(FlashFile& file, int32_t new_size);

// Whole items written. A null buffer moves the position (and grows the chain)
// without writing data.
int32_t WriteItems(FlashFile& file, ChainWalk& walk, const void* buffer, int32_t size, int32_t items) {
  RDRHANDLE handle = file.owner;
  if (size == 0) {
    // Nothing is written, but the access check and the move to the end of
    // an appended file still happen.
    size = 1;
    items = 0;
  }
  if (size < 0 || items < 0 || int64_t{size} * items > std::numeric_limits<int32_t>::max()) {
    SetLibraryError(handle, kErrInvalidParameter);
    return 0;
  }
  const int64_t wanted = int64_t{size} * items;
  if ((file.flags & kFlashAppend) != 0) {
    if (file.size < 0) {
      file.flags |= kFlashError;
      SetLibraryError(handle, kErrFlashEof);
      return 0;
    }
    file.position = static_cast<uint32_t>(file.size);
  } else if ((file.flags & (kFlashWrite | kFlashUpdate)) == 0) {
    file.flags |= kFlashError;
    SetLibraryError(handle, kErrFlashAccess);
    return 0;
  }
  file.pushback = -1;
  if (file.position < file.sector_base) RestartChain(file, walk);
  // A position exactly at the end of a sector's data stays on that sector.
  while (file.position > file.sector_base + kDataBytes) {
    auto link = ReadLink(file);
    if (!link || !Advance(file, walk, *link)) return 0;
  }

  const auto* in = static_cast<const uint8_t*>(buffer);
  int64_t remaining = wanted;
  while (remaining > 0) {
    const auto piece =
        static_cast<int32_t>(std::min<int64_t>(remaining, file.sector_base + kDataBytes - file.position));
    if (in != nullptr) {
      auto location = static_cast<uint16_t>(file.current_location);
      if (!SectorWrite(handle, file.chip, static_cast<int32_t>(file.current_sector),
                       static_cast<int32_t>(file.position - file.sector_base), piece, in, &location)) {
        file.flags |= kFlashError;
        break;
      }
      file.current_location = location;
      in += piece;
    }
    file.position += static_cast<uint32_t>(piece);
    remaining -= piece;
    if (remaining > 0) {
      auto link = ReadLink(file);
      if (!link) break;
      if ((*link & kLinkIdMask) == kEndOfChain) {
        uint16_t id = 0;
        uint16_t new_location = 0;  // where the new sector lives is not kept
        if (!SectorNew(handle, file.chip, &id, &new_location)) {
          file.flags |= kFlashError;
          break;
        }
        *link = static_cast<uint16_t>((*link & ~kLinkIdMask) | (id & kLinkIdMask));
        uint8_t bytes[2];
        WriteLe16(bytes, 0, *link);
        auto location = static_cast<uint16_t>(file.current_location);
        if (!SectorWrite(handle, file.chip, static_cast<int32_t>(file.current_sector), kLinkOffset, 2, bytes,
                         &location)) {
          file.flags |= kFlashError;
          break;
        }
        file.current_location = location;
      }
      if (!Advance(file, walk, *link)) break;
    }
    SetProgress(handle, wanted - remaining, wanted);
  }
  // A directory whose chain broke during this write has been detached; its
  // length is not recorded then.
  if (int64_t{file.position} > file.size && file.magic == kFlashFileMagic) {
    if (!UpdateEntrySize(file, static_cast<int32_t>(file.position))) file.flags |= kFlashError;
  }
  return static_cast<int32_t>((wanted - remaining) / size);
}

// --- the directory ------------------------------------------------------------------

bool ReadEntry(RDRHANDLE handle, int64_t offset, DirectoryEntry* entry);

// Entry 0 of the attached directory names it and gives its length. A
// directory whose entry 0 says otherwise is corrupt and is detached;
// otherwise its length is taken from there.
bool TakeDirectoryLength(RDRHANDLE handle, const DirectoryEntry& entry) {
  FlashFile& directory = handle->directory;
  if (!entry.NameIs("_dir") || !PlausibleDirectoryLength(entry.size)) {
    Trace(handle, kTraceError, "\nDirectory of chip %d: entry 0 is not a directory of %d bytes", directory.chip,
          entry.size);
    Detach(handle);
    SetLibraryError(handle, kErrDirectoryCorrupt);
    return false;
  }
  directory.size = entry.size;
  return true;
}

// Makes the chip's directory the handle's attached one. The directory object
// counts as attached only once its entry 0 has been read and looks sane.
bool Attach(RDRHANDLE handle, uint8_t chip) {
  FlashFile& directory = handle->directory;
  if (directory.magic == kFlashFileMagic && directory.owner == handle && directory.chip == chip) return true;
  Detach(handle);
  ChainWalk* walk = DirectoryWalk(handle);
  if (walk == nullptr || !SectorInit(handle, chip)) return false;
  directory = FlashFile{};
  directory.magic = kFlashFileMagic;
  directory.flags = kFlashRead | kFlashUpdate;
  directory.first_sector = kDirectorySector;
  directory.pushback = -1;
  directory.owner = handle;
  directory.chip = chip;
  directory.current_sector = kDirectorySector;
  directory.current_location = kDirectorySector;
  directory.size = static_cast<int32_t>(kEntryBytes);
  std::snprintf(directory.name, sizeof directory.name, "%d:_dir", chip);
  walk->Restart(kDirectorySector);

  DirectoryEntry entry;
  if (!ReadEntry(handle, 0, &entry)) {
    Detach(handle);
    return false;
  }
  return TakeDirectoryLength(handle, entry);
}

// Puts the directory object at an entry's offset; null (error recorded) when
// the offset lies outside the directory or no walk can be had.
ChainWalk* SeekEntry(RDRHANDLE handle, int64_t offset) {
  FlashFile& directory = handle->directory;
  if (offset < 0 || offset > directory.size) {
    directory.flags |= kFlashError;
    SetLibraryError(handle, kErrFlashEof);
    return nullptr;
  }
  directory.pushback = -1;
  directory.position = static_cast<uint32_t>(offset);
  return DirectoryWalk(handle);
}

bool ReadEntry(RDRHANDLE handle, int64_t offset, DirectoryEntry* entry) {
  ChainWalk* walk = SeekEntry(handle, offset);
  if (walk == nullptr) return false;
  uint8_t bytes[kEntryBytes] = {};
  bool failed = false;
  if (ReadItems(handle->directory, *walk, bytes, kEntryBytes, 1, &failed) != 1) {
    if (!failed) SetLibraryError(handle, kErrFlashEof);
    return false;
  }
  *entry = DirectoryEntry::Decode(bytes);
  return true;
}

bool WriteEntry(RDRHANDLE handle, int64_t offset, const DirectoryEntry& entry) {
  ChainWalk* walk = SeekEntry(handle, offset);
  if (walk == nullptr) return false;
  uint8_t bytes[kEntryBytes];
  entry.Encode(bytes);
  return WriteItems(handle->directory, *walk, bytes, kEntryBytes, 1) == 1;
}

bool UpdateEntrySize(FlashFile& file, int32_t new_size) {
  RDRHANDLE handle = file.owner;
  if (!Attach(handle, file.chip)) return false;
  DirectoryEntry entry;
  const int64_t offset = int64_t{file.entry_index} * kEntryBytes;
  if (!ReadEntry(handle, offset, &entry)) return false;
  file.size = new_size;
  entry.size = new_size;
  return WriteEntry(handle, offset, entry);
}

enum class WalkResult { kFound, kNotFound, kFailed };

// Walks the attached directory from entry 0, comparing entries from byte
// offset `first_compared` on. Entry 0 must name the directory and give it a
// sane length; the length is re-read from it at every pass.
template <typename Match>
WalkResult WalkDirectory(RDRHANDLE handle, int64_t first_compared, Match match, int64_t* offset,
                         DirectoryEntry* found) {
  FlashFile& directory = handle->directory;
  for (int64_t at = 0; at < directory.size; at += kEntryBytes) {
    DirectoryEntry entry;
    if (!ReadEntry(handle, at, &entry)) return WalkResult::kFailed;
    if (at == 0) {
      if (!TakeDirectoryLength(handle, entry)) return WalkResult::kFailed;
    }
    if (at >= first_compared && match(entry)) {
      *offset = at;
      *found = entry;
      return WalkResult::kFound;
    }
  }
  return WalkResult::kNotFound;
}

// Removes a file: its entry first, so that the directory is consistent
// before any sector is freed, then its chain. 0 or -1.
int32_t RemoveFile(RDRHANDLE handle, const FlashName& name) {
  if (!Attach(handle, name.chip)) return -1;
  int64_t offset = 0;
  DirectoryEntry entry;
  switch (WalkDirectory(
      handle, kEntryBytes, [&name](const DirectoryEntry& e) { return e.NameIs(name.file); }, &offset, &entry)) {
    case WalkResult::kFailed: return -1;
    case WalkResult::kNotFound: SetLibraryError(handle, kErrNotFound); return -1;
    case WalkResult::kFound: break;
  }
  const uint16_t first = entry.first_sector;
  const int32_t size = entry.size;
  DirectoryEntry cleared = entry;
  cleared.name[0] = '\0';
  cleared.first_sector = 0;
  cleared.size = 0;
  if (!WriteEntry(handle, offset, cleared)) return -1;

  uint8_t link[2] = {};
  uint16_t location = 0;
  uint32_t current = first;
  if (!SectorRead(handle, name.chip, static_cast<int32_t>(current), kLinkOffset, 2, link, &location)) return -1;
  ChainWalk walk;
  walk.Restart(current);
  const int64_t sectors = std::max<int64_t>(1, size / kDataBytes + 1);
  for (int64_t deleted = 1; deleted <= int64_t{kLongestChain} + 1; ++deleted) {
    if (!SectorDelete(handle, name.chip, static_cast<int32_t>(current), &location)) return -1;
    SetProgress(handle, deleted, sectors);
    const uint16_t next = ReadLe16(link, 0) & kLinkIdMask;
    if (next == kEndOfChain) return 0;
    if (!walk.Step(next)) break;
    current = next;
    location = 0;
    if (!SectorRead(handle, name.chip, static_cast<int32_t>(current), kLinkOffset, 2, link, &location)) return -1;
  }
  // Every sector of the loop has been deleted; the entry is already gone.
  Trace(handle, kTraceError, "\nSector chain of %s loops back after id %u", name.file, current);
  SetLibraryError(handle, kErrChainCorrupt);
  return -1;
}

// Creates the entry and first sector of a file that does not exist yet.
bool CreateFile(RDRHANDLE handle, FlashFile& file, const FlashName& name, ChainWalk& walk) {
  FlashFile& directory = handle->directory;
  int64_t offset = 0;
  DirectoryEntry entry;
  switch (WalkDirectory(
      handle, 0, [](const DirectoryEntry& e) { return e.name[0] == '\0'; }, &offset, &entry)) {
    case WalkResult::kFailed: return false;
    case WalkResult::kNotFound: offset = directory.size; break;
    case WalkResult::kFound: break;
  }
  if (offset + kEntryBytes > kLargestFile) {
    SetLibraryError(handle, kErrFlashFull);
    return false;
  }
  uint16_t id = 0;
  uint16_t location = 0;
  if (!SectorNew(handle, name.chip, &id, &location)) return false;
  file.first_sector = id;
  file.current_sector = id;
  file.current_location = location;
  file.size = 0;
  file.entry_index = static_cast<uint32_t>(offset / kEntryBytes);
  walk.Restart(id);

  DirectoryEntry created;
  std::memcpy(created.name, name.file, strnlen(name.file, kNameBytes));  // zero-padded, no terminator at 14
  created.first_sector = id;
  created.size = 0;
  return WriteEntry(handle, offset, created);
}

// The steps of an open after the object exists; false fails the open.
bool OpenSteps(RDRHANDLE handle, FlashFile& file, const FlashName& name, const char* mode, ChainWalk& walk) {
  int64_t offset = 0;
  DirectoryEntry entry;
  switch (WalkDirectory(
      handle, 0, [&name](const DirectoryEntry& e) { return e.NameIs(name.file); }, &offset, &entry)) {
    case WalkResult::kFailed: return false;
    case WalkResult::kNotFound: break;
    case WalkResult::kFound:
      // Entry 0's first-sector field is not kept up to date: the directory
      // always starts at sector 1.
      file.first_sector = offset == 0 ? kDirectorySector : entry.first_sector;
      file.current_sector = file.first_sector;
      file.current_location = file.first_sector;
      file.size = entry.size;
      file.entry_index = static_cast<uint32_t>(offset / kEntryBytes);
      break;
  }
  file.flags = 0;
  switch (mode[0]) {
    case 'r':
      file.flags = kFlashRead;
      if (file.first_sector == kNoSector) {
        SetLibraryError(handle, kErrNotFound);
        return false;
      }
      break;
    case 'w':
      file.flags = kFlashWrite;
      if (file.first_sector != kNoSector) {
        if (RemoveFile(handle, name) != 0) return false;
        file.first_sector = kNoSector;
        file.size = 0;
      }
      break;
    case 'a': file.flags = kFlashAppend; break;
    default: SetLibraryError(handle, kErrFlashAccess); return false;
  }
  if (file.first_sector == kNoSector) {
    if (!CreateFile(handle, file, name, walk)) return false;
  } else {
    walk.Restart(file.first_sector);
  }
  for (size_t at = 1; mode[at] != '\0'; ++at) {
    if (at >= kLongestMode) {
      SetLibraryError(handle, kErrFlashAccess);
      return false;
    }
    switch (mode[at]) {
      case '+': file.flags |= kFlashUpdate; break;
      case 'b':
      case 't': break;
      default: SetLibraryError(handle, kErrFlashAccess); return false;
    }
  }
  return true;
}

bool FreeFile(RDRHANDLE owner, FlashFile* file);

FlashFile* OpenFile(RDRHANDLE handle, const char* name, const char* mode) {
  FlashName parsed;
  if (int32_t error = ParseName(name, &parsed); error != 0) {
    SetLibraryError(handle, error);
    return nullptr;
  }
  if (mode == nullptr) {
    SetLibraryError(handle, kErrInvalidParameter);
    return nullptr;
  }
  if (!Attach(handle, parsed.chip)) return nullptr;
  auto* file = static_cast<FlashFile*>(PlatformAlloc(handle, nullptr, sizeof(FlashFile)));
  if (file == nullptr) return nullptr;
  *file = FlashFile{};
  file->magic = kFlashFileMagic;
  file->first_sector = kNoSector;
  file->pushback = -1;
  file->owner = handle;
  file->chip = parsed.chip;
  std::strncpy(file->name, name, sizeof file->name - 1);
  // Registered before any traffic, so that no memory shortage can strike
  // after the open has changed the flash.
  WalkPointer walk = NewWalk(handle);
  ChainWalk* file_walk = walk.get();
  if (walk == nullptr || !RegisterFile(handle, file, std::move(walk))) {
    PlatformAlloc(handle, file, 0);
    return nullptr;
  }
  if (!OpenSteps(handle, *file, parsed, mode, *file_walk)) {
    FreeFile(handle, file);
    return nullptr;
  }
  return file;
}

// Releases a file object; false when it was no longer registered. Only the
// caller that unregisters it frees it, so two closes racing on an object
// whose reader is gone (and so whose lock no longer serialises them) cannot
// both release it.
bool FreeFile(RDRHANDLE owner, FlashFile* file) {
  if (!UnregisterFile(file)) return false;
  file->magic = 0;
  PlatformAlloc(IsValidReaderHandle(owner) ? owner : nullptr, file, 0);
  return true;
}

// --- copy ----------------------------------------------------------------------

bool IsReaderFileName(const char* name) { return name[0] >= '0' && name[0] <= '9' && name[1] == ':'; }

// One end of a copy: a reader file or a file on the host's disk.
class CopyEnd {
 public:
  explicit CopyEnd(RDRHANDLE handle) : handle_(handle) {}
  ~CopyEnd() { Close(); }
  CopyEnd(const CopyEnd&) = delete;
  CopyEnd& operator=(const CopyEnd&) = delete;

  bool Open(const char* name, const char* mode) {
    if (IsReaderFileName(name)) {
      flash_ = F_fopen(handle_, name, mode);
      return flash_ != nullptr;
    }
    host_ = std::fopen(name, mode);
    return host_ != nullptr;
  }

  // Size by seeking to the end and back; -1 when the file cannot seek.
  int64_t Size() {
    if (flash_ != nullptr) {
      if (F_fseek(flash_, 0, 2) != 0) return -1;
      const int64_t size = F_ftell(flash_);
      return F_fseek(flash_, 0, 0) == 0 ? size : -1;
    }
    if (std::fseek(host_, 0, SEEK_END) != 0) return -1;
    const int64_t size = std::ftell(host_);
    return std::fseek(host_, 0, SEEK_SET) == 0 ? size : -1;
  }

  int32_t Read(void* buffer, int32_t count) {
    if (flash_ != nullptr) return F_fread(buffer, 1, count, flash_);
    return static_cast<int32_t>(std::fread(buffer, 1, static_cast<size_t>(count), host_));
  }

  int32_t Write(const void* buffer, int32_t count) {
    if (flash_ != nullptr) return F_fwrite(buffer, 1, count, flash_);
    return static_cast<int32_t>(std::fwrite(buffer, 1, static_cast<size_t>(count), host_));
  }

  bool Eof() { return flash_ != nullptr ? F_feof(flash_) == 1 : std::feof(host_) != 0; }
  bool Error() { return flash_ != nullptr ? F_ferror(flash_) == 1 : std::ferror(host_) != 0; }

  // False when closing lost data (a host file's buffered bytes not written).
  bool Close() {
    bool ok = true;
    if (flash_ != nullptr) F_fclose(flash_);
    if (host_ != nullptr) ok = std::fclose(host_) == 0;
    flash_ = nullptr;
    host_ = nullptr;
    return ok;
  }

 private:
  RDRHANDLE handle_;
  FlashFile* flash_ = nullptr;
  std::FILE* host_ = nullptr;
};

// A host path that names something other than a regular file (a folder, a
// device): a folder even opens for reading on some systems and then reports
// a size that is none. Absent paths pass; opening them decides.
bool IsOtherThanFile(const char* name) {
  return !IsReaderFileName(name) && platform::FileExists(name) && !platform::IsRegularFile(name);
}

int32_t Copy(RDRHANDLE handle, const char* source_name, const char* destination_name) {
  if (source_name == nullptr || destination_name == nullptr || source_name[0] == '\0' || destination_name[0] == '\0') {
    SetLibraryError(handle, kErrInvalidParameter);
    return -1;
  }
  // Judged before either side is opened, so the reader sees no traffic.
  if (IsOtherThanFile(source_name)) {
    SetLibraryError(handle, kErrLocalRead);
    return -1;
  }
  if (IsOtherThanFile(destination_name)) {
    SetLibraryError(handle, kErrLocalWrite);
    return -1;
  }
  auto release = [handle](void* block) { PlatformAlloc(handle, block, 0); };
  std::unique_ptr<void, decltype(release)> buffer(PlatformAlloc(handle, nullptr, kCopyChunk), release);
  if (!buffer) return -1;

  CopyEnd source(handle);
  CopyEnd destination(handle);
  if (!source.Open(source_name, "rb")) {
    SetLibraryError(handle, kErrLocalOpen);
    return -1;
  }
  const int64_t size = source.Size();
  if (size < 0) {
    SetLibraryError(handle, kErrLocalRead);
    return -1;
  }
  if (!destination.Open(destination_name, "wb")) {
    SetLibraryError(handle, kErrLocalOpen);
    return -1;
  }
  int64_t total = 0;
  // An empty source still makes one pass; a source that delivers more than
  // its size said stops the copy rather than running on.
  const int64_t passes = size / kCopyChunk + 2;
  for (int64_t pass = 0; !source.Eof(); ++pass) {
    if (source.Error() || pass >= passes) {
      SetLibraryError(handle, kErrLocalRead);
      return -1;
    }
    if (destination.Error()) {
      SetLibraryError(handle, kErrLocalWrite);
      return -1;
    }
    const int32_t got = source.Read(buffer.get(), kCopyChunk);
    if (got < 0) {
      SetLibraryError(handle, kErrLocalRead);
      return -1;
    }
    if (destination.Write(buffer.get(), got) < got) {
      SetLibraryError(handle, kErrLocalWrite);
      return -1;
    }
    total += got;
    handle->progress = static_cast<int32_t>(total * 100 / (size + 1));
  }
  // The last read may have failed as well as reached the end: a copy that
  // lost data is not a success.
  if (source.Error()) {
    SetLibraryError(handle, kErrLocalRead);
    return -1;
  }
  if (destination.Error() || !destination.Close()) {
    SetLibraryError(handle, kErrLocalWrite);
    return -1;
  }
  source.Close();
  return static_cast<int32_t>(std::min<int64_t>(total, std::numeric_limits<int32_t>::max()));
}

}  // namespace

// --- entry points ---------------------------------------------------------------

FlashFile* F_fopen(RDRHANDLE handle, const char* name, const char* mode) {
  if (!HandleEnter(handle, "F_fopen", __LINE__)) return nullptr;
  TracePointer(handle, "vhdl", handle);
  TraceString(handle, "name", name);
  TraceString(handle, "mode", mode);
  FlashFile* file = OpenFile(handle, name, mode);
  void* result = HandleExitPointer(handle, "F_fopen", __LINE__, kCheckNonZero, file);
  if (result == nullptr && file != nullptr) FreeFile(handle, file);  // aborted by the progress callback
  return static_cast<FlashFile*>(result);
}

int32_t F_fclose(FlashFile* file) {
  bool orphaned = false;
  RDRHANDLE owner = LiveFileOwner(file, &orphaned);
  if (owner == nullptr) {
    // The reader was closed before its file: the object is still released.
    if (orphaned) FreeFile(nullptr, file);
    return -1;
  }
  // A refusal on a live handle (a call from its progress callback) leaves
  // the object to the operation that may be using it; an abort answer does
  // not keep the object from being released.
  if (!HandleEnterPastAbort(owner, "F_fclose", __LINE__)) return -1;
  TracePointer(owner, "hdl", file);
  if (!FreeFile(owner, file)) {
    SetLibraryError(owner, kErrInvalidParameter);
    return HandleExit(owner, "F_fclose", __LINE__, kCheckNonNegative, -1);
  }
  return HandleExit(owner, "F_fclose", __LINE__, kCheckNonNegative, 0);
}

int32_t F_fread(void* buffer, int32_t size, int32_t items, FlashFile* file) {
  RDRHANDLE owner = LiveFileOwner(file);
  if (owner == nullptr) return -1;
  if (!HandleEnter(owner, "F_fread", __LINE__)) return -1;
  TraceParameters(owner, {{"buf", buffer}, {"size", size}, {"items", items}, {"hdl", file}});
  int32_t result = -1;
  ChainWalk* walk = LiveFileWalk(file);
  if (walk == nullptr || buffer == nullptr) {
    SetLibraryError(owner, kErrInvalidParameter);
  } else {
    bool failed = false;
    result = ReadItems(*file, *walk, buffer, size, items, &failed);
  }
  return HandleExit(owner, "F_fread", __LINE__, kCheckNonNegative, result);
}

int32_t F_fwrite(const void* buffer, int32_t size, int32_t items, FlashFile* file) {
  RDRHANDLE owner = LiveFileOwner(file);
  if (owner == nullptr) return -1;
  if (!HandleEnter(owner, "F_fwrite", __LINE__)) return -1;
  TraceParameters(owner, {{"buf", buffer}, {"size", size}, {"items", items}, {"hdl", file}});
  int32_t result = -1;
  ChainWalk* walk = LiveFileWalk(file);
  if (walk == nullptr) {
    SetLibraryError(owner, kErrInvalidParameter);
  } else {
    result = WriteItems(*file, *walk, buffer, size, items);
  }
  return HandleExit(owner, "F_fwrite", __LINE__, kCheckNonNegative, result);
}

int32_t F_fseek(FlashFile* file, int32_t offset, int32_t whence) {
  RDRHANDLE owner = LiveFileOwner(file);
  if (owner == nullptr) return -1;
  if (!HandleEnter(owner, "F_fseek", __LINE__)) return -1;
  TraceParameters(owner, {{"hdl", file}, {"loc", offset}, {"whence", whence}});
  int32_t result = -1;
  if (LiveFileWalk(file) == nullptr) {
    SetLibraryError(owner, kErrInvalidParameter);
    return HandleExit(owner, "F_fseek", __LINE__, kCheckNonNegative, result);
  }
  int64_t target = offset;
  bool known = true;
  switch (whence) {
    case 0: break;
    case 1: target += file->position; break;
    case 2: target += file->size; break;
    default: known = false; break;
  }
  if (!known) {
    file->flags |= kFlashError;
    SetLibraryError(owner, kErrInvalidParameter);
  } else if (target < 0 || target > file->size) {
    // A file cannot be extended by seeking.
    file->flags |= kFlashError;
    SetLibraryError(owner, kErrFlashEof);
  } else {
    file->position = static_cast<uint32_t>(target);
    file->pushback = -1;
    result = 0;
  }
  return HandleExit(owner, "F_fseek", __LINE__, kCheckNonNegative, result);
}

namespace {

// The three queries share one shape: a field of a live file object.
template <typename Field>
int32_t Query(FlashFile* file, const char* name, int32_t line, Field field) {
  RDRHANDLE owner = LiveFileOwner(file);
  if (owner == nullptr) return -1;
  if (!HandleEnter(owner, name, line)) return -1;
  TracePointer(owner, "hdl", file);
  int32_t result = -1;
  if (LiveFileWalk(file) == nullptr) {
    SetLibraryError(owner, kErrInvalidParameter);
  } else {
    result = field(*file);
  }
  return HandleExit(owner, name, line, kCheckNonNegative, result);
}

}  // namespace

int32_t F_ftell(FlashFile* file) {
  return Query(file, "F_ftell", __LINE__, [](const FlashFile& f) { return static_cast<int32_t>(f.position); });
}

int32_t F_feof(FlashFile* file) {
  return Query(file, "F_feof", __LINE__, [](const FlashFile& f) { return (f.flags & kFlashEof) != 0 ? 1 : 0; });
}

int32_t F_ferror(FlashFile* file) {
  return Query(file, "F_ferror", __LINE__, [](const FlashFile& f) { return (f.flags & kFlashError) != 0 ? 1 : 0; });
}

int32_t F_remove(RDRHANDLE handle, const char* name) {
  if (!HandleEnter(handle, "F_remove", __LINE__)) return -1;
  TracePointer(handle, "vhdl", handle);
  TraceString(handle, "name", name);
  int32_t result = -1;
  FlashName parsed;
  if (int32_t error = ParseName(name, &parsed); error != 0) {
    SetLibraryError(handle, error);
  } else {
    result = RemoveFile(handle, parsed);
  }
  return HandleExit(handle, "F_remove", __LINE__, kCheckNonNegative, result);
}

int32_t F_cp(RDRHANDLE handle, const char* src, const char* dest) {
  if (!HandleEnter(handle, "F_cp", __LINE__)) return -1;
  TracePointer(handle, "vhdl", handle);
  TraceString(handle, "src", src);
  TraceString(handle, "dest", dest);
  const int32_t result = Copy(handle, src, dest);
  return HandleExit(handle, "F_cp", __LINE__, kCheckNonNegative, result);
}
