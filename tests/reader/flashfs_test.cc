// The flash file system end to end: the library's F_ operations against a
// simulated unit whose flash the test can inspect and damage.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "reader/flash.h"
#include "reader/frame.h"
#include "sim/flash_model.h"
#include "tests/support/expect_error.h"
#include "tests/support/sim_bench.h"
#include "tests/support/temp_dir.h"
#include "tests/support/trace_capture.h"

namespace {

using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;
using Bytes = std::vector<uint8_t>;

Bytes Pattern(size_t size, uint32_t seed) {
  Bytes data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>((i * 131 + seed * 17 + (i >> 8)) & 0xFF);
  return data;
}
// Host files hold the same patterns as text.
std::string Str(const Bytes& data) { return std::string(data.begin(), data.end()); }
// The NUL-terminated text at `at`.
std::string Text(const Bytes& bytes, size_t at = 0) { return std::string(reinterpret_cast<const char*>(&bytes[at])); }
uint16_t FirstSector(const Bytes& entry) { return static_cast<uint16_t>(entry[14] | entry[15] << 8); }
uint16_t Link(const Bytes& sector) { return static_cast<uint16_t>((sector[1020] | sector[1021] << 8) & 0x7FFF); }
int32_t EntrySize(const Bytes& e) {
  return static_cast<int32_t>(e[16] | e[17] << 8 | e[18] << 16 | uint32_t{e[19]} << 24);
}

class FlashBench {
 public:
  // With a state folder, the unit's flash outlives the bench as it would outlive a process.
  explicit FlashBench(nlohmann::json flash = {{"sectors_per_chip", 600}}, const std::filesystem::path& state = {}) {
    sim::UnitConfig config = testing_support::WrUnitConfig();
    config.flash = std::move(flash);
    unit_ = bench_.backend().AddUnit(std::move(config), state);
    Reopen();
  }
  // A fresh handle: nothing of the file system is cached on the host.
  void Reopen() {
    handle_.reset();
    handle_ = bench_.Open(*unit_);
  }
  void Close() { handle_.reset(); }
  RDRHANDLE handle() const { return handle_.get(); }
  sim::FlashModel& flash() { return unit_->flash(); }
  std::vector<sim::Request> Requests(uint8_t sub) {
    return testing_support::RequestsOf(*unit_, sim::kSectorCommand, sub);
  }
  void ClearTraffic() { unit_->ClearTraffic(); }
  FlashFile* Open(const std::string& name, const char* mode) {
    FlashFile* file = F_fopen(handle(), name.c_str(), mode);
    if (file == nullptr) ADD_FAILURE() << "F_fopen " << name << " " << mode << ": " << GetErrorCode();
    return file;
  }
  bool Write(const std::string& name, const Bytes& data, const char* mode = "wb") {
    FlashFile* file = F_fopen(handle(), name.c_str(), mode);
    if (file == nullptr) return false;
    const int32_t written = F_fwrite(data.data(), 1, static_cast<int32_t>(data.size()), file);
    return F_fclose(file) == 0 && written == static_cast<int32_t>(data.size());
  }
  Bytes Read(const std::string& name) {
    FlashFile* file = F_fopen(handle(), name.c_str(), "rb");
    if (file == nullptr) return {};
    F_fseek(file, 0, 2);
    Bytes data(static_cast<size_t>(F_ftell(file)));
    F_fseek(file, 0, 0);
    data.resize(std::max(0, F_fread(data.data(), 1, static_cast<int32_t>(data.size()), file)));
    F_fclose(file);
    return data;
  }
  // Directory entry `index` of chip 0 (entries of the first directory sector only).
  Bytes Entry(size_t index) {
    auto sector = Sector(sim::kDirectorySector);
    return Bytes(sector.begin() + index * 20, sector.begin() + index * 20 + 20);
  }
  Bytes Sector(uint16_t id) { return flash().LogicalSector(0, id).value_or(Bytes()); }

