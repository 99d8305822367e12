#include "trace/trace.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/clock.h"
#include "platform/system.h"
#include "reader/frame.h"
#include "trace/format.h"

namespace {

constexpr int32_t kLevelSlots = 5;
constexpr int32_t kFormatArea = 1024;
constexpr int32_t kBufferGrowth = 10240;
constexpr int32_t kBufferLimit = 0x100000;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

// "\r\nMmm dd hh:mm:ss %9.6f ": local time, then seconds into the block,
// starting each line. The calendar part changes once a second, so it is
// formatted again only when the clock's seconds counter passes the end of
// the local-time second it was formatted in (a millisecond early rather
// than late, as local time comes in whole milliseconds); the lines of one
// clock tick share the whole stamp.
struct StampCache {
  uint64_t installation = 0;   // platform::ClockInstallations() at the calendar's formatting
  double calendar_until = -1;  // on the clock's seconds counter
  double seconds = std::numeric_limits<double>::quiet_NaN();  // into the block
  size_t calendar_end = 0;                                    // in `text`
  size_t size = 0;
  char text[64] = {};  // terminated after `size` characters: the banner prints it as a C string
};

// One layout for a root log (on a file) and for an instance attached to it.
//
// Lock order: a record's block lock, then its root's file lock; the registry
// mutex is always taken last and never held while waiting for another lock.
struct TraceLogRecord : std::enable_shared_from_this<TraceLogRecord> {
  // The record's handle, fixed at registration.
  const TraceLogRecord* handle = nullptr;
  // kKindTraceLog while live; cleared (under the block lock) at close or
  // detach so that operations already past the registry back off.
  std::atomic<uint32_t> tag{0};
  // Held once by the thread that owns the open block, from its outermost
  // begin to its end, plus transiently by every operation on the record.
  // Guards every field from `indentation` to `stamp`.
  std::recursive_mutex block_lock;
  // Guards `file`; taken by every record that writes into this root's file.
  std::recursive_mutex file_lock;
  std::unique_ptr<std::FILE, FileCloser> file;  // root only; opened at the first kept block
  int32_t attached_count = 0;                   // root only; guarded by the registry mutex
  // Shared so that a root outlives every instance still finishing a block.
  std::shared_ptr<TraceLogRecord> root;  // null for a root; fixed at attach
  std::array<int32_t, kLevelSlots> indentation{};
  std::array<int32_t, kLevelSlots> level{};
  std::array<int32_t, kLevelSlots> minimum_level_seen{};
  int32_t stack_index = 0;
  int32_t nesting = 0;
  double block_start = 0.0;
  std::unique_ptr<char[]> buffer;
  int32_t buffer_capacity = 0;
  int32_t buffer_length = 0;
  // Set while a LogLine is being put together in `buffer`: the record is
  // then refused to every other operation (which can only come from the
  // building thread, as it holds the lock).
  bool building_line = false;
  StampCache stamp;
  std::string path;  // root only; fixed at open
};

namespace {

// The live records by handle. A handle is only ever used as a key here, so
// null, -1, stale or random values are rejected without being dereferenced.
// Lookups hand out shared ownership: a record closed by one thread stays in
// memory until every operation that found it has finished.
struct Registry {
  std::mutex mutex;
  std::unordered_map<const TraceLogRecord*, std::shared_ptr<TraceLogRecord>> live;  // guarded by mutex
  uint64_t handles_issued = 0;                                                      // guarded by mutex
};

Registry& GetRegistry() {
  static Registry registry;
  return registry;
}

// Handles are tokens, not addresses: a record's memory may be reused by a
// later record, and a stale handle kept by a caller must not then reach the
// newer log. Tokens are never reused and lie outside the range of user-space
// addresses, so no real pointer, freed or not, can match one.
constexpr uintptr_t kHandleBase = sizeof(uintptr_t) >= 8 ? static_cast<uintptr_t>(0xA1B2C3D000000000ull) : 0;

// Registers a record under a fresh handle; called with the registry mutex held.
LOGHANDLE Register(Registry& registry, std::shared_ptr<TraceLogRecord> record) {
  const uintptr_t token = kHandleBase + (static_cast<uintptr_t>(++registry.handles_issued) << 4);
  LOGHANDLE handle = reinterpret_cast<LOGHANDLE>(token);
  record->handle = handle;
  registry.live.emplace(handle, std::move(record));
  return handle;
}

std::atomic<TraceLogRecord*> g_global_log{nullptr};

// A handle names one record for good (tokens are never reused) and every
// caller checks the record's tag before trusting it, so the record each
// thread found last is found again without the registry. The weak pointer
// keeps no closed record alive.
struct LastFound {
  const TraceLogRecord* handle = nullptr;
  std::weak_ptr<TraceLogRecord> record;
};

std::shared_ptr<TraceLogRecord> Find(const TraceLogRecord* log) {
  thread_local LastFound last;
  if (log != nullptr && log == last.handle) {
    if (std::shared_ptr<TraceLogRecord> record = last.record.lock()) return record;
  }
  Registry& registry = GetRegistry();
  std::lock_guard guard(registry.mutex);
  auto found = registry.live.find(log);
  if (found == registry.live.end()) return nullptr;
  last.handle = log;
  last.record = found->second;
  return found->second;
}

// The record whose outermost block the calling thread has open. While it is
// set the thread holds that record's block lock, so the record can be neither
// closed nor freed, and the messages of the block need neither the registry
// nor another hold of the lock. Set and cleared by the owning thread only; a
// block opened inside another log's block takes the slot, and the outer one
// goes the long way after that.
struct OwnedBlock {
  const TraceLogRecord* handle = nullptr;
  TraceLogRecord* record = nullptr;
};
thread_local OwnedBlock t_owned_block;

// Acquire's way through the registry.
[[gnu::noinline]] TraceLogRecord* AcquireFound(const TraceLogRecord* log, std::shared_ptr<TraceLogRecord>& holder) {
  holder = Find(log);
  if (!holder) return nullptr;
  holder->block_lock.lock();
  if (holder->tag.load() != kKindTraceLog || holder->building_line) {
    holder->block_lock.unlock();
    holder.reset();
    return nullptr;
  }
  return holder.get();
}

// The record of `log` with its block lock held, or null; `holder` keeps it
// in memory while held. A record whose block the calling thread holds is
// taken as it is when `reuse_own_block` allows, with `holder` left empty.
// A record with a line under construction is refused (only its building
// thread can get here while it is). Inline: every message of a block takes
// the first way.
inline TraceLogRecord* Acquire(const TraceLogRecord* log, bool reuse_own_block,
                               std::shared_ptr<TraceLogRecord>& holder) {
  if (reuse_own_block && log != nullptr && log == t_owned_block.handle) {
    TraceLogRecord* record = t_owned_block.record;
    return record->building_line ? nullptr : record;
  }
  return AcquireFound(log, holder);
}

// The lock taken by Acquire, given back.
void Release(std::shared_ptr<TraceLogRecord>& holder) {
  if (holder) holder->block_lock.unlock();
  holder.reset();
}

// A live record with its block lock held for the duration of one operation.
// With `reuse_own_block`, a record whose block the calling thread holds is
// taken as it is: only for operations that leave the record live (a close or
// detach must hold the record itself, as it may end the thread's block).
class LockedRecord {
 public:
  explicit LockedRecord(const TraceLogRecord* log, bool reuse_own_block = false)
      : record_(Acquire(log, reuse_own_block, holder_)) {}
  ~LockedRecord() { Release(holder_); }
  LockedRecord(const LockedRecord&) = delete;
  LockedRecord& operator=(const LockedRecord&) = delete;

