#include "reader/frame.h"

#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstdlib>

#include "platform/clock.h"
#include "platform/system.h"
#include "reader/handle.h"
#include "trace/trace.h"

namespace {

// Pointers print as their full-width upper-case hexadecimal digits after the
// literal "0x" of each format, whatever the C library's %p would add.
#define QUORVEL_PTR "%016" PRIXPTR
constexpr int kPointerDigits = 16;
uintptr_t Address(const void* pointer) { return reinterpret_cast<uintptr_t>(pointer); }

std::atomic<int32_t> g_last_error{0};
// Test hook: the allocation with this number (counting down) fails.
std::atomic<int32_t> g_allocation_failure_countdown{0};

// Where a handle's trace lines go: its own instance when the handle is
// valid, else the global log.
LOGHANDLE TraceTarget(RDRHANDLE handle) { return IsUsableReaderHandle(handle) ? handle->trace : LogGetGlobal(); }

// Null and -1 mean no trace log: the usual case, decided without the trace
// registry. Anything else may still be stale; the trace log checks it.
bool Traced(LOGHANDLE log) { return log != nullptr && log != InvalidLogHandle(); }

void RaiseIndent(LOGHANDLE log, int32_t delta) {
  if (Traced(log)) LogAddIndent(log, delta);
}

// Entry refusal after the entry line: error line, failure exit line, block end.
int32_t RefuseEntry(RDRHANDLE handle, const char* error_format, const char* name, int32_t line) {
  if (!Traced(handle->trace)) return 0;
  const int32_t thread = platform::CurrentThreadId();
  LogWrite(handle->trace, kTraceDetail, error_format, name, line, thread);
  RaiseIndent(handle->trace, -1);
  LogWrite(handle->trace, kTraceEntry, "\nexit  %s(%d)[%d] with failure 0x%X, error=0x%x", name, line, thread, 0u,
           static_cast<uint32_t>(handle->last_error));
  LogBlockEnd(handle->trace);
  return 0;
}

// Calls the callback with the in-callback count raised around the call.
int32_t InvokeCallback(RDRHANDLE handle, uint32_t elapsed, int32_t progress) {
  ++handle->in_callback;
  int32_t answer = handle->callback(elapsed, progress, handle->callback_user);
  --handle->in_callback;
  return answer;
}

// The entry and exit lines and the parameter lines are written at every
// call, so they are put together piece by piece; each says the format whose
// text it makes.

// The block's begin, then "\nenter %s(%d)[%d]", then one more indentation.
void WriteEnterLine(LOGHANDLE log, const char* name, int32_t line) {
  LogLine(log, kTraceEntry, LineRole::kEntry)
      .Literal("enter ")
      .Name(name)
      .Literal("(")
      .Decimal(line)
      .Literal(")[")
      .ThreadId()
      .Literal("]");
}

// One indentation less, then
// "\nexit  %s(%d)[%d] with success 0x%X"
// "\nexit  %s(%d)[%d] with failure 0x%X, error=0x%x"
// (a pointer result as QUORVEL_PTR), then the block's end. `error` is the
// handle's last error for handle operations and the global one for
// handle-less operations.
void WriteExitLine(LOGHANDLE log, const char* name, int32_t line, bool success, uint64_t result, int result_width,
                   int32_t error) {
  LogLine exit(log, kTraceEntry, LineRole::kExit);
  exit.Literal("exit  ").Name(name).Literal("(").Decimal(line).Literal(")[").ThreadId();
  if (success) {
    exit.Literal("] with success 0x").Hex(result, true, result_width);
  } else {
    exit.Literal("] with failure 0x").Hex(result, true, result_width);
    exit.Literal(", error=0x").Hex(static_cast<uint32_t>(error), false);
  }
}

void WriteExitInteger(LOGHANDLE log, const char* name, int32_t line, bool success, int32_t result, int32_t error) {
  if (Traced(log)) WriteExitLine(log, name, line, success, static_cast<uint32_t>(result), 0, error);
}

void WriteExitPointer(LOGHANDLE log, const char* name, int32_t line, bool success, const void* result, int32_t error) {
  if (Traced(log)) WriteExitLine(log, name, line, success, Address(result), kPointerDigits, error);
}

// "\n%s=0x" QUORVEL_PTR for a pointer, "\n%s=0x%x" for an integer, one
// line each, all stamped alike.
void WriteParameters(LOGHANDLE log, std::initializer_list<TracedParameter> parameters) {
  if (!Traced(log) || parameters.size() == 0) return;
  LogLine lines(log, kTraceParameter);
  for (const TracedParameter& parameter : parameters) {
    if (&parameter != parameters.begin()) lines.NewLine();
    lines.Name(parameter.name()).Literal("=0x");
    if (parameter.pointer()) {
      lines.Hex(parameter.value(), true, kPointerDigits);
    } else {
      lines.Hex(parameter.value(), false);
    }
  }
}

}  // namespace

