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

// Line start as the log writes it: CRLF, local date and time, seconds into
// the block, then the indentation.
std::string Stamp(const char *date, double seconds, int indent = 0) {
  char text[64];
  std::snprintf(text, sizeof text, "\r\n%s %9.6f ", date, seconds);
  return text + std::string(static_cast<size_t>(indent), ' ');
}

std::string Banner(const std::string &s) {
  return s + s + s + s + s + "=================" + s + "Logging initiated" + s + "=================" + s +
         "Standard format of log messages; "
         "FunctionName(SourceCodeLine#)[ThreadID]";
}

constexpr const char *kStart = "Dec  5 20:42:07";  // the virtual clock's default start
const std::string kS0 = Stamp(kStart, 0.0);
const std::string kTerminated = kS0 + "Logging terminated" + kS0;

// Lines stamped at the start without indentation.
std::string Lines(std::initializer_list<std::string> lines) {
  std::string text;
  for (const std::string &line : lines) text += kS0 + line;
  return text;
}

// A file whose first block is `first`: the banner's stamp follows that block.
std::string Opened(const std::string &first) { return Banner(kS0) + first + kS0; }

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
  LOGHANDLE Open(int32_t level, const std::string &name = "RdrDev.log") {
    return LogOpen(dir_.File(name).c_str(), level);
  }
  std::string Read(const std::string &name = "RdrDev.log") { return ReadFile(dir_.File(name)); }

  testing_support::TempDir dir_;
  platform::VirtualClock clock_;
  platform::ScopedClock scoped_clock_{clock_};
};

// Nested blocks, stamps, indentation, a standalone message, a close inside an
// open block, and a second run appending to the same file.
TEST_F(TraceTest, BlocksAreStampedIndentedAndWrittenWholeWhenTheOutermostEnds) {
  LOGHANDLE log = Open(kTraceDetail);
  ASSERT_TRUE(LogIsRoot(log));
  EXPECT_EQ(LogBlockBegin(log), 0);
  LogWrite(log, kTraceEntry, "\nenter %s(%d)[%d]", "RDRFlush", 12, 77);
  EXPECT_EQ(LogSetIndent(log, 1), 0);
  clock_.Advance(250);
  EXPECT_EQ(LogBlockBegin(log), 1);
  LogWrite(log, kTraceParameter, "\n%s=0x%x", "vhdl", 0x10u);
  clock_.Advance(1250);
  LogWrite(log, kTraceDetail, "\nline one\nline two");
  EXPECT_EQ(LogBlockEnd(log), 2);
  EXPECT_EQ(LogSetIndent(log, 0), 1);
  LogWrite(log, kTraceEntry, "\nexit  %s(%d)[%d] with success 0x%X", "RDRFlush", 12, 77, 1u);
  EXPECT_EQ(Read(), "") << "nothing reaches the file before the outermost block ends";
  EXPECT_EQ(LogBlockEnd(log), 1);
  EXPECT_EQ(LogBlockEnd(log), 0) << "no block open";
  // A message outside any block is a block of its own, timed from its start.
  clock_.Advance(60000);
  LogWrite(log, kTraceDetail, "\nstandalone");
  LogWrite(log, kTraceDetail, "!");  // a block of one character is still a block
  // Closing inside an open block writes that block instead of losing it.
  LogBlockBegin(log);
  LogWrite(log, kTraceDetail, "\nstill open");
  EXPECT_EQ(LogClose(log), 1);
  EXPECT_FALSE(LogIsValid(log));
  EXPECT_EQ(LogBlockEnd(log), 0);

  platform::VirtualClock january({2027, 1, 15, 9, 3, 4, 0, 5});
  platform::ScopedClock later(january);
  LOGHANDLE second = Open(kTraceEntry);
  LogWrite(second, kTraceEntry, "\nsecond run");
  EXPECT_EQ(LogClose(second), 1);

  const std::string late = Stamp("Dec  5 20:42:08", 1.5);
  const std::string m = Stamp("Dec  5 20:43:08", 0.0);
  const std::string j0 = Stamp("Jan 15 09:03:04", 0.0);
  EXPECT_EQ(Read(), Banner(late) + kS0 + "enter RDRFlush(12)[77]" + Stamp(kStart, 0.25, 1) + "vhdl=0x10" +
                        Stamp("Dec  5 20:42:08", 1.5, 1) + "line one" + Stamp("Dec  5 20:42:08", 1.5, 1) + "line two" +
                        late + "exit  RDRFlush(12)[77] with success 0x1" + late + m + "standalone!" + m + "still open" +
                        m + "Logging terminated" + m + Banner(j0) + j0 + "second run" + j0);
}

