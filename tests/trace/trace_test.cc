#include "trace/trace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/system.h"
#include "reader/frame.h"
#include "tests/support/temp_dir.h"

namespace {

using testing_support::ReadFile;
using testing_support::TempDir;

// Line start as the log writes it: CRLF, local date and time, seconds into
// the block, then the indentation.
std::string Stamp(const char* date, double seconds, int indent = 0) {
  char text[64];
  std::snprintf(text, sizeof text, "\r\n%s %9.6f ", date, seconds);
  return text + std::string(static_cast<size_t>(indent), ' ');
}

std::string Banner(const std::string& s) {
  return s + s + s + s + s + "=================" + s + "Logging initiated" + s + "=================" + s +
         "Standard format of log messages; FunctionName(SourceCodeLine#)[ThreadID]";
}

constexpr const char* kStart = "Dec  5 20:42:07";  // the virtual clock's default start
const std::string kS0 = Stamp(kStart, 0.0);

// One library-style operation: entry, parameter, detail and exit lines.
void WriteOperation(LOGHANDLE log) {
  LogBlockBegin(log);
  LogWrite(log, kTraceEntry, "\nenter %s(%d)[%d]", "Op", 1, 2);
  LogWrite(log, kTraceParameter, "\n%s=0x%x", "vhdl", 0x10u);
  LogWrite(log, kTraceDetail, "\ndetail");
  LogWrite(log, kTraceEntry, "\nexit  %s(%d)[%d] with success 0x%X", "Op", 1, 2, 1u);
  LogBlockEnd(log);
}

class TraceTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string path_ = dir_.File("RdrDev.log");
  platform::VirtualClock clock_;
  platform::ScopedClock scoped_clock_{clock_};
};

TEST_F(TraceTest, BlocksAreStampedIndentedAndWrittenWhole) {
  LOGHANDLE log = LogOpen(path_.c_str(), kTraceDetail);
  ASSERT_TRUE(LogIsRoot(log));
  EXPECT_EQ(LogBlockBegin(log), 0);
  LogWrite(log, kTraceEntry, "\nenter %s(%d)[%d]", "RDRFlush", 12, 77);
  EXPECT_EQ(LogSetIndent(log, 1), 0);
  clock_.Advance(250);
  LogWrite(log, kTraceParameter, "\n%s=0x%x", "vhdl", 0x10u);
  clock_.Advance(1250);
  LogWrite(log, kTraceDetail, "\nline one\nline two");
  EXPECT_EQ(LogSetIndent(log, 0), 1);
  LogWrite(log, kTraceEntry, "\nexit  %s(%d)[%d] with success 0x%X", "RDRFlush", 12, 77, 1u);
  EXPECT_FALSE(platform::FileExists(path_)) << "nothing reaches the file before the block ends";
  EXPECT_EQ(LogBlockEnd(log), 1);

  // A message outside any block is a block of its own, timed from its start.
  clock_.Advance(60000);
  LogWrite(log, kTraceDetail, "\nstandalone");
  EXPECT_EQ(LogClose(log), 1);
  EXPECT_FALSE(LogIsValid(log));

  const std::string late = Stamp("Dec  5 20:42:08", 1.5);
  const std::string minute = Stamp("Dec  5 20:43:08", 0.0);
  EXPECT_EQ(ReadFile(path_), Banner(late) + kS0 + "enter RDRFlush(12)[77]" + Stamp(kStart, 0.25, 1) + "vhdl=0x10" +
                                 Stamp("Dec  5 20:42:08", 1.5, 1) + "line one" + Stamp("Dec  5 20:42:08", 1.5, 1) +
                                 "line two" + late + "exit  RDRFlush(12)[77] with success 0x1" + late + minute +
                                 "standalone" + minute + "Logging terminated" + minute);
}

TEST_F(TraceTest, SuccessiveRunsAppendEachWithItsBanner) {
  LOGHANDLE first = LogOpen(path_.c_str(), kTraceEntry);
  LogWrite(first, kTraceEntry, "\nfirst run");
  EXPECT_EQ(LogClose(first), 1);

  platform::VirtualClock january({2027, 1, 15, 9, 3, 4, 0, 5});
  platform::SetClock(&january);
  LOGHANDLE second = LogOpen(path_.c_str(), kTraceEntry);
  LogWrite(second, kTraceEntry, "\nsecond run");
  EXPECT_EQ(LogClose(second), 1);

  const std::string j0 = Stamp("Jan 15 09:03:04", 0.0);
  EXPECT_EQ(ReadFile(path_), Banner(kS0) + kS0 + "first run" + kS0 + Banner(j0) + j0 + "second run" + j0);
  platform::SetClock(&clock_);
}

