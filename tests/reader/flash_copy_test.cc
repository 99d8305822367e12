// F_cp between host files and reader files, through a simulated unit whose
// flash persists in a state folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "reader/flash.h"
#include "reader/frame.h"
#include "sim/flash_model.h"
#include "tests/support/expect_error.h"
#include "tests/support/sim_bench.h"
#include "tests/support/trace_capture.h"

namespace {

using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

std::string Pattern(size_t size, uint32_t seed) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 37 + seed * 11 + (i >> 9)) & 0xFF);
  return data;
}

// One unit with two flash chips on a fresh bus; with a state folder, its
// flash outlives the bench as it would outlive a process.
class CopyBench {
 public:
  explicit CopyBench(const std::filesystem::path& state = {}) {
    sim::UnitConfig config = testing_support::WrUnitConfig();
    config.flash = {{"sectors_per_chip", 600}, {"logical_chips", {0, 1}}};
    unit_ = bench_.backend().AddUnit(std::move(config), state);
    handle_ = bench_.Open(*unit_);
  }
  RDRHANDLE handle() const { return handle_.get(); }
  sim::FlashModel& flash() { return unit_->flash(); }

 private:
  testing_support::SimBench bench_;
  std::shared_ptr<sim::Unit> unit_;
  testing_support::ReaderOwner handle_;
};

TEST(FlashCopy, RoundTripsSurviveANewUnitOnTheSameState) {
  TempDir dir;
  const auto state = dir.path() / "state";
  const std::vector<size_t> sizes = {0, 1, 1019, 1020, 1021, 10200, 10201, 100 * 1024};
  {
    CopyBench bench(state);
    for (size_t i = 0; i < sizes.size(); ++i) {
      const std::string source = dir.File("in" + std::to_string(i));
      WriteFile(source, Pattern(sizes[i], static_cast<uint32_t>(i)));
      const std::string target = "0:f" + std::to_string(i);
      EXPECT_EQ(F_cp(bench.handle(), source.c_str(), target.c_str()), static_cast<int32_t>(sizes[i])) << i;
    }
  }
  CopyBench reopened(state);
  for (size_t i = 0; i < sizes.size(); ++i) {
    SCOPED_TRACE(sizes[i]);
    const std::string back = dir.File("out" + std::to_string(i));
    WriteFile(back, "left over from before");  // truncated by the copy
    const std::string source = "0:f" + std::to_string(i);
    EXPECT_EQ(F_cp(reopened.handle(), source.c_str(), back.c_str()), static_cast<int32_t>(sizes[i]));
    EXPECT_TRUE(ReadFile(back) == Pattern(sizes[i], static_cast<uint32_t>(i)));
  }
  // Reader to reader, across chips (each copy step attaches the other directory).
  EXPECT_EQ(F_cp(reopened.handle(), "0:f7", "1:copy"), 100 * 1024);
  EXPECT_EQ(F_cp(reopened.handle(), "1:copy", dir.File("via1").c_str()), 100 * 1024);
  EXPECT_TRUE(ReadFile(dir.File("via1")) == Pattern(100 * 1024, 7));
}

TEST(FlashCopy, ThreePassesAndProgressEndingAt99) {
  TempDir dir;
  testing_support::TraceCapture trace(kTraceEntry);
  CopyBench bench;
  const std::string source = dir.File("app.bin");
  WriteFile(source, Pattern(20401, 3));
  EXPECT_EQ(F_cp(bench.handle(), source.c_str(), "0:app.bin"), 20401);
  EXPECT_EQ(bench.handle()->progress, 99);  // 20401 * 100 / 20402
  const std::string text = trace.Read();
  size_t passes = 0;
  for (size_t at = text.find("enter F_fwrite("); at != std::string::npos; at = text.find("enter F_fwrite(", at + 1)) {
    ++passes;
  }
  EXPECT_EQ(passes, 3u);  // 10200, 10200 and 1 bytes
}

TEST(FlashCopy, FailuresNameTheSideThatFailed) {
  TempDir dir;
  CopyBench bench;
  RDRHANDLE handle = bench.handle();
  const std::string source = dir.File("src.bin");
  WriteFile(source, Pattern(30000, 4));

  EXPECT_FAILS_WITH(F_cp(handle, nullptr, "0:x"), -1, kErrInvalidParameter);
  EXPECT_FAILS_WITH(F_cp(handle, source.c_str(), ""), -1, kErrInvalidParameter);
  EXPECT_FAILS_WITH(F_cp(handle, dir.File("missing").c_str(), "0:x"), -1, kErrLocalOpen);
  EXPECT_FAILS_WITH(F_cp(handle, "0:missing", dir.File("y").c_str()), -1, kErrLocalOpen);
  EXPECT_FAILS_WITH(F_cp(handle, source.c_str(), (dir.path() / "no" / "such" / "dir").string().c_str()), -1,
                    kErrLocalOpen);

  ASSERT_EQ(F_cp(handle, source.c_str(), "0:src.bin"), 30000);
  // A folder is no file: refused before the reader sees a request.
  const uint64_t sector_requests = bench.flash().Statistics().sector_requests;
  EXPECT_FAILS_WITH(F_cp(handle, dir.path().string().c_str(), "0:x"), -1, kErrLocalRead);
  EXPECT_FAILS_WITH(F_cp(handle, "0:src.bin", dir.path().string().c_str()), -1, kErrLocalWrite);
  EXPECT_EQ(bench.flash().Statistics().sector_requests, sector_requests);
  const std::string keep = dir.File("keep.bin");
  WriteFile(keep, "keep");
  // No transfer buffer: neither file is touched.
  SetAllocationFailureCountdown(1);
  EXPECT_FAILS_WITH(F_cp(handle, "0:src.bin", keep.c_str()), -1, kErrNoMemory);
  SetAllocationFailureCountdown(0);
  EXPECT_EQ(ReadFile(keep), "keep");
}

TEST(FlashCopy, SectorFailuresFailTheCopy) {
  TempDir dir;
  CopyBench bench;
  RDRHANDLE handle = bench.handle();
  const std::string source = dir.File("src.bin");
  WriteFile(source, Pattern(30000, 5));
  ASSERT_EQ(F_cp(handle, source.c_str(), "0:src.bin"), 30000);

  // Two entry reads to open, 19 reads in the first pass and 20 in the second:
  // the 46th read fails in the last pass, the one that also reaches the end.
  bench.flash().InjectStatus(sim::kSubRead, -122, 45, 1);
  EXPECT_FAILS_WITH(F_cp(handle, "0:src.bin", dir.File("back.bin").c_str()), -1, kErrLocalRead);

  bench.flash().InjectStatus(sim::kSubWrite, -122, 3, 1);
  EXPECT_FAILS_WITH(F_cp(handle, source.c_str(), "0:other.bin"), -1, kErrLocalWrite);
}

}  // namespace
