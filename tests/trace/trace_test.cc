#include "trace/trace.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <functional>
#include <optional>
#include <vector>

#include "platform/clock.h"
#include "platform/system.h"
#include "reader/frame.h"
#include "tests/support/temp_dir.h"

using V = std::vector<int32_t>;

// Line start as the log writes it: CRLF, local date and time, seconds into
// the block, then the indentation.
static std::string Stamp(const char *date, double seconds, int indent = 0) {
  char text[64];
  std::snprintf(text, sizeof text, "\r\n%s %9.6f ", date, seconds);
  return text + std::string(static_cast<size_t>(indent), ' ');
}

static std::string Banner(const std::string &s) {
  return s + s + s + s + s + "=================" + s + "Logging initiated" + s + "=================" + s +
         "Standard format of log messages; FunctionName(SourceCodeLine#)[ThreadID]";
}

constexpr const char *kStart = "Dec  5 20:42:07";  // the virtual clock's default start
const std::string kS0 = Stamp(kStart, 0.0);
const std::string kTerminated = kS0 + "Logging terminated" + kS0;

// Lines stamped at the start without indentation.
static std::string Lines(std::initializer_list<std::string> lines) {
  std::string text;
  for (const std::string &line : lines) text += kS0 + line;
  return text;
}

// A file whose first block is `first`: the banner's stamp follows that block.
static std::string Opened(const std::string &first) { return Banner(kS0) + first + kS0; }

// One block holding the given lines.
static void InBlock(LOGHANDLE log, std::initializer_list<std::pair<int32_t, const char *>> lines) {
  LogBlockBegin(log);
  for (const auto &[level, text] : lines) LogWrite(log, level, "\n%s", text);
  LogBlockEnd(log);
}

struct TraceTest : ::testing::Test {
  LOGHANDLE Open(int32_t level, std::string name = "RdrDev.log") { return LogOpen(dir_.File(name).c_str(), level); }
  std::string Read(std::string name = "RdrDev.log") { return testing_support::ReadFile(dir_.File(name)); }

  testing_support::TempDir dir_;
  platform::VirtualClock clock_;
  platform::ScopedClock scoped_clock_{clock_};
};

// Nested blocks (each call returns the previous nesting or indentation),
// stamps, indentation, a standalone message, a close inside an open block,
// and a second run appending to the same file.
TEST_F(TraceTest, BlocksAreStampedIndentedAndWrittenWholeWhenTheOutermostEnds) {
  LOGHANDLE log = Open(kTraceDetail);
  EXPECT_EQ(LogBlockBegin(log), 0);
  LogWrite(log, kTraceEntry, "\nenter %s(%d)[%d]", "RDRFlush", 12, 77);
  EXPECT_EQ(LogSetIndent(log, 1), 0);
  clock_.Advance(250);
  EXPECT_EQ(LogBlockBegin(log), 1);
  LogWrite(log, kTraceParameter, "\n%s=0x%x", "vhdl", 0x10u);
  clock_.Advance(1250);
  LogWrite(log, kTraceDetail, "\nline one\nline two");
  EXPECT_EQ((V{LogBlockEnd(log), LogSetIndent(log, 0)}), (V{2, 1}));
  LogWrite(log, kTraceEntry, "\nexit  %s(%d)[%d] with success 0x%X", "RDRFlush", 12, 77, 1u);
  EXPECT_EQ(Read(), "") << "nothing reaches the file before the outermost block ends";
  EXPECT_EQ(LogBlockEnd(log), 1);
  // A message outside any block is a block of its own, timed from its start.
  clock_.Advance(60000);
  LogWrite(log, kTraceDetail, "\nstandalone");
  LogWrite(log, kTraceDetail, "!");  // a block of one character is still a block
  // Closing inside an open block writes that block instead of losing it.
  LogBlockBegin(log);
  LogWrite(log, kTraceDetail, "\nstill open");
  EXPECT_EQ(LogClose(log), 1);
  clock_.Advance(40LL * 24 * 3600 * 1000);
  LOGHANDLE second = Open(kTraceEntry);
  LogWrite(second, kTraceEntry, "\nsecond run");
  EXPECT_EQ(LogClose(second), 1);
  const std::string late = Stamp("Dec  5 20:42:08", 1.5), late1 = Stamp("Dec  5 20:42:08", 1.5, 1),
                    m = Stamp("Dec  5 20:43:08", 0.0), j0 = Stamp("Jan 14 20:43:08", 0.0);
  EXPECT_EQ(Read(), Banner(late) + kS0 + "enter RDRFlush(12)[77]" + Stamp(kStart, 0.25, 1) + "vhdl=0x10" + late1 +
                        "line one" + late1 + "line two" + late + "exit  RDRFlush(12)[77] with success 0x1" + late + m +
                        "standalone!" + m + "still open" + m + "Logging terminated" + m + Banner(j0) + j0 +
                        "second run" + j0);
}

