#include "reader/frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>

#include "platform/clock.h"
#include "platform/system.h"
#include "reader/handle.h"
#include "reader/rdr.h"
#include "tests/support/expect_error.h"
#include "tests/support/trace_capture.h"
#include "transport/memory.h"

namespace {

class FrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = MEMOpen();
    ASSERT_TRUE(IsValidReaderHandle(handle_));
    calls_.clear();
  }
  void TearDown() override {
    if (IsValidReaderHandle(handle_)) RDRClose(handle_);
  }

  struct Call {
    uint32_t elapsed;
    int32_t progress;
    uint32_t user;
  };
  static inline std::vector<Call> calls_;
  static inline int32_t abort_at_ = -2;  // progress value whose call answers 0
  static inline RDRHANDLE reenter_ = nullptr;
  static inline int32_t reenter_result_ = -1;
  static inline int32_t reenter_error_ = 0;

  static int32_t Record(uint32_t elapsed, int32_t progress, uint32_t user) {
    calls_.push_back({elapsed, progress, user});
    if (reenter_ != nullptr) {
      reenter_result_ = MEMFlush(reenter_);
      reenter_error_ = GetErrorCode();
    }
    return progress == abort_at_ ? 0 : 1;
  }

  platform::VirtualClock clock_;
  platform::ScopedClock use_clock_{clock_};
  RDRHANDLE handle_ = nullptr;
};

TEST_F(FrameTest, CheckValuesJudgeResults) {
  EXPECT_TRUE(CheckIntegerResult(kCheckAlways, -5));
  EXPECT_TRUE(CheckIntegerResult(kCheckNonZero, -1));
  EXPECT_FALSE(CheckIntegerResult(kCheckNonZero, 0));
  EXPECT_FALSE(CheckIntegerResult(kCheckPositive, 0));
  EXPECT_TRUE(CheckIntegerResult(kCheckNonNegative, 0));
  EXPECT_FALSE(CheckIntegerResult(kCheckNonNegative, -1));
  EXPECT_TRUE(CheckIntegerResult(kCheckNotPositive, 0));
  EXPECT_FALSE(CheckIntegerResult(kCheckNotPositive, 1));
  EXPECT_TRUE(CheckIntegerResult(kCheckPositive2, 1));
  EXPECT_TRUE(CheckIntegerResult(kCheckZero, 0));
  EXPECT_FALSE(CheckIntegerResult(kCheckZero, 2));
  EXPECT_FALSE(CheckIntegerResult(kCheckNever, 1));
  EXPECT_FALSE(CheckIntegerResult(kCheckFailure, 1));
  EXPECT_TRUE(CheckIntegerResult(kCheckInvalidHandle, 0x7FFFFFFB));
  EXPECT_FALSE(CheckIntegerResult(kCheckInvalidHandle, -1));
  EXPECT_TRUE(CheckIntegerResult(kCheckValidHandle, static_cast<int32_t>(0x80000005)));
  EXPECT_TRUE(CheckIntegerResult(42, 42));
  EXPECT_FALSE(CheckIntegerResult(42, 43));

  int object = 0;
  const void* all_ones = InvalidReaderHandle();
  EXPECT_TRUE(CheckPointerResult(kCheckAlways, nullptr));
  EXPECT_TRUE(CheckPointerResult(kCheckNonZero, &object));
  EXPECT_FALSE(CheckPointerResult(kCheckNonZero, nullptr));
  EXPECT_FALSE(CheckPointerResult(kCheckPositive, &object));
  EXPECT_FALSE(CheckPointerResult(kCheckNonNegative, &object));
  EXPECT_TRUE(CheckPointerResult(kCheckZero, nullptr));
  EXPECT_TRUE(CheckPointerResult(kCheckInvalidHandle, all_ones));
  EXPECT_FALSE(CheckPointerResult(kCheckInvalidHandle, &object));
  EXPECT_TRUE(CheckPointerResult(kCheckValidHandle, &object));
  EXPECT_FALSE(CheckPointerResult(kCheckValidHandle, all_ones));
  EXPECT_FALSE(CheckPointerResult(kCheckFailure, &object));
  EXPECT_FALSE(CheckPointerResult(42, &object));
}

