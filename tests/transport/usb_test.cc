#include "platform/usb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "reader/frame.h"
#include "reader/handle.h"
#include "reader/rdr.h"
#include "sim/traffic.h"
#include "sim/usb_backend.h"
#include "sim/wire.h"
#include "tests/support/expect_error.h"
#include "tests/support/trace_capture.h"
#include "transport/usb.h"

namespace {

using sim::TrafficKind;

// A virtual clock and a simulated bus for one test.
class UsbTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::usb::SetBackend(backend_); }
  void TearDown() override {
    for (RDRHANDLE handle : opened_) RDRClose(handle);
    platform::usb::SetBackend(nullptr);
  }

  std::shared_ptr<sim::Unit> AddUnit(const std::string& name, uint16_t product_id,
                                     sim::UnitInterface interface = sim::UnitInterface::kReader) {
    sim::UnitConfig config;
    config.name = name;
    config.product_id = product_id;
    config.serial = "SN" + name;
    config.interface = interface;
    return backend_->AddUnit(config);
  }

  RDRHANDLE Open(const char* path = nullptr) {
    RDRHANDLE handle = RDROpenUSB(path);
    if (handle != InvalidReaderHandle()) opened_.push_back(handle);
    return handle;
  }

  // Opens `unit` and forgets the traffic of the open, so a test sees only
  // its own exchange; the unit's request count restarts at 1.
  RDRHANDLE OpenQuiet(const std::shared_ptr<sim::Unit>& unit) {
    RDRHANDLE handle = Open(unit->DevicePath().c_str());
    EXPECT_NE(handle, InvalidReaderHandle());
    unit->SetFaults({});
    unit->ClearTraffic();
    return handle;
  }

  static std::vector<uint32_t> Sizes(const std::vector<std::vector<uint8_t>>& transfers) {
    std::vector<uint32_t> sizes;
    for (const auto& transfer : transfers) sizes.push_back(static_cast<uint32_t>(transfer.size()));
    return sizes;
  }

  // One reply message as raw chunks: header with the given Size, then body
  // bytes 0, 1, 2, ... padded to 64-byte blocks.
  static sim::ScriptedReply Reply(uint8_t command, uint16_t size, size_t body_bytes, size_t chunk = 0) {
    std::vector<uint8_t> wire(sim::kHeaderBytes + body_bytes);
    sim::PutU16(wire, 0, size);
    wire[2] = command;
    for (size_t i = 0; i < body_bytes; ++i) wire[sim::kHeaderBytes + i] = static_cast<uint8_t>(i);
    wire.resize(sim::PaddedLength(wire.size()));
    sim::ScriptedReply reply;
    if (chunk == 0) chunk = wire.size();
    for (size_t at = 0; at < wire.size(); at += chunk) {
      reply.chunks.emplace_back(wire.begin() + static_cast<long>(at),
                                wire.begin() + static_cast<long>(std::min(wire.size(), at + chunk)));
    }
    return reply;
  }

  platform::VirtualClock clock_;
  platform::ScopedClock use_clock_{clock_};
  std::shared_ptr<sim::SimulatedBackend> backend_ = std::make_shared<sim::SimulatedBackend>();
  std::vector<RDRHANDLE> opened_;
};

TEST_F(UsbTest, PathMatchingFollowsVendorAndSelectorRules) {
  const char* path = "\\\\?\\usb#vid_0898&pid_0041#sn1#{9e32eeca-ab09-48d9-8a63-69b70a14d738}";
  EXPECT_TRUE(DevicePathMatches(path, -1));
  EXPECT_TRUE(DevicePathMatches(path, 0x41));
  EXPECT_TRUE(DevicePathMatches(path, kSelectLowRange));
  EXPECT_FALSE(DevicePathMatches(path, kSelectHighRange));
  EXPECT_FALSE(DevicePathMatches(path, 0x40));
  EXPECT_FALSE(DevicePathMatches("\\\\?\\usb#vid_1234&pid_0041#sn1", -1));
  EXPECT_TRUE(DevicePathMatches("\\\\?\\usb#vid_17b9&pid_0070#x", kSelectHighRange));
  EXPECT_FALSE(DevicePathMatches("\\\\?\\USB#VID_0898&PID_0041#x", -1)) << "the words are case-sensitive";
  EXPECT_FALSE(DevicePathMatches("\\\\?\\usb#vid_0898#x", -1)) << "no product id";
  EXPECT_TRUE(DevicePathMatches("vid_898&pid_4000123", 0x4000)) << "at most four digits are read";
  EXPECT_FALSE(DevicePathMatches(nullptr, -1));
}

