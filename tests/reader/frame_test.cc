#include "reader/frame.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>

#include "platform/clock.h"
#include "platform/system.h"
#include "reader/flash.h"
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
    abort_at_ = -2;
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
  // Run from the callback, with what it returned and recorded.
  static inline std::function<int32_t()> reenter_;
  static inline int32_t reenter_result_ = -1;
  static inline int32_t reenter_error_ = 0;

  static int32_t Record(uint32_t elapsed, int32_t progress, uint32_t user) {
    calls_.push_back({elapsed, progress, user});
    if (reenter_) {
      reenter_result_ = reenter_();
      reenter_error_ = GetErrorCode();
      reenter_ = nullptr;
    }
    return progress == abort_at_ ? 0 : 1;
  }

  platform::VirtualClock clock_;
  platform::ScopedClock use_clock_{clock_};
  RDRHANDLE handle_ = nullptr;
};

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
  // A closed handle is refused, not dereferenced.
  EXPECT_EQ(RDRClose(handle_), 1);
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
  EXPECT_EQ(std::tuple(calls_[0].progress, calls_[0].elapsed, calls_[0].user, calls_[1].progress),
            std::tuple(0, 0u, 77u, 100));
  EXPECT_EQ(std::tuple(handle_->depth, handle_->in_callback), std::tuple(0, 0));
}

// Re-entry from the callback is refused; a close from there would free the
// record under the running operation. The refusal leaves lock and depth.
TEST_F(FrameTest, ReentryAndCloseFromTheCallbackAreRefused) {
  ASSERT_EQ(RDRCallbackSet(handle_, Record, 0), 1);
  const std::function<int32_t()> reentries[] = {[this] { return MEMFlush(handle_); },
                                                [this] { return RDRClose(handle_); }};
  for (const auto& reenter : reentries) {
    reenter_ = reenter;
    reenter_result_ = -1;
    EXPECT_EQ(MEMFlush(handle_), 1);
    EXPECT_EQ(reenter_result_, 0);
    EXPECT_EQ(reenter_error_, LibraryError(kErrCallbackReentry));
    ASSERT_TRUE(IsValidReaderHandle(handle_));
    EXPECT_EQ(std::tuple(handle_->depth, handle_->in_callback), std::tuple(0, 0));
  }
  EXPECT_EQ(MEMFlush(handle_), 1);
}

TEST_F(FrameTest, CallbackAbortAtExitTurnsSuccessIntoFailure) {
  ASSERT_EQ(RDRCallbackSet(handle_, Record, 0), 1);
  abort_at_ = 100;
  EXPECT_FAILS_ON(handle_, MEMFlush(handle_), 0, kErrCallbackAbort);
  abort_at_ = 0;
  EXPECT_FAILS_WITH(MEMFlush(handle_), 0, kErrCallbackAbort);
  EXPECT_EQ(calls_.back().progress, 0) << "an entry abort runs no exit callback";
}

int32_t AcceptAll(uint32_t, int32_t, uint32_t) { return 1; }

// The callback's abort answer at entry cannot keep it installed (nor is it
// asked again at exit); its abort at exit fails the call, which then
// changes nothing.
TEST_F(FrameTest, ReplacingACallbackPastItsAbortAnswers) {
  // clang-format off
  const struct { int32_t abort_at; RDRCALLBACK replacement; int32_t result; size_t calls; } cases[] = {
      {0, nullptr, 1, 1}, {0, AcceptAll, 1, 1}, {100, AcceptAll, 0, 2}, {-2, nullptr, 1, 2}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.abort_at);
    abort_at_ = -2;
    ASSERT_EQ(RDRCallbackSet(handle_, Record, 3), 1);
    abort_at_ = c.abort_at;
    calls_.clear();
    SetErrorCode(handle_, 0);
    EXPECT_EQ(RDRCallbackSet(handle_, c.replacement, 4), c.result);
    EXPECT_EQ(calls_.size(), c.calls);
    const bool ok = c.result == 1;
    EXPECT_EQ(handle_->last_error, ok ? 0 : LibraryError(kErrCallbackAbort));
    EXPECT_EQ(std::tuple(handle_->callback, handle_->callback_user, handle_->depth),
              std::tuple(ok ? c.replacement : Record, ok ? 4u : 3u, 0));
    abort_at_ = -2;
    ASSERT_EQ(RDRCallbackSet(handle_, nullptr, 0), 1);
  }
}

