// The memory transport: a third handle kind that lists no devices, flushes
// nothing and fails every exchange. It gives the dispatching operations a
// defined target for its kind.
#pragma once

#include <cstdint>

#include "reader/rdr.h"

// Creates a memory handle (with the extended-requests flag, like every new
// handle before an open clears it); -1 when out of memory.
RDRHANDLE MEMOpen();
int32_t MEMDeviceList(int32_t product_id, char*** device_list, int32_t* device_count);
int32_t MEMFlush(RDRHANDLE handle);
int32_t MEMSendReceive(RDRHANDLE handle, RDRMSGHDR* ohdr, const void* odata, RDRMSGHDR* ihdr, void* idata);
