#include <gtest/gtest.h>

#include <array>
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

// Every block appears whole: its lines in order, one writer, one block
// number, and each writer's blocks in the order written.
void ExpectWholeBlocks(const std::string &text, int writers) {
  std::vector<std::array<int, 3>> lines;  // writer, block, line in file order
  for (size_t at = text.find(" W"); at != std::string::npos; at = text.find(" W", at + 1)) {
    std::array<int, 3> l{};
    if (std::sscanf(text.c_str() + at, " W%d B%d L%d", &l[0], &l[1], &l[2]) == 3) lines.push_back(l);
  }
  ASSERT_EQ(lines.size(), static_cast<size_t>(writers * kBlocks * kLinesPerBlock));
  std::map<int, int> next_block;
  for (size_t i = 0; i < lines.size(); i += kLinesPerBlock) {
    for (int k = 0; k < kLinesPerBlock; ++k) {
      const std::array<int, 3> expected = {lines[i][0], lines[i][1], k};
      ASSERT_EQ(lines[i + static_cast<size_t>(k)], expected) << "at line " << i + static_cast<size_t>(k);
    }
    ASSERT_EQ(lines[i][1], next_block[lines[i][0]]++);
  }
  for (int writer = 0; writer < writers; ++writer) EXPECT_EQ(next_block[writer], kBlocks);
}

// Writers 0 and 1 share one instance, 2 has its own and 3 writes on the root
// while instances come and go: blocks of one record are serialised, and blocks
// of different records never interleave in the shared file.
TEST(TraceThreads, BlocksOfThreadsAndInstancesNeverInterleave) {
  testing_support::TempDir dir;
  platform::VirtualClock clock;
  platform::ScopedClock scoped_clock(clock);
  const std::string path = dir.File("RdrDev.log");
  LOGHANDLE root = LogOpen(path.c_str(), kTraceDetail);
  LOGHANDLE shared = LogAttachInstance(root);
  LOGHANDLE own = LogAttachInstance(root);
  ASSERT_TRUE(LogIsValid(shared) && LogIsValid(own));
  const LOGHANDLE logs[] = {shared, shared, own, root};
  std::latch start(4);
  std::vector<std::thread> threads;
  for (int writer = 0; writer < 4; ++writer) {
    threads.emplace_back([&, writer] {
      start.arrive_and_wait();
      for (int block = 0; block < kBlocks; ++block) {
        WriteBlock(logs[writer], writer, block);
        // A stray end from a thread without a block must not end another's.
        EXPECT_EQ(LogBlockEnd(logs[writer]), 0);
        if (logs[writer] != root) continue;
        LOGHANDLE passing = LogAttachInstance(root);
        LogWrite(passing, kTraceDetail, "\npassing");
        EXPECT_EQ(LogDetachInstance(passing), 1);
        clock.Advance(1);
      }
    });
  }
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(LogDetachInstance(shared) + LogDetachInstance(own), 2);
  EXPECT_EQ(LogClose(root), 1);
  ExpectWholeBlocks(testing_support::ReadFile(path), 4);
}

}  // namespace
