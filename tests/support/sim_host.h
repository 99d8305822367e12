// A bare host for talking to a simulated unit through the installed USB
// backend without the library: it writes padded requests and reads replies
// the way a bulk-pipe host does, so tests can pin the unit's wire behaviour.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/usb.h"

namespace testing_support {

class SimHost {
 public:
  // Opens the path through platform::usb::GetBackend(); see ok().
  explicit SimHost(const std::string& path);

  bool ok() const { return device_ != nullptr; }
  platform::usb::Device& device() { return *device_; }
  // Closes the device (as the host's close does).
  void Close() { device_.reset(); }

  // Writes raw bytes in one transfer; true when it completed whole.
  bool WriteRaw(std::span<const uint8_t> bytes);
  // Writes one request message padded to 64-byte blocks.
  bool Send(uint8_t command, std::span<const uint8_t> body, uint8_t reserved = 0);
  // One read of up to `bytes` bytes. nullopt when it is still pending after
  // wait_ms (it is cancelled then) or failed to start or complete
  // (last_result() kFailed, the errno in last_error()).
  std::optional<std::vector<uint8_t>> Read(size_t bytes, uint32_t wait_ms = 100);
  platform::usb::WaitResult last_result() const { return last_result_; }
  uint32_t last_error() const { return last_error_; }

  struct Reply {
    uint16_t size = 0;  // the Size field as sent
    uint8_t command = 0;
    uint8_t reserved = 0;
    std::vector<uint8_t> body;  // the decoded body length
    size_t wire_bytes = 0;      // everything read, padding included
  };
  // Reads one whole reply: a first read of first_read bytes, then the rest
  // of the padded message in one read. nullopt when a read fails or stays
  // pending.
  std::optional<Reply> ReadReply(size_t first_read = 512);
  std::optional<Reply> Exchange(uint8_t command, std::span<const uint8_t> body, size_t first_read = 512);

 private:
  bool Finish(bool issued, platform::usb::WaitResult result, bool read);

  std::unique_ptr<platform::usb::Device> device_;
  platform::usb::WaitResult last_result_ = platform::usb::WaitResult::kDone;
  uint32_t last_error_ = 0;
};

// Request bodies of the information and status services.
std::vector<uint8_t> ServiceBody(uint32_t service, uint32_t argument = 0, size_t size = 8);

}  // namespace testing_support