// Levels without a block holding an error: which lines of an operation stay.
TEST_F(TraceTest, LevelsFilterTheLinesOfAnOperation) {
  const std::string all = Lines({"enter Op(1)[2]", "vhdl=0x10", "detail", "exit  Op(1)[2] with success 0x1"});
  struct Case {
    int32_t level;
    bool wants_entry, wants_parameter;
    std::string file;  // "" when the file is never created
  } cases[] = {
      {kTraceDetail, true, true, Opened(all) + kTerminated},
      {kTraceEntry, true, false, Opened(Lines({"enter Op(1)[2]", "exit  Op(1)[2] with success 0x1"}))},
      {0, false, false, ""},
      {kTraceKeepOnError, false, false, ""},
      {kTraceKeepOn100, false, false, ""},
      {kTraceCapture, true, true, ""},  // the capture level on its own keeps nothing
  };
  for (const Case &c : cases) {
    const std::string name = std::to_string(c.level) + ".log";
    SCOPED_TRACE(name);
    LOGHANDLE log = Open(c.level, name);
    EXPECT_EQ(LogWants(log, kTraceEntry), c.wants_entry);
    EXPECT_EQ(LogWants(log, kTraceParameter), c.wants_parameter);
    WriteOperation(log);
    if (c.level == 0) {  // off means off, even for a message of level 0
      EXPECT_FALSE(LogWants(log, 0));
      LogWrite(log, 0, "\nnever");
    }
    EXPECT_EQ(LogClose(log), 1);
    EXPECT_EQ(Read(name), c.file);
  }
}

TEST_F(TraceTest, ConditionalLevelKeepsOnlyBlocksWithAnError) {
  LOGHANDLE log = Open(kTraceKeepOnError);
  // Outside any block even an error-level message is never written.
  LogWrite(log, kTraceError, "\nSet error code to %x", 5u);
  EXPECT_EQ(Read(), "");
  LogBlockBegin(log);
  EXPECT_TRUE(LogWants(log, kTraceDetail)) << "a block is captured in full";
  LOGHANDLE instance = LogAttachInstance(log);  // takes the level beneath the capture
  LogWrite(log, kTraceEntry, "\nenter Op(1)[2]");
  LogWrite(log, kTraceDetail, "\ndetail");
  LogWrite(log, kTraceError, "\nSet error code to %x", 0x20000004u);
  LogBlockEnd(log);
  const std::string kept = Opened(Lines({"enter Op(1)[2]", "detail", "Set error code to 20000004"}));
  EXPECT_EQ(Read(), kept);
  // An empty block leaves the level as it was.
  LogBlockBegin(log);
  LogBlockEnd(log);
  EXPECT_FALSE(LogWants(log, kTraceDetail));
  EXPECT_FALSE(LogWants(instance, kTraceDetail));
  EXPECT_TRUE(LogWants(instance, kTraceError));
  LogBlockBegin(instance);
  LogWrite(instance, kTraceDetail, "\ndetail");
  LogWrite(instance, kTraceError, "\nerror");
  LogBlockEnd(instance);
  EXPECT_EQ(LogDetachInstance(instance), 1);
  EXPECT_EQ(LogClose(log), 1);
  EXPECT_EQ(Read(), kept + Lines({"detail", "error"}));

  LOGHANDLE strict = Open(kTraceKeepOn100, "strict.log");
  LogBlockBegin(strict);
  LogWrite(strict, kTraceError, "\nerror only");
  LogBlockEnd(strict);
  EXPECT_EQ(Read("strict.log"), "");
  LogBlockBegin(strict);
  LogWrite(strict, 0x100, "\nsevere");
  LogBlockEnd(strict);
  EXPECT_EQ(LogClose(strict), 1);
  EXPECT_EQ(Read("strict.log"), Opened(Lines({"severe"})));
}

TEST_F(TraceTest, HexDumpLayoutAndTheFormatArea) {
  std::vector<unsigned char> data(20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i == 19 ? 0xAB : i);
  LOGHANDLE log = Open(kTraceDetail);
  LogBlockBegin(log);
  LogHexDump(log, kTraceDetail, data.data(), 20, "\nwrite %d bytes", 20);
  LogHexDump(log, kTraceDetail, data.data(), 17, "\nwrite %d bytes", 17);
  LogHexDump(log, kTraceDetail, nullptr, 8, "\nno data");
  LogHexDump(log, kTraceParameter, data.data(), 0, "\nempty");
  LogWrite(log, kTraceDetail, "\n%s", std::string(2000, 'y').c_str());  // cut to 1023 characters
  LogBlockEnd(log);
  // Above the log's level the whole dump, header included, is left out.
  LogHexDump(log, 0x601, data.data(), 4, "\nfiltered");
  EXPECT_EQ(LogClose(log), 1);
  const std::string row = " 00010203 04050607 08090A0B 0C0D0E0F";
  EXPECT_EQ(Read(), Opened(Lines({"write 20 bytes", row, " 101112AB", "", "write 17 bytes", row, " 10", "no data", "",
                                  "empty", "", std::string(1022, 'y')})) +
                        kTerminated);
}

