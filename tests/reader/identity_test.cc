#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "reader/frame.h"
#include "reader/handle.h"
#include "reader/rdr.h"
#include "sim/traffic.h"
#include "sim/wire.h"
#include "tests/support/sim_bench.h"
#include "tests/support/temp_dir.h"
#include "trace/trace.h"
#include "transport/memory.h"
#include "transport/usb.h"

namespace {

struct CloseHandle {
  void operator()(ReaderHandleRecord* handle) const { RDRClose(handle); }
};
using HandleOwner = std::unique_ptr<ReaderHandleRecord, CloseHandle>;

HandleOwner MemoryHandle(int32_t firmware_number) {
  HandleOwner handle(MEMOpen());
  handle->firmware_number = firmware_number;
  return handle;
}

// --- platform classes -------------------------------------------------------

struct ClassCase {
  int32_t firmware_number;
  int32_t sh4;
  int32_t wr2200;
  int32_t fx2;
};

TEST(ReaderClass, FirmwareNumbersFallIntoTheirClasses) {
  const ClassCase cases[] = {
      {40961, 1, 0, 0}, {40972, 1, 0, 0}, {40990, 1, 0, 0},  // SH4
      {41580, 0, 1, 0}, {41699, 0, 1, 0}, {41968, 0, 1, 0},  // WR2200
      {40981, 0, 0, 0}, {40993, 0, 0, 0}, {40996, 0, 0, 0}, {40998, 0, 0, 0}, {41003, 0, 0, 0},
      {41005, 0, 0, 0}, {41008, 0, 0, 0}, {41011, 0, 0, 0}, {41031, 0, 0, 0}, {41040, 0, 0, 0},
      // Neighbours of listed numbers and odd values are FX2 based.
      {40960, 0, 0, 1}, {40962, 0, 0, 1}, {41581, 0, 0, 1}, {41041, 0, 0, 1}, {0, 0, 0, 1}, {-41580, 0, 0, 1},
  };
  for (const ClassCase& c : cases) {
    SCOPED_TRACE(c.firmware_number);
    HandleOwner handle = MemoryHandle(c.firmware_number);
    EXPECT_EQ(RDRIsSH4Based(handle.get()), c.sh4);
    EXPECT_EQ(RDRIsWR2200Based(handle.get()), c.wr2200);
    EXPECT_EQ(RDRIsFX2Based(handle.get()), c.fx2);
  }
}

TEST(ReaderClass, InvalidHandleCountsAsFx2BasedWithError4) {
  SetErrorCode(nullptr, 0);
  EXPECT_EQ(RDRIsSH4Based(nullptr), 0);
  EXPECT_EQ(GetErrorCode(), LibraryError(kErrInvalidParameter));
  SetErrorCode(nullptr, 0);
  EXPECT_EQ(RDRIsWR2200Based(InvalidReaderHandle()), 0);
  EXPECT_EQ(GetErrorCode(), LibraryError(kErrInvalidParameter));
  SetErrorCode(nullptr, 0);
  EXPECT_EQ(RDRIsFX2Based(nullptr), 1);
  EXPECT_EQ(GetErrorCode(), LibraryError(kErrInvalidParameter));
}

// --- checks made before any request -------------------------------------------
// A memory handle fails every exchange without recording an error, so a
// recorded error proves the operation stopped before it sent anything.

TEST(IdentityArguments, NullBuffersAreRefusedWithError4) {
  HandleOwner handle = MemoryHandle(41580);
  EXPECT_EQ(RDRFirmwareString(handle.get(), nullptr, 32), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrInvalidParameter));
  SetErrorCode(handle.get(), 0);
  EXPECT_EQ(RDRSerialString(handle.get(), nullptr, 32), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrInvalidParameter));
  SetErrorCode(handle.get(), 0);
  EXPECT_EQ(RDRFX3FirmwareString(handle.get(), nullptr, 32), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrInvalidParameter));
  handle->firmware_number = 41000;  // FX2, so the header operations get as far as the buffer
  SetErrorCode(handle.get(), 0);
  EXPECT_EQ(RDRAppHeader(handle.get(), nullptr, 32), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrInvalidParameter));
  SetErrorCode(handle.get(), 0);
  EXPECT_EQ(RDRBootHeader(handle.get(), nullptr, 32), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrInvalidParameter));
}

