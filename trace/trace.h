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
#include <string_view>

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

// What a line does besides being written, in the same hold of its log. An
// entry line begins a block (whatever the level keeps) and indents what
// follows it by one; an exit line takes that indentation back before it is
// written and ends the block after.
enum class LineRole { kPlain, kEntry, kExit };

// One message that starts a new line, written piece by piece: the same text
// as LogWrite(log, level, "\n" + the pieces' formats) with the same
// arguments, but without a format to parse. For the lines written at every
// call of every operation.
//
// The line is stamped and indented at construction and its pieces go
// straight into the log's block (into its own block when none is open); it
// joins the block at destruction. The log is held all that time, and any
// other operation on it by the same thread meanwhile (a piece's argument
// that writes to the log, say) is refused and does nothing.
class LogLine {
 public:
  LogLine(LOGHANDLE log, int32_t level, LineRole role = LineRole::kPlain);
  ~LogLine();
  LogLine(const LogLine&) = delete;
  LogLine& operator=(const LogLine&) = delete;

  // A run of the line's own text: a literal without newlines.
  template <size_t N>
  LogLine& Literal(const char (&text)[N]) {
    // Copied in its constant size unless the message is cut within it.
    if (left_ >= N - 1) {
      std::memcpy(out_, text, N - 1);
      out_ += N - 1;
      left_ -= N - 1;
    } else {
      Put(text, N - 1);
    }
    return *this;
  }
  // One of several literals, chosen at run time.
  LogLine& Literal(std::string_view text) {
    Put(text.data(), text.size());
    return *this;
  }
  LogLine& Text(const char* text);  // %s
  // %s of a name that holds no newline (the library's own identifiers).
  LogLine& Name(std::string_view name) {
    Put(name.data(), name.size());
    return *this;
  }
  LogLine& Decimal(int32_t value);  // %d
  LogLine& ThreadId();              // %d of platform::CurrentThreadId()
  // %x or %X; with a width (up to 16), zero-padded to it (%0<width>x).
  LogLine& Hex(uint64_t value, bool upper, int width = 0);
  // Ends the line and starts another with the same stamp and indentation:
  // what a second message would make of the same pieces, written at once.
  LogLine& NewLine();

 private:
  void Put(const char* text, size_t size) {
    if (size > left_) size = left_;
    std::memcpy(out_, text, size);
    out_ += size;
    left_ -= size;
  }
  void StartLine();
  void FinishLine();
  void PutNumber(const char* digits, size_t size);
  void PutLines(const char* text, size_t size);

  static constexpr size_t kArea = 1024;  // the room of a formatted message, its newline and terminator included
  // Where the line is being put together.
  enum class Place : uint8_t {
    kNowhere,  // the log is not live, or keeps nothing of this level
    kBlock,    // in the block's buffer, after the stamp and indentation
    kArea,     // in area_, after its newline: the buffer would not take a whole area
  };

  TraceLogRecord* record_ = nullptr;        // null when the log is not live
  std::shared_ptr<TraceLogRecord> holder_;  // held under the block lock, unless the thread's own block is reused
  char* out_ = area_;                       // the next piece's place
  size_t left_ = 0;                         // characters the message may still take
  LineRole role_;
  Place place_ = Place::kNowhere;
  bool own_block_ = false;  // the line is a block of its own
  char area_[kArea];
};
