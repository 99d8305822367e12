#include "tests/support/sim_host.h"

#include "platform/system.h"
#include "sim/wire.h"

namespace testing_support {

using platform::usb::WaitResult;

namespace {
constexpr uint8_t kInPipe = 0x81;
constexpr uint8_t kOutPipe = 0x02;
}  // namespace

SimHost::SimHost(const std::string& path) : device_(platform::usb::GetBackend()->Open(path)) {
  if (!device_) last_error_ = platform::GetLastSystemError();
}

bool SimHost::WriteRaw(std::span<const uint8_t> bytes) {
  uint32_t count = 0;
  const bool issued = device_ && device_->IssueWrite(kOutPipe, bytes);
  return Finish(issued, issued ? device_->WaitWrite(1000, &count) : WaitResult::kFailed, false) &&
         count == bytes.size();
}

// Records how a transfer ended. A write that did not complete is cancelled,
// and so is a read still pending (which keeps the last failure's error).
bool SimHost::Finish(bool issued, WaitResult result, bool read) {
  last_result_ = issued ? result : WaitResult::kFailed;
  if (last_result_ == WaitResult::kDone) return true;
  if (!read || last_result_ == WaitResult::kFailed) last_error_ = platform::GetLastSystemError();
  if (issued && !read) device_->CancelWrite();
  if (read && last_result_ == WaitResult::kPending) device_->CancelRead();
  return false;
}

bool SimHost::Send(uint8_t command, std::span<const uint8_t> body, uint8_t reserved) {
  return WriteRaw(sim::FrameRequest(command, body, reserved));
}

std::optional<std::vector<uint8_t>> SimHost::Read(size_t bytes, uint32_t wait_ms) {
  std::vector<uint8_t> buffer(bytes);
  uint32_t count = 0;
  const bool issued = device_ && device_->IssueRead(kInPipe, buffer);
  if (!Finish(issued, issued ? device_->WaitRead(wait_ms, &count) : WaitResult::kFailed, true)) return std::nullopt;
  buffer.resize(count);
  return buffer;
}

std::optional<SimHost::Reply> SimHost::ReadReply(size_t first_read) {
  auto first = Read(first_read);
  if (!first || first->size() < sim::kHeaderBytes) return std::nullopt;
  std::vector<uint8_t> wire = std::move(*first);
  Reply reply;
  reply.size = sim::ReadU16(wire, 0);
  reply.command = wire[2];
  reply.reserved = wire[3];
  const size_t body = sim::DecodeReplySize(reply.size);
  const size_t total = sim::PaddedLength(sim::kHeaderBytes + body);
  if (wire.size() < total) {
    auto rest = Read(total - wire.size());
    if (!rest) return std::nullopt;
    wire.insert(wire.end(), rest->begin(), rest->end());
  }
  reply.wire_bytes = wire.size();
  if (wire.size() < sim::kHeaderBytes + body) return std::nullopt;
  reply.body.assign(wire.begin() + sim::kHeaderBytes,
                    wire.begin() + static_cast<std::ptrdiff_t>(sim::kHeaderBytes + body));
  return reply;
}

std::optional<SimHost::Reply> SimHost::Exchange(uint8_t command, std::span<const uint8_t> body, size_t first_read) {
  if (!Send(command, body)) return std::nullopt;
  return ReadReply(first_read);
}

std::vector<uint8_t> ServiceBody(uint32_t service, uint32_t argument, size_t size) {
  std::vector<uint8_t> body(size, 0);
  sim::PutU32(body, 0, service);
  sim::PutU32(body, 4, argument);
  return body;
}

}  // namespace testing_support
