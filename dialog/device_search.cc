#include "dialog/device_search.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/usb.h"

namespace {

constexpr uint32_t kPollPauseMs = 100;
constexpr size_t kHardwareIdBytes = 256;

bool InterfacesMatch(platform::usb::InterfaceClass interface_class, const std::string& vid, const std::string& pid) {
  const auto interfaces = platform::usb::GetBackend()->EnumerateInterfaces(interface_class);
  if (!interfaces) return false;
  for (const platform::usb::DeviceInterface& device : *interfaces) {
    for (std::string id : device.hardware_ids) {
      // The property is read into a buffer of 256 bytes.
      if (id.size() >= kHardwareIdBytes) id.resize(kHardwareIdBytes - 1);
      std::transform(id.begin(), id.end(), id.begin(), [](unsigned char c) { return std::toupper(c); });
      if (id.find(vid) != std::string::npos && id.find(pid) != std::string::npos) return true;
    }
  }
  return false;
}

std::string Hex4(const char* prefix, uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%s%04X", prefix, value);
  return text;
}

}  // namespace

bool DevicePresent(uint16_t vendorId, int32_t productId) {
  if (productId == 0) return false;
  const std::string vid = Hex4("VID_", vendorId);
  const std::string pid = Hex4("PID_", static_cast<uint32_t>(productId));
  return InterfacesMatch(platform::usb::InterfaceClass::kStillImage, vid, pid) ||
         InterfacesMatch(platform::usb::InterfaceClass::kReader, vid, pid);
}

uint16_t SearchVendorId(int32_t readerType) {
  switch (readerType) {
    case 4:
    case 8:
    case 14:
    case 15: return 0x17B9;
    default: return 0x0898;
  }
}

DeviceSearch::DeviceSearch(QuorvelFirmwareUpdaterSilent& silent, UpdateHost& host, bool use_rest_limit)
    : silent_(silent), host_(host), use_rest_limit_(use_rest_limit) {}

DeviceSearch::~DeviceSearch() {
  if (thread_.joinable()) thread_.join();
}

void DeviceSearch::Start(std::function<void()> on_done) {
  on_done_ = std::move(on_done);
  thread_ = std::thread([this] {
    Run();
    if (on_done_) on_done_();
  });
}

int32_t DeviceSearch::Join() {
  if (thread_.joinable()) thread_.join();
  return silent_.m_DevFound != 0 ? 0 : kDeviceNotFound;
}

void DeviceSearch::Run() {
  platform::Clock& clock = platform::GetClock();
  const double start = clock.Seconds();
  host_.present = false;
  host_.PostRefreshControls();

  const int32_t limit_ms = use_rest_limit_ ? silent_.m_LocateUSBTimeoutRest : silent_.m_LocateUSBTimeout;
  // No limit after a find under the bootloader's product id, nor for a limit
  // under a second.
  const std::optional<double> limit =
      silent_.m_DevFound == 2 || limit_ms / 1000 <= 0 ? std::nullopt : std::optional<double>(limit_ms / 1000);
  silent_.m_DevFound = 0;
  auto expired = [&] { return limit && clock.Seconds() - start > *limit; };

  const uint16_t vendor = SearchVendorId(silent_.m_ReaderType);
  for (;;) {
    for (size_t index = 0; index < silent_.m_ProductIds.size(); ++index) {
      const int32_t product = silent_.m_ProductIds[index];
      // Entries behind the first empty one hold nothing for this vendor.
      if (vendor == 0x0898 && product == 0) break;
      clock.Sleep(kPollPauseMs);
      const bool found = DevicePresent(vendor, product);
      host_.present = found;
      if (found && index == 0) {
        host_.PostRefreshControls();
        silent_.m_DevFound = 2;
        return;
      }
      // Confirmed by a second look: a unit coming up may be listed before it
      // stays.
      while (found) {
        const bool again = DevicePresent(vendor, product);
        host_.present = again;
        host_.PostRefreshControls();
        if (again) {
          silent_.m_DevFound = 1;
          return;
        }
        if (expired()) break;
        clock.Sleep(kPollPauseMs);
        if (host_.closing) return;
      }
      if (expired() || host_.closing) return;
    }
  }
}

int32_t SearchDeviceThreaded(QuorvelFirmwareUpdaterSilent& silent, UpdateHost& host, bool use_rest_limit) {
  DeviceSearch search(silent, host, use_rest_limit);
  search.Start();
  return search.Join();
}
