// The unit's replies to each request, seen from a bare host on the bus.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "sim/firmware.h"
#include "sim/wire.h"
#include "tests/support/sim_bench.h"
#include "tests/support/sim_host.h"

namespace {

using sim::ReadText;
using sim::ReadU16;
using sim::ReadU32;
using testing_support::ServiceBody;
using testing_support::SimBench;
using testing_support::SimHost;

int32_t Status32(const SimHost::Reply& reply) { return static_cast<int32_t>(ReadU32(reply.body, 0)); }
int16_t Status16(const SimHost::Reply& reply) { return static_cast<int16_t>(ReadU16(reply.body, 0)); }

class SimUnitServices : public ::testing::Test {
 protected:
  SimHost& Host(sim::UnitConfig config = testing_support::WrUnitConfig()) {
    host_ = std::make_unique<SimHost>(bench_.AddUnit(std::move(config)).DevicePath());
    EXPECT_TRUE(host_->ok());
    return *host_;
  }
  SimHost::Reply Ask(SimHost& host, uint8_t command, std::vector<uint8_t> body, size_t first_read = 512) {
    auto reply = host.Exchange(command, body, first_read);
    EXPECT_TRUE(reply) << "no reply to command " << int{command};
    return reply.value_or(SimHost::Reply{});
  }

  SimBench bench_;
  std::unique_ptr<SimHost> host_;
};

TEST_F(SimUnitServices, StatusWordReportsExtendedRequestsAndKeepsStickyMaskBits) {
  sim::UnitConfig config = testing_support::WrUnitConfig();
  config.non_sticky_bits = 0x0001;
  SimHost& host = Host(config);
  SimHost::Reply probe = Ask(host, 14, ServiceBody(4, 0, 60));
  EXPECT_EQ(probe.command, 14);
  EXPECT_EQ(probe.body.size(), 8u);
  EXPECT_EQ(probe.wire_bytes, 64u);
  EXPECT_EQ(Status32(probe), 0);
  EXPECT_EQ(ReadU32(probe.body, 4), 0x80u);

  SimHost::Reply set = Ask(host, 14, ServiceBody(4, 0x4001, 60));
  EXPECT_EQ(ReadU32(set.body, 4), 0x4080u);  // bit 0 does not stick
  EXPECT_EQ(ReadU32(Ask(host, 14, ServiceBody(4, 0, 60)).body, 4), 0x4080u);
  EXPECT_EQ(bench_.unit().status_word(), 0x4080u);
}

TEST_F(SimUnitServices, InformationStringsSitAtOffset8OfA40ByteReply) {
  SimHost& host = Host();
  SimHost::Reply name = Ask(host, 14, ServiceBody(6));
  ASSERT_EQ(name.body.size(), 40u);
  EXPECT_EQ(Status32(name), 0);
  EXPECT_EQ(ReadU32(name.body, 4), 0u);
  EXPECT_EQ(ReadText(name.body, 8, 32), "FW41580-01-02");
  EXPECT_EQ(ReadText(Ask(host, 14, ServiceBody(21)).body, 8, 32), "WR0001");
  EXPECT_EQ(ReadText(Ask(host, 14, ServiceBody(50)).body, 8, 32), "FW41582-01-04");

  // 30 characters still end in NULs; a longer configured name is sent whole.
  bench_.unit().SetReportedString("firmware_name", std::string(30, 'N'));
  name = Ask(host, 14, ServiceBody(6));
  EXPECT_EQ(name.body[37], 'N');
  EXPECT_EQ(name.body[38], 0);
  bench_.unit().SetReportedString("firmware_name", std::string(35, 'L'));
  EXPECT_EQ(Ask(host, 14, ServiceBody(6)).body.size(), 43u);

  bench_.unit().SetReportedString("fx3_firmware", std::nullopt);
  SimHost::Reply unknown = Ask(host, 14, ServiceBody(50));
  EXPECT_EQ(unknown.body.size(), 4u);
  EXPECT_EQ(Status32(unknown), -266);
}

TEST_F(SimUnitServices, Sh4UnitNamesItselfOnlyThroughTheSh4Request) {
  SimHost& host = Host(testing_support::Sh4UnitConfig());
  SimHost::Reply info = Ask(host, 14, ServiceBody(6));
  EXPECT_EQ(ReadU32(info.body, 0) & 0xFFFF, 0xFFFFu);
  SimHost::Reply sh4 = Ask(host, 127, {});
  ASSERT_EQ(sh4.body.size(), 24u);
  EXPECT_EQ(Status16(sh4), 0);
  EXPECT_EQ(ReadText(sh4.body, 4, 14), "FW40961-03-01");
  EXPECT_EQ(Status32(Ask(host, 14, ServiceBody(4, 0, 60))), -266);  // listed as unknown
  EXPECT_EQ(Status32(Ask(host, 120, {})), -266);                    // no API version
}

TEST_F(SimUnitServices, HeadersAreNulTerminatedAndLongRepliesSpanSeveralReads) {
  sim::UnitConfig config = testing_support::WrUnitConfig();
  config.application_header = std::string(500, 'A');  // body 8 + 501 = 509 bytes
  SimHost& host = Host(config);
  ASSERT_TRUE(host.Send(14, ServiceBody(23)));
  auto first = host.Read(512);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->size(), 512u);
  EXPECT_EQ(ReadU16(*first, 0), 509);
  auto rest = host.Read(2048);
  ASSERT_TRUE(rest);
  EXPECT_EQ(rest->size(), 64u);          // 576 wire bytes in all
  EXPECT_EQ((*rest)[4 + 508 - 512], 0);  // the terminating NUL

