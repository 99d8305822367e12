// What a unit does on the bus that the library's own tests cannot see: each
// fault switch, malformed requests, exclusive opens and the soft boot's
// departure and return, from a bare host.
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

class SimUnitFaults : public ::testing::Test {
 protected:
  SimUnitFaults() : unit_(bench_.AddUnit()), host_(unit_.DevicePath()) {}

  bool Listed() { return !bench_.backend().EnumerateInterfaces(InterfaceClass::kReader)->empty(); }

  testing_support::SimBench bench_;
  sim::Unit& unit_;
  SimHost host_;
};

TEST_F(SimUnitFaults, LargeFirstReadIsNeverAnsweredButASmallOneIs) {
  sim::Faults faults;
  faults.unanswered_first_read = 512;
  unit_.SetFaults(faults);
  ASSERT_TRUE(host_.Send(14, ServiceBody(6)));
  EXPECT_FALSE(host_.Read(512, 2000));
  EXPECT_EQ(host_.last_result(), WaitResult::kPending);
  EXPECT_EQ(bench_.clock().Elapsed(), 2000u);
  auto first = host_.Read(64);
  ASSERT_TRUE(first);
  EXPECT_EQ((*first)[2], 14);
  // Once the reply has started, any read size is served.
  ASSERT_TRUE(host_.Send(14, ServiceBody(23)));
  ASSERT_TRUE(host_.Read(64));
  EXPECT_EQ(host_.Read(1024)->size(), 64u);
}

TEST_F(SimUnitFaults, SilenceFromTheNthRequestForACount) {
  sim::Faults faults;
  faults.silence = sim::FaultTrigger{2, 2};
  unit_.SetFaults(faults);
  EXPECT_TRUE(host_.Exchange(14, ServiceBody(6)));
  EXPECT_FALSE(host_.Exchange(14, ServiceBody(6)));
  EXPECT_FALSE(host_.Exchange(14, ServiceBody(4, 0x10, 60)));
  EXPECT_EQ(unit_.status_word(), 0x80u);  // a silent unit did not act on it
  EXPECT_TRUE(host_.Exchange(14, ServiceBody(6)));
  EXPECT_EQ(unit_.requests_received(), 4u);
}

TEST_F(SimUnitFaults, WrongEchoAndOversizeRepliesChangeOnlyTheirRequests) {
  sim::Faults faults;
  faults.wrong_echo = sim::WrongEchoFault{{1, 1}, std::nullopt};
  faults.oversize = sim::OversizeFault{{2, 1}, 0x8001};
  unit_.SetFaults(faults);
  EXPECT_EQ(host_.Exchange(14, ServiceBody(6))->command, 14 ^ 0x80);
  auto oversize = host_.Exchange(14, ServiceBody(6));
  ASSERT_TRUE(oversize);
  EXPECT_EQ(oversize->size, 0x8081);  // 256-byte units above 0x7FFF
  EXPECT_EQ(oversize->wire_bytes, sim::PaddedLength(4 + 0x81 * 256));
  EXPECT_EQ(sim::ReadText(oversize->body, 8, 32), "FW41580-01-02");
  auto normal = host_.Exchange(14, ServiceBody(6));
  EXPECT_EQ(normal->command, 14);
  EXPECT_EQ(normal->body.size(), 40u);

  faults = {};
  faults.wrong_echo = sim::WrongEchoFault{{1, 0}, uint8_t{15}};
  unit_.SetFaults(faults);
  EXPECT_EQ(host_.Exchange(120, {})->command, 15);
}

TEST_F(SimUnitFaults, DisconnectAtTheNthRequestAndReturnOnTheClock) {
  sim::Faults faults;
  faults.disconnect = sim::DisconnectFault{2, 5000};
  unit_.SetFaults(faults);
  EXPECT_TRUE(host_.Exchange(14, ServiceBody(6)));
  EXPECT_TRUE(host_.Send(14, ServiceBody(6)));  // taken, then the unit is gone
  EXPECT_FALSE(host_.Read(512));
  EXPECT_EQ(host_.last_result(), WaitResult::kFailed);
  EXPECT_EQ(host_.last_error(), Errno(ENODEV));
  EXPECT_FALSE(host_.Send(14, ServiceBody(6)));
  EXPECT_EQ(host_.last_error(), Errno(ENODEV));
  EXPECT_FALSE(Listed());
  EXPECT_TRUE(bench_.backend().EnumerateDevices()->empty());
  EXPECT_FALSE(SimHost(unit_.DevicePath()).ok());

  EXPECT_EQ(bench_.clock().Elapsed(), 0u);  // a vanished unit fails at once
  bench_.clock().Advance(4999);
  EXPECT_FALSE(unit_.Present());
  bench_.clock().Advance(1);
  EXPECT_TRUE(unit_.Present());
  EXPECT_FALSE(host_.Send(14, ServiceBody(6)));  // the old handle stays dead
  EXPECT_TRUE(SimHost(unit_.DevicePath()).Exchange(14, ServiceBody(6)));

  unit_.Disconnect(std::nullopt);
  bench_.clock().Advance(3600 * 1000);
  EXPECT_FALSE(unit_.Present());
  unit_.Reconnect();
  EXPECT_TRUE(unit_.Present());
}