  explicit operator bool() const { return record_ != nullptr; }
  TraceLogRecord& operator*() const { return *record_; }
  TraceLogRecord* operator->() const { return record_; }

 private:
  std::shared_ptr<TraceLogRecord> holder_;  // null when the thread's own block is reused
  TraceLogRecord* record_ = nullptr;
};

int32_t CurrentLevel(const TraceLogRecord& record) { return record.level[record.stack_index]; }

bool IsConditional(int32_t level) { return level == kTraceKeepOn100 || level == kTraceKeepOnError; }

size_t FormatSecondsWithPrintf(double seconds, char* out, size_t room) {
  const int length = std::snprintf(out, room, "%9.6f", seconds);
  return length < 0 ? 0 : std::min(static_cast<size_t>(length), room - 1);
}

// "%9.6f" without the C library where the result is certain: the value is
// rounded to microseconds the way printf rounds it unless it lies within
// floating-point error of a half microsecond, which is left to printf.
size_t FormatSeconds(double seconds, char* out, size_t room) {
  constexpr double kLargest = 1e6;  // microseconds stay exact to well below 1e-3
  if (!(seconds >= 0 && seconds < kLargest)) return FormatSecondsWithPrintf(seconds, out, room);
  const double micros = seconds * 1e6;
  const auto below = static_cast<uint64_t>(micros);  // floor: micros is not negative
  const double part = micros - static_cast<double>(below);
  if (std::fabs(part - 0.5) < 1e-3) return FormatSecondsWithPrintf(seconds, out, room);
  const uint64_t rounded = part > 0.5 ? below + 1 : below;
  uint64_t whole = rounded / 1000000;
  uint32_t fraction = static_cast<uint32_t>(rounded % 1000000);
  // Written backwards from the end of a field wide enough for any whole part
  // below kLargest, then moved to the front.
  char digits[16];
  char* at = digits + sizeof digits;
  for (int i = 0; i < 6; ++i, fraction /= 10) *--at = static_cast<char>('0' + fraction % 10);
  *--at = '.';
  do {
    *--at = static_cast<char>('0' + whole % 10);
    whole /= 10;
  } while (whole > 0);
  while (digits + sizeof digits - at < 9) *--at = ' ';
  const size_t size = std::min(static_cast<size_t>(digits + sizeof digits - at), room - 1);
  std::memcpy(out, at, size);
  return size;
}

void FormatCalendar(platform::Clock& clock, double now, StampCache& stamp) {
  static constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const platform::LocalTime local = clock.Now();
  const int month = local.month >= 1 && local.month <= 12 ? local.month : 1;
  char date[64];
  std::snprintf(date, sizeof date, "%s %2d %02d:%02d:%02d", kMonths[static_cast<size_t>(month - 1)], local.day,
                local.hour, local.minute, local.second);
  const size_t size = strnlen(date, 15);
  stamp.text[0] = '\r';
  stamp.text[1] = '\n';
  std::memcpy(stamp.text + 2, date, size);
  stamp.text[2 + size] = ' ';
  stamp.calendar_end = 3 + size;
  const int left_ms = 999 - std::clamp(local.millisecond, 0, 999);
  stamp.calendar_until = now + left_ms / 1000.0;
}

// The stamp once the clock has moved: the seconds field, and the calendar
// part when its second is over or the clock was replaced.
[[gnu::noinline]] void Restamp(StampCache& stamp, platform::Clock& clock, uint64_t installation, double now,
                               double seconds) {
  if (installation != stamp.installation || !(now < stamp.calendar_until)) {
    stamp.installation = installation;
    FormatCalendar(clock, now, stamp);
  }
  stamp.seconds = seconds;
  char* out = stamp.text + stamp.calendar_end;
  out += FormatSeconds(seconds, out, 32);
  *out++ = ' ';
  *out = '\0';
  stamp.size = static_cast<size_t>(out - stamp.text);
}

inline const StampCache& CurrentStamp(TraceLogRecord& record) {
  StampCache& stamp = record.stamp;
  const uint64_t installation = platform::ClockInstallations();
  platform::Clock& clock = platform::GetClock();
  const double now = clock.Seconds();
  const double seconds = now - record.block_start;
  if (installation != stamp.installation || !(now < stamp.calendar_until) || seconds != stamp.seconds) {
    Restamp(stamp, clock, installation, now, seconds);
  }
  return stamp;
}

// Makes room for `needed` more bytes. Growth goes in fixed steps and stops
// once the capacity is past the limit, so a runaway block cannot take the
// process's memory; a refused allocation loses the block collected so far.
[[gnu::noinline]] bool Grow(TraceLogRecord& record, uint64_t needed) {
  const uint64_t length = static_cast<uint64_t>(record.buffer_length);
  uint64_t capacity = static_cast<uint64_t>(record.buffer_capacity);
  // Bounded: each round adds a step, and the limit is passed within
  // kBufferLimit / kBufferGrowth + 1 rounds.
  while (capacity - length < needed) {
    if (capacity > static_cast<uint64_t>(kBufferLimit)) return false;
    capacity += kBufferGrowth;
  }
  try {
    auto grown = std::make_unique_for_overwrite<char[]>(capacity);
    if (length > 0) std::memcpy(grown.get(), record.buffer.get(), length);
    record.buffer = std::move(grown);
    record.buffer_capacity = static_cast<int32_t>(capacity);
    return true;
  } catch (const std::bad_alloc&) {
    record.buffer_length = 0;
    return false;
  }
}

inline bool Reserve(TraceLogRecord& record, uint64_t needed) {
  return static_cast<uint64_t>(record.buffer_capacity - record.buffer_length) >= needed || Grow(record, needed);
}

void AppendRaw(TraceLogRecord& record, std::string_view text) {
  if (!Reserve(record, text.size())) return;
  std::memcpy(record.buffer.get() + record.buffer_length, text.data(), text.size());
  record.buffer_length += static_cast<int32_t>(text.size());
}

int32_t Spaces(const TraceLogRecord& record) {
  const int32_t indent = record.indentation[record.stack_index];
  return indent > 0 ? indent : 0;
}

// Writes a line's head (stamp and indentation) at the end of the buffer,
// where `room` bytes are reserved. The usual head is copied in fixed sizes,
// without a call into the C library, when the room allows.
inline void PutHead(char* out, uint64_t room, const StampCache& stamp, uint64_t spaces) {
  static constexpr char kSpaces[] = "                                ";
  constexpr uint64_t kFixedSpaces = sizeof kSpaces - 1;
  if (room >= sizeof stamp.text + kFixedSpaces && spaces <= kFixedSpaces) {
    std::memcpy(out, stamp.text, sizeof stamp.text);
    std::memcpy(out + stamp.size, kSpaces, kFixedSpaces);
    return;
  }
  std::memcpy(out, stamp.text, stamp.size);
  std::memset(out + stamp.size, ' ', spaces);
}

// Appends a message with every newline turned into a stamped, indented line
// start. The whole message goes in or none of it, so a full buffer never
// ends in half a line.
void AppendMessage(TraceLogRecord& record, std::string_view text) {
  if (text.empty()) return;
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  // Most messages hold one or two newlines: their places are kept from the
  // one scan that counts them; more are found again while copying.
  constexpr size_t kKeptPlaces = 4;
  std::array<const char*, kKeptPlaces> places;
  uint64_t newlines = 0;
  // Bounded: each round moves past one newline of the text.
  for (const char* at = begin; (at = static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at))));
       ++at) {
    if (newlines < kKeptPlaces) places[newlines] = at;
    ++newlines;
  }
  if (newlines == 0) {
    AppendRaw(record, text);
    return;
  }
  const StampCache& stamp = CurrentStamp(record);
  const uint64_t spaces = static_cast<uint64_t>(Spaces(record));
  const uint64_t needed = text.size() - newlines + newlines * (stamp.size + spaces);
  if (!Reserve(record, needed)) return;
  char* out = record.buffer.get() + record.buffer_length;
  const char* const capacity_end = record.buffer.get() + record.buffer_capacity;
  const char* at = begin;
  // Bounded as above. A head's fixed-size copies may run into text that is
  // copied after it.
  for (uint64_t i = 0; i < newlines; ++i) {
    const char* newline =
        i < kKeptPlaces ? places[i] : static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at)));
    std::memcpy(out, at, static_cast<size_t>(newline - at));
    out += newline - at;
    PutHead(out, static_cast<uint64_t>(capacity_end - out), stamp, spaces);
    out += stamp.size + spaces;
    at = newline + 1;
  }
  std::memcpy(out, at, static_cast<size_t>(end - at));
  record.buffer_length += static_cast<int32_t>(needed);
}

