// What a host did to a simulated unit, in order: every transfer with its
// exact bytes and every pipe operation, so tests can assert the traffic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "sim/wire.h"

namespace sim {

enum class TrafficKind {
  kOpen,
  kClose,
  kQueryPipes,
  kGetPolicy,
  kSetPolicy,
  kGetStatus,
  kResetPipe,
  kAbortPipe,
  kDeviceControl,
  kWrite,
  kRead,
  kCancelRead,
  kCancelWrite,
};

enum class TransferOutcome {
  kPending,    // still outstanding
  kDone,       // completed; data holds what it carried
  kCancelled,  // cancelled by the host before anything was delivered
  kFailed,     // completed with an error (see error)
};

struct TrafficEvent {
  TrafficKind kind = TrafficKind::kOpen;
  uint32_t device = 0;  // which open of the unit: 1 for the first
  uint8_t pipe = 0;
  uint32_t code = 0;          // policy number, or control code
  uint32_t value = 0;         // policy value, control value or endpoint status
  bool ok = true;             // the operation succeeded (transfers: see outcome)
  uint32_t requested = 0;     // transfers: bytes the host asked to read or write
  std::vector<uint8_t> data;  // transfers: the bytes carried
  TransferOutcome outcome = TransferOutcome::kDone;
  uint32_t error = 0;  // errno value of a failed operation
};

// How much of the traffic a unit keeps: the newest events, at most `events`
// of them carrying at most `bytes` of transfer data in all. A program that
// runs for hours against simulated units must not keep every byte it sent.
struct TrafficLimit {
  size_t events = 0;
  size_t bytes = 0;
};
// Enough for every transfer of a whole update of a small image in a test.
inline constexpr TrafficLimit kDefaultTrafficLimit{65536, 32 * 1024 * 1024};
inline constexpr TrafficLimit kNoTraffic{0, 0};

// The kept tail of a unit's traffic. Each event has a sequence number that
// stays valid while it is kept, so an outstanding transfer can complete its
// own event; a dropped or cleared one is simply gone. Not thread-safe: the
// unit's mutex guards it.
class TrafficRecord {
 public:
  explicit TrafficRecord(TrafficLimit limit = kDefaultTrafficLimit) : limit_(limit) {}

  // Whether events are kept at all (callers skip copying data when not).
  bool recording() const { return limit_.events > 0; }
  void SetLimit(TrafficLimit limit);
  // Keeps the event (dropping the oldest beyond the limit); its sequence number.
  uint64_t Append(TrafficEvent event);
  // The kept event of a sequence number; null once dropped or cleared. Its
  // data is changed through SetData only, which keeps the byte count.
  TrafficEvent* Find(uint64_t sequence);
  void SetData(uint64_t sequence, std::vector<uint8_t> data);
  void Clear();
  std::vector<TrafficEvent> Events() const { return {events_.begin(), events_.end()}; }

 private:
  void Trim();

  TrafficLimit limit_;
  std::deque<TrafficEvent> events_;
  uint64_t first_ = 0;   // sequence number of events_.front()
  uint64_t issued_ = 0;  // sequence numbers handed out
  size_t bytes_ = 0;     // data bytes of the kept events
};

// One line per event, for failure messages.
std::string Describe(const TrafficEvent& event);
std::string Describe(const std::vector<TrafficEvent>& events);

// Selections that most tests need.
std::vector<TrafficEvent> EventsOfKind(const std::vector<TrafficEvent>& events, TrafficKind kind);
// The bytes of every completed write, and of every completed read, in order.
std::vector<std::vector<uint8_t>> WrittenTransfers(const std::vector<TrafficEvent>& events);
std::vector<std::vector<uint8_t>> ReadTransfers(const std::vector<TrafficEvent>& events);
// Every completed write parsed as a request message (malformed ones skipped).
std::vector<Request> Requests(const std::vector<TrafficEvent>& events);

}  // namespace sim
