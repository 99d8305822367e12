#include "sim/unit.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <map>
#include <stdexcept>

#include "platform/clock.h"
#include "platform/system.h"

namespace sim {

using platform::usb::InterfaceClass;
using platform::usb::PipeInfo;
using platform::usb::WaitResult;

namespace {

constexpr int32_t kBulkPipe = 2;

// Pipe policies a driver knows (numbers 1 to 9) and their values on a fresh
// open; MAXIMUM_TRANSFER_SIZE (8) is read-only and comes from the unit.
constexpr uint32_t kAutoClearStall = 2;
constexpr uint32_t kRawIo = 7;
constexpr uint32_t kResetPipeOnResume = 9;
const std::map<uint32_t, uint32_t>& DefaultPolicies() {
  static const std::map<uint32_t, uint32_t> defaults = {
      {platform::usb::kShortPacketTerminate, 0},
      {kAutoClearStall, 0},
      {platform::usb::kPipeTransferTimeout, 0},
      {platform::usb::kIgnoreShortPackets, 0},
      {platform::usb::kAllowPartialReads, 1},
      {platform::usb::kAutoFlush, 0},
      {kRawIo, 0},
      {kResetPipeOnResume, 0},
  };
  return defaults;
}

TrafficEvent OpEvent(TrafficKind kind, uint8_t pipe = 0, uint32_t code = 0, uint32_t value = 0, uint32_t device = 0) {
  TrafficEvent event;
  event.kind = kind;
  event.pipe = pipe;
  event.code = code;
  event.value = value;
  event.device = device;
  return event;
}

TrafficEvent Transfer(TrafficKind kind, uint8_t pipe, uint32_t requested) {
  TrafficEvent event = OpEvent(kind, pipe);
  event.requested = requested;
  return event;
}

}  // namespace

// A device handle on the unit. Its transfer state is guarded by the unit's
// mutex, like everything else of the unit.
class UnitDevice final : public platform::usb::Device {
 public:
  UnitDevice(std::shared_ptr<Unit> unit, uint32_t number, uint64_t generation)
      : owner_(std::move(unit)), unit_(*owner_), number_(number), generation_(generation) {}

  ~UnitDevice() override {
    std::lock_guard lock(unit_.mutex_);
    if (read_) Finish(*read_, TransferOutcome::kCancelled, 0);
    if (unit_.open_device_ == number_) unit_.open_device_ = 0;
    Record(OpEvent(TrafficKind::kClose));
  }

  InterfaceClass interface_class() const override {
    return unit_.config_.interface == UnitInterface::kReader ? InterfaceClass::kReader : InterfaceClass::kStillImage;
  }

  std::vector<PipeInfo> QueryPipes() override {
    std::lock_guard lock(unit_.mutex_);
    if (!UsablePipesLocked(TrafficKind::kQueryPipes, 0)) return {};
    Record(OpEvent(TrafficKind::kQueryPipes));
    return {PipeInfo{kBulkPipe, unit_.config_.in_pipe, unit_.config_.max_packet_size},
            PipeInfo{kBulkPipe, unit_.config_.out_pipe, unit_.config_.max_packet_size}};
  }

  bool GetPipePolicy(uint8_t pipe_id, uint32_t policy, uint32_t* value) override {
    std::lock_guard lock(unit_.mutex_);
    if (!UsablePipesLocked(TrafficKind::kGetPolicy, pipe_id, policy)) return false;
    uint32_t result = 0;
    if (policy == platform::usb::kMaximumTransferSize) {
      result = unit_.config_.max_transfer_size;
    } else if (DefaultPolicies().count(policy)) {
      result = PolicyLocked(pipe_id, policy);
    } else {
      return FailLocked(OpEvent(TrafficKind::kGetPolicy, pipe_id, policy), EINVAL);
    }
    if (value) *value = result;
    Record(OpEvent(TrafficKind::kGetPolicy, pipe_id, policy, result));
    return true;
  }

