// The common call frame of every library operation: handle check, per-handle
// lock, entry and exit trace lines, progress callback, last error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "reader/rdr.h"

// Check values that judge a result at the exit step.
inline constexpr uint32_t kCheckAlways = 0x7FFFFFFC;
inline constexpr uint32_t kCheckNonZero = 0x7FFFFFFD;
inline constexpr uint32_t kCheckPositive = 0x7FFFFFFE;
inline constexpr uint32_t kCheckNonNegative = 0x7FFFFFFF;
inline constexpr uint32_t kCheckNotPositive = 0x80000001;
inline constexpr uint32_t kCheckPositive2 = 0x80000002;
inline constexpr uint32_t kCheckZero = 0x80000003;
inline constexpr uint32_t kCheckNever = 0x80000000;
inline constexpr uint32_t kCheckFailure = 0x80000004;
inline constexpr uint32_t kCheckInvalidHandle = 0x7FFFFFFB;
inline constexpr uint32_t kCheckValidHandle = 0x80000005;

// Whether a result counts as success under a check value.
bool CheckIntegerResult(uint32_t check, int32_t result);
bool CheckPointerResult(uint32_t check, const void* result);

// Operation and parameter names are the library's own identifiers, written
// into trace lines as they are: they hold no newline. Operation names come as
// C strings, as every call passes its name along, traced or not; parameter
// names as views, their lengths known where they are written.
int32_t HandleEnter(RDRHANDLE handle, const char* name, int32_t line);
// The entry step of operations that the progress callback's abort answer
// must not stop: the closes, which must release what they hold, and the
// operations that replace the callback or the trace instance. The callback is
// still called at entry; if it answers abort, nothing is recorded, the
// operation goes on and its exit step does not ask the callback again. An
// invalid handle and a call from the callback itself are refused as by
// HandleEnter.
int32_t HandleEnterPastAbort(RDRHANDLE handle, const char* name, int32_t line);
int32_t HandleExit(RDRHANDLE handle, const char* name, int32_t line, uint32_t check, int32_t result);
void* HandleExitPointer(RDRHANDLE handle, const char* name, int32_t line, uint32_t check, void* result);
int32_t LogEnter(LOGHANDLE log, const char* name, int32_t line);
int32_t LogExit(LOGHANDLE log, const char* name, int32_t line, uint32_t check, int32_t result);
void* LogExitPointer(LOGHANDLE log, const char* name, int32_t line, uint32_t check, void* result);

// One parameter of an operation for its trace line: a pointer, written as
// "\n%s=0x" and its full-width upper-case digits, or an integer, "\n%s=0x%x".
class TracedParameter {
 public:
  TracedParameter(std::string_view name, const void* pointer)
      : name_(name), value_(reinterpret_cast<uintptr_t>(pointer)), pointer_(true) {}
  TracedParameter(std::string_view name, int32_t value)
      : name_(name), value_(static_cast<uint32_t>(value)), pointer_(false) {}

  std::string_view name() const { return name_; }
  uint64_t value() const { return value_; }
  bool pointer() const { return pointer_; }

 private:
  std::string_view name_;
  uint64_t value_;
  bool pointer_;
};

// The parameter lines of an operation in one go, stamped alike.
void TraceParameters(RDRHANDLE handle, std::initializer_list<TracedParameter> parameters);
void TraceInt(RDRHANDLE handle, std::string_view name, int32_t value);
void TracePointer(RDRHANDLE handle, std::string_view name, const void* pointer);
void TraceString(RDRHANDLE handle, std::string_view name, const char* text);
void Trace(RDRHANDLE handle, int32_t level, const char* format, ...) __attribute__((format(printf, 3, 4)));
// Hex dump of data to the handle's trace instance (or the global log).
void TraceDump(RDRHANDLE handle, int32_t level, const void* data, int32_t count, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
// Text parameter on a trace log without a handle: "\n%s=0x%p (%s)".
void LogTraceString(LOGHANDLE log, std::string_view name, const char* text);
void LogTracePointer(LOGHANDLE log, std::string_view name, const void* pointer);
void LogTraceInt(LOGHANDLE log, std::string_view name, int32_t value);

int32_t SetErrorCode(RDRHANDLE handle, int32_t code);
// Records library error N; returns its code.
int32_t SetLibraryError(RDRHANDLE handle, int32_t number);

// Resize semantics: size 0 frees. Null on failure with library error 6.
void* PlatformAlloc(RDRHANDLE handle, void* block, size_t size);
// Test hook: the countdown-th allocation from now fails (0 switches it off).
void SetAllocationFailureCountdown(int32_t countdown);

// Calls the handle's progress callback with (elapsed since the operation's
// start, progress) inside the in-callback count; 1 when there is none.
int32_t CallProgressCallback(RDRHANDLE handle, int32_t progress);
