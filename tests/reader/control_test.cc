#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "reader/frame.h"
#include "reader/handle.h"
#include "reader/rdr.h"
#include "sim/request_handler.h"
#include "sim/traffic.h"
#include "sim/wire.h"
#include "tests/support/sim_bench.h"
#include "transport/memory.h"
#include "transport/usb.h"

namespace {

struct CloseHandle {
  void operator()(ReaderHandleRecord* handle) const { RDRClose(handle); }
};
using HandleOwner = std::unique_ptr<ReaderHandleRecord, CloseHandle>;

int32_t CloseSerial(RDRHANDLE handle) {
  handle->kind_tag = 0;
  FreeReaderHandle(handle);
  return 1;
}

// A serial stream handle as its open would leave it, without a stream.
HandleOwner SerialHandle() {
  HandleOwner handle(NewReaderHandle(kKindSerial));
  handle->close = CloseSerial;
  handle->capability_flags = kCapExtendedRequests;
  return handle;
}

// --- handle settings -----------------------------------------------------------

TEST(HandleSettings, TimeoutIsStoredWithoutCheck) {
  HandleOwner handle(MEMOpen());
  EXPECT_EQ(RDRTimeout(handle.get()), 5);
  EXPECT_EQ(RDRTimeoutSet(handle.get(), 0), 1);
  EXPECT_EQ(RDRTimeout(handle.get()), 0);
  EXPECT_EQ(RDRTimeoutSet(handle.get(), -3), 1);
  EXPECT_EQ(RDRTimeout(handle.get()), -3);
  EXPECT_EQ(RDRTimeout(nullptr), 0);
  EXPECT_EQ(GetErrorCode(), LibraryError(kErrInvalidParameter));
}

TEST(HandleSettings, PacketSizeBelowOneIsRefused) {
  HandleOwner handle(MEMOpen());
  EXPECT_EQ(handle->packet_size, 0x500000);
  EXPECT_EQ(RDRPacketSizeSet(handle.get(), 0), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrInvalidParameter));
  EXPECT_EQ(RDRPacketSizeSet(handle.get(), -512), 0);
  EXPECT_EQ(handle->packet_size, 0x500000);
  EXPECT_EQ(RDRPacketSizeSet(handle.get(), 1), 1);
  EXPECT_EQ(handle->packet_size, 1);
}

TEST(HandleSettings, FlushAndReconnectDoNothingOffUsb) {
  HandleOwner memory(MEMOpen());
  HandleOwner serial = SerialHandle();
  EXPECT_EQ(RDRFlush(memory.get()), 1);
  EXPECT_EQ(RDRReconnect(memory.get()), 1);
  EXPECT_EQ(RDRFlush(serial.get()), 1);
  EXPECT_EQ(RDRReconnect(serial.get()), 1);
  EXPECT_EQ(serial->last_error, 0);
  EXPECT_EQ(RDRFlush(nullptr), 0);
  EXPECT_EQ(RDRReconnect(nullptr), 0);
}

// --- checks made before any request -------------------------------------------
// A memory handle fails every exchange without recording an error, so a
// recorded error proves the operation stopped before it sent anything.

TEST(FilePacketArguments, RefusedBeforeSending) {
  HandleOwner handle(MEMOpen());
  std::vector<uint8_t> data(1025, 0x5A);

  handle->capability_flags = 0;
  EXPECT_EQ(RDRFilePacketWriteRequest(handle.get(), 0, 16, 1, data.data(), 16, 1, "app.bin"), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrNotSupported));
  handle->capability_flags = kCapExtendedRequests;

  SetErrorCode(handle.get(), 0);
  EXPECT_EQ(RDRFilePacketWriteRequest(handle.get(), 0, 1025, 1, data.data(), 1025, 1, nullptr), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrInvalidParameter));

  SetErrorCode(handle.get(), 0);
  EXPECT_EQ(RDRFilePacketWriteRequest(handle.get(), 0, 1, 1, data.data(), 1, 7, "abcdefghijklmnopqrstuvwx"), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrInvalidParameter));

  SetErrorCode(handle.get(), 0);
  EXPECT_EQ(RDRFilePacketWriteRequest(handle.get(), 0, 8, 1, nullptr, 8, 7, nullptr), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrInvalidParameter));

  // Within the limits the request goes out (and the memory exchange fails
  // without an error of its own).
  SetErrorCode(handle.get(), 0);
  EXPECT_EQ(RDRFilePacketWriteRequest(handle.get(), 0, 1024, 1, data.data(), 1024, 7, "abcdefghijklmnopqrstuvw"), 0);
  EXPECT_EQ(handle->last_error, 0);
}