TEST_F(UsbTest, ListingsAppendInEnumerationOrderAndShrinkToCount) {
  char** list = nullptr;
  int32_t count = 0;
  EXPECT_EQ(USBDeviceList(-1, &list, &count), 1);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(list, nullptr);

  AddUnit("still", 0x44, sim::UnitInterface::kStillImage);
  AddUnit("wr", 0x4000);
  AddUnit("td", 0x70);
  for (int i = 0; i < 11; ++i) AddUnit("many" + std::to_string(i), 0x42);
  ASSERT_EQ(USBDeviceList(0x4000, &list, &count), 1);
  ASSERT_EQ(count, 1);
  // A second listing appends; 11 more paths grow the array twice.
  ASSERT_EQ(USBDeviceList(0x42, &list, &count), 1);
  ASSERT_EQ(count, 12);
  EXPECT_NE(std::string(list[0]).find("pid_4000"), std::string::npos);
  EXPECT_NE(std::string(list[11]).find("snmany10"), std::string::npos);
  USBDeviceListFree(list, count);
  EXPECT_FAILS_WITH(USBDeviceList(-1, nullptr, &count), 0, kErrInvalidParameter);
}

// Readers are listed in a fixed product-id order, whatever the bus order.
TEST_F(UsbTest, ReaderListsFollowTheProductIdOrder) {
  const std::vector<int> every = {0x42, 0x44,   0x46,   0x47,   0x48,   0x60,   0x64,   0x70, 0x72,
                                  0x73, 0x4000, 0x400C, 0x400D, 0x4004, 0x4009, 0x4019, 0x76};
  for (size_t i = every.size(); i-- > 0;) AddUnit("r" + std::to_string(i), static_cast<uint16_t>(every[i]));
  AddUnit("other", 0x50);
  const std::pair<int32_t, std::vector<int>> cases[] = {
      {-1, every},
      {kSelectLowRange, {0x42, 0x44, 0x46, 0x47, 0x48}},
      {kSelectHighRange, {0x60}},
      {0x50, {0x50}},
  };
  for (const auto& [selector, expected] : cases) {
    char** list = nullptr;
    int32_t count = 0;
    ASSERT_EQ(ReaderDeviceList(selector, &list, &count), 1);
    std::vector<int> listed;
    for (int32_t i = 0; i < count; ++i) {
      const std::string path = list[i];
      listed.push_back(std::stoi(path.substr(path.find("pid_") + 4, 4), nullptr, 16));
    }
    EXPECT_EQ(listed, expected) << selector;
    ReaderDeviceListFree(list, count);
  }
}

TEST_F(UsbTest, AFailedListingEmptiesTheWholeList) {
  AddUnit("a", 0x42);
  AddUnit("b", 0x42);
  char** list = nullptr;
  int32_t count = 0;
  ASSERT_EQ(USBDeviceList(0x42, &list, &count), 1);
  ASSERT_EQ(count, 2);
  // The copy of the second path fails.
  SetAllocationFailureCountdown(3);
  EXPECT_EQ(USBDeviceList(0x42, &list, &count), 0);
  SetAllocationFailureCountdown(0);
  EXPECT_EQ(GetErrorCode(), LibraryError(kErrNoMemory));
  EXPECT_EQ(count, 0);
  EXPECT_EQ(list, nullptr);
}

TEST_F(UsbTest, DisabledReaderIsReportedWhenNothingIsListed) {
  auto unit = AddUnit("off", 0x4000);
  char** list = nullptr;
  int32_t count = 0;
  unit->SetDisabled(true);
  EXPECT_EQ(ReaderDeviceList(-1, &list, &count), 1) << "a description not beginning with Q5 is not a reader";
  EXPECT_EQ(count, 0);

  sim::UnitConfig config;
  config.name = "q5";
  config.description = "Q5 Document Reader";
  config.disabled = true;
  backend_->AddUnit(config);
  EXPECT_FAILS_WITH(ReaderDeviceList(-1, &list, &count), 0, kErrReaderDisabled);
  EXPECT_EQ(count, 0);
  EXPECT_FAILS_WITH(RDROpenUSB(nullptr), InvalidReaderHandle(), kErrNotFound);
}

