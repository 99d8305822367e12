#include "platform/usb.h"

#include <cerrno>
#include <mutex>

#include "platform/system.h"

namespace platform::usb {
namespace {

// Lists nothing and opens nothing: the backend of a machine without a USB
// stack we can drive.
class NoDevicesBackend final : public Backend {
 public:
  std::optional<std::vector<DeviceInterface>> EnumerateInterfaces(InterfaceClass) override {
    return std::vector<DeviceInterface>{};
  }
  std::optional<std::vector<PresentDevice>> EnumerateDevices() override { return std::vector<PresentDevice>{}; }
  std::optional<InterfaceClass> ClassOfPath(const std::string&) override { return std::nullopt; }
  std::unique_ptr<Device> Open(const std::string&) override {
    SetLastSystemError(ENODEV);
    return nullptr;
  }
};

std::mutex g_backend_mutex;
std::shared_ptr<Backend> g_backend;  // guarded by g_backend_mutex

}  // namespace

std::shared_ptr<Backend> GetBackend() {
  std::lock_guard lock(g_backend_mutex);
  if (!g_backend) g_backend = std::make_shared<NoDevicesBackend>();
  return g_backend;
}

void SetBackend(std::shared_ptr<Backend> backend) {
  std::lock_guard lock(g_backend_mutex);
  g_backend = std::move(backend);
}

}  // namespace platform::usb
