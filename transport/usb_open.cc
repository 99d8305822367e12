#include <cstdio>
#include <cstring>
#include <string>

#include "reader/frame.h"
#include "reader/handle.h"
#include "reader/little_endian.h"
#include "trace/trace.h"
#include "transport/usb.h"
#include "transport/usb_device.h"

namespace {

constexpr int32_t kOpenTimeoutSeconds = 2;
constexpr int32_t kLongFirstRead = 512;
constexpr int32_t kShortFirstRead = 64;

int32_t UsbClose(RDRHANDLE handle) {
  if (!IsValidReaderHandle(handle) || handle->kind_tag != kKindUsb) {
    SetLibraryError(handle, kErrInvalidParameter);
    return 0;
  }
  Trace(handle, kTraceDetail, "\nClosing reader on path \"%s\"", handle->usb.device_path.c_str());
  UsbCloseDevice(handle);
  handle->kind_tag = 0;
  FreeReaderHandle(handle);
  return 1;
}

const TransportOps kUsbTransport{UsbExchange, USBFlush, USBReconnect, UsbClose};

// Service 4 with mask 0: bit 0x80 of the status word tells whether the
// reader answers the extended information requests.
void ProbeCapabilities(RDRHANDLE handle) {
  uint8_t request[60] = {4};
  uint8_t reply[60] = {};
  RDRMSGHDR ohdr{sizeof(request), 14, 0};
  RDRMSGHDR ihdr{sizeof(reply), 0, 0};
  if (!RDRSendReceive(handle, &ohdr, request, &ihdr, reply)) return;
  const uint32_t status = ReadLe32(reply, 0);
  if (status == 0 && (reply[4] & 0x80) == 0) handle->capability_flags &= ~kCapExtendedRequests;
}

// One attempt at the firmware name; a timed-out reader gets a second try
// with the short first read.
bool ReadFirmwareName(RDRHANDLE handle) {
  if (RDRFirmwareString(handle, handle->firmware_name, sizeof(handle->firmware_name) - 1)) return true;
  if (LibraryErrorNumber(GetErrorCode()) != kErrTimeout) return false;
  handle->first_read_length = kShortFirstRead;
  return RDRFirmwareString(handle, handle->firmware_name, sizeof(handle->firmware_name) - 1) != 0;
}

void ClearName(RDRHANDLE handle) { std::memset(handle->firmware_name, 0, sizeof(handle->firmware_name)); }

void IdentifyFirmware(RDRHANDLE handle) {
  if (ReadFirmwareName(handle)) return;
  ClearName(handle);
  if (RDRFlush(handle)) {
    handle->first_read_length = kLongFirstRead;
    ClearName(handle);
    if (ReadFirmwareName(handle)) return;
    ClearName(handle);
  }
  if (RDRReconnect(handle)) {
    handle->first_read_length = kLongFirstRead;
    ClearName(handle);
    if (!ReadFirmwareName(handle)) ClearName(handle);
  }
}

}  // namespace

RDRHANDLE RDROpenUSB(const char* path) {
  LOGHANDLE instance = LogAttachInstance(LogGetGlobal());
  LogEnter(instance, "RDROpenUSB", __LINE__);
  LogTraceString(instance, "path", path);
  auto fail = [&]() {
    LogExitPointer(instance, "RDROpenUSB", __LINE__, kCheckFailure, InvalidReaderHandle());
    LogDetachInstance(instance);
    return InvalidReaderHandle();
  };

  std::string device_path;
  if (path != nullptr) {
    device_path = path;
  } else {
    char** list = nullptr;
    int32_t count = 0;
    if (!USBDeviceList(kSelectAll, &list, &count)) return fail();
    if (count == 0) {
      SetLibraryError(nullptr, kErrNotFound);
      return fail();
    }
    device_path.assign(list[0], strnlen(list[0], 99));
    USBDeviceListFree(list, count);
  }

  RDRHANDLE handle = NewReaderHandle(kKindUsb);
  if (handle == nullptr) return fail();
  InstallTransport(handle, kUsbTransport);
  handle->timeout = kOpenTimeoutSeconds;
  handle->capability_flags = kCapExtendedRequests;
  handle->trace = instance;
  handle->usb.device_path = device_path;
  if (!UsbOpenDevice(handle)) {
    FreeReaderHandle(handle);
    return fail();
  }

  Trace(handle, kTraceDetail, "\nOpening reader on path \"%s\"", handle->usb.device_path.c_str());
  handle->first_read_length = kLongFirstRead;

  ProbeCapabilities(handle);
  IdentifyFirmware(handle);
  ParseFirmwareNumber(handle);

  if (handle->firmware_number == 0) {
    UsbCloseDevice(handle);
    FreeReaderHandle(handle);
    return fail();
  }
  return static_cast<RDRHANDLE>(LogExitPointer(instance, "RDROpenUSB", __LINE__, kCheckAlways, handle));
}