// Levels without a block holding an error: which lines of an operation stay.
// The capture level on its own keeps nothing; off means off, even at level 0.
TEST_F(TraceTest, LevelsFilterTheLinesOfAnOperationAndConditionalLevelsKeepBlocksWithAnError) {
  // clang-format off
  struct Case { int32_t level; bool wants_entry, wants_parameter; std::string file; /* "" when never created */ } cases[] = {
      {kTraceDetail, true, true, Opened(Lines({"enter", "param", "detail", "exit"})) + kTerminated}, {0, false, false, ""},
      {kTraceEntry, true, false, Opened(Lines({"enter", "exit"}))}, {kTraceKeepOnError, false, false, ""},
      {kTraceKeepOn100, false, false, ""}, {kTraceCapture, true, true, ""}};
  // clang-format on
  for (const Case &c : cases) {
    LOGHANDLE log = Open(c.level, std::to_string(c.level));
    EXPECT_EQ((V{LogWants(log, kTraceEntry), LogWants(log, kTraceParameter), c.level == 0 && LogWants(log, 0)}),
              (V{c.wants_entry, c.wants_parameter, 0}));
    InBlock(log, {{kTraceEntry, "enter"}, {kTraceParameter, "param"}, {kTraceDetail, "detail"}, {kTraceEntry, "exit"}});
    if (c.level == 0) LogWrite(log, 0, "\nnever");
    EXPECT_EQ(LogClose(log), 1);
    EXPECT_EQ(Read(std::to_string(c.level)), c.file) << c.level;
  }

  // Outside any block even an error-level message is never written; a block is
  // captured in full and kept when it holds an error (0x100 for the strict
  // level); an instance takes the level beneath the capture.
  LOGHANDLE log = Open(kTraceKeepOnError), strict = Open(kTraceKeepOn100, "strict.log");
  LogWrite(log, kTraceError, "\nSet error code to %x", 5u);
  LogBlockBegin(log);
  EXPECT_TRUE(LogWants(log, kTraceDetail));
  LOGHANDLE instance = LogAttachInstance(log);
  InBlock(log, {{kTraceEntry, "enter"}, {kTraceDetail, "detail"}, {kTraceError, "Set error code to 20000004"}});
  LogBlockEnd(log);
  InBlock(log, {});  // an empty block leaves the level as it was
  EXPECT_EQ((V{LogWants(log, kTraceDetail), LogWants(instance, kTraceDetail), LogWants(instance, kTraceError)}),
            (V{0, 0, 1}));
  InBlock(instance, {{kTraceDetail, "detail"}, {kTraceError, "error"}});
  InBlock(strict, {{kTraceError, "error only"}});
  InBlock(strict, {{0x100, "severe"}});
  EXPECT_EQ((V{LogDetachInstance(instance), LogClose(log), LogClose(strict)}), (V{1, 1, 1}));
  EXPECT_EQ(Read(), Opened(Lines({"enter", "detail", "Set error code to 20000004"})) + Lines({"detail", "error"}));
  EXPECT_EQ(Read("strict.log"), Opened(Lines({"severe"})));
}

// Rows of 16 bytes; a dump above the log's level is left out, header included;
// the format area holds 1023 characters.
TEST_F(TraceTest, HexDumpFormatAreaAndBufferLimits) {
  // clang-format off
  const unsigned char data[20] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 0xAB};
  // clang-format on
  LOGHANDLE log = Open(kTraceDetail);
  LogBlockBegin(log);
  LogHexDump(log, kTraceDetail, data, 20, "\n%d bytes", 20);
  LogHexDump(log, kTraceDetail, nullptr, 8, "\nno data");
  LogHexDump(log, kTraceParameter, data, 0, "\nempty");
  LogWrite(log, kTraceDetail, "\n%s", std::string(2000, 'y').c_str());
  LogBlockEnd(log);
  LogHexDump(log, 0x601, data, 4, "\nfiltered");
  EXPECT_EQ(LogClose(log), 1);
  EXPECT_EQ(Read(), Opened(Lines({"20 bytes", " 00010203 04050607 08090A0B 0C0D0E0F", " 101112AB", "", "no data", "",
                                  "empty", "", std::string(1022, 'y')})) +
                        kTerminated);

  // The buffer grows in steps of 10240 bytes until it is past 0x100000; whole
  // messages that do not fit after that are dropped.
  LOGHANDLE big = Open(kTraceDetail, "big.log");
  const std::string body(100, 'x');
  LogBlockBegin(big);
  for (int i = 0; i < 9000; ++i) LogWrite(big, kTraceDetail, "\n%s", body.c_str());
  LogBlockEnd(big);
  std::string kept;
  for (size_t i = 0; i < 103 * 10240 / (kS0.size() + body.size()); ++i) kept += kS0 + body;
  EXPECT_EQ(LogClose(big), 1);
  EXPECT_EQ(Read("big.log"), Banner(kS0) + kept + kTerminated) << "no room was left for the banner's stamp either";
}