bool CheckIntegerResult(uint32_t check, int32_t result) {
  switch (check) {
    case kCheckAlways: return true;
    case kCheckNonZero: return result != 0;
    case kCheckPositive: return result > 0;
    case kCheckNonNegative: return result >= 0;
    case kCheckNotPositive: return result <= 0;
    case kCheckPositive2: return result > 0;
    case kCheckZero: return result == 0;
    case kCheckNever:
    case kCheckFailure: return false;
    case kCheckInvalidHandle: return result == static_cast<int32_t>(kCheckInvalidHandle);
    case kCheckValidHandle: return result == static_cast<int32_t>(kCheckValidHandle);
    default: return result == static_cast<int32_t>(check);
  }
}

bool CheckPointerResult(uint32_t check, const void* result) {
  const void* all_ones = InvalidReaderHandle();
  switch (check) {
    case kCheckAlways: return true;
    case kCheckNonZero: return result != nullptr;
    case kCheckZero: return result == nullptr;
    case kCheckInvalidHandle: return result == all_ones;
    case kCheckValidHandle: return result != all_ones;
    default: return false;
  }
}

int32_t SetErrorCode(RDRHANDLE handle, int32_t code) {
  g_last_error.store(code, std::memory_order_relaxed);
  platform::SetLastSystemError(static_cast<uint32_t>(code));
  if (IsUsableReaderHandle(handle)) {
    handle->last_error = code;
    if (Traced(handle->trace))
      LogWrite(handle->trace, kTraceError, "\nSet error code to %x", static_cast<uint32_t>(code));
  }
  return code;
}

int32_t SetLibraryError(RDRHANDLE handle, int32_t number) { return SetErrorCode(handle, LibraryError(number)); }

int32_t LibraryError(int32_t number) { return kLibraryErrorBase + number; }

int32_t LibraryErrorNumber(int32_t code) {
  int64_t number = static_cast<int64_t>(code) - kLibraryErrorBase;
  return number >= 0 && number <= 32768 ? static_cast<int32_t>(number) : 0;
}

int32_t GetErrorCode() { return g_last_error.load(std::memory_order_relaxed); }

int32_t RDRInitialize() { return 1; }

// The handle lock is held from the outermost entry to its exit. Whether an
// entry is nested is decided from the calling thread's own open frames, never
// from the depth: another thread's reading of the depth would race with the
// owner's updates, and could let two threads into one handle at once. Nested
// entries and exits leave the lock alone; it is already held. Taking it
// before the in-callback test also means only the callback's own thread can
// be refused as re-entrant; other threads simply wait.
namespace {

int32_t Enter(RDRHANDLE handle, const char* name, int32_t line, bool abort_refuses) {
  if (!IsUsableReaderHandle(handle)) {
    SetLibraryError(nullptr, kErrInvalidParameter);
    return 0;
  }
  const bool held = InOpenFrame(handle);
  if (!held) handle->lock.lock();
  if (Traced(handle->trace)) WriteEnterLine(handle->trace, name, line);
  if (handle->in_callback != 0) {
    SetLibraryError(handle, kErrCallbackReentry);
    RefuseEntry(handle, "\nERROR: enter %s(%d)[%d] with recursive call from callback function", name, line);
    if (!held) handle->lock.unlock();
    return 0;
  }
  if (++handle->depth > 1) return 1;
  EnterFrame(handle);

  // Only the progress callback measures the operation's time.
  if (handle->callback != nullptr) handle->operation_start = platform::GetClock().TickCount();
  handle->progress = -1;
  handle->abort_overruled = false;
  if (handle->callback != nullptr && InvokeCallback(handle, 0, 0) == 0) {
    if (!abort_refuses) {
      handle->abort_overruled = true;
      return 1;
    }
    SetLibraryError(handle, kErrCallbackAbort);
    handle->depth = 0;
    LeaveFrame(handle);
    RefuseEntry(handle, "\nERROR: enter %s(%d)[%d] aborted by callback", name, line);
    handle->lock.unlock();
    return 0;
  }
  return 1;
}

}  // namespace

int32_t HandleEnter(RDRHANDLE handle, const char* name, int32_t line) { return Enter(handle, name, line, true); }

int32_t HandleEnterPastAbort(RDRHANDLE handle, const char* name, int32_t line) {
  return Enter(handle, name, line, false);
}

