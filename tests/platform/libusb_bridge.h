// Simulated units behind the real libusb backend: a umockdev testbed shows
// each unit to libusb as a sysfs device with a usbfs node whose ioctls (URBs
// and the set-up calls of open and claim) the unit answers.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/usb.h"
#include "sim/unit.h"

namespace testing_support {

class UsbTestbed {
 public:
  UsbTestbed();
  ~UsbTestbed();
  UsbTestbed(const UsbTestbed&) = delete;
  UsbTestbed& operator=(const UsbTestbed&) = delete;

  // False when umockdev could not set up a testbed in this process.
  bool ok() const;
  // Plugs a unit into a port of bus 1 ("1-<port>"); it follows the unit's
  // presence on the bus and its disabled state at each enumeration.
  void AddUnit(sim::Unit& unit, int port);
  // A device of another vendor with a vendor-specific interface.
  void AddForeignDevice(int port);
  // The libusb backend, with the testbed brought up to date with the units
  // before each call.
  std::shared_ptr<platform::usb::Backend> backend();

  struct State;

 private:
  void Sync();
  std::unique_ptr<State> state_;
};

}  // namespace testing_support