void WriteBanner(std::FILE* file, const StampCache& stamp) {
  const char* s = stamp.text;
  std::fprintf(file, "%s%s%s%s", s, s, s, s);
  std::fprintf(file, "%s=================", s);
  std::fprintf(file, "%sLogging initiated", s);
  std::fprintf(file, "%s=================", s);
  std::fprintf(file, "%sStandard format of log messages; FunctionName(SourceCodeLine#)[ThreadID]", s);
}

// One write and one flush per block, under the root's file lock, so blocks
// of different instances never interleave in the file.
void WriteBlock(TraceLogRecord& record) {
  TraceLogRecord& root = record.root ? *record.root : record;
  std::lock_guard file_guard(root.file_lock);
  if (root.tag.load() != kKindTraceLog) return;  // root already closed: the block is lost
  if (!root.file) {
    std::FILE* file = std::fopen(root.path.c_str(), "a");
    if (file == nullptr) return;  // lost; the next kept block tries again
    // Each block is written whole and flushed at once: a stream buffer would
    // only copy it on the way.
    std::setvbuf(file, nullptr, _IONBF, 0);
    root.file.reset(file);
    const StampCache& stamp = CurrentStamp(record);
    WriteBanner(file, stamp);
    AppendRaw(record, std::string_view(stamp.text, stamp.size));
  }
  std::fwrite(record.buffer.get(), 1, static_cast<size_t>(record.buffer_length), root.file.get());
  std::fflush(root.file.get());
}