  SimHost::Reply boot = Ask(host, 14, ServiceBody(24));
  EXPECT_EQ(ReadText(boot.body, 8, 2036), testing_support::BootHeaderText("FW41581", "01", "03"));
  EXPECT_EQ(boot.body.size(), 8 + 64 + 1u);
  EXPECT_EQ(boot.body.back(), 0);

  // A header that fills the whole 2044-byte reply has no NUL.
  bench_.unit().SetReportedString("boot_header", std::string(3000, 'B'));
  boot = Ask(host, 14, ServiceBody(24));
  ASSERT_EQ(boot.body.size(), 2044u);
  EXPECT_EQ(boot.body.back(), 'B');
}

TEST_F(SimUnitServices, ApiVersionSoftBootAndUnknownRequests) {
  sim::UnitConfig config = testing_support::WrUnitConfig();
  config.unknown_services = {21};
  config.unknown_commands = {126};
  SimHost& host = Host(config);
  SimHost::Reply version = Ask(host, 120, {});
  ASSERT_EQ(version.body.size(), 4u);
  EXPECT_EQ(Status16(version), 0);
  EXPECT_EQ(ReadU16(version.body, 2), 0x000B);

  for (auto [command, body] : {std::pair<uint8_t, std::vector<uint8_t>>{99, {}},
                               {14, ServiceBody(99)},
                               {14, {}},
                               {14, ServiceBody(21)},
                               {126, std::vector<uint8_t>(10)}}) {
    SimHost::Reply reply = Ask(host, command, body);
    EXPECT_EQ(reply.command, command);
    EXPECT_EQ(Status32(reply), -266) << int{command};
    EXPECT_EQ(Status16(reply), static_cast<int16_t>(0xFEF6));
  }

  ASSERT_TRUE(host.Send(14, ServiceBody(4, 0, 60), 0x5A));
  EXPECT_EQ(host.ReadReply()->reserved, 0x5A);  // reserved is echoed

  SimHost::Reply boot = Ask(host, 122, {});
  EXPECT_EQ(boot.body.size(), 2u);
  EXPECT_EQ(Status16(boot), 0);
}

