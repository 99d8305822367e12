// The simulated bus as the USB boundary presents it: enumeration, paths,
// opening, pipes and policies, soft boot and the traffic record.
#include "sim/usb_backend.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/system.h"
#include "sim/wire.h"
#include "tests/support/sim_bench.h"
#include "tests/support/sim_host.h"
#include "tests/support/temp_dir.h"

namespace {

using platform::usb::InterfaceClass;
using platform::usb::WaitResult;
using testing_support::ServiceBody;
using testing_support::SimBench;
using testing_support::SimHost;

TEST(SimBackend, ListsEachUnitUnderItsClassInOrderWithItsIds) {
  SimBench bench;
  bench.AddUnit(testing_support::Fx2UnitConfig("sn1234"));
  bench.AddUnit(testing_support::WrUnitConfig("WR77"));
  bench.AddUnit(testing_support::CompositeUnitConfig("VL9"));
  auto readers = bench.backend().EnumerateInterfaces(InterfaceClass::kReader);
  ASSERT_EQ(readers->size(), 2u);
  EXPECT_EQ((*readers)[0].path, "\\\\?\\usb#vid_0898&pid_0047#sn1234#{9e32eeca-ab09-48d9-8a63-69b70a14d738}");
  EXPECT_EQ((*readers)[0].instance_id, "USB\\VID_0898&PID_0047\\sn1234");
  EXPECT_EQ((*readers)[1].path, "\\\\?\\usb#vid_17b9&pid_4000#wr77#{9e32eeca-ab09-48d9-8a63-69b70a14d738}");
  EXPECT_NE((*readers)[1].parent_id, "");

  // The composite device is listed by its child interface, whose parent is
  // the device of product id 0x0064.
  auto still = bench.backend().EnumerateInterfaces(InterfaceClass::kStillImage);
  ASSERT_EQ(still->size(), 1u);
  const std::string child = (*still)[0].path;
  EXPECT_EQ(child, "\\\\?\\usb#vid_0898&pid_0064&mi_00#6&vl9&0&0000#{6bdd1fc6-810f-11d0-bec7-08002be2092f}");
  EXPECT_EQ((*still)[0].parent_id, "USB\\VID_0898&PID_0064\\VL9");
  EXPECT_EQ(bench.backend().ClassOfPath(child), InterfaceClass::kStillImage);
  EXPECT_EQ(bench.backend().ClassOfPath("\\\\?\\usb#vid_0898&pid_0064#vl9#{6bdd1fc6-810f-11d0-bec7-08002be2092f}"),
            std::nullopt);
  EXPECT_EQ(bench.backend().ClassOfPath((*readers)[1].path), InterfaceClass::kReader);

  auto devices = bench.backend().EnumerateDevices();
  ASSERT_EQ(devices->size(), 4u);  // the composite parent and its child
  EXPECT_EQ((*devices)[1].hardware_ids,
            (std::vector<std::string>{"USB\\VID_17B9&PID_4000&REV_0001", "USB\\VID_17B9&PID_4000"}));
  EXPECT_EQ((*devices)[3].hardware_ids,
            (std::vector<std::string>{"USB\\VID_0898&PID_0064&REV_0001&MI_00", "USB\\VID_0898&PID_0064&MI_00"}));
  EXPECT_EQ((*devices)[2].hardware_ids[1], "USB\\VID_0898&PID_0064");

  EXPECT_THROW(bench.AddUnit(testing_support::WrUnitConfig("WR77")), std::invalid_argument);
}

TEST(SimBackend, OpensExclusivelyByPathInAnyLetterCase) {
  SimBench bench;
  sim::Unit& unit = bench.AddUnit();
  std::string upper = unit.DevicePath();
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  SimHost first(upper);
  ASSERT_TRUE(first.ok());
  SimHost second(unit.DevicePath());
  EXPECT_FALSE(second.ok());
  EXPECT_EQ(second.last_error(), static_cast<uint32_t>(EBUSY));
  first.Close();
  EXPECT_TRUE(SimHost(unit.DevicePath()).ok());
  EXPECT_FALSE(SimHost("\\\\?\\usb#vid_0898&pid_0041#none#{x}").ok());
  EXPECT_EQ(platform::GetLastSystemError(), static_cast<uint32_t>(ENOENT));
  EXPECT_EQ(unit.devices_opened(), 2u);
}

TEST(SimBackend, PipesAndPoliciesOfTheReaderInterface) {
  SimBench bench;
  sim::UnitConfig config = testing_support::WrUnitConfig();
  config.max_packet_size = 1024;
  config.max_transfer_size = 65536;
  sim::Unit& unit = bench.AddUnit(config);
  SimHost host(unit.DevicePath());
  platform::usb::Device& device = host.device();
  auto pipes = device.QueryPipes();
  ASSERT_EQ(pipes.size(), 2u);
  EXPECT_EQ(pipes[0].pipe_id, 0x81);
  EXPECT_EQ(pipes[0].pipe_type, 2);
  EXPECT_EQ(pipes[0].max_packet_size, 1024);
  EXPECT_EQ(pipes[1].pipe_id, 0x02);

  uint32_t value = 0;
  ASSERT_TRUE(device.GetPipePolicy(0x81, platform::usb::kMaximumTransferSize, &value));
  EXPECT_EQ(value, 65536u);
  ASSERT_TRUE(device.GetPipePolicy(0x81, platform::usb::kAllowPartialReads, &value));
  EXPECT_EQ(value, 1u);
  EXPECT_TRUE(device.SetPipePolicy(0x02, platform::usb::kShortPacketTerminate, 1));
  ASSERT_TRUE(device.GetPipePolicy(0x02, platform::usb::kShortPacketTerminate, &value));
  EXPECT_EQ(value, 1u);
  EXPECT_FALSE(device.SetPipePolicy(0x81, platform::usb::kMaximumTransferSize, 1));
  EXPECT_EQ(platform::GetLastSystemError(), static_cast<uint32_t>(EINVAL));
  EXPECT_FALSE(device.SetPipePolicy(0x81, 42, 1));
  EXPECT_FALSE(device.SetPipePolicy(0x03, platform::usb::kAutoFlush, 0));

  auto sets = sim::EventsOfKind(unit.traffic(), sim::TrafficKind::kSetPolicy);
  ASSERT_EQ(sets.size(), 4u);
  EXPECT_EQ(sets[0].pipe, 0x02);
  EXPECT_EQ(sets[0].code, 1u);
  EXPECT_EQ(sets[0].value, 1u);
  EXPECT_TRUE(sets[0].ok);
  EXPECT_FALSE(sets[1].ok);
  EXPECT_EQ(sets[1].error, static_cast<uint32_t>(EINVAL));
}

TEST(SimBackend, ReadPoliciesShapeHowAReplyIsDelivered) {
  SimBench bench;
  sim::Unit& unit = bench.AddUnit();
  SimHost host(unit.DevicePath());
  platform::usb::Device& device = host.device();
  ASSERT_TRUE(host.Send(14, ServiceBody(6)));

  // Ignoring short packets, a 512-byte read waits for more than the unit has.
  ASSERT_TRUE(device.SetPipePolicy(0x81, platform::usb::kIgnoreShortPackets, 1));
  EXPECT_FALSE(host.Read(512));
  ASSERT_TRUE(device.SetPipePolicy(0x81, platform::usb::kIgnoreShortPackets, 0));
  // Without partial reads, a buffer smaller than a packet overflows.
  ASSERT_TRUE(device.SetPipePolicy(0x81, platform::usb::kAllowPartialReads, 0));
  EXPECT_FALSE(host.Read(16));
  EXPECT_EQ(host.last_error(), static_cast<uint32_t>(EOVERFLOW));
  ASSERT_TRUE(device.SetPipePolicy(0x81, platform::usb::kAllowPartialReads, 1));
  // A transfer timeout ends a read that nothing answers.
  ASSERT_TRUE(host.ReadReply());
  ASSERT_TRUE(device.SetPipePolicy(0x81, platform::usb::kPipeTransferTimeout, 250));
  EXPECT_FALSE(host.Read(512, 300));
  EXPECT_EQ(host.last_result(), WaitResult::kFailed);
  EXPECT_EQ(host.last_error(), static_cast<uint32_t>(ETIMEDOUT));
}

TEST(SimBackend, SoftBootDropsOffAfterTheReplyAndReturnsOnTheClock) {
  SimBench bench;
  sim::UnitConfig config = testing_support::WrUnitConfig();
  config.reenumerate_after_ms = 3000;
  sim::Unit& unit = bench.AddUnit(config);
  SimHost host(unit.DevicePath());
  ASSERT_TRUE(host.Send(122, {}));
  EXPECT_TRUE(unit.Present());  // still there until its answer is read
  auto reply = host.Read(512);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->size(), 64u);
  EXPECT_EQ(sim::ReadU16(*reply, 0), 2);
  EXPECT_EQ(sim::ReadU16(*reply, 4), 0);
  EXPECT_EQ(unit.soft_boots(), 1u);