void StartOutermostBlock(TraceLogRecord& record) {
  int32_t& slot = record.stack_index;
  const int32_t level = record.level[slot];
  if (IsConditional(level) && slot < kLevelSlots - 1) {
    record.level[slot + 1] = level;
    record.indentation[slot + 1] = record.indentation[slot];
    ++slot;
    record.level[slot] = kTraceCapture;
  }
  record.block_start = platform::GetClock().Seconds();
  record.buffer_length = 0;
  t_owned_block = {record.handle, &record};
  record.minimum_level_seen[slot] = INT32_MAX;
}

void FinishOutermostBlock(TraceLogRecord& record) {
  bool keep = record.buffer_length > 0;
  // The capture slot is left even when nothing was collected, so the level
  // and indentation seen between blocks are always those of the slot beneath.
  if (CurrentLevel(record) == kTraceCapture) {
    const int32_t left = record.stack_index;
    if (record.stack_index > 0) --record.stack_index;
    const int32_t decider = CurrentLevel(record);
    const int32_t minimum = record.minimum_level_seen[left];
    keep = keep && ((decider == kTraceKeepOn100 && minimum <= 0x100) ||
                    (decider == kTraceKeepOnError && minimum <= kTraceError));
  }
  if (keep) WriteBlock(record);
  record.buffer_length = 0;
}

