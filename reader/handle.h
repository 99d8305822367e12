// The reader handle record shared by all transports, and the registry that
// owns every live record. Internal to the library.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/usb.h"
#include "reader/flash.h"
#include "reader/rdr.h"

// How a USB handle's device is reached (UsbFields::interface_kind).
inline constexpr int32_t kInterfaceUnresolved = 0;
inline constexpr int32_t kInterfaceStillImage = 1;   // read and written as a file
inline constexpr int32_t kInterfaceReaderPipes = 2;  // bulk IN/OUT pipes

// Transport fields of a USB handle.
struct UsbFields {
  std::unique_ptr<platform::usb::Device> device;  // the open device path; null when closed
  std::string device_path;                        // reopened by reconnect
  int32_t interface_kind = kInterfaceUnresolved;
  platform::usb::PipeInfo in_pipe;
  platform::usb::PipeInfo out_pipe;
};

struct ReaderHandleRecord {
  std::atomic<uint32_t> kind_tag{0};  // read by validity checks of other threads
  // Never reused, unlike the record's address: objects that belong to a
  // handle (flash files) tell their own closed handle from a new one here.
  uint64_t serial = 0;
  int32_t (*close)(RDRHANDLE handle) = nullptr;
  uint32_t capability_flags = 0;
  int32_t last_error = 0;
  LOGHANDLE trace = nullptr;  // attached trace instance; null or -1 when off
  // Held from the outermost entry step to the matching exit step.
  std::recursive_mutex lock;
  RDRCALLBACK callback = nullptr;
  uint32_t callback_user = 0;
  int32_t progress = 0;
  int32_t timeout = 0;            // seconds; 0 = no limit
  int32_t packet_size = 0;        // largest single read of a reply body
  int32_t first_read_length = 0;  // bytes asked for by the first read of a reply
  uint32_t operation_start = 0;   // tick count at the outermost entry
  int32_t depth = 0;              // open library operations on this handle
  int32_t in_callback = 0;        // > 0 while the progress callback runs
  // The outermost operation went on past the callback's abort answer at
  // entry (HandleEnterPastAbort); its exit does not ask the callback again.
  bool abort_overruled = false;
  char firmware_name[32] = {};
  int32_t firmware_number = 0;
  int32_t firmware_number2 = 0;
  int32_t firmware_number3 = 0;
  UsbFields usb;
  FlashFile directory = {};  // the attached flash directory (flash file system)
};

// Creates a record with the common initialisation (kind tag, timeout 5,
// packet size 0x500000, no device) and registers it. Null when out of memory
// (library error 6 recorded).
RDRHANDLE NewReaderHandle(uint32_t kind_tag);
// Unregisters and frees a record; the pointer is invalid afterwards.
void FreeReaderHandle(RDRHANDLE handle);
// A live, registered record with a transport kind tag. Safe for any pointer
// value, including freed handles.
bool IsValidReaderHandle(RDRHANDLE handle);