TEST_F(SimUnitServices, FlashRequestsReachTheFlashModelUnlessListedUnknown) {
  sim::UnitConfig config = testing_support::WrUnitConfig();
  config.flash = {{"firmware_memory_size", 0x40000}, {"config_memory_size", 0x40000}};
  SimHost& host = Host(config);
  SimHost::Reply sizes = Ask(host, 14, ServiceBody(17, 0, 60));
  EXPECT_EQ(Status32(sizes), 0);
  EXPECT_EQ(ReadU32(sizes.body, 8), 0x40000u);
  EXPECT_EQ(ReadU32(sizes.body, 16), 0x40000u);
  EXPECT_EQ(bench_.unit().flash().Statistics().sector_requests, 0u);
  SimHost::Reply init = Ask(host, 126, std::vector<uint8_t>(10, 0));
  EXPECT_EQ(init.command, 126);
  EXPECT_EQ(Status16(init), 0);
  EXPECT_EQ(bench_.unit().flash().Statistics().sector_requests, 1u);

  config = testing_support::Fx2UnitConfig();
  config.unknown_services = {17};
  SimHost& other = Host(config);
  EXPECT_EQ(Status32(Ask(other, 14, ServiceBody(17, 0, 60))), -266);
}

TEST_F(SimUnitServices, ReadsTakeWhatIsAskedAndANewRequestReplacesAnUnreadReply) {
  SimHost& host = Host();
  ASSERT_TRUE(host.Send(14, ServiceBody(6)));
  auto part = host.Read(16);
  ASSERT_TRUE(part);
  EXPECT_EQ(part->size(), 16u);
  ASSERT_TRUE(host.Send(14, ServiceBody(21)));  // the 48 unread bytes are dropped
  auto reply = host.ReadReply();
  ASSERT_TRUE(reply);
  EXPECT_EQ(ReadText(reply->body, 8, 32), "WR0001");
  EXPECT_FALSE(host.Read(512));  // nothing left
  EXPECT_EQ(host.last_result(), platform::usb::WaitResult::kPending);
}

TEST_F(SimUnitServices, MalformedWritesGetNoAnswer) {
  SimHost& host = Host();
  EXPECT_TRUE(host.WriteRaw(std::vector<uint8_t>(100, 0)));  // not whole blocks
  EXPECT_FALSE(host.Read(512));
  std::vector<uint8_t> lying = sim::FrameRequest(14, ServiceBody(6));
  sim::PutU16(lying, 0, 200);  // more body than was written
  EXPECT_TRUE(host.WriteRaw(lying));
  EXPECT_FALSE(host.Read(512));
  EXPECT_EQ(host.last_result(), platform::usb::WaitResult::kPending);
  EXPECT_EQ(bench_.clock().Elapsed(), 200u);  // each unanswered wait cost its 100 ms
  EXPECT_TRUE(host.Exchange(14, ServiceBody(6)));
}

TEST_F(SimUnitServices, StillImageInterfaceCarriesTheSameMessagesWithoutPipes) {
  SimHost& host = Host(testing_support::CompositeUnitConfig());
  EXPECT_EQ(host.device().interface_class(), platform::usb::InterfaceClass::kStillImage);
  EXPECT_TRUE(host.device().DeviceControl(0x8000201C, 1));
  EXPECT_TRUE(host.device().QueryPipes().empty());
  uint32_t value = 0;
  EXPECT_FALSE(host.device().GetPipePolicy(0x81, platform::usb::kMaximumTransferSize, &value));
  EXPECT_EQ(host.Read(64).has_value(), false);
  SimHost::Reply name = Ask(host, 14, ServiceBody(6));
  EXPECT_EQ(ReadText(name.body, 8, 32), "FW41026-04-02");
  auto controls = sim::EventsOfKind(bench_.unit().traffic(), sim::TrafficKind::kDeviceControl);
  ASSERT_EQ(controls.size(), 1u);
  EXPECT_EQ(controls[0].code, 0x8000201Cu);
  EXPECT_EQ(controls[0].value, 1u);
}

}  // namespace