// The outermost Begin takes one more hold of the block lock, and the End
// that closes the block gives it back, so the lock is held from the
// outermost begin to its end. Both are called with the lock already held by
// the operation, so the lock() here never waits; and while a block is open
// only its owner can get that far, so nested levels only count.
int32_t Begin(TraceLogRecord& record) {
  if (record.nesting == 0) {
    record.block_lock.lock();
    StartOutermostBlock(record);
  }
  return record.nesting++;
}

int32_t End(TraceLogRecord& record) {
  if (record.nesting == 0) return 0;
  const int32_t before = record.nesting--;
  if (record.nesting == 0) {
    FinishOutermostBlock(record);
    if (t_owned_block.record == &record) t_owned_block = {};
    record.block_lock.unlock();
  }
  return before;
}

// Level filter of a message write: false when the message is not kept.
bool Admit(TraceLogRecord& record, int32_t level) {
  const int32_t current = CurrentLevel(record);
  if (current == 0 || level > current) return false;
  int32_t& minimum = record.minimum_level_seen[record.stack_index];
  if (level < minimum) minimum = level;
  return true;
}

// A message that has passed the filter: its own block when none is open.
void Emit(TraceLogRecord& record, std::string_view text) {
  // Inside an open block (the usual case: a library operation's frame) the
  // calling thread already holds the block; Begin and End would only count.
  if (record.nesting > 0) {
    AppendMessage(record, text);
    return;
  }
  Begin(record);
  AppendMessage(record, text);
  End(record);
}

void WriteText(TraceLogRecord& record, int32_t level, std::string_view text) {
  if (Admit(record, level)) Emit(record, text);
}

// A message that is one new line, inside an open block: formatted straight
// into the block after its stamp and indentation. False when the message
// needs the general way (other newlines, a format the C library formats,
// no room).
bool WriteLine(TraceLogRecord& record, const char* format, va_list arguments) {
  const StampCache& stamp = CurrentStamp(record);
  const uint64_t spaces = static_cast<uint64_t>(Spaces(record));
  const uint64_t head = stamp.size + spaces;
  if (!Reserve(record, head + kFormatArea)) return false;
  char* line = record.buffer.get() + record.buffer_length;
  // The head first: its fixed-size copies may run into the body's room.
  PutHead(line, head + kFormatArea, stamp, spaces);
  // The area's room less the newline, which the head stands for.
  const int body = trace_format::FormatLineBody(line + head, kFormatArea - 1, format, arguments);
  if (body < 0) return false;
  record.buffer_length += static_cast<int32_t>(head) + body;
  return true;
}

void WriteFormatted(TraceLogRecord& record, int32_t level, const char* format, va_list arguments) {
  if (format == nullptr || !Admit(record, level)) return;
  if (record.nesting > 0 && WriteLine(record, format, arguments)) return;
  char area[kFormatArea];
  const int length = trace_format::FormatMessage(area, sizeof area, format, arguments);
  if (length < 0) return;
  Emit(record, std::string_view(area, static_cast<size_t>(length)));
}

// Closing or detaching a record while the calling thread still has a block
// open on it would free a held lock and lose the block: end it properly.
void EndOwnBlocks(TraceLogRecord& record) {
  while (record.nesting > 0) End(record);  // bounded by the nesting count
}

}  // namespace

LOGHANDLE LogOpen(const char* path, int32_t level) {
  platform::PreserveLastError keep_error;
  if (path == nullptr) return InvalidLogHandle();
  try {
    auto record = std::make_shared<TraceLogRecord>();
    record->path = path;
    record->level[0] = level;
    record->tag.store(kKindTraceLog);
    Registry& registry = GetRegistry();
    std::lock_guard guard(registry.mutex);
    return Register(registry, std::move(record));
  } catch (const std::bad_alloc&) {
    SetLibraryError(nullptr, kErrNoMemory);
    return InvalidLogHandle();
  }
}

