#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

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

// A memory handle fails every exchange without recording an error, so an
// error recorded on it proves the operation stopped before it sent anything.
HandleOwner MemoryHandle(int32_t firmware_number) {
  HandleOwner handle(MEMOpen());
  handle->firmware_number = firmware_number;
  return handle;
}

TEST(ReaderClass, FirmwareNumbersFallIntoTheirClasses) {
  struct Case {
    int32_t number, sh4, wr2200, fx2;
  };
  const Case cases[] = {
      {40961, 1, 0, 0}, {40972, 1, 0, 0}, {40990, 1, 0, 0}, {41580, 0, 1, 0}, {41699, 0, 1, 0},
      {41968, 0, 1, 0}, {40981, 0, 0, 0}, {40993, 0, 0, 0}, {40996, 0, 0, 0}, {40998, 0, 0, 0},
      {41003, 0, 0, 0}, {41005, 0, 0, 0}, {41008, 0, 0, 0}, {41011, 0, 0, 0}, {41031, 0, 0, 0},
      {41040, 0, 0, 0}, {40962, 0, 0, 1}, {41581, 0, 0, 1}, {0, 0, 0, 1},     {-41580, 0, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.number);
    HandleOwner handle = MemoryHandle(c.number);
    EXPECT_EQ(RDRIsSH4Based(handle.get()), c.sh4);
    EXPECT_EQ(RDRIsWR2200Based(handle.get()), c.wr2200);
    EXPECT_EQ(RDRIsFX2Based(handle.get()), c.fx2);
  }
  // A refused entry leaves both sub-tests answering no.
  SetErrorCode(nullptr, 0);
  EXPECT_EQ(RDRIsFX2Based(nullptr), 1);
  EXPECT_EQ(GetErrorCode(), LibraryError(kErrInvalidParameter));
  EXPECT_EQ(RDRIsSH4Based(InvalidReaderHandle()), 0);
}

TEST(IdentityArguments, RefusedBeforeAnyRequest) {
  char text[32];
  HandleOwner handle = MemoryHandle(41580);
  EXPECT_EQ(RDRFirmwareString(handle.get(), nullptr, 32), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrInvalidParameter));
  SetErrorCode(handle.get(), 0);
  EXPECT_EQ(RDRFX3FirmwareString(handle.get(), nullptr, 32), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrInvalidParameter));
  // Header operations: a WR2200 reader is not FX2 based.
  SetErrorCode(handle.get(), 0);
  EXPECT_EQ(RDRBootHeader(handle.get(), text, sizeof text), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrNotSupported));
  handle->firmware_number = 41000;
  EXPECT_EQ(RDRAppHeader(handle.get(), nullptr, 32), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrInvalidParameter));
  handle->capability_flags = 0;  // tested before the buffer
  EXPECT_EQ(RDRAppHeader(handle.get(), nullptr, 32), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrNotSupported));
  // SH4 readers have no serial or FX3 string.
  handle->firmware_number = 40972;
  SetErrorCode(handle.get(), 0);
  EXPECT_EQ(RDRSerialString(handle.get(), text, sizeof text), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrNotSupported));
}

TEST(ApiVersion, OnHandlesThatAreNotAsked) {
  HandleOwner handle = MemoryHandle(41000);
  uint32_t version = 0xDEAD;
  EXPECT_EQ(RDRAPIVersion(handle.get(), &version), 1);  // FX2 on memory: not asked
  EXPECT_EQ(version, 1u);
  handle->firmware_number = 41699;  // WR2200 is asked even on memory, and the exchange fails
  EXPECT_EQ(RDRAPIVersion(handle.get(), &version), 0);
  EXPECT_EQ(version, 1u);
  handle->capability_flags = 0;
  EXPECT_EQ(RDRAPIVersion(handle.get(), &version), 1);
  EXPECT_EQ(version, 0u);
  EXPECT_EQ(RDRAPIVersion(handle.get(), nullptr), 1);
}

// --- against a simulated unit -------------------------------------------------

std::vector<uint8_t> InformationBody(uint32_t item) { return {static_cast<uint8_t>(item), 0, 0, 0, 0, 0, 0, 0}; }

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
  // The next request is answered with this body instead of the unit's own.
  void ScriptNext(uint8_t command, const std::vector<uint8_t>& body) {
    unit_->SetFaults({});
    unit_->ScriptReply(1, sim::ScriptedReply{{sim::FrameReply(command, 0, body)}});
  }

  testing_support::SimBench bench_;
  sim::Unit* unit_ = nullptr;
};

