// The full-array handle against simulated units: memory sizes asked for and
// measured, the status word, serial memory reads and handle validation.
#include "reader/fullarray.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "reader/rdr.h"
#include "sim/flash_model.h"
#include "sim/traffic.h"
#include "tests/support/expect_error.h"
#include "tests/support/sim_bench.h"
#include "tests/support/trace_capture.h"

namespace {

nlohmann::json Memory(uint32_t size, uint32_t seed) { return {{"size", size}, {"seed", seed}}; }
nlohmann::json Probed(nlohmann::json memories) {
  return {{"memory_size_service", false}, {"serial_memories", std::move(memories)}};
}

// A unit with the given flash configuration, opened as a full-array handle.
class ArrayBench {
 public:
  explicit ArrayBench(nlohmann::json flash, sim::UnitConfig config = testing_support::WrUnitConfig()) {
    config.flash = std::move(flash);
    unit_ = &bench_.AddUnit(std::move(config));
  }
  ~ArrayBench() {
    if (handle_ != InvalidFullArrayHandle()) FullArrayClose(handle_);
  }

  FAHANDLE Open() {
    handle_ = FullArrayOpenUSB(unit_->DevicePath().c_str());
    unit_->ClearTraffic();
    return handle_;
  }
  sim::Unit& unit() { return *unit_; }
  std::vector<sim::Request> InformationRequests() {
    return testing_support::RequestsOf(*unit_, sim::kInformationCommand);
  }