TEST_F(SimUnitFaults, HaltedEndpointsReportStatusAndFailTransfersUntilReset) {
  unit_.HaltEndpoint(0x81);
  unit_.HaltEndpoint(0x02);
  platform::usb::Device& device = host_.device();
  uint16_t status = 0;
  ASSERT_TRUE(device.GetEndpointStatus(0x81, &status));
  EXPECT_EQ(status, 1);
  EXPECT_FALSE(host_.Send(14, ServiceBody(6)));
  EXPECT_EQ(host_.last_error(), Errno(EPIPE));
  EXPECT_TRUE(device.ResetPipe(0x02));
  ASSERT_TRUE(device.GetEndpointStatus(0x02, &status));
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(host_.Send(14, ServiceBody(6)));
  EXPECT_FALSE(host_.Read(512));
  EXPECT_EQ(host_.last_error(), Errno(EPIPE));
  EXPECT_TRUE(device.ResetPipe(0x81));
  EXPECT_TRUE(host_.ReadReply());  // the reply waited behind the stall
  EXPECT_FALSE(device.GetEndpointStatus(0x83, &status));
  EXPECT_EQ(platform::GetLastSystemError(), Errno(EINVAL));
}

TEST_F(SimUnitFaults, ScriptedRepliesDeliverRawBytesAndShortPackets) {
  unit_.ScriptReply(2, sim::ScriptedReply{{{0xFF, 0xFF, 14, 0}, std::vector<uint8_t>(64, 0xEE)}});
  unit_.ScriptReply(3, sim::ScriptedReply{});
  EXPECT_TRUE(host_.Exchange(14, ServiceBody(6)));
  ASSERT_TRUE(host_.Send(14, ServiceBody(6)));
  auto header = host_.Read(512);  // a short packet ends the first transfer
  ASSERT_TRUE(header);
  EXPECT_EQ(*header, (std::vector<uint8_t>{0xFF, 0xFF, 14, 0}));
  EXPECT_EQ(host_.Read(4096)->size(), 64u);
  EXPECT_FALSE(host_.Read(4096));                    // nothing beyond the script
  EXPECT_FALSE(host_.Exchange(14, ServiceBody(6)));  // request 3: scripted silence
  EXPECT_TRUE(host_.Exchange(14, ServiceBody(6)));
}

TEST_F(SimUnitFaults, MalformedWritesGetNoAnswer) {
  std::vector<uint8_t> lying = sim::FrameRequest(14, ServiceBody(6));
  sim::PutU16(lying, 0, 200);  // more body than was written
  for (const std::vector<uint8_t>& write : {std::vector<uint8_t>(63), std::vector<uint8_t>(100), lying}) {
    EXPECT_TRUE(host_.WriteRaw(write));
    EXPECT_FALSE(host_.Read(512));
    EXPECT_EQ(host_.last_result(), WaitResult::kPending);
  }
  EXPECT_EQ(bench_.clock().Elapsed(), 300u);  // each unanswered wait cost its 100 ms
  EXPECT_TRUE(host_.Exchange(14, ServiceBody(6)));
}

TEST_F(SimUnitFaults, OpensAreExclusiveByPathInAnyLetterCase) {
  std::string upper = unit_.DevicePath();
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  SimHost second(upper);
  EXPECT_FALSE(second.ok());
  EXPECT_EQ(second.last_error(), Errno(EBUSY));
  host_.Close();
  EXPECT_TRUE(SimHost(upper).ok());
  EXPECT_FALSE(SimHost("\\\\?\\usb#vid_0898&pid_0041#none#{x}").ok());
  EXPECT_EQ(platform::GetLastSystemError(), Errno(ENOENT));
  EXPECT_EQ(unit_.devices_opened(), 2u);
}

TEST_F(SimUnitFaults, SoftBootDropsOffAfterTheReplyAndReturnsOnTheClock) {
  sim::UnitConfig config = testing_support::WrUnitConfig("WR0002");
  config.reenumerate_after_ms = 3000;
  sim::Unit& unit = bench_.AddUnit(config);
  SimHost host(unit.DevicePath());
  ASSERT_TRUE(host.Send(122, {}));
  EXPECT_TRUE(unit.Present());  // still there until its answer is read
  auto reply = host.Read(512);
  ASSERT_TRUE(reply);
  EXPECT_EQ(sim::ReadU16(*reply, 0), 2);
  EXPECT_EQ(sim::ReadU16(*reply, 4), 0);
  EXPECT_EQ(unit.soft_boots(), 1u);

  EXPECT_FALSE(unit.Present());
  EXPECT_EQ(bench_.backend().EnumerateInterfaces(InterfaceClass::kReader)->size(), 1u);
  EXPECT_FALSE(bench_.backend().ClassOfPath(unit.DevicePath()));
  EXPECT_FALSE(SimHost(unit.DevicePath()).ok());
  EXPECT_EQ(platform::GetLastSystemError(), Errno(ENODEV));
  EXPECT_FALSE(host.Send(14, ServiceBody(6)));
  EXPECT_EQ(host.last_error(), Errno(ENODEV));
  uint16_t status = 0;
  EXPECT_FALSE(host.device().GetEndpointStatus(0x81, &status));

  bench_.clock().Advance(2999);
  EXPECT_FALSE(unit.Present());
  bench_.clock().Advance(1);
  EXPECT_EQ(bench_.backend().EnumerateInterfaces(InterfaceClass::kReader)->size(), 2u);
  EXPECT_FALSE(host.Send(14, ServiceBody(6)));  // handles from before stay dead
  SimHost again(unit.DevicePath());
  EXPECT_TRUE(again.Exchange(14, ServiceBody(6)));

  // A host that never reads the answer does not keep the unit from
  // restarting: its next request finds it gone.
  ASSERT_TRUE(again.Send(122, {}));
  EXPECT_TRUE(again.Send(14, ServiceBody(6)));
  EXPECT_FALSE(again.Read(512));
  EXPECT_EQ(again.last_error(), Errno(ENODEV));
  EXPECT_EQ(unit.soft_boots(), 2u);
}

}  // namespace