namespace {

// Exit steps 2-3 shared by the integer and pointer forms; true when the
// callback aborted the operation.
bool ExitCallbackAndDepth(RDRHANDLE handle, const char* name, int32_t line, int32_t abort_level) {
  bool aborted = false;
  const bool ask = handle->depth == 1 && !handle->abort_overruled;
  if (handle->depth == 1) handle->abort_overruled = false;
  if (ask && handle->callback != nullptr) {
    uint32_t elapsed = platform::GetClock().TickCount() - handle->operation_start;
    if (InvokeCallback(handle, elapsed, 100) == 0) {
      SetLibraryError(handle, kErrCallbackAbort);
      if (Traced(handle->trace))
        LogWrite(handle->trace, abort_level, "\nERROR: exit %s(%d)[%d] aborted by callback", name, line,
                 platform::CurrentThreadId());
      aborted = true;
    }
  }
  if (handle->depth > 0 && --handle->depth == 0) LeaveFrame(handle);
  return aborted;
}

}  // namespace

int32_t HandleExit(RDRHANDLE handle, const char* name, int32_t line, uint32_t check, int32_t result) {
  if (!IsUsableReaderHandle(handle)) {
    SetLibraryError(nullptr, kErrInvalidParameter);
    return 0;
  }
  if (ExitCallbackAndDepth(handle, name, line, kTraceError)) {
    check = kCheckFailure;
    result = 0;
  }
  WriteExitInteger(handle->trace, name, line, CheckIntegerResult(check, result), result, handle->last_error);
  if (handle->depth == 0) handle->lock.unlock();
  return result;
}

void* HandleExitPointer(RDRHANDLE handle, const char* name, int32_t line, uint32_t check, void* result) {
  if (!IsUsableReaderHandle(handle)) {
    SetLibraryError(nullptr, kErrInvalidParameter);
    return nullptr;
  }
  if (ExitCallbackAndDepth(handle, name, line, kTraceDetail)) {
    check = kCheckFailure;
    result = nullptr;
  }
  WriteExitPointer(handle->trace, name, line, CheckPointerResult(check, result), result, handle->last_error);
  if (handle->depth == 0) handle->lock.unlock();
  return result;
}

int32_t LogEnter(LOGHANDLE log, const char* name, int32_t line) {
  if (!Traced(log)) return 1;
  WriteEnterLine(log, name, line);
  return 1;
}

int32_t LogExit(LOGHANDLE log, const char* name, int32_t line, uint32_t check, int32_t result) {
  WriteExitInteger(log, name, line, CheckIntegerResult(check, result), result, GetErrorCode());
  return result;
}

void* LogExitPointer(LOGHANDLE log, const char* name, int32_t line, uint32_t check, void* result) {
  WriteExitPointer(log, name, line, CheckPointerResult(check, result), result, GetErrorCode());
  return result;
}

void TraceParameters(RDRHANDLE handle, std::initializer_list<TracedParameter> parameters) {
  WriteParameters(TraceTarget(handle), parameters);
}

void TraceInt(RDRHANDLE handle, std::string_view name, int32_t value) { TraceParameters(handle, {{name, value}}); }

void TracePointer(RDRHANDLE handle, std::string_view name, const void* pointer) {
  TraceParameters(handle, {{name, pointer}});
}

void TraceString(RDRHANDLE handle, std::string_view name, const char* text) {
  LOGHANDLE log = TraceTarget(handle);
  if (!Traced(log)) return;
  WriteParameters(log, {{name, text}});
  if (text != nullptr) LogWrite(log, kTraceParameter, "(%s)", text);
}

// The log filters by level before it formats, so no check is needed here.
void Trace(RDRHANDLE handle, int32_t level, const char* format, ...) {
  LOGHANDLE log = TraceTarget(handle);
  if (!Traced(log)) return;
  va_list arguments;
  va_start(arguments, format);
  LogWriteV(log, level, format, arguments);
  va_end(arguments);
}

void TraceDump(RDRHANDLE handle, int32_t level, const void* data, int32_t count, const char* format, ...) {
  LOGHANDLE log = TraceTarget(handle);
  if (!Traced(log) || !LogWants(log, level)) return;
  va_list arguments;
  va_start(arguments, format);
  LogHexDumpV(log, level, data, count, format, arguments);
  va_end(arguments);
}

void LogTraceString(LOGHANDLE log, std::string_view name, const char* text) {
  LogWrite(log, kTraceParameter, "\n%.*s=0x" QUORVEL_PTR " (%s)", static_cast<int>(name.size()), name.data(),
           Address(text), text != nullptr ? text : "NULL");
}

void LogTracePointer(LOGHANDLE log, std::string_view name, const void* pointer) {
  WriteParameters(log, {{name, pointer}});
}

void LogTraceInt(LOGHANDLE log, std::string_view name, int32_t value) { WriteParameters(log, {{name, value}}); }