int32_t LogClose(LOGHANDLE log) {
  platform::PreserveLastError keep_error;
  LockedRecord record(log);
  // Instances belong to their reader handles and leave through detach; closing
  // one here would leave its root counting it forever.
  if (!record || record->root) return 0;
  WriteText(*record, kTraceDetail, "\nLogging terminated\n");
  bool attached = false;
  {
    Registry& registry = GetRegistry();
    std::lock_guard guard(registry.mutex);
    attached = record->attached_count > 0;
    if (!attached) registry.live.erase(log);
  }
  if (attached) {
    WriteText(*record, kTraceDetail, "\nAttached instances still outstanding; keeping logger active to be safe");
    SetLibraryError(nullptr, kErrLogAttached);
    return 0;
  }
  EndOwnBlocks(*record);
  record->tag.store(0);
  {
    std::lock_guard file_guard(record->file_lock);
    record->file.reset();
  }
  // A closed log must not stay installed for new handles to find.
  TraceLogRecord* expected = log;
  g_global_log.compare_exchange_strong(expected, nullptr);
  return 1;
}

int32_t LogSetGlobal(LOGHANDLE log) {
  platform::PreserveLastError keep_error;
  if (log != nullptr && !LogIsValid(log)) return 0;
  g_global_log.store(log);
  return 1;
}

LOGHANDLE LogGetGlobal() { return g_global_log.load(); }

LOGHANDLE LogAttachInstance(LOGHANDLE root) {
  platform::PreserveLastError keep_error;
  LockedRecord parent(root);
  if (!parent || parent->root) return InvalidLogHandle();
  std::shared_ptr<TraceLogRecord> instance;
  try {
    instance = std::make_shared<TraceLogRecord>();
  } catch (const std::bad_alloc&) {
    SetLibraryError(nullptr, kErrNoMemory);
    return InvalidLogHandle();
  }
  instance->root = parent->shared_from_this();
  const int32_t slot = parent->stack_index;
  instance->indentation[0] = parent->indentation[slot];
  // Inside a block captured for a conditional level the root's current level
  // is the capture level; the instance takes the conditional level beneath,
  // or it would capture every block and keep none.
  int32_t level = parent->level[slot];
  if (level == kTraceCapture && slot > 0) level = parent->level[slot - 1];
  instance->level[0] = level;
  instance->tag.store(kKindTraceLog);
  try {
    Registry& registry = GetRegistry();
    std::lock_guard guard(registry.mutex);
    LOGHANDLE handle = Register(registry, std::move(instance));
    ++parent->attached_count;
    return handle;
  } catch (const std::bad_alloc&) {
    SetLibraryError(nullptr, kErrNoMemory);
    return InvalidLogHandle();
  }
}

int32_t LogDetachInstance(LOGHANDLE instance) {
  platform::PreserveLastError keep_error;
  LockedRecord record(instance);
  if (!record || !record->root) return 0;
  TraceLogRecord& root = *record->root;
  Registry& registry = GetRegistry();
  bool refused = false;
  {
    std::lock_guard guard(registry.mutex);
    refused = root.attached_count <= 0;
    if (!refused) registry.live.erase(instance);
  }
  if (refused) {
    WriteText(*record, kTraceDetail, "\nAttempt to delete more instances than attached");
    return 0;
  }
  // Still counted on the root while its last block is written, so the root
  // cannot be closed underneath it.
  EndOwnBlocks(*record);
  record->tag.store(0);
  std::lock_guard guard(registry.mutex);
  --root.attached_count;
  return 1;
}

bool LogIsValid(LOGHANDLE log) {
  std::shared_ptr<TraceLogRecord> record = Find(log);
  return record && record->tag.load() == kKindTraceLog;
}

bool LogIsRoot(LOGHANDLE log) {
  std::shared_ptr<TraceLogRecord> record = Find(log);
  return record && record->tag.load() == kKindTraceLog && !record->root;
}

int32_t LogBlockBegin(LOGHANDLE log) {
  platform::PreserveLastError keep_error;
  LockedRecord record(log, true);
  return record ? Begin(*record) : 0;
}

int32_t LogBlockEnd(LOGHANDLE log) {
  platform::PreserveLastError keep_error;
  // A thread without a block of its own waits here until the owner's block
  // is over, then finds nesting 0: it can never end someone else's block.
  LockedRecord record(log, true);
  return record ? End(*record) : 0;
}

bool LogWants(LOGHANDLE log, int32_t level) {
  platform::PreserveLastError keep_error;
  LockedRecord record(log, true);
  if (!record) return false;
  const int32_t current = CurrentLevel(*record);
  return current != 0 && level <= current;
}

void LogWrite(LOGHANDLE log, int32_t level, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  LogWriteV(log, level, format, arguments);
  va_end(arguments);
}

void LogWriteV(LOGHANDLE log, int32_t level, const char* format, va_list arguments) {
  platform::PreserveLastError keep_error;
  LockedRecord record(log, true);
  if (record) WriteFormatted(*record, level, format, arguments);
}

void LogHexDump(LOGHANDLE log, int32_t level, const void* data, int32_t count, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  LogHexDumpV(log, level, data, count, format, arguments);
  va_end(arguments);
}

