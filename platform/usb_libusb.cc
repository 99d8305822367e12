#include "platform/usb_libusb.h"

#include <libusb.h>
#include <sys/time.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/system.h"

namespace platform::usb {

// --- libusb errors as system errors: the one place they are translated ------

uint32_t ErrnoOfLibusbError(int error) {
  switch (static_cast<libusb_error>(error)) {
    case LIBUSB_SUCCESS: return 0;
    case LIBUSB_ERROR_IO: return EIO;
    case LIBUSB_ERROR_INVALID_PARAM: return EINVAL;
    case LIBUSB_ERROR_ACCESS: return EACCES;
    case LIBUSB_ERROR_NO_DEVICE: return ENODEV;
    case LIBUSB_ERROR_NOT_FOUND: return ENOENT;
    case LIBUSB_ERROR_BUSY: return EBUSY;
    case LIBUSB_ERROR_TIMEOUT: return ETIMEDOUT;
    case LIBUSB_ERROR_OVERFLOW: return EOVERFLOW;
    case LIBUSB_ERROR_PIPE: return EPIPE;
    case LIBUSB_ERROR_INTERRUPTED: return EINTR;
    case LIBUSB_ERROR_NO_MEM: return ENOMEM;
    case LIBUSB_ERROR_NOT_SUPPORTED: return ENOTSUP;
    case LIBUSB_ERROR_OTHER: return EIO;
  }
  return EIO;  // a code newer than this libusb's header
}

namespace {

// The errno of a finished transfer; 0 when it completed.
uint32_t ErrnoOfTransferStatus(libusb_transfer_status status) {
  switch (status) {
    case LIBUSB_TRANSFER_COMPLETED: return 0;
    case LIBUSB_TRANSFER_ERROR: return EIO;
    case LIBUSB_TRANSFER_TIMED_OUT: return ETIMEDOUT;
    case LIBUSB_TRANSFER_CANCELLED: return ECANCELED;
    case LIBUSB_TRANSFER_STALL: return EPIPE;
    case LIBUSB_TRANSFER_NO_DEVICE: return ENODEV;
    case LIBUSB_TRANSFER_OVERFLOW: return EOVERFLOW;
  }
  return EIO;
}

bool Fail(uint32_t error) {
  SetLastSystemError(error);
  return false;
}

bool FailLibusb(int error) { return Fail(ErrnoOfLibusbError(error)); }

constexpr uint16_t kVendorIds[] = {0x0898, 0x17B9};
constexpr uint16_t kCompositeProductId = 0x0064;
constexpr uint8_t kVendorSpecificClass = 0xFF;
constexpr uint8_t kStillImageClass = 6;
// What one bulk transfer may carry: usbfs takes it as one URB, well within
// its default memory limit of 16 MiB.
constexpr uint32_t kMaximumTransfer = 0x200000;
// The longest we wait for libusb to hand back a cancelled transfer.
constexpr int kCancelSlices = 20;
constexpr int kCancelSliceMs = 50;
constexpr unsigned kControlTimeoutMs = 1000;

const std::filesystem::path kSysfsDevices = "/sys/bus/usb/devices";

// One attribute of a device or interface in sysfs, without its newline.
std::optional<std::string> SysfsAttribute(const std::string& name, const char* attribute) {
  std::ifstream file(kSysfsDevices / name / attribute);
  std::string value;
  if (!file || !std::getline(file, value)) return std::nullopt;
  return value;
}

// The sort key of a sysfs device name: "1-1.2" is bus 1, ports 1 and 2;
// "usb1" is the root hub of bus 1.
std::vector<int> LocationKey(const std::string& name) {
  std::vector<int> key;
  int number = -1;
  for (char c : name) {
    if (std::isdigit(static_cast<unsigned char>(c))) {
      number = (number < 0 ? 0 : number * 10) + (c - '0');
    } else if (number >= 0) {
      key.push_back(number);
      number = -1;
    }
  }
  if (number >= 0) key.push_back(number);
  return key;
}

std::string Hex4(unsigned value, bool upper) {
  char text[8];
  std::snprintf(text, sizeof text, upper ? "%04X" : "%04x", value & 0xFFFF);
  return text;
}

std::string DeviceId(uint16_t vendor, uint16_t product) {
  return "USB\\VID_" + Hex4(vendor, true) + "&PID_" + Hex4(product, true);
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// Tells the user, once per distinct problem, what keeps a unit from being
// opened; the library's error code alone does not say what to do about it.
void Hint(const std::string& text) {
  static std::mutex mutex;
  static std::string last;  // guarded by mutex
  std::lock_guard lock(mutex);
  if (text == last) return;
  last = text;
  std::fprintf(stderr, "usb: %s\n", text.c_str());
}

struct Endpoints {
  uint8_t bulk_in = 0;
  uint8_t bulk_out = 0;
  std::vector<PipeInfo> pipes;  // every endpoint of alternate setting 0, in order
};

// One usable interface of a unit found by an enumeration.
struct FoundInterface {
  DeviceInterface listed;
  InterfaceClass interface_class;
  std::string location;  // sysfs name of the device, e.g. "1-1.2"
  libusb_device* device;
  int interface_number;
  Endpoints endpoints;
  std::vector<int> key;
};

// A libusb context with the device list of one enumeration.
class Bus {
 public:
  Bus() {
    if (int result = libusb_init(&context_); result != 0) {
      context_ = nullptr;
      FailLibusb(result);
      return;
    }
    ssize_t count = libusb_get_device_list(context_, &list_);
    if (count < 0) {
      list_ = nullptr;
      FailLibusb(static_cast<int>(count));
      return;
    }
    for (ssize_t i = 0; i < count; ++i) Collect(list_[i]);
    std::sort(found_.begin(), found_.end(),
              [](const FoundInterface& a, const FoundInterface& b) { return a.key < b.key; });
  }
  ~Bus() {
    if (list_ != nullptr) libusb_free_device_list(list_, 1);
    if (context_ != nullptr) libusb_exit(context_);
  }
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  bool ok() const { return list_ != nullptr; }
  libusb_context* context() const { return context_; }
  const std::vector<FoundInterface>& interfaces() const { return found_; }

 private:
  void Collect(libusb_device* device) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != 0) return;
    if (std::find(std::begin(kVendorIds), std::end(kVendorIds), descriptor.idVendor) == std::end(kVendorIds)) return;
    uint8_t ports[8];
    const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
    if (depth <= 0) return;
    std::string location = std::to_string(libusb_get_bus_number(device)) + "-";
    for (int i = 0; i < depth; ++i) location += (i > 0 ? "." : "") + std::to_string(ports[i]);
    // A device deauthorized in the system keeps its descriptors but offers
    // no interfaces.
    if (SysfsAttribute(location, "authorized") == "0") return;
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != 0) return;
    const bool composite = descriptor.idProduct == kCompositeProductId || config->bNumInterfaces > 1;
    const std::string device_id = DeviceId(descriptor.idVendor, descriptor.idProduct);
    std::string parent = location.substr(0, location.find_last_of(".-"));
    if (location.find('.') == std::string::npos) parent = "ROOT_HUB\\BUS_" + parent;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
      if (config->interface[i].num_altsetting < 1) continue;
      const libusb_interface_descriptor& setting = config->interface[i].altsetting[0];
      InterfaceClass interface_class;
      if (setting.bInterfaceClass == kVendorSpecificClass) {
        interface_class = InterfaceClass::kReader;
      } else if (setting.bInterfaceClass == kStillImageClass) {
        interface_class = InterfaceClass::kStillImage;
      } else {
        continue;
      }
      FoundInterface found{{}, interface_class, location, device, setting.bInterfaceNumber, {}, LocationKey(location)};
      found.key.push_back(setting.bInterfaceNumber);
      for (int e = 0; e < setting.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
        const auto type = static_cast<int32_t>(endpoint.bmAttributes & 0x3);
        found.endpoints.pipes.push_back({type, endpoint.bEndpointAddress, endpoint.wMaxPacketSize});
        if (type != LIBUSB_TRANSFER_TYPE_BULK) continue;
        (endpoint.bEndpointAddress & 0x80 ? found.endpoints.bulk_in : found.endpoints.bulk_out) =
            endpoint.bEndpointAddress;
      }
      char number[8];
      std::snprintf(number, sizeof number, "%02X", setting.bInterfaceNumber);
      const std::string interface_name =
          location + ":" + std::to_string(config->bConfigurationValue) + "." + std::to_string(setting.bInterfaceNumber);
      const std::string id = composite ? device_id + "&MI_" + number : device_id;
      std::string name = id + "#" + interface_name + "#";
      std::transform(name.begin(), name.end(), name.begin(), [](char c) {
        return c == '\\' ? '#' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      });
      found.listed.path =
          "\\\\?\\" + name + (interface_class == InterfaceClass::kReader ? kReaderClassGuid : kStillImageClassGuid);
      found.listed.instance_id = id + "\\" + interface_name;
      found.listed.parent_id = composite ? device_id + "\\" + location : "USB\\" + parent;
      const std::string revision = "&REV_" + Hex4(descriptor.bcdDevice, true);
      found.listed.hardware_ids = composite ? std::vector<std::string>{device_id + revision + "&MI_" + number, id}
                                            : std::vector<std::string>{device_id + revision, device_id};
      found_.push_back(std::move(found));
    }
    libusb_free_config_descriptor(config);
  }

  libusb_context* context_ = nullptr;
  libusb_device** list_ = nullptr;
  std::vector<FoundInterface> found_;
};