 private:
  testing_support::SimBench bench_;
  sim::Unit* unit_ = nullptr;
  FAHANDLE handle_ = InvalidFullArrayHandle();
};

TEST(FullArrayOpen, SizesFromTheReaderAndTheFullSizeFlag) {
  ArrayBench bench(nlohmann::json{{"firmware_memory_size", 0x40000}, {"config_memory_size", 0x40000}});
  FAHANDLE handle = bench.Open();
  ASSERT_NE(handle, InvalidFullArrayHandle());
  EXPECT_EQ(std::tuple(handle->firmware_size, handle->config_size, handle->full_size, handle->api_version),
            std::tuple(0x40000u, 0x40000u, 1u, 0x000Bu));
  EXPECT_EQ(RDRTimeout(handle->inner), 2);  // the 1-second measuring timeout was undone
}

TEST(FullArrayOpen, ProbingByWrapAround) {
  // Chip 20 mirrors chip 16 (small configuration memory); no chip 20 (it answers -266, quietly); chip 20
  // differs and chip 32 wraps at 0x4000 onto chip 16's contents.
  // clang-format off
  const std::vector<std::tuple<nlohmann::json, uint32_t, uint32_t>> cases = {
      {{{"2", Memory(0x2000, 1)}, {"16", Memory(0x20000, 5)}, {"20", Memory(0x20000, 5)}}, 0x2000, 0x20000},
      {{{"2", Memory(0x4000, 1)}, {"16", Memory(0x20000, 5)}}, 0x4000, 0x20000},
      {{{"2", Memory(0x4000, 1)}, {"16", Memory(0x20000, 5)}, {"20", Memory(0x20000, 6)}, {"32", Memory(0x4000, 5)}}, 0x4000, 0x84000}};
  // clang-format on
  for (const auto& [memories, firmware, config] : cases) {
    ArrayBench bench(Probed(memories));
    FAHANDLE handle = bench.Open();
    ASSERT_NE(handle, InvalidFullArrayHandle());
    EXPECT_EQ(std::tuple(handle->firmware_size, handle->config_size, handle->full_size),
              std::tuple(firmware, config, 0u));
  }
}
TEST(FullArrayOpen, UnrecognisedMemoriesFailTheOpen) {
  // Chip 32 matches nothing; then a firmware memory larger than 16 KiB.
  const nlohmann::json chip32 = {
      {"2", Memory(0x4000, 1)}, {"16", Memory(0x20000, 5)}, {"20", Memory(0x20000, 6)}, {"32", Memory(0x4000, 7)}};
  for (const nlohmann::json& memories : {chip32, nlohmann::json{{"2", Memory(0x10000, 1)}, {"16", Memory(0x20000, 5)}}})
    EXPECT_FAILS_WITH(ArrayBench(Probed(memories)).Open(), InvalidFullArrayHandle(), kErrNotSupported);
  // The firmware memory unreadable: its -266 is not quiet.
  EXPECT_FAILS_WITH(ArrayBench(Probed({{"16", Memory(0x20000, 5)}})).Open(), InvalidFullArrayHandle(),
                    kErrReaderUnsupported);
}

TEST(FullArrayOpen, Firmware40990NeedsNoStatusRequest) {
  sim::UnitConfig config = testing_support::WrUnitConfig();
  config.firmware_name = "FW-40990-01";
  ArrayBench bench(Probed({{"16", Memory(0x20000, 5)}}), config);
  FAHANDLE handle = bench.Open();
  ASSERT_NE(handle, InvalidFullArrayHandle());
  EXPECT_EQ(std::pair(handle->firmware_size, handle->config_size), std::pair(0u, 0x20000u));
  uint32_t word = 0xFFFF;
  EXPECT_EQ(FullArrayStatus(handle, &word), 1);
  EXPECT_EQ(word, 0u);
  EXPECT_TRUE(bench.InformationRequests().empty());
}

TEST(FullArrayStatusWord, SetReadAndBitsThatDoNotStick) {
  testing_support::TraceCapture trace;
  {
    sim::UnitConfig config = testing_support::WrUnitConfig();
    config.status_word = 0x80;
    config.non_sticky_bits = 0x4;
    ArrayBench bench(nlohmann::json::object(), config);
    FAHANDLE handle = bench.Open();
    ASSERT_NE(handle, InvalidFullArrayHandle());
    uint32_t word = 0;
    EXPECT_EQ(FullArrayStatus(handle, &word), 1);
    EXPECT_EQ(word, 0x80u);
    EXPECT_EQ(FullArrayStatusSet(handle, 0x3, &word), 1);
    EXPECT_EQ(word, 0x83u);
    EXPECT_EQ(FullArrayStatusSet(handle, 0x4, &word), 1);  // traced as an error, still 1
    EXPECT_EQ(word, 0x83u);
    EXPECT_EQ(FullArrayStatusSet(handle, 0x10, nullptr), 1);
    EXPECT_EQ(bench.unit().status_word(), 0x93u);
    auto requests = bench.InformationRequests();
    ASSERT_EQ(requests.size(), 4u);
    std::vector<uint8_t> expected(60, 0);  // 60 bytes: command 4, the bits at 4
    expected[0] = 4;
    expected[4] = 3;
    EXPECT_EQ(requests[1].body, expected);
    // A reply with the status but not the word fails rather than read a zero word.
    bench.unit().SetFaults({});
    bench.unit().ScriptReply(1, sim::ScriptedReply{{{4, 0, sim::kInformationCommand, 0, 0, 0, 0, 0}}});
    EXPECT_FAILS_ON(handle->inner, FullArrayStatusSet(handle, 1, &word), 0, kErrIncompleteMessage);
  }
  EXPECT_EQ(trace.Close(), 1);
  const std::string text = trace.Read();
  EXPECT_NE(text.find("Updated bits 0x93\r\n"), std::string::npos);
  EXPECT_NE(text.find("ERROR: Status failed to be set!!! Set 0x4, got back 0x83"), std::string::npos);
  EXPECT_EQ(text.find("Status failed to be set!!! Set 0x"), text.rfind("Status failed to be set!!! Set 0x"));
}

TEST(FullArrayEeprom, LinesSplitAtTheHalfBoundary) {
  nlohmann::json flash = {{"serial_memories", {{"2", Memory(0x10000, 1)}, {"16", Memory(0x20000, 5)}}},
                          {"firmware_memory_size", 0x10000}};
  ArrayBench bench(flash);
  FAHANDLE handle = bench.Open();
  ASSERT_NE(handle, InvalidFullArrayHandle());
  std::vector<uint8_t> known(50);
  for (size_t i = 0; i < known.size(); ++i) known[i] = static_cast<uint8_t>(0xC0 + i);
  ASSERT_TRUE(bench.unit().flash().PokeSerialMemory(2, 0x7FF0, known));

  std::array<uint8_t, 64> buffer;
  buffer.fill(0xEE);
  ASSERT_EQ(_ReadEeprom(handle, 2, 0x7FF0, 50, buffer.data()), 1);
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 50), known);
  EXPECT_EQ(buffer[50], 0xEE);
  auto requests = bench.InformationRequests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].body, (std::vector<uint8_t>{8, 2, 0xF0, 0x7F, 16, 0, 0, 0}));
  EXPECT_EQ(requests[1].body, (std::vector<uint8_t>{8, 10, 0x00, 0x00, 32, 0, 0, 0}));
  EXPECT_EQ(requests[2].body, (std::vector<uint8_t>{8, 10, 0x20, 0x00, 4, 0, 0, 0}));

  bench.unit().ClearTraffic();
  ASSERT_EQ(_ReadEeprom(handle, 2, 0x7FF0 - 0x7FF0, 50, buffer.data()), 1);
  requests = bench.InformationRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].body, (std::vector<uint8_t>{8, 2, 0x20, 0x00, 20, 0, 0, 0}));  // 18 asked as 20

  buffer.fill(0xEE);  // a single byte is still read
  ASSERT_EQ(_ReadEeprom(handle, 2, 0x7FF0, 1, buffer.data()), 1);
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 2), (std::vector<uint8_t>{known[0], 0xEE}));
  EXPECT_FAILS_WITH(_ReadEepromLine(handle, 2, 0, 57, buffer.data()), 0, kErrInvalidParameter);
  // A missing memory below chip 16 is an error the reader reported.
  EXPECT_FAILS_WITH(_ReadEepromLine(handle, 4, 0, 8, buffer.data()), 0, kErrReaderUnsupported);
}

