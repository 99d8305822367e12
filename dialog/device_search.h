// The dialog's device search: waits on a thread of its own until the unit's
// USB device appears among the present devices, matching the vendor and
// product ids in the devices' hardware ids.
#pragma once

#include <cstdint>
#include <functional>
#include <thread>

#include "dialog/update_host.h"
#include "updater/silent.h"

// 28: the search ended without finding the unit.
inline constexpr int32_t kDeviceNotFound = 28;

// Whether a present reader interface (still-image class first, then the
// reader class) carries "VID_<vendor>" and "PID_<product>" in a hardware id.
bool DevicePresent(uint16_t vendorId, int32_t productId);

// The vendor id the search matches for a reader type.
uint16_t SearchVendorId(int32_t readerType);

class DeviceSearch {
 public:
  // use_rest_limit: limit the search to m_LocateUSBTimeoutRest instead of
  // m_LocateUSBTimeout (the scan's shorter search).
  DeviceSearch(QuorvelFirmwareUpdaterSilent& silent, UpdateHost& host, bool use_rest_limit);
  ~DeviceSearch();
  DeviceSearch(const DeviceSearch&) = delete;
  DeviceSearch& operator=(const DeviceSearch&) = delete;

  // Starts the search thread; on_done runs on that thread as its last act.
  void Start(std::function<void()> on_done = {});
  // Waits for the thread; 0 when the unit was found, else kDeviceNotFound.
  int32_t Join();

 private:
  void Run();

  QuorvelFirmwareUpdaterSilent& silent_;
  UpdateHost& host_;
  const bool use_rest_limit_;
  std::function<void()> on_done_;
  std::thread thread_;
};

// Starts the search and waits for it on the calling thread.
int32_t SearchDeviceThreaded(QuorvelFirmwareUpdaterSilent& silent, UpdateHost& host, bool use_rest_limit);