// One asynchronous bulk transfer and whether libusb has handed it back.
struct Pending {
  libusb_transfer* transfer = nullptr;
  int completed = 0;         // set by the callback, on the thread that handles events
  std::vector<uint8_t> out;  // a write's own copy of its bytes
};

void LIBUSB_CALL TransferDone(libusb_transfer* transfer) { static_cast<Pending*>(transfer->user_data)->completed = 1; }

// Opened interface. All calls come from one thread at a time (the reader
// handle's lock), and events of its own context are handled only inside
// them, so callbacks run on the calling thread and need no lock.
class LibusbDevice final : public Device {
 public:
  LibusbDevice(std::unique_ptr<Bus> bus, libusb_device_handle* handle, const FoundInterface& found, bool reattach)
      : bus_(std::move(bus)),
        handle_(handle),
        interface_class_(found.interface_class),
        interface_number_(found.interface_number),
        endpoints_(found.endpoints),
        reattach_(reattach) {}

  ~LibusbDevice() override {
    CancelRead();
    CancelWrite();
    libusb_release_interface(handle_, interface_number_);
    if (reattach_) libusb_attach_kernel_driver(handle_, interface_number_);
    libusb_close(handle_);
    for (libusb_transfer* transfer : orphans_) libusb_free_transfer(transfer);
  }