  bool SetPipePolicy(uint8_t pipe_id, uint32_t policy, uint32_t value) override {
    std::lock_guard lock(unit_.mutex_);
    TrafficEvent event = OpEvent(TrafficKind::kSetPolicy, pipe_id, policy, value);
    if (!UsablePipesLocked(TrafficKind::kSetPolicy, pipe_id, policy, value)) return false;
    if (!DefaultPolicies().count(policy)) return FailLocked(event, EINVAL);
    policies_[{pipe_id, policy}] = value;
    Record(event);
    return true;
  }

  bool GetEndpointStatus(uint8_t pipe_id, uint16_t* status) override {
    std::lock_guard lock(unit_.mutex_);
    if (!UsablePipesLocked(TrafficKind::kGetStatus, pipe_id)) return false;
    uint16_t result = HaltedLocked(pipe_id) ? 1 : 0;
    if (status) *status = result;
    Record(OpEvent(TrafficKind::kGetStatus, pipe_id, 0, result));
    return true;
  }

  bool ResetPipe(uint8_t pipe_id) override {
    std::lock_guard lock(unit_.mutex_);
    if (!UsablePipesLocked(TrafficKind::kResetPipe, pipe_id)) return false;
    std::erase(unit_.halted_, pipe_id);
    if (pipe_id == unit_.config_.in_pipe) unit_.DropRepliesLocked();
    Record(OpEvent(TrafficKind::kResetPipe, pipe_id));
    return true;
  }

  bool AbortPipe(uint8_t pipe_id) override {
    std::lock_guard lock(unit_.mutex_);
    if (!UsablePipesLocked(TrafficKind::kAbortPipe, pipe_id)) return false;
    Record(OpEvent(TrafficKind::kAbortPipe, pipe_id));
    if (pipe_id == unit_.config_.in_pipe) {
      if (read_) Finish(*read_, TransferOutcome::kCancelled, 0);
      read_.reset();
      unit_.DropRepliesLocked();
    }
    if (pipe_id == unit_.config_.out_pipe) CancelWriteLocked();
    return true;
  }

  bool DeviceControl(uint32_t code, uint32_t value) override {
    std::lock_guard lock(unit_.mutex_);
    TrafficEvent event = OpEvent(TrafficKind::kDeviceControl, 0, code, value);
    if (!AliveLocked()) return FailLocked(event, ENODEV);
    // Only the still-image driver takes control codes.
    if (unit_.config_.interface != UnitInterface::kStillImage) return FailLocked(event, ENOTTY);
    Record(event);
    return true;
  }

  bool IssueRead(uint8_t pipe_id, std::span<uint8_t> buffer) override {
    std::lock_guard lock(unit_.mutex_);
    const uint8_t pipe = TransferPipe(pipe_id, unit_.config_.in_pipe);
    TrafficEvent event = Transfer(TrafficKind::kRead, pipe, static_cast<uint32_t>(buffer.size()));
    event.outcome = TransferOutcome::kFailed;
    if (!AliveLocked()) return FailLocked(event, ENODEV);
    if (pipe != unit_.config_.in_pipe) return FailLocked(event, EINVAL);
    if (read_) return FailLocked(event, EBUSY);
    event.outcome = TransferOutcome::kPending;
    read_ = Pending{buffer, Record(event), unit_.NowMs()};
    return true;
  }

