// USB readers: listing attached readers by device path, opening one into an
// identified reader handle, and the timed transfers below the exchange.
#pragma once

#include <cstdint>

#include "reader/rdr.h"

// Product id selectors besides a plain product id (>= 0).
inline constexpr int32_t kSelectAll = -1;
inline constexpr int32_t kSelectHighRange = -2;  // product ids 0x60-0x7F
inline constexpr int32_t kSelectLowRange = -3;   // product ids 0x00-0x5F
// Product id 0x0064 is a composite device: this selector lists each of its
// interfaces by the parent device's path.
inline constexpr int32_t kSelectCompositeParent = 100;

// Appends the matching device paths to *device_list (PlatformAlloc'd array of
// PlatformAlloc'd texts). 1 also when nothing is found; 0 on failure with
// the list emptied.
int32_t USBDeviceList(int32_t product_id, char*** device_list, int32_t* device_count);
void USBDeviceListFree(char** device_list, int32_t device_count);
// Every reader product id in its fixed order; 0 with library error 47 when
// none is listed but a reader device is disabled in the system.
int32_t ReaderDeviceList(int32_t product_id, char*** device_list, int32_t* device_count);
void ReaderDeviceListFree(char** device_list, int32_t device_count);

// Opens the reader at `path`, or the first one listed when path is null.
// Returns -1 (InvalidReaderHandle()) on failure, never null.
RDRHANDLE RDROpenUSB(const char* path);

int32_t MyReadFile(RDRHANDLE handle, void* buffer, int32_t bytes, int32_t* nBytes, uint32_t timeout);
int32_t MyWriteFile(RDRHANDLE handle, const void* buffer, int32_t bytes, int32_t* nBytes, uint32_t timeout);
int32_t PlatformFlush(RDRHANDLE handle);

// Whether a device path names an accepted vendor and a product id the
// selector accepts.
bool DevicePathMatches(const char* path, int32_t product_id);
