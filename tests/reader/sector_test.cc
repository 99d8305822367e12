// The sector commands against a simulated unit: the bytes on the wire and
// their trace, the refusal by firmware number, the status mapping and the
// location hints.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "reader/flash.h"
#include "reader/frame.h"
#include "sim/flash_model.h"
#include "tests/support/expect_error.h"
#include "tests/support/sim_bench.h"
#include "tests/support/trace_capture.h"

namespace {

// A unit whose flash model the test can reach, opened through the library.
class SectorBench {
 public:
  explicit SectorBench(sim::UnitConfig config = testing_support::WrUnitConfig())
      : unit_(bench_.AddUnit(std::move(config))), handle_(bench_.Open(unit_)) {}

  RDRHANDLE handle() const { return handle_.get(); }
  sim::Unit& unit() { return unit_; }
  sim::FlashModel& flash() { return unit_.flash(); }
  std::vector<sim::Request> SectorRequests() { return testing_support::RequestsOf(unit_, sim::kSectorCommand); }

 private:
  testing_support::SimBench bench_;
  sim::Unit& unit_;
  testing_support::ReaderOwner handle_;
};

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  return std::vector<uint8_t>(values.begin(), values.end());
}

// Every sector operation but SectorInit, on fixed arguments.
std::map<std::string, std::function<int32_t()>> Operations(RDRHANDLE handle, uint8_t* data, uint16_t* id,
                                                           uint16_t* location) {
  return {{"delete", [=] { return SectorDelete(handle, 0, 9, location); }},
          {"raw write", [=] { return SectorRawWrite(handle, 0, 70, 0, 4, data); }},
          {"raw erase", [=] { return SectorRawErase(handle, 0, 64, 1, 1); }},
          {"read", [=] { return SectorRead(handle, 0, 9, 0, 4, data, location); }},
          {"raw read", [=] { return SectorRawRead(handle, 0, 70, 0, 4, data); }},
          {"new", [=] { return SectorNew(handle, 0, id, location); }},
          {"write", [=] { return SectorWrite(handle, 0, 9, 0, 4, data, location); }}};
}