  InterfaceClass interface_class() const override { return interface_class_; }

  std::vector<PipeInfo> QueryPipes() override { return endpoints_.pipes; }

  bool GetPipePolicy(uint8_t pipe_id, uint32_t policy, uint32_t* value) override {
    if (!KnownPipe(pipe_id)) return Fail(EINVAL);
    uint32_t result = 0;
    if (policy == kMaximumTransferSize) {
      result = kMaximumTransfer;
    } else if (auto it = policies_.find({pipe_id, policy}); it != policies_.end()) {
      result = it->second;
    } else if (auto standard = DefaultPolicy(policy)) {
      result = *standard;
    } else {
      return Fail(EINVAL);
    }
    if (value != nullptr) *value = result;
    return true;
  }

  // The transfer timeout and the zero-length packet after a write are ours
  // to honour; the other policies describe how usbfs reads anyway (a read
  // ends at a short packet, nothing is flushed), so only those values are
  // accepted.
  bool SetPipePolicy(uint8_t pipe_id, uint32_t policy, uint32_t value) override {
    if (!KnownPipe(pipe_id)) return Fail(EINVAL);
    auto standard = DefaultPolicy(policy);
    if (!standard) return Fail(EINVAL);
    const bool adjustable = policy == kPipeTransferTimeout || policy == kShortPacketTerminate;
    if (!adjustable && value != *standard) return Fail(ENOTSUP);
    policies_[{pipe_id, policy}] = value;
    return true;
  }

