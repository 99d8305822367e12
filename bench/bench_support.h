// What every benchmark sets up: a simulated bus on virtual time with units
// built in code, a WR-series unit model, and a forked run whose CPU time and
// peak memory are the child's alone.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "sim/unit.h"
#include "sim/unit_config.h"
#include "sim/usb_backend.h"

namespace bench {

// A WR-series unit (packet transfers, FX3 controller) and an FX2-based one
// (raw sector restore); flash_sectors sizes chip 0 of the flash model.
sim::UnitConfig WrUnit(const std::string& serial, uint32_t flash_sectors = 600);
sim::UnitConfig Fx2Unit(const std::string& serial, uint32_t flash_sectors = 600);

// Installs a virtual clock and a simulated backend for its lifetime.
class Bus {
 public:
  Bus();
  ~Bus();
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  // Units keep no traffic record here: the benchmarks measure the library.
  sim::Unit& AddUnit(sim::UnitConfig config);

 private:
  platform::VirtualClock clock_;
  platform::ScopedClock scoped_clock_;
  std::shared_ptr<sim::SimulatedBackend> backend_;
};

struct ChildUsage {
  bool ok = false;          // the child exited with status 0
  double cpu_seconds = 0;   // user + system
  double peak_rss_mib = 0;  // the child's largest resident set
};

enum class ExchangeKind { kBare, kUntraced, kTraced };
// `count` small exchanges of one kind outside the benchmark loop, for an
// instruction count (defined with the exchange benchmarks).
bool RunExchanges(ExchangeKind kind, int64_t count);

// Runs `work` in a forked child (its return value is the exit status).
ChildUsage RunInChild(const std::function<int()>& work);

}  // namespace bench
