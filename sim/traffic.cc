#include "sim/traffic.h"

#include <algorithm>
#include <cstdio>

namespace sim {
namespace {

const char* KindName(TrafficKind kind) {
  switch (kind) {
    case TrafficKind::kOpen: return "open";
    case TrafficKind::kClose: return "close";
    case TrafficKind::kQueryPipes: return "query-pipes";
    case TrafficKind::kGetPolicy: return "get-policy";
    case TrafficKind::kSetPolicy: return "set-policy";
    case TrafficKind::kGetStatus: return "get-status";
    case TrafficKind::kResetPipe: return "reset-pipe";
    case TrafficKind::kAbortPipe: return "abort-pipe";
    case TrafficKind::kDeviceControl: return "device-control";
    case TrafficKind::kWrite: return "write";
    case TrafficKind::kRead: return "read";
    case TrafficKind::kCancelRead: return "cancel-read";
    case TrafficKind::kCancelWrite: return "cancel-write";
  }
  return "?";
}

const char* OutcomeName(TransferOutcome outcome) {
  switch (outcome) {
    case TransferOutcome::kPending: return "pending";
    case TransferOutcome::kDone: return "done";
    case TransferOutcome::kCancelled: return "cancelled";
    case TransferOutcome::kFailed: return "failed";
  }
  return "?";
}

bool IsTransfer(TrafficKind kind) { return kind == TrafficKind::kWrite || kind == TrafficKind::kRead; }

}  // namespace

void TrafficRecord::SetLimit(TrafficLimit limit) {
  limit_ = limit;
  Trim();
}

uint64_t TrafficRecord::Append(TrafficEvent event) {
  const uint64_t sequence = issued_++;
  if (!recording()) {
    first_ = issued_;
    return sequence;
  }
  bytes_ += event.data.size();
  events_.push_back(std::move(event));
  Trim();
  return sequence;
}

TrafficEvent* TrafficRecord::Find(uint64_t sequence) {
  if (sequence < first_ || sequence - first_ >= events_.size()) return nullptr;
  return &events_[sequence - first_];
}

void TrafficRecord::SetData(uint64_t sequence, std::vector<uint8_t> data) {
  TrafficEvent* event = Find(sequence);
  if (event == nullptr) return;
  bytes_ = bytes_ - event->data.size() + data.size();
  event->data = std::move(data);
  Trim();
}

void TrafficRecord::Clear() {
  events_.clear();
  bytes_ = 0;
  first_ = issued_;
}

// Oldest first; the newest event stays even when its data alone is over
// the byte limit, so the last transfer can always be inspected.
void TrafficRecord::Trim() {
  while (!events_.empty() && (events_.size() > limit_.events || (bytes_ > limit_.bytes && events_.size() > 1))) {
    bytes_ -= events_.front().data.size();
    events_.pop_front();
    ++first_;
  }
}

std::string Describe(const TrafficEvent& event) {
  char line[160];
  if (IsTransfer(event.kind)) {
    std::snprintf(line, sizeof line, "#%u %s pipe 0x%02x requested %u carried %zu %s", event.device,
                  KindName(event.kind), event.pipe, event.requested, event.data.size(), OutcomeName(event.outcome));
    std::string text = line;
    if (event.outcome == TransferOutcome::kFailed) text += " errno " + std::to_string(event.error);
    size_t shown = std::min<size_t>(event.data.size(), 16);
    if (shown > 0) {
      text += " [";
      for (size_t i = 0; i < shown; ++i) {
        std::snprintf(line, sizeof line, i ? " %02x" : "%02x", event.data[i]);
        text += line;
      }
      text += event.data.size() > shown ? " ...]" : "]";
    }
    return text;
  }
  std::snprintf(line, sizeof line, "#%u %s pipe 0x%02x code %u value %u%s", event.device, KindName(event.kind),
                event.pipe, event.code, event.value, event.ok ? "" : " failed");
  std::string text = line;
  if (!event.ok) text += " errno " + std::to_string(event.error);
  return text;
}

std::string Describe(const std::vector<TrafficEvent>& events) {
  std::string text;
  for (const TrafficEvent& event : events) text += Describe(event) + "\n";
  return text;
}

std::vector<TrafficEvent> EventsOfKind(const std::vector<TrafficEvent>& events, TrafficKind kind) {
  std::vector<TrafficEvent> selected;
  for (const TrafficEvent& event : events) {
    if (event.kind == kind) selected.push_back(event);
  }
  return selected;
}

std::vector<std::vector<uint8_t>> WrittenTransfers(const std::vector<TrafficEvent>& events) {
  std::vector<std::vector<uint8_t>> transfers;
  for (const TrafficEvent& event : events) {
    if (event.kind == TrafficKind::kWrite && event.outcome == TransferOutcome::kDone) transfers.push_back(event.data);
  }
  return transfers;
}

std::vector<std::vector<uint8_t>> ReadTransfers(const std::vector<TrafficEvent>& events) {
  std::vector<std::vector<uint8_t>> transfers;
  for (const TrafficEvent& event : events) {
    if (event.kind == TrafficKind::kRead && event.outcome == TransferOutcome::kDone) transfers.push_back(event.data);
  }
  return transfers;
}

std::vector<Request> Requests(const std::vector<TrafficEvent>& events) {
  std::vector<Request> requests;
  for (const std::vector<uint8_t>& transfer : WrittenTransfers(events)) {
    if (auto request = ParseRequest(transfer)) requests.push_back(std::move(*request));
  }
  return requests;
}

}  // namespace sim