// Closing the root while an instance is attached fails with 0x2000002E and
// keeps the log usable; the instance inherits level and indentation. Handles
// are never-reused tokens: a closed or detached record stays invalid, and no
// operation on an invalid record changes the last error.
TEST_F(TraceTest, InstancesShareTheRootFileAndInvalidRecordsAreIgnored) {
  LOGHANDLE root = Open(kTraceDetail);
  EXPECT_EQ((V{LogSetGlobal(root), LogGetGlobal() == root, LogSetIndent(root, 2)}), (V{1, 1, 0}));
  LOGHANDLE instance = LogAttachInstance(root);
  // Instances attach to roots only.
  ASSERT_TRUE(LogIsValid(instance) && !LogIsRoot(instance) && LogIsRoot(root) && LogWants(instance, kTraceDetail) &&
              !LogWants(instance, 0x601) && LogAttachInstance(instance) == InvalidLogHandle());
  SetErrorCode(nullptr, 0);
  platform::SetLastSystemError(1234);
  EXPECT_EQ((V{LogGetIndent(instance), LogSetIndent(root, 0), LogClose(root), GetErrorCode(), LogIsRoot(root),
               LogClose(instance)}),
            (V{2, 2, 0, 0x2000002E, 1, 0}));
  LogWrite(instance, kTraceEntry, "\nfrom instance");
  // A closed log is no longer installed.
  EXPECT_EQ((V{LogDetachInstance(instance), LogClose(root), LogGetGlobal() == nullptr}), (V{1, 1, 1}));
  int not_a_log = 0;
  for (LOGHANDLE bad :
       {static_cast<LOGHANDLE>(nullptr), InvalidLogHandle(), root, instance, reinterpret_cast<LOGHANDLE>(&not_a_log)}) {
    LogWrite(bad, kTraceError, "\nnothing");
    LogHexDump(bad, kTraceError, "ab", 2, "\nnothing");
    EXPECT_EQ((V{LogIsValid(bad), LogWants(bad, kTraceError), LogAttachInstance(bad) != InvalidLogHandle(),
                 LogClose(bad), LogDetachInstance(bad), LogBlockBegin(bad), LogBlockEnd(bad), LogSetIndent(bad, 3),
                 LogGetIndent(bad), bad != nullptr ? LogSetGlobal(bad) : 0}),
              V(10, 0));
  }
  EXPECT_EQ((V{LogOpen(nullptr, kTraceDetail) == InvalidLogHandle(), LogSetGlobal(nullptr), LogGetGlobal() == nullptr,
               not_a_log, static_cast<int32_t>(platform::GetLastSystemError())}),
            (V{1, 1, 1, 0, 1234}));
  EXPECT_EQ(Read(), Opened(kTerminated) +
                        Lines({"Attached instances still outstanding; keeping logger active to be safe"}) +
                        Stamp(kStart, 0.0, 2) + "from instance" + kTerminated);
}