// Each operation traces its arguments under their own names, the handle
// first, and refuses an invalid handle with its failure value.
TEST_F(FrameTest, OperationsTraceTheirArgumentsByNameAndRefuseInvalidHandles) {
  testing_support::TraceCapture trace;
  RDRHANDLE h = MEMOpen();  // traced to the log installed when it opened
  uint8_t data[8] = {};
  uint16_t at = 0;
  char text[16];
  char** list = nullptr;
  int32_t count = 0;
  RDRMSGHDR ohdr{0, 1, 0}, ihdr{0, 0, 0};
  // Name, the call, its result for an invalid handle; the capture checks the traced parameters.
  // clang-format off
  const std::tuple<const char*, std::function<int64_t(RDRHANDLE)>, int64_t> cases[] = {
      {"RDRSendReceive", [&](RDRHANDLE x) { return RDRSendReceive(x, &ohdr, nullptr, &ihdr, nullptr); }, 0},
      {"MEMDeviceList", [&](RDRHANDLE) { return MEMDeviceList(0x70, &list, &count); }, 1},
      {"RDRFirmwareString", [&](RDRHANDLE x) { return RDRFirmwareString(x, text, sizeof text); }, 0},
      {"RDRIsFX2Based", [](RDRHANDLE x) { return RDRIsFX2Based(x); }, 1},
      {"SectorRead", [&](RDRHANDLE x) { return SectorRead(x, 0, 1, 0, 4, data, &at); }, 0},
      {"F_fopen", [](RDRHANDLE x) { return reinterpret_cast<int64_t>(F_fopen(x, "0:a", "r")); }, 0},
      {"F_remove", [](RDRHANDLE x) { return F_remove(x, "0:a"); }, -1},
      {"RDRClose", [](RDRHANDLE x) { return RDRClose(x); }, 0}};
  // clang-format on
  for (const auto& [operation, call, refused] : cases) call(h);
  for (const auto& [operation, call, refused] : cases) EXPECT_EQ(call(nullptr), refused) << operation;
}

TEST(ResultCodes, ReaderStatusesMapToLibraryErrors) {
  RDRHANDLE handle = MEMOpen();
  EXPECT_EQ(RDRErrorCheck(handle, 0), 0);
  EXPECT_FAILS_ON(handle, RDRErrorCheck(handle, -266), 1, 0x11);
  EXPECT_FAILS_ON(handle, RDRErrorCheck(handle, 65270), 1, kErrReaderUnrecognized);  // 0xFEF6 not sign-extended
  for (int32_t i = 0; i < 7; ++i) EXPECT_FAILS_ON(handle, RDRErrorCheck(handle, -271 + i), 1, 12 + i);
  EXPECT_EQ(FlashErrorCheck(handle, 0), 1);
  EXPECT_FAILS_ON(handle, FlashErrorCheck(handle, -115), 0, 0x7FCD);
  for (int32_t status : {-114, -128, 5, INT32_MIN}) EXPECT_FAILS_ON(handle, FlashErrorCheck(handle, status), 0, 0x7FC0);
  RDRClose(handle);
}

TEST(ResultCodes, TextsForEveryKindOfCode) {
  // Library errors 0 to 47, then the flash errors from 32704.
  // clang-format off
  const std::string library =
      "Operating system error|Incomplete message received from reader|Message from reader longer than expected|"
      "Message from reader has invalid content|An invalid parameter was passed to library|"
      "The scan parameters were adjusted|Insufficient memory available to complete function|"
      "Attempt to write past the end of buffer|This request is not supported|The write request could not be verified|"
      "The serial string could not be extracted|Reader returned an unrecognized error|"
      "Reader returned 0xFEF1; a timeout occurred|Reader returned 0xFEF2; a bad parameter was passed in|"
      "Reader returned 0xFEF3, it has run out of space|Reader returned 0xFEF4|"
      "Reader returned 0xFEF5, it is not accepting requests|Reader returned 0xFEF6, it does not support this request|"
      "Reader returned 0xFEF7, it is detecting a sensor problem|"
      "Attempt at re-entering the library while in a callback|The requested tag is not constructed properly|"
      "The XML structure has a mismatched tag|Requested data was not found|The lighting parameters are non-standard|"
      "Unable to interpret scan info parameters|Callback function returned ABORT indicator|The function timed out|"
      "Undefined error 0x001B|Undefined error 0x001C|Undefined error 0x001D|"
      "An error was detected during a USB transaction|The USB connection was lost|No configuration was loaded|"
      "Unable to send USB message|The configuration header appears to be corrupt|The WBG JPEG failed to decompress|"
      "Flash file directory is currupted|Flash file name is invalid|Failed to open the requested local file|"
      "Failed to read from the requested local file|Failed to write to the requested local file|"
      "Flash file already exists|Invalid access to flash file requested|Flash file name too long|"
      "Renamed file must stay on same drive|Attempt to read past end of flash file|"
      "Attempt to close log that is still attached|Library error 47: a reader device is disabled in the system|"
      // The flash errors from 32704 on.
      "Flash: Nonzero error not recognized|Flash: Invalid parameters|Flash: Sector not found|"
      "Flash: Cannot write data, a bit is already cleared|Flash: VPP went out of spec during program or erase|"
      "Flash: Write protect or zone lock bit set|Flash: Program attempt failed|Flash: Erase attempt failed|"
      "Flash: A power failure detected prior to write|Flash: The sector is linked to by another sector|"
      "Flash: Unsupported flash memory device|Flash: File system corruption|Flash: File system is full|"
      "Flash: Flash simulation failed to open|";
  // clang-format on
  char text[128];
  size_t start = 0;
  for (int32_t i = 0; i < 62; ++i) {
    const int32_t number = i < 48 ? i : 32704 + (i - 48);
    const size_t end = library.find('|', start);
    EXPECT_EQ(RDRErrorText(LibraryError(number), text, sizeof text), 1) << number;
    EXPECT_EQ(text, library.substr(start, end - start)) << number;
    start = end + 1;
  }
  // Too small a buffer: cut and terminated, result 0.
  char small[8];
  EXPECT_EQ(RDRErrorText(LibraryError(36), small, sizeof small), 0);
  EXPECT_STREQ(small, "Flash f");
  EXPECT_EQ(RDRErrorText(LibraryError(36), small, 1), 0);
  EXPECT_STREQ(small, "");
}

