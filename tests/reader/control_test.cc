#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "reader/frame.h"
#include "sim/traffic.h"
#include "sim/wire.h"
#include "tests/support/expect_error.h"
#include "tests/support/sim_bench.h"
#include "tests/support/trace_capture.h"
#include "transport/memory.h"

namespace {

using sim::ReadU16;
using sim::ReadU32;

using testing_support::ReaderOwner;

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return data;
}

TEST(HandleSettings, PacketSizeFlushAndReconnectOffUsb) {
  testing_support::TraceCapture trace;
  ReaderOwner memory(MEMOpen());
  EXPECT_EQ(RDRTimeout(memory.get()), 5);
  EXPECT_FAILS_ON(memory, RDRPacketSizeSet(memory.get(), 0), 0, kErrInvalidParameter);
  EXPECT_EQ(memory->packet_size, 0x500000);
  // Off USB there is nothing to flush or reconnect.
  EXPECT_EQ(RDRFlush(memory.get()), 1);
  EXPECT_EQ(RDRReconnect(memory.get()), 1);
}

// A memory handle fails every exchange without recording an error, so an
// error recorded on it proves the operation stopped before it sent anything.
TEST(ControlArguments, RefusedBeforeSending) {
  testing_support::TraceCapture trace;
  ReaderOwner handle(MEMOpen());
  std::vector<uint8_t> data(1025, 0x5A);
  EXPECT_FAILS_ON(handle, RDRFilePacketWriteRequest(handle.get(), 0, 1025, 1, data.data(), 1025, 1, nullptr), 0,
                  kErrInvalidParameter);
  EXPECT_FAILS_ON(handle, RDRFlashFirmwareWriteFX3(handle.get(), 1, nullptr), 0, kErrInvalidParameter);
  EXPECT_EQ(RDRFlashFirmwareWriteFX3(handle.get(), 0, nullptr), 1);  // nothing to write

  // An overlong line leaves the last error as it was.
  SetErrorCode(handle.get(), LibraryError(kErrTimeout));
  EXPECT_EQ(RDRWriteEepromLineFX3(handle.get(), 0, 0, 1025, data.data()), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrTimeout));
  EXPECT_NE(trace.Read().find("write length 1025 larger than buffer 1024"), std::string::npos);
}

class ControlOnUnit : public ::testing::Test {
 protected:
  ReaderOwner Open(sim::UnitConfig config = testing_support::WrUnitConfig()) {
    unit_ = &bench_.AddUnit(std::move(config));
    return bench_.Open(*unit_);
  }
  std::vector<sim::Request> Requests() { return sim::Requests(unit_->traffic()); }

  testing_support::SimBench bench_;
  sim::Unit* unit_ = nullptr;
};

// One FX3 line request: chip, address, length and the image bytes it carries.
void ExpectFx3Line(const sim::Request& request, uint8_t chip, uint16_t addr, uint32_t length, size_t position,
                   const std::vector<uint8_t>& image) {
  SCOPED_TRACE(position);
  ASSERT_EQ(request.body.size(), length + 8);
  EXPECT_EQ(std::tuple(request.command, request.body[0], request.body[1], ReadU16(request.body, 2)),
            std::tuple(14, 7, chip, addr));
  EXPECT_EQ(ReadU32(request.body, 4), length);
  EXPECT_TRUE(std::equal(request.body.begin() + 8, request.body.end(), image.begin() + std::ptrdiff_t(position)));
}

TEST_F(ControlOnUnit, Fx3ImageIsSentIn768ByteLines) {
  ReaderOwner handle = Open();
  const std::vector<uint8_t> image = Pattern(70000);
  ASSERT_EQ(RDRFlashFirmwareWriteFX3(handle.get(), 70000, image.data()), 1);
  const std::vector<sim::Request> requests = Requests();
  ASSERT_EQ(requests.size(), 92u);
  EXPECT_EQ(sim::WrittenTransfers(unit_->traffic())[0].size(), 832u);
  ExpectFx3Line(requests[85], 0, 65280, 768, 65280, image);  // runs to byte 66047
  ExpectFx3Line(requests[86], 1, 512, 768, 66048, image);
  ExpectFx3Line(requests[91], 1, 4352, 112, 69888, image);
}

