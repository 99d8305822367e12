#include "transport/usb_device.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <span>
#include <string>

#include "platform/clock.h"
#include "platform/system.h"
#include "platform/usb.h"
#include "reader/frame.h"
#include "reader/handle.h"
#include "trace/trace.h"
#include "transport/memory.h"
#include "transport/usb.h"

namespace {

using platform::usb::InterfaceClass;
using platform::usb::WaitResult;

constexpr uint16_t kVendorIds[] = {0x0898, 0x17B9};
constexpr InterfaceClass kClassOrder[] = {InterfaceClass::kReader, InterfaceClass::kStillImage};
constexpr const char* kCompositeParentMarker = "\\\\?\\usb#vid_0898&pid_0064";
constexpr int32_t kListGrowth = 10;
constexpr uint32_t kFlushChunk = 1024;
// A unit that streams without end must not keep a flush going forever.
constexpr int32_t kFlushMaxChunks = 16384;

bool SelectorAccepts(int32_t selector, uint32_t product_id) {
  if (selector >= 0) return product_id == static_cast<uint32_t>(selector);
  if (selector == kSelectHighRange) return product_id >= 0x60 && product_id <= 0x7F;
  if (selector == kSelectLowRange) return product_id <= 0x5F;
  return true;
}

// "word" followed by up to four hex digits, as a scan with "%4x" reads it.
bool ScanHexAfter(const char* path, const char* word, uint32_t* value) {
  const char* found = std::strstr(path, word);
  if (found == nullptr) return false;
  const char* digits = found + std::strlen(word);
  uint32_t parsed = 0;
  int count = 0;
  while (count < 4 && std::isxdigit(static_cast<unsigned char>(digits[count]))) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(digits[count])));
    parsed = parsed * 16 + static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    ++count;
  }
  if (count == 0) return false;
  *value = parsed;
  return true;
}

bool PathMatchesVendor(const char* path, uint16_t vendor, int32_t selector) {
  uint32_t vid = 0;
  uint32_t pid = 0;
  return ScanHexAfter(path, "vid_", &vid) && vid == vendor && ScanHexAfter(path, "pid_", &pid) &&
         SelectorAccepts(selector, pid);
}

// A parent device id in the form device paths use: '\' becomes '#', the rest
// is lower-cased.
std::string RewriteDeviceId(const std::string& id) {
  std::string rewritten = id;
  for (char& c : rewritten) c = c == '\\' ? '#' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return rewritten;
}