  bool IssueWrite(uint8_t pipe_id, std::span<const uint8_t> buffer) override {
    std::lock_guard lock(unit_.mutex_);
    const uint8_t pipe = TransferPipe(pipe_id, unit_.config_.out_pipe);
    TrafficEvent event = Transfer(TrafficKind::kWrite, pipe, static_cast<uint32_t>(buffer.size()));
    event.outcome = TransferOutcome::kFailed;
    if (!AliveLocked()) return FailLocked(event, ENODEV);
    if (pipe != unit_.config_.out_pipe) return FailLocked(event, EINVAL);
    if (write_) return FailLocked(event, EBUSY);
    // A stalled OUT pipe takes nothing: the write completes with an error.
    if (HaltedLocked(pipe)) {
      event.outcome = TransferOutcome::kPending;
      write_ = Written{Record(event), 0, EPIPE, false, std::nullopt, {}, 0};
      return true;
    }
    const uint64_t number = ++unit_.requests_;
    const Faults& faults = unit_.faults_;
    const auto size = static_cast<uint32_t>(buffer.size());
    if (unit_.traffic_.recording()) event.data.assign(buffer.begin(), buffer.end());
    if (faults.stuck_write && faults.stuck_write->Matches(number)) {
      event.outcome = TransferOutcome::kPending;
      write_ = Written{Record(event), 0, 0, true, std::nullopt, {}, 0};
      return true;
    }
    if (faults.short_write && faults.short_write->when.Matches(number) && faults.short_write->bytes < size) {
      // The unit got part of the message only and cannot act on it.
      if (unit_.traffic_.recording()) event.data.resize(faults.short_write->bytes);
      event.outcome = TransferOutcome::kDone;
      write_ = Written{Record(event), faults.short_write->bytes, 0, false, std::nullopt, {}, 0};
      return true;
    }
    if (faults.slow_write && faults.slow_write->when.Matches(number)) {
      event.outcome = TransferOutcome::kPending;
      const uint64_t ready_at = unit_.NowMs() + faults.slow_write->after_ms;
      write_ = Written{Record(event), size, 0, true, ready_at, {buffer.begin(), buffer.end()}, number};
      return true;
    }
    event.outcome = TransferOutcome::kDone;
    write_ = Written{Record(event), size, 0, false, std::nullopt, {}, 0};
    unit_.ReceiveLocked(buffer, number);
    return true;
  }

  WaitResult WaitRead(uint32_t milliseconds, uint32_t* count) override {
    {
      std::lock_guard lock(unit_.mutex_);
      if (auto result = TryCompleteReadLocked(count)) return *result;
    }
    if (milliseconds > 0) platform::GetClock().Sleep(milliseconds);
    std::lock_guard lock(unit_.mutex_);
    if (auto result = TryCompleteReadLocked(count)) return *result;
    return WaitResult::kPending;
  }

  WaitResult WaitWrite(uint32_t milliseconds, uint32_t* count) override {
    uint64_t sleep_ms = milliseconds;
    {
      std::lock_guard lock(unit_.mutex_);
      if (auto result = TryCompleteWriteLocked(count)) return *result;
      if (write_->ready_at_ms) sleep_ms = std::min<uint64_t>(sleep_ms, *write_->ready_at_ms - unit_.NowMs());
    }
    if (sleep_ms > 0) platform::GetClock().Sleep(static_cast<uint32_t>(sleep_ms));
    std::lock_guard lock(unit_.mutex_);
    if (auto result = TryCompleteWriteLocked(count)) return *result;
    return WaitResult::kPending;
  }

  void CancelRead() override {
    std::lock_guard lock(unit_.mutex_);
    Record(OpEvent(TrafficKind::kCancelRead, unit_.config_.in_pipe));
    if (read_) Finish(*read_, TransferOutcome::kCancelled, 0);
    read_.reset();
  }

  void CancelWrite() override {
    std::lock_guard lock(unit_.mutex_);
    Record(OpEvent(TrafficKind::kCancelWrite, unit_.config_.out_pipe));
    CancelWriteLocked();
  }

 private:
  struct Pending {
    std::span<uint8_t> buffer;
    uint64_t event;  // sequence number of its traffic record
    uint64_t issued_ms;
  };
  struct Written {
    uint64_t event;
    uint32_t count;  // what the write completes with
    uint32_t error;
    bool pending = false;  // not completed when issued
    // When a pending write completes on the clock; nullopt: never (the host
    // must cancel it).
    std::optional<uint64_t> ready_at_ms;
    std::vector<uint8_t> deferred;  // a request acted on only when the write completes
    uint64_t number = 0;            // ... and its request number
  };

  // A write that has not completed yet is dropped unacted: its event says so.
  void CancelWriteLocked() {
    if (write_ && write_->pending) {
      if (TrafficEvent* event = unit_.EventLocked(write_->event)) event->outcome = TransferOutcome::kCancelled;
    }
    write_.reset();
  }