TEST_F(ControlOnUnit, Fx3LineFieldsAndAFailingLine) {
  sim::UnitConfig config = testing_support::WrUnitConfig();
  config.fx3_boot_memory_bytes = 0x60000;
  ReaderOwner handle = Open(config);
  const std::vector<uint8_t> line = {1, 2, 3, 4};
  ASSERT_EQ(RDRWriteEepromLineFX3(handle.get(), 0x105, 0x10010, 4, line.data()), 1);
  EXPECT_EQ(Requests()[0].body, (std::vector<uint8_t>{7, 0x05, 0x10, 0x00, 4, 0, 0, 0, 1, 2, 3, 4}));

  // The unit refuses the line that runs past its memory: the image ends there.
  unit_->ClearTraffic();
  const std::vector<uint8_t> image = Pattern(0x60000 + 10);
  EXPECT_FAILS_ON(handle, RDRFlashFirmwareWriteFX3(handle.get(), static_cast<int32_t>(image.size()), image.data()), 0,
                  kErrReaderNoSpace);
  EXPECT_EQ(Requests().size(), 0x60000u / 768 + 1);
}

TEST_F(ControlOnUnit, FinalFilePacketLayout) {
  ReaderOwner handle = Open();
  const std::string data = "abc";
  const std::string name = "abcdefghijklmnopqrstuvw";  // 23 characters
  // 0xCADBBE3D is the complement of the standard CRC-32 of "abc".
  ASSERT_EQ(RDRFilePacketWriteRequest(handle.get(), 0, 3, 1, data.data(), 3, 0xCADBBE3D, name.c_str()), 1);
  ASSERT_EQ(Requests().size(), 1u);
  EXPECT_EQ(Requests()[0].size, 55);
  EXPECT_EQ(Requests()[0].body, testing_support::FilePacketBody(0, 1, std::vector<uint8_t>(data.begin(), data.end()),
                                                                {3, 1, name, 0xCADBBE3D}));
  ASSERT_TRUE(unit_->FileNamed(name).has_value());  // the unit accepted size and CRC
  EXPECT_EQ(unit_->FileNamed(name)->contents, std::vector<uint8_t>(data.begin(), data.end()));

  for (auto [file, kind] : {std::pair<const char*, uint8_t>{"fx3.bin", 2}, {"FX3.bin", 1}, {nullptr, 0}}) {
    unit_->ClearTraffic();
    ASSERT_EQ(RDRFilePacketWriteRequest(handle.get(), 0, 3, 1, data.data(), 3, 0xCADBBE3D, file), 1);
    EXPECT_EQ(Requests()[0].body[20], kind);
    EXPECT_EQ(sim::ReadText(Requests()[0].body, 21, 27), file != nullptr ? file : "");
  }
  EXPECT_EQ(unit_->FileNamed("fx3.bin")->kind, 2);
  EXPECT_TRUE(unit_->Image().has_value());

  unit_->ClearTraffic();
  EXPECT_FAILS_ON(handle,
                  RDRFilePacketWriteRequest(handle.get(), 0, 3, 1, data.data(), 3, 0xCADBBE3D, (name + "x").c_str()), 0,
                  kErrInvalidParameter);
  EXPECT_TRUE(unit_->traffic().empty());
}

TEST_F(ControlOnUnit, PacketWithoutCrcCarriesNoFinalFields) {
  ReaderOwner handle = Open();
  const std::vector<uint8_t> data = Pattern(1024);
  // Packet 4 before packet 0: the unit refuses it, and so the write fails.
  EXPECT_FAILS_ON(handle, RDRFilePacketWriteRequest(handle.get(), 4, 1024, 9, data.data(), 9000, 0, "app.bin"), 0,
                  kErrReaderNotAccepting);
  ASSERT_EQ(Requests().size(), 1u);
  EXPECT_EQ(Requests()[0].body, testing_support::FilePacketBody(4, 9, data));

  handle->capability_flags = 0;
  unit_->ClearTraffic();
  EXPECT_FAILS_ON(handle, RDRFilePacketWriteRequest(handle.get(), 0, 3, 1, "abc", 3, 0xCADBBE3D, "app.bin"), 0,
                  kErrNotSupported);
  EXPECT_TRUE(unit_->traffic().empty());
}

// Answers the soft-boot request with a given status and no restart, like a
// unit that stays on the bus.
void AnswerSoftBoot(sim::Unit& unit, uint16_t status) {
  testing_support::Intercept(unit, [=](uint8_t command, auto) {
    return command == 122 ? std::optional(std::vector<uint8_t>{uint8_t(status), uint8_t(status >> 8)}) : std::nullopt;
  });
}