TEST_F(FrameTest, LibraryErrorNumbers) {
  EXPECT_EQ(LibraryError(26), 0x2000001A);
  EXPECT_EQ(LibraryErrorNumber(0x2000001A), 26);
  EXPECT_EQ(LibraryErrorNumber(0x20008000), 32768);
  for (int32_t code : {0x20008001, 0x1FFFFFFF, 5, 0, static_cast<int32_t>(0x80000000)}) {
    EXPECT_EQ(LibraryErrorNumber(code), 0) << code;
  }
}

TEST_F(FrameTest, InvalidHandlesRecordErrorFourGloballyOnly) {
  SetErrorCode(handle_, 0x1234);
  int not_a_handle[64] = {};
  for (RDRHANDLE bad :
       {static_cast<RDRHANDLE>(nullptr), InvalidReaderHandle(), reinterpret_cast<RDRHANDLE>(not_a_handle)}) {
    SetErrorCode(nullptr, 0);
    EXPECT_EQ(HandleEnter(bad, "Test", 1), 0);
    EXPECT_EQ(GetErrorCode(), 0x20000004);
    EXPECT_EQ(platform::GetLastSystemError(), 0x20000004u);
    EXPECT_EQ(HandleExit(bad, "Test", 2, kCheckAlways, 7), 0);
    EXPECT_EQ(HandleExitPointer(bad, "Test", 3, kCheckAlways, &not_a_handle), nullptr);
  }
  EXPECT_EQ(handle_->last_error, 0x1234);
}

TEST_F(FrameTest, CloseReleasesTheHandleAndRefusesItAfterwards) {
  EXPECT_FAILS_WITH(RDRClose(nullptr), 0, kErrInvalidParameter);
  EXPECT_EQ(RDRClose(InvalidReaderHandle()), 0);
  SetErrorCode(nullptr, 0);
  EXPECT_EQ(RDRClose(handle_), 1);
  EXPECT_FALSE(IsValidReaderHandle(handle_));
  // A closed handle is refused, not dereferenced.
  EXPECT_EQ(RDRClose(handle_), 0);
  EXPECT_FAILS_WITH(MEMFlush(handle_), 0, kErrInvalidParameter);
}

TEST_F(FrameTest, CallbackRunsOnlyAtTheOutermostLevel) {
  ASSERT_EQ(RDRCallbackSet(handle_, Record, 77), 1);
  EXPECT_TRUE(calls_.empty()) << "installing must not call the new callback";
  RDRMSGHDR ohdr{0, 1, 0};
  RDRMSGHDR ihdr{0, 0, 0};
  clock_.Advance(5);
  // RDRSendReceive nests MEMSendReceive; only the outer call reports.
  EXPECT_EQ(RDRSendReceive(handle_, &ohdr, nullptr, &ihdr, nullptr), 0);
  ASSERT_EQ(calls_.size(), 2u);
  EXPECT_EQ(calls_[0].progress, 0);
  EXPECT_EQ(calls_[0].elapsed, 0u);
  EXPECT_EQ(calls_[0].user, 77u);
  EXPECT_EQ(calls_[1].progress, 100);
  EXPECT_EQ(handle_->depth, 0);
  EXPECT_EQ(handle_->in_callback, 0);
}

TEST_F(FrameTest, ReentryFromTheCallbackIsRefused) {
  ASSERT_EQ(RDRCallbackSet(handle_, Record, 0), 1);
  reenter_ = handle_;
  EXPECT_EQ(MEMFlush(handle_), 1);
  reenter_ = nullptr;
  EXPECT_EQ(reenter_result_, 0);
  EXPECT_EQ(reenter_error_, LibraryError(kErrCallbackReentry));
  // The refusal left the outer operation's lock and depth intact.
  EXPECT_EQ(handle_->depth, 0);
  EXPECT_EQ(MEMFlush(handle_), 1);
}