  bool GetEndpointStatus(uint8_t pipe_id, uint16_t* status) override {
    uint8_t reply[2] = {};
    const int result = libusb_control_transfer(handle_, 0x82, LIBUSB_REQUEST_GET_STATUS, 0, pipe_id, reply,
                                               sizeof reply, kControlTimeoutMs);
    if (result < 0) return FailLibusb(result);
    if (result != 2) return Fail(EIO);
    if (status != nullptr) *status = static_cast<uint16_t>(reply[0] | reply[1] << 8);
    return true;
  }

  bool ResetPipe(uint8_t pipe_id) override {
    const int result = libusb_clear_halt(handle_, pipe_id);
    return result == 0 || FailLibusb(result);
  }

  bool AbortPipe(uint8_t pipe_id) override {
    if (!KnownPipe(pipe_id)) return Fail(EINVAL);
    if (pipe_id & 0x80) {
      CancelRead();
    } else {
      CancelWrite();
    }
    return true;
  }

  // The still-image class driver's private set-up request has no USB
  // request behind it that this side could send: the interface is driven
  // directly through its bulk endpoints.
  bool DeviceControl(uint32_t, uint32_t) override { return Fail(ENOTSUP); }

  bool IssueRead(uint8_t pipe_id, std::span<uint8_t> buffer) override {
    return Issue(read_, ReadEndpoint(pipe_id), buffer.data(), buffer.size());
  }

  bool IssueWrite(uint8_t pipe_id, std::span<const uint8_t> buffer) override {
    if (write_.transfer != nullptr) return Fail(EBUSY);
    write_.out.assign(buffer.begin(), buffer.end());
    return Issue(write_, WriteEndpoint(pipe_id), write_.out.data(), write_.out.size());
  }

  WaitResult WaitRead(uint32_t milliseconds, uint32_t* count) override { return Wait(read_, milliseconds, count); }
  WaitResult WaitWrite(uint32_t milliseconds, uint32_t* count) override { return Wait(write_, milliseconds, count); }
  void CancelRead() override { Cancel(read_); }
  void CancelWrite() override { Cancel(write_); }

 private:
  static std::optional<uint32_t> DefaultPolicy(uint32_t policy) {
    switch (policy) {
      case kShortPacketTerminate:
      case kPipeTransferTimeout:
      case kIgnoreShortPackets:
      case kAutoFlush: return 0;
      case kAllowPartialReads: return 1;
      default: return std::nullopt;
    }
  }

  bool KnownPipe(uint8_t pipe_id) const {
    return std::any_of(endpoints_.pipes.begin(), endpoints_.pipes.end(),
                       [&](const PipeInfo& pipe) { return pipe.pipe_id == pipe_id; });
  }
  uint32_t Policy(uint8_t pipe_id, uint32_t policy) const {
    auto it = policies_.find({pipe_id, policy});
    return it != policies_.end() ? it->second : DefaultPolicy(policy).value_or(0);
  }
  // The still-image interface has one data channel each way: its bulk
  // endpoints, whatever pipe the caller names.
  uint8_t ReadEndpoint(uint8_t pipe_id) const {
    return interface_class_ == InterfaceClass::kStillImage ? endpoints_.bulk_in : pipe_id;
  }
  uint8_t WriteEndpoint(uint8_t pipe_id) const {
    return interface_class_ == InterfaceClass::kStillImage ? endpoints_.bulk_out : pipe_id;
  }

  bool Issue(Pending& pending, uint8_t endpoint, uint8_t* data, size_t size) {
    if (pending.transfer != nullptr) return Fail(EBUSY);
    if (endpoint == 0 || !KnownPipe(endpoint)) return Fail(EINVAL);
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    if (transfer == nullptr) return Fail(ENOMEM);
    libusb_fill_bulk_transfer(transfer, handle_, endpoint, data, static_cast<int>(size), TransferDone, &pending,
                              Policy(endpoint, kPipeTransferTimeout));
    if (!(endpoint & 0x80) && Policy(endpoint, kShortPacketTerminate) != 0) {
      transfer->flags |= LIBUSB_TRANSFER_ADD_ZERO_PACKET;
    }
    pending.completed = 0;
    if (int result = libusb_submit_transfer(transfer); result != 0) {
      libusb_free_transfer(transfer);
      return FailLibusb(result);
    }
    pending.transfer = transfer;
    return true;
  }

