// The backend for real devices: libusb-1.0 over Linux usbfs.
//
// Units are found by vendor id (0x0898, 0x17B9). Each usable interface of a
// unit is one device interface: a vendor-specific interface (class 0xFF) is
// the reader interface, a still-image interface (class 6) the still-image
// one; both are driven through their bulk endpoints. Paths name the place
// on the bus, not the device number, so that a unit keeps its path across
// the re-enumeration of a soft boot:
//
//   \\?\usb#vid_0898&pid_0041#1-1.2:1.0#{9e32eeca-ab09-48d9-8a63-69b70a14d738}
//
// where "1-1.2:1.0" is the interface's sysfs name (bus 1, ports 1 then 2,
// configuration 1, interface 0). Interfaces of a composite device (product
// id 0x0064, or any unit with several interfaces) carry "&mi_%02x" after the
// product id and name the device as their parent.
//
// Every enumeration and every opened device uses a libusb context of its own:
// a long-lived context would keep a unit that soft-booted away and miss its
// return when hot-plug events do not reach it.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/usb.h"

namespace platform::usb {

std::shared_ptr<Backend> MakeLibusbBackend();

// The system error code (errno value) of a libusb error code
// (LIBUSB_ERROR_*); 0 for LIBUSB_SUCCESS.
uint32_t ErrnoOfLibusbError(int error);

}  // namespace platform::usb
