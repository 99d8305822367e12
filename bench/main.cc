// Runs the benchmarks, then prints each ratio against its baseline from the
// same run: absolute times on a shared machine drift, ratios much less.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_support.h"

namespace {

// Keeps every run's CPU time per iteration and its counters by name.
class RecordingReporter final : public benchmark::ConsoleReporter {
 public:
  struct Result {
    double cpu_ns = 0;
    std::map<std::string, double> counters;
  };

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      Result& result = results_[run.benchmark_name()];
      result.cpu_ns = run.GetAdjustedCPUTime();
      for (const auto& [name, counter] : run.counters) result.counters[name] = counter.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  const Result* Find(const std::string& name) const {
    auto found = results_.find(name);
    return found == results_.end() ? nullptr : &found->second;
  }

 private:
  std::map<std::string, Result> results_;
};

struct Ratio {
  const char* label;
  const char* measured;
  const char* baseline;
  const char* goal;
};

constexpr Ratio kRatios[] = {
    {"exchange / bare transfers", "BM_Exchange", "BM_BareLoop", "<= 1.5"},
    {"traced (0x600) / untraced exchange", "BM_ExchangeTraced", "BM_Exchange", "<= 4"},
};

struct Figure {
  const char* label;
  const char* benchmark;
  const char* counter;
  const char* unit;
};

constexpr Figure kFigures[] = {
    {"F_cp host -> unit, CPU per MiB", "BM_CopyToUnit", "cpu_ms_per_MiB", "ms"},
    {"F_cp host -> unit, exchanges per sector", "BM_CopyToUnit", "exchanges_per_sector", ""},
    {"F_cp unit -> host, CPU per MiB", "BM_CopyFromUnit", "cpu_ms_per_MiB", "ms"},
    {"F_cp unit -> host, exchanges per sector", "BM_CopyFromUnit", "exchanges_per_sector", ""},
    {"RestoreFlash 1.5 MiB, CPU per MiB", "BM_RestoreFlash/1536/iterations:3", "cpu_ms_per_MiB", "ms"},
    {"RestoreFlash 6 MiB, CPU per MiB", "BM_RestoreFlash/6144/iterations:3", "cpu_ms_per_MiB", "ms"},
    {"RestoreFlash 1.5 MiB, peak RSS", "BM_RestoreFlash/1536/iterations:3", "peak_rss_MiB", "MiB"},
    {"RestoreFlash 6 MiB, peak RSS", "BM_RestoreFlash/6144/iterations:3", "peak_rss_MiB", "MiB"},
    {"console update (virtual clock), CPU", "BM_ConsoleUpdate/iterations:3", "cpu_ms", "ms"},
    {"console update, peak RSS", "BM_ConsoleUpdate/iterations:3", "peak_rss_MiB", "MiB"},
};

// Same-run ratios of two counters: flat in the image size means near 1.
struct CounterRatio {
  const char* label;
  const char* measured;
  const char* baseline;
  const char* counter;
  const char* goal;
};

constexpr CounterRatio kCounterRatios[] = {
    {"RestoreFlash CPU per MiB, 6 / 1.5 MiB", "BM_RestoreFlash/6144/iterations:3", "BM_RestoreFlash/1536/iterations:3",
     "cpu_ms_per_MiB", "~1 (linear)"},
};

void PrintTable(const RecordingReporter& reporter) {
  std::printf("\n%-44s %12s  %s\n", "ratio", "value", "goal");
  for (const Ratio& ratio : kRatios) {
    const auto* measured = reporter.Find(ratio.measured);
    const auto* baseline = reporter.Find(ratio.baseline);
    if (measured == nullptr || baseline == nullptr || baseline->cpu_ns <= 0) continue;
    std::printf("%-44s %11.2fx  %s\n", ratio.label, measured->cpu_ns / baseline->cpu_ns, ratio.goal);
  }
  for (const CounterRatio& ratio : kCounterRatios) {
    const auto* measured = reporter.Find(ratio.measured);
    const auto* baseline = reporter.Find(ratio.baseline);
    if (measured == nullptr || baseline == nullptr) continue;
    const double base = baseline->counters.count(ratio.counter) ? baseline->counters.at(ratio.counter) : 0;
    if (base <= 0) continue;
    std::printf("%-44s %11.2fx  %s\n", ratio.label, measured->counters.at(ratio.counter) / base, ratio.goal);
  }
  // The simulated unit keeps the image in its flash: one copy per MiB is
  // the unit's, anything above it the host's.
  const auto* small = reporter.Find("BM_RestoreFlash/1536/iterations:3");
  const auto* large = reporter.Find("BM_RestoreFlash/6144/iterations:3");
  if (small != nullptr && large != nullptr && small->counters.count("peak_rss_MiB") != 0) {
    const double growth = (large->counters.at("peak_rss_MiB") - small->counters.at("peak_rss_MiB")) / 4.5;
    std::printf("%-44s %11.2fx  %s\n", "RestoreFlash peak RSS growth per image MiB", growth, "~1 (the unit's copy)");
  }
  std::printf("\n%-44s %12s\n", "figure", "value");
  for (const Figure& figure : kFigures) {
    const auto* result = reporter.Find(figure.benchmark);
    if (result == nullptr || result->counters.count(figure.counter) == 0) continue;
    std::printf("%-44s %12.2f %s\n", figure.label, result->counters.at(figure.counter), figure.unit);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // "--exchanges=KIND:COUNT" (bare, untraced or traced): only that loop, for
  // callgrind, which counts instructions repeatably on a busy machine.
  if (argc == 2 && std::strncmp(argv[1], "--exchanges=", 12) == 0) {
    const std::string spec = argv[1] + 12;
    const size_t colon = spec.find(':');
    const std::string kind = spec.substr(0, colon);
    const long long count = colon == std::string::npos ? 1000 : std::atoll(spec.c_str() + colon + 1);
    const bench::ExchangeKind kinds[] = {bench::ExchangeKind::kBare, bench::ExchangeKind::kUntraced,
                                         bench::ExchangeKind::kTraced};
    const char* names[] = {"bare", "untraced", "traced"};
    for (size_t i = 0; i < 3; ++i) {
      if (kind == names[i]) return bench::RunExchanges(kinds[i], count) ? 0 : 1;
    }
    std::fprintf(stderr, "unknown exchange kind %s (bare, untraced, traced)\n", kind.c_str());
    return 2;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  PrintTable(reporter);
  return 0;
}