  // Completes the outstanding write if its time has come; nullopt while it
  // stays pending.
  std::optional<WaitResult> TryCompleteWriteLocked(uint32_t* count) {
    if (!write_) {
      platform::SetLastSystemError(EINVAL);
      return WaitResult::kFailed;
    }
    const bool completed = !write_->pending;
    uint32_t error = write_->error;
    if (write_->pending && !AliveLocked()) error = ENODEV;
    if (error != 0) {
      if (TrafficEvent* event = unit_.EventLocked(write_->event)) {
        event->outcome = TransferOutcome::kFailed;
        event->ok = false;
        event->error = error;
      }
      write_.reset();
      platform::SetLastSystemError(error);
      return WaitResult::kFailed;
    }
    if (!completed && (!write_->ready_at_ms || unit_.NowMs() < *write_->ready_at_ms)) return std::nullopt;
    Written written = std::move(*write_);
    write_.reset();
    if (!completed) {
      if (TrafficEvent* event = unit_.EventLocked(written.event)) event->outcome = TransferOutcome::kDone;
      unit_.ReceiveLocked(written.deferred, written.number);
    }
    if (count) *count = written.count;
    return WaitResult::kDone;
  }

  // The still-image interface has one data channel; the pipe id is ignored.
  uint8_t TransferPipe(uint8_t requested, uint8_t own) const {
    return unit_.config_.interface == UnitInterface::kStillImage ? own : requested;
  }

  uint64_t Record(TrafficEvent event) {
    event.device = number_;
    return unit_.RecordLocked(std::move(event));
  }

  bool FailLocked(TrafficEvent event, uint32_t error) {
    event.ok = false;
    event.error = error;
    if (event.kind == TrafficKind::kRead || event.kind == TrafficKind::kWrite) event.outcome = TransferOutcome::kFailed;
    Record(std::move(event));
    platform::SetLastSystemError(error);
    return false;
  }

  bool AliveLocked() {
    unit_.RefreshLocked();
    return unit_.SessionAliveLocked(generation_);
  }

  // Pipe operations exist only on the bulk-pipe interface, for its two pipes.
  bool UsablePipesLocked(TrafficKind kind, uint8_t pipe_id, uint32_t code = 0, uint32_t value = 0) {
    TrafficEvent event = OpEvent(kind, pipe_id, code, value);
    if (!AliveLocked()) return FailLocked(event, ENODEV);
    if (unit_.config_.interface != UnitInterface::kReader) return FailLocked(event, EINVAL);
    if (kind != TrafficKind::kQueryPipes && pipe_id != unit_.config_.in_pipe && pipe_id != unit_.config_.out_pipe) {
      return FailLocked(event, EINVAL);
    }
    return true;
  }

  bool HaltedLocked(uint8_t pipe_id) const {
    return unit_.config_.interface == UnitInterface::kReader &&
           std::find(unit_.halted_.begin(), unit_.halted_.end(), pipe_id) != unit_.halted_.end();
  }

  uint32_t PolicyLocked(uint8_t pipe_id, uint32_t policy) const {
    auto it = policies_.find({pipe_id, policy});
    return it != policies_.end() ? it->second : DefaultPolicies().at(policy);
  }

  void Finish(Pending& pending, TransferOutcome outcome, uint32_t error) {
    TrafficEvent* event = unit_.EventLocked(pending.event);
    if (!event) return;  // the record was cleared meanwhile
    event->outcome = outcome;
    event->error = error;
    event->ok = outcome == TransferOutcome::kDone;
  }

  std::optional<WaitResult> FailRead(uint32_t error) {
    Finish(*read_, TransferOutcome::kFailed, error);
    read_.reset();
    platform::SetLastSystemError(error);
    return WaitResult::kFailed;
  }