TEST(FullArrayHandles, InvalidAndClosedHandlesAreRefused) {
  EXPECT_FAILS_WITH(FullArrayClose(InvalidFullArrayHandle()), 0, kErrInvalidParameter);
  uint32_t word = 0;

  testing_support::SimBench bench;
  EXPECT_FAILS_WITH(FullArrayOpenUSB(nullptr), InvalidFullArrayHandle(), kErrNotFound);  // no reader attached
  bench.AddUnit();
  FAHANDLE handle = FullArrayOpenUSB(nullptr);
  ASSERT_NE(handle, InvalidFullArrayHandle());
  EXPECT_EQ(FullArrayClose(handle), 1);
  // Closed: refused, not read.
  EXPECT_FAILS_WITH(FullArrayStatus(handle, &word), 0, kErrInvalidParameter);
  EXPECT_EQ(FullArrayClose(handle), 0);

  // A progress callback answering abort does not keep the reader held.
  handle = FullArrayOpenUSB(nullptr);
  ASSERT_NE(handle, InvalidFullArrayHandle());
  ASSERT_EQ(RDRCallbackSet(
                handle->inner, [](uint32_t, int32_t, uint32_t) { return 0; }, 0),
            1);
  EXPECT_EQ(FullArrayClose(handle), 1);
  handle = FullArrayOpenUSB(nullptr);  // the reader is free to open again
  ASSERT_NE(handle, InvalidFullArrayHandle());
  EXPECT_EQ(FullArrayClose(handle), 1);
}

// Each operation traces its arguments by name (checked as the capture
// closes); open and close leave no instance attached to the log.
TEST(FullArrayHandles, TracedArgumentsAndATraceLogLeftClosable) {
  testing_support::TraceCapture trace;
  {
    ArrayBench bench(nlohmann::json::object());
    FAHANDLE handle = bench.Open();
    ASSERT_NE(handle, InvalidFullArrayHandle());
    uint32_t word = 0;
    uint8_t buffer[8];
    FullArrayStatusSet(handle, 0, &word);
    _ReadEeprom(handle, 2, 0, 4, buffer);
    EXPECT_EQ(FullArrayClose(handle), 1);
    EXPECT_EQ(ArrayBench(Probed(nlohmann::json::object())).Open(), InvalidFullArrayHandle());
  }
  EXPECT_EQ(trace.Close(), 1);  // no instance left attached
  const std::string text = trace.Read();
  EXPECT_NE(text.find("Firmware=16384 bytes, Config=131072 bytes"), std::string::npos);
  EXPECT_NE(text.find("Reader closure will continue after exit log"), std::string::npos);
}

}  // namespace
