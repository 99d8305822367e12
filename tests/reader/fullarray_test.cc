// The full-array handle against simulated units: memory sizes asked for and
// measured, the status word, serial memory reads and handle validation.
#include "reader/fullarray.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "reader/rdr.h"
#include "sim/flash_model.h"
#include "tests/support/sim_bench.h"
#include "tests/support/temp_dir.h"
#include "trace/trace.h"

namespace {

int32_t Error(int32_t number) { return LibraryError(number); }

nlohmann::json Memory(uint32_t size, uint32_t seed) { return {{"size", size}, {"seed", seed}}; }

// A unit with the given flash configuration; optionally a model the test
// reaches in place of the unit's own.
class ArrayBench {
 public:
  explicit ArrayBench(nlohmann::json flash, sim::UnitConfig config = testing_support::WrUnitConfig(),
                      bool own_flash = false) {
    config.flash = flash;
    unit_ = bench_.backend().AddUnit(std::move(config));
    if (own_flash) {
      auto model = std::make_unique<sim::FlashModel>(flash, std::filesystem::path());
      flash_ = model.get();
      unit_->AddHandler(std::move(model));
    }
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
  sim::FlashModel& flash() { return *flash_; }
  std::vector<sim::Request> InformationRequests() {
    std::vector<sim::Request> found;
    for (auto& request : sim::Requests(unit_->traffic())) {
      if (request.command == sim::kInformationCommand) found.push_back(request);
    }
    return found;
  }

 private:
  testing_support::SimBench bench_;
  std::shared_ptr<sim::Unit> unit_;
  sim::FlashModel* flash_ = nullptr;
  FAHANDLE handle_ = InvalidFullArrayHandle();
};

TEST(FullArrayOpen, SizesFromTheReaderAndTheFullSizeFlag) {
  ArrayBench bench(nlohmann::json{{"firmware_memory_size", 0x40000}, {"config_memory_size", 0x40000}});
  FAHANDLE handle = bench.Open();
  ASSERT_NE(handle, InvalidFullArrayHandle());
  EXPECT_EQ(handle->firmware_size, 0x40000u);
  EXPECT_EQ(handle->config_size, 0x40000u);
  EXPECT_EQ(handle->full_size, 1u);
  EXPECT_EQ(handle->api_version, 0x000Bu);
  EXPECT_EQ(RDRTimeout(handle->inner), 2);  // the 1-second measuring timeout was undone

  ArrayBench half(nlohmann::json{{"firmware_memory_size", 0x40000}, {"config_memory_size", 0x20000}});
  FAHANDLE other = half.Open();
  ASSERT_NE(other, InvalidFullArrayHandle());
  EXPECT_EQ(other->full_size, 0u);
}

TEST(FullArrayOpen, ProbingByWrapAround) {
  struct Case {
    const char* what;
    nlohmann::json memories;
    uint32_t firmware;
    uint32_t config;
  };
  const std::vector<Case> cases = {
      // Chip 20 mirrors chip 16: the small configuration memory.
      {"equal blocks",
       {{"2", Memory(0x2000, 1)}, {"16", Memory(0x20000, 5)}, {"20", Memory(0x20000, 5)}},
       0x2000,
       0x20000},
      // No chip 20 at all (it answers -266, quietly).
      {"no chip 20", {{"2", Memory(0x4000, 1)}, {"16", Memory(0x20000, 5)}}, 0x4000, 0x20000},
      // Chip 20 differs and chip 32 wraps at 0x4000 onto chip 16's contents.
      {"large",
       {{"2", Memory(0x4000, 1)}, {"16", Memory(0x20000, 5)}, {"20", Memory(0x20000, 6)}, {"32", Memory(0x4000, 5)}},
       0x4000,
       0x84000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ArrayBench bench(nlohmann::json{{"memory_size_service", false}, {"serial_memories", c.memories}});
    FAHANDLE handle = bench.Open();
    ASSERT_NE(handle, InvalidFullArrayHandle());
    EXPECT_EQ(handle->firmware_size, c.firmware);
    EXPECT_EQ(handle->config_size, c.config);
    EXPECT_EQ(handle->full_size, 0u);
  }
}

TEST(FullArrayOpen, UnrecognisedMemoriesFailTheOpen) {
  // Chip 32 matches nothing; then a firmware memory larger than 16 KiB.
  for (const nlohmann::json& memories : {nlohmann::json{{"2", Memory(0x4000, 1)},
                                                        {"16", Memory(0x20000, 5)},
                                                        {"20", Memory(0x20000, 6)},
                                                        {"32", Memory(0x4000, 7)}},
                                         nlohmann::json{{"2", Memory(0x10000, 1)}, {"16", Memory(0x20000, 5)}}}) {
    ArrayBench bench(nlohmann::json{{"memory_size_service", false}, {"serial_memories", memories}});
    EXPECT_EQ(bench.Open(), InvalidFullArrayHandle());
    EXPECT_EQ(GetErrorCode(), Error(8));
  }
  // The firmware memory unreadable: its -266 is not quiet.
  ArrayBench missing(nlohmann::json{{"memory_size_service", false}, {"serial_memories", {{"16", Memory(0x20000, 5)}}}});
  EXPECT_EQ(missing.Open(), InvalidFullArrayHandle());
  EXPECT_EQ(GetErrorCode(), Error(17));
}

TEST(FullArrayOpen, Firmware40990NeedsNoStatusRequest) {
  sim::UnitConfig config = testing_support::WrUnitConfig();
  config.firmware_name = "FW-40990-01";
  ArrayBench bench(nlohmann::json{{"memory_size_service", false}, {"serial_memories", {{"16", Memory(0x20000, 5)}}}},
                   config);
  FAHANDLE handle = bench.Open();
  ASSERT_NE(handle, InvalidFullArrayHandle());
  EXPECT_EQ(handle->firmware_size, 0u);
  EXPECT_EQ(handle->config_size, 0x20000u);
  uint32_t word = 0xFFFF;
  EXPECT_EQ(FullArrayStatus(handle, &word), 1);
  EXPECT_EQ(word, 0u);
  EXPECT_TRUE(bench.InformationRequests().empty());
}

TEST(FullArrayStatusWord, SetReadAndBitsThatDoNotStick) {
  testing_support::TempDir dir;
  const std::string path = dir.File("RdrDev.log");
  LOGHANDLE log = LogOpen(path.c_str(), kTraceDetail);
  ASSERT_NE(log, InvalidLogHandle());
  LogSetGlobal(log);
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
    EXPECT_EQ(requests[1].size, 60);
    std::vector<uint8_t> expected(60, 0);
    expected[0] = 4;
    expected[4] = 3;
    EXPECT_EQ(requests[1].body, expected);
  }
  LogSetGlobal(nullptr);
  EXPECT_EQ(LogClose(log), 1);
  const std::string text = testing_support::ReadFile(path);
  EXPECT_NE(text.find("Setting bits 0x3"), std::string::npos);
  EXPECT_NE(text.find("Updated bits 0x83"), std::string::npos);
  EXPECT_NE(text.find("ERROR: Status failed to be set!!! Set 0x4, got back 0x83"), std::string::npos);
  EXPECT_EQ(text.find("Status failed to be set!!! Set 0x3"), std::string::npos);
  EXPECT_EQ(text.find("Status failed to be set!!! Set 0x10"), std::string::npos);
}

TEST(FullArrayEeprom, LinesSplitAtTheHalfBoundary) {
  nlohmann::json flash = {{"serial_memories", {{"2", Memory(0x10000, 1)}, {"16", Memory(0x20000, 5)}}},
                          {"firmware_memory_size", 0x10000}};
  ArrayBench bench(flash, testing_support::WrUnitConfig(), /*own_flash=*/true);
  FAHANDLE handle = bench.Open();
  ASSERT_NE(handle, InvalidFullArrayHandle());
  std::vector<uint8_t> known(50);
  for (size_t i = 0; i < known.size(); ++i) known[i] = static_cast<uint8_t>(0xC0 + i);
  ASSERT_TRUE(bench.flash().PokeSerialMemory(2, 0x7FF0, known));

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

  EXPECT_EQ(_ReadEepromLine(handle, 2, 0, 57, buffer.data()), 0);
  EXPECT_EQ(GetErrorCode(), Error(4));
  // A missing memory below chip 16 is an error the reader reported.
  EXPECT_EQ(_ReadEepromLine(handle, 4, 0, 8, buffer.data()), 0);
  EXPECT_EQ(GetErrorCode(), Error(17));
}

TEST(FullArrayHandles, InvalidAndClosedHandlesAreRefused) {
  EXPECT_EQ(FullArrayClose(InvalidFullArrayHandle()), 0);
  EXPECT_EQ(GetErrorCode(), Error(4));
  uint32_t word = 0;
  EXPECT_EQ(FullArrayStatus(nullptr, &word), 0);
  EXPECT_EQ(GetErrorCode(), Error(4));
  FullArrayRecord fake{};
  fake.kind_tag = kKindFullArray;
  EXPECT_EQ(FullArrayStatus(&fake, &word), 0);
  EXPECT_EQ(GetErrorCode(), Error(4));

  testing_support::SimBench bench;
  EXPECT_EQ(FullArrayOpenUSB(nullptr), InvalidFullArrayHandle());  // no reader attached
  EXPECT_EQ(GetErrorCode(), Error(22));
  bench.AddUnit();
  FAHANDLE handle = FullArrayOpenUSB(nullptr);
  ASSERT_NE(handle, InvalidFullArrayHandle());
  EXPECT_EQ(FullArrayClose(handle), 1);
  EXPECT_EQ(FullArrayStatus(handle, &word), 0);  // closed: refused, not read
  EXPECT_EQ(GetErrorCode(), Error(4));
  EXPECT_EQ(FullArrayClose(handle), 0);
}

TEST(FullArrayHandles, OpenAndCloseLeaveTheTraceLogClosable) {
  testing_support::TempDir dir;
  const std::string path = dir.File("RdrDev.log");
  LOGHANDLE log = LogOpen(path.c_str(), kTraceDetail);
  ASSERT_NE(log, InvalidLogHandle());
  LogSetGlobal(log);
  {
    ArrayBench bench(nlohmann::json::object());
    FAHANDLE handle = bench.Open();
    ASSERT_NE(handle, InvalidFullArrayHandle());
    EXPECT_EQ(FullArrayClose(handle), 1);
    ArrayBench failing(nlohmann::json{{"memory_size_service", false}, {"serial_memories", nlohmann::json::object()}});
    EXPECT_EQ(failing.Open(), InvalidFullArrayHandle());
  }
  LogSetGlobal(nullptr);
  EXPECT_EQ(LogClose(log), 1);  // no instance left attached
  const std::string text = testing_support::ReadFile(path);
  EXPECT_NE(text.find("enter FullArrayOpenUSB("), std::string::npos);
  EXPECT_NE(text.find("Firmware=16384 bytes, Config=131072 bytes"), std::string::npos);
  EXPECT_NE(text.find("Reader closure will continue after exit log"), std::string::npos);
}

TEST(FullArrayNames, CommandNameTable) {
  EXPECT_STREQ(FullArrayCommandName(0), "NotAssigned");
  EXPECT_STREQ(FullArrayCommandName(4), "FULLARRAYCOMMANDSETSTATUS");
  EXPECT_STREQ(FullArrayCommandName(8), "FULLARRAYCOMMANDREADEEPROM");
  EXPECT_STREQ(FullArrayCommandName(15), "FULLARRAYCOMMANDREADGPIO");
  EXPECT_EQ(FullArrayCommandName(16), nullptr);
  EXPECT_EQ(FullArrayCommandName(-1), nullptr);
}

}  // namespace
