#include "platform/usb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "reader/frame.h"
#include "reader/handle.h"
#include "reader/rdr.h"
#include "sim/traffic.h"
#include "sim/wire.h"
#include "tests/support/expect_error.h"
#include "tests/support/sim_bench.h"
#include "tests/support/sim_host.h"
#include "tests/support/trace_capture.h"
#include "transport/usb.h"

namespace {

using sim::TrafficKind;
using testing_support::ReaderOwner;

class UsbTest : public ::testing::Test {
 protected:
  // Each unit gets its own serial, so its own device path.
  sim::Unit& Add(uint16_t product_id = 0x41, sim::UnitInterface interface = sim::UnitInterface::kReader,
                 sim::UnitConfig config = {}) {
    config.serial = config.name = "SN" + std::to_string(serial_++);
    config.product_id = product_id;
    config.interface = interface;
    return bench_.AddUnit(config);
  }
  static ReaderOwner Open(const char* path) { return ReaderOwner(RDROpenUSB(path)); }
  // Opened without the open's traffic; the unit counts requests from 1 again.
  ReaderOwner OpenQuiet(sim::Unit& unit) {
    ReaderOwner handle = bench_.Open(unit);
    unit.SetFaults({});
    return handle;
  }
  std::vector<std::string> List(int32_t selector, int32_t expected_result = 1,
                                decltype(&ReaderDeviceList) lister = ReaderDeviceList) {
    char** list = nullptr;
    int32_t count = 0;
    EXPECT_EQ(lister(selector, &list, &count), expected_result) << selector;
    std::vector<std::string> paths(list, list + count);
    ReaderDeviceListFree(list, count);
    return paths;
  }

  static std::vector<uint32_t> Sizes(const std::vector<std::vector<uint8_t>>& transfers) {
    std::vector<uint32_t> sizes;
    for (const auto& transfer : transfers) sizes.push_back(static_cast<uint32_t>(transfer.size()));
    return sizes;
  }
  static size_t Count(sim::Unit& unit, TrafficKind kind) { return sim::EventsOfKind(unit.traffic(), kind).size(); }
  static std::vector<std::pair<TrafficKind, uint8_t>> Cleared(sim::Unit& unit) {
    std::vector<std::pair<TrafficKind, uint8_t>> cleared;
    for (const auto& e : unit.traffic())
      if (e.kind == TrafficKind::kResetPipe || e.kind == TrafficKind::kAbortPipe) cleared.emplace_back(e.kind, e.pipe);
    return cleared;
  }
  static size_t Clears(sim::Unit& unit) { return Cleared(unit).size(); }
  int32_t Exchange(RDRHANDLE h, RDRMSGHDR ohdr, uint16_t capacity, void* buffer, const void* body = nullptr) {
    ihdr_ = {capacity, 0, 0};
    return RDRSendReceive(h, &ohdr, body, &ihdr_, buffer);
  }
  static void Script(sim::Unit& unit, sim::ScriptedReply reply) {
    unit.ClearTraffic();
    unit.SetFaults({});
    unit.ScriptReply(1, std::move(reply));
  }
  // A value of type T with some fields changed from their defaults.
  template <class T, class F>
  static T With(F change) {
    T value;
    change(value);
    return value;
  }
  static sim::Faults Silence(uint32_t from, uint32_t count) {
    return With<sim::Faults>([&](auto& f) { f.silence = sim::FaultTrigger{from, count}; });
  }

  // One reply message as raw chunks: header with the given Size, then body
  // bytes 0, 1, 2, ... padded to 64-byte blocks.
  static sim::ScriptedReply Reply(uint8_t command, uint16_t size, size_t body_bytes, size_t chunk = 0) {
    std::vector<uint8_t> wire(sim::PaddedLength(sim::kHeaderBytes + body_bytes));
    sim::PutU16(wire, 0, size);
    wire[2] = command;
    for (size_t i = 0; i < body_bytes; ++i) wire[sim::kHeaderBytes + i] = static_cast<uint8_t>(i);
    sim::ScriptedReply reply;
    if (chunk == 0) chunk = wire.size();
    for (size_t at = 0; at < wire.size(); at += chunk)
      reply.chunks.emplace_back(wire.begin() + at, wire.begin() + std::min(wire.size(), at + chunk));
    return reply;
  }

