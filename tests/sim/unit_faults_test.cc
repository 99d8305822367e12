// What a unit does on the bus that the library's own tests cannot see: its
// IN endpoint queue, each fault switch, malformed requests, exclusive opens
// and the soft boot's departure and return, from a bare host.
#include <gtest/gtest.h>

#include <cerrno>

#include "platform/system.h"
#include "sim/wire.h"
#include "tests/support/sim_bench.h"
#include "tests/support/sim_host.h"

namespace {

using platform::usb::InterfaceClass;
using platform::usb::WaitResult;
using testing_support::ServiceBody;
using testing_support::SimHost;

constexpr uint32_t Errno(int value) { return static_cast<uint32_t>(value); }
constexpr const char* kName = "FW41580-01-02";

class SimUnitBus : public ::testing::Test {
 protected:
  SimUnitBus() : unit_(bench_.AddUnit()), host_(unit_.DevicePath()) {}

  // The firmware name a reply carries, or "" when none came.
  std::string NameOf(const std::optional<SimHost::Reply>& reply) {
    return reply && reply->body.size() >= 40 ? sim::ReadText(reply->body, 8, 32) : "";
  }
  std::string AskName(size_t first_read = 512) { return NameOf(host_.Exchange(14, ServiceBody(6), first_read)); }
  bool Listed() { return !bench_.backend().EnumerateInterfaces(InterfaceClass::kReader)->empty(); }

  testing_support::SimBench bench_;
  sim::Unit& unit_;
  SimHost host_;
};

TEST_F(SimUnitBus, UnreadRepliesQueueUntilReadOrTheInPipeIsResetOrAborted) {
  ASSERT_TRUE(host_.Send(14, ServiceBody(6)));
  ASSERT_TRUE(host_.Send(120, {}));
  EXPECT_EQ(NameOf(host_.ReadReply()), kName);  // the older reply first
  EXPECT_EQ(host_.ReadReply()->command, 120);
  EXPECT_FALSE(host_.Read(512));
  for (auto drop : {&platform::usb::Device::ResetPipe, &platform::usb::Device::AbortPipe}) {
    ASSERT_TRUE(host_.Send(14, ServiceBody(6)));
    EXPECT_TRUE((host_.device().*drop)(0x02));  // the OUT pipe holds no reply
    EXPECT_TRUE(host_.Read(64));
    EXPECT_TRUE((host_.device().*drop)(0x81));
    EXPECT_FALSE(host_.Read(512));
  }
  // A host that never reads fills the endpoint: the oldest replies go.
  const size_t replies = sim::kReplyQueueBytes / 64 + 10;
  for (size_t i = 0; i < replies; ++i) ASSERT_TRUE(host_.Send(120, {}, static_cast<uint8_t>(i)));
  std::vector<std::vector<uint8_t>> read;
  while (auto packet = host_.Read(4096, 0)) read.push_back(*packet);
  ASSERT_EQ(read.size(), sim::kReplyQueueBytes / 64);
  EXPECT_EQ(read[0][3], static_cast<uint8_t>(replies - read.size()));
}

TEST_F(SimUnitBus, WritesThatCompleteShortOrNeverAreNotActedOn) {
  struct Case {
    std::optional<sim::ShortWriteFault> short_write;
    WaitResult result;
    uint32_t count;
  } cases[] = {{sim::ShortWriteFault{{1, 1}, 10}, WaitResult::kDone, 10},
               {sim::ShortWriteFault{{1, 1}, 0}, WaitResult::kDone, 0},
               {std::nullopt, WaitResult::kPending, 99}};  // stuck
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count);
    sim::Faults faults;
    faults.short_write = c.short_write;
    if (!c.short_write) faults.stuck_write = sim::FaultTrigger{1, 1};
    unit_.SetFaults(faults);
    ASSERT_TRUE(host_.device().IssueWrite(0x02, sim::FrameRequest(14, ServiceBody(4, 0x10, 60))));
    uint32_t count = 99;
    const uint64_t before = bench_.clock().Elapsed();
    EXPECT_EQ(host_.device().WaitWrite(5000, &count), c.result);
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(bench_.clock().Elapsed() - before, c.result == WaitResult::kPending ? 5000u : 0u);
    host_.device().CancelWrite();
    EXPECT_FALSE(host_.Read(512));
    EXPECT_EQ(unit_.status_word(), 0x80u);  // the status-word mask was not applied
    EXPECT_EQ(AskName(), kName);            // the next request is whole
  }
}