TEST_F(IdentityOnUnit, StringsMustBeShorterThanTheBuffer) {
  sim::UnitConfig config = testing_support::Fx2UnitConfig();
  std::string name = "FW41144-02-07-";
  name.resize(30, 'Q');
  config.firmware_name = name;
  config.serial_string = "SN-123456";
  HandleOwner handle = Open(config);
  EXPECT_EQ(handle->firmware_number, 41144);

  char text[40];
  std::memset(text, 'x', sizeof text);
  ASSERT_EQ(RDRFirmwareString(handle.get(), text, 31), 1);  // 30 characters whole
  EXPECT_EQ(std::string(text), name);
  EXPECT_EQ(text[31], 'x');

  std::memset(text, 'x', sizeof text);
  EXPECT_EQ(RDRSerialString(handle.get(), text, 9), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrBufferOverrun));
  EXPECT_EQ(std::string(text, 10), "SN-123456x");  // cut text, no terminator
  EXPECT_EQ(RDRSerialString(handle.get(), text, 0), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrBufferOverrun));
  ASSERT_EQ(RDRSerialString(handle.get(), text, 10), 1);
  EXPECT_EQ(std::string(text), "SN-123456");

  std::vector<sim::Request> requests = Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].command, 14);
  EXPECT_EQ(requests[0].size, 8);
  EXPECT_EQ(requests[0].body, InformationBody(6));
  EXPECT_EQ(requests[1].body, InformationBody(21));
  EXPECT_EQ(sim::WrittenTransfers(unit_->traffic())[0].size(), 64u);
}

TEST_F(IdentityOnUnit, LongerFieldsAreCutToThirtyBeforeTheLengthTest) {
  sim::UnitConfig config = testing_support::WrUnitConfig();
  config.fx3_firmware = "FW41582-01-04-ABCDEFGHIJKLMNOPQR";  // fills the field, no terminator
  HandleOwner handle = Open(config);
  char text[40];
  std::memset(text, 'x', sizeof text);
  ASSERT_EQ(RDRFX3FirmwareString(handle.get(), text, sizeof text), 1);
  EXPECT_EQ(std::string(text), "FW41582-01-04-ABCDEFGHIJKLMNOP");
  EXPECT_EQ(std::string(text + 30, 10), std::string(10, '\0'));
  EXPECT_EQ(RDRFX3FirmwareString(handle.get(), text, 30), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrBufferOverrun));
  EXPECT_EQ(Requests()[0].body, InformationBody(50));
}

TEST_F(IdentityOnUnit, Sh4ReaderNamesItsFirmwareThroughItsOwnRequest) {
  int serial = 0;
  for (int32_t status : {0xFFFF, -1, 6}) {
    SCOPED_TRACE(status);
    sim::UnitConfig config = testing_support::Sh4UnitConfig("SH000" + std::to_string(++serial));
    config.firmware_name_status = status;
    config.sh4_firmware_name = "FW40961-03-01-LONGER";  // cut to 14
    HandleOwner handle = Open(config);
    EXPECT_EQ(RDRIsSH4Based(handle.get()), 1);
    char text[16];
    std::memset(text, 'x', sizeof text);
    ASSERT_EQ(RDRFirmwareString(handle.get(), text, sizeof text), 1);
    EXPECT_EQ(std::string(text), "FW40961-03-01-");
    std::vector<sim::Request> requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].body, InformationBody(6));
    EXPECT_EQ(requests[1].command, 127);
    EXPECT_EQ(requests[1].size, 0);
  }
}

