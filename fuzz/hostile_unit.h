// A reader unit that answers whatever the fuzz input says: a USB backend with
// one device whose pipes, policies and every transfer outcome (completed,
// short, pending, failed) and reply byte come from the tape. Each wait also
// moves the installed clock on by at least a millisecond, so a host that
// retries until a time limit always reaches it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/input.h"
#include "platform/usb.h"

namespace fuzz {

class HostileBackend final : public platform::usb::Backend {
 public:
  // Reads the unit's shape (interface class, product id, pipes, packet size)
  // from the tape; the tape must outlive the backend and its devices.
  explicit HostileBackend(Tape& tape);

  std::optional<std::vector<platform::usb::DeviceInterface>> EnumerateInterfaces(
      platform::usb::InterfaceClass interface_class) override;
  std::optional<std::vector<platform::usb::PresentDevice>> EnumerateDevices() override;
  std::optional<platform::usb::InterfaceClass> ClassOfPath(const std::string& path) override;
  std::unique_ptr<platform::usb::Device> Open(const std::string& path) override;

  // Device operations left before every one of them fails: bounds the work
  // of one input whatever the host does with the answers.
  uint32_t budget = 20000;

 private:
  Tape& tape_;
  platform::usb::InterfaceClass class_;
  std::string path_;
  std::vector<platform::usb::PipeInfo> pipes_;
};

}  // namespace fuzz
