#include "reader/frame.h"
#include "reader/handle.h"
#include "trace/trace.h"

uint32_t DecodeMessageSize(uint16_t size) {
  if (size < 0x8000) return size;
  if (size < 0xC000) return static_cast<uint32_t>(size & 0x3FFF) * 256;
  return static_cast<uint32_t>(size & 0x3FFF) * 2048;
}

int32_t RDRSendReceive(RDRHANDLE handle, RDRMSGHDR* ohdr, const void* odata, RDRMSGHDR* ihdr, void* idata) {
  if (!HandleEnter(handle, "RDRSendReceive", __LINE__)) return 0;
  if (HandleTraced(handle)) {
    TraceParameters(handle, {{"vhdl", handle}, {"ohdr", ohdr}, {"odata", odata}, {"ihdr", ihdr}, {"idata", idata}});
  }
  int32_t result = 0;
  if (handle->transport != nullptr && handle->transport->send_receive != nullptr) {
    result = handle->transport->send_receive(handle, ohdr, odata, ihdr, idata);
  } else {
    SetLibraryError(handle, kErrNotSupported);
  }
  return HandleExit(handle, "RDRSendReceive", __LINE__, kCheckNonZero, result);
}