  // Completes the outstanding read if the unit has something for it;
  // nullopt while it stays pending.
  std::optional<WaitResult> TryCompleteReadLocked(uint32_t* count) {
    if (!read_) {
      platform::SetLastSystemError(EINVAL);
      return WaitResult::kFailed;
    }
    if (!AliveLocked()) return FailRead(ENODEV);
    const uint8_t pipe = unit_.config_.in_pipe;
    if (HaltedLocked(pipe)) return FailRead(EPIPE);
    if (unit_.config_.interface == UnitInterface::kReader) {
      uint32_t timeout = PolicyLocked(pipe, platform::usb::kPipeTransferTimeout);
      if (timeout != 0 && unit_.NowMs() - read_->issued_ms >= timeout) return FailRead(ETIMEDOUT);
    }
    if (unit_.replies_.empty()) return std::nullopt;
    Unit::Reply& reply = unit_.replies_.front();
    const std::vector<uint8_t>& chunk = reply.chunks[reply.chunk];
    const size_t left = chunk.size() - reply.offset;
    const size_t requested = read_->buffer.size();
    const uint32_t unanswered = unit_.faults_.unanswered_first_read;
    if (!reply.started && unanswered != 0 && requested >= unanswered) return std::nullopt;
    if (unit_.config_.interface == UnitInterface::kReader) {
      // Waiting for a full buffer: a reply that ends short never completes it.
      if (PolicyLocked(pipe, platform::usb::kIgnoreShortPackets) != 0 && left < requested) return std::nullopt;
      // Without partial reads a packet larger than the buffer overflows it.
      if (PolicyLocked(pipe, platform::usb::kAllowPartialReads) == 0 && left > requested &&
          requested % unit_.config_.max_packet_size != 0) {
        return FailRead(EOVERFLOW);
      }
    }
    const size_t delivered = std::min(left, requested);
    std::copy_n(chunk.begin() + static_cast<std::ptrdiff_t>(reply.offset), delivered, read_->buffer.begin());
    if (unit_.traffic_.recording()) {
      unit_.traffic_.SetData(read_->event, {chunk.begin() + static_cast<std::ptrdiff_t>(reply.offset),
                                            chunk.begin() + static_cast<std::ptrdiff_t>(reply.offset + delivered)});
    }
    Finish(*read_, TransferOutcome::kDone, 0);
    read_.reset();
    reply.started = true;
    reply.offset += delivered;
    if (reply.offset == chunk.size()) {
      ++reply.chunk;
      reply.offset = 0;
    }
    if (reply.empty()) {
      const bool restart = reply.soft_boot;
      unit_.replies_.pop_front();
      if (restart) {
        // The unit restarts once the host has its answer.
        ++unit_.soft_boots_;
        unit_.DropOffBusLocked(unit_.config_.reenumerate_after_ms);
      }
    }
    if (count) *count = static_cast<uint32_t>(delivered);
    return WaitResult::kDone;
  }

