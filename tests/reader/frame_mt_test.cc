#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "reader/frame.h"
#include "reader/handle.h"
#include "tests/support/temp_dir.h"
#include "trace/trace.h"
#include "transport/memory.h"

namespace {

// Operations on one handle from several threads never overlap: the counter
// below is guarded only by the handle's lock, so an overlap shows as a
// wrong count here and as a data race under ThreadSanitizer.
TEST(FrameThreads, OperationsOnOneHandleAreSerialised) {
  testing_support::TempDir dir;
  LOGHANDLE log = LogOpen(dir.File("RdrDev.log").c_str(), kTraceDetail);
  LogSetGlobal(log);
  RDRHANDLE handle = MEMOpen();
  int inside = 0;
  int overlaps = 0;
  int total = 0;
  auto work = [&]() {
    for (int i = 0; i < 300; ++i) {
      ASSERT_EQ(HandleEnter(handle, "Outer", 1), 1);
      if (++inside != 1) ++overlaps;
      ASSERT_EQ(MEMFlush(handle), 1);  // nested on the same thread
      ++total;
      --inside;
      HandleExit(handle, "Outer", 2, kCheckNonZero, 1);
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) threads.emplace_back(work);
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(overlaps, 0);
  EXPECT_EQ(total, 900);
  EXPECT_EQ(handle->depth, 0);
  RDRClose(handle);
  LogSetGlobal(nullptr);
  EXPECT_EQ(LogClose(log), 1);
}

}  // namespace
