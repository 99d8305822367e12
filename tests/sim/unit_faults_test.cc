// What a unit does on the bus that the library's own tests cannot see: its
// IN endpoint queue, a disconnect, exclusive opens and the soft boot's
// departure and return, from a bare host.
#include <gtest/gtest.h>

#include <cerrno>

#include "platform/system.h"
#include "sim/wire.h"
#include "tests/support/sim_bench.h"
#include "tests/support/sim_host.h"

namespace {

using platform::usb::InterfaceClass;
using testing_support::ServiceBody, testing_support::SimHost;

constexpr uint32_t Errno(int value) { return static_cast<uint32_t>(value); }
constexpr const char* kName = "FW41580-01-02";

class SimUnitBus : public ::testing::Test {
 protected:
  SimUnitBus() : unit_(bench_.AddUnit()), host_(unit_.DevicePath()) {}

  // The firmware name a reply carries, or "" when none came.
  std::string NameOf(const std::optional<SimHost::Reply>& reply) {
    return reply && reply->body.size() >= 40 ? sim::ReadText(reply->body, 8, 32) : "";
  }
  std::string AskName() { return NameOf(host_.Exchange(14, ServiceBody(6))); }
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
  for (auto drop : {&platform::usb::Device::ResetPipe, &platform::usb::Device::AbortPipe}) {
    ASSERT_TRUE(host_.Send(14, ServiceBody(6)));
    EXPECT_TRUE((host_.device().*drop)(0x81));
    EXPECT_FALSE(host_.Read(512));
  }
  // A host that never reads fills the endpoint: the oldest replies go.
  const size_t replies = sim::kReplyQueueBytes / 64 + 10;
  for (size_t i = 0; i < replies; ++i) ASSERT_TRUE(host_.Send(120, {}, static_cast<uint8_t>(i)));
  EXPECT_EQ(host_.Read(64, 0)->at(3), static_cast<uint8_t>(10));  // the oldest kept reply
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
  bench_.clock().Advance(4999);
  EXPECT_FALSE(Listed());
  bench_.clock().Advance(1);
  EXPECT_FALSE(host_.Send(14, ServiceBody(6)));  // the old handle stays dead
  EXPECT_EQ(NameOf(SimHost(unit_.DevicePath()).Exchange(14, ServiceBody(6))), kName);
}

TEST_F(SimUnitBus, SoftBootLeavesOnceItsAnswerIsReadOrDroppedOrOnTheNextRequest) {
  for (int way = 0; way < 3; ++way) {
    SCOPED_TRACE(way);
    ASSERT_TRUE(host_.Send(122, {}));
    // The answer read, the answer dropped, or a next request lost with the restart.
    EXPECT_TRUE(way == 0   ? host_.Read(512)->size() == 64u
                : way == 1 ? host_.device().AbortPipe(0x81)
                           : host_.Send(14, ServiceBody(6)));
    EXPECT_EQ(unit_.soft_boots(), static_cast<uint32_t>(way + 1));
    bench_.clock().Advance(2999);
    EXPECT_FALSE(Listed());
    bench_.clock().Advance(1);
    EXPECT_TRUE(Listed());
    host_ = SimHost(unit_.DevicePath());
  }
}

}  // namespace