  // Handles this context's events until the transfer is back or the real
  // time is up; at least one pass, so a zero wait still collects a
  // completion. False when handling events failed.
  bool HandleEvents(Pending& pending, uint32_t milliseconds) {
    using std::chrono::steady_clock;
    const auto deadline = steady_clock::now() + std::chrono::milliseconds(milliseconds);
    do {
      const auto left = std::max<int64_t>(
          0, std::chrono::duration_cast<std::chrono::microseconds>(deadline - steady_clock::now()).count());
      timeval limit{static_cast<time_t>(left / 1000000), static_cast<suseconds_t>(left % 1000000)};
      const int result = libusb_handle_events_timeout_completed(bus_->context(), &limit, &pending.completed);
      if (result != 0 && result != LIBUSB_ERROR_INTERRUPTED) return FailLibusb(result);
    } while (!pending.completed && steady_clock::now() < deadline);
    return true;
  }

  WaitResult Wait(Pending& pending, uint32_t milliseconds, uint32_t* count) {
    if (pending.transfer == nullptr) {
      SetLastSystemError(EINVAL);
      return WaitResult::kFailed;
    }
    Clock& clock = GetClock();
    const uint32_t start = clock.TickCount();
    if (!HandleEvents(pending, milliseconds)) return WaitResult::kFailed;
    if (!pending.completed) {
      // The wait costs its time on the installed clock too, so that a
      // virtual clock moves towards the caller's time limit.
      const uint32_t spent = clock.TickCount() - start;
      if (spent < milliseconds) clock.Sleep(milliseconds - spent);
      return WaitResult::kPending;
    }
    libusb_transfer* transfer = std::exchange(pending.transfer, nullptr);
    const uint32_t error = ErrnoOfTransferStatus(transfer->status);
    if (count != nullptr) *count = static_cast<uint32_t>(transfer->actual_length);
    libusb_free_transfer(transfer);
    if (error != 0) {
      SetLastSystemError(error);
      return WaitResult::kFailed;
    }
    return WaitResult::kDone;
  }

  void Cancel(Pending& pending) {
    if (pending.transfer == nullptr) return;
    PreserveLastError keep;
    if (!pending.completed && libusb_cancel_transfer(pending.transfer) == 0) {
      for (int slice = 0; slice < kCancelSlices && !pending.completed; ++slice) {
        if (!HandleEvents(pending, kCancelSliceMs)) break;
      }
    }
    libusb_transfer* transfer = std::exchange(pending.transfer, nullptr);
    if (pending.completed) {
      libusb_free_transfer(transfer);
    } else {
      // libusb still holds it: freed only once the handle is closed.
      transfer->user_data = &orphaned_;
      orphans_.push_back(transfer);
    }
  }

  std::unique_ptr<Bus> bus_;  // keeps the context and the device alive
  libusb_device_handle* handle_;
  const InterfaceClass interface_class_;
  const int interface_number_;
  const Endpoints endpoints_;
  const bool reattach_;  // a kernel driver was detached at open and gets the interface back
  std::map<std::pair<uint8_t, uint32_t>, uint32_t> policies_;
  Pending read_;
  Pending write_;
  Pending orphaned_;
  std::vector<libusb_transfer*> orphans_;
};

class LibusbBackend final : public Backend {
 public:
  std::optional<std::vector<DeviceInterface>> EnumerateInterfaces(InterfaceClass interface_class) override {
    Bus bus;
    if (!bus.ok()) return std::nullopt;
    std::vector<DeviceInterface> listed;
    for (const FoundInterface& found : bus.interfaces()) {
      if (found.interface_class == interface_class) listed.push_back(found.listed);
    }
    return listed;
  }

