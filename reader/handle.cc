#include "reader/handle.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_map>

#include "reader/frame.h"

thread_local constinit ReaderHandleRecord* t_innermost_frame = nullptr;

namespace {

// Owns every live reader handle record. Looking a pointer up here before
// touching it is what makes a stale or garbage handle harmless.
std::mutex g_registry_mutex;
std::unordered_map<RDRHANDLE, std::unique_ptr<ReaderHandleRecord>> g_registry;  // guarded by g_registry_mutex
uint64_t g_last_serial = 0;                                                     // guarded by g_registry_mutex
// Counts the records that left the registry; raised under its mutex. A
// handle found there stays there until the count moves, so each thread
// remembers the one it found last and checks it again without the mutex.
std::atomic<uint64_t> g_removals{0};
struct LastValid {
  RDRHANDLE handle = nullptr;
  uint64_t removals = 0;  // g_removals when it was found
};
thread_local LastValid t_last_valid;

bool IsTransportKind(uint32_t kind) { return kind == kKindSerial || kind == kKindUsb || kind == kKindMemory; }

void UnlinkFrame(RDRHANDLE handle) {
  for (RDRHANDLE* link = &t_innermost_frame; *link != nullptr; link = &(*link)->outer_frame) {
    if (*link == handle) {
      *link = handle->outer_frame;
      return;
    }
  }
}

}  // namespace

RDRHANDLE NewReaderHandle(uint32_t kind_tag) {
  std::unique_ptr<ReaderHandleRecord> record;
  try {
    record = std::make_unique<ReaderHandleRecord>();
  } catch (const std::bad_alloc&) {
    SetLibraryError(nullptr, kErrNoMemory);
    return nullptr;
  }
  record->kind_tag = kind_tag;
  record->timeout = 5;
  record->packet_size = 0x500000;
  RDRHANDLE handle = record.get();
  std::lock_guard lock(g_registry_mutex);
  record->serial = ++g_last_serial;
  g_registry.emplace(handle, std::move(record));
  return handle;
}

void InstallTransport(RDRHANDLE handle, const TransportOps& operations) {
  handle->transport = &operations;
  handle->close = operations.close;
}

void FreeReaderHandle(RDRHANDLE handle) {
  // A frame left open by a path that frees its own handle must not leave a
  // dangling link behind.
  UnlinkFrame(handle);
  std::unique_ptr<ReaderHandleRecord> record;
  {
    std::lock_guard lock(g_registry_mutex);
    auto found = g_registry.find(handle);
    if (found == g_registry.end()) return;
    record = std::move(found->second);
    g_registry.erase(found);
    g_removals.fetch_add(1, std::memory_order_release);
  }
  // Destroyed outside the registry lock: closing a device may take time.
}

bool IsValidReaderHandle(RDRHANDLE handle) {
  if (handle == nullptr || handle == InvalidReaderHandle()) return false;
  if (handle == t_last_valid.handle && t_last_valid.removals == g_removals.load(std::memory_order_acquire)) {
    return IsTransportKind(handle->kind_tag.load());
  }
  std::lock_guard lock(g_registry_mutex);
  auto found = g_registry.find(handle);
  if (found == g_registry.end()) return false;
  t_last_valid = {handle, g_removals.load(std::memory_order_relaxed)};
  return IsTransportKind(found->second->kind_tag.load());
}

bool InOpenFrameSlow(RDRHANDLE handle) {
  // Bounded: one link per handle in an open frame on this thread.
  for (RDRHANDLE frame = t_innermost_frame; frame != nullptr; frame = frame->outer_frame) {
    if (frame == handle) return true;
  }
  return false;
}

void EnterFrame(RDRHANDLE handle) {
  handle->outer_frame = t_innermost_frame;
  t_innermost_frame = handle;
}

void LeaveFrame(RDRHANDLE handle) { UnlinkFrame(handle); }

bool IsUsableReaderHandleSlow(RDRHANDLE handle) {
  if (handle != nullptr && InOpenFrame(handle)) return IsTransportKind(handle->kind_tag.load());
  return IsValidReaderHandle(handle);
}

void ParseFirmwareNumber(RDRHANDLE handle) {
  handle->firmware_number = handle->firmware_number2 = handle->firmware_number3 = 0;
  if (std::strncmp(handle->firmware_name, "FW-40990", 8) == 0) {
    handle->firmware_number = 40990;
    return;
  }
  std::sscanf(handle->firmware_name, "FW%d-%d-%d", &handle->firmware_number, &handle->firmware_number2,
              &handle->firmware_number3);
}
