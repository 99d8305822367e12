#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "reader/frame.h"
#include "sim/traffic.h"
#include "sim/wire.h"
#include "tests/support/expect_error.h"
#include "tests/support/sim_bench.h"
#include "tests/support/trace_capture.h"
#include "transport/memory.h"

namespace {

using testing_support::ReaderOwner;

// A memory handle fails every exchange without recording an error, so an
// error recorded on it proves the operation stopped before it sent anything.
ReaderOwner MemoryHandle(int32_t firmware_number) {
  ReaderOwner handle(MEMOpen());
  handle->firmware_number = firmware_number;
  return handle;
}

TEST(ReaderClass, FirmwareNumbersFallIntoTheirClasses) {
  // clang-format off
  const std::pair<int32_t, std::vector<int32_t>> cases[] = {  // number, {sh4, wr2200, fx2}
      {40961, {1, 0, 0}}, {40972, {1, 0, 0}}, {40990, {1, 0, 0}}, {41580, {0, 1, 0}}, {41699, {0, 1, 0}},
      {41968, {0, 1, 0}}, {40981, {0, 0, 0}}, {40993, {0, 0, 0}}, {40996, {0, 0, 0}}, {40998, {0, 0, 0}},
      {41003, {0, 0, 0}}, {41005, {0, 0, 0}}, {41008, {0, 0, 0}}, {41011, {0, 0, 0}}, {41031, {0, 0, 0}},
      {41040, {0, 0, 0}}, {40962, {0, 0, 1}}, {41581, {0, 0, 1}}, {0, {0, 0, 1}},     {-41580, {0, 0, 1}}};
  // clang-format on
  for (const auto& [number, classes] : cases) {
    ReaderOwner h = MemoryHandle(number);
    EXPECT_EQ((std::vector{RDRIsSH4Based(h.get()), RDRIsWR2200Based(h.get()), RDRIsFX2Based(h.get())}), classes)
        << number;
  }
}

TEST(IdentityArguments, RefusedBeforeAnyRequest) {
  char text[32];
  ReaderOwner handle = MemoryHandle(41580);
  EXPECT_FAILS_ON(handle, RDRFirmwareString(handle.get(), nullptr, 32), 0, kErrInvalidParameter);
  // Header operations: a WR2200 reader is not FX2 based.
  EXPECT_FAILS_ON(handle, RDRBootHeader(handle.get(), text, sizeof text), 0, kErrNotSupported);
  handle->firmware_number = 41000;
  EXPECT_FAILS_ON(handle, RDRAppHeader(handle.get(), nullptr, 32), 0, kErrInvalidParameter);
  handle->capability_flags = 0;  // tested before the buffer
  EXPECT_FAILS_ON(handle, RDRAppHeader(handle.get(), nullptr, 32), 0, kErrNotSupported);
  // SH4 readers have no serial or FX3 string.
  handle->firmware_number = 40972;
  EXPECT_FAILS_ON(handle, RDRSerialString(handle.get(), text, sizeof text), 0, kErrNotSupported);
}

class IdentityOnUnit : public ::testing::Test {
 protected:
  ReaderOwner Open(sim::UnitConfig config) {
    unit_ = &bench_.AddUnit(std::move(config));
    return bench_.Open(*unit_);
  }
  size_t RequestCount() { return sim::Requests(unit_->traffic()).size(); }
  // The next request is answered with this body instead of the unit's own.
  void ScriptNext(uint8_t command, const std::vector<uint8_t>& body) {
    unit_->SetFaults({});
    unit_->ScriptReply(1, sim::ScriptedReply{{sim::FrameReply(command, 0, body)}});
  }