TEST_F(TraceTest, LevelsFilterMessages) {
  LOGHANDLE detail = LogOpen(path_.c_str(), kTraceDetail);
  WriteOperation(detail);
  EXPECT_EQ(LogClose(detail), 1);
  const std::string operation =
      kS0 + "enter Op(1)[2]" + kS0 + "vhdl=0x10" + kS0 + "detail" + kS0 + "exit  Op(1)[2] with success 0x1";
  EXPECT_EQ(ReadFile(path_), Banner(kS0) + operation + kS0 + kS0 + "Logging terminated" + kS0);

  const std::string entry_path = dir_.File("entry.log");
  LOGHANDLE entry = LogOpen(entry_path.c_str(), kTraceEntry);
  EXPECT_TRUE(LogWants(entry, kTraceEntry));
  EXPECT_FALSE(LogWants(entry, kTraceParameter));
  WriteOperation(entry);
  EXPECT_EQ(LogClose(entry), 1);
  EXPECT_EQ(ReadFile(entry_path), Banner(kS0) + kS0 + "enter Op(1)[2]" + kS0 + "exit  Op(1)[2] with success 0x1" + kS0);

  const std::string off_path = dir_.File("off.log");
  LOGHANDLE off = LogOpen(off_path.c_str(), 0);
  EXPECT_FALSE(LogWants(off, kTraceError));
  WriteOperation(off);
  LogHexDump(off, kTraceError, "ab", 2, "\ndump");
  EXPECT_EQ(LogClose(off), 1);
  EXPECT_FALSE(platform::FileExists(off_path));
}

TEST_F(TraceTest, ConditionalLevelKeepsOnlyBlocksWithAnError) {
  LOGHANDLE log = LogOpen(path_.c_str(), kTraceKeepOnError);
  EXPECT_FALSE(LogWants(log, kTraceEntry));
  WriteOperation(log);
  // Outside any block even an error-level message is never written.
  LogWrite(log, kTraceError, "\nSet error code to %x", 5u);
  EXPECT_FALSE(platform::FileExists(path_));

  LogBlockBegin(log);
  EXPECT_TRUE(LogWants(log, kTraceDetail)) << "a block is captured in full";
  LogWrite(log, kTraceEntry, "\nenter Op(1)[2]");
  LogWrite(log, kTraceDetail, "\ndetail");
  LogWrite(log, kTraceError, "\nSet error code to %x", 0x20000004u);
  LogWrite(log, kTraceEntry, "\nexit  Op(1)[2] with failure 0x0, error=0x20000004");
  LogBlockEnd(log);
  const std::string kept = kS0 + "enter Op(1)[2]" + kS0 + "detail" + kS0 + "Set error code to 20000004" + kS0 +
                           "exit  Op(1)[2] with failure 0x0, error=0x20000004";
  EXPECT_EQ(ReadFile(path_), Banner(kS0) + kept + kS0);

  // An empty block leaves the level as it was.
  LogBlockBegin(log);
  LogBlockEnd(log);
  EXPECT_FALSE(LogWants(log, kTraceDetail));
  EXPECT_EQ(LogClose(log), 1);
  EXPECT_EQ(ReadFile(path_), Banner(kS0) + kept + kS0);

  const std::string strict_path = dir_.File("strict.log");
  LOGHANDLE strict = LogOpen(strict_path.c_str(), kTraceKeepOn100);
  LogBlockBegin(strict);
  LogWrite(strict, kTraceError, "\nerror only");
  LogBlockEnd(strict);
  EXPECT_FALSE(platform::FileExists(strict_path));
  LogBlockBegin(strict);
  LogWrite(strict, 0x100, "\nsevere");
  LogBlockEnd(strict);
  EXPECT_EQ(LogClose(strict), 1);
  EXPECT_EQ(ReadFile(strict_path), Banner(kS0) + kS0 + "severe" + kS0);

  // The capture level on its own keeps nothing.
  const std::string capture_path = dir_.File("capture.log");
  LOGHANDLE capture = LogOpen(capture_path.c_str(), kTraceCapture);
  WriteOperation(capture);
  EXPECT_EQ(LogClose(capture), 1);
  EXPECT_FALSE(platform::FileExists(capture_path));
}