void SetAllocationFailureCountdown(int32_t countdown) { g_allocation_failure_countdown.store(countdown); }

void* PlatformAlloc(RDRHANDLE handle, void* block, size_t size) {
  if (size == 0) {
    std::free(block);
    return nullptr;
  }
  void* resized = nullptr;
  int32_t countdown = g_allocation_failure_countdown.load();
  bool injected = countdown > 0 && g_allocation_failure_countdown.fetch_sub(1) == 1;
  if (!injected) resized = std::realloc(block, size);
  if (resized == nullptr) SetLibraryError(handle, kErrNoMemory);
  // Written for a failed request too, where the address shows as 0.
  if (IsUsableReaderHandle(handle) && Traced(handle->trace)) {
    LogWrite(handle->trace, kTraceDetail, "\nPlatformAlloc of %d bytes at 0x%" PRIxPTR, static_cast<int32_t>(size),
             reinterpret_cast<uintptr_t>(resized));
  }
  return resized;
}

int32_t CallProgressCallback(RDRHANDLE handle, int32_t progress) {
  if (handle->callback == nullptr) return 1;
  return InvokeCallback(handle, platform::GetClock().TickCount() - handle->operation_start, progress);
}

// A callback that answers abort at entry to every operation would otherwise
// keep itself installed for good, and with it every file object and reader
// its owner can no longer close; so its entry answer cannot refuse its own
// replacement. A callback that lets the call in still judges it at exit, and
// a call failed there changes nothing.
int32_t RDRCallbackSet(RDRHANDLE handle, RDRCALLBACK callback, uint32_t user) {
  if (!HandleEnterPastAbort(handle, "RDRCallbackSet", __LINE__)) return 0;
  TracePointer(handle, "vhdl", handle);
  TracePointer(handle, "callback", reinterpret_cast<const void*>(callback));
  TraceInt(handle, "user", static_cast<int32_t>(user));
  // Installed after the exit step, so the new callback is first called by
  // the next operation rather than by its own installation.
  std::lock_guard keep(handle->lock);
  int32_t result = HandleExit(handle, "RDRCallbackSet", __LINE__, kCheckNonZero, 1);
  if (result != 0) {
    // The entry step reads the clock only for a callback; one installed
    // inside a running operation measures from its installation.
    if (handle->depth > 0 && handle->callback == nullptr) handle->operation_start = platform::GetClock().TickCount();
    handle->callback = callback;
    handle->callback_user = user;
  }
  return result;
}

int32_t RDRClose(RDRHANDLE handle) {
  if (!IsValidReaderHandle(handle)) {
    SetLibraryError(handle, kErrInvalidParameter);
    return 0;
  }
  LOGHANDLE global = LogGetGlobal();
  LogEnter(global, "RDRClose", __LINE__);
  LogTracePointer(global, "vhdl", handle);
  {
    // Only the thread running the callback can hold the lock here, so this
    // waits for any other thread's operation rather than refusing it.
    std::lock_guard keep(handle->lock);
    if (handle->in_callback != 0) {
      // The operation that called the callback still uses the record.
      SetLibraryError(handle, kErrCallbackReentry);
      return LogExit(global, "RDRClose", __LINE__, kCheckNonZero, 0);
    }
  }
  RDRLogSet(handle, nullptr);
  if (handle->close != nullptr) handle->close(handle);
  LogExit(global, "RDRClose", __LINE__, kCheckAlways, 1);
  return 1;
}

// Past an abort answer: RDRClose releases the handle's trace instance
// through here, whatever the callback wants.
int32_t RDRLogSet(RDRHANDLE handle, LOGHANDLE log) {
  if (!HandleEnterPastAbort(handle, "RDRLogSet", __LINE__)) return 0;
  TracePointer(handle, "vhdl", handle);
  TracePointer(handle, "lhdl", log);
  Trace(handle, kTraceDetail, "\nRemoving instance 0x" QUORVEL_PTR " from logging", Address(handle));
  {
    // Held across the swap so no other thread traces through the instance
    // being detached.
    std::lock_guard keep(handle->lock);
    HandleExit(handle, "RDRLogSet", __LINE__, kCheckNonZero, 1);
    if (LogIsValid(handle->trace)) LogDetachInstance(handle->trace);
    handle->trace = LogAttachInstance(log);
  }
  if (!HandleEnterPastAbort(handle, "RDRLogSet", __LINE__)) return 0;
  Trace(handle, kTraceDetail, "\nAdded instance 0x" QUORVEL_PTR " to Logging", Address(handle));
  return HandleExit(handle, "RDRLogSet", __LINE__, kCheckNonZero, 1);
}
