// Bulk work through the library: F_cp of 1 MiB each way, the protocol-1
// flash image restore at two image sizes, and the console's whole update of
// a simulated unit. CPU time per MiB and peak memory are the figures.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "reader/flash.h"
#include "reader/rdr.h"
#include "sim/firmware_files.h"
#include "transport/usb.h"
#include "updater/engine.h"
#include "updater/session_log.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kMiB = 1024 * 1024;
// Data bytes of one flash file system sector (its chain link takes the rest).
constexpr double kSectorDataBytes = 1020;

// A fresh folder under the system's temporary folder, removed at the end.
class Scratch {
 public:
  Scratch() {
    std::string pattern = (fs::temp_directory_path() / "quorvel-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  std::string File(const std::string& name) const { return (path_ / name).string(); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 13 + (i >> 10));
  return data;
}

// Discards the engine's session log lines: the benchmarks measure the work.
class QuietSessionLog final : public SessionLogSink {
 public:
  QuietSessionLog() { SetSessionLogSink(this); }
  ~QuietSessionLog() override { SetSessionLogSink(nullptr); }
  QuietSessionLog(const QuietSessionLog&) = delete;
  QuietSessionLog& operator=(const QuietSessionLog&) = delete;
  void Line(const char*, const char*) override {}
  void Text(const char*) override {}
};

void RunCopy(benchmark::State& state, bool to_unit) {
  Scratch scratch;
  bench::Bus bus;
  sim::Unit& unit = bus.AddUnit(bench::WrUnit("C0001", 2400));
  RDRHANDLE handle = RDROpenUSB(unit.DevicePath().c_str());
  const std::string local = scratch.File("local.bin");
  WriteBytes(local, Pattern(kMiB));
  if (!to_unit && F_cp(handle, local.c_str(), "0:bench.bin") != static_cast<int32_t>(kMiB)) {
    state.SkipWithError("cannot place the file on the unit");
  }
  const std::string from = to_unit ? local : "0:bench.bin";
  const std::string to = to_unit ? "0:bench.bin" : scratch.File("back.bin");
  const uint64_t requests_before = unit.requests_received();
  for (auto _ : state) {
    if (F_cp(handle, from.c_str(), to.c_str()) != static_cast<int32_t>(kMiB)) state.SkipWithError("F_cp failed");
  }
  const double copies = static_cast<double>(state.iterations());
  const double requests = static_cast<double>(unit.requests_received() - requests_before);
  state.counters["exchanges_per_sector"] = requests / copies / (static_cast<double>(kMiB) / kSectorDataBytes);
  // CPU seconds / (copies / 1000): milliseconds per copied MiB.
  state.counters["cpu_ms_per_MiB"] =
      benchmark::Counter(copies / 1e3, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  RDRClose(handle);
}

void BM_CopyToUnit(benchmark::State& state) { RunCopy(state, true); }
void BM_CopyFromUnit(benchmark::State& state) { RunCopy(state, false); }

// Each restore runs in a child process, so the peak resident set is that of
// one restore of one image size.
void BM_RestoreFlash(benchmark::State& state) {
  const size_t bytes = static_cast<size_t>(state.range(0)) * 1024;
  Scratch scratch;
  const std::string image = scratch.File("boot.bin");
  WriteBytes(image, sim::FlashImage(1, bytes, 7));
  bench::ChildUsage usage;
  for (auto _ : state) {
    usage = bench::RunInChild([&] {
      QuietSessionLog quiet;
      bench::Bus bus;
      bus.AddUnit(bench::Fx2Unit("R0001", static_cast<uint32_t>(bytes / 1024 + 64)));
      g_UseOldTransferProtocol = true;
      return RestoreFlash(RT::BaseString("%s", image.c_str())) == 0 ? 0 : 1;
    });
    if (!usage.ok) state.SkipWithError("restore failed");
    state.SetIterationTime(usage.cpu_seconds);
  }
  state.counters["cpu_ms_per_MiB"] = 1e3 * usage.cpu_seconds / (static_cast<double>(bytes) / kMiB);
  state.counters["peak_rss_MiB"] = usage.peak_rss_mib;
}

// The console program in a working directory like the demo's: the sample
// firmware files and a WR-series unit in its factory state, on virtual time.
void BM_ConsoleUpdate(benchmark::State& state) {
  bench::ChildUsage usage;
  for (auto _ : state) {
    state.PauseTiming();
    Scratch scratch;
    fs::create_directories(scratch.path() / "units");
    fs::create_directories(scratch.path() / "files");
    fs::copy_file(QUORVEL_SOURCE_DIR "/examples/QuorvelFirmwareUpdater.ini",
                  scratch.File("QuorvelFirmwareUpdater.ini"));
    fs::copy_file(QUORVEL_SOURCE_DIR "/examples/units/wr-series.json", scratch.File("units/wr-series.json"));
    for (const sim::SampleFile& file : sim::DemoFirmwareFiles())
      WriteBytes(scratch.File("files/" + file.name), file.contents);
    state.ResumeTiming();
    usage = bench::RunInChild([&] {
      if (::chdir(scratch.path().c_str()) != 0) return 1;
      ::setenv("QUORVEL_SIM_DIR", scratch.File("units").c_str(), 1);
      ::setenv("QUORVEL_SIM_CLOCK", "virtual", 1);
      if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
      ::execl(QUORVEL_CONSOLE_BINARY, QUORVEL_CONSOLE_BINARY, static_cast<char*>(nullptr));
      return 127;
    });
    if (!usage.ok) state.SkipWithError("the console's update failed");
    state.SetIterationTime(usage.cpu_seconds);
  }
  state.counters["cpu_ms"] = 1e3 * usage.cpu_seconds;
  state.counters["peak_rss_MiB"] = usage.peak_rss_mib;
}

BENCHMARK(BM_CopyToUnit)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyFromUnit)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RestoreFlash)->Arg(1536)->Arg(6144)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConsoleUpdate)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