TEST(IdentityArguments, Sh4ReadersHaveNoSerialOrFx3String) {
  HandleOwner handle = MemoryHandle(40972);
  char text[32];
  EXPECT_EQ(RDRSerialString(handle.get(), text, sizeof text), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrNotSupported));
  SetErrorCode(handle.get(), 0);
  EXPECT_EQ(RDRFX3FirmwareString(handle.get(), text, sizeof text), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrNotSupported));
}

TEST(IdentityArguments, HeadersNeedExtendedRequestsAndAnFx2Reader) {
  char text[64];
  HandleOwner plain = MemoryHandle(41000);
  plain->capability_flags = 0;
  // The flag is tested before the buffer.
  EXPECT_EQ(RDRAppHeader(plain.get(), nullptr, sizeof text), 0);
  EXPECT_EQ(plain->last_error, LibraryError(kErrNotSupported));

  for (int32_t number : {40990, 41580, 41031}) {
    SCOPED_TRACE(number);
    HandleOwner handle = MemoryHandle(number);
    EXPECT_EQ(RDRBootHeader(handle.get(), text, sizeof text), 0);
    EXPECT_EQ(handle->last_error, LibraryError(kErrNotSupported));
  }
}

TEST(ApiVersion, WithoutExtendedRequestsIsZeroAndSendsNothing) {
  HandleOwner handle = MemoryHandle(41580);  // would be asked if the flag were set
  handle->capability_flags = 0;
  uint32_t version = 0xDEAD;
  EXPECT_EQ(RDRAPIVersion(handle.get(), &version), 1);
  EXPECT_EQ(version, 0u);
  EXPECT_EQ(RDRAPIVersion(handle.get(), nullptr), 1);
}

TEST(ApiVersion, MemoryHandleOfAnFx2ReaderIsVersion1WithoutRequest) {
  HandleOwner handle = MemoryHandle(41000);
  uint32_t version = 0xDEAD;
  EXPECT_EQ(RDRAPIVersion(handle.get(), &version), 1);
  EXPECT_EQ(version, 1u);
  // Classes that are never asked also keep version 1.
  handle->firmware_number = 40990;
  version = 0xDEAD;
  EXPECT_EQ(RDRAPIVersion(handle.get(), &version), 1);
  EXPECT_EQ(version, 1u);
}

TEST(ApiVersion, Wr2200ReaderIsAskedEvenOnMemoryAndAFailedExchangeFails) {
  HandleOwner handle = MemoryHandle(41699);
  uint32_t version = 0xDEAD;
  EXPECT_EQ(RDRAPIVersion(handle.get(), &version), 0);
  EXPECT_EQ(version, 1u);
}

// --- against a simulated unit -------------------------------------------------

std::vector<uint8_t> InformationBody(uint32_t item) { return {static_cast<uint8_t>(item), 0, 0, 0, 0, 0, 0, 0}; }

// A reply the unit sends in place of its own: the header echoing `command`,
// then `body`.
sim::ScriptedReply RawReply(uint8_t command, const std::vector<uint8_t>& body) {
  return sim::ScriptedReply{{sim::FrameReply(command, 0, body)}};
}

class IdentityOnUnit : public ::testing::Test {
 protected:
  // Opens the unit and forgets the traffic of the open.
  HandleOwner Open(sim::UnitConfig config) {
    unit_ = &bench_.AddUnit(std::move(config));
    HandleOwner handle(RDROpenUSB(unit_->DevicePath().c_str()));
    EXPECT_NE(handle.get(), InvalidReaderHandle());
    unit_->ClearTraffic();
    return handle;
  }
  std::vector<sim::Request> Requests() { return sim::Requests(unit_->traffic()); }
  // The next request answers `body` instead of the unit's own reply.
  void ScriptNext(uint8_t command, const std::vector<uint8_t>& body) {
    unit_->SetFaults({});
    unit_->ScriptReply(1, RawReply(command, body));
  }

  testing_support::SimBench bench_;
  sim::Unit* unit_ = nullptr;
};