// A nested operation's trace under the virtual clock, an allocation's detail
// line (a failed one at address 0), a success exit's result in hex, and the
// cases of the hex digits of results, errors and integer parameters.
TEST(FrameTrace, NestedOperationsAllocationsAndExits) {
  platform::VirtualClock clock;
  platform::ScopedClock use_clock(clock);
  testing_support::TraceCapture trace;
  RDRHANDLE handle = MEMOpen();
  RDRMSGHDR ohdr{0, 1, 0};
  RDRMSGHDR ihdr{0, 0, 0};
  EXPECT_EQ(RDRSendReceive(handle, &ohdr, nullptr, &ihdr, nullptr), 0);
  auto* block = static_cast<char*>(PlatformAlloc(handle, nullptr, 24));
  ASSERT_NE(block, nullptr);
  const auto address = reinterpret_cast<uintptr_t>(block);
  SetAllocationFailureCountdown(1);
  EXPECT_FAILS_ON(handle, PlatformAlloc(handle, nullptr, 40), nullptr, kErrNoMemory);
  EXPECT_EQ(PlatformAlloc(handle, block, 0), nullptr);
  EXPECT_EQ(PlatformAlloc(nullptr, nullptr, 0), nullptr);
  ASSERT_EQ(HandleEnter(handle, "Probe", 7), 1);
  EXPECT_EQ(HandleExit(handle, "Probe", 8, kCheckAlways, 0xAB), 0xAB);
  ASSERT_EQ(HandleEnter(handle, "Probe", 9), 1);
  TraceParameters(handle, {{"count", -2}, {"none", nullptr}});
  SetLibraryError(handle, 46);
  EXPECT_EQ(HandleExit(handle, "Probe", 10, kCheckZero, -1), -1);
  RDRClose(handle);
  ASSERT_EQ(trace.Close(), 1);

  std::string text = trace.Read();
  std::smatch found;
  ASSERT_TRUE(std::regex_search(text, found, std::regex("PlatformAlloc of 24 bytes at 0x([0-9a-f]+)\r\n"))) << text;
  EXPECT_EQ(std::stoull(found[1].str(), nullptr, 16), address);
  EXPECT_NE(text.find("PlatformAlloc of 40 bytes at 0x0\r\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("PlatformAlloc of 0 bytes"), std::string::npos);
  const std::string thread = "[" + std::to_string(platform::CurrentThreadId()) + "]";
  EXPECT_NE(text.find("exit  Probe(8)" + thread + " with success 0xAB\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" count=0xfffffffe\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" none=0x0000000000000000\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("exit  Probe(10)" + thread + " with failure 0xFFFFFFFF, error=0x2000002e\r\n"), std::string::npos)
      << text;
  // Pointers and line numbers differ from build to build.
  text = std::regex_replace(text, std::regex("0x[0-9A-F]{16}"), "0xPTR");
  text = std::regex_replace(text, std::regex("\\(\\d+\\)\\[\\d+\\]"), "(L)[T]");
  const std::string s = "\r\nDec  5 20:42:07  0.000000 ";  // the banner itself is the trace tests' concern
  // Arguments sit one level deeper than their enter line; inner calls one deeper.
  const std::string nested = "enter RDRSendReceive(L)[T]" + s + " vhdl=0xPTR" + s + " ohdr=0xPTR" + s + " odata=0xPTR" +
                             s + " ihdr=0xPTR" + s + " idata=0xPTR" + s + " enter MEMSendReceive(L)[T]" + s +
                             "  vhdl=0xPTR" + s + "  ohdr=0xPTR" + s + "  odata=0xPTR" + s + "  ihdr=0xPTR" + s +
                             "  idata=0xPTR" + s + " exit  MEMSendReceive(L)[T] with failure 0x0, error=0x0" + s +
                             "exit  RDRSendReceive(L)[T] with failure 0x0, error=0x0" + s +
                             s;  // the block that opened the file ends stamped
  EXPECT_NE(text.find(nested), std::string::npos) << text;
  // The close detaches the instance inside a block of its own.
  EXPECT_NE(text.find("Removing instance 0xPTR from logging"), std::string::npos);
}

}  // namespace
