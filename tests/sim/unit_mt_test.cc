// The simulated bus used from several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sim/wire.h"
#include "tests/support/sim_bench.h"
#include "tests/support/sim_host.h"

namespace {

using testing_support::ServiceBody;
using testing_support::SimBench;
using testing_support::SimHost;

TEST(SimThreads, HostsOnTwoUnitsWhileAThirdThreadWatchesTheBus) {
  SimBench bench;
  sim::Unit& first = bench.AddUnit(testing_support::WrUnitConfig("A"));
  sim::Unit& second = bench.AddUnit(testing_support::Fx2UnitConfig("B"));
  constexpr int kExchanges = 200;
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  auto talk = [&](sim::Unit& unit, std::string expected) {
    SimHost host(unit.DevicePath());
    for (int i = 0; i < kExchanges; ++i) {
      auto reply = host.Exchange(14, ServiceBody(6));
      if (!reply || sim::ReadText(reply->body, 8, 32) != expected) ++failures;
    }
  };
  std::thread watcher([&] {
    for (int i = 0; i < 100000 && !done; ++i) {
      bench.backend().EnumerateInterfaces(platform::usb::InterfaceClass::kReader);
      first.traffic();
      second.status_word();
    }
  });
  std::thread a(talk, std::ref(first), "FW41580-01-02");
  std::thread b(talk, std::ref(second), "FW41144-02-07");
  a.join();
  b.join();
  done = true;
  watcher.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(sim::Requests(first.traffic()).size(), size_t{kExchanges});
  EXPECT_EQ(sim::Requests(second.traffic()).size(), size_t{kExchanges});
}

}  // namespace