  EXPECT_FALSE(unit.Present());
  EXPECT_TRUE(bench.backend().EnumerateInterfaces(InterfaceClass::kReader)->empty());
  EXPECT_FALSE(bench.backend().ClassOfPath(unit.DevicePath()));
  EXPECT_FALSE(SimHost(unit.DevicePath()).ok());
  EXPECT_EQ(platform::GetLastSystemError(), static_cast<uint32_t>(ENODEV));
  EXPECT_FALSE(host.Send(14, ServiceBody(6)));
  EXPECT_EQ(host.last_error(), static_cast<uint32_t>(ENODEV));
  uint16_t status = 0;
  EXPECT_FALSE(host.device().GetEndpointStatus(0x81, &status));

  bench.clock().Advance(2999);
  EXPECT_TRUE(bench.backend().EnumerateInterfaces(InterfaceClass::kReader)->empty());
  bench.clock().Advance(1);
  EXPECT_EQ(bench.backend().EnumerateInterfaces(InterfaceClass::kReader)->size(), 1u);
  EXPECT_FALSE(host.Send(14, ServiceBody(6)));  // handles from before stay dead
  SimHost again(unit.DevicePath());
  ASSERT_TRUE(again.ok());
  EXPECT_TRUE(again.Exchange(14, ServiceBody(6)));

