#include "fuzz/hostile_unit.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <span>

#include "platform/clock.h"
#include "platform/system.h"

namespace fuzz {
namespace {

using platform::usb::InterfaceClass;
using platform::usb::PipeInfo;
using platform::usb::WaitResult;

constexpr uint16_t kProductIds[] = {0x0041, 0x0040, 0x0047, 0x0048, 0x4000, 0x0064, 0x0073, 0x0076};

class HostileDevice final : public platform::usb::Device {
 public:
  HostileDevice(Tape& tape, uint32_t& budget, InterfaceClass interface_class, std::vector<PipeInfo> pipes)
      : tape_(tape), budget_(budget), class_(interface_class), pipes_(std::move(pipes)) {}

  InterfaceClass interface_class() const override { return class_; }
  std::vector<PipeInfo> QueryPipes() override { return Spend() ? pipes_ : std::vector<PipeInfo>{}; }
  bool GetPipePolicy(uint8_t, uint32_t, uint32_t* value) override {
    if (!Succeeds()) return false;
    *value = tape_.Byte() < 0xC0 ? 0 : tape_.U32();
    return true;
  }
  bool SetPipePolicy(uint8_t, uint32_t, uint32_t) override { return Succeeds(); }
  bool GetEndpointStatus(uint8_t, uint16_t* status) override {
    if (!Succeeds()) return false;
    *status = tape_.Byte() < 0xE0 ? 0 : 1;
    return true;
  }
  bool ResetPipe(uint8_t) override { return Succeeds(); }
  bool AbortPipe(uint8_t) override { return Succeeds(); }
  bool DeviceControl(uint32_t, uint32_t) override { return Succeeds(); }

  bool IssueRead(uint8_t, std::span<uint8_t> buffer) override {
    if (!Succeeds()) return false;
    read_ = buffer;
    return true;
  }
  bool IssueWrite(uint8_t, std::span<const uint8_t> buffer) override {
    if (!Succeeds()) return false;
    write_bytes_ = buffer.size();
    if (buffer.size() > 2) last_command_ = buffer[2];
    return true;
  }

  WaitResult WaitWrite(uint32_t milliseconds, uint32_t* count) override {
    if (!Spend() || tape_.empty()) return Stall(milliseconds);
    const uint8_t choice = tape_.Byte();
    Pass(1);
    if (choice < 0xC0) {
      *count = static_cast<uint32_t>(write_bytes_);
    } else if (choice < 0xE0) {
      *count = tape_.U16() % static_cast<uint32_t>(write_bytes_ + 1);
    } else if (choice < 0xF0) {
      return Stall(milliseconds);
    } else {
      return Fail();
    }
    return WaitResult::kDone;
  }

  // Replies come in three shapes: a framed one whose header echoes the last
  // request's Command (or not) with a Size from the tape, raw bytes of a
  // chosen length, or the whole buffer; or the read stays pending or fails.
  WaitResult WaitRead(uint32_t milliseconds, uint32_t* count) override {
    if (!Spend() || tape_.empty()) return Stall(milliseconds);
    const uint8_t choice = tape_.Byte();
    Pass(1);
    const size_t capacity = read_.size();
    size_t length = 0;
    size_t at = 0;
    if (choice < 0x80) {
      length = choice < 0x40 ? capacity : std::min<size_t>(capacity, tape_.U16());
      const uint16_t size = tape_.U16();
      const uint8_t command = (choice & 1) != 0 ? tape_.Byte() : last_command_;
      const uint8_t header[4] = {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8), command, 0};
      at = std::min<size_t>(length, sizeof header);
      std::copy(header, header + at, read_.begin());
    } else if (choice < 0xC0) {
      length = std::min<size_t>(capacity, tape_.U16());
    } else if (choice < 0xD0) {
      length = capacity;
    } else if (choice < 0xF0) {
      return Stall(milliseconds);
    } else {
      return Fail();
    }
    const std::vector<uint8_t> bytes = tape_.Bytes(length - at);
    std::copy(bytes.begin(), bytes.end(), read_.begin() + static_cast<std::ptrdiff_t>(at));
    std::fill(read_.begin() + static_cast<std::ptrdiff_t>(at + bytes.size()),
              read_.begin() + static_cast<std::ptrdiff_t>(length), 0);
    *count = static_cast<uint32_t>(length);
    return WaitResult::kDone;
  }
  void CancelRead() override { read_ = {}; }
  void CancelWrite() override { write_bytes_ = 0; }