TEST_F(UsbTest, CompositeParentIsListedAndOpenedThroughItsChild) {
  auto unit = AddUnit("vl", 0x64, sim::UnitInterface::kStillImage);
  char** list = nullptr;
  int32_t count = 0;
  ASSERT_EQ(USBDeviceList(kSelectCompositeParent, &list, &count), 1);
  ASSERT_EQ(count, 1);
  std::string parent_path = list[0];
  USBDeviceListFree(list, count);
  std::string expected = "\\\\?\\usb#vid_0898&pid_0064#snvl#{6bdd1fc6-810f-11d0-bec7-08002be2092f}";
  EXPECT_EQ(parent_path, expected);
  EXPECT_NE(parent_path, unit->DevicePath());

  RDRHANDLE handle = Open(parent_path.c_str());
  ASSERT_NE(handle, InvalidReaderHandle());
  EXPECT_EQ(handle->usb.interface_kind, 1);
  EXPECT_EQ(handle->firmware_number, 41580);
  auto controls = sim::EventsOfKind(unit->traffic(), TrafficKind::kDeviceControl);
  ASSERT_EQ(controls.size(), 2u);
  EXPECT_EQ(controls[0].code, 0x8000201Cu);
  EXPECT_EQ(controls[0].value, 1u);
  EXPECT_EQ(controls[1].value, 2u);
}