// What the progress callback saw, and what it does at given progress values.
struct ProgressScript {
  std::vector<int32_t> progress;  // less the transport's waits for a transfer (-1)
  uint32_t user = 0;
  int32_t abort_at = -100;
  sim::Unit* unit = nullptr;  // dropped off the bus at drop_at
  int32_t drop_at = -100;
  std::optional<uint32_t> back_after_ms;
};
ProgressScript g_script;

int32_t ScriptedProgress(uint32_t, int32_t progress, uint32_t user) {
  if (progress != -1) g_script.progress.push_back(progress);
  g_script.user = user;
  if (progress == g_script.drop_at) g_script.unit->Disconnect(g_script.back_after_ms);
  return progress == g_script.abort_at ? 0 : 1;
}

TEST_F(ControlOnUnit, SoftBootWithoutReconnectReturnsOnTheAnswer) {
  ReaderOwner handle = Open();
  const uint32_t opened = unit_->devices_opened();
  const uint64_t start = bench_.clock().Elapsed();
  ASSERT_EQ(RDRSoftBoot(handle.get(), 0), 1);
  ASSERT_EQ(Requests().size(), 1u);
  EXPECT_EQ(std::tuple(Requests()[0].command, Requests()[0].size), std::tuple(122, 0));
  EXPECT_EQ(std::tuple(unit_->soft_boots(), unit_->devices_opened(), bench_.clock().Elapsed()),
            std::tuple(1u, opened, start));

  // The 16-bit status is sign-extended: 0xFEF5 is -267, and nothing is polled.
  ReaderOwner other = Open(testing_support::WrUnitConfig("WR0002"));
  AnswerSoftBoot(*unit_, 0xFEF5);
  const uint32_t other_opened = unit_->devices_opened();
  EXPECT_FAILS_ON(other, RDRSoftBoot(other.get(), 1), 0, kErrReaderNotAccepting);
  EXPECT_EQ(unit_->devices_opened(), other_opened);
}

TEST_F(ControlOnUnit, SoftBootFollowsTheRestartOnTheVirtualClock) {
  const std::vector<int32_t> all = {0, 1, 10, 20, 30, 40, 50, 60, 70, 80, 90, 99, 110, 100};
  struct Case {
    const char* what;
    std::optional<uint32_t> reboot_ms;  // the unit restarts for this long; none: it stays on the bus
    int32_t drop_at = -100;             // or it leaves after the poll that reported this
    std::optional<uint32_t> back_after_ms;
    int32_t abort_at = -100;
    int32_t result;
    std::vector<int32_t> progress;
    uint32_t polls;  // each one second apart
  };
  const Case cases[] = {
      {"still gone at the first poll of phase two", 5000, -100, {}, -100, 1, {0, 100}, 2},
      {"back during phase two: polls until the count passes 100", 1500, -100, {}, -100, 0, all, 13},
      {"never leaves: phase one gives up", {}, -100, {}, -100, 0, all, 12},
      {"leaves late and comes back: the count goes on", {}, 20, 1500, -100, 0, all, 13},
      {"leaves late for good", {}, 20, {}, -100, 1, {0, 1, 10, 20, 100}, 5},
      {"the callback aborts", {}, -100, {}, 10, 0, {0, 1, 10, 100}, 2},
  };
  int serial = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::UnitConfig config = testing_support::WrUnitConfig("WR000" + std::to_string(++serial));
    if (c.reboot_ms) config.reenumerate_after_ms = *c.reboot_ms;
    ReaderOwner handle = Open(config);
    if (!c.reboot_ms) AnswerSoftBoot(*unit_, 0);
    ASSERT_EQ(RDRCallbackSet(handle.get(), ScriptedProgress, 0x5EED), 1);
    g_script = ProgressScript{{}, 0, c.abort_at, unit_, c.drop_at, c.back_after_ms};

    const uint64_t start = bench_.clock().Elapsed();
    EXPECT_EQ(RDRSoftBoot(handle.get(), 1), c.result);
    EXPECT_EQ(g_script.progress, c.progress);
    EXPECT_EQ(g_script.user, 0x5EEDu);
    // Each poll sleeps one second first; reopening the device costs a little.
    const uint64_t waited = bench_.clock().Elapsed() - start;
    EXPECT_GE(waited, c.polls * 1000u);
    EXPECT_LT(waited, c.polls * 1000u + 1000u);
    if (c.abort_at >= 0) {
      EXPECT_EQ(handle->last_error, LibraryError(kErrCallbackAbort));
    }
  }
}

}  // namespace