  // Every USB device in sysfs, deauthorized ones included, in bus order.
  std::optional<std::vector<PresentDevice>> EnumerateDevices() override {
    std::error_code error;
    std::vector<std::string> names;
    for (std::filesystem::directory_iterator it(kSysfsDevices, error), end; !error && it != end; it.increment(error)) {
      const std::string name = it->path().filename().string();
      if (name.find(':') == std::string::npos) names.push_back(name);
    }
    if (error) {
      Fail(static_cast<uint32_t>(error.value()));
      return std::nullopt;
    }
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return LocationKey(a) < LocationKey(b); });
    std::vector<PresentDevice> devices;
    for (const std::string& name : names) {
      const auto vendor = SysfsAttribute(name, "idVendor");
      const auto product = SysfsAttribute(name, "idProduct");
      if (!vendor || !product) continue;
      PresentDevice device;
      device.description = SysfsAttribute(name, "product").value_or("");
      device.config_flags = SysfsAttribute(name, "authorized") == "0" ? 1 : 0;
      const std::string id = DeviceId(static_cast<uint16_t>(std::stoul(*vendor, nullptr, 16)),
                                      static_cast<uint16_t>(std::stoul(*product, nullptr, 16)));
      std::string revision = SysfsAttribute(name, "bcdDevice").value_or("0000");
      std::transform(revision.begin(), revision.end(), revision.begin(),
                     [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
      device.hardware_ids = {id + "&REV_" + revision, id};
      devices.push_back(std::move(device));
    }
    return devices;
  }

  std::optional<InterfaceClass> ClassOfPath(const std::string& path) override {
    Bus bus;
    for (const FoundInterface& found : bus.interfaces()) {
      if (SameText(found.listed.path, path)) return found.interface_class;
    }
    return std::nullopt;
  }

  std::unique_ptr<Device> Open(const std::string& path) override {
    auto bus = std::make_unique<Bus>();
    if (!bus->ok()) return nullptr;
    const FoundInterface* found = nullptr;
    for (const FoundInterface& candidate : bus->interfaces()) {
      if (SameText(candidate.listed.path, path)) found = &candidate;
    }
    if (found == nullptr) {
      Fail(ENODEV);
      return nullptr;
    }
    const std::string where = "unit at " + found->location + " (" + found->listed.instance_id + ")";

    libusb_device_handle* handle = nullptr;
    if (int result = libusb_open(found->device, &handle); result != 0) {
      if (result == LIBUSB_ERROR_ACCESS) {
        Hint("no permission to open the " + where +
             ": install the udev rules (70-quorvel-readers.rules), then unplug and replug the unit");
      }
      FailLibusb(result);
      return nullptr;
    }
    bool detached = false;
    if (libusb_kernel_driver_active(handle, found->interface_number) == 1) {
      const std::string driver_link = found->listed.instance_id.substr(found->listed.instance_id.rfind('\\') + 1);
      std::error_code ignored;
      const std::string driver =
          std::filesystem::read_symlink(kSysfsDevices / driver_link / "driver", ignored).filename().string();
      if (int result = libusb_detach_kernel_driver(handle, found->interface_number); result != 0) {
        Hint("the kernel driver \"" + driver + "\" holds the " + where +
             " and cannot be detached: unload it or blacklist it for this unit");
        libusb_close(handle);
        FailLibusb(result);
        return nullptr;
      }
      detached = true;
    }
    if (int result = libusb_claim_interface(handle, found->interface_number); result != 0) {
      if (result == LIBUSB_ERROR_BUSY) {
        Hint("the " + where +
             " is in use by another program: close it (another updater, or a program of the "
             "reader's own) and try again");
      }
      if (detached) libusb_attach_kernel_driver(handle, found->interface_number);
      libusb_close(handle);
      FailLibusb(result);
      return nullptr;
    }
    const FoundInterface chosen = *found;
    return std::make_unique<LibusbDevice>(std::move(bus), handle, chosen, detached);
  }
};

}  // namespace

std::shared_ptr<Backend> MakeLibusbBackend() { return std::make_shared<LibusbBackend>(); }

}  // namespace platform::usb