TEST_F(IdentityOnUnit, FirmwareNameOfThirtyCharactersIsDeliveredWhole) {
  sim::UnitConfig config = testing_support::Fx2UnitConfig();
  std::string name = "FW41144-02-07-";
  name.resize(30, 'Q');
  config.firmware_name = name;
  HandleOwner handle = Open(config);
  EXPECT_EQ(handle->firmware_number, 41144);

  char text[31];
  std::memset(text, 'x', sizeof text);
  ASSERT_EQ(RDRFirmwareString(handle.get(), text, sizeof text), 1);
  EXPECT_EQ(std::string(text), name);

  std::vector<sim::Request> requests = Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].command, 14);
  EXPECT_EQ(requests[0].size, 8);
  EXPECT_EQ(requests[0].body, InformationBody(6));
  EXPECT_EQ(sim::WrittenTransfers(unit_->traffic())[0].size(), 64u);
}

TEST_F(IdentityOnUnit, BufferExactlyAsLongAsTheStringFailsWith7) {
  sim::UnitConfig config = testing_support::Fx2UnitConfig();
  config.serial_string = "SN-123456";
  HandleOwner handle = Open(config);

  char text[12];
  std::memset(text, 'x', sizeof text);
  EXPECT_EQ(RDRSerialString(handle.get(), text, 9), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrBufferOverrun));
  EXPECT_EQ(GetErrorCode(), LibraryError(kErrBufferOverrun));
  // The caller holds the cut text without a terminator, nothing beyond.
  EXPECT_EQ(std::string(text, 9), "SN-123456");
  EXPECT_EQ(text[9], 'x');

  EXPECT_EQ(RDRSerialString(handle.get(), text, 4), 0);
  EXPECT_EQ(std::string(text, 4), "SN-1");
  EXPECT_EQ(text[4], '2');  // left from the call before

  std::memset(text, 'x', sizeof text);
  EXPECT_EQ(RDRSerialString(handle.get(), text, 0), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrBufferOverrun));
  EXPECT_EQ(text[0], 'x');

  EXPECT_EQ(RDRSerialString(handle.get(), text, 10), 1);
  EXPECT_EQ(std::string(text), "SN-123456");
  EXPECT_EQ(text[10], 'x');

  std::vector<sim::Request> requests = Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].body, InformationBody(21));
}

TEST_F(IdentityOnUnit, LongerFieldsAreCutToThirtyBeforeTheLengthTest) {
  sim::UnitConfig config = testing_support::WrUnitConfig();
  // 32 characters fill the reply's string field with no terminator.
  config.fx3_firmware = "FW41582-01-04-ABCDEFGHIJKLMNOPQR";
  HandleOwner handle = Open(config);

  char text[40];
  std::memset(text, 'x', sizeof text);
  ASSERT_EQ(RDRFX3FirmwareString(handle.get(), text, sizeof text), 1);
  EXPECT_EQ(std::string(text), "FW41582-01-04-ABCDEFGHIJKLMNOP");
  for (size_t i = 30; i < sizeof text; ++i) EXPECT_EQ(text[i], 0) << i;  // zero-filled behind the text

  std::memset(text, 'x', sizeof text);
  EXPECT_EQ(RDRFX3FirmwareString(handle.get(), text, 30), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrBufferOverrun));
  EXPECT_EQ(std::string(text, 30), "FW41582-01-04-ABCDEFGHIJKLMNOP");
  EXPECT_EQ(text[30], 'x');

  std::vector<sim::Request> requests = Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].body, InformationBody(50));
}

TEST_F(IdentityOnUnit, Sh4ReaderNamesItsFirmwareThroughItsOwnRequest) {
  int serial = 0;
  for (int32_t status : {0xFFFF, -1, 6}) {
    SCOPED_TRACE(status);
    sim::UnitConfig config = testing_support::Sh4UnitConfig("SH000" + std::to_string(++serial));
    config.firmware_name_status = status;
    config.sh4_firmware_name = "FW40961-03-01-LONGER";  // 20 characters, cut to 14
    HandleOwner handle = Open(config);
    EXPECT_EQ(RDRIsSH4Based(handle.get()), 1);

    char text[16];
    std::memset(text, 'x', sizeof text);
    ASSERT_EQ(RDRFirmwareString(handle.get(), text, sizeof text), 1);
    EXPECT_EQ(std::string(text), "FW40961-03-01-");
    EXPECT_EQ(text[15], 0);

    std::vector<sim::Request> requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].body, InformationBody(6));
    EXPECT_EQ(requests[1].command, 127);
    EXPECT_EQ(requests[1].size, 0);
  }
}