  testing_support::SimBench bench_;
  int serial_ = 0;
  RDRMSGHDR ihdr_{};
};

TEST_F(UsbTest, PathMatchingFollowsVendorAndSelectorRules) {
  // clang-format off
  const struct { const char* path; int32_t selector; bool matches; } cases[] = {
      {"usb#vid_0898&pid_0041#1", 0x40, false}, {"usb#vid_0898&pid_005f#1", kSelectLowRange, true},
      {"usb#vid_0898&pid_0060#1", kSelectHighRange, true}, {"usb#vid_0898&pid_0060#1", kSelectLowRange, false},
      {"usb#vid_17b9&pid_007F#1", kSelectHighRange, true}, {"usb#vid_17b9&pid_0080#1", kSelectHighRange, false},
      {"usb#vid_1234&pid_0041#1", kSelectAll, false}, {"USB#VID_0898&PID_0041#1", kSelectAll, false},
      {"usb#vid_0898&pid_#1", kSelectAll, false}, {"vid_898&pid_4000123", 0x4000, true}};  // four digits at most
  // clang-format on
  for (const auto& c : cases)
    EXPECT_EQ(DevicePathMatches(c.path, c.selector), c.matches) << c.path << " " << c.selector;
}

TEST_F(UsbTest, ListingsAppendShrinkAndEmptyTheListOnFailure) {
  // An empty result frees what the caller's empty list held.
  char** list = static_cast<char**>(PlatformAlloc(nullptr, nullptr, 8));
  int32_t count = 0;
  EXPECT_EQ(USBDeviceList(kSelectAll, &list, &count), 1);
  EXPECT_EQ(std::tuple(count, list), std::tuple(0, nullptr));
  Add(0x4000);
  for (int i = 0; i < 11; ++i) Add(0x42);
  ASSERT_EQ(USBDeviceList(0x4000, &list, &count), 1);
  // A second listing appends; 11 more paths grow the array twice.
  ASSERT_EQ(USBDeviceList(0x42, &list, &count), 1);
  ASSERT_EQ(count, 12);
  EXPECT_NE(std::string(list[0]).find("pid_4000"), std::string::npos);
  EXPECT_NE(std::string(list[11]).find("sn11"), std::string::npos);
  // The copy of the 13th path fails: the paths held on entry go too.
  SetAllocationFailureCountdown(3);
  EXPECT_FAILS_WITH(USBDeviceList(0x42, &list, &count), 0, kErrNoMemory);
  SetAllocationFailureCountdown(0);
  EXPECT_EQ(std::tuple(count, list), std::tuple(0, nullptr));
  EXPECT_FAILS_WITH(USBDeviceList(kSelectAll, nullptr, &count), 0, kErrInvalidParameter);
}

// Readers are listed in a fixed product-id order, whatever the bus order.
TEST_F(UsbTest, ReaderListsFollowTheProductIdOrder) {
  const std::vector<int> every = {0x42, 0x44,   0x46,   0x47,   0x48,   0x60,   0x64,   0x70, 0x72,
                                  0x73, 0x4000, 0x400C, 0x400D, 0x4004, 0x4009, 0x4019, 0x76};
  for (size_t i = every.size(); i-- > 0;) Add(static_cast<uint16_t>(every[i]));
  Add(0x50);
  const std::pair<int32_t, std::vector<int>> cases[] = {{kSelectAll, every},
                                                        {kSelectLowRange, {0x42, 0x44, 0x46, 0x47, 0x48}},
                                                        {kSelectHighRange, {0x60}},
                                                        {0x50, {0x50}}};
  for (const auto& [selector, expected] : cases) {
    std::vector<int> listed;
    for (const std::string& path : List(selector))
      listed.push_back(std::stoi(path.substr(path.find("pid_") + 4, 4), nullptr, 16));
    EXPECT_EQ(listed, expected) << selector;
  }
}

TEST_F(UsbTest, DisabledReaderIsReportedWhenNothingIsListed) {
  Add(0x4000).SetDisabled(true);
  EXPECT_TRUE(List(kSelectAll).empty()) << "a description not beginning with Q5 is not a reader";
  Add(0x41, sim::UnitInterface::kReader,
      With<sim::UnitConfig>([](auto& c) { c.description = "Q5 Document Reader", c.disabled = true; }));
  EXPECT_TRUE(List(kSelectLowRange, 0).empty());
  EXPECT_EQ(GetErrorCode(), LibraryError(kErrReaderDisabled));
  EXPECT_FAILS_WITH(RDROpenUSB(nullptr), InvalidReaderHandle(), kErrNotFound);
}

TEST_F(UsbTest, CompositeParentIsListedAndOpenedThroughItsChild) {
  sim::Unit& unit = bench_.AddUnit(testing_support::CompositeUnitConfig("VL7"));
  const std::vector<std::string> paths = List(kSelectCompositeParent, 1, USBDeviceList);
  ASSERT_EQ(paths, std::vector<std::string>{"\\\\?\\usb#vid_0898&pid_0064#vl7#{6bdd1fc6-810f-11d0-bec7-08002be2092f}"});
  ReaderOwner handle = Open(paths[0].c_str());
  ASSERT_NE(handle.get(), InvalidReaderHandle());
  EXPECT_EQ(std::tuple(handle->usb.interface_kind, handle->firmware_number), std::tuple(1, 41026));
  auto controls = sim::EventsOfKind(unit.traffic(), TrafficKind::kDeviceControl);
  ASSERT_EQ(controls.size(), 2u);
  EXPECT_EQ(std::tuple(controls[0].code, controls[0].value, controls[1].code, controls[1].value),
            std::tuple(0x8000201Cu, 1u, 0x8000201Cu, 2u));
}

TEST_F(UsbTest, OpenConfiguresPipesFlushesAndIdentifiesTheReader) {
  sim::Unit& unit =
      Add(0x41, sim::UnitInterface::kReader, With<sim::UnitConfig>([](auto& c) { c.status_word = 0x01; }));
  // An earlier session left a reply queued: the open's flush must keep it
  // from being taken for the answer to its probe.
  testing_support::SimHost earlier(unit.DevicePath());
  ASSERT_TRUE(earlier.Send(120, {}));
  earlier.Close();
  unit.HaltEndpoint(0x02);  // not the IN pipe: its reset would drop that reply too
  unit.ClearTraffic();

  ReaderOwner handle = Open(nullptr);
  ASSERT_NE(handle.get(), InvalidReaderHandle());
  EXPECT_EQ(handle->packet_size, 0x200000) << "from the IN pipe's maximum transfer size";
  EXPECT_STREQ(handle->firmware_name, "FW41580-01-02");
  // The probe got its own answer, not the stale one: status word 0x01 clears the flag.
  EXPECT_EQ(handle->capability_flags & kCapExtendedRequests, 0u);
  // Pipe, policy and value, as 0xPPCCVV.
  std::vector<uint32_t> policies;
  for (const auto& e : sim::EventsOfKind(unit.traffic(), TrafficKind::kSetPolicy))
    policies.push_back(e.pipe << 16 | e.code << 8 | e.value);
  EXPECT_EQ(policies, (std::vector<uint32_t>{0x810300, 0x020300, 0x020101, 0x810400, 0x810501, 0x810600}));
  ASSERT_FALSE(Cleared(unit).empty());
  EXPECT_EQ(Cleared(unit)[0], std::pair(TrafficKind::kResetPipe, uint8_t{0x02})) << "halted endpoint reset at open";
  // Exactly the probe and the firmware name, each answered at once.
  auto requests = sim::Requests(unit.traffic());
  ASSERT_EQ(requests.size(), 2u);
  std::vector<uint8_t> probe(60), name(8);
  probe[0] = 4, name[0] = 6;
  EXPECT_EQ(std::tuple(requests[0].command, requests[0].body, requests[1].body), std::tuple(14, probe, name));
  // The close clears both pipes.
  unit.ClearTraffic();
  handle.reset();
  // clang-format off
  EXPECT_EQ(Cleared(unit), (std::vector<std::pair<TrafficKind, uint8_t>>{{TrafficKind::kResetPipe, 0x81},
      {TrafficKind::kAbortPipe, 0x81}, {TrafficKind::kResetPipe, 0x02}, {TrafficKind::kAbortPipe, 0x02}}));
  // clang-format on
}

// Requests of an open: 1 the probe, 2 the firmware name, 3 the name again
// after a flush, 4 after a reconnect. A failure other than a timeout goes
// to those fallbacks, not to short first reads; a reader silent to long
// first reads is opened with short ones.
TEST_F(UsbTest, OpenFallsBackToAFlushThenAReconnect) {
  auto echo = [](uint32_t from, uint32_t count) {
    return With<sim::Faults>([&](auto& f) { f.wrong_echo = sim::WrongEchoFault{{from, count}, std::nullopt}; });
  };
  // extended: the probe failed, so the flag stayed.
  // clang-format off
  const struct { sim::Faults faults; bool probe_unknown, opened; uint32_t devices_opened; bool extended; int32_t first_read; } cases[] = {
      {Silence(1, 2), false, true, 2, true, 512},  // the first try and the one after the reconnect
      {{}, true, true, 1, true, 512}, {echo(2, 1), false, true, 1, false, 512},
      {echo(2, 2), false, true, 2, false, 512}, {echo(2, 3), false, false, 2, false, 0},
      {With<sim::Faults>([](auto& f) { f.unanswered_first_read = 512; }), false, true, 3, true, 64}};
  // clang-format on
  for (const auto& c : cases) {
    auto config = With<sim::UnitConfig>([&](auto& u) { u.status_word = 0x01, u.faults = c.faults; });
    if (c.probe_unknown) config.unknown_services = {4};
    sim::Unit& unit = Add(0x41, sim::UnitInterface::kReader, config);
    SCOPED_TRACE(unit.name());
    ReaderOwner handle = Open(unit.DevicePath().c_str());
    EXPECT_EQ(unit.devices_opened(), c.devices_opened);
    if (!c.opened) {
      EXPECT_EQ(handle.release(), InvalidReaderHandle());
      continue;
    }
    ASSERT_NE(handle.get(), InvalidReaderHandle());
    EXPECT_EQ(std::tuple(handle->firmware_number, handle->first_read_length), std::tuple(41580, c.first_read));
    EXPECT_EQ(handle->capability_flags & kCapExtendedRequests, c.extended ? kCapExtendedRequests : 0u);
    EXPECT_EQ(sim::EventsOfKind(unit.traffic(), TrafficKind::kRead).back().requested, uint32_t(c.first_read));
  }
}

TEST_F(UsbTest, FirmwareNamesGiveNumbersOrFailTheOpen) {
  // clang-format off
  const struct { const char* name; std::array<int32_t, 3> numbers; } cases[] = {
      {"FW-40990 SH4", {40990, 0, 0}}, {"FW41580-01-02", {41580, 1, 2}}, {"FW41014", {41014, 0, 0}}, {"", {0}},
      {"XW41580-01-02", {0}}, {"FW0-1-2", {0}}, {"FW-1", {-1, 0, 0}}};
  // clang-format on
  for (const auto& c : cases) {
    auto& unit =
        Add(0x41, sim::UnitInterface::kReader, With<sim::UnitConfig>([&](auto& u) { u.firmware_name = c.name; }));
    ReaderOwner h = Open(unit.DevicePath().c_str());
    const bool opened = h.get() != InvalidReaderHandle();
    EXPECT_EQ(opened, c.numbers[0] != 0) << c.name;
    EXPECT_EQ((opened ? std::array{h->firmware_number, h->firmware_number2, h->firmware_number3} : std::array{0, 0, 0}),
              c.numbers)
        << c.name;
    if (!opened) h.release();
  }
}

// A reader opened without the open's traffic, its operations traced.
class ExchangeTest : public UsbTest {
 protected:
  testing_support::TraceCapture trace;
  sim::Unit& unit = Add(0x4000);
  ReaderOwner handle = OpenQuiet(unit);
};

TEST_F(ExchangeTest, RequestsArePaddedToWholeBlocks) {
  std::vector<uint8_t> body(2045, 0xA5);
  uint8_t reply[16];
  for (auto [size, wire] : {std::pair<uint16_t, size_t>{0, 64}, {60, 64}, {61, 128}, {2044, 2048}}) {
    Script(unit, Reply(99, 0, 0));
    ASSERT_EQ(Exchange(handle.get(), {size, 99, 7}, sizeof reply, reply, body.data()), 1) << size;
    auto writes = sim::WrittenTransfers(unit.traffic());
    ASSERT_EQ(Sizes(writes), std::vector<uint32_t>{static_cast<uint32_t>(wire)}) << size;
    EXPECT_EQ(std::tuple(sim::ReadU16(writes[0], 0), writes[0][2], writes[0][3]), std::tuple(size, 99, 7));
    EXPECT_EQ(writes[0][3 + std::max<size_t>(size, 1)], size > 0 ? 0xA5 : 0);
    EXPECT_EQ(std::count(writes[0].begin() + 4 + size, writes[0].end(), 0), static_cast<long>(wire - 4 - size));
  }
  unit.ClearTraffic();
  EXPECT_FAILS_WITH(Exchange(handle.get(), {2045, 99, 0}, sizeof reply, reply, body.data()), 0, kErrInvalidParameter);
  EXPECT_TRUE(sim::WrittenTransfers(unit.traffic()).empty());
}

TEST_F(ExchangeTest, ReplySizesAreDecodedAndGatheredByTheRules) {
  // clang-format off
  const struct { uint16_t size, capacity; uint32_t body; std::vector<uint32_t> reads; } cases[] = {
      {508, 0x7FFF, 508, {512}}, {509, 0x7FFF, 509, {512, 64}}, {0x8002, 0x7FFF, 512, {512, 64}},
      {0xC001, 0x7FFF, 2048, {512, 1536 + 64}},
      {0x7FFF, 0x7FFF, 32767, {512, 32256, 64}},  // 3 bytes of the last block left for the drain
      {1000, 1000, 1000, {512, 448, 64}}};  // longer than its padded room: drained, not overrun
  // clang-format on
  for (const auto& c : cases) {
    Script(unit, Reply(5, c.size, c.body));
    // One byte past the capacity, for a sentinel.
    std::vector<uint8_t> buffer(c.capacity + 1u, 0xEE);
    ASSERT_EQ(Exchange(handle.get(), {0, 5, 0}, c.capacity, buffer.data()), 1) << c.size;
    EXPECT_EQ(ihdr_.Size, c.size);
    EXPECT_EQ(Sizes(sim::ReadTransfers(unit.traffic())), c.reads) << c.size;
    for (uint32_t i = 0; i < std::min<uint32_t>(c.body, 1000); ++i)
      ASSERT_EQ(buffer[i], static_cast<uint8_t>(i)) << c.size << " " << i;
    EXPECT_EQ(std::tuple(buffer[c.body - 1], buffer[c.capacity]), std::tuple(uint8_t(c.body - 1), 0xEE)) << c.size;
  }
  // Only a reply whose first read held it whole says so.
  const std::string text = trace.Read();
  EXPECT_NE(text.find("Message received in the first request = 508\r\n"), std::string::npos);
  EXPECT_EQ(text.find("Message received in the first request = 509"), std::string::npos);
}

TEST_F(ExchangeTest, WrongEchoAndOversizeRepliesAreRefusedAndDrained) {
  uint8_t reply[8];
  unit.ScriptReply(1, Reply(6, 0, 0));
  EXPECT_FAILS_WITH(Exchange(handle.get(), {0, 5, 0}, sizeof reply, reply), 0, kErrInvalidContent);
  EXPECT_EQ(ihdr_.Command, 6);
  EXPECT_GT(Count(unit, TrafficKind::kResetPipe), 0u) << "the drain read until the pipe was quiet";
  Script(unit, Reply(5, 9, 9));
  EXPECT_FAILS_WITH(Exchange(handle.get(), {0, 5, 0}, sizeof reply, reply), 0, kErrMessageTooLong);
}

TEST_F(ExchangeTest, TimeoutReconnectsOnceThenReportsTheTimeout) {
  const uint32_t opened = unit.devices_opened();
  uint8_t reply[8];
  unit.SetFaults(Silence(1, 1));
  EXPECT_EQ(Exchange(handle.get(), {0, 120, 0}, sizeof reply, reply), 1);
  EXPECT_EQ(std::tuple(unit.devices_opened(), ihdr_.Command), std::tuple(opened + 1, 120));
  unit.SetFaults(Silence(1, 0));
  const uint64_t before = bench_.clock().Elapsed();
  EXPECT_FAILS_WITH(Exchange(handle.get(), {0, 120, 0}, sizeof reply, reply), 0, kErrTimeout);
  EXPECT_EQ(unit.devices_opened(), opened + 2) << "exactly one reconnect";
  EXPECT_EQ(sim::WrittenTransfers(unit.traffic()).size(), 4u) << "two exchanges, each written once";
  // Two exchanges of the 2-second limit, on virtual time.
  EXPECT_GE(bench_.clock().Elapsed() - before, 4000u);
  EXPECT_LT(bench_.clock().Elapsed() - before, 4500u);
}

// Disconnects a unit (or answers abort) at the n-th progress report of an
// operation, to make a transfer that is already waiting end.
// clang-format off
struct { sim::Unit* unit = nullptr; int32_t at = 0, reports = 0; bool abort = false; } g_drop;
// clang-format on
int32_t DropUnitAtReport(uint32_t, int32_t, uint32_t) {
  if (++g_drop.reports == g_drop.at && !g_drop.abort) g_drop.unit->Disconnect(std::nullopt);
  return g_drop.reports == g_drop.at && g_drop.abort ? 0 : 1;
}

// Reports: the entry, the one before the read is issued, the one after the
// first wait; nothing is queued, so the read is still waiting then. An
// abort answer before the read is issued sends nothing; one while it waits
// cancels it, which clears the reader interface's IN pipe. After a
// disconnect, the still-image interface finishes the failed transfer (with
// the system error recorded); the reader interface keeps waiting until the
// time limit, and then clears its IN pipe.
TEST_F(UsbTest, ProgressAbortsAndFailedCompletionsEndTransfers) {
  testing_support::TraceCapture capture;
  sim::Unit& reader = Add(0x4000);
  // clang-format off
  const struct { sim::Unit& unit; int32_t at; bool abort; int32_t result, error; size_t reads; uint64_t least_ms, below_ms; size_t pipe_clears; } cases[] = {
      {reader, 2, true, 0, LibraryError(kErrCallbackAbort), 0, 0, 50, 0},
      {reader, 3, true, 0, LibraryError(kErrCallbackAbort), 1, 0, 50, 2},
      {Add(0x44, sim::UnitInterface::kStillImage), 3, false, 1, ENODEV, 1, 0, 50, 0},
      {reader, 3, false, 0, LibraryError(kErrTimeout), 1, 500, 600, 2}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.unit.name() + " " + std::to_string(c.at));
    ReaderOwner handle = OpenQuiet(c.unit);
    c.unit.ClearTraffic();
    ASSERT_EQ(RDRCallbackSet(handle.get(), DropUnitAtReport, 0), 1);
    g_drop = {&c.unit, c.at, 0, c.abort};
    uint8_t buffer[64];
    int32_t received = -1;
    const uint64_t before = bench_.clock().Elapsed();
    EXPECT_EQ(MyReadFile(handle.get(), buffer, sizeof buffer, &received, 500), c.result);
    EXPECT_EQ(std::tuple(received, GetErrorCode()), std::tuple(0, c.error));
    EXPECT_GE(bench_.clock().Elapsed() - before, c.least_ms);
    EXPECT_LT(bench_.clock().Elapsed() - before, c.below_ms);
    EXPECT_EQ(std::tuple(Count(c.unit, TrafficKind::kRead), Clears(c.unit)), std::tuple(c.reads, c.pipe_clears));
  }

