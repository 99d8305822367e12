#include "trace/format.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace trace_format {
namespace {

// Collects output up to a fixed capacity and drops the rest, as vsnprintf
// does.
class Sink {
 public:
  Sink(char* out, size_t capacity) : at_(out), end_(out + capacity) {}
  void Put(char c) {
    if (at_ < end_) *at_++ = c;
  }
  void Put(const char* text, size_t count) {
    if (count > static_cast<size_t>(end_ - at_)) count = static_cast<size_t>(end_ - at_);
    std::memcpy(at_, text, count);
    at_ += count;
  }
  void Fill(char c, size_t count) {
    for (; count > 0 && at_ < end_; --count) *at_++ = c;
  }
  char* At() const { return at_; }
  // The number of characters written since `out`.
  size_t Written(const char* out) const { return static_cast<size_t>(at_ - out); }

 private:
  char* at_;
  char* end_;
};

struct Conversion {
  bool left = false;  // '-'
  bool zero = false;  // '0'
  size_t width = 0;
  int length = 0;  // 0 int, 1 long, 2 long long or size_t
  char type = 0;
};

// Reads one conversion after its '%'; false for anything outside the subset
// (other flags, '*', a precision, short lengths, other conversions).
bool Parse(const char*& cursor, Conversion& conversion) {
  for (;; ++cursor) {
    if (*cursor == '-') {
      conversion.left = true;
    } else if (*cursor == '0') {
      conversion.zero = true;
    } else {
      break;
    }
  }
  // Bounded: widths above this are left to vsnprintf.
  for (int digits = 0; *cursor >= '0' && *cursor <= '9'; ++cursor) {
    if (++digits > 4) return false;
    conversion.width = conversion.width * 10 + static_cast<size_t>(*cursor - '0');
  }
  if (*cursor == 'l') {
    ++cursor;
    conversion.length = 1;
    if (*cursor == 'l') {
      ++cursor;
      conversion.length = 2;
    }
  } else if (*cursor == 'z') {
    ++cursor;
    conversion.length = 2;
  }
  conversion.type = *cursor;
  switch (conversion.type) {
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X': return true;
    // '0' with a text is left to the C library, whose padding there is its own.
    case 's':
    case 'c': return conversion.length == 0 && !conversion.zero;
    case '%': return conversion.length == 0 && conversion.width == 0 && !conversion.left && !conversion.zero;
    default: return false;
  }
}

void PutPadded(Sink& sink, const Conversion& conversion, const char* text, size_t size) {
  const size_t padding = conversion.width > size ? conversion.width - size : 0;
  if (!conversion.left) sink.Fill(' ', padding);
  sink.Put(text, size);
  if (conversion.left) sink.Fill(' ', padding);
}

void PutInteger(Sink& sink, const Conversion& conversion, va_list& arguments) {
  bool negative = false;
  unsigned long long magnitude = 0;
  if (conversion.type == 'd' || conversion.type == 'i') {
    long long value = conversion.length == 0   ? va_arg(arguments, int)
                      : conversion.length == 1 ? va_arg(arguments, long)
                                               : va_arg(arguments, long long);
    negative = value < 0;
    magnitude = negative ? 0ull - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
  } else {
    magnitude = conversion.length == 0   ? va_arg(arguments, unsigned int)
                : conversion.length == 1 ? va_arg(arguments, unsigned long)
                                         : va_arg(arguments, unsigned long long);
  }
  char text[24];
  size_t size = 0;
  // Two loops with fixed bases: a division by a variable base costs a
  // hardware divide per digit.
  if (conversion.type == 'x' || conversion.type == 'X') {
    const char* digits = conversion.type == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    do {
      text[sizeof text - 1 - size++] = digits[magnitude & 0xF];
      magnitude >>= 4;
    } while (magnitude != 0);
  } else {
    do {
      text[sizeof text - 1 - size++] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
  }
  const size_t used = size + (negative ? 1 : 0);
  const size_t padding = conversion.width > used ? conversion.width - used : 0;
  if (!conversion.left && !conversion.zero) sink.Fill(' ', padding);
  if (negative) sink.Put('-');
  if (!conversion.left && conversion.zero) sink.Fill('0', padding);
  sink.Put(text + sizeof text - size, size);
  if (conversion.left) sink.Fill(' ', padding);
}

// False when the format needs the C library.
// A %c of 0 ends the text early; `terminator_written` says so.
bool FormatSubset(Sink& sink, const char* format, va_list& arguments, bool& terminator_written) {
  const char* cursor = format;
  // Bounded: every round consumes at least one character of the format.
  while (*cursor != '\0') {
    if (*cursor != '%') {
      sink.Put(*cursor++);
      continue;
    }
    ++cursor;
    Conversion conversion;
    if (!Parse(cursor, conversion)) return false;
    ++cursor;
    switch (conversion.type) {
      case '%': sink.Put('%'); break;
      case 'c': {
        const char c = static_cast<char>(va_arg(arguments, int));
        terminator_written = terminator_written || c == '\0';
        PutPadded(sink, conversion, &c, 1);
        break;
      }
      case 's': {
        const char* text = va_arg(arguments, const char*);
        if (text == nullptr) text = "(null)";
        PutPadded(sink, conversion, text, std::strlen(text));
        break;
      }
      default: PutInteger(sink, conversion, arguments); break;
    }
  }
  return true;
}

}  // namespace

int FormatMessage(char* out, size_t room, const char* format, va_list arguments) {
  if (room == 0 || format == nullptr) return -1;
  va_list copy;
  va_copy(copy, arguments);
  Sink sink(out, room - 1);
  bool terminator_written = false;
  const bool done = FormatSubset(sink, format, copy, terminator_written);
  va_end(copy);
  if (!done) {
    if (std::vsnprintf(out, room, format, arguments) < 0) return -1;
    return static_cast<int>(strnlen(out, room - 1));
  }
  *sink.At() = '\0';
  const size_t written = sink.Written(out);
  return static_cast<int>(terminator_written ? strnlen(out, written) : written);
}

}  // namespace trace_format