TEST_F(IdentityOnUnit, FirmwareNameStatusesThatAreNotTheSh4Sign) {
  HandleOwner handle = Open(testing_support::Sh4UnitConfig());
  char text[32];

  // The SH4 request answered with a non-zero status is not supported.
  unit_->SetReportedString("sh4_firmware_name", std::nullopt);
  EXPECT_EQ(RDRFirmwareString(handle.get(), text, sizeof text), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrNotSupported));

  // Other statuses of the information request are the reader's errors; the
  // SH4 request is not tried.
  unit_->ClearTraffic();
  ScriptNext(14, {0xF2, 0xFE, 0xFF, 0xFF, 0, 0, 0, 0});  // -270
  EXPECT_EQ(RDRFirmwareString(handle.get(), text, sizeof text), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrReaderBadParameter));
  ScriptNext(14, {0xFF, 0xFF, 0, 0x80, 0, 0, 0, 0});  // low half 0xFFFF: the SH4 sign again
  unit_->SetReportedString("sh4_firmware_name", "FW40961-03-01");
  EXPECT_EQ(RDRFirmwareString(handle.get(), text, sizeof text), 1);
  EXPECT_EQ(std::string(text), "FW40961-03-01");
  ScriptNext(14, {0xFE, 0xFF, 0, 0, 0, 0, 0, 0});  // 0xFFFE: not the sign
  EXPECT_EQ(RDRFirmwareString(handle.get(), text, sizeof text), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrReaderUnrecognized));

  std::vector<sim::Request> requests = Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].command, 14);
  EXPECT_EQ(requests[1].command, 14);
  EXPECT_EQ(requests[2].command, 127);
  EXPECT_EQ(requests[3].command, 14);
}

TEST_F(IdentityOnUnit, SerialAndFx3StringsOfAnUnknownRequestAreNotSupported) {
  sim::UnitConfig config = testing_support::Fx2UnitConfig();
  config.unknown_services = {21};
  config.fx3_firmware.reset();  // answered -266 by the unit itself
  HandleOwner handle = Open(config);
  char text[32];
  EXPECT_EQ(RDRSerialString(handle.get(), text, sizeof text), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrNotSupported));
  SetErrorCode(handle.get(), 0);
  EXPECT_EQ(RDRFX3FirmwareString(handle.get(), text, sizeof text), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrNotSupported));
  // Any other status is the reader's error.
  ScriptNext(14, {0xF5, 0xFE, 0xFF, 0xFF, 0, 0, 0, 0});  // -267
  EXPECT_EQ(RDRFX3FirmwareString(handle.get(), text, sizeof text), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrReaderNotAccepting));
}

TEST_F(IdentityOnUnit, Fx3StringIsTracedAsASerialString) {
  testing_support::TempDir directory;
  const std::string path = directory.File("trace.log");
  LOGHANDLE log = LogOpen(path.c_str(), kTraceDetail);
  ASSERT_NE(log, InvalidLogHandle());
  LogSetGlobal(log);
  {
    HandleOwner handle = Open(testing_support::WrUnitConfig());
    char text[32];
    ASSERT_EQ(RDRFX3FirmwareString(handle.get(), text, sizeof text), 1);
  }
  LogSetGlobal(nullptr);
  ASSERT_EQ(LogClose(log), 1);
  const std::string trace = testing_support::ReadFile(path);
  EXPECT_NE(trace.find(" Serial string is \"FW41582-01-04\"\r\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find("enter RDRFX3FirmwareString("), std::string::npos);
  EXPECT_NE(trace.find(" name=0x"), std::string::npos);
  EXPECT_NE(trace.find(" length=0x20\r\n"), std::string::npos);
}

TEST_F(IdentityOnUnit, HeaderCopiesTheTextWithoutTerminator) {
  HandleOwner handle = Open(testing_support::Fx2UnitConfig());
  unit_->SetReportedString("application_header", "APP 1.2.3");
  char text[16];
  std::memset(text, 'x', sizeof text);
  ASSERT_EQ(RDRAppHeader(handle.get(), text, 10), 1);
  EXPECT_EQ(std::string(text, sizeof text), "APP 1.2.3xxxxxxx");

  // Exactly as long as the text: refused, the buffer untouched.
  std::memset(text, 'x', sizeof text);
  EXPECT_EQ(RDRAppHeader(handle.get(), text, 9), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrBufferOverrun));
  EXPECT_EQ(std::string(text, sizeof text), std::string(sizeof text, 'x'));

  unit_->SetReportedString("boot_header", "");
  EXPECT_EQ(RDRBootHeader(handle.get(), text, 1), 1);
  EXPECT_EQ(text[0], 'x');

  std::vector<sim::Request> requests = Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].body, InformationBody(23));
  EXPECT_EQ(requests[2].body, InformationBody(24));
}