  // A host that never reads the answer does not keep the unit from
  // restarting: its next request finds it gone.
  ASSERT_TRUE(again.Send(122, {}));
  EXPECT_TRUE(again.Send(14, ServiceBody(6)));
  EXPECT_FALSE(again.Read(512));
  EXPECT_EQ(again.last_error(), static_cast<uint32_t>(ENODEV));
  EXPECT_EQ(unit.soft_boots(), 2u);
}

TEST(SimBackend, TrafficRecordsEveryTransferWithItsBytesPerOpen) {
  SimBench bench;
  sim::Unit& unit = bench.AddUnit();
  {
    SimHost host(unit.DevicePath());
    ASSERT_TRUE(host.Exchange(14, ServiceBody(6), 512));
    EXPECT_FALSE(host.Read(64));  // nothing queued: pending, then cancelled
  }
  SimHost host(unit.DevicePath());
  ASSERT_TRUE(host.Exchange(120, {}, 64));

  std::vector<sim::TrafficEvent> traffic = unit.traffic();
  ASSERT_EQ(traffic.size(), 9u) << sim::Describe(traffic);
  EXPECT_EQ(traffic[0].kind, sim::TrafficKind::kOpen);
  EXPECT_EQ(traffic[1].kind, sim::TrafficKind::kWrite);
  EXPECT_EQ(traffic[1].data, sim::FrameRequest(14, ServiceBody(6)));
  EXPECT_EQ(traffic[1].requested, 64u);
  EXPECT_EQ(traffic[2].kind, sim::TrafficKind::kRead);
  EXPECT_EQ(traffic[2].requested, 512u);
  EXPECT_EQ(traffic[2].data.size(), 64u);
  EXPECT_EQ(traffic[3].outcome, sim::TransferOutcome::kCancelled);
  EXPECT_TRUE(traffic[3].data.empty());
  EXPECT_EQ(traffic[4].kind, sim::TrafficKind::kCancelRead);
  EXPECT_EQ(traffic[5].kind, sim::TrafficKind::kClose);
  EXPECT_EQ(traffic[6].kind, sim::TrafficKind::kOpen);
  EXPECT_EQ(traffic[6].device, 2u);
  EXPECT_EQ(traffic[8].device, 2u);
  EXPECT_EQ(traffic[8].requested, 64u);

  auto requests = sim::Requests(traffic);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].command, 120);
  EXPECT_TRUE(requests[1].body.empty());
  unit.ClearTraffic();
  EXPECT_EQ(unit.traffic().size(), 0u);
}

TEST(SimBackend, InstallFromEnvironmentNeedsAFolder) {
  platform::VirtualClock clock;
  platform::ScopedClock scoped(clock);
  ::unsetenv(sim::kSimDirVariable);
  EXPECT_FALSE(sim::InstallFromEnvironment());
  ::setenv(sim::kSimDirVariable, "/nonexistent/units", 1);
  EXPECT_FALSE(sim::InstallFromEnvironment());
  testing_support::TempDir folder;
  testing_support::WriteFile(folder.File("unit.json"), R"({"usb": {"product_id": "0x48"}})");
  ::setenv(sim::kSimDirVariable, folder.path().c_str(), 1);
  EXPECT_TRUE(sim::InstallFromEnvironment());
  auto* backend = dynamic_cast<sim::SimulatedBackend*>(platform::usb::GetBackend().get());
  ASSERT_NE(backend, nullptr);
  ASSERT_EQ(backend->units().size(), 1u);
  EXPECT_EQ(backend->units()[0]->config().product_id, 0x48);
  platform::usb::SetBackend(nullptr);
  ::unsetenv(sim::kSimDirVariable);
}

}  // namespace