TEST(Fx3Arguments, OverlongLineLeavesTheLastErrorAlone) {
  HandleOwner handle(MEMOpen());
  std::vector<uint8_t> data(1025, 0x11);
  SetErrorCode(handle.get(), LibraryError(kErrTimeout));
  EXPECT_EQ(RDRWriteEepromLineFX3(handle.get(), 0, 0, 1025, data.data()), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrTimeout));
  EXPECT_EQ(GetErrorCode(), LibraryError(kErrTimeout));
  EXPECT_EQ(RDRWriteEepromLineFX3(handle.get(), 0, 0, -1, data.data()), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrTimeout));

  EXPECT_EQ(RDRWriteEepromLineFX3(handle.get(), 0, 0, 16, nullptr), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrInvalidParameter));
}

TEST(Fx3Arguments, ImageWithoutDataIsRefusedAndAnEmptyImageWritesNothing) {
  HandleOwner handle(MEMOpen());
  EXPECT_EQ(RDRFlashFirmwareWriteFX3(handle.get(), 1, nullptr), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrInvalidParameter));
  // Any line sent would fail on the memory transport.
  EXPECT_EQ(RDRFlashFirmwareWriteFX3(handle.get(), 0, nullptr), 1);
  uint8_t byte = 0;
  EXPECT_EQ(RDRFlashFirmwareWriteFX3(handle.get(), -5, &byte), 1);
  EXPECT_EQ(RDRFlashFirmwareWriteFX3(handle.get(), 1, &byte), 0);
}

// --- against a simulated unit -------------------------------------------------

using sim::ReadU16;
using sim::ReadU32;

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return data;
}

// Answers the soft-boot request with a status of its choice and without
// restarting, like a unit that stays on the bus.
class SoftBootAnswer : public sim::RequestHandler {
 public:
  explicit SoftBootAnswer(uint16_t status) : status_(status) {}
  std::optional<std::vector<uint8_t>> Handle(uint8_t command, std::span<const uint8_t>) override {
    if (command != 122) return std::nullopt;
    return std::vector<uint8_t>{static_cast<uint8_t>(status_), static_cast<uint8_t>(status_ >> 8)};
  }
  void Save() override {}

 private:
  uint16_t status_;
};

// What the progress callback saw, and what it does at a given progress.
struct ProgressScript {
  std::vector<std::pair<uint32_t, int32_t>> calls;  // elapsed, progress
  uint32_t user = 0;
  int32_t abort_at = -100;
  sim::Unit* unit = nullptr;  // dropped off the bus at drop_at
  int32_t drop_at = -100;
  std::optional<uint32_t> back_after_ms;
};
ProgressScript g_script;

int32_t ScriptedProgress(uint32_t elapsed, int32_t progress, uint32_t user) {
  g_script.calls.emplace_back(elapsed, progress);
  g_script.user = user;
  if (progress == g_script.drop_at && g_script.unit != nullptr) g_script.unit->Disconnect(g_script.back_after_ms);
  return progress == g_script.abort_at ? 0 : 1;
}

// The progress reports, less the transport's reports while it waits for a
// transfer (those carry the handle's progress, -1 before the first poll).
std::vector<int32_t> ReportedProgress() {
  std::vector<int32_t> progress;
  for (const auto& call : g_script.calls) {
    if (call.second != -1) progress.push_back(call.second);
  }
  return progress;
}

// Elapsed milliseconds of the first report of a progress value.
uint32_t ElapsedAt(int32_t progress) {
  for (const auto& call : g_script.calls) {
    if (call.second == progress) return call.first;
  }
  return 0;
}