TEST_F(UsbTest, OpenConfiguresPipesAndIdentifiesTheReader) {
  auto unit = AddUnit("wr", 0x4000);
  unit->HaltEndpoint(0x81);
  RDRHANDLE handle = Open();
  ASSERT_NE(handle, InvalidReaderHandle());
  EXPECT_EQ(handle->timeout, 2);
  EXPECT_EQ(handle->first_read_length, 512);
  EXPECT_EQ(handle->packet_size, 0x200000) << "from the IN pipe's maximum transfer size";
  EXPECT_EQ(handle->capability_flags & kCapExtendedRequests, kCapExtendedRequests);
  EXPECT_STREQ(handle->firmware_name, "FW41580-01-02");
  EXPECT_EQ(std::tuple(handle->firmware_number, handle->firmware_number2, handle->firmware_number3),
            std::tuple(41580, 1, 2));

  auto events = unit->traffic();
  std::vector<std::pair<uint32_t, uint32_t>> policies;
  for (const auto& event : sim::EventsOfKind(events, TrafficKind::kSetPolicy)) {
    policies.emplace_back(event.pipe << 16 | event.code, event.value);
  }
  const std::vector<std::pair<uint32_t, uint32_t>> expected = {{0x81 << 16 | 3, 0}, {0x02 << 16 | 3, 0},
                                                               {0x02 << 16 | 1, 1}, {0x81 << 16 | 4, 0},
                                                               {0x81 << 16 | 5, 1}, {0x81 << 16 | 6, 0}};
  EXPECT_EQ(policies, expected);
  auto resets = sim::EventsOfKind(events, TrafficKind::kResetPipe);
  ASSERT_FALSE(resets.empty());
  EXPECT_EQ(resets[0].pipe, 0x81) << "the halted endpoint is reset at open";

  // The probe, then the firmware name: the wire bytes of both requests.
  auto requests = sim::Requests(events);
  ASSERT_GE(requests.size(), 2u);
  EXPECT_EQ(requests[0].command, 14);
  std::vector<uint8_t> probe(60, 0);
  probe[0] = 4;
  EXPECT_EQ(requests[0].body, probe);
  EXPECT_EQ(requests[1].body, (std::vector<uint8_t>{6, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(UsbTest, OpenTakesTheExtendedFlagFromTheProbe) {
  sim::UnitConfig config;
  config.status_word = 0x01;
  backend_->AddUnit(config);
  RDRHANDLE handle = Open();
  ASSERT_NE(handle, InvalidReaderHandle());
  EXPECT_EQ(handle->capability_flags & kCapExtendedRequests, 0u);

  // A unit that does not know the probe keeps the flag.
  sim::UnitConfig other;
  other.name = "other";
  other.serial = "SN2";
  other.unknown_services = {4};
  auto unit = backend_->AddUnit(other);
  RDRHANDLE second = Open(unit->DevicePath().c_str());
  ASSERT_NE(second, InvalidReaderHandle());
  EXPECT_EQ(second->capability_flags & kCapExtendedRequests, kCapExtendedRequests);
}

// Requests of an open: 1 the probe, 2 the firmware name, 3 the name again
// after a flush, 4 after a reconnect. A failure other than a timeout goes
// to those fallbacks, not to short first reads.
TEST_F(UsbTest, OpenFallsBackToAFlushThenAReconnect) {
  struct Case {
    sim::Faults faults;
    bool opened;
    uint32_t devices_opened;
    bool extended;  // the probe failed, so the flag stayed
  };
  auto echo = [](uint32_t from, uint32_t count) {
    sim::Faults faults;
    faults.wrong_echo = sim::WrongEchoFault{{from, count}, std::nullopt};
    return faults;
  };
  sim::Faults silent_probe;
  silent_probe.silence = sim::FaultTrigger{1, 2};  // the first try and the one after the reconnect
  const Case cases[] = {{silent_probe, true, 2, true},
                        {echo(2, 1), true, 1, false},
                        {echo(2, 2), true, 2, false},
                        {echo(2, 3), false, 2, false}};
  int serial = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(serial);
    sim::UnitConfig config;
    config.name = "u" + std::to_string(serial);
    config.serial = "SN" + std::to_string(serial++);
    config.status_word = 0x01;
    config.faults = c.faults;
    auto unit = backend_->AddUnit(config);
    RDRHANDLE handle = Open(unit->DevicePath().c_str());
    EXPECT_EQ(unit->devices_opened(), c.devices_opened);
    if (!c.opened) {
      EXPECT_EQ(handle, InvalidReaderHandle());
      continue;
    }
    ASSERT_NE(handle, InvalidReaderHandle());
    EXPECT_EQ(handle->firmware_number, 41580);
    EXPECT_EQ(handle->first_read_length, 512);
    EXPECT_EQ(handle->capability_flags & kCapExtendedRequests, c.extended ? kCapExtendedRequests : 0u);
    EXPECT_EQ(sim::EventsOfKind(unit->traffic(), TrafficKind::kRead).back().requested, 512u);
  }
}

TEST_F(UsbTest, FirmwareNamesGiveNumbersOrFailTheOpen) {
  struct Case {
    const char* name;
    int32_t number;
  };
  const Case cases[] = {{"FW-40990 SH4", 40990}, {"FW41580-01-02", 41580}, {"FW41014", 41014}, {"", 0},
                        {"XW41580-01-02", 0},    {"FW0-1-2", 0},           {"FW-1", -1}};
  int serial = 0;
  for (const Case& c : cases) {
    sim::UnitConfig config;
    config.name = "u" + std::to_string(serial);
    config.serial = "SN" + std::to_string(serial++);
    config.firmware_name = c.name;
    auto unit = backend_->AddUnit(config);
    RDRHANDLE handle = Open(unit->DevicePath().c_str());
    if (c.number == 0) {
      EXPECT_EQ(handle, InvalidReaderHandle()) << c.name;
    } else {
      ASSERT_NE(handle, InvalidReaderHandle()) << c.name;
      EXPECT_EQ(handle->firmware_number, c.number) << c.name;
      if (c.number == 40990) {
        EXPECT_EQ(handle->firmware_number2, 0);
      }
    }
  }
}

TEST_F(UsbTest, ReaderSilentToLongFirstReadsIsOpenedWithShortOnes) {
  sim::UnitConfig config;
  config.faults.unanswered_first_read = 512;
  auto unit = backend_->AddUnit(config);
  RDRHANDLE handle = Open();
  ASSERT_NE(handle, InvalidReaderHandle());
  EXPECT_EQ(handle->first_read_length, 64);
  EXPECT_EQ(handle->firmware_number, 41580);
  // The last exchange read its reply 64 bytes first.
  auto reads = sim::EventsOfKind(unit->traffic(), TrafficKind::kRead);
  ASSERT_FALSE(reads.empty());
  EXPECT_EQ(reads.back().requested, 64u);
}

TEST_F(UsbTest, RequestsArePaddedToWholeBlocks) {
  auto unit = AddUnit("wr", 0x4000);
  RDRHANDLE handle = OpenQuiet(unit);
  std::vector<uint8_t> body(2045, 0xA5);
  uint8_t reply[16];
  for (uint16_t size : {0, 60, 61, 2044}) {
    unit->ClearTraffic();
    unit->SetFaults({});
    unit->ScriptReply(1, Reply(99, 0, 0));
    RDRMSGHDR ohdr{size, 99, 7};
    RDRMSGHDR ihdr{sizeof reply, 0, 0};
    ASSERT_EQ(RDRSendReceive(handle, &ohdr, body.data(), &ihdr, reply), 1) << size;
    auto writes = sim::WrittenTransfers(unit->traffic());
    ASSERT_EQ(writes.size(), 1u);
    const size_t wire = size == 0 ? 64 : size == 60 ? 64 : size == 61 ? 128 : 2048;
    ASSERT_EQ(writes[0].size(), wire) << size;
    EXPECT_EQ(sim::ReadU16(writes[0], 0), size);
    EXPECT_EQ(writes[0][2], 99);
    EXPECT_EQ(writes[0][3], 7);
    if (size > 0) {
      EXPECT_EQ(writes[0][4 + size - 1], 0xA5);
    }
    EXPECT_EQ(std::count(writes[0].begin() + 4 + size, writes[0].end(), 0), static_cast<long>(wire - 4 - size))
        << "padding of " << size;
  }
  unit->ClearTraffic();
  RDRMSGHDR ohdr{2045, 99, 0};
  RDRMSGHDR ihdr{sizeof reply, 0, 0};
  EXPECT_FAILS_WITH(RDRSendReceive(handle, &ohdr, body.data(), &ihdr, reply), 0, kErrInvalidParameter);
  EXPECT_TRUE(sim::WrittenTransfers(unit->traffic()).empty());
  ohdr.Size = 4;
  EXPECT_FAILS_WITH(RDRSendReceive(handle, &ohdr, nullptr, &ihdr, reply), 0, kErrInvalidParameter);
  EXPECT_TRUE(sim::WrittenTransfers(unit->traffic()).empty());
}

TEST_F(UsbTest, ReplySizesAreDecodedAndGatheredByTheRules) {
  EXPECT_EQ(DecodeMessageSize(0x8002), 512u);
  EXPECT_EQ(DecodeMessageSize(0xC001), 2048u);
  EXPECT_EQ(DecodeMessageSize(0x7FFF), 32767u);

  auto unit = AddUnit("wr", 0x4000);
  RDRHANDLE handle = OpenQuiet(unit);
  struct Case {
    uint16_t size;
    uint32_t body;
    std::vector<uint32_t> reads;
  };
  const Case cases[] = {
      {508, 508, {512}},
      {509, 509, {512, 64}},
      {0x8002, 512, {512, 64}},
      {0xC001, 2048, {512, 1536 + 64}},
      // Capacity 0x7FFF leaves 3 bytes of the last block for the drain.
      {0x7FFF, 32767, {512, 32256, 64}},
  };
  std::vector<uint8_t> buffer(40000);
  for (const Case& c : cases) {
    unit->ClearTraffic();
    unit->SetFaults({});
    unit->ScriptReply(1, Reply(5, c.size, c.body));
    RDRMSGHDR ohdr{0, 5, 0};
    RDRMSGHDR ihdr{0x7FFF, 0, 0};
    std::fill(buffer.begin(), buffer.end(), 0xEE);
    ASSERT_EQ(RDRSendReceive(handle, &ohdr, nullptr, &ihdr, buffer.data()), 1) << c.size;
    EXPECT_EQ(ihdr.Size, c.size);
    EXPECT_EQ(Sizes(sim::ReadTransfers(unit->traffic())), c.reads) << c.size;
    EXPECT_EQ(buffer[0], 0) << c.size;
    EXPECT_EQ(buffer[c.body - 1], static_cast<uint8_t>(c.body - 1)) << c.size;
    EXPECT_EQ(buffer[0x7FFF], 0xEE) << "nothing lands past the capacity";
  }
}

TEST_F(UsbTest, ReplyLongerThanItsPaddedRoomIsDrainedNotOverrun) {
  auto unit = AddUnit("wr", 0x4000);
  RDRHANDLE handle = OpenQuiet(unit);
  unit->ScriptReply(1, Reply(5, 1000, 1000));
  RDRMSGHDR ohdr{0, 5, 0};
  RDRMSGHDR ihdr{1000, 0, 0};
  auto buffer = std::make_unique<uint8_t[]>(1000);  // exactly the capacity, for AddressSanitizer
  ASSERT_EQ(RDRSendReceive(handle, &ohdr, nullptr, &ihdr, buffer.get()), 1);
  EXPECT_EQ(Sizes(sim::ReadTransfers(unit->traffic())), (std::vector<uint32_t>{512, 448, 64}));
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(buffer[i], static_cast<uint8_t>(i)) << i;
}

TEST_F(UsbTest, WrongEchoAndOversizeRepliesAreRefusedAndDrained) {
  auto unit = AddUnit("wr", 0x4000);
  RDRHANDLE handle = OpenQuiet(unit);
  uint8_t reply[8];
  RDRMSGHDR ohdr{0, 5, 0};
  RDRMSGHDR ihdr{sizeof reply, 0, 0};
  unit->ScriptReply(1, Reply(6, 0, 0));
  EXPECT_FAILS_WITH(RDRSendReceive(handle, &ohdr, nullptr, &ihdr, reply), 0, kErrInvalidContent);
  EXPECT_EQ(ihdr.Command, 6);
  // The drain after the refusal read until the pipe was quiet.
  auto events = unit->traffic();
  EXPECT_FALSE(sim::EventsOfKind(events, TrafficKind::kResetPipe).empty());

  unit->SetFaults({});
  unit->ScriptReply(1, Reply(5, 9, 9));
  ihdr = {sizeof reply, 0, 0};
  EXPECT_FAILS_WITH(RDRSendReceive(handle, &ohdr, nullptr, &ihdr, reply), 0, kErrMessageTooLong);

  // No reply buffer: an empty reply is fine, any body is too long.
  unit->SetFaults({});
  unit->ScriptReply(1, Reply(5, 0, 0));
  unit->ScriptReply(2, Reply(5, 1, 1));
  ihdr = {100, 0, 0};
  EXPECT_EQ(RDRSendReceive(handle, &ohdr, nullptr, &ihdr, nullptr), 1);
  ihdr = {100, 0, 0};
  EXPECT_FAILS_WITH(RDRSendReceive(handle, &ohdr, nullptr, &ihdr, nullptr), 0, kErrMessageTooLong);
}

TEST_F(UsbTest, TimeoutReconnectsOnceThenReportsTheTimeout) {
  auto unit = AddUnit("wr", 0x4000);
  RDRHANDLE handle = OpenQuiet(unit);
  const uint32_t opened = unit->devices_opened();
  uint8_t reply[8];
  RDRMSGHDR ohdr{0, 120, 0};
  RDRMSGHDR ihdr{sizeof reply, 0, 0};
  sim::Faults faults;
  faults.silence = sim::FaultTrigger{1, 1};
  unit->SetFaults(faults);
  EXPECT_EQ(RDRSendReceive(handle, &ohdr, nullptr, &ihdr, reply), 1);
  EXPECT_EQ(unit->devices_opened(), opened + 1);
  EXPECT_EQ(ihdr.Command, 120);

  faults.silence = sim::FaultTrigger{1, 0};
  unit->SetFaults(faults);
  const uint64_t before = clock_.Elapsed();
  ihdr = {sizeof reply, 0, 0};
  EXPECT_FAILS_WITH(RDRSendReceive(handle, &ohdr, nullptr, &ihdr, reply), 0, kErrTimeout);
  EXPECT_EQ(unit->devices_opened(), opened + 2) << "exactly one reconnect";
  EXPECT_EQ(sim::WrittenTransfers(unit->traffic()).size(), 4u) << "two exchanges, each written once";
  // Two exchanges of the 2-second limit, on virtual time.
  EXPECT_GE(clock_.Elapsed() - before, 4000u);
  EXPECT_LT(clock_.Elapsed() - before, 4500u);
}

// A unit that answers nonsense never makes the library write past the
// caller's buffer (run under AddressSanitizer).
TEST_F(UsbTest, MaliciousRepliesNeverOverrunTheCallersBuffer) {
  auto unit = AddUnit("bad", 0x4000);
  RDRHANDLE handle = OpenQuiet(unit);
  const std::vector<sim::ScriptedReply> replies = {
      Reply(5, 0xFFFF, 40, 64),    // absurd size, short reply
      Reply(5, 0xBFFF, 3000, 64),  // big size, 64-byte packets
      Reply(5, 100, 100, 17),      // short packets mid-body
      Reply(5, 0xC000, 0),         // zero in large units
      sim::ScriptedReply{{{5}}},   // 1 byte
      sim::ScriptedReply{{{0x10, 0, 5, 0}, {1, 2, 3}}},
      Reply(5, 24, 24, 4),
  };
  for (size_t i = 0; i < replies.size(); ++i) {
    for (uint16_t capacity : {0, 1, 24, 63, 64, 100}) {
      unit->SetFaults({});
      unit->ScriptReply(1, replies[i]);
      unit->ScriptReply(2, replies[i]);  // for the retry after a timeout
      auto buffer = std::make_unique<uint8_t[]>(capacity == 0 ? 1 : capacity);
      RDRMSGHDR ohdr{0, 5, 0};
      RDRMSGHDR ihdr{capacity, 0, 0};
      RDRSendReceive(handle, &ohdr, nullptr, &ihdr, capacity == 0 ? nullptr : buffer.get());
      RDRFlush(handle);
    }
  }
  SUCCEED() << "no out-of-bounds write reported";
  // Still usable once the garbage left queued on the IN endpoint is read
  // away: each flush ends at the first short packet, so that takes many.
  unit->SetFaults({});
  for (int i = 0; i < 4000; ++i) RDRFlush(handle);
  unit->ClearTraffic();
  uint32_t version = 0;
  EXPECT_EQ(RDRAPIVersion(handle, &version), 1) << GetErrorCode() << sim::Describe(unit->traffic());
}

// Disconnects a unit at the n-th progress report of an operation, to make a
// transfer that is already waiting complete with an error.
struct DropAtReport {
  sim::Unit* unit = nullptr;
  int32_t at = 0;
  int32_t reports = 0;
};
DropAtReport g_drop;

int32_t DropUnitAtReport(uint32_t, int32_t, uint32_t) {
  if (++g_drop.reports == g_drop.at) g_drop.unit->Disconnect(std::nullopt);
  return 1;
}

// The still-image interface finishes a transfer that completed with an error
// (with what it moved and the system error recorded); the reader interface
// keeps waiting until the time limit. Each interface words its completion
// line its own way.
TEST_F(UsbTest, FailedCompletionsFinishOnlyOnTheStillImageInterface) {
  testing_support::TraceCapture capture;
  auto still = AddUnit("still", 0x44, sim::UnitInterface::kStillImage);
  auto reader = AddUnit("reader", 0x4000);
  struct Case {
    std::shared_ptr<sim::Unit> unit;
    int32_t result;
    int32_t error;
    uint64_t least_ms, below_ms;
  };
  const Case cases[] = {
      {still, 1, ENODEV, 0, 50},
      {reader, 0, LibraryError(kErrTimeout), 500, 600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.unit->name());
    RDRHANDLE handle = OpenQuiet(c.unit);
    ASSERT_EQ(RDRCallbackSet(handle, DropUnitAtReport, 0), 1);
    // Reports: the entry, the one before the read is issued, the one after
    // the first wait; nothing is queued, so the read is still waiting then.
    g_drop = {c.unit.get(), 3, 0};
    uint8_t buffer[64];
    int32_t received = -1;
    const uint64_t before = clock_.Elapsed();
    EXPECT_EQ(MyReadFile(handle, buffer, sizeof buffer, &received, 500), c.result);
    EXPECT_EQ(received, 0);
    EXPECT_EQ(GetErrorCode(), c.error);
    EXPECT_GE(clock_.Elapsed() - before, c.least_ms);
    EXPECT_LT(clock_.Elapsed() - before, c.below_ms);
    RDRCallbackSet(handle, nullptr, 0);
  }

  // A still-image exchange whose reply read fails that way is an incomplete
  // message, found at once, and not a timeout to reconnect on.
  auto other = AddUnit("other", 0x46, sim::UnitInterface::kStillImage);
  RDRHANDLE handle = OpenQuiet(other);
  sim::Faults silent;
  silent.silence = sim::FaultTrigger{1, 0};
  other->SetFaults(silent);
  const uint32_t opened = other->devices_opened();
  ASSERT_EQ(RDRCallbackSet(handle, DropUnitAtReport, 0), 1);
  // The entry, before the write, before the read, after the first wait.
  g_drop = {other.get(), 4, 0};
  RDRMSGHDR ohdr{0, 120, 0};
  RDRMSGHDR ihdr{4, 0, 0};
  uint8_t reply[4];
  EXPECT_FAILS_WITH(RDRSendReceive(handle, &ohdr, nullptr, &ihdr, reply), 0, kErrIncompleteMessage);
  EXPECT_EQ(other->devices_opened(), opened) << "no reconnect";

  for (RDRHANDLE opened_handle : opened_) RDRClose(opened_handle);
  opened_.clear();
  ASSERT_EQ(capture.Close(), 1);
  const std::string trace = capture.Read();
  // The completion routine's error code, 0 for a clean read; the reader
  // interface's 1 for a good overlapped result and 0 for a failed one.
  EXPECT_NE(trace.find("PlatformRead of 64 bytes with result 0\r\n"), std::string::npos);
  EXPECT_NE(trace.find("PlatformRead of 64 bytes with result 1\r\n"), std::string::npos);
  EXPECT_NE(trace.find("PlatformRead of 0 bytes with result " + std::to_string(ENODEV) + "\r\n"), std::string::npos);
  EXPECT_NE(trace.find("PlatformRead of 0 bytes with result 0\r\n"), std::string::npos);
  EXPECT_NE(trace.find("PlatformWrite of 64 bytes with result 0\r\n"), std::string::npos);
  EXPECT_NE(trace.find("PlatformWrite of 64 bytes with result 1\r\n"), std::string::npos);
}

// The flush reads 1024-byte chunks until one comes short; only a read that
// is still waiting after 60 ms (a quiet pipe) or cannot be started leaves
// the IN pipe reset and aborted.
TEST_F(UsbTest, FlushDrainsChunksAndResetsOnlyAQuietPipe) {
  auto unit = AddUnit("wr", 0x4000);
  RDRHANDLE handle = OpenQuiet(unit);
  auto pipe_operations = [&](TrafficKind kind) { return sim::EventsOfKind(unit->traffic(), kind).size(); };

  uint64_t before = clock_.Elapsed();
  EXPECT_EQ(PlatformFlush(handle), 1);
  EXPECT_EQ(clock_.Elapsed() - before, 60u);
  EXPECT_EQ(sim::EventsOfKind(unit->traffic(), TrafficKind::kRead).size(), 1u);
  EXPECT_EQ(pipe_operations(TrafficKind::kResetPipe), 1u);
  EXPECT_EQ(pipe_operations(TrafficKind::kAbortPipe), 1u);

  // A reply left queued: two whole chunks, then the quiet pipe.
  unit->ClearTraffic();
  unit->ScriptReply(1, Reply(5, 2044, 2044, 1024));
  const uint8_t request[64] = {0, 0, 5, 0};
  int32_t written = 0;
  ASSERT_EQ(MyWriteFile(handle, request, sizeof request, &written, 1000), 1);
  EXPECT_EQ(PlatformFlush(handle), 1);
  EXPECT_EQ(Sizes(sim::ReadTransfers(unit->traffic())), (std::vector<uint32_t>{1024, 1024}));
  EXPECT_EQ(pipe_operations(TrafficKind::kResetPipe), 1u);

  // A read that completes with an error ends the flush without a reset.
  unit->ClearTraffic();
  unit->HaltEndpoint(0x81);
  before = clock_.Elapsed();
  EXPECT_EQ(PlatformFlush(handle), 1);
  EXPECT_EQ(clock_.Elapsed() - before, 0u);
  auto reads = sim::EventsOfKind(unit->traffic(), TrafficKind::kRead);
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0].error, static_cast<uint32_t>(EPIPE));
  EXPECT_EQ(pipe_operations(TrafficKind::kResetPipe), 0u);
  EXPECT_EQ(pipe_operations(TrafficKind::kAbortPipe), 0u);
}

}  // namespace
