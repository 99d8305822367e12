#include <gtest/gtest.h>

#include <cstdio>
#include <latch>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "tests/support/temp_dir.h"
#include "trace/trace.h"

namespace {

using testing_support::ReadFile;
using testing_support::TempDir;

constexpr int kBlocks = 200;
constexpr int kLinesPerBlock = 5;

// One library-style block: the first and last lines at the outer level, the
// rest inside a nested block, like an operation calling another. The yields
// give the other writers every chance to cut in.
void WriteBlock(LOGHANDLE log, int writer, int block) {
  LogBlockBegin(log);
  LogWrite(log, kTraceEntry, "\nW%d B%d L%d", writer, block, 0);
  LogBlockBegin(log);
  for (int line = 1; line < kLinesPerBlock - 1; ++line) {
    std::this_thread::yield();
    LogWrite(log, kTraceDetail, "\nW%d B%d L%d", writer, block, line);
  }
  LogBlockEnd(log);
  std::this_thread::yield();
  LogWrite(log, kTraceEntry, "\nW%d B%d L%d", writer, block, kLinesPerBlock - 1);
  LogBlockEnd(log);
}

struct Line {
  int writer;
  int block;
  int line;
};

// The writers' lines in file order; everything else (banner, empty stamped
// lines, the closing line) is skipped.
std::vector<Line> WriterLines(const std::string& text) {
  std::vector<Line> lines;
  constexpr size_t kStampWidth = 15 + 1 + 9 + 1;  // date, space, seconds, space
  size_t start = 0;
  for (size_t guard = 0; guard <= text.size() && start < text.size(); ++guard) {
    size_t next = text.find("\r\n", start + 2);
    std::string line = text.substr(start, next == std::string::npos ? std::string::npos : next - start);
    Line parsed{};
    if (line.size() > 2 + kStampWidth &&
        std::sscanf(line.c_str() + 2 + kStampWidth, "W%d B%d L%d", &parsed.writer, &parsed.block, &parsed.line) == 3) {
      lines.push_back(parsed);
    }
    if (next == std::string::npos) break;
    start = next;
  }
  return lines;
}

// Every block appears whole: its lines in order, one writer, one block
// number, and each writer's blocks in the order written.
void ExpectWholeBlocks(const std::string& text, int writers) {
  std::vector<Line> lines = WriterLines(text);
  ASSERT_EQ(lines.size(), static_cast<size_t>(writers * kBlocks * kLinesPerBlock));
  std::map<int, int> next_block;
  for (size_t i = 0; i < lines.size(); i += kLinesPerBlock) {
    const Line& first = lines[i];
    for (int k = 0; k < kLinesPerBlock; ++k) {
      const Line& line = lines[i + static_cast<size_t>(k)];
      ASSERT_EQ(line.writer, first.writer) << "at line " << i + static_cast<size_t>(k);
      ASSERT_EQ(line.block, first.block) << "at line " << i + static_cast<size_t>(k);
      ASSERT_EQ(line.line, k) << "at line " << i + static_cast<size_t>(k);
    }
    ASSERT_EQ(first.block, next_block[first.writer]++);
  }
  for (int writer = 0; writer < writers; ++writer) EXPECT_EQ(next_block[writer], kBlocks);
}

class TraceThreadsTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string path_ = dir_.File("RdrDev.log");
  platform::VirtualClock clock_;
  platform::ScopedClock scoped_clock_{clock_};
};

TEST_F(TraceThreadsTest, BlocksOfInstancesOfOneRootNeverInterleave) {
  LOGHANDLE root = LogOpen(path_.c_str(), kTraceDetail);
  LOGHANDLE first = LogAttachInstance(root);
  LOGHANDLE second = LogAttachInstance(root);
  ASSERT_TRUE(LogIsValid(first));
  ASSERT_TRUE(LogIsValid(second));

  std::latch start(3);
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    start.arrive_and_wait();
    for (int block = 0; block < kBlocks; ++block) WriteBlock(first, 0, block);
  });
  threads.emplace_back([&] {
    start.arrive_and_wait();
    for (int block = 0; block < kBlocks; ++block) WriteBlock(second, 1, block);
  });
  // The root's own blocks, and instances coming and going meanwhile.
  threads.emplace_back([&] {
    start.arrive_and_wait();
    for (int block = 0; block < kBlocks; ++block) {
      WriteBlock(root, 2, block);
      LOGHANDLE passing = LogAttachInstance(root);
      LogWrite(passing, kTraceDetail, "\npassing");
      EXPECT_EQ(LogDetachInstance(passing), 1);
      clock_.Advance(1);
    }
  });
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(LogDetachInstance(first), 1);
  EXPECT_EQ(LogDetachInstance(second), 1);
  EXPECT_EQ(LogClose(root), 1);
  ExpectWholeBlocks(ReadFile(path_), 3);
}

TEST_F(TraceThreadsTest, BlocksOfTwoThreadsOnOneRecordAreSerialised) {
  LOGHANDLE root = LogOpen(path_.c_str(), kTraceDetail);
  LOGHANDLE shared = LogAttachInstance(root);
  std::latch start(2);
  std::vector<std::thread> threads;
  for (int writer = 0; writer < 2; ++writer) {
    threads.emplace_back([&, writer] {
      start.arrive_and_wait();
      for (int block = 0; block < kBlocks; ++block) {
        WriteBlock(shared, writer, block);
        // A stray end from a thread without a block must not end the other's.
        EXPECT_EQ(LogBlockEnd(shared), 0);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(LogDetachInstance(shared), 1);
  EXPECT_EQ(LogClose(root), 1);
  ExpectWholeBlocks(ReadFile(path_), 2);
}

}  // namespace