class ControlOnUnit : public ::testing::Test {
 protected:
  void SetUp() override { g_script = ProgressScript{}; }

  // Opens the unit and forgets the traffic of the open.
  HandleOwner Open(sim::UnitConfig config = testing_support::WrUnitConfig()) {
    unit_ = &bench_.AddUnit(std::move(config));
    HandleOwner handle(RDROpenUSB(unit_->DevicePath().c_str()));
    EXPECT_NE(handle.get(), InvalidReaderHandle());
    unit_->ClearTraffic();
    return handle;
  }
  std::vector<sim::Request> Requests() { return sim::Requests(unit_->traffic()); }
  // Installs the recording callback and forgets the call its own exit made.
  void WatchProgress(RDRHANDLE handle) {
    ASSERT_EQ(RDRCallbackSet(handle, ScriptedProgress, 0x5EED), 1);
    g_script.calls.clear();
  }

  testing_support::SimBench bench_;
  sim::Unit* unit_ = nullptr;
};

struct ExpectedLine {
  uint8_t chip;
  uint16_t addr;
  uint32_t length;
  size_t position;
};

void ExpectFx3Line(const sim::Request& request, const ExpectedLine& line, const std::vector<uint8_t>& image) {
  SCOPED_TRACE(line.position);
  EXPECT_EQ(request.command, 14);
  EXPECT_EQ(request.size, line.length + 8);
  ASSERT_EQ(request.body.size(), line.length + 8);
  EXPECT_EQ(request.body[0], 7);
  EXPECT_EQ(request.body[1], line.chip);
  EXPECT_EQ(ReadU16(request.body, 2), line.addr);
  EXPECT_EQ(ReadU32(request.body, 4), line.length);
  EXPECT_TRUE(std::equal(request.body.begin() + 8, request.body.end(),
                         image.begin() + static_cast<std::ptrdiff_t>(line.position)));
}

TEST_F(ControlOnUnit, Fx3ImageOf1537BytesIsThreeLines) {
  HandleOwner handle = Open();
  const std::vector<uint8_t> image = Pattern(1537);
  ASSERT_EQ(RDRFlashFirmwareWriteFX3(handle.get(), 1537, image.data()), 1);

  std::vector<sim::Request> requests = Requests();
  ASSERT_EQ(requests.size(), 3u);
  ExpectFx3Line(requests[0], {0, 0, 768, 0}, image);
  ExpectFx3Line(requests[1], {0, 768, 768, 768}, image);
  ExpectFx3Line(requests[2], {0, 1536, 1, 1536}, image);
  std::vector<std::vector<uint8_t>> written = sim::WrittenTransfers(unit_->traffic());
  EXPECT_EQ(written[0].size(), 832u);
  EXPECT_EQ(written[2].size(), 64u);

  std::vector<uint8_t> memory = unit_->Fx3BootMemory();
  ASSERT_GE(memory.size(), image.size());
  EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin()));
}

TEST_F(ControlOnUnit, Fx3LinesCrossingTheChipBoundaryKeepTheirStartAddress) {
  HandleOwner handle = Open();
  const std::vector<uint8_t> image = Pattern(70000);
  ASSERT_EQ(RDRFlashFirmwareWriteFX3(handle.get(), 70000, image.data()), 1);

  std::vector<sim::Request> requests = Requests();
  ASSERT_EQ(requests.size(), 92u);
  ExpectFx3Line(requests[84], {0, 64512, 768, 64512}, image);
  ExpectFx3Line(requests[85], {0, 65280, 768, 65280}, image);  // runs to byte 66047
  ExpectFx3Line(requests[86], {1, 512, 768, 66048}, image);
  ExpectFx3Line(requests[91], {1, 4352, 112, 69888}, image);

  std::vector<uint8_t> memory = unit_->Fx3BootMemory();
  ASSERT_GE(memory.size(), image.size());
  EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin()));
}