// Closing the handle from inside its own callback would free the record
// under the running operation: it is refused like any other re-entry.
TEST_F(FrameTest, CloseFromTheCallbackIsRefusedAndReleasesNothing) {
  static RDRHANDLE closing = nullptr;
  static int32_t close_result = -1;
  static int32_t close_error = 0;
  closing = handle_;
  auto close_from_callback = [](uint32_t, int32_t, uint32_t) -> int32_t {
    if (closing != nullptr) {
      close_result = RDRClose(closing);
      close_error = GetErrorCode();
      closing = nullptr;
    }
    return 1;
  };
  ASSERT_EQ(RDRCallbackSet(handle_, close_from_callback, 0), 1);
  EXPECT_EQ(MEMFlush(handle_), 1);
  EXPECT_EQ(close_result, 0);
  EXPECT_EQ(close_error, LibraryError(kErrCallbackReentry));
  ASSERT_TRUE(IsValidReaderHandle(handle_));
  EXPECT_EQ(handle_->depth, 0);
  EXPECT_EQ(handle_->in_callback, 0);
  // Outside the callback the close goes through.
  EXPECT_EQ(RDRClose(handle_), 1);
  EXPECT_FALSE(IsValidReaderHandle(handle_));
}

TEST_F(FrameTest, CallbackAbortAtExitTurnsSuccessIntoFailure) {
  ASSERT_EQ(RDRCallbackSet(handle_, Record, 0), 1);
  abort_at_ = 100;
  EXPECT_FAILS_ON(handle_, MEMFlush(handle_), 0, kErrCallbackAbort);
  abort_at_ = 0;
  SetErrorCode(handle_, 0);
  EXPECT_FAILS_WITH(MEMFlush(handle_), 0, kErrCallbackAbort);
  EXPECT_EQ(calls_.back().progress, 0) << "an entry abort runs no exit callback";
  EXPECT_EQ(handle_->depth, 0);
  abort_at_ = -2;
  EXPECT_EQ(MEMFlush(handle_), 1);
}

int32_t AcceptAll(uint32_t, int32_t, uint32_t) { return 1; }

// The callback's abort answer at entry cannot keep it installed (nor is it
// asked again at exit); its abort at exit fails the call, which then
// changes nothing.
TEST_F(FrameTest, ReplacingACallbackPastItsAbortAnswers) {
  struct Case {
    int32_t abort_at;
    RDRCALLBACK replacement;
    int32_t result;
    size_t calls;
  };
  for (const Case& c :
       {Case{0, nullptr, 1, 1}, Case{0, AcceptAll, 1, 1}, Case{100, AcceptAll, 0, 2}, Case{-2, nullptr, 1, 2}}) {
    SCOPED_TRACE(c.abort_at);
    abort_at_ = -2;
    ASSERT_EQ(RDRCallbackSet(handle_, Record, 3), 1);
    abort_at_ = c.abort_at;
    calls_.clear();
    SetErrorCode(handle_, 0);
    EXPECT_EQ(RDRCallbackSet(handle_, c.replacement, 4), c.result);
    EXPECT_EQ(calls_.size(), c.calls);
    EXPECT_EQ(handle_->last_error, c.result == 1 ? 0 : LibraryError(kErrCallbackAbort));
    EXPECT_EQ(handle_->callback, c.result == 1 ? c.replacement : Record);
    EXPECT_EQ(handle_->callback_user, c.result == 1 ? 4u : 3u);
    EXPECT_EQ(handle_->depth, 0);
    abort_at_ = -2;
    ASSERT_EQ(RDRCallbackSet(handle_, nullptr, 0), 1);
  }
}

