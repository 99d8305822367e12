// The bounded traffic record: which events survive the limits, and that
// sequence numbers keep naming the same event after older ones are dropped.
#include <gtest/gtest.h>

#include <vector>

#include "sim/traffic.h"

namespace {

sim::TrafficEvent Carrying(size_t bytes, uint32_t code) {
  sim::TrafficEvent event;
  event.kind = sim::TrafficKind::kWrite;
  event.code = code;
  event.data.assign(bytes, 0xAB);
  return event;
}

std::vector<uint32_t> Codes(const sim::TrafficRecord& record) {
  std::vector<uint32_t> codes;
  for (const sim::TrafficEvent& event : record.Events()) codes.push_back(event.code);
  return codes;
}

TEST(TrafficRecord, KeepsTheNewestTailWithinBothLimits) {
  struct Case {
    sim::TrafficLimit limit;
    std::vector<size_t> sizes;
    std::vector<uint32_t> kept;
  };
  const Case cases[] = {
      {{3, 1000}, {1, 1, 1, 1, 1}, {2, 3, 4}},   // by count
      {{10, 100}, {60, 30, 20, 10}, {1, 2, 3}},  // by bytes: 120 -> drop the 60
      {{10, 10}, {5, 50}, {1}},                  // the newest stays even alone over the limit
      {{0, 0}, {1, 2}, {}},                      // nothing kept
  };
  for (const Case& c : cases) {
    sim::TrafficRecord record(c.limit);
    for (size_t i = 0; i < c.sizes.size(); ++i) record.Append(Carrying(c.sizes[i], static_cast<uint32_t>(i)));
    EXPECT_EQ(Codes(record), c.kept) << c.limit.events << "/" << c.limit.bytes;
  }
}

TEST(TrafficRecord, SequenceNumbersSurviveDropsAndClears) {
  sim::TrafficRecord record({2, 1000});
  const uint64_t first = record.Append(Carrying(1, 10));
  const uint64_t second = record.Append(Carrying(1, 11));
  const uint64_t third = record.Append(Carrying(1, 12));
  EXPECT_EQ(record.Find(first), nullptr);
  ASSERT_NE(record.Find(second), nullptr);
  EXPECT_EQ(record.Find(second)->code, 11u);
  EXPECT_EQ(record.Find(third)->code, 12u);
  record.Clear();
  EXPECT_EQ(record.Find(third), nullptr);
  const uint64_t fourth = record.Append(Carrying(1, 13));
  EXPECT_EQ(fourth, third + 1);
  EXPECT_EQ(record.Find(fourth)->code, 13u);
}

TEST(TrafficRecord, DataFilledInLaterCountsAgainstTheByteLimit) {
  sim::TrafficRecord record({10, 100});
  const uint64_t read = record.Append(Carrying(0, 1));
  const uint64_t pending = record.Append(Carrying(0, 2));
  record.SetData(read, std::vector<uint8_t>(80, 1));
  record.SetData(pending, std::vector<uint8_t>(40, 2));  // 120 bytes: the first read goes
  EXPECT_EQ(Codes(record), (std::vector<uint32_t>{2}));
  record.SetData(read, std::vector<uint8_t>(1, 3));  // dropped: ignored
  record.SetData(pending, std::vector<uint8_t>(10, 4));
  record.Append(Carrying(85, 5));  // 95 bytes in all: both stay
  EXPECT_EQ(Codes(record), (std::vector<uint32_t>{2, 5}));
}

}  // namespace