// A line built piece by piece is the text its format makes, inside a block
// (indented) and outside one: extreme numbers, the thread's id, a null text,
// a newline in a text, a text past the format area, a second line with
// numbers cut at the end of its own area, numbers with one character left,
// a level the log leaves out.
TEST_F(TraceTest, LinesBuiltPieceByPieceAreTheTextsOfTheirFormats) {
  const std::string long_text(2000, 'z'), near_end(1005, 'q'), one_left(1021, 'r');
  const int32_t thread = platform::CurrentThreadId();
  const char *volatile no_text = nullptr;  // volatile: the compiler must not see the null it warns about
  using Build = std::function<void(LOGHANDLE)>;
  // clang-format off
  const std::pair<Build, Build> cases[] = {
      {[](LOGHANDLE l) { LogLine(l, kTraceEntry).Literal("enter ").Name("Op").Literal("(").Decimal(INT32_MIN).Literal(")[").Decimal(0).ThreadId(); },
       [&](LOGHANDLE l) { LogWrite(l, kTraceEntry, "\nenter %s(%d)[%d%d", "Op", INT32_MIN, 0, thread); }},
      {[](LOGHANDLE l) { LogLine(l, kTraceParameter).Text(nullptr).Hex(~0ull, true, 16).Hex(0xAB, true, 16).Hex(0, false).Hex(0xBEEF, false, 2); },
       [&](LOGHANDLE l) { LogWrite(l, kTraceParameter, "\n%s%016llX%016X%x%02x", no_text, ~0ull, 0xABu, 0u, 0xBEEFu); }},
      {[](LOGHANDLE l) { LogLine(l, kTraceDetail).Text("a\nb").Decimal(2147483647); },
       [](LOGHANDLE l) { LogWrite(l, kTraceDetail, "\n%s%d", "a\nb", 2147483647); }},
      {[&](LOGHANDLE l) { LogLine(l, kTraceDetail).Literal("long ").Text(long_text.c_str()).Decimal(5); },
       [&](LOGHANDLE l) { LogWrite(l, kTraceDetail, "\nlong %s%d", long_text.c_str(), 5); }},
      {[&](LOGHANDLE l) { LogLine(l, kTraceDetail).Literal("x").NewLine().Text(near_end.c_str()).Decimal(-123456789).Hex(~0ull, true, 16); },
       [&](LOGHANDLE l) { LogBlockBegin(l); LogWrite(l, kTraceDetail, "\nx"); LogWrite(l, kTraceDetail, "\n%s%d%016llX", near_end.c_str(), -123456789, ~0ull); LogBlockEnd(l); }},
      {[&](LOGHANDLE l) { LogLine(l, kTraceDetail).Text(one_left.c_str()).Decimal(-5); },
       [&](LOGHANDLE l) { LogWrite(l, kTraceDetail, "\n%s%d", one_left.c_str(), -5); }},
      {[&](LOGHANDLE l) { LogLine(l, kTraceDetail).Text(one_left.c_str()).Hex(0xAB, false); },
       [&](LOGHANDLE l) { LogWrite(l, kTraceDetail, "\n%s%x", one_left.c_str(), 0xABu); }},
      {[](LOGHANDLE l) { LogLine(l, 0x601).Literal("left out"); }, [](LOGHANDLE l) { LogWrite(l, 0x601, "\nleft out"); }}};
  // clang-format on
  for (size_t i = 0; i < std::size(cases); ++i) {
    std::string texts[2];
    for (int way = 0; way < 2; ++way) {
      const std::string name = std::to_string(i) + "-" + std::to_string(way);
      LOGHANDLE log = Open(kTraceDetail, name);
      const Build &build = way == 0 ? cases[i].first : cases[i].second;
      build(log);  // a block of its own
      LogBlockBegin(log);
      LogSetIndent(log, 3);
      build(log);
      LogBlockEnd(log);
      LogClose(log);
      texts[way] = Read(name);
    }
    EXPECT_EQ(texts[0], texts[1]) << i;
  }
}

// An entry line begins a block and indents what follows; an exit line takes
// the indentation back and ends the block, as the separate calls do, also
// when the level leaves the lines out and when no block is open.
TEST_F(TraceTest, EntryAndExitLinesBeginAndEndTheirBlock) {
  using Steps = std::function<void(LOGHANDLE)>;
  const Steps built = [this](LOGHANDLE l) {
    clock_.Advance(5);
    LogLine(l, kTraceEntry, LineRole::kEntry).Literal("enter");
    clock_.Advance(3);
    LogWrite(l, kTraceError, "\ninside");
    LogLine(l, kTraceEntry, LineRole::kExit).Literal("exit");
    LogLine(l, kTraceEntry, LineRole::kExit).Literal("unpaired");
  };
  const Steps separate = [this](LOGHANDLE l) {
    clock_.Advance(5);
    LogBlockBegin(l);
    LogWrite(l, kTraceEntry, "\nenter");
    LogAddIndent(l, 1);
    clock_.Advance(3);
    LogWrite(l, kTraceError, "\ninside");
    LogAddIndent(l, -1);
    LogWrite(l, kTraceEntry, "\nexit");
    LogBlockEnd(l);
    LogAddIndent(l, -1);
    LogWrite(l, kTraceEntry, "\nunpaired");
    LogBlockEnd(l);
  };
  for (const int32_t level : {kTraceDetail, kTraceError}) {
    std::string texts[2];
    for (int way = 0; way < 2; ++way) {
      const std::string name = std::to_string(level) + "-" + std::to_string(way);
      LOGHANDLE log = Open(level, name);
      (way == 0 ? built : separate)(log);
      EXPECT_EQ(LogGetIndent(log), -1) << way;
      EXPECT_EQ(LogBlockBegin(log), 0) << "the block was left open";
      LogBlockEnd(log);
      LogClose(log);
      texts[way] = Read(name);
    }
    EXPECT_EQ(texts[0], texts[1]) << level;
  }
  const std::string at_inside = Stamp(kStart, 0.003);  // the block's file is opened when it ends
  EXPECT_EQ(Read(std::to_string(kTraceError) + "-0"),
            Banner(at_inside) + Stamp(kStart, 0.003, 1) + "inside" + at_inside);
}