TEST(ResultCodes, ReaderStatusesMapToLibraryErrors) {
  RDRHANDLE handle = MEMOpen();
  EXPECT_EQ(RDRErrorCheck(handle, 0), 0);
  EXPECT_FAILS_ON(handle, RDRErrorCheck(handle, -266), 1, 0x11);
  EXPECT_FAILS_ON(handle, RDRErrorCheck(handle, 65270), 1, kErrReaderUnrecognized);  // 0xFEF6 not sign-extended
  const int32_t statuses[] = {-271, -270, -269, -268, -267, -266, -265};
  for (int32_t i = 0; i < 7; ++i) {
    RDRErrorCheck(handle, statuses[i]);
    EXPECT_EQ(LibraryErrorNumber(handle->last_error), 12 + i);
  }
  EXPECT_EQ(FlashErrorCheck(handle, 0), 1);
  EXPECT_FAILS_ON(handle, FlashErrorCheck(handle, -115), 0, 0x7FCD);
  EXPECT_FAILS_ON(handle, FlashErrorCheck(handle, -127), 0, 0x7FC1);
  for (int32_t status : {-114, -128, 5, INT32_MIN}) EXPECT_FAILS_ON(handle, FlashErrorCheck(handle, status), 0, 0x7FC0);
  RDRClose(handle);
}

TEST(ResultCodes, TextsForEveryKindOfCode) {
  char text[128];
  const std::pair<int32_t, std::string> texts[] = {
      {0, "Operating system error"},
      {1, "Incomplete message received from reader"},
      {2, "Message from reader longer than expected"},
      {3, "Message from reader has invalid content"},
      {4, "An invalid parameter was passed to library"},
      {5, "The scan parameters were adjusted"},
      {6, "Insufficient memory available to complete function"},
      {7, "Attempt to write past the end of buffer"},
      {8, "This request is not supported"},
      {9, "The write request could not be verified"},
      {10, "The serial string could not be extracted"},
      {11, "Reader returned an unrecognized error"},
      {12, "Reader returned 0xFEF1; a timeout occurred"},
      {13, "Reader returned 0xFEF2; a bad parameter was passed in"},
      {14, "Reader returned 0xFEF3, it has run out of space"},
      {15, "Reader returned 0xFEF4"},
      {16, "Reader returned 0xFEF5, it is not accepting requests"},
      {17, "Reader returned 0xFEF6, it does not support this request"},
      {18, "Reader returned 0xFEF7, it is detecting a sensor problem"},
      {19, "Attempt at re-entering the library while in a callback"},
      {20, "The requested tag is not constructed properly"},
      {21, "The XML structure has a mismatched tag"},
      {22, "Requested data was not found"},
      {23, "The lighting parameters are non-standard"},
      {24, "Unable to interpret scan info parameters"},
      {25, "Callback function returned ABORT indicator"},
      {26, "The function timed out"},
      {27, "Undefined error 0x001B"},
      {28, "Undefined error 0x001C"},
      {29, "Undefined error 0x001D"},
      {30, "An error was detected during a USB transaction"},
      {31, "The USB connection was lost"},
      {32, "No configuration was loaded"},
      {33, "Unable to send USB message"},
      {34, "The configuration header appears to be corrupt"},
      {35, "The WBG JPEG failed to decompress"},
      {36, "Flash file directory is currupted"},
      {37, "Flash file name is invalid"},
      {38, "Failed to open the requested local file"},
      {39, "Failed to read from the requested local file"},
      {40, "Failed to write to the requested local file"},
      {41, "Flash file already exists"},
      {42, "Invalid access to flash file requested"},
      {43, "Flash file name too long"},
      {44, "Renamed file must stay on same drive"},
      {45, "Attempt to read past end of flash file"},
      {46, "Attempt to close log that is still attached"},
      {32704, "Flash: Nonzero error not recognized"},
      {32705, "Flash: Invalid parameters"},
      {32706, "Flash: Sector not found"},
      {32707, "Flash: Cannot write data, a bit is already cleared"},
      {32708, "Flash: VPP went out of spec during program or erase"},
      {32709, "Flash: Write protect or zone lock bit set"},
      {32710, "Flash: Program attempt failed"},
      {32711, "Flash: Erase attempt failed"},
      {32712, "Flash: A power failure detected prior to write"},
      {32713, "Flash: The sector is linked to by another sector"},
      {32714, "Flash: Unsupported flash memory device"},
      {32715, "Flash: File system corruption"},
      {32716, "Flash: File system is full"},
      {32717, "Flash: Flash simulation failed to open"},
  };
  for (const auto& [number, expected] : texts) {
    EXPECT_EQ(RDRErrorText(LibraryError(number), text, sizeof text), 1) << number;
    EXPECT_EQ(text, expected) << number;
  }
  for (const auto& [code, expected] : {std::pair<int32_t, std::string>{LibraryError(500), "Unknown library error 500"},
                                       {LibraryError(32718), "Unknown library error 32718"},
                                       {0, "No error"}}) {
    EXPECT_EQ(RDRErrorText(code, text, sizeof text), 1);
    EXPECT_EQ(text, expected);
  }
  RDRErrorText(LibraryError(47), text, sizeof text);
  EXPECT_NE(std::string(text).find("47"), std::string::npos);
  RDRErrorText(2, text, sizeof text);
  EXPECT_EQ(std::string(text).rfind("System error 2: ", 0), 0u);
  // Too small a buffer: cut and terminated, result 0.
  char small[8];
  EXPECT_EQ(RDRErrorText(LibraryError(36), small, sizeof small), 0);
  EXPECT_STREQ(small, "Flash f");
  EXPECT_EQ(RDRErrorText(LibraryError(36), nullptr, 10), 0);
}