  ASSERT_EQ(capture.Close(), 1);
  const std::string trace = capture.Read();
  // Each interface words its completion line its own way: the completion
  // routine's error code, 0 for a clean read; the reader interface's 1 for
  // a good overlapped result and 0 for a failed one.
  for (const std::string line : {"PlatformRead of 64 bytes with result 0", "PlatformRead of 64 bytes with result 1",
                                 "PlatformRead of 0 bytes with result 0", "PlatformWrite of 64 bytes with result 0",
                                 "PlatformWrite of 64 bytes with result 1"})
    EXPECT_NE(trace.find(line + "\r\n"), std::string::npos) << line;
  EXPECT_NE(trace.find("PlatformRead of 0 bytes with result " + std::to_string(ENODEV) + "\r\n"), std::string::npos);
}

// A write the unit takes only in part fails with error 33; one that never
// completes ends at its time limit (the reader interface waits in seconds)
// and is cancelled, so nothing is left outstanding.
TEST_F(UsbTest, ShortAndStuckWritesFail) {
  testing_support::TraceCapture capture;
  sim::Unit& reader = Add(0x4000);
  sim::Unit& still = Add(0x44, sim::UnitInterface::kStillImage);
  const std::vector<uint8_t> request = sim::FrameRequest(120, std::vector<uint8_t>(100));
  // short_bytes nullopt: the write never completes.
  // clang-format off
  const struct { sim::Unit& unit; std::optional<uint32_t> short_bytes; int32_t error; uint64_t elapsed_ms; size_t pipe_clears; } cases[] = {
      {reader, 64, kErrUsbSend, 0, 0}, {reader, 0, kErrUsbSend, 0, 0}, {still, 64, kErrUsbSend, 0, 0},
      {reader, std::nullopt, kErrTimeout, 4000, 2}, {still, std::nullopt, kErrTimeout, 1004, 0}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.unit.name() + " " + std::to_string(c.short_bytes.value_or(999)));
    ReaderOwner handle = OpenQuiet(c.unit);
    sim::Faults faults;
    if (c.short_bytes) faults.short_write = sim::ShortWriteFault{{1, 0}, *c.short_bytes};
    if (!c.short_bytes) faults.stuck_write = sim::FaultTrigger{1, 0};
    c.unit.SetFaults(faults);
    int32_t written = -1;
    const uint64_t before = bench_.clock().Elapsed();
    EXPECT_FAILS_ON(handle,
                    MyWriteFile(handle.get(), request.data(), static_cast<int32_t>(request.size()), &written, 1000), 0,
                    c.error);
    EXPECT_EQ(written, static_cast<int32_t>(c.short_bytes.value_or(0)));
    EXPECT_EQ(bench_.clock().Elapsed() - before, c.elapsed_ms);
    EXPECT_EQ(Clears(c.unit), c.pipe_clears);
    EXPECT_EQ(c.unit.requests_received(), 1u) << "taken but not acted on";
    c.unit.SetFaults({});
  }
  ASSERT_EQ(capture.Close(), 1);
  const std::string trace = capture.Read();
  size_t lines = 0;
  for (size_t at = trace.find("Write incomplete of "); at != std::string::npos;
       at = trace.find("Write incomplete of ", at + 1), ++lines)
    EXPECT_EQ(trace.compare(at, 25, "Write incomplete of 64 by"), 0);
  EXPECT_EQ(lines, 2u) << "no line for a write that moved nothing";
}

