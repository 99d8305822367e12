// What a host did to a simulated unit, in order: every transfer with its
// exact bytes and every pipe operation, so tests can assert the traffic.
#pragma once

#include <cstdint>
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