void LogHexDumpV(LOGHANDLE log, int32_t level, const void* data, int32_t count, const char* format, va_list arguments) {
  platform::PreserveLastError keep_error;
  LockedRecord record(log, true);
  if (!record || CurrentLevel(*record) == 0) return;
  // One block around the whole dump keeps its pieces together in the file
  // even when the caller has no block open.
  Begin(*record);
  WriteFormatted(*record, level, format, arguments);
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (bytes == nullptr) count = 0;
  if (Admit(*record, level)) {
    for (int32_t i = 0; i < count; ++i) {
      if (i % 16 == 0) Emit(*record, "\n");
      if (i % 4 == 0) Emit(*record, " ");
      static constexpr char kDigits[] = "0123456789ABCDEF";
      const char hex[2] = {kDigits[bytes[i] >> 4], kDigits[bytes[i] & 0xF]};
      Emit(*record, std::string_view(hex, 2));
    }
    if (count < 1 || count % 16 != 1) Emit(*record, "\n");
  }
  End(*record);
}

int32_t LogGetIndent(LOGHANDLE log) {
  platform::PreserveLastError keep_error;
  LockedRecord record(log, true);
  return record ? record->indentation[record->stack_index] : 0;
}

int32_t LogAddIndent(LOGHANDLE log, int32_t delta) {
  platform::PreserveLastError keep_error;
  LockedRecord record(log, true);
  if (!record) return 0;
  int32_t& slot = record->indentation[record->stack_index];
  slot += delta;
  return slot;
}

int32_t LogSetIndent(LOGHANDLE log, int32_t indent) {
  platform::PreserveLastError keep_error;
  LockedRecord record(log, true);
  if (!record) return 0;
  int32_t& slot = record->indentation[record->stack_index];
  const int32_t previous = slot;
  slot = indent;
  return previous;
}

// The longest body a line may have: the format area less its newline and
// terminator.
constexpr size_t kLineBody = kFormatArea - 2;

// A new line at the end of the block: the log's last stamp (the line's:
// nothing else can stamp while it is built) and the indentation, then room
// for a whole message, or the area when the buffer will not give that much.
inline void LogLine::StartLine() {
  TraceLogRecord& record = *record_;
  left_ = kLineBody;
  const StampCache& stamp = record.stamp;
  const uint64_t spaces = static_cast<uint64_t>(Spaces(record));
  const uint64_t head = stamp.size + spaces;
  if (!Reserve(record, head + kLineBody)) {
    area_[0] = '\n';
    out_ = area_ + 1;
    place_ = Place::kArea;
    return;
  }
  char* line = record.buffer.get() + record.buffer_length;
  PutHead(line, static_cast<uint64_t>(record.buffer_capacity - record.buffer_length), stamp, spaces);
  out_ = line + head;
  place_ = Place::kBlock;
}

// The line built so far joins the block.
inline void LogLine::FinishLine() {
  TraceLogRecord& record = *record_;
  if (place_ == Place::kBlock) {
    record.buffer_length = static_cast<int32_t>(out_ - record.buffer.get());
  } else if (place_ == Place::kArea) {
    AppendMessage(record, std::string_view(area_, static_cast<size_t>(out_ - area_)));
  }
}

LogLine::LogLine(LOGHANDLE log, int32_t level, LineRole role) : role_(role) {
  static_assert(kArea == kFormatArea);
  record_ = Acquire(log, true, holder_);
  if (record_ == nullptr) return;
  TraceLogRecord& record = *record_;
  if (role == LineRole::kEntry) Begin(record);
  if (role == LineRole::kExit) --record.indentation[record.stack_index];
  if (!Admit(record, level)) return;
  if (record.nesting == 0) {
    Begin(record);
    own_block_ = true;
  }
  record.building_line = true;
  CurrentStamp(record);
  StartLine();
}

LogLine::~LogLine() {
  if (record_ == nullptr) return;
  TraceLogRecord& record = *record_;
  if (place_ != Place::kNowhere) {
    FinishLine();
    record.building_line = false;
  }
  if (role_ == LineRole::kEntry) ++record.indentation[record.stack_index];
  if (own_block_ || role_ == LineRole::kExit) {
    platform::PreserveLastError keep_error;  // an outermost block's end goes to the file
    if (own_block_) End(record);
    if (role_ == LineRole::kExit) End(record);
  }
  // The record may be gone once its block has ended, unless held.
  Release(holder_);
}

LogLine& LogLine::NewLine() {
  if (place_ == Place::kNowhere) return *this;
  FinishLine();
  StartLine();
  return *this;
}