TEST_F(TraceTest, NestedBlocksReachTheFileWhenTheOutermostEnds) {
  LOGHANDLE log = LogOpen(path_.c_str(), kTraceDetail);
  EXPECT_EQ(LogBlockBegin(log), 0);
  LogWrite(log, kTraceEntry, "\nenter Outer(1)[2]");
  LogSetIndent(log, 1);
  EXPECT_EQ(LogBlockBegin(log), 1);
  LogWrite(log, kTraceEntry, "\nenter Inner(3)[2]");
  EXPECT_EQ(LogBlockEnd(log), 2);
  EXPECT_FALSE(platform::FileExists(path_));
  LogSetIndent(log, 0);
  EXPECT_EQ(LogBlockEnd(log), 1);
  EXPECT_EQ(LogBlockEnd(log), 0) << "no block open";
  EXPECT_EQ(ReadFile(path_),
            Banner(kS0) + kS0 + "enter Outer(1)[2]" + Stamp(kStart, 0.0, 1) + "enter Inner(3)[2]" + kS0);

  // Closing inside an open block writes that block instead of losing it.
  LogBlockBegin(log);
  LogWrite(log, kTraceDetail, "\nstill open");
  EXPECT_EQ(LogClose(log), 1);
  EXPECT_EQ(LogBlockEnd(log), 0);
  EXPECT_EQ(ReadFile(path_), Banner(kS0) + kS0 + "enter Outer(1)[2]" + Stamp(kStart, 0.0, 1) + "enter Inner(3)[2]" +
                                 kS0 + kS0 + "still open" + kS0 + "Logging terminated" + kS0);
}

TEST_F(TraceTest, HexDumpLayout) {
  std::vector<unsigned char> data(20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i == 19 ? 0xAB : i);
  LOGHANDLE log = LogOpen(path_.c_str(), kTraceDetail);
  LogBlockBegin(log);
  LogHexDump(log, kTraceDetail, data.data(), 20, "\nwrite %d bytes", 20);
  LogHexDump(log, kTraceDetail, data.data(), 17, "\nwrite %d bytes", 17);
  LogHexDump(log, kTraceDetail, nullptr, 8, "\nno data");
  LogHexDump(log, kTraceParameter, data.data(), 0, "\nempty");
  LogBlockEnd(log);
  // Above the log's level the whole dump, header included, is left out.
  LogHexDump(log, 0x601, data.data(), 4, "\nfiltered");
  EXPECT_EQ(LogClose(log), 1);

  const std::string row = " 00010203 04050607 08090A0B 0C0D0E0F";
  EXPECT_EQ(ReadFile(path_), Banner(kS0) + kS0 + "write 20 bytes" + kS0 + row + kS0 + " 101112AB" + kS0 + kS0 +
                                 "write 17 bytes" + kS0 + row + kS0 + " 10" + kS0 + "no data" + kS0 + kS0 + "empty" +
                                 kS0 + kS0 + kS0 + "Logging terminated" + kS0);
}

TEST_F(TraceTest, FormatAreaAndBufferLimits) {
  LOGHANDLE log = LogOpen(path_.c_str(), kTraceDetail);
  LogWrite(log, kTraceDetail, "\n%s", std::string(2000, 'y').c_str());
  EXPECT_EQ(ReadFile(path_), Banner(kS0) + kS0 + std::string(1022, 'y') + kS0) << "cut to 1023 characters";

  // The buffer grows in steps of 10240 bytes until it is past 0x100000;
  // whole messages that do not fit after that are dropped.
  const std::string long_path = dir_.File("long.log");
  LOGHANDLE big = LogOpen(long_path.c_str(), kTraceDetail);
  const std::string body(100, 'x');
  const size_t message_size = kS0.size() + body.size();
  const size_t largest = 103 * 10240;
  ASSERT_GT(largest, 0x100000u);
  LogBlockBegin(big);
  for (int i = 0; i < 9000; ++i) LogWrite(big, kTraceDetail, "\n%s", body.c_str());
  LogBlockEnd(big);
  std::string kept;
  for (size_t i = 0; i < largest / message_size; ++i) kept += kS0 + body;
  EXPECT_EQ(ReadFile(long_path), Banner(kS0) + kept) << "no room was left for the banner's stamp either";

  // A huge indentation cannot blow up the buffer: the message is dropped.
  LogSetIndent(big, INT32_MAX);
  LogWrite(big, kTraceDetail, "\nwide");
  LogSetIndent(big, 0);
  LogWrite(big, kTraceDetail, "\nnarrow");
  EXPECT_EQ(LogClose(big), 1);
  EXPECT_EQ(ReadFile(long_path), Banner(kS0) + kept + kS0 + "narrow" + kS0 + "Logging terminated" + kS0);
  EXPECT_EQ(LogClose(log), 1);
}

