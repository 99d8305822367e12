// Replays every seed of the fuzz corpora and every reproducer of a past fuzz
// finding through the fuzz targets' bodies, in the ordinary test builds (the
// sanitizer preset turns a memory fault into a failure; the targets trap on
// a broken promise of the code under them).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz/targets.h"

namespace {

struct Target {
  const char* name;
  int (*body)(const uint8_t*, size_t);
};

constexpr Target kTargets[] = {
    {"serial_receive", fuzz::SerialReceive}, {"settings", fuzz::Settings}, {"unit_config", fuzz::UnitConfig},
    {"hostile_unit", fuzz::HostileUnit},     {"flashfs", fuzz::FlashFs},   {"restore", fuzz::Restore},
};

std::vector<std::filesystem::path> FilesIn(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> files;
  if (!std::filesystem::is_directory(folder)) return files;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

TEST(FuzzReplay, EveryCorpusFileAndReproducerRunsClean) {
  const std::filesystem::path root = QUORVEL_SOURCE_DIR;
  for (const Target& target : kTargets) {
    const auto seeds = FilesIn(root / "fuzz/corpus" / target.name);
    // An empty or misnamed corpus would make this test pass on nothing.
    EXPECT_FALSE(seeds.empty()) << target.name;
    auto files = seeds;
    const auto reproducers = FilesIn(root / "tests/fuzz/regressions" / target.name);
    files.insert(files.end(), reproducers.begin(), reproducers.end());
    for (const auto& path : files) {
      SCOPED_TRACE(path.string());
      std::ifstream in(path, std::ios::binary);
      const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      EXPECT_EQ(target.body(bytes.data(), bytes.size()), 0);
      // The unit's answers in these seeds were recorded from a simulated
      // unit; if the library's open asks differently now, they go stale.
      if (target.body == fuzz::HostileUnit && path.parent_path().filename() == "hostile_unit" &&
          path.string().find("/corpus/") != std::string::npos) {
        EXPECT_GT(fuzz::HostileUnitOperationsRun(), 0) << "the seed no longer opens the reader";
      }
    }
  }
}

}  // namespace