TEST_F(IdentityOnUnit, ReaderStatuses) {
  HandleOwner handle = Open(testing_support::Sh4UnitConfig());
  char text[32];
  unit_->SetReportedString("sh4_firmware_name", std::nullopt);  // SH4 request answered -266
  EXPECT_EQ(RDRFirmwareString(handle.get(), text, sizeof text), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrNotSupported));
  // Other information statuses are the reader's errors; no SH4 request follows.
  unit_->ClearTraffic();
  ScriptNext(14, {0xF2, 0xFE, 0xFF, 0xFF, 0, 0, 0, 0});  // -270
  EXPECT_EQ(RDRFirmwareString(handle.get(), text, sizeof text), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrReaderBadParameter));
  ScriptNext(14, {0xFE, 0xFF, 0, 0, 0, 0, 0, 0});  // 0xFFFE is not the SH4 sign
  EXPECT_EQ(RDRFirmwareString(handle.get(), text, sizeof text), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrReaderUnrecognized));
  EXPECT_EQ(Requests().size(), 2u);

  sim::UnitConfig config = testing_support::Fx2UnitConfig();
  config.unknown_services = {21, 24};
  HandleOwner fx2 = Open(config);
  EXPECT_EQ(RDRSerialString(fx2.get(), text, sizeof text), 0);  // -266 is "not supported"
  EXPECT_EQ(fx2->last_error, LibraryError(kErrNotSupported));
  EXPECT_EQ(RDRBootHeader(fx2.get(), text, sizeof text), 0);
  EXPECT_EQ(fx2->last_error, LibraryError(kErrNotSupported));
  ScriptNext(14, {0xF5, 0xFE, 0xFF, 0xFF});  // -267
  EXPECT_EQ(RDRAppHeader(fx2.get(), text, sizeof text), 0);
  EXPECT_EQ(fx2->last_error, LibraryError(kErrReaderNotAccepting));
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
  EXPECT_NE(trace.find(" length=0x20\r\n"), std::string::npos);
}

TEST_F(IdentityOnUnit, HeaderCopiesTheTextWithoutTerminator) {
  HandleOwner handle = Open(testing_support::Fx2UnitConfig());
  unit_->SetReportedString("application_header", "APP 1.2.3");
  char text[16];
  std::memset(text, 'x', sizeof text);
  ASSERT_EQ(RDRAppHeader(handle.get(), text, 10), 1);
  EXPECT_EQ(std::string(text, sizeof text), "APP 1.2.3xxxxxxx");
  std::memset(text, 'y', sizeof text);
  EXPECT_EQ(RDRAppHeader(handle.get(), text, 9), 0);  // exactly as long: untouched
  EXPECT_EQ(handle->last_error, LibraryError(kErrBufferOverrun));
  EXPECT_EQ(std::string(text, sizeof text), std::string(sizeof text, 'y'));

  // A header filling the whole reply has no terminator and ends with it.
  const std::string header(2036, 'H');
  unit_->SetReportedString("boot_header", header + "beyond the reply");
  std::vector<char> long_text(2100, 'x');
  EXPECT_EQ(RDRBootHeader(handle.get(), long_text.data(), 2036), 0);
  EXPECT_EQ(handle->last_error, LibraryError(kErrBufferOverrun));
  ASSERT_EQ(RDRBootHeader(handle.get(), long_text.data(), 2037), 1);
  EXPECT_EQ(std::string(long_text.data(), 2037), header + "x");

  std::vector<sim::Request> requests = Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].body, InformationBody(23));
  EXPECT_EQ(requests[3].body, InformationBody(24));
}

TEST_F(IdentityOnUnit, ApiVersion) {
  HandleOwner wr = Open(testing_support::WrUnitConfig());
  uint32_t version = 0;
  ASSERT_EQ(RDRAPIVersion(wr.get(), &version), 1);
  EXPECT_EQ(version, 0x0Bu);
  ASSERT_EQ(Requests().size(), 1u);
  EXPECT_EQ(Requests()[0].command, 120);
  EXPECT_EQ(Requests()[0].size, 0);

  sim::UnitConfig config = testing_support::Fx2UnitConfig();
  config.api_version.reset();  // answered -266: version 1
  HandleOwner fx2 = Open(config);
  ASSERT_EQ(RDRAPIVersion(fx2.get(), &version), 1);
  EXPECT_EQ(version, 1u);
  ScriptNext(120, {0x01, 0x00, 0x0F, 0x00});  // any other status: version 1
  ASSERT_EQ(RDRAPIVersion(fx2.get(), &version), 1);
  EXPECT_EQ(version, 1u);
  ScriptNext(120, {0x00, 0x00, 0x08, 0x80});
  ASSERT_EQ(RDRAPIVersion(fx2.get(), &version), 1);
  EXPECT_EQ(version, 0x8008u);
  EXPECT_EQ(Requests().size(), 3u);

  HandleOwner sh4 = Open(testing_support::Sh4UnitConfig());
  ASSERT_EQ(RDRAPIVersion(sh4.get(), &version), 1);
  EXPECT_EQ(version, 1u);
  EXPECT_TRUE(Requests().empty());

  config = testing_support::WrUnitConfig("WR0002");
  config.status_word = 0;  // the open clears the extended-requests flag
  HandleOwner plain = Open(config);
  ASSERT_EQ(RDRAPIVersion(plain.get(), &version), 1);
  EXPECT_EQ(version, 0u);
  EXPECT_TRUE(Requests().empty());
}

}  // namespace