TEST_F(IdentityOnUnit, HeaderWithoutTerminatorEndsWithTheReply) {
  HandleOwner handle = Open(testing_support::Fx2UnitConfig());
  // 2036 characters fill the whole 2044-byte reply after status and padding.
  const std::string header(2036, 'H');
  unit_->SetReportedString("boot_header", header + "tail beyond the reply");
  std::vector<char> text(2100, 'x');
  EXPECT_EQ(RDRBootHeader(handle.get(), text.data(), 2036), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrBufferOverrun));
  ASSERT_EQ(RDRBootHeader(handle.get(), text.data(), 2037), 1);
  EXPECT_EQ(std::string(text.data(), 2036), header);
  EXPECT_EQ(text[2036], 'x');
}

TEST_F(IdentityOnUnit, HeaderStatuses) {
  HandleOwner handle = Open(testing_support::Fx2UnitConfig());
  char text[64];
  unit_->SetReportedString("application_header", std::nullopt);  // answered -266
  EXPECT_EQ(RDRAppHeader(handle.get(), text, sizeof text), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrNotSupported));
  ScriptNext(14, {0xF1, 0xFE, 0xFF, 0xFF});  // -271
  EXPECT_EQ(RDRBootHeader(handle.get(), text, sizeof text), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrReaderTimeout));
}

TEST_F(IdentityOnUnit, ApiVersionOfTheReadersThatAreAsked) {
  HandleOwner wr = Open(testing_support::WrUnitConfig());
  uint32_t version = 0;
  ASSERT_EQ(RDRAPIVersion(wr.get(), &version), 1);
  EXPECT_EQ(version, 0x0Bu);
  std::vector<sim::Request> requests = Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].command, 120);
  EXPECT_EQ(requests[0].size, 0);

  // A reader that does not know the request keeps version 1.
  sim::UnitConfig config = testing_support::Fx2UnitConfig("HX0002");
  config.api_version.reset();
  HandleOwner fx2 = Open(config);
  version = 0;
  ASSERT_EQ(RDRAPIVersion(fx2.get(), &version), 1);
  EXPECT_EQ(version, 1u);
  EXPECT_EQ(Requests().size(), 1u);
  // So does any other non-zero status.
  ScriptNext(120, {0x01, 0x00, 0x0F, 0x00});
  ASSERT_EQ(RDRAPIVersion(fx2.get(), &version), 1);
  EXPECT_EQ(version, 1u);
  ScriptNext(120, {0x00, 0x00, 0x08, 0x80});
  ASSERT_EQ(RDRAPIVersion(fx2.get(), &version), 1);
  EXPECT_EQ(version, 0x8008u);
}

TEST_F(IdentityOnUnit, ApiVersionIsNotAskedOfSh4OrWithoutExtendedRequests) {
  HandleOwner sh4 = Open(testing_support::Sh4UnitConfig());
  uint32_t version = 0;
  ASSERT_EQ(RDRAPIVersion(sh4.get(), &version), 1);
  EXPECT_EQ(version, 1u);
  EXPECT_TRUE(Requests().empty());

  sim::UnitConfig config = testing_support::WrUnitConfig();
  config.status_word = 0;  // the open clears the extended-requests flag
  HandleOwner plain = Open(config);
  EXPECT_EQ(plain->capability_flags & kCapExtendedRequests, 0u);
  ASSERT_EQ(RDRAPIVersion(plain.get(), &version), 1);
  EXPECT_EQ(version, 0u);
  EXPECT_TRUE(Requests().empty());
}

}  // namespace
