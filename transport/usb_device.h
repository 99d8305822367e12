// Device-level steps of a USB reader handle shared by the open, the close
// and the reconnect. Internal to the library.
#pragma once

#include <cstdint>

#include "reader/rdr.h"

// Opens the handle's stored device path and configures its pipes. 1/0.
int32_t UsbOpenDevice(RDRHANDLE handle);
// Closes the handle's device, if open. 0 (error 4) for a non-USB handle.
int32_t UsbCloseDevice(RDRHANDLE handle);
// RDRSendReceive's USB path: one exchange, and after a timeout one
// reconnect and one more exchange.
int32_t UsbExchange(RDRHANDLE handle, RDRMSGHDR* ohdr, const void* odata, RDRMSGHDR* ihdr, void* idata);