char* CopyText(const std::string& text) {
  char* copy = static_cast<char*>(PlatformAlloc(nullptr, nullptr, text.size() + 1));
  if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

// Frees a device list: its texts, last first, then the array.
void FreeList(char** list, int32_t count) {
  if (list == nullptr) return;
  for (int32_t i = count - 1; i >= 0; --i) PlatformAlloc(nullptr, list[i], 0);
  PlatformAlloc(nullptr, list, 0);
}

// The caller's device list while a listing appends to it.
class ListBuilder {
 public:
  ListBuilder(char*** list, int32_t* count) : list_(list), count_(count), capacity_(*count) {}

  bool Append(const std::string& path) {
    if (*count_ == capacity_) {
      size_t bytes = sizeof(char*) * static_cast<size_t>(capacity_ + kListGrowth);
      auto* grown = static_cast<char**>(PlatformAlloc(nullptr, *list_, bytes));
      if (grown == nullptr) return false;
      *list_ = grown;
      capacity_ += kListGrowth;
    }
    char* copy = CopyText(path);
    if (copy == nullptr) return false;
    (*list_)[(*count_)++] = copy;
    return true;
  }

  void ShrinkToCount() {
    if (*count_ == 0) {
      PlatformAlloc(nullptr, *list_, 0);
      *list_ = nullptr;
      return;
    }
    if (*count_ == capacity_) return;
    auto* shrunk = static_cast<char**>(PlatformAlloc(nullptr, *list_, sizeof(char*) * static_cast<size_t>(*count_)));
    if (shrunk != nullptr) *list_ = shrunk;
  }

  // Frees every path, those the list held on entry included.
  void Clear() {
    FreeList(*list_, *count_);
    *list_ = nullptr;
    *count_ = 0;
  }

 private:
  char*** list_;
  int32_t* count_;
  int32_t capacity_;
};

bool IsUsbHandle(RDRHANDLE handle) { return IsValidReaderHandle(handle) && handle->kind_tag == kKindUsb; }

platform::usb::Device* DeviceOf(RDRHANDLE handle) { return handle->usb.device.get(); }

void ResetAndAbort(platform::usb::Device* device, uint8_t pipe_id) {
  device->ResetPipe(pipe_id);
  device->AbortPipe(pipe_id);
}

void CancelTransfer(RDRHANDLE handle, bool read) {
  platform::usb::Device* device = DeviceOf(handle);
  if (device == nullptr) return;
  if (read) {
    device->CancelRead();
    if (handle->usb.interface_kind == kInterfaceReaderPipes) ResetAndAbort(device, handle->usb.in_pipe.pipe_id);
  } else {
    device->CancelWrite();
    if (handle->usb.interface_kind == kInterfaceReaderPipes) ResetAndAbort(device, handle->usb.out_pipe.pipe_id);
  }
}

// The path the open really uses: a composite parent's path is replaced by
// the path of the child interface whose parent it names.
std::string ResolveCompositeParent(std::string path) {
  if (path.find(kCompositeParentMarker) == std::string::npos) return path;
  auto backend = platform::usb::GetBackend();
  for (InterfaceClass interface_class : kClassOrder) {
    auto interfaces = backend->EnumerateInterfaces(interface_class);
    if (!interfaces) continue;
    for (const auto& device_interface : *interfaces) {
      if (device_interface.parent_id.empty()) continue;
      if (path.find(RewriteDeviceId(device_interface.parent_id)) != std::string::npos) {
        path = device_interface.path;
        break;
      }
    }
  }
  return path;
}

void ConfigurePipes(RDRHANDLE handle, platform::usb::Device* device) {
  using namespace platform::usb;
  for (const PipeInfo& pipe : device->QueryPipes()) {
    if (pipe.pipe_type != 2) continue;
    if (pipe.pipe_id & 0x80) {
      handle->usb.in_pipe = pipe;
      Trace(handle, kTraceDetail, "\nBulk In [%02x] MaximumPacketSize = %d", pipe.pipe_id, pipe.max_packet_size);
    } else {
      handle->usb.out_pipe = pipe;
      Trace(handle, kTraceDetail, "\nBulk Out [%02x] MaximumPacketSize = %d", pipe.pipe_id, pipe.max_packet_size);
    }
  }
  const uint8_t in = handle->usb.in_pipe.pipe_id;
  const uint8_t out = handle->usb.out_pipe.pipe_id;
  uint32_t maximum_transfer = 0;
  if (device->GetPipePolicy(in, kMaximumTransferSize, &maximum_transfer)) {
    RDRPacketSizeSet(handle, static_cast<int32_t>(maximum_transfer));
  }
  device->SetPipePolicy(in, kPipeTransferTimeout, 0);
  device->SetPipePolicy(out, kPipeTransferTimeout, 0);
  device->SetPipePolicy(out, kShortPacketTerminate, 1);
  device->SetPipePolicy(in, kIgnoreShortPackets, 0);
  device->SetPipePolicy(in, kAllowPartialReads, 1);
  device->SetPipePolicy(in, kAutoFlush, 0);
  for (uint8_t pipe_id : {in, out}) {
    uint16_t status = 0;
    if (device->GetEndpointStatus(pipe_id, &status) && status != 0) device->ResetPipe(pipe_id);
  }
}

enum class Direction { kRead, kWrite };

// The shared loop of MyReadFile and MyWriteFile.
int32_t TimedTransfer(Direction direction, RDRHANDLE handle, void* buffer, int32_t bytes, int32_t* nBytes,
                      uint32_t limit) {
  const bool read = direction == Direction::kRead;
  const char* name = read ? "MyReadFile" : "MyWriteFile";
  const uint32_t start = platform::GetClock().TickCount();
  if (!HandleEnter(handle, name, __LINE__)) return 0;
  // Checked once: the transfer runs under the handle's lock, so its trace log
  // cannot change underneath it.
  const bool traced = HandleTraced(handle);
  if (traced) {
    TraceParameters(handle, {{"vhdl", handle},
                             {"buffer", buffer},
                             {"bytes", bytes},
                             {"nBytes", nBytes},
                             {"timeout", static_cast<int32_t>(limit)}});
  }
  if (nBytes == nullptr || bytes < 0 || (buffer == nullptr && bytes > 0) || handle->kind_tag != kKindUsb) {
    SetLibraryError(handle, kErrInvalidParameter);
    return HandleExit(handle, name, __LINE__, kCheckNonZero, 0);
  }
  *nBytes = 0;
  // "\nLooking for %d bytes" or "\nSending %d bytes". The lines written at
  // every transfer are put together piece by piece; each says its format.
  if (traced) {
    LogLine(handle->trace, kTraceDetail).Literal(read ? "Looking for " : "Sending ").Decimal(bytes).Literal(" bytes");
  }

  const char* aborted = read ? "\nRead aborted" : "\nWrite aborted";
  if (CallProgressCallback(handle, handle->progress) == 0) {
    Trace(handle, kTraceError, "%s", aborted);
    SetLibraryError(handle, kErrCallbackAbort);
    return HandleExit(handle, name, __LINE__, kCheckNonZero, 0);
  }

  platform::usb::Device* device = DeviceOf(handle);
  bool issued = false;
  if (device == nullptr) {
    SetLibraryError(handle, kErrUsbConnectionLost);
  } else {
    auto* bytes_pointer = static_cast<uint8_t*>(buffer);
    const size_t size = static_cast<size_t>(bytes);
    issued = read ? device->IssueRead(handle->usb.in_pipe.pipe_id, std::span<uint8_t>(bytes_pointer, size))
                  : device->IssueWrite(handle->usb.out_pipe.pipe_id, std::span<const uint8_t>(bytes_pointer, size));
    if (!issued) SetErrorCode(handle, static_cast<int32_t>(platform::GetLastSystemError()));
  }
  if (!issued) {
    Trace(handle, kTraceError, read ? "\nUnable to issue read" : "\nUnable to issue write");
    return HandleExit(handle, name, __LINE__, kCheckNonZero, 0);
  }

  // The handle's timeout field, taken as milliseconds, paces the waits
  // (writes on the reader interface wait that many seconds). At least 1 ms,
  // so that a failing wait still lets time pass.
  uint32_t wait = static_cast<uint32_t>(std::max(handle->timeout, 1));
  if (!read && handle->usb.interface_kind == kInterfaceReaderPipes) wait *= 1000;
  const char* line = read ? "\nPlatformRead of %d bytes with result %d" : "\nPlatformWrite of %d bytes with result %d";
  // The still-image interface completes a transfer through its completion
  // routine, which reports the byte count together with an error code: a
  // transfer that completed with an error is still finished, with whatever it
  // moved. The reader interface reports success or failure of the overlapped
  // result instead, and a failed one leaves the transfer unfinished.
  const bool file_interface = handle->usb.interface_kind == kInterfaceStillImage;
  auto wait_once = [&]() {
    uint32_t count = 0;
    WaitResult result = read ? device->WaitRead(wait, &count) : device->WaitWrite(wait, &count);
    if (result == WaitResult::kDone) {
      *nBytes = static_cast<int32_t>(count);
      if (traced) {
        LogLine(handle->trace, kTraceDetail)  // the text of `line`
            .Literal(read ? "PlatformRead of " : "PlatformWrite of ")
            .Decimal(static_cast<int32_t>(count))
            .Literal(" bytes with result ")
            .Decimal(file_interface ? 0 : 1);
      }
      return true;
    }
    if (result == WaitResult::kFailed) {
      const auto error = static_cast<int32_t>(platform::GetLastSystemError());
      SetErrorCode(handle, error);
      if (file_interface) {
        *nBytes = static_cast<int32_t>(count);
        Trace(handle, kTraceDetail, line, static_cast<int32_t>(count), error);
        return true;
      }
      Trace(handle, kTraceDetail, line, static_cast<int32_t>(count), 0);
      // A failed completion is seen again at once; let the wait's time pass
      // so the time limit, not a spin, ends the loop.
      platform::GetClock().Sleep(wait);
    }
    return false;
  };

  bool done = wait_once();
  while (!done) {
    if (CallProgressCallback(handle, handle->progress) == 0) {
      CancelTransfer(handle, read);
      Trace(handle, kTraceError, "%s", aborted);
      SetLibraryError(handle, kErrCallbackAbort);
      return HandleExit(handle, name, __LINE__, kCheckNonZero, 0);
    }
    if (platform::GetClock().TickCount() - start > limit) {
      done = wait_once();
      if (!done) {
        CancelTransfer(handle, read);
        Trace(handle, kTraceError, read ? "\nRead of %d bytes timed out" : "\nWrite of %d bytes timed out", bytes);
        SetLibraryError(handle, kErrTimeout);
        return HandleExit(handle, name, __LINE__, kCheckNonZero, 0);
      }
      break;
    }
    done = wait_once();
  }

  if (read) {
    // "\nRead %d bytes"
    if (traced) LogLine(handle->trace, kTraceDetail).Literal("Read ").Decimal(*nBytes).Literal(" bytes");
    return HandleExit(handle, name, __LINE__, kCheckNonZero, 1);
  }
  if (*nBytes != bytes) {
    if (*nBytes != 0) Trace(handle, kTraceError, "\nWrite incomplete of %d bytes", *nBytes);
    SetLibraryError(handle, kErrUsbSend);
    return HandleExit(handle, name, __LINE__, kCheckNonZero, 0);
  }
  // "\nWrote %d bytes"
  if (traced) LogLine(handle->trace, kTraceDetail).Literal("Wrote ").Decimal(*nBytes).Literal(" bytes");
  return HandleExit(handle, name, __LINE__, kCheckNonZero, 1);
}

}  // namespace