TEST_F(TraceTest, InstancesShareTheRootFileAndKeepItOpen) {
  LOGHANDLE root = LogOpen(path_.c_str(), kTraceDetail);
  EXPECT_EQ(LogSetGlobal(root), 1);
  EXPECT_EQ(LogGetGlobal(), root);
  LogSetIndent(root, 2);
  LOGHANDLE instance = LogAttachInstance(root);
  ASSERT_TRUE(LogIsValid(instance));
  EXPECT_FALSE(LogIsRoot(instance));
  EXPECT_EQ(LogGetIndent(instance), 2);
  EXPECT_TRUE(LogWants(instance, kTraceDetail));
  EXPECT_FALSE(LogWants(instance, 0x601));
  EXPECT_EQ(LogAttachInstance(instance), InvalidLogHandle()) << "instances attach to roots only";
  LogSetIndent(root, 0);

  SetErrorCode(nullptr, 0);
  platform::SetLastSystemError(1234);
  EXPECT_EQ(LogClose(root), 0);
  EXPECT_EQ(GetErrorCode(), 0x2000002E);
  EXPECT_EQ(platform::GetLastSystemError(), 1234u);
  EXPECT_TRUE(LogIsRoot(root)) << "the log stays usable";
  EXPECT_EQ(LogClose(instance), 0) << "an instance is detached, not closed";

  LogWrite(instance, kTraceEntry, "\nfrom instance");
  EXPECT_EQ(LogDetachInstance(instance), 1);
  EXPECT_EQ(LogDetachInstance(instance), 0);
  EXPECT_FALSE(LogIsValid(instance));
  EXPECT_EQ(LogClose(root), 1);
  EXPECT_EQ(LogGetGlobal(), nullptr) << "a closed log is no longer installed";
  EXPECT_EQ(platform::GetLastSystemError(), 1234u);

  EXPECT_EQ(ReadFile(path_), Banner(kS0) + kS0 + "Logging terminated" + kS0 + kS0 + kS0 +
                                 "Attached instances still outstanding; keeping logger active to be safe" +
                                 Stamp(kStart, 0.0, 2) + "from instance" + kS0 + "Logging terminated" + kS0);
}

TEST_F(TraceTest, InstanceAttachedDuringACapturedBlockKeepsTheConditionalLevel) {
  LOGHANDLE root = LogOpen(path_.c_str(), kTraceKeepOnError);
  LogBlockBegin(root);
  LOGHANDLE instance = LogAttachInstance(root);
  LogBlockEnd(root);
  EXPECT_FALSE(LogWants(instance, kTraceDetail));
  EXPECT_TRUE(LogWants(instance, kTraceError));
  LogBlockBegin(instance);
  LogWrite(instance, kTraceDetail, "\ndetail");
  LogWrite(instance, kTraceError, "\nerror");
  LogBlockEnd(instance);
  EXPECT_EQ(LogDetachInstance(instance), 1);
  EXPECT_EQ(LogClose(root), 1);
  EXPECT_EQ(ReadFile(path_), Banner(kS0) + kS0 + "detail" + kS0 + "error" + kS0);
}

TEST_F(TraceTest, InvalidRecordsAreIgnoredAndLastErrorIsKept) {
  LOGHANDLE closed = LogOpen(path_.c_str(), kTraceDetail);
  ASSERT_EQ(LogClose(closed), 1);
  const std::string closed_text = ReadFile(path_);
  LOGHANDLE root = LogOpen(dir_.File("other.log").c_str(), kTraceDetail);
  LOGHANDLE detached = LogAttachInstance(root);
  ASSERT_EQ(LogDetachInstance(detached), 1);
  int not_a_log = 0;
  LOGHANDLE garbage = reinterpret_cast<LOGHANDLE>(&not_a_log);

  platform::SetLastSystemError(0xBEEF);
  EXPECT_EQ(LogOpen(nullptr, kTraceDetail), InvalidLogHandle());
  for (LOGHANDLE bad : {static_cast<LOGHANDLE>(nullptr), InvalidLogHandle(), closed, detached, garbage}) {
    EXPECT_FALSE(LogIsValid(bad));
    EXPECT_EQ(LogClose(bad), 0);
    EXPECT_EQ(LogAttachInstance(bad), InvalidLogHandle());
    EXPECT_EQ(LogDetachInstance(bad), 0);
    EXPECT_EQ(LogBlockBegin(bad), 0);
    EXPECT_EQ(LogBlockEnd(bad), 0);
    EXPECT_FALSE(LogWants(bad, kTraceError));
    LogWrite(bad, kTraceError, "\nnothing");
    LogHexDump(bad, kTraceError, "ab", 2, "\nnothing");
    EXPECT_EQ(LogSetIndent(bad, 3), 0);
    EXPECT_EQ(LogGetIndent(bad), 0);
  }
  EXPECT_EQ(LogSetGlobal(InvalidLogHandle()), 0);
  EXPECT_EQ(LogSetGlobal(garbage), 0);
  EXPECT_EQ(LogSetGlobal(closed), 0);
  EXPECT_EQ(LogSetGlobal(nullptr), 1);
  EXPECT_EQ(LogGetGlobal(), nullptr);
  EXPECT_EQ(not_a_log, 0);
  EXPECT_EQ(platform::GetLastSystemError(), 0xBEEFu);
  EXPECT_EQ(LogClose(root), 1);
  EXPECT_EQ(ReadFile(path_), closed_text) << "the closed log wrote nothing more";
}

}  // namespace