// The flush reads 1024-byte chunks until one comes short; only a read that
// is still waiting after 60 ms (a quiet pipe) or cannot be started leaves
// the IN pipe reset and aborted.
TEST_F(ExchangeTest, FlushDrainsChunksAndResetsOnlyAQuietPipe) {
  uint64_t before = bench_.clock().Elapsed();
  EXPECT_EQ(PlatformFlush(handle.get()), 1);
  EXPECT_EQ(bench_.clock().Elapsed() - before, 60u);
  EXPECT_EQ(Count(unit, TrafficKind::kRead), 1u);
  EXPECT_EQ(std::tuple(Count(unit, TrafficKind::kResetPipe), Count(unit, TrafficKind::kAbortPipe)), std::tuple(1u, 1u));
  // A reply left queued: two whole chunks, then the quiet pipe.
  unit.ClearTraffic();
  unit.ScriptReply(1, Reply(5, 2044, 2044, 1024));
  const uint8_t request[64] = {0, 0, 5, 0};
  int32_t written = 0;
  ASSERT_EQ(MyWriteFile(handle.get(), request, sizeof request, &written, 1000), 1);
  EXPECT_EQ(PlatformFlush(handle.get()), 1);
  EXPECT_EQ(Sizes(sim::ReadTransfers(unit.traffic())), (std::vector<uint32_t>{1024, 1024}));
  EXPECT_EQ(Count(unit, TrafficKind::kResetPipe), 1u);
  // A read that completes with an error ends the flush without a reset.
  unit.ClearTraffic();
  unit.HaltEndpoint(0x81);
  before = bench_.clock().Elapsed();
  EXPECT_EQ(PlatformFlush(handle.get()), 1);
  EXPECT_EQ(bench_.clock().Elapsed() - before, 0u);
  auto reads = sim::EventsOfKind(unit.traffic(), TrafficKind::kRead);
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(std::tuple(reads[0].error, Clears(unit)), std::tuple(static_cast<uint32_t>(EPIPE), 0u));
  // The still-image interface reads until a chunk comes short, then cancels.
  sim::Unit& still = Add(0x44, sim::UnitInterface::kStillImage);
  ReaderOwner file = OpenQuiet(still);
  before = bench_.clock().Elapsed();
  EXPECT_EQ(PlatformFlush(file.get()), 1);
  EXPECT_EQ(bench_.clock().Elapsed() - before, 60u);
}

}  // namespace
