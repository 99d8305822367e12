// One small exchange through the library against the same two transfers
// issued straight to the simulated device, and a traced exchange against an
// untraced one.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <vector>

#include "bench/bench_support.h"
#include "platform/usb.h"
#include "reader/handle.h"
#include "reader/rdr.h"
#include "sim/wire.h"
#include "trace/trace.h"
#include "transport/usb.h"

namespace {

// The unit's API version request: no body, a two-byte reply.
constexpr uint8_t kApiVersionCommand = 120;

RDRHANDLE OpenReader(sim::Unit& unit) {
  RDRHANDLE handle = RDROpenUSB(unit.DevicePath().c_str());
  if (handle == InvalidReaderHandle()) throw std::runtime_error("cannot open " + unit.name());
  return handle;
}

// Out of line so that callgrind can count exactly these loops
// (scripts/bench --instructions).
[[gnu::noinline]] bool LibraryExchanges(RDRHANDLE handle, int64_t count) {
  std::array<uint8_t, 64> reply{};
  bool ok = true;
  for (int64_t i = 0; i < count; ++i) {
    RDRMSGHDR ohdr{0, kApiVersionCommand, 0};
    RDRMSGHDR ihdr{static_cast<uint16_t>(reply.size()), 0, 0};
    ok &= RDRSendReceive(handle, &ohdr, nullptr, &ihdr, reply.data()) != 0;
  }
  return ok;
}

[[gnu::noinline]] bool BareExchanges(platform::usb::Device& device, const sim::UnitConfig& config,
                                     std::span<const uint8_t> request, std::span<uint8_t> buffer, int64_t count) {
  using platform::usb::WaitResult;
  bool ok = true;
  for (int64_t i = 0; i < count; ++i) {
    uint32_t moved = 0;
    ok &= device.IssueWrite(config.out_pipe, request) && device.WaitWrite(5000, &moved) == WaitResult::kDone;
    ok &= device.IssueRead(config.in_pipe, buffer) && device.WaitRead(5, &moved) == WaitResult::kDone;
  }
  return ok;
}

// One side of a comparison with everything it needs open; `run` issues
// `count` exchanges and says whether all succeeded.
class ExchangeSide {
 public:
  explicit ExchangeSide(bench::ExchangeKind kind) : unit_(bus_.AddUnit(bench::WrUnit("X0001"))) {
    RDRHANDLE handle = OpenReader(unit_);
    if (kind == bench::ExchangeKind::kBare) {
      // The library's first read length, so both sides ask for the same bytes.
      buffer_.resize(static_cast<size_t>(handle->first_read_length));
      RDRClose(handle);
      request_ = sim::FrameRequest(kApiVersionCommand, {});
      device_ = platform::usb::GetBackend()->Open(unit_.DevicePath());
      if (!device_) throw std::runtime_error("cannot open the device");
      return;
    }
    handle_ = handle;
    if (kind == bench::ExchangeKind::kTraced) {
      log_path_ = std::filesystem::temp_directory_path() / "quorvel-bench-trace.log";
      log_ = LogOpen(log_path_.c_str(), kTraceDetail);
      RDRLogSet(handle_, log_);
    }
  }
  ~ExchangeSide() {
    if (handle_ != nullptr) RDRClose(handle_);
    if (log_ != nullptr) {
      LogClose(log_);
      std::filesystem::remove(log_path_);
    }
  }
  ExchangeSide(const ExchangeSide&) = delete;
  ExchangeSide& operator=(const ExchangeSide&) = delete;

  bool Run(int64_t count) {
    return device_ ? BareExchanges(*device_, unit_.config(), request_, buffer_, count)
                   : LibraryExchanges(handle_, count);
  }

 private:
  bench::Bus bus_;
  sim::Unit& unit_;
  RDRHANDLE handle_ = nullptr;
  LOGHANDLE log_ = nullptr;
  std::filesystem::path log_path_;
  std::unique_ptr<platform::usb::Device> device_;
  std::vector<uint8_t> request_;
  std::vector<uint8_t> buffer_;
};

void RunSide(benchmark::State& state, bench::ExchangeKind kind) {
  ExchangeSide side(kind);
  for (auto _ : state) {
    if (!side.Run(1)) state.SkipWithError("exchange failed");
  }
}

void BM_BareLoop(benchmark::State& state) { RunSide(state, bench::ExchangeKind::kBare); }
void BM_Exchange(benchmark::State& state) { RunSide(state, bench::ExchangeKind::kUntraced); }
void BM_ExchangeTraced(benchmark::State& state) { RunSide(state, bench::ExchangeKind::kTraced); }

BENCHMARK(BM_BareLoop);
BENCHMARK(BM_Exchange);
BENCHMARK(BM_ExchangeTraced);

}  // namespace

namespace bench {

bool RunExchanges(ExchangeKind kind, int64_t count) {
  ExchangeSide side(kind);
  return side.Run(count);
}

}  // namespace bench
