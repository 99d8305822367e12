#include "transport/memory.h"

#include "reader/frame.h"
#include "reader/handle.h"
#include "trace/trace.h"

namespace {

int32_t MemoryClose(RDRHANDLE handle) {
  handle->kind_tag = 0;
  FreeReaderHandle(handle);
  return 1;
}

const TransportOps kMemoryTransport{MEMSendReceive, MEMFlush, nullptr, MemoryClose};

}  // namespace

RDRHANDLE MEMOpen() {
  LOGHANDLE instance = LogAttachInstance(LogGetGlobal());
  RDRHANDLE handle = NewReaderHandle(kKindMemory);
  if (handle == nullptr) {
    LogDetachInstance(instance);
    return InvalidReaderHandle();
  }
  InstallTransport(handle, kMemoryTransport);
  handle->capability_flags = kCapExtendedRequests;
  handle->trace = instance;
  return handle;
}

int32_t MEMDeviceList(int32_t /*product_id*/, char*** device_list, int32_t* device_count) {
  LOGHANDLE global = LogGetGlobal();
  LogEnter(global, "MEMDeviceList", __LINE__);
  LogTracePointer(global, "device_list", device_list);
  LogTracePointer(global, "device_count", device_count);
  return LogExit(global, "MEMDeviceList", __LINE__, kCheckNonZero, 1);
}

int32_t MEMFlush(RDRHANDLE handle) {
  if (!HandleEnter(handle, "MEMFlush", __LINE__)) return 0;
  TracePointer(handle, "vhdl", handle);
  return HandleExit(handle, "MEMFlush", __LINE__, kCheckNonZero, 1);
}

int32_t MEMSendReceive(RDRHANDLE handle, RDRMSGHDR* ohdr, const void* odata, RDRMSGHDR* ihdr, void* idata) {
  if (!HandleEnter(handle, "MEMSendReceive", __LINE__)) return 0;
  TraceParameters(handle, {{"vhdl", handle}, {"ohdr", ohdr}, {"odata", odata}, {"ihdr", ihdr}, {"idata", idata}});
  return HandleExit(handle, "MEMSendReceive", __LINE__, kCheckNonZero, 0);
}