// A text with newlines, cut to what the message may still take: each
// newline becomes a stamped, indented line start, as AppendMessage makes
// it. The whole line is lost when the buffer cannot grow for it.
void LogLine::PutLines(const char* text, size_t size) {
  TraceLogRecord& record = *record_;
  size = std::min(size, left_);
  const uint64_t newlines = static_cast<uint64_t>(std::count(text, text + size, '\n'));
  const uint64_t spaces = static_cast<uint64_t>(Spaces(record));
  const StampCache& stamp = record.stamp;
  const uint64_t head = stamp.size + spaces;
  const auto used = static_cast<uint64_t>(out_ - (record.buffer.get() + record.buffer_length));
  // The room kept for the rest of the message (left_), and each new head
  // less the newline it stands for.
  if (!Reserve(record, used + left_ + newlines * (head - 1))) {
    record.building_line = false;
    place_ = Place::kNowhere;
    out_ = area_;
    left_ = 0;
    return;
  }
  char* out = record.buffer.get() + record.buffer_length + used;
  const char* const capacity_end = record.buffer.get() + record.buffer_capacity;
  const char* const end = text + size;
  // Bounded: each round moves past one newline of the text.
  for (const char* at = text; at < end;) {
    const auto* newline = static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at)));
    const char* stop = newline != nullptr ? newline : end;
    std::memcpy(out, at, static_cast<size_t>(stop - at));
    out += stop - at;
    if (newline == nullptr) break;
    PutHead(out, static_cast<uint64_t>(capacity_end - out), stamp, spaces);
    out += head;
    at = newline + 1;
  }
  out_ = out;
  left_ -= size;
}

LogLine& LogLine::Text(const char* text) {
  if (left_ == 0) return *this;
  if (text == nullptr) text = "(null)";
  const size_t size = std::strlen(text);
  // In the area the newlines are stamped when the line joins the block.
  if (place_ == Place::kBlock && std::memchr(text, '\n', std::min(size, left_)) != nullptr) {
    PutLines(text, size);
  } else {
    Put(text, size);
  }
  return *this;
}

// Room for a number's digits and sign, written backwards from kNumberEnd,
// and for a fixed-size copy from wherever they start.
constexpr size_t kNumberCopy = 24;
constexpr size_t kNumberEnd = 24;
constexpr size_t kNumberScratch = kNumberEnd + kNumberCopy;

// A number's text from its scratch. Copied in one fixed size, as long as the
// message may take that much more: what lies past the number is overwritten
// by the rest of the line or left outside it.
void LogLine::PutNumber(const char* digits, size_t size) {
  if (left_ >= kNumberCopy) {
    std::memcpy(out_, digits, kNumberCopy);
    out_ += size;
    left_ -= size;
  } else {
    Put(digits, size);
  }
}

// "%d" of `value` written backwards to end just before `end`; its first
// character's place.
char* SignedDecimalBackwards(int32_t value, char* end) {
  const uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
  char* first = trace_format::DecimalBackwards(magnitude, end);
  if (value < 0) *--first = '-';
  return first;
}

LogLine& LogLine::Decimal(int32_t value) {
  if (left_ == 0) return *this;
  char scratch[kNumberScratch];
  char* const end = scratch + kNumberEnd;
  const char* first = SignedDecimalBackwards(value, end);
  PutNumber(first, static_cast<size_t>(end - first));
  return *this;
}

// A thread's id is in every entry and exit line: its text is made once.
LogLine& LogLine::ThreadId() {
  struct Text {
    char scratch[kNumberScratch];
    const char* first = nullptr;
  };
  thread_local Text text;
  if (text.first == nullptr)
    text.first = SignedDecimalBackwards(platform::CurrentThreadId(), text.scratch + kNumberEnd);
  PutNumber(text.first, static_cast<size_t>(text.scratch + kNumberEnd - text.first));
  return *this;
}

LogLine& LogLine::Hex(uint64_t value, bool upper, int width) {
  if (left_ == 0) return *this;
  width = std::clamp(width, 0, 16);
  if (left_ >= 16) {
    // Straight into place: zeros first, in one copy of a fixed size, then
    // the digits over their end.
    const auto digits = static_cast<int>((std::bit_width(value | 1) + 3) / 4);
    const auto size = static_cast<size_t>(std::max(digits, width));
    std::memcpy(out_, "0000000000000000", 16);
    trace_format::HexBackwards(value, upper, out_ + size);
    out_ += size;
    left_ -= size;
    return *this;
  }
  char scratch[kNumberScratch];
  char* const end = scratch + kNumberEnd;
  std::memcpy(end - 16, "0000000000000000", 16);
  const char* first = std::min<const char*>(trace_format::HexBackwards(value, upper, end), end - width);
  Put(first, static_cast<size_t>(end - first));
  return *this;
}