TEST_F(ControlOnUnit, Fx3LineFieldsAreCutToTheirWidthAndAFailingLineEndsTheImage) {
  sim::UnitConfig config = testing_support::WrUnitConfig();
  config.fx3_boot_memory_bytes = 0x60000;
  HandleOwner handle = Open(config);
  const std::vector<uint8_t> line = {1, 2, 3, 4};
  ASSERT_EQ(RDRWriteEepromLineFX3(handle.get(), 0x105, 0x10010, 4, line.data()), 1);
  std::vector<sim::Request> requests = Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].body, (std::vector<uint8_t>{7, 0x05, 0x10, 0x00, 4, 0, 0, 0, 1, 2, 3, 4}));
  EXPECT_EQ(unit_->Fx3BootMemory()[0x50010 + 3], 4);

  // The reader refuses the third line (past its memory): the image stops there.
  unit_->ClearTraffic();
  const std::vector<uint8_t> image = Pattern(0x60000 + 10);
  EXPECT_EQ(RDRWriteEepromLineFX3(handle.get(), 5, 0xFFFF, 2, image.data()), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrReaderNoSpace));
  SetErrorCode(handle.get(), 0);
  EXPECT_EQ(RDRFlashFirmwareWriteFX3(handle.get(), static_cast<int32_t>(image.size()), image.data()), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrReaderNoSpace));
  EXPECT_EQ(Requests().size(), 1u + 0x60000 / 768 + 1);
}

// The head of a file packet request: service, index, length, count.
std::vector<uint8_t> PacketHead(uint32_t index, uint32_t length, uint32_t count) {
  std::vector<uint8_t> head(52, 0);
  sim::PutU32(head, 0, 35);
  sim::PutU32(head, 4, index);
  sim::PutU32(head, 8, length);
  sim::PutU32(head, 12, count);
  return head;
}

TEST_F(ControlOnUnit, FinalFilePacketCarriesSizeKindNameAndCrc) {
  HandleOwner handle = Open();
  const std::string data = "abc";
  const std::string name = "abcdefghijklmnopqrstuvw";  // 23 characters, the most there is room for
  // The complement of the standard CRC-32 of "abc".
  ASSERT_EQ(RDRFilePacketWriteRequest(handle.get(), 0, 3, 1, data.data(), 3, 0xCADBBE3D, name.c_str()), 1);

  std::vector<uint8_t> expected = PacketHead(0, 3, 1);
  sim::PutU32(expected, 16, 3);
  expected[20] = 1;
  sim::PutText(expected, 21, 27, name);
  sim::PutU32(expected, 48, 0xCADBBE3D);
  expected.insert(expected.end(), data.begin(), data.end());
  std::vector<sim::Request> requests = Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].command, 14);
  EXPECT_EQ(requests[0].size, 55);
  EXPECT_EQ(requests[0].body, expected);
  // The unit checked the CRC and stored the file under its name.
  std::optional<sim::StoredFile> stored = unit_->FileNamed(name);
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(std::string(stored->contents.begin(), stored->contents.end()), data);

  // 24 characters are refused before anything is sent.
  unit_->ClearTraffic();
  EXPECT_EQ(RDRFilePacketWriteRequest(handle.get(), 0, 3, 1, data.data(), 3, 0xCADBBE3D, (name + "x").c_str()), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrInvalidParameter));
  EXPECT_TRUE(unit_->traffic().empty());
}

TEST_F(ControlOnUnit, FileKindFollowsTheName) {
  HandleOwner handle = Open();
  const std::string data = "abc";
  struct Case {
    const char* name;
    uint8_t kind;
  };
  for (const Case& c : {Case{"fx3.bin", 2}, Case{"FX3.bin", 1}, Case{"fx3.bin ", 1}, Case{nullptr, 0}}) {
    SCOPED_TRACE(c.name != nullptr ? c.name : "(no name)");
    unit_->ClearTraffic();
    ASSERT_EQ(RDRFilePacketWriteRequest(handle.get(), 0, 3, 1, data.data(), 3, 0xCADBBE3D, c.name), 1);
    std::vector<sim::Request> requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].body[20], c.kind);
    EXPECT_EQ(sim::ReadText(requests[0].body, 21, 27), c.name != nullptr ? c.name : "");
    EXPECT_EQ(ReadU32(requests[0].body, 16), 3u);
    EXPECT_EQ(ReadU32(requests[0].body, 48), 0xCADBBE3Du);
  }
  EXPECT_EQ(unit_->FileNamed("fx3.bin")->kind, 2);
  ASSERT_TRUE(unit_->Image().has_value());
  EXPECT_EQ(unit_->Image()->size(), 3u);
}