TEST_F(TraceTest, BufferLimits) {
  // The buffer grows in steps of 10240 bytes until it is past 0x100000;
  // whole messages that do not fit after that are dropped.
  LOGHANDLE big = Open(kTraceDetail);
  const std::string body(100, 'x');
  const size_t largest = 103 * 10240;
  ASSERT_GT(largest, 0x100000u);
  LogBlockBegin(big);
  for (int i = 0; i < 9000; ++i) LogWrite(big, kTraceDetail, "\n%s", body.c_str());
  LogBlockEnd(big);
  std::string kept;
  for (size_t i = 0; i < largest / (kS0.size() + body.size()); ++i) kept += kS0 + body;
  EXPECT_EQ(Read(), Banner(kS0) + kept) << "no room was left for the banner's stamp either";

  // A huge indentation cannot blow up the buffer: the message is dropped.
  LogSetIndent(big, INT32_MAX);
  LogWrite(big, kTraceDetail, "\nwide");
  LogSetIndent(big, 0);
  LogWrite(big, kTraceDetail, "\nnarrow");
  EXPECT_EQ(LogClose(big), 1);
  EXPECT_EQ(Read(), Banner(kS0) + kept + Lines({"narrow"}) + kTerminated);
}

TEST_F(TraceTest, InstancesShareTheRootFileAndKeepItOpen) {
  LOGHANDLE root = Open(kTraceDetail);
  EXPECT_EQ(LogSetGlobal(root), 1);
  EXPECT_EQ(LogGetGlobal(), root);
  LogSetIndent(root, 2);
  LOGHANDLE instance = LogAttachInstance(root);
  ASSERT_TRUE(LogIsValid(instance) && !LogIsRoot(instance));
  EXPECT_EQ(LogGetIndent(instance), 2);
  EXPECT_TRUE(LogWants(instance, kTraceDetail) && !LogWants(instance, 0x601));
  EXPECT_EQ(LogAttachInstance(instance), InvalidLogHandle()) << "instances attach to roots only";
  LogSetIndent(root, 0);

  SetErrorCode(nullptr, 0);
  platform::SetLastSystemError(1234);
  EXPECT_EQ(LogClose(root), 0);
  EXPECT_EQ(GetErrorCode(), 0x2000002E);
  EXPECT_TRUE(LogIsRoot(root)) << "the log stays usable";
  EXPECT_EQ(LogClose(instance), 0) << "an instance is detached, not closed";
  LogWrite(instance, kTraceEntry, "\nfrom instance");
  EXPECT_EQ(LogDetachInstance(instance), 1);
  EXPECT_EQ(LogDetachInstance(instance), 0);
  EXPECT_FALSE(LogIsValid(instance));
  EXPECT_EQ(LogClose(root), 1);
  EXPECT_EQ(LogGetGlobal(), nullptr) << "a closed log is no longer installed";
  EXPECT_EQ(platform::GetLastSystemError(), 1234u);
  EXPECT_EQ(Read(), Opened(kTerminated) +
                        Lines({"Attached instances still outstanding; keeping "
                               "logger active to be safe"}) +
                        Stamp(kStart, 0.0, 2) + "from instance" + kTerminated);
}

// Handles are never-reused tokens: a closed or detached record stays invalid.
TEST_F(TraceTest, InvalidRecordsAreIgnoredAndLastErrorIsKept) {
  LOGHANDLE closed = Open(kTraceDetail);
  ASSERT_EQ(LogClose(closed), 1);
  LOGHANDLE root = Open(kTraceDetail, "other.log");
  LOGHANDLE detached = LogAttachInstance(root);
  ASSERT_EQ(LogDetachInstance(detached), 1);
  int not_a_log = 0;
  LOGHANDLE garbage = reinterpret_cast<LOGHANDLE>(&not_a_log);

  platform::SetLastSystemError(0xBEEF);
  EXPECT_EQ(LogOpen(nullptr, kTraceDetail), InvalidLogHandle());
  for (LOGHANDLE bad : {static_cast<LOGHANDLE>(nullptr), InvalidLogHandle(), closed, detached, garbage}) {
    EXPECT_FALSE(LogIsValid(bad) || LogWants(bad, kTraceError));
    EXPECT_EQ(LogAttachInstance(bad), InvalidLogHandle());
    LogWrite(bad, kTraceError, "\nnothing");
    LogHexDump(bad, kTraceError, "ab", 2, "\nnothing");
    const std::vector<int32_t> results = {LogClose(bad),    LogDetachInstance(bad), LogBlockBegin(bad),
                                          LogBlockEnd(bad), LogSetIndent(bad, 3),   LogGetIndent(bad)};
    EXPECT_EQ(results, std::vector<int32_t>(6, 0));
    if (bad != nullptr) {
      EXPECT_EQ(LogSetGlobal(bad), 0);
    }
  }
  EXPECT_EQ(LogSetGlobal(nullptr), 1);
  EXPECT_EQ(LogGetGlobal(), nullptr);
  EXPECT_EQ(not_a_log, 0);
  EXPECT_EQ(platform::GetLastSystemError(), 0xBEEFu);
  EXPECT_EQ(LogClose(root), 1);
  EXPECT_EQ(Read(), Opened(kTerminated)) << "the closed log wrote nothing more";
}

}  // namespace