TEST(SectorCommands, RequestBytesRepliesLocationsAndTheirTrace) {
  testing_support::TraceCapture trace;
  SectorBench bench;
  RDRHANDLE handle = bench.handle();
  ASSERT_EQ(SectorInit(handle, 0), 1);

  uint16_t id = 0;
  ASSERT_EQ(SectorNew(handle, 0, &id, nullptr), 1);  // no location argument: hint 0, id still returned
  uint16_t location = 0x1234;
  const uint8_t data[3] = {0xA1, 0xB2, 0xC3};
  ASSERT_EQ(SectorWrite(handle, 0, id, 7, 3, data, &location), 1);
  EXPECT_EQ(location, *bench.flash().LogicalLocation(0, id));
  uint16_t moved = location;
  ASSERT_EQ(SectorWrite(handle, 0, id, 1020, 0, nullptr, &moved), 1);
  EXPECT_NE(moved, location);  // every write moved the sector
  uint8_t back[4] = {};
  uint16_t at = moved;
  ASSERT_EQ(SectorRead(handle, 0, id, 6, 4, back, &at), 1);
  EXPECT_EQ(Bytes({back[0], back[1], back[2], back[3], at == moved}), Bytes({0xFF, 0xA1, 0xB2, 0xC3, 1}));
  ASSERT_EQ(SectorDelete(handle, 0, id, &at), 1);
  EXPECT_EQ(at, moved);

  auto requests = bench.SectorRequests();
  ASSERT_EQ(requests.size(), 6u);
  EXPECT_EQ(requests[0].body, Bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(requests[1].body, Bytes({6, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(requests[2].body, Bytes({3, 0, id & 0xFF, id >> 8, 0x34, 0x12, 7, 0, 3, 0, 0xA1, 0xB2, 0xC3}));
  EXPECT_EQ(requests[3].size, 10);  // a zero-length write is the bare parameter block
  EXPECT_EQ(requests[3].body, Bytes({3, 0, id & 0xFF, id >> 8, location & 0xFF, location >> 8, 0xFC, 0x03, 0, 0}));
  EXPECT_EQ(requests[4].body, Bytes({2, 0, id & 0xFF, id >> 8, moved & 0xFF, moved >> 8, 6, 0, 4, 0}));
  EXPECT_EQ(requests[5].body, Bytes({7, 0, id & 0xFF, id >> 8, moved & 0xFF, moved >> 8, 0, 0, 0, 0}));
  const std::string text = trace.Read(), sid = std::to_string(id);
  for (const std::string& line : {"now at " + sid + "(", "Moved to id " + sid + "(" + std::to_string(location) + ")"})
    EXPECT_NE(text.find(line), std::string::npos) << line;
}

TEST(SectorCommands, RawSectorsWriteReadEraseAndNorRule) {
  testing_support::TraceCapture trace;
  SectorBench bench;
  RDRHANDLE handle = bench.handle();
  std::vector<uint8_t> block(1024);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 5 + 1);
  ASSERT_EQ(SectorRawWrite(handle, 0, 70, 0, 1024, block.data()), 1);
  std::vector<uint8_t> back(1024);
  ASSERT_EQ(SectorRawRead(handle, 0, 70, 0, 1024, back.data()), 1);
  EXPECT_EQ(back, block);
  // Setting a cleared bit again needs an erase first.
  const uint8_t ones = 0xFF;
  EXPECT_FAILS_WITH(SectorRawWrite(handle, 0, 70, 0, 1, &ones), 0, 32707);
  ASSERT_EQ(SectorRawErase(handle, 0, 64, 1, 1), 1);
  ASSERT_EQ(SectorRawRead(handle, 0, 70, 0, 1024, back.data()), 1);
  EXPECT_EQ(back, std::vector<uint8_t>(1024, 0xFF));

  auto requests = bench.SectorRequests();
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_EQ(requests[0].size, 1034);
  EXPECT_EQ(std::vector<uint8_t>(requests[0].body.begin(), requests[0].body.begin() + 10),
            Bytes({10, 0, 70, 0, 0, 0, 0, 0, 0, 4}));
  EXPECT_EQ(requests[1].body, Bytes({9, 0, 70, 0, 0, 0, 0, 0, 0, 4}));
  EXPECT_EQ(requests[3].body, Bytes({11, 0, 64, 0, 0, 0, 1, 0, 1, 0}));
}

TEST(SectorCommands, FirmwareWithoutSectorCommandsSendsNothing) {
  for (const char* name : {"FW41013-01-01", "FW41031-01-01", "FW41040-02-03", "FW41014-01-01"}) {
    SCOPED_TRACE(name);
    sim::UnitConfig config = testing_support::WrUnitConfig();
    config.firmware_name = name;
    SectorBench bench(config);
    RDRHANDLE handle = bench.handle();
    if (std::string(name) == "FW41014-01-01") {  // the first number with sector commands
      EXPECT_EQ(SectorInit(handle, 0), 1);
      EXPECT_EQ(bench.SectorRequests().size(), 1u);
      continue;
    }
    uint8_t buffer[16] = {};
    uint16_t id = 0, location = 0;
    EXPECT_FAILS_WITH(SectorInit(handle, 0), 0, 8);
    for (const auto& [operation, call] : Operations(handle, buffer, &id, &location)) {
      SCOPED_TRACE(operation);
      EXPECT_FAILS_WITH(call(), 0, 8);
    }
    EXPECT_FAILS_WITH(F_fopen(handle, "0:app.bin", "w"), nullptr, 8);
    EXPECT_FAILS_WITH(F_remove(handle, "0:app.bin"), -1, 8);
    EXPECT_TRUE(bench.SectorRequests().empty());
  }
}

TEST(SectorCommands, StatusesMapToFlashErrorsAndReadDataStillArrives) {
  SectorBench bench;
  RDRHANDLE handle = bench.handle();
  ASSERT_EQ(SectorInit(handle, 0), 1);
  uint8_t entry[20] = {};

  for (const auto& [status, error] : std::initializer_list<std::pair<int16_t, int32_t>>{
           {-126, 32706}, {-127, 32705}, {-115, 32717}, {-114, 32704}, {1, 32704}}) {
    SCOPED_TRACE(status);
    bench.flash().InjectStatus(sim::kSubRead, status);
    std::fill(std::begin(entry), std::end(entry), 0);
    uint16_t location = 0;
    EXPECT_FAILS_WITH(SectorRead(handle, 0, 1, 0, 20, entry, &location), 0, error);
    // The directory's entry 0 and its location came along with the failure.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(entry), 4), "_dir");
    EXPECT_EQ(location, *bench.flash().LogicalLocation(0, 1));
  }
}

// A reply may carry the status alone: it is judged at once, and only a
// success whose further fields the operation reads lacks something.
TEST(SectorCommands, StatusOnlyRepliesAreJudgedByTheirStatus) {
  SectorBench bench;
  RDRHANDLE handle = bench.handle();
  uint8_t data[4] = {1, 2, 3, 4};
  uint16_t id = 0, location = 0x55;
  const auto operations = Operations(handle, data, &id, &location);
  // Operation, status, result, and the library error number when it failed.
  // clang-format off
  const std::tuple<const char*, int16_t, int32_t, int32_t> cases[] = {
      {"delete", -126, 0, 32706}, {"delete", 0, 1, 0}, {"raw write", 0, 1, 0}, {"raw erase", 0, 1, 0},
      {"read", 0, 0, 1}, {"raw read", 0, 0, 1}, {"new", 0, 0, 1}, {"write", 0, 0, 1}, {"write", -125, 0, 32707}};
  // clang-format on
  for (const auto& [operation, status, result, error] : cases) {
    SCOPED_TRACE(std::string(operation) + " " + std::to_string(status));
    handle->last_error = 0;
    std::vector<uint8_t> reply = {
        2, 0, sim::kSectorCommand, 0, static_cast<uint8_t>(status), static_cast<uint8_t>(status >> 8)};
    reply.resize(64);
    bench.unit().SetFaults({});
    bench.unit().ScriptReply(1, sim::ScriptedReply{{reply}});
    EXPECT_EQ(operations.at(operation)(), result);
    EXPECT_EQ(handle->last_error, result == 0 ? LibraryError(error) : 0);
    EXPECT_EQ(location, 0x55) << "no location came back";
    EXPECT_EQ(bench.SectorRequests().size(), 1u);
    bench.unit().ClearTraffic();
  }
}

TEST(SectorCommands, OversizeLengthAndNullBuffersAreRefusedWithoutTraffic) {
  SectorBench bench;
  RDRHANDLE handle = bench.handle();
  std::vector<uint8_t> big(2048, 0x5A);
  uint16_t location = 0;
  EXPECT_FAILS_WITH(SectorWrite(handle, 0, 1, 0, 1027, big.data(), &location), 0, 4);
  EXPECT_EQ(SectorRawWrite(handle, 0, 0, 0, 65536 + 4, big.data()), 0);  // would be 4 on the wire
  EXPECT_TRUE(bench.SectorRequests().empty());
  // The largest length goes through.
  EXPECT_EQ(SectorRawRead(handle, 0, 0, 0, 1024, big.data()), 1);
  EXPECT_FAILS_WITH(SectorRawRead(handle, 0, 0, 0, 1026, big.data()), 0, 32705);  // the unit's own range check
  EXPECT_EQ(bench.SectorRequests().size(), 2u);
}

}  // namespace
