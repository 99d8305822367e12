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

TEST(SimThreads, AReadWaitingOnOneThreadCompletesWhenAnotherWrites) {
  SimBench bench;
  sim::Unit& unit = bench.AddUnit();
  SimHost host(unit.DevicePath());
  std::vector<uint8_t> buffer(512);
  ASSERT_TRUE(host.device().IssueRead(0x81, buffer));
  std::atomic<bool> written{false};
  std::thread writer([&] {
    std::vector<uint8_t> request = sim::FrameRequest(14, ServiceBody(6));
    if (host.device().IssueWrite(0x02, request)) {
      uint32_t count = 0;
      written = host.device().WaitWrite(1000, &count) == platform::usb::WaitResult::kDone;
    }
  });
  uint32_t count = 0;
  platform::usb::WaitResult result = platform::usb::WaitResult::kPending;
  // Waits on virtual time take no real time: keep waiting until the writer
  // has run (bounded), after which the reply must be there.
  for (int i = 0; i < 10000000 && result == platform::usb::WaitResult::kPending; ++i) {
    const bool writer_done = written;
    result = host.device().WaitRead(1, &count);
    if (writer_done) break;
    std::this_thread::yield();
  }
  writer.join();
  EXPECT_TRUE(written);
  ASSERT_EQ(result, platform::usb::WaitResult::kDone);
  EXPECT_EQ(count, 64u);
  EXPECT_EQ(sim::ReadText(buffer, 12, 32), "FW41580-01-02");
}

}  // namespace
