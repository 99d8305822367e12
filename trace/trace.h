// The library's diagnostic trace log: a root log on a file and instances
// attached to it, one per reader handle. Lines are collected per outermost
// block and written to the file in one piece when the block ends.
//
// Every operation accepts null, -1 or a pointer that is not a live log and
// then does nothing; none of them changes the thread's last-error slot.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "reader/rdr.h"

// Message levels.
inline constexpr int32_t kTraceError = 0x200;
inline constexpr int32_t kTraceEntry = 0x400;
inline constexpr int32_t kTraceParameter = 0x500;
inline constexpr int32_t kTraceDetail = 0x600;
// Conditional levels: blocks are kept only when they hold a message at or
// below 0x100 / 0x200; 0x700 is the capture level used inside such blocks.
inline constexpr int32_t kTraceKeepOn100 = 0x101;
inline constexpr int32_t kTraceKeepOnError = 0x201;
inline constexpr int32_t kTraceCapture = 0x700;

// Root log on a file; the file is opened (for appending) at the first kept
// block. -1 for a null path or when out of memory.
LOGHANDLE LogOpen(const char* path, int32_t level);
// 1 closed; 0 refused (invalid, or instances still attached: error 46).
int32_t LogClose(LOGHANDLE log);
// Makes a root log (or null) the one new reader handles attach to.
int32_t LogSetGlobal(LOGHANDLE log);
LOGHANDLE LogGetGlobal();

LOGHANDLE LogAttachInstance(LOGHANDLE root);  // new instance, or -1
int32_t LogDetachInstance(LOGHANDLE instance);
// True for a live root log or instance.
bool LogIsValid(LOGHANDLE log);
bool LogIsRoot(LOGHANDLE log);

int32_t LogBlockBegin(LOGHANDLE log);  // previous nesting
int32_t LogBlockEnd(LOGHANDLE log);    // nesting before the call
// Whether a message of this level would be kept (so callers can skip formatting).
bool LogWants(LOGHANDLE log, int32_t level);
void LogWrite(LOGHANDLE log, int32_t level, const char* format, ...) __attribute__((format(printf, 3, 4)));
void LogWriteV(LOGHANDLE log, int32_t level, const char* format, va_list arguments);
void LogHexDump(LOGHANDLE log, int32_t level, const void* data, int32_t count, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
void LogHexDumpV(LOGHANDLE log, int32_t level, const void* data, int32_t count, const char* format, va_list arguments);
int32_t LogGetIndent(LOGHANDLE log);
int32_t LogSetIndent(LOGHANDLE log, int32_t indent);  // previous value
// Get and set in one step (one registry lookup); the new value.
int32_t LogAddIndent(LOGHANDLE log, int32_t delta);

// One message that starts a new line, written piece by piece: the same text
// as LogWrite(log, level, "\n" + the pieces' formats) with the same
// arguments, but without a format to parse. For the lines written at every
// call of every operation. Holds the log from construction to destruction,
// when the line joins the block (or its own block, when none is open).
class LogLine {
 public:
  LogLine(LOGHANDLE log, int32_t level);
  ~LogLine();
  LogLine(const LogLine&) = delete;
  LogLine& operator=(const LogLine&) = delete;

  // A run of the line's own text: a literal without newlines.
  template <size_t N>
  LogLine& Literal(const char (&text)[N]) {
    Put(text, N - 1);
    return *this;
  }
  LogLine& Text(const char* text);  // %s
  LogLine& Decimal(int32_t value);  // %d
  // %x or %X; with a width (up to 16), zero-padded to it (%0<width>x).
  LogLine& Hex(uint64_t value, bool upper, int width = 0);

 private:
  // Inline, so that a literal's copy has a constant size.
  void Put(const char* text, size_t size) {
    if (record_ == nullptr) return;
    const size_t room = kArea - 1 - size_;
    if (size > room) size = room;
    std::memcpy(area_ + size_, text, size);
    size_ += size;
  }

  TraceLogRecord* record_ = nullptr;        // null when the log keeps nothing of this level
  std::shared_ptr<TraceLogRecord> holder_;  // held under the block lock, unless the thread's own block is reused
  bool newline_in_text_ = false;
  size_t size_ = 0;                      // the message in area_, its leading newline included
  static constexpr size_t kArea = 1024;  // the room of a formatted message
  char area_[kArea];
};