 private:
  bool Spend() {
    if (budget_ == 0) return false;
    --budget_;
    return true;
  }
  // A call that fails when the tape says so (or has nothing more to say).
  bool Succeeds() {
    if (!Spend() || tape_.empty() || tape_.Byte() >= 0xF8) {
      platform::SetLastSystemError(EIO);
      return false;
    }
    return true;
  }
  static void Pass(uint32_t milliseconds) { platform::GetClock().Sleep(milliseconds); }
  WaitResult Stall(uint32_t milliseconds) {
    Pass(std::max<uint32_t>(milliseconds, 1));
    return WaitResult::kPending;
  }
  static WaitResult Fail() {
    platform::SetLastSystemError(EIO);
    return WaitResult::kFailed;
  }

  Tape& tape_;
  uint32_t& budget_;
  InterfaceClass class_;
  std::vector<PipeInfo> pipes_;
  std::span<uint8_t> read_;
  size_t write_bytes_ = 0;
  uint8_t last_command_ = 0;
};

}  // namespace

HostileBackend::HostileBackend(Tape& tape) : tape_(tape) {
  const uint8_t shape = tape.Byte();
  class_ = (shape & 0x80) != 0 ? InterfaceClass::kStillImage : InterfaceClass::kReader;
  const uint16_t product = kProductIds[shape & 7];
  char path[160];
  std::snprintf(
      path, sizeof path, "\\\\?\\usb#vid_0898&pid_%04x#hostile#%s", product,
      class_ == InterfaceClass::kReader ? platform::usb::kReaderClassGuid : platform::usb::kStillImageClassGuid);
  path_ = path;
  const uint16_t packet_sizes[] = {512, 64, 1024};
  const uint8_t packet_choice = (shape >> 3) & 3;
  const uint16_t packet = packet_choice < 3 ? packet_sizes[packet_choice] : tape.U16();
  switch ((shape >> 5) & 3) {
    case 0: pipes_ = {{2, 0x81, packet}, {2, 0x02, packet}}; break;
    case 1: pipes_ = {{2, 0x81, packet}}; break;
    case 2: pipes_ = {{3, 0x81, packet}, {2, 0x02, packet}, {2, 0x83, packet}}; break;
    default: break;
  }
}

std::optional<std::vector<platform::usb::DeviceInterface>> HostileBackend::EnumerateInterfaces(
    InterfaceClass interface_class) {
  if (interface_class != class_) return std::vector<platform::usb::DeviceInterface>{};
  return std::vector<platform::usb::DeviceInterface>{{path_, "USB\\VID_0898\\hostile", "", {}}};
}

std::optional<std::vector<platform::usb::PresentDevice>> HostileBackend::EnumerateDevices() {
  return std::vector<platform::usb::PresentDevice>{{"hostile unit", 0, {}}};
}

std::optional<InterfaceClass> HostileBackend::ClassOfPath(const std::string& path) {
  if (path != path_) return std::nullopt;
  return class_;
}

std::unique_ptr<platform::usb::Device> HostileBackend::Open(const std::string& path) {
  if (path != path_ || budget == 0 || tape_.empty() || tape_.Byte() >= 0xF0) {
    platform::SetLastSystemError(ENOENT);
    return nullptr;
  }
  return std::make_unique<HostileDevice>(tape_, budget, class_, pipes_);
}

}  // namespace fuzz