TEST_F(ControlOnUnit, PacketsWithoutCrcCarryNoFinalFields) {
  HandleOwner handle = Open();
  const std::vector<uint8_t> data = Pattern(1024);
  // The unit rejects this transfer (its CRC is not 0), which the request
  // does not look at: only the exchange counts.
  ASSERT_EQ(RDRFilePacketWriteRequest(handle.get(), 4, 1024, 9, data.data(), 9000, 0, "app.bin"), 1);
  std::vector<uint8_t> expected = PacketHead(4, 1024, 9);
  expected.insert(expected.end(), data.begin(), data.end());
  std::vector<sim::Request> requests = Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].size, 1076);
  EXPECT_EQ(requests[0].body, expected);
  EXPECT_EQ(sim::WrittenTransfers(unit_->traffic())[0].size(), 1088u);
  EXPECT_FALSE(unit_->FileNamed("app.bin").has_value());
}

TEST_F(ControlOnUnit, PacketRequestNeedsExtendedRequests) {
  sim::UnitConfig config = testing_support::WrUnitConfig();
  config.status_word = 0;
  HandleOwner handle = Open(config);
  EXPECT_EQ(RDRFilePacketWriteRequest(handle.get(), 0, 3, 1, "abc", 3, 0xCADBBE3D, "app.bin"), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrNotSupported));
  EXPECT_TRUE(unit_->traffic().empty());
}

TEST_F(ControlOnUnit, SoftBootWithoutReconnectReturnsOnTheAnswer) {
  HandleOwner handle = Open();
  const uint32_t opened = unit_->devices_opened();
  const uint64_t start = bench_.clock().Elapsed();
  ASSERT_EQ(RDRSoftBoot(handle.get(), 0), 1);
  std::vector<sim::Request> requests = Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].command, 122);
  EXPECT_EQ(requests[0].size, 0);
  EXPECT_EQ(unit_->soft_boots(), 1u);
  EXPECT_EQ(unit_->devices_opened(), opened);
  EXPECT_EQ(bench_.clock().Elapsed(), start);
}

TEST_F(ControlOnUnit, SoftBootStatusIsSignExtended) {
  HandleOwner handle = Open();
  unit_->AddHandler(std::make_unique<SoftBootAnswer>(0xFEF5));
  const uint32_t opened = unit_->devices_opened();
  EXPECT_EQ(RDRSoftBoot(handle.get(), 1), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrReaderNotAccepting));
  EXPECT_EQ(unit_->devices_opened(), opened);  // no polling
}

TEST_F(ControlOnUnit, SoftBootEndsWhenTheUnitIsStillGoneInPhaseTwo) {
  sim::UnitConfig config = testing_support::WrUnitConfig();
  config.reenumerate_after_ms = 5000;
  HandleOwner handle = Open(config);
  WatchProgress(handle.get());
  const uint64_t start = bench_.clock().Elapsed();
  EXPECT_EQ(RDRSoftBoot(handle.get(), 1), 1);
  const uint64_t waited = bench_.clock().Elapsed() - start;
  EXPECT_GE(waited, 2000u);
  EXPECT_LT(waited, 3000u);
  // Only the frame's own entry and exit reports: no poll succeeded.
  EXPECT_EQ(ReportedProgress(), (std::vector<int32_t>{0, 100}));
  EXPECT_EQ(g_script.user, 0x5EEDu);
}