TEST(MemoryTransport, ListsNothingFlushesAndFailsExchanges) {
  char** list = nullptr;
  int32_t count = 0;
  EXPECT_EQ(MEMDeviceList(0x70, &list, &count), 1);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(count, 0);
  RDRHANDLE handle = MEMOpen();
  SetErrorCode(handle, 0x55);
  RDRMSGHDR ohdr{0, 120, 0};
  RDRMSGHDR ihdr{4, 0xAB, 0xCD};
  uint8_t reply[4] = {1, 2, 3, 4};
  EXPECT_EQ(RDRSendReceive(handle, &ohdr, nullptr, &ihdr, reply), 0);
  EXPECT_EQ(ihdr.Size, 4);
  EXPECT_EQ(ihdr.Command, 0xAB);
  EXPECT_EQ(reply[0], 1);
  EXPECT_EQ(handle->last_error, 0x55) << "the exchange records no error of its own";
  EXPECT_EQ(RDRFlush(handle), 1);
  EXPECT_EQ(MEMFlush(handle), 1);
  RDRClose(handle);
}

// The whole trace of a nested operation under the virtual clock.
TEST(FrameTrace, NestedOperationGoldenOutput) {
  platform::VirtualClock clock;
  platform::ScopedClock use_clock(clock);
  testing_support::TraceCapture trace;
  RDRHANDLE handle = MEMOpen();
  RDRMSGHDR ohdr{0, 1, 0};
  RDRMSGHDR ihdr{0, 0, 0};
  EXPECT_EQ(RDRSendReceive(handle, &ohdr, nullptr, &ihdr, nullptr), 0);
  RDRClose(handle);
  EXPECT_EQ(trace.Close(), 1);

  std::string text = trace.Read();
  const std::string thread = "[" + std::to_string(platform::CurrentThreadId()) + "]";
  // Pointers differ from run to run.
  text = std::regex_replace(text, std::regex("0x[0-9A-F]{16}"), "0xPTR");
  std::string::size_type at = 0;
  while ((at = text.find(thread, at)) != std::string::npos) text.replace(at, thread.size(), "[T]");
  const std::string s = "\r\nDec  5 20:42:07  0.000000 ";
  const std::string expected =
      s + s + s + s + s + "=================" + s + "Logging initiated" + s + "=================" + s +
      "Standard format of log messages; FunctionName(SourceCodeLine#)[ThreadID]" + s + "enter RDRSendReceive";
  ASSERT_EQ(text.substr(0, expected.size()), expected) << text;
  const std::string rest = text.substr(expected.size());
  const std::string body = std::regex_replace(rest, std::regex("\\(\\d+\\)"), "(L)");
  const std::string expected_body = "(L)[T]" + s + " vhdl=0xPTR" + s + " ohdr=0xPTR" + s + " odata=0xPTR" + s +
                                    " ihdr=0xPTR" + s + " idata=0xPTR" + s + " enter MEMSendReceive(L)[T]" + s +
                                    "  vhdl=0xPTR" + s + "  ohdr=0xPTR" + s + "  odata=0xPTR" + s + "  ihdr=0xPTR" + s +
                                    "  idata=0xPTR" + s + " exit  MEMSendReceive(L)[T] with failure 0x0, error=0x0" +
                                    s + "exit  RDRSendReceive(L)[T] with failure 0x0, error=0x0" +
                                    // The block that opened the file also carries the banner's stamp.
                                    s + s + "enter RDRLogSet(L)[T]";
  EXPECT_EQ(body.substr(0, expected_body.size()), expected_body) << body;
  // The close detaches the instance inside a block of its own.
  EXPECT_NE(body.find("Removing instance 0xPTR from logging"), std::string::npos);
}

