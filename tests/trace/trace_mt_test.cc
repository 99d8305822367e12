#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <latch>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "tests/support/temp_dir.h"
#include "trace/trace.h"

// Writers 0 and 1 share one instance, 2 has its own and 3 writes on the root
// while instances come and go: blocks of one record are serialised, and blocks
// of different records never interleave in the shared file.
TEST(TraceThreads, BlocksOfThreadsAndInstancesNeverInterleave) {
  constexpr int kBlocks = 200, kLinesPerBlock = 5;
  testing_support::TempDir dir;
  platform::VirtualClock clock;
  platform::ScopedClock scoped_clock(clock);
  LOGHANDLE root = LogOpen(dir.File("RdrDev.log").c_str(), kTraceDetail);
  LOGHANDLE shared = LogAttachInstance(root), own = LogAttachInstance(root);
  const LOGHANDLE logs[] = {shared, shared, own, root};
  std::latch start(4);
  std::vector<std::jthread> threads;
  for (int writer = 0; writer < 4; ++writer) {
    threads.emplace_back([&, writer, log = logs[writer]] {
      start.arrive_and_wait();
      for (int block = 0; block < kBlocks; ++block) {
        // One library-style block: the first and last lines at the outer level,
        // the rest inside a nested block, like an operation calling another.
        // The yields give the other writers every chance to cut in.
        LogBlockBegin(log);
        for (int line = 0; line < kLinesPerBlock; ++line) {
          if (line == 1 || line == kLinesPerBlock - 1) line == 1 ? LogBlockBegin(log) : LogBlockEnd(log);
          std::this_thread::yield();
          LogWrite(log, line % (kLinesPerBlock - 1) == 0 ? kTraceEntry : kTraceDetail, "\nW%d B%d L%d", writer, block,
                   line);
        }
        LogBlockEnd(log);
        // A stray end from a thread without a block must not end another's.
        EXPECT_EQ(LogBlockEnd(log), 0);
        if (log != root) continue;
        LOGHANDLE passing = LogAttachInstance(root);
        LogWrite(passing, kTraceDetail, "\npassing");
        EXPECT_EQ(LogDetachInstance(passing), 1);
        clock.Advance(1);
      }
    });
  }
  threads.clear();  // joins
  EXPECT_EQ(LogDetachInstance(shared) + LogDetachInstance(own), 2);
  EXPECT_EQ(LogClose(root), 1);

  // Every block appears whole: its lines in order, one writer, one block
  // number, and each writer's blocks in the order written.
  const std::string text = testing_support::ReadFile(dir.File("RdrDev.log"));
  std::array<int, 4> done{};           // whole blocks per writer
  std::array<int, 3> expected{}, l{};  // writer, block, line
  for (size_t at = text.find(" W"), n = 0; at != std::string::npos; at = text.find(" W", at + 1)) {
    if (std::sscanf(text.c_str() + at, " W%d B%d L%d", &l[0], &l[1], &l[2]) != 3) continue;
    const int k = static_cast<int>(n++ % kLinesPerBlock);
    if (k == 0) expected = {l[0], done.at(static_cast<size_t>(l[0])), 0};
    ASSERT_EQ(l, (std::array<int, 3>{expected[0], expected[1], k})) << "at line " << n - 1;
    done[static_cast<size_t>(l[0])] += k == kLinesPerBlock - 1;
  }
  EXPECT_EQ(done, (std::array<int, 4>{kBlocks, kBlocks, kBlocks, kBlocks}));
}