  const std::shared_ptr<Unit> owner_;  // a device may outlive the backend that listed it
  Unit& unit_;
  const uint32_t number_;
  const uint64_t generation_;
  std::optional<Pending> read_;
  std::optional<Written> write_;
  std::map<std::pair<uint8_t, uint32_t>, uint32_t> policies_;
};

Unit::Unit(UnitConfig config, std::filesystem::path state_dir)
    : config_(std::move(config)),
      state_dir_(std::move(state_dir)),
      firmware_(config_, state_dir_),
      disabled_(config_.disabled),
      faults_(config_.faults),
      halted_(config_.faults.halted_endpoints) {}

Unit::~Unit() = default;

UnitConfig Unit::BusIdentity() {
  std::lock_guard lock(mutex_);
  return BusIdentityLocked();
}

UnitConfig Unit::BusIdentityLocked() const {
  UnitConfig identity;
  identity.name = config_.name;
  identity.vendor_id = config_.vendor_id;
  identity.product_id = firmware_.ProductId();
  identity.serial = config_.serial;
  identity.interface = config_.interface;
  identity.description = config_.description;
  identity.disabled = config_.disabled;
  if (identity.product_id == config_.product_id) identity.hardware_ids = config_.hardware_ids;
  identity.parent_id = config_.parent_id;
  return identity;
}

uint16_t Unit::ProductId() {
  std::lock_guard lock(mutex_);
  return firmware_.ProductId();
}

std::string Unit::DevicePath() { return BusIdentity().DevicePath(); }

uint64_t Unit::NowMs() const { return static_cast<uint64_t>(std::llround(platform::GetClock().Seconds() * 1000.0)); }

void Unit::RefreshLocked() {
  if (!on_bus_ && return_at_ms_ && NowMs() >= *return_at_ms_) {
    on_bus_ = true;
    return_at_ms_.reset();
  }
}

bool Unit::PresentLocked() {
  RefreshLocked();
  return on_bus_ && !disabled_;
}

bool Unit::SessionAliveLocked(uint64_t generation) const { return on_bus_ && generation == generation_; }

void Unit::DropOffBusLocked(std::optional<uint32_t> return_after_ms) {
  on_bus_ = false;
  ++generation_;
  open_device_ = 0;
  return_at_ms_.reset();
  if (return_after_ms) return_at_ms_ = NowMs() + *return_after_ms;
  replies_.clear();
  halted_.clear();
  firmware_.Restart();
}

bool Unit::Present() {
  std::lock_guard lock(mutex_);
  return PresentLocked();
}

bool Unit::OnBus() {
  std::lock_guard lock(mutex_);
  RefreshLocked();
  return on_bus_;
}

bool Unit::Disabled() {
  std::lock_guard lock(mutex_);
  return disabled_;
}

void Unit::SetDisabled(bool disabled) {
  std::lock_guard lock(mutex_);
  disabled_ = disabled;
}

void Unit::Disconnect(std::optional<uint32_t> return_after_ms) {
  std::lock_guard lock(mutex_);
  DropOffBusLocked(return_after_ms);
}

void Unit::Reconnect() {
  std::lock_guard lock(mutex_);
  on_bus_ = true;
  return_at_ms_.reset();
}

uint32_t Unit::soft_boots() {
  std::lock_guard lock(mutex_);
  return soft_boots_;
}

void Unit::SetFaults(Faults faults) {
  std::lock_guard lock(mutex_);
  halted_ = faults.halted_endpoints;
  faults_ = std::move(faults);
  requests_ = 0;
}

Faults Unit::faults() {
  std::lock_guard lock(mutex_);
  return faults_;
}

void Unit::ScriptReply(uint32_t request_number, ScriptedReply reply) {
  std::lock_guard lock(mutex_);
  faults_.scripted_replies[request_number] = std::move(reply);
}

void Unit::HaltEndpoint(uint8_t pipe_id) {
  std::lock_guard lock(mutex_);
  if (std::find(halted_.begin(), halted_.end(), pipe_id) == halted_.end()) halted_.push_back(pipe_id);
}

uint64_t Unit::requests_received() {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<TrafficEvent> Unit::traffic() {
  std::lock_guard lock(mutex_);
  return traffic_.Events();
}

void Unit::ClearTraffic() {
  std::lock_guard lock(mutex_);
  traffic_.Clear();
}

void Unit::SetTrafficLimit(TrafficLimit limit) {
  std::lock_guard lock(mutex_);
  traffic_.SetLimit(limit);
}

uint32_t Unit::devices_opened() {
  std::lock_guard lock(mutex_);
  return devices_opened_;
}

uint32_t Unit::status_word() {
  std::lock_guard lock(mutex_);
  return firmware_.status_word();
}

void Unit::SetStatusWord(uint32_t word) {
  std::lock_guard lock(mutex_);
  firmware_.SetStatusWord(word);
}

std::optional<std::string> Unit::ReportedString(const std::string& key) {
  std::lock_guard lock(mutex_);
  return firmware_.ReportedString(key);
}

void Unit::SetReportedString(const std::string& key, std::optional<std::string> value) {
  std::lock_guard lock(mutex_);
  firmware_.SetReportedString(key, std::move(value));
}

std::optional<StoredFile> Unit::FileNamed(const std::string& name) {
  std::lock_guard lock(mutex_);
  return firmware_.FileNamed(name);
}

std::vector<std::string> Unit::FileNames() {
  std::lock_guard lock(mutex_);
  return firmware_.FileNames();
}

std::optional<std::vector<uint8_t>> Unit::Image() {
  std::lock_guard lock(mutex_);
  return firmware_.Image();
}

std::vector<uint8_t> Unit::Fx3BootMemory() {
  std::lock_guard lock(mutex_);
  return firmware_.Fx3BootMemory();
}

std::optional<std::vector<uint8_t>> Unit::FlashFile(const std::string& name) { return flash().File(0, name); }

std::vector<uint8_t> Unit::RawFlash(size_t bytes) { return flash().RawBytes(0, bytes); }

void Unit::AddHandler(std::unique_ptr<RequestHandler> handler) {
  std::lock_guard lock(mutex_);
  firmware_.AddHandler(std::move(handler));
}

FlashModel& Unit::flash() {
  std::lock_guard lock(mutex_);
  if (!firmware_.flash()) throw std::logic_error("unit \"" + config_.name + "\" has no flash model");
  return *firmware_.flash();
}

std::unique_ptr<platform::usb::Device> Unit::Open() {
  std::lock_guard lock(mutex_);
  if (!PresentLocked()) {
    platform::SetLastSystemError(ENODEV);
    return nullptr;
  }
  // The device is opened without sharing: a second open fails while the
  // first is alive.
  if (open_device_ != 0) {
    platform::SetLastSystemError(EBUSY);
    return nullptr;
  }
  open_device_ = ++devices_opened_;
  RecordLocked(OpEvent(TrafficKind::kOpen, 0, 0, 0, open_device_));
  return std::make_unique<UnitDevice>(shared_from_this(), open_device_, generation_);
}

uint64_t Unit::RecordLocked(TrafficEvent event) { return traffic_.Append(std::move(event)); }

TrafficEvent* Unit::EventLocked(uint64_t sequence) { return traffic_.Find(sequence); }

size_t Unit::Reply::bytes_left() const {
  size_t bytes = 0;
  for (size_t i = chunk; i < chunks.size(); ++i) bytes += chunks[i].size() - (i == chunk ? offset : 0);
  return bytes;
}

void Unit::DropRepliesLocked() {
  // A soft boot's answer thrown away still restarts the unit.
  const bool restart = std::any_of(replies_.begin(), replies_.end(), [](const Reply& r) { return r.soft_boot; });
  replies_.clear();
  if (restart) {
    ++soft_boots_;
    DropOffBusLocked(config_.reenumerate_after_ms);
  }
}

void Unit::QueueReplyLocked(Reply reply) {
  if (reply.empty()) return;
  size_t queued = reply.bytes_left();
  for (const Reply& waiting : replies_) queued += waiting.bytes_left();
  while (!replies_.empty() && queued > kReplyQueueBytes) {
    queued -= replies_.front().bytes_left();
    replies_.pop_front();
  }
  replies_.push_back(std::move(reply));
}

void Unit::ReceiveLocked(std::span<const uint8_t> transfer, uint64_t number) {
  if (std::any_of(replies_.begin(), replies_.end(), [](const Reply& r) { return r.soft_boot; })) {
    // The unit was already restarting: the request is lost with it.
    ++soft_boots_;
    DropOffBusLocked(config_.reenumerate_after_ms);
    return;
  }
  if (faults_.disconnect && faults_.disconnect->at_request == number) {
    DropOffBusLocked(faults_.disconnect->return_after_ms);
    return;
  }
  if (auto scripted = faults_.scripted_replies.find(static_cast<uint32_t>(number));
      scripted != faults_.scripted_replies.end()) {
    Reply reply;
    for (const auto& chunk : scripted->second.chunks) {
      if (!chunk.empty()) reply.chunks.push_back(chunk);
    }
    QueueReplyLocked(std::move(reply));
    return;
  }
  if (faults_.silence && faults_.silence->Matches(number)) return;
  // A transfer that is not a whole message is dropped without an answer,
  // as firmware that cannot find a header in it would.
  std::optional<Request> request = ParseRequest(transfer);
  if (!request) return;
  FirmwareReply answer = firmware_.Handle(*request);
  if (faults_.oversize && faults_.oversize->when.Matches(number) && answer.body.size() < faults_.oversize->body_bytes) {
    answer.body.resize(faults_.oversize->body_bytes, 0);
  }
  uint8_t command = request->command;
  if (faults_.wrong_echo && faults_.wrong_echo->when.Matches(number)) {
    command = faults_.wrong_echo->command.value_or(static_cast<uint8_t>(request->command ^ 0x80));
  }
  Reply reply;
  reply.chunks.push_back(FrameReply(command, request->reserved, answer.body));
  reply.soft_boot = answer.soft_boot;
  QueueReplyLocked(std::move(reply));
}

}  // namespace sim