// Every allocation of a size writes its detail line to the handle's trace,
// a failed one with the address 0; a success exit shows its result in hex.
TEST(FrameTrace, AllocationsAndSuccessExitsAreTracedOnTheirHandle) {
  platform::VirtualClock clock;
  platform::ScopedClock use_clock(clock);
  testing_support::TraceCapture trace;
  RDRHANDLE handle = MEMOpen();
  auto* block = static_cast<char*>(PlatformAlloc(handle, nullptr, 24));
  ASSERT_NE(block, nullptr);
  const auto address = reinterpret_cast<uintptr_t>(block);
  std::memcpy(block, "abcdefg", 8);
  block = static_cast<char*>(PlatformAlloc(handle, block, 4096));  // a resize keeps the contents
  ASSERT_NE(block, nullptr);
  EXPECT_STREQ(block, "abcdefg");
  SetAllocationFailureCountdown(1);
  EXPECT_FAILS_ON(handle, PlatformAlloc(handle, nullptr, 40), nullptr, kErrNoMemory);
  EXPECT_EQ(PlatformAlloc(handle, block, 0), nullptr);
  EXPECT_EQ(PlatformAlloc(nullptr, nullptr, 0), nullptr);
  ASSERT_EQ(HandleEnter(handle, "Probe", 7), 1);
  EXPECT_EQ(HandleExit(handle, "Probe", 8, kCheckAlways, 0xAB), 0xAB);
  RDRClose(handle);
  ASSERT_EQ(trace.Close(), 1);

  const std::string text = trace.Read();
  std::smatch found;
  ASSERT_TRUE(std::regex_search(text, found, std::regex("PlatformAlloc of 24 bytes at 0x([0-9a-f]+)\r\n"))) << text;
  EXPECT_EQ(std::stoull(found[1].str(), nullptr, 16), address);
  EXPECT_NE(text.find("PlatformAlloc of 40 bytes at 0x0\r\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("PlatformAlloc of 0 bytes"), std::string::npos);
  const std::string thread = std::to_string(platform::CurrentThreadId());
  EXPECT_NE(text.find("exit  Probe(8)[" + thread + "] with success 0xAB\r\n"), std::string::npos) << text;
}

}  // namespace