 private:
  testing_support::SimBench bench_;
  std::shared_ptr<sim::Unit> unit_;
  testing_support::ReaderOwner handle_;
};

TEST(FlashFileNames, LengthsPrefixesAndTheDirectoryItself) {
  FlashBench bench;
  RDRHANDLE handle = bench.handle();
  ASSERT_TRUE(bench.Write("0:abcdefghijklmn", Pattern(5, 1)));  // 14 characters
  auto entry = bench.Entry(1);
  EXPECT_EQ(std::string(entry.begin(), entry.begin() + 14), "abcdefghijklmn");  // no terminator
  EXPECT_EQ(EntrySize(entry), 5);
  EXPECT_FAILS_WITH(F_fopen(handle, "0:abcdefghijklmno", "w"), nullptr, 43);
  EXPECT_FAILS_WITH(F_fopen(handle, "0:", "w"), nullptr, 4);
  ASSERT_TRUE(bench.Write("app.bin", Pattern(3, 2)));
  EXPECT_EQ(bench.Read("0:app.bin"), Pattern(3, 2));
  // "_dir" is the directory, readable as a file: entry 0 says 3 entries.
  auto directory = bench.Read("_dir");
  ASSERT_EQ(directory.size(), 60u);
  EXPECT_EQ(Text(directory) + "," + Text(directory, 40), "_dir,app.bin");
  EXPECT_FAILS_WITH(F_remove(handle, "_dir"), -1, 22);  // never matches the directory's own entry
}

TEST(FlashFileModes, ReadWriteAppendUnknownCharactersAndZeroItemSize) {
  FlashBench bench;
  RDRHANDLE handle = bench.handle();
  EXPECT_FAILS_WITH(F_fopen(handle, "missing", "r"), nullptr, 22);
  EXPECT_FAILS_WITH(F_fopen(handle, "x.bin", "x"), nullptr, 42);
  // 'w' and a character it does not know: created, then refused; the empty file stays.
  EXPECT_FAILS_WITH(F_fopen(handle, "made.bin", "wq"), nullptr, 42);
  EXPECT_EQ(Text(bench.Entry(1)), "made.bin");
  // 'a' creates; it cannot read; every write lands at the end.
  FlashFile* log = bench.Open("log.txt", "a");
  EXPECT_EQ(F_fwrite("abc", 1, 3, log), 3);
  EXPECT_EQ(F_fseek(log, 0, 0), 0);
  EXPECT_EQ(F_fwrite("de", 1, 2, log), 2);
  char buffer[8] = {};
  EXPECT_FAILS_WITH(F_fread(buffer, 1, 1, log), -1, 42);
  EXPECT_EQ(F_ferror(log), 1);
  F_fclose(log);
  EXPECT_EQ(Str(bench.Read("log.txt")), "abcde");
  // Item size zero (or no items) reads nothing; item size zero writes nothing but is still a write.
  FlashFile* reader = bench.Open("log.txt", "rb");
  EXPECT_EQ(std::pair(F_fread(buffer, 0, 3, reader), F_fread(buffer, 1, 0, reader)), std::pair(0, 0));
  EXPECT_FAILS_WITH(F_fread(nullptr, 1, 1, reader), -1, kErrInvalidParameter);
  EXPECT_FAILS_WITH(F_fwrite("x", 0, 3, reader), 0, 42);
  EXPECT_EQ(F_ferror(reader), 1);
  F_fclose(reader);
  // Appending: the position still moves to the end, nothing is sent.
  FlashFile* appender = bench.Open("log.txt", "a+");
  bench.ClearTraffic();
  EXPECT_EQ(F_fwrite("x", 0, 3, appender), 0);
  EXPECT_EQ(F_ftell(appender), 5);
  EXPECT_EQ(F_ferror(appender), 0);
  EXPECT_TRUE(bench.Requests(sim::kSubWrite).empty());
  EXPECT_EQ(F_fclose(appender), 0);
}

TEST(FlashFileModes, WriteTruncatesAndReusesTheFreedEntry) {
  FlashBench bench;
  ASSERT_TRUE(bench.Write("first", Pattern(3000, 3)));
  ASSERT_TRUE(bench.Write("second", Pattern(10, 4)));
  const uint16_t old_first = FirstSector(bench.Entry(1));
  ASSERT_TRUE(bench.Write("first", Pattern(7, 5)));
  auto entry = bench.Entry(1);  // the entry the old file vacated
  EXPECT_EQ(Text(entry), "first");
  EXPECT_EQ(EntrySize(entry), 7);
  EXPECT_FALSE(bench.flash().LogicalSector(0, old_first).has_value());  // the old chain is gone
  EXPECT_EQ(bench.Read("first"), Pattern(7, 5));
}

TEST(FlashFileTransfers, ChainGrowthZeroLengthWriteAndOneSizeUpdate) {
  FlashBench bench;
  FlashFile* file = bench.Open("grow.bin", "wb");
  bench.ClearTraffic();
  const auto data = Pattern(2040, 6);
  ASSERT_EQ(F_fwrite(data.data(), 1, 2040, file), 2040);
  size_t entry_updates = 0;  // one, at the end of the write
  for (const auto& request : bench.Requests(sim::kSubWrite))
    entry_updates += request.body[2] == 1 && request.body[3] == 0;
  EXPECT_EQ(entry_updates, 1u);
  EXPECT_EQ(bench.Requests(sim::kSubNew).size(), 1u);
  EXPECT_EQ(EntrySize(bench.Entry(1)), 2040);
  F_fclose(file);
  // Exactly at the end of a sector's data: a zero-length write at 1020 first.
  FlashFile* full = bench.Open("full.bin", "wb");
  ASSERT_EQ(F_fwrite(data.data(), 1, 1020, full), 1020);
  bench.ClearTraffic();
  ASSERT_EQ(F_fwrite(data.data(), 1, 10, full), 10);
  auto writes = bench.Requests(sim::kSubWrite);
  ASSERT_GE(writes.size(), 3u);
  EXPECT_EQ(Bytes(writes[0].body.begin() + 6, writes[0].body.end()), (Bytes{0xFC, 0x03, 0, 0}));
  EXPECT_EQ(writes[1].body[6] | writes[1].body[7] << 8 | writes[1].body[8] << 16, 1020 | 2 << 16);  // the new link
  EXPECT_EQ(writes[2].body[8], 10);  // the data in the new sector
  F_fclose(full);
  // Bit 15 of a fresh sector's link was kept when the chain grew.
  EXPECT_EQ(bench.Sector(FirstSector(bench.Entry(2)))[1021] & 0x80, 0x80);
}

std::vector<int32_t> g_progress;  // each value the callback saw, repeats dropped
int32_t RecordProgress(uint32_t, int32_t progress, uint32_t) {
  if (g_progress.empty() || g_progress.back() != progress) g_progress.push_back(progress);
  return 1;
}

// What the progress callback sees of a write, a read past the end and a
// removal; the location hints sent meanwhile; the entry a removal leaves.
TEST(FlashFileTransfers, ProgressHintsAndTheEntryARemovalLeaves) {
  FlashBench bench;
  RDRHANDLE handle = bench.handle();
  FlashFile* file = bench.Open("0:progress.bin", "w+");
  const sim::FlashStatistics before = bench.flash().Statistics();
  ASSERT_EQ(RDRCallbackSet(handle, RecordProgress, 0), 1);
  const Bytes data = Pattern(2040, 21);
  Bytes back(3060);
  auto watched = [](auto&& run) {
    g_progress.clear();
    run();
    return g_progress;
  };
  using Seen = std::vector<int32_t>;
  EXPECT_EQ(watched([&] { EXPECT_EQ(F_fwrite(data.data(), 1, 2040, file), 2040); }), (Seen{0, -1, 50, 100}));
  ASSERT_EQ(F_fseek(file, 0, 0), 0);
  // Shares of the 3060 bytes asked for, not of the 2040 that remained.
  EXPECT_EQ(watched([&] { EXPECT_EQ(F_fread(back.data(), 1, 3060, file), 2040); }), (Seen{0, -1, 66, 100}));
  ASSERT_EQ(F_fclose(file), 0);
  // The cleared entry's write shows its own 100; then sectors deleted of
  // size / 1020 + 1 (the share after the last deletion is seen by nobody).
  EXPECT_EQ(watched([&] { EXPECT_EQ(F_remove(handle, "0:progress.bin"), 0); }), (Seen{0, -1, 100, 33, 100}));
  ASSERT_EQ(RDRCallbackSet(handle, nullptr, 0), 1);
  // Every hint is the last location the reader returned for the file, so
  // three are stale: the new second sector written and read with the first
  // one's location, and the read restarting at the first sector's id. The
  // links a removal reads go without one.
  const sim::FlashStatistics after = bench.flash().Statistics();
  EXPECT_EQ(after.hints_stale - before.hints_stale, 3u);
  EXPECT_EQ(after.hints_absent - before.hints_absent, 2u);
  EXPECT_EQ(after.hints_current - before.hints_current, 11u);
  Bytes entry(20, 0);  // only the name's first byte is cleared
  std::memcpy(entry.data() + 1, "rogress.bin", 11);
  EXPECT_EQ(bench.Entry(1), entry);
}

TEST(FlashFileTransfers, EndOfFileIsStickyAndSeeksStayInside) {
  FlashBench bench;
  ASSERT_TRUE(bench.Write("ten", Pattern(10, 7)));
  FlashFile* file = bench.Open("ten", "rb");
  char buffer[16] = {};
  ASSERT_EQ(F_fseek(file, 6, 0), 0);
  EXPECT_EQ(F_fread(buffer, 1, 10, file), 4);
  EXPECT_EQ(F_feof(file), 1);
  ASSERT_EQ(F_fseek(file, -4, 1), 0);
  EXPECT_EQ(F_fread(buffer, 10, 1, file), 0);  // four bytes are no whole item of ten
  ASSERT_EQ(F_fseek(file, 0, 0), 0);
  EXPECT_EQ(F_feof(file), 1);  // seeking does not clear it
  EXPECT_EQ(F_fread(buffer, 1, 3, file), 3);
  EXPECT_EQ(F_fseek(file, 0, 2), 0);
  EXPECT_FAILS_WITH(F_fseek(file, 1, 2), -1, 45);
  EXPECT_FAILS_WITH(F_fseek(file, -1, 0), -1, 45);
  EXPECT_EQ(F_ferror(file), 1);
  EXPECT_EQ(F_ftell(file), 10);
  EXPECT_EQ(F_fclose(file), 0);
}

// Reading to the end of a full sector, then writing there: the position must
// stay on the last sector instead of following its end-of-chain link.
TEST(FlashFileTransfers, UpdateModeWritesAfterReadingToTheEndOfAFullSector) {
  FlashBench bench;
  ASSERT_TRUE(bench.Write("edge", Pattern(1020, 8)));
  FlashFile* file = bench.Open("edge", "a+");
  Bytes buffer(2000);
  EXPECT_EQ(F_fread(buffer.data(), 1, 1020, file), 1020);
  EXPECT_EQ(F_fread(buffer.data(), 1, 10, file), 0);
  EXPECT_EQ(F_fwrite("12345", 1, 5, file), 5);
  EXPECT_EQ(F_ferror(file), 0);
  F_fclose(file);
  auto back = bench.Read("edge");
  ASSERT_EQ(back.size(), 1025u);
  EXPECT_EQ(std::string(back.begin() + 1020, back.end()), "12345");
}

TEST(FlashDirectory, The52ndEntryGrowsTheDirectoryIntoASecondSector) {
  FlashBench bench;
  for (int i = 1; i <= 50; ++i) ASSERT_TRUE(bench.Write("f" + std::to_string(i), Pattern(i, i)));
  EXPECT_EQ(bench.Sector(sim::kDirectorySector)[1020], 0xFF);  // 51 entries still fit one sector
  ASSERT_TRUE(bench.Write("f51", Pattern(51, 51)));
  const uint16_t second = Link(bench.Sector(sim::kDirectorySector));
  EXPECT_EQ(EntrySize(bench.Entry(0)), 52 * 20);
  EXPECT_EQ(Text(bench.Sector(second)), "f51");
  bench.Reopen();
  for (int i = 1; i <= 51; ++i) EXPECT_EQ(bench.Read("f" + std::to_string(i)), Pattern(i, i)) << i;
  // Removing and recreating reuses the freed entry in the second sector.
  ASSERT_EQ(F_remove(bench.handle(), "f51"), 0);
  ASSERT_TRUE(bench.Write("again", Pattern(9, 9)));
  EXPECT_EQ(Text(bench.Sector(second)), "again");
  EXPECT_EQ(EntrySize(bench.Entry(0)), 52 * 20);
}

TEST(FlashDirectory, InterruptedRemovalLeavesTheDirectoryConsistent) {
  FlashBench bench;
  ASSERT_TRUE(bench.Write("victim", Pattern(3000, 10)));
  ASSERT_TRUE(bench.Write("keeper", Pattern(20, 11)));
  bench.flash().InjectStatus(sim::kSubDelete, -121, 1, 1);  // the second deletion fails
  EXPECT_FAILS_WITH(F_remove(bench.handle(), "victim"), -1, 32711);
  EXPECT_EQ(bench.flash().AllocatedSectors(0), 4u);
  bench.Reopen();
  EXPECT_FAILS_WITH(F_fopen(bench.handle(), "victim", "r"), nullptr, 22);
  EXPECT_EQ(bench.Read("keeper"), Pattern(20, 11));
}

TEST(FlashCorruption, LoopingChainFailsCleanly) {
  FlashBench bench;
  RDRHANDLE handle = bench.handle();
  ASSERT_TRUE(bench.Write("loop", Pattern(3000, 12)));
  const uint16_t first = FirstSector(bench.Entry(1));
  const uint16_t second = Link(bench.Sector(first));
  ASSERT_TRUE(bench.flash().SetLink(0, second, first));  // the second sector leads back to the first
  FlashFile* file = bench.Open("loop", "rb");
  Bytes buffer(3000);
  EXPECT_FAILS_WITH(F_fread(buffer.data(), 1, 3000, file), 2040, 32715);
  F_fclose(file);
  // Appending walks the chain too and must not wrap around it.
  FlashFile* append = bench.Open("loop", "ab");
  EXPECT_FAILS_WITH(F_fwrite("x", 1, 1, append), 0, 32715);
  F_fclose(append);
  // Removal deletes each sector of the loop once, then says what was wrong;
  // the third sector, cut off by the damage, stays allocated.
  EXPECT_FAILS_WITH(F_remove(handle, "loop"), -1, 32715);
  EXPECT_EQ(bench.flash().AllocatedSectors(0), 2u);
}

TEST(FlashCorruption, AbsurdDirectoryLengthsFailWithoutWalking) {
  FlashBench bench;
  ASSERT_TRUE(bench.Write("ok", Pattern(4, 13)));
  for (int32_t length : {0x7FFFFFFF, -20, 0, 1030, 0x7FFF * 1020 + 20}) {
    SCOPED_TRACE(length);
    ASSERT_TRUE(bench.flash().SetDirectoryLength(0, length));
    bench.Reopen();
    EXPECT_FAILS_WITH(F_fopen(bench.handle(), "ok", "r"), nullptr, 36);
    EXPECT_LE(bench.Requests(sim::kSubRead).size(), 2u);
  }
  // Mended flash is attached afresh on the same handle.
  ASSERT_TRUE(bench.flash().SetDirectoryLength(0, 40));
  bench.ClearTraffic();
  EXPECT_EQ(bench.Read("ok"), Pattern(4, 13));
  EXPECT_EQ(bench.Requests(sim::kSubInit).size(), 1u);
}

TEST(FlashCorruption, AttachFailingAfterInitLeavesNothingAttached) {
  FlashBench bench;
  bench.flash().InjectStatus(sim::kSubRead, -124);
  EXPECT_FAILS_WITH(F_fopen(bench.handle(), "a", "w"), nullptr, 32708);
  bench.ClearTraffic();
  ASSERT_TRUE(bench.Write("a", Pattern(3, 14)));
  EXPECT_EQ(bench.Requests(sim::kSubInit).size(), 1u);  // attached again, entry 0 read again
  EXPECT_EQ(bench.Requests(sim::kSubNew).at(0).body, Bytes({6, 0, 0, 0, 0, 0, 0, 0, 0, 0}));  // no id, no location hint
  // A negative size field: nothing is appended, and a removal still reports sane progress.
  ASSERT_TRUE(bench.flash().PokeLogical(0, sim::kDirectorySector, 36, Bytes{4, 0xFC, 0xFF, 0xFF}));
  bench.Reopen();
  FlashFile* append = bench.Open("a", "a");
  EXPECT_FAILS_WITH(F_fwrite("x", 1, 1, append), 0, 45);
  F_fclose(append);
  EXPECT_EQ(F_remove(bench.handle(), "a"), 0);
}

TEST(FlashFileObjects, InvalidObjectsAreRefusedWithoutBeingRead) {
  FlashBench bench;
  EXPECT_FAILS_WITH(F_fclose(nullptr), -1, 4);
  FlashFile* file = bench.Open("gone", "w");
  ASSERT_EQ(F_fclose(file), 0);
  // Closed: the pointer is refused before anything reads it (AddressSanitizer
  // would report a read of freed memory).
  char buffer[4] = {};
  EXPECT_FAILS_WITH(F_fread(buffer, 1, 1, file), -1, 4);
  EXPECT_FAILS_WITH(F_ftell(file), -1, 4);
  // A file outliving its reader handle is still released by its close.
  FlashFile* orphan = bench.Open("orphan", "w");
  bench.Close();
  EXPECT_EQ(F_fclose(orphan), -1);
  EXPECT_FAILS_WITH(F_fclose(orphan), -1, 4);
}

// A new handle may be given the address of a closed one: the closed
// handle's files must not reach the new reader through it.
TEST(FlashFileObjects, FilesOfAClosedHandleDoNotReachANewHandleAtItsAddress) {
  FlashBench bench;
  ASSERT_TRUE(bench.Write("keep", {1, 2, 3}));
  FlashFile* file = bench.Open("keep", "r+");
  bench.handle()->serial += 1000;  // stand-in for "closed, and a new handle opened at the same address"
  bench.ClearTraffic();
  EXPECT_FAILS_WITH(F_fwrite("abc", 1, 3, file), -1, 4);
  EXPECT_TRUE(bench.Requests(sim::kSubWrite).empty()) << "nothing written through the stale file";
  EXPECT_EQ(F_fclose(file), -1) << "released as an orphan";
  EXPECT_EQ(bench.Read("keep"), (Bytes{1, 2, 3}));  // the new handle attaches its own directory afresh
}

TEST(FlashFileObjects, NoMemoryForAnOpenIsAnErrorAndSendsNothing) {
  FlashBench bench;
  ASSERT_TRUE(bench.Write("kept", Pattern(5, 18)));
  bench.ClearTraffic();
  for (int32_t countdown : {1, 2}) {  // the file object, then its chain walk
    SetAllocationFailureCountdown(countdown);
    EXPECT_FAILS_WITH(F_fopen(bench.handle(), "new.bin", "w"), nullptr, 6);
    SetAllocationFailureCountdown(0);
  }
  EXPECT_TRUE(bench.Requests(sim::kSubNew).empty() && bench.Requests(sim::kSubWrite).empty());
  EXPECT_EQ(bench.Read("kept"), Pattern(5, 18));  // the handle was left unlocked and usable
}

const nlohmann::json kTwoChips = {{"sectors_per_chip", 600}, {"logical_chips", {0, 1}}};

TEST(FlashCopy, ThreePassesAndProgressEndingAt99) {
  TempDir dir;
  testing_support::TraceCapture trace;
  FlashBench bench(kTwoChips);
  WriteFile(dir.File("app.bin"), Str(Pattern(20401, 3)));
  EXPECT_EQ(F_cp(bench.handle(), dir.File("app.bin").c_str(), "0:app.bin"), 20401);
  EXPECT_EQ(bench.handle()->progress, 99);  // 20401 * 100 / 20402
  // The passes' writes, as their traced counts show: 10200, 10200 and 1 bytes.
  const std::string text = trace.Read();
  std::vector<std::string> counts;
  for (size_t at = text.find("enter F_fwrite("); at != std::string::npos; at = text.find("enter F_fwrite(", at + 1)) {
    const size_t items = text.find("items=", at);
    counts.push_back(text.substr(items, text.find('\r', items) - items));
  }
  EXPECT_EQ(counts, (std::vector<std::string>{"items=0x27d8", "items=0x27d8", "items=0x1"}));
  // Reader to reader, across chips (each copy step attaches the other directory), and back.
  WriteFile(dir.File("out"), "left over from before");  // truncated by the copy
  EXPECT_EQ(F_cp(bench.handle(), "0:app.bin", "1:copy"), 20401);
  EXPECT_EQ(F_cp(bench.handle(), "1:copy", dir.File("out").c_str()), 20401);
  EXPECT_TRUE(ReadFile(dir.File("out")) == Str(Pattern(20401, 3)));
  WriteFile(dir.File("empty"), "");  // one pass that reads nothing
  EXPECT_EQ(F_cp(bench.handle(), dir.File("empty").c_str(), "0:empty"), 0);
}

TEST(FlashCopy, FailuresNameTheSideThatFailed) {
  TempDir dir;
  FlashBench bench(kTwoChips);
  RDRHANDLE handle = bench.handle();
  const std::string source = dir.File("src.bin"), keep = dir.File("keep.bin"), folder = dir.path().string();
  WriteFile(source, Str(Pattern(30000, 4)));
  EXPECT_FAILS_WITH(F_cp(handle, dir.File("missing").c_str(), "0:x"), -1, kErrLocalOpen);
  EXPECT_FAILS_WITH(F_cp(handle, "0:missing", dir.File("y").c_str()), -1, kErrLocalOpen);
  EXPECT_FAILS_WITH(F_cp(handle, "0:x", ""), -1, kErrInvalidParameter);
  ASSERT_EQ(F_cp(handle, source.c_str(), "0:src.bin"), 30000);
  // A folder is no file: refused before the reader sees a request.
  const uint64_t sector_requests = bench.flash().Statistics().sector_requests;
  EXPECT_FAILS_WITH(F_cp(handle, folder.c_str(), "0:x"), -1, kErrLocalRead);
  EXPECT_FAILS_WITH(F_cp(handle, "0:src.bin", folder.c_str()), -1, kErrLocalWrite);
  EXPECT_EQ(bench.flash().Statistics().sector_requests, sector_requests);
  EXPECT_FAILS_WITH(F_cp(handle, "0:src.bin", (folder + "/no/such/dir").c_str()), -1, kErrLocalOpen);
  WriteFile(keep, "keep");
  SetAllocationFailureCountdown(1);  // no transfer buffer: neither file is touched
  EXPECT_FAILS_WITH(F_cp(handle, "0:src.bin", keep.c_str()), -1, kErrNoMemory);
  SetAllocationFailureCountdown(0);
  EXPECT_EQ(ReadFile(keep), "keep");
  // Two entry reads to open, 19 reads in the first pass and 20 in the second:
  // the 46th read fails in the last pass, the one that also reaches the end.
  for (uint32_t failing : {45, 3}) {  // in the last pass, and in the first
    bench.flash().InjectStatus(sim::kSubRead, -122, failing, 1);
    EXPECT_FAILS_WITH(F_cp(handle, "0:src.bin", dir.File("back.bin").c_str()), -1, kErrLocalRead);
  }
  bench.flash().InjectStatus(sim::kSubWrite, -122, 3, 1);
  EXPECT_FAILS_WITH(F_cp(handle, source.c_str(), "0:other.bin"), -1, kErrLocalWrite);
}

}  // namespace