TEST_F(ControlOnUnit, SoftBootGivesUpWhenTheUnitIsBackDuringPhaseTwo) {
  sim::UnitConfig config = testing_support::WrUnitConfig();
  config.reenumerate_after_ms = 1500;
  HandleOwner handle = Open(config);
  WatchProgress(handle.get());
  const uint32_t opened = unit_->devices_opened();
  const uint64_t start = bench_.clock().Elapsed();
  EXPECT_EQ(RDRSoftBoot(handle.get(), 1), 0);
  // One failed poll, then twelve that find the unit until the count passes
  // 100, each after its 1000 ms sleep (opening the device costs a little).
  const uint64_t waited = bench_.clock().Elapsed() - start;
  EXPECT_GE(waited, 13000u);
  EXPECT_LT(waited, 14000u);
  EXPECT_EQ(unit_->devices_opened(), opened + 12);
  EXPECT_EQ(ReportedProgress(), (std::vector<int32_t>{0, 1, 10, 20, 30, 40, 50, 60, 70, 80, 90, 99, 110, 100}));
  EXPECT_GE(ElapsedAt(1), 2000u);  // the first report follows the second poll
  EXPECT_LT(ElapsedAt(1), 3000u);
}

TEST_F(ControlOnUnit, SoftBootOfAUnitThatNeverLeavesGivesUpInPhaseOne) {
  HandleOwner handle = Open();
  unit_->AddHandler(std::make_unique<SoftBootAnswer>(0));
  WatchProgress(handle.get());
  const uint64_t start = bench_.clock().Elapsed();
  EXPECT_EQ(RDRSoftBoot(handle.get(), 1), 0);
  const uint64_t waited = bench_.clock().Elapsed() - start;
  EXPECT_GE(waited, 12000u);
  EXPECT_LT(waited, 13000u);
  EXPECT_EQ(ReportedProgress(), (std::vector<int32_t>{0, 1, 10, 20, 30, 40, 50, 60, 70, 80, 90, 99, 110, 100}));
  EXPECT_EQ(unit_->soft_boots(), 0u);
}

TEST_F(ControlOnUnit, SoftBootContinuesTheCountIntoPhaseTwo) {
  for (std::optional<uint32_t> back_after : {std::optional<uint32_t>{1500}, std::optional<uint32_t>{}}) {
    SCOPED_TRACE(back_after.has_value() ? "unit returns" : "unit stays away");
    HandleOwner handle = Open(testing_support::WrUnitConfig(back_after.has_value() ? "WR0001" : "WR0002"));
    unit_->AddHandler(std::make_unique<SoftBootAnswer>(0));
    g_script = ProgressScript{};
    WatchProgress(handle.get());
    // The unit leaves the bus after the poll that reported 20.
    g_script.unit = unit_;
    g_script.drop_at = 20;
    g_script.back_after_ms = back_after;
    if (back_after) {
      EXPECT_EQ(RDRSoftBoot(handle.get(), 1), 0);
      EXPECT_EQ(ReportedProgress(), (std::vector<int32_t>{0, 1, 10, 20, 30, 40, 50, 60, 70, 80, 90, 99, 110, 100}));
    } else {
      EXPECT_EQ(RDRSoftBoot(handle.get(), 1), 1);
      EXPECT_EQ(ReportedProgress(), (std::vector<int32_t>{0, 1, 10, 20, 100}));
    }
  }
}

TEST_F(ControlOnUnit, CallbackAbortsTheSoftBootWait) {
  HandleOwner handle = Open();
  unit_->AddHandler(std::make_unique<SoftBootAnswer>(0));
  WatchProgress(handle.get());
  g_script.abort_at = 10;
  const uint64_t start = bench_.clock().Elapsed();
  EXPECT_EQ(RDRSoftBoot(handle.get(), 1), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrCallbackAbort));
  EXPECT_EQ(GetErrorCode(), LibraryError(kErrCallbackAbort));
  const uint64_t waited = bench_.clock().Elapsed() - start;
  EXPECT_GE(waited, 2000u);
  EXPECT_LT(waited, 3000u);
  EXPECT_EQ(ReportedProgress(), (std::vector<int32_t>{0, 1, 10, 100}));
  // The handle is free again: the next operation goes through.
  g_script.abort_at = -100;
  EXPECT_EQ(RDRTimeoutSet(handle.get(), 7), 1);
}

}  // namespace