bool DevicePathMatches(const char* path, int32_t product_id) {
  if (path == nullptr) return false;
  return std::any_of(std::begin(kVendorIds), std::end(kVendorIds),
                     [&](uint16_t vendor) { return PathMatchesVendor(path, vendor, product_id); });
}

int32_t USBDeviceList(int32_t product_id, char*** device_list, int32_t* device_count) {
  LOGHANDLE global = LogGetGlobal();
  LogEnter(global, "USBDeviceList", __LINE__);
  LogTracePointer(global, "device_list", device_list);
  LogTracePointer(global, "device_count", device_count);
  if (device_list == nullptr || device_count == nullptr) {
    SetLibraryError(nullptr, kErrInvalidParameter);
    return LogExit(global, "USBDeviceList", __LINE__, kCheckNonZero, 0);
  }
  ListBuilder list(device_list, device_count);
  auto backend = platform::usb::GetBackend();
  for (InterfaceClass interface_class : kClassOrder) {
    auto interfaces = backend->EnumerateInterfaces(interface_class);
    if (!interfaces) {
      SetErrorCode(nullptr, static_cast<int32_t>(platform::GetLastSystemError()));
      list.Clear();
      return LogExit(global, "USBDeviceList", __LINE__, kCheckNonZero, 0);
    }
    for (const auto& device_interface : *interfaces) {
      if (!DevicePathMatches(device_interface.path.c_str(), product_id)) continue;
      std::string reported = device_interface.path;
      if (product_id == kSelectCompositeParent && !device_interface.parent_id.empty()) {
        reported = "\\\\?\\" + RewriteDeviceId(device_interface.parent_id) + "#" + platform::usb::kStillImageClassGuid;
      }
      if (!list.Append(reported)) {
        list.Clear();
        return LogExit(global, "USBDeviceList", __LINE__, kCheckNonZero, 0);
      }
    }
  }
  list.ShrinkToCount();
  return LogExit(global, "USBDeviceList", __LINE__, kCheckNonZero, 1);
}