TEST_F(SimUnitBus, ASlowWriteCompletesOnTheClockAndIsActedOnThen) {
  sim::Faults slow;
  slow.slow_write = sim::SlowWriteFault{{1, 1}, 3000};
  unit_.SetFaults(slow);
  const std::vector<uint8_t> request = sim::FrameRequest(14, ServiceBody(6));
  ASSERT_TRUE(host_.device().IssueWrite(0x02, request));
  uint32_t count = 0;
  EXPECT_EQ(host_.device().WaitWrite(1000, &count), WaitResult::kPending);
  EXPECT_FALSE(host_.Read(512, 0));  // nothing acted on yet
  EXPECT_EQ(host_.device().WaitWrite(5000, &count), WaitResult::kDone);
  EXPECT_EQ(bench_.clock().Elapsed(), 3000u);  // the wait ends when the write does
  EXPECT_EQ(count, request.size());
  EXPECT_EQ(NameOf(host_.ReadReply()), kName);
  // Cancelled before it completes, it is never acted on.
  unit_.SetFaults(slow);
  ASSERT_TRUE(host_.device().IssueWrite(0x02, request));
  host_.device().CancelWrite();
  bench_.clock().Advance(5000);
  EXPECT_FALSE(host_.Read(512, 0));
  EXPECT_EQ(sim::Requests(unit_.traffic()).size(), 1u);
}

TEST_F(SimUnitBus, MalformedWritesAndAnEmptyScriptGoUnanswered) {
  unit_.ScriptReply(1, sim::ScriptedReply{});  // no chunks: no answer
  EXPECT_EQ(AskName(), "");
  std::vector<uint8_t> lying = sim::FrameRequest(14, ServiceBody(6));
  sim::PutU16(lying, 0, 200);  // more body than was written
  for (const std::vector<uint8_t>& write : {std::vector<uint8_t>(63), std::vector<uint8_t>(100), lying}) {
    EXPECT_TRUE(host_.WriteRaw(write));
    EXPECT_FALSE(host_.Read(512));
  }
  EXPECT_EQ(AskName(), kName);
}

TEST_F(SimUnitBus, HaltedEndpointsFailTransfersUntilReset) {
  unit_.HaltEndpoint(0x81);
  unit_.HaltEndpoint(0x02);
  uint16_t status = 0;
  ASSERT_TRUE(host_.device().GetEndpointStatus(0x81, &status));
  EXPECT_EQ(status, 1);
  EXPECT_FALSE(host_.Send(14, ServiceBody(6)));
  EXPECT_EQ(host_.last_error(), Errno(EPIPE));
  EXPECT_TRUE(host_.device().ResetPipe(0x02));
  EXPECT_TRUE(host_.Send(14, ServiceBody(6)));
  EXPECT_FALSE(host_.Read(512));
  EXPECT_EQ(host_.last_error(), Errno(EPIPE));
  EXPECT_TRUE(host_.device().ResetPipe(0x81));
  EXPECT_EQ(AskName(), kName);
}

TEST_F(SimUnitBus, DisconnectAtTheNthRequestAndExclusiveOpens) {
  EXPECT_EQ(SimHost(unit_.DevicePath()).last_error(), Errno(EBUSY));
  sim::Faults faults;
  faults.disconnect = sim::DisconnectFault{2, 5000};
  unit_.SetFaults(faults);
  EXPECT_EQ(AskName(), kName);
  EXPECT_TRUE(host_.Send(14, ServiceBody(6)));  // taken, then the unit is gone
  EXPECT_FALSE(host_.Read(512));
  EXPECT_EQ(host_.last_error(), Errno(ENODEV));
  EXPECT_FALSE(Listed());
  bench_.clock().Advance(4999);
  EXPECT_FALSE(unit_.Present());
  bench_.clock().Advance(1);
  EXPECT_FALSE(host_.Send(14, ServiceBody(6)));  // the old handle stays dead
  EXPECT_EQ(NameOf(SimHost(unit_.DevicePath()).Exchange(14, ServiceBody(6))), kName);
}

TEST_F(SimUnitBus, SoftBootLeavesOnceItsAnswerIsReadOrDroppedOrOnTheNextRequest) {
  for (int way = 0; way < 3; ++way) {
    SCOPED_TRACE(way);
    ASSERT_TRUE(host_.Send(122, {}));
    EXPECT_TRUE(unit_.Present());
    // The answer read, the answer dropped, or a next request lost with the restart.
    EXPECT_TRUE(way == 0   ? host_.Read(512)->size() == 64u
                : way == 1 ? host_.device().AbortPipe(0x81)
                           : host_.Send(14, ServiceBody(6)));
    EXPECT_FALSE(unit_.Present());
    EXPECT_EQ(unit_.soft_boots(), static_cast<uint32_t>(way + 1));
    EXPECT_FALSE(host_.Send(14, ServiceBody(6)));
    EXPECT_EQ(host_.last_error(), Errno(ENODEV));
    bench_.clock().Advance(2999);
    EXPECT_FALSE(Listed());
    bench_.clock().Advance(1);
    EXPECT_TRUE(Listed());
    host_ = SimHost(unit_.DevicePath());
    ASSERT_TRUE(host_.ok());
  }
}

}  // namespace