  testing_support::SimBench bench_;
  sim::Unit* unit_ = nullptr;
  char text_[40];
};

TEST_F(IdentityOnUnit, StringsMustBeShorterThanTheBufferAndHeadersHaveNoTerminator) {
  sim::UnitConfig config = testing_support::Fx2UnitConfig();
  config.firmware_name = "FW41144-02-07-" + std::string(16, 'Q');
  config.serial_string = "SN-123456";
  ReaderOwner handle = Open(config);
  std::memset(text_, 'x', sizeof text_);
  ASSERT_EQ(RDRFirmwareString(handle.get(), text_, 31), 1);  // 30 characters whole
  EXPECT_EQ(std::string(text_, 32), config.firmware_name + '\0' + 'x');
  std::memset(text_, 'x', sizeof text_);
  EXPECT_FAILS_ON(handle, RDRSerialString(handle.get(), text_, 9), 0, kErrBufferOverrun);
  EXPECT_EQ(std::string(text_, 10), "SN-123456x");  // cut text, no terminator
  ASSERT_EQ(RDRSerialString(handle.get(), text_, 10), 1);
  EXPECT_STREQ(text_, "SN-123456");
  EXPECT_EQ(RequestCount(), 3u);

  // A header filling the whole reply has no terminator and ends with it.
  const std::string header(2036, 'H');
  unit_->SetReportedString("boot_header", header + "beyond the reply");
  std::vector<char> long_text(2100, 'x');
  EXPECT_FAILS_ON(handle, RDRBootHeader(handle.get(), long_text.data(), 2036), 0, kErrBufferOverrun);
  ASSERT_EQ(RDRBootHeader(handle.get(), long_text.data(), 2037), 1);
  EXPECT_EQ(std::string(long_text.data(), 2037), header + "x");
}

TEST_F(IdentityOnUnit, Sh4ReaderNamesItsFirmwareThroughItsOwnRequest) {
  int serial = 0;
  for (int32_t status : {0xFFFF, -1, 6}) {
    SCOPED_TRACE(status);
    sim::UnitConfig config = testing_support::Sh4UnitConfig("SH000" + std::to_string(++serial));
    config.firmware_name_status = status;
    config.sh4_firmware_name = "FW40961-03-01-LONGER";  // cut to 14
    ReaderOwner handle = Open(config);
    ASSERT_EQ(RDRFirmwareString(handle.get(), text_, 16), 1);
    EXPECT_STREQ(text_, "FW40961-03-01-");
    std::vector<sim::Request> requests = sim::Requests(unit_->traffic());
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(sim::ReadU32(requests[0].body, 0), 6u);
    EXPECT_TRUE(requests[1].command == 127 && requests[1].size == 0);
  }
}

TEST_F(IdentityOnUnit, ReaderStatuses) {
  ReaderOwner handle = Open(testing_support::Sh4UnitConfig());
  unit_->SetReportedString("sh4_firmware_name", std::nullopt);  // SH4 request answered -266
  EXPECT_FAILS_ON(handle, RDRFirmwareString(handle.get(), text_, 32), 0, kErrNotSupported);
  // Other information statuses are the reader's errors; no SH4 request follows.
  unit_->ClearTraffic();
  ScriptNext(14, {0xF2, 0xFE, 0xFF, 0xFF, 0, 0, 0, 0});  // -270
  EXPECT_FAILS_ON(handle, RDRFirmwareString(handle.get(), text_, 32), 0, kErrReaderBadParameter);
  ScriptNext(14, {0xFE, 0xFF, 0, 0, 0, 0, 0, 0});  // 0xFFFE is not the SH4 sign
  EXPECT_FAILS_ON(handle, RDRFirmwareString(handle.get(), text_, 32), 0, kErrReaderUnrecognized);
  EXPECT_EQ(RequestCount(), 2u);
}

// A reply that is refused (too long for the buffer, or answering another
// command) is read away whole, so the next exchange reads its own reply.
TEST_F(IdentityOnUnit, Fx3StringCutToThirtyTracedAsSerialAndRefusedRepliesDrained) {
  testing_support::TraceCapture trace;
  sim::UnitConfig config = testing_support::WrUnitConfig();
  config.fx3_firmware = "FW41582-01-04-ABCDEFGHIJKLMNOPQR";  // fills the field, no terminator
  ReaderOwner handle = Open(config);
  std::memset(text_, 'x', sizeof text_);
  ASSERT_EQ(RDRFX3FirmwareString(handle.get(), text_, sizeof text_), 1);  // cut before the length test
  EXPECT_EQ(std::string(text_, 40), "FW41582-01-04-ABCDEFGHIJKLMNOP" + std::string(10, '\0'));
  EXPECT_FAILS_ON(handle, RDRFX3FirmwareString(handle.get(), text_, 30), 0, kErrBufferOverrun);
  for (bool wrong_echo : {false, true}) {
    sim::Faults faults;
    faults.oversize = sim::OversizeFault{{1, 1}, 4096};
    if (wrong_echo) faults.wrong_echo = sim::WrongEchoFault{{1, 1}, {}};
    unit_->SetFaults(faults);
    EXPECT_FAILS_ON(handle, RDRSerialString(handle.get(), text_, 32), 0,
                    wrong_echo ? kErrInvalidContent : kErrMessageTooLong);
    ASSERT_EQ(RDRFirmwareString(handle.get(), text_, 32), 1);
    EXPECT_STREQ(text_, "FW41580-01-02");
  }
  handle.reset();
  ASSERT_EQ(trace.Close(), 1);
  EXPECT_NE(trace.Read().find(" Serial string is \"FW41582-01-04-ABCDEFGHIJKLMNOP\"\r\n"), std::string::npos);
}

TEST_F(IdentityOnUnit, ApiVersion) {
  uint32_t version = 0;
  const auto expect_version = [&](const ReaderOwner& h, uint32_t expected, size_t requests) {
    unit_->ClearTraffic();
    ASSERT_EQ(RDRAPIVersion(h.get(), &version), 1);
    EXPECT_EQ(version, expected);
    EXPECT_EQ(RequestCount(), requests);
  };
  ReaderOwner wr = Open(testing_support::WrUnitConfig());
  expect_version(wr, 0x0Bu, 1);
  sim::UnitConfig config = testing_support::Fx2UnitConfig();
  config.api_version.reset();  // answered -266: version 1
  ReaderOwner fx2 = Open(config);
  expect_version(fx2, 1u, 1);
  ScriptNext(120, {0x01, 0x00, 0x0F, 0x00});  // any other status than 0 means version 1 as well
  expect_version(fx2, 1u, 1);
  ScriptNext(120, {0x00, 0x00, 0x08, 0x80});
  expect_version(fx2, 0x8008u, 1);
  ReaderOwner sh4 = Open(testing_support::Sh4UnitConfig());
  expect_version(sh4, 1u, 0);
  config = testing_support::WrUnitConfig("WR0002");
  config.status_word = 0;  // the open clears the extended-requests flag
  ReaderOwner plain = Open(config);
  expect_version(plain, 0u, 0);
}

}  // namespace
