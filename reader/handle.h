// The reader handle record shared by all transports, and the registry that
// owns every live record. Internal to the library.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/serial_port.h"
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

// Characters the serial stream received outside valid reply frames.
inline constexpr uint32_t kUnsolicitedRingEntries = 2080;

// Transport fields of a serial stream handle (ReaderHandleRecord::stream).
struct SerialFields {
  // Next character from the port, or 256 when none is waiting.
  int32_t (*raw_input)(RDRHANDLE handle) = nullptr;
  // With a character: send it, 1 on success. With 256: nonzero when the port
  // can take a character.
  int32_t (*raw_output)(RDRHANDLE handle, int32_t character) = nullptr;
  // Bits per character; negative when the port is in error.
  int32_t (*bit_size)(RDRHANDLE handle) = nullptr;
  // The library's unsolicited-input getter on every opened serial handle.
  int32_t (*character_getter)(RDRHANDLE handle) = nullptr;
  std::array<uint16_t, kUnsolicitedRingEntries> ring{};
  uint32_t ring_read = 0;   // modulo kUnsolicitedRingEntries
  uint32_t ring_write = 0;  // modulo kUnsolicitedRingEntries
  // The port behind the three functions when the library opened it.
  std::unique_ptr<platform::serial::Port> port;
  // Passed through for caller-supplied character functions.
  void* context = nullptr;
};

// What each transport does for the message layer, filled in by the
// transport's open so that reader/ never calls a transport by name.
struct TransportOps {
  // One exchange, run inside RDRSendReceive's frame; 1/0 with the error set.
  int32_t (*send_receive)(RDRHANDLE handle, RDRMSGHDR* ohdr, const void* odata, RDRMSGHDR* ihdr, void* idata);
  // Throws away what the reader has queued; null when nothing can be queued.
  int32_t (*flush)(RDRHANDLE handle);
  // Closes and reopens the channel; null when there is nothing to reopen.
  int32_t (*reconnect)(RDRHANDLE handle);
  // Releases the transport, clears the kind tag and frees the record.
  int32_t (*close)(RDRHANDLE handle);
};

struct ReaderHandleRecord {
  std::atomic<uint32_t> kind_tag{0};  // read by validity checks of other threads
  // Never reused, unlike the record's address: objects that belong to a
  // handle (flash files) tell their own closed handle from a new one here.
  uint64_t serial = 0;
  int32_t (*close)(RDRHANDLE handle) = nullptr;  // the transport's close (RDRClose)
  const TransportOps* transport = nullptr;       // null: exchanges are not supported
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
  // The handle whose operation frame this thread was inside when it entered
  // this one (see EnterFrame); valid only while depth > 0.
  ReaderHandleRecord* outer_frame = nullptr;
  char firmware_name[32] = {};
  int32_t firmware_number = 0;
  int32_t firmware_number2 = 0;
  int32_t firmware_number3 = 0;
  UsbFields usb;
  SerialFields stream;
  FlashFile directory = {};  // the attached flash directory (flash file system)
};

// Creates a record with the common initialisation (kind tag, timeout 5,
// packet size 0x500000, no device) and registers it. Null when out of memory
// (library error 6 recorded).
RDRHANDLE NewReaderHandle(uint32_t kind_tag);
// Gives a new record its transport's operations (and their close as the
// record's close operation).
void InstallTransport(RDRHANDLE handle, const TransportOps& operations);
// Unregisters and frees a record; the pointer is invalid afterwards.
void FreeReaderHandle(RDRHANDLE handle);
// A live, registered record with a transport kind tag. Safe for any pointer
// value, including freed handles.
bool IsValidReaderHandle(RDRHANDLE handle);

// Operation frames open on the calling thread, innermost first. A handle in
// an open frame cannot be freed underneath it (closes are refused from the
// progress callback), so inside the frame it needs no registry lookup.
// EnterFrame and LeaveFrame pair at the outermost entry and exit of each
// handle, with its lock held.
void EnterFrame(RDRHANDLE handle);
void LeaveFrame(RDRHANDLE handle);
// The innermost handle whose operation frame is open on this thread; each
// record links to the next one out through outer_frame.
extern thread_local constinit ReaderHandleRecord* t_innermost_frame;
bool IsUsableReaderHandleSlow(RDRHANDLE handle);
bool InOpenFrameSlow(RDRHANDLE handle);
// Whether the calling thread is inside an operation frame of the handle, and
// so already holds its lock.
inline bool InOpenFrame(RDRHANDLE handle) {
  return handle != nullptr && (handle == t_innermost_frame || InOpenFrameSlow(handle));
}
// IsValidReaderHandle without the registry when the calling thread is
// inside an operation frame of the handle; a few instructions for the
// handle of the innermost frame, which every trace call inside it names.
inline bool IsUsableReaderHandle(RDRHANDLE handle) {
  return (handle != nullptr && handle == t_innermost_frame) || IsUsableReaderHandleSlow(handle);
}

// Whether trace lines of a handle inside its own operation frame go
// anywhere: the frame has checked the handle, so its trace field decides, as
// the trace calls would. Lets hot paths skip building their parameter lines.
inline bool HandleTraced(RDRHANDLE handle) { return handle->trace != nullptr && handle->trace != InvalidLogHandle(); }

// The firmware number and its two version numbers from the firmware name
// ("FW%d-%d-%d"; the SH4 name "FW-40990" is number 40990); 0 when the name
// does not parse.
void ParseFirmwareNumber(RDRHANDLE handle);

// Opens a USB reader (defined by the USB transport; declared here for the
// full-array open, which the message layer offers over it).
RDRHANDLE RDROpenUSB(const char* path);