void USBDeviceListFree(char** device_list, int32_t device_count) {
  LOGHANDLE global = LogGetGlobal();
  LogEnter(global, "USBDeviceListFree", __LINE__);
  LogTracePointer(global, "device_list", device_list);
  LogTraceInt(global, "device_count", device_count);
  FreeList(device_list, device_count);
  LogExit(global, "USBDeviceListFree", __LINE__, kCheckAlways, 0);
}

int32_t ReaderDeviceList(int32_t product_id, char*** device_list, int32_t* device_count) {
  static constexpr int32_t kBeforeMemory[] = {0x42, 0x44, 0x46, 0x47, 0x48, 0x60, 0x64};
  static constexpr int32_t kAfterMemory[] = {0x70, 0x72, 0x73, 0x4000, 0x400C, 0x400D, 0x4004, 0x4009, 0x4019, 0x76};
  static constexpr int32_t kLowRange[] = {0x42, 0x44, 0x46, 0x47, 0x48};
  auto list_each = [&](std::span<const int32_t> product_ids) {
    for (int32_t id : product_ids) {
      if (USBDeviceList(id, device_list, device_count) != 1) return false;
    }
    return true;
  };
  if (product_id == kSelectAll) {
    if (!list_each(kBeforeMemory)) return 0;
    if (MEMDeviceList(0x70, device_list, device_count) != 1) return 0;
    if (!list_each(kAfterMemory)) return 0;
  } else if (product_id == kSelectLowRange) {
    if (!list_each(kLowRange)) return 0;
  } else {
    int32_t result = USBDeviceList(product_id == kSelectHighRange ? 0x60 : product_id, device_list, device_count);
    if (result != 1) return result;
  }
  if (*device_count > 0) return 1;

  auto devices = platform::usb::GetBackend()->EnumerateDevices();
  if (!devices) return 1;
  for (const auto& device : *devices) {
    if (device.description.compare(0, 2, "Q5") == 0 && device.config_flags == 1) {
      SetLibraryError(nullptr, kErrReaderDisabled);
      return 0;
    }
  }
  return 1;
}