// While a line is being built its log refuses every other operation of the
// building thread: nothing lands inside the line, and the log cannot be
// closed or its block ended underneath it. Near the full buffer each line
// of a message goes in whole or not at all, as a formatted one does.
TEST_F(TraceTest, ALineUnderConstructionHoldsItsLogAndGoesInWhole) {
  LOGHANDLE log = Open(kTraceDetail);
  LogBlockBegin(log);
  {
    LogLine line(log, kTraceDetail);
    line.Literal("first");
    LogWrite(log, kTraceDetail, "\nrefused");
    LogLine(log, kTraceDetail).Literal("nested");
    EXPECT_EQ(LogAddIndent(log, 4), 0);
    EXPECT_EQ(LogBlockEnd(log), 0);
    EXPECT_EQ(LogClose(log), 0);
    line.Literal(" line");
  }
  LogWrite(log, kTraceDetail, "\nafter");
  EXPECT_EQ(LogBlockEnd(log), 1);
  EXPECT_EQ(LogClose(log), 1);
  EXPECT_EQ(Read(), Opened(Lines({"first line", "after"})) + kTerminated);

  // 8236 lines of 128 bytes leave 512 of the buffer's last 1054720.
  const std::string body(100, 'x');
  std::string texts[2];
  for (int way = 0; way < 2; ++way) {
    const std::string name = "full-" + std::to_string(way);
    LOGHANDLE full = Open(kTraceDetail, name);
    LogBlockBegin(full);
    for (int i = 0; i < 8236; ++i) LogWrite(full, kTraceDetail, "\n%s", body.c_str());
    const std::string texts_in[] = {std::string(400, 'a'), std::string(100, 'b'), std::string(50, 'c')};
    if (way == 0) {
      LogLine(full, kTraceDetail)
          .Text(texts_in[0].c_str())
          .NewLine()
          .Text(texts_in[1].c_str())
          .NewLine()
          .Text(texts_in[2].c_str());
    } else {
      for (const std::string &text : texts_in) LogWrite(full, kTraceDetail, "\n%s", text.c_str());
    }
    LogBlockEnd(full);
    LogClose(full);
    texts[way] = Read(name);
  }
  EXPECT_EQ(texts[0], texts[1]);
  EXPECT_NE(texts[0].find(kS0 + std::string(400, 'a') + kS0 + std::string(50, 'c') + kS0 + "Logging"),
            std::string::npos);
}

// The calendar part of the stamp turns with the local-time second, and a
// clock installed in place of another (even at the same address) is read.
TEST_F(TraceTest, StampsFollowTheSecondsAndTheInstalledClock) {
  LOGHANDLE log = Open(kTraceDetail);
  LogBlockBegin(log);
  clock_.Advance(916);  // 20:42:07.999
  LogWrite(log, kTraceDetail, "\n%s", "a");
  clock_.Advance(1);
  LogWrite(log, kTraceDetail, "\n%s", "b");
  LogBlockEnd(log);
  std::optional<platform::VirtualClock> other;
  other.emplace(platform::LocalTime{2027, 3, 9, 1, 2, 3, 0, 2});
  {
    platform::ScopedClock scoped(*other);
    LogWrite(log, kTraceDetail, "\n%s", "c");
  }
  other.emplace(platform::LocalTime{2027, 4, 9, 1, 2, 3, 0, 2});
  platform::ScopedClock scoped(*other);
  LogWrite(log, kTraceDetail, "\n%s", "d");
  LogClose(log);
  const std::string second = Stamp("Dec  5 20:42:08", 0.917), march = Stamp("Mar  9 01:02:03", 0),
                    april = Stamp("Apr  9 01:02:03", 0);
  EXPECT_EQ(Read(), Banner(second) + Stamp(kStart, 0.916) + "a" + second + "b" + second + march + "c" + april + "d" +
                        april + "Logging terminated" + april);
}
