// The USB boundary of the library. Everything the transport needs of the
// operating system's USB stack goes through one Backend: enumeration of the
// present reader interfaces, opening a device path, the bulk pipes and their
// policies, and transfers in an issue / wait-with-limit / cancel shape.
//
// Two backends implement it: libusb-1.0 for real devices and the simulated
// reader unit (sim/). Errors are reported as system error codes (errno
// values, below 0x20000000); the backend also leaves them in the thread's
// last-error slot (platform/system.h) before it returns a failure.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace platform::usb {

// Device interface classes the readers are reached through, in the order the
// reader list walks them.
enum class InterfaceClass {
  kReader,      // {9E32EECA-AB09-48D9-8A63-69B70A14D738}: bulk IN/OUT pipes
  kStillImage,  // {6BDD1FC6-810F-11D0-BEC7-08002BE2092F}: read and written as a file
};

inline constexpr const char* kReaderClassGuid = "{9e32eeca-ab09-48d9-8a63-69b70a14d738}";
inline constexpr const char* kStillImageClassGuid = "{6bdd1fc6-810f-11d0-bec7-08002be2092f}";

// One present device interface. Paths carry "vid_%04x" and "pid_%04x" in lower
// case, e.g. "\\?\usb#vid_0898&pid_0041#sn1234#{9e32eeca-...}".
struct DeviceInterface {
  std::string path;
  std::string instance_id;                // device instance id, e.g. "USB\VID_0898&PID_0041\SN1234"
  std::string parent_id;                  // device id of the parent device; empty when it has none
  std::vector<std::string> hardware_ids;  // of the interface's device, most specific first
};

// One present device of any class, for the disabled-reader check and the
// device search by hardware id.
struct PresentDevice {
  std::string description;
  uint32_t config_flags = 0;  // 1 = disabled in the system
  std::vector<std::string> hardware_ids;
};

struct PipeInfo {
  int32_t pipe_type = 0;  // 2 = bulk
  uint8_t pipe_id = 0;    // bit 0x80 marks IN
  uint16_t max_packet_size = 0;
};

// Pipe policy numbers as the reader's driver interface names them.
enum PipePolicy : uint32_t {
  kShortPacketTerminate = 1,
  kPipeTransferTimeout = 3,
  kIgnoreShortPackets = 4,
  kAllowPartialReads = 5,
  kAutoFlush = 6,
  kMaximumTransferSize = 8,
};

enum class WaitResult {
  kDone,     // the transfer completed; *count holds its byte count
  kPending,  // still outstanding after the wait
  kFailed,   // completed with an error; the error is in the thread's slot
};

// An opened device path. One read and one write may be outstanding at a time;
// the buffer given to an issue call must stay valid until the transfer is
// done or cancelled.
class Device {
 public:
  virtual ~Device() = default;

  virtual InterfaceClass interface_class() const = 0;

  // Bulk pipes of alternate setting 0, in endpoint order. Empty on failure.
  virtual std::vector<PipeInfo> QueryPipes() = 0;
  // Returns false (error in the slot) when the pipe or policy is unknown.
  virtual bool GetPipePolicy(uint8_t pipe_id, uint32_t policy, uint32_t* value) = 0;
  virtual bool SetPipePolicy(uint8_t pipe_id, uint32_t policy, uint32_t value) = 0;
  // Standard GET_STATUS to an endpoint (request type 0x82, request 0, value 0,
  // index pipe_id, length 2). Non-zero status means halted.
  virtual bool GetEndpointStatus(uint8_t pipe_id, uint16_t* status) = 0;
  virtual bool ResetPipe(uint8_t pipe_id) = 0;
  virtual bool AbortPipe(uint8_t pipe_id) = 0;
  // Still-image interface set-up request; the result carries no meaning.
  virtual bool DeviceControl(uint32_t code, uint32_t value) = 0;

  // Starts a transfer. False means it could not be started (error in slot).
  // pipe_id is ignored for the still-image interface.
  virtual bool IssueRead(uint8_t pipe_id, std::span<uint8_t> buffer) = 0;
  virtual bool IssueWrite(uint8_t pipe_id, std::span<const uint8_t> buffer) = 0;
  // Waits up to the given milliseconds for the outstanding transfer. Waiting
  // costs time on the installed clock (platform/clock.h).
  virtual WaitResult WaitRead(uint32_t milliseconds, uint32_t* count) = 0;
  virtual WaitResult WaitWrite(uint32_t milliseconds, uint32_t* count) = 0;
  // Cancels the outstanding transfer, if any; afterwards none is outstanding.
  virtual void CancelRead() = 0;
  virtual void CancelWrite() = 0;
};

class Backend {
 public:
  virtual ~Backend() = default;
  // Present device interfaces of one class in enumeration order. nullopt
  // when the device set cannot be taken (error in the slot).
  virtual std::optional<std::vector<DeviceInterface>> EnumerateInterfaces(InterfaceClass interface_class) = 0;
  // Every present device of any class, in enumeration order.
  virtual std::optional<std::vector<PresentDevice>> EnumerateDevices() = 0;
  // Interface class of a present device path; nullopt when none matches.
  virtual std::optional<InterfaceClass> ClassOfPath(const std::string& path) = 0;
  // Opens a device path for exclusive read and write; null on failure
  // (error in the slot).
  virtual std::unique_ptr<Device> Open(const std::string& path) = 0;
};

// The backend in use. Until one is installed this is the libusb backend for
// real devices (platform/usb_libusb.h).
std::shared_ptr<Backend> GetBackend();
// Installs a backend for the whole process; null restores the default.
void SetBackend(std::shared_ptr<Backend> backend);

}  // namespace platform::usb