void ReaderDeviceListFree(char** device_list, int32_t device_count) { USBDeviceListFree(device_list, device_count); }

int32_t UsbOpenDevice(RDRHANDLE handle) {
  if (handle->usb.device_path.empty()) return 0;
  const std::string path = ResolveCompositeParent(handle->usb.device_path);
  auto backend = platform::usb::GetBackend();
  handle->usb.interface_kind = kInterfaceUnresolved;
  auto interface_class = backend->ClassOfPath(path);
  if (!interface_class) return 0;
  handle->usb.interface_kind =
      *interface_class == InterfaceClass::kStillImage ? kInterfaceStillImage : kInterfaceReaderPipes;

  auto device = backend->Open(path);
  if (!device) {
    SetErrorCode(handle, static_cast<int32_t>(platform::GetLastSystemError()));
    return 0;
  }
  if (handle->usb.interface_kind == kInterfaceStillImage) {
    device->DeviceControl(0x8000201C, 1);
    device->DeviceControl(0x8000201C, 2);
  } else {
    ConfigurePipes(handle, device.get());
  }
  handle->usb.device = std::move(device);
  Trace(handle, kTraceDetail, "\nHandle opened");
  PlatformFlush(handle);
  Trace(handle, kTraceDetail, "\nHandle flushed");
  return 1;
}

int32_t UsbCloseDevice(RDRHANDLE handle) {
  if (!IsUsbHandle(handle)) {
    SetLibraryError(handle, kErrInvalidParameter);
    return 0;
  }
  platform::usb::Device* device = DeviceOf(handle);
  if (device != nullptr && handle->usb.interface_kind == kInterfaceReaderPipes) {
    ResetAndAbort(device, handle->usb.in_pipe.pipe_id);
    ResetAndAbort(device, handle->usb.out_pipe.pipe_id);
  }
  handle->usb.device.reset();
  return 1;
}

int32_t MyReadFile(RDRHANDLE handle, void* buffer, int32_t bytes, int32_t* nBytes, uint32_t timeout) {
  return TimedTransfer(Direction::kRead, handle, buffer, bytes, nBytes, timeout);
}

int32_t MyWriteFile(RDRHANDLE handle, const void* buffer, int32_t bytes, int32_t* nBytes, uint32_t timeout) {
  return TimedTransfer(Direction::kWrite, handle, const_cast<void*>(buffer), bytes, nBytes, timeout);
}

int32_t PlatformFlush(RDRHANDLE handle) {
  if (!IsUsbHandle(handle)) {
    SetLibraryError(handle, kErrInvalidParameter);
    return 0;
  }
  platform::usb::Device* device = DeviceOf(handle);
  if (device == nullptr) return 0;
  uint8_t scratch[kFlushChunk];
  const uint8_t in = handle->usb.in_pipe.pipe_id;
  if (handle->usb.interface_kind == kInterfaceReaderPipes) {
    for (int32_t chunk = 0; chunk < kFlushMaxChunks; ++chunk) {
      uint32_t count = 0;
      if (!device->IssueRead(in, scratch)) {
        ResetAndAbort(device, in);
        break;
      }
      const WaitResult result = device->WaitRead(60, &count);
      if (result == WaitResult::kPending) {
        // A quiet pipe: nothing more is queued. The scratch buffer must not
        // stay behind an outstanding read.
        device->CancelRead();
        ResetAndAbort(device, in);
        break;
      }
      // A completed read that failed or came short ends the flush as it is.
      if (result != WaitResult::kDone || count != kFlushChunk) break;
    }
    return 1;
  }
  int32_t total = 0;
  for (int32_t chunk = 0; chunk < kFlushMaxChunks; ++chunk) {
    if (!device->IssueRead(in, scratch)) return 0;
    platform::GetClock().SleepAlertable(50);
    uint32_t count = 0;
    bool done = device->WaitRead(0, &count) == WaitResult::kDone;
    if (done && count == kFlushChunk) {
      total += static_cast<int32_t>(count);
      continue;
    }
    device->CancelRead();
    platform::GetClock().SleepAlertable(10);
    total += static_cast<int32_t>(count);
    break;
  }
  Trace(handle, kTraceDetail, "\nPlatformFlush of %d bytes", total);
  return 1;
}
