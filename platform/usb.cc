#include "platform/usb.h"

#include <mutex>

#include "platform/usb_libusb.h"

namespace platform::usb {
namespace {

std::mutex g_backend_mutex;
std::shared_ptr<Backend> g_backend;  // guarded by g_backend_mutex

}  // namespace

std::shared_ptr<Backend> GetBackend() {
  std::lock_guard lock(g_backend_mutex);
  if (!g_backend) g_backend = MakeLibusbBackend();
  return g_backend;
}

void SetBackend(std::shared_ptr<Backend> backend) {
  std::lock_guard lock(g_backend_mutex);
  g_backend = std::move(backend);
}

}  // namespace platform::usb
