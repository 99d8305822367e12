#include "trace/format.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace trace_format {
namespace {

// The two digits of every value below 100, and the two hexadecimal digits of
// every byte: a number's digits are made two at a time.
struct DigitPairs {
  char decimal[100][2];
  char upper[256][2];
  char lower[256][2];
};

constexpr DigitPairs MakeDigitPairs() {
  DigitPairs pairs{};
  for (int i = 0; i < 100; ++i) {
    pairs.decimal[i][0] = static_cast<char>('0' + i / 10);
    pairs.decimal[i][1] = static_cast<char>('0' + i % 10);
  }
  for (int i = 0; i < 256; ++i) {
    pairs.upper[i][0] = "0123456789ABCDEF"[i >> 4];
    pairs.upper[i][1] = "0123456789ABCDEF"[i & 0xF];
    pairs.lower[i][0] = "0123456789abcdef"[i >> 4];
    pairs.lower[i][1] = "0123456789abcdef"[i & 0xF];
  }
  return pairs;
}

constexpr DigitPairs kDigitPairs = MakeDigitPairs();

}  // namespace

char* DecimalBackwards(uint64_t value, char* end) {
  // Bounded: each round takes two digits off a 64-bit value.
  while (value >= 100) {
    end -= 2;
    std::memcpy(end, kDigitPairs.decimal[value % 100], 2);
    value /= 100;
  }
  if (value >= 10) {
    end -= 2;
    std::memcpy(end, kDigitPairs.decimal[value], 2);
  } else {
    *--end = static_cast<char>('0' + value);
  }
  return end;
}

char* HexBackwards(uint64_t value, bool upper, char* end) {
  const auto& pairs = upper ? kDigitPairs.upper : kDigitPairs.lower;
  // Bounded: each round takes a byte off a 64-bit value.
  while (value >= 0x100) {
    end -= 2;
    std::memcpy(end, pairs[value & 0xFF], 2);
    value >>= 8;
  }
  if (value >= 0x10) {
    end -= 2;
    std::memcpy(end, pairs[value], 2);
  } else {
    *--end = pairs[value][1];
  }
  return end;
}

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

  // Set for a line body: a text argument with a newline in it is noted in
  // `newline_refused`, as such a line needs the stamped form of each newline.
  bool refuse_newlines = false;
  bool newline_refused = false;

 private:
  char* at_;
  char* end_;
};

struct Conversion {
  bool left = false;  // '-'
  bool zero = false;  // '0'
  uint16_t width = 0;
  uint8_t length = 0;  // 0 int, 1 long, 2 long long or size_t
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
    conversion.width = static_cast<uint16_t>(conversion.width * 10 + (*cursor - '0'));
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
  char* const end = text + sizeof text;
  const char* first = conversion.type == 'x' || conversion.type == 'X'
                          ? HexBackwards(magnitude, conversion.type == 'X', end)
                          : DecimalBackwards(magnitude, end);
  const size_t size = static_cast<size_t>(end - first);
  const size_t used = size + (negative ? 1 : 0);
  const size_t padding = conversion.width > used ? conversion.width - used : 0;
  if (!conversion.left && !conversion.zero) sink.Fill(' ', padding);
  if (negative) sink.Put('-');
  if (!conversion.left && conversion.zero) sink.Fill('0', padding);
  sink.Put(first, size);
  if (conversion.left) sink.Fill(' ', padding);
}

// Writes one conversion's text; a %c of 0 sets `terminator_written`.
void PutConversion(Sink& sink, const Conversion& conversion, va_list& arguments, bool& terminator_written) {
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
      const size_t size = std::strlen(text);
      if (sink.refuse_newlines && std::memchr(text, '\n', size) != nullptr) sink.newline_refused = true;
      PutPadded(sink, conversion, text, size);
      break;
    }
    default: PutInteger(sink, conversion, arguments); break;
  }
}

// A format cut into literal runs and conversions. Formats the trace calls
// use are short; longer ones, or ones with more pieces, are parsed anew at
// every use.
constexpr size_t kLongestKept = 79;
constexpr size_t kMostPieces = 8;

struct Piece {
  uint16_t begin = 0;  // literal run: offset and size in the format
  uint16_t size = 0;
  Conversion conversion;  // type 0 for a literal run
};

struct ParsedFormat {
  uint8_t piece_count = 0;
  bool subset = false;  // false when the format needs the C library
  // Starts with a newline and has no other of its own (no %c either, whose
  // character could be one).
  bool starts_line = false;
  Piece pieces[kMostPieces];
};

// Cuts `format` into pieces; false when it does not fit `parsed`, which
// then says nothing.
bool Split(const char* format, ParsedFormat& parsed) {
  parsed.piece_count = 0;
  parsed.subset = true;
  parsed.starts_line = format[0] == '\n' && std::strchr(format + 1, '\n') == nullptr;
  const char* cursor = format;
  // Bounded: every round consumes at least one character of the format.
  while (*cursor != '\0') {
    if (parsed.piece_count == kMostPieces) return false;
    Piece& piece = parsed.pieces[parsed.piece_count++];
    piece = Piece{};
    if (*cursor != '%') {
      const char* run = cursor;
      while (*cursor != '%' && *cursor != '\0') ++cursor;  // bounded by the terminator
      piece.begin = static_cast<uint16_t>(run - format);
      piece.size = static_cast<uint16_t>(cursor - run);
      continue;
    }
    ++cursor;
    if (!Parse(cursor, piece.conversion)) {
      parsed.subset = false;
      return true;
    }
    if (piece.conversion.type == 'c') parsed.starts_line = false;
    ++cursor;
  }
  return true;
}

// `skip`: characters of the first literal run left out.
void PutPieces(Sink& sink, const char* format, const ParsedFormat& parsed, va_list& arguments, bool& terminator_written,
               uint16_t skip = 0) {
  for (size_t i = 0; i < parsed.piece_count; ++i, skip = 0) {
    const Piece& piece = parsed.pieces[i];
    if (piece.conversion.type == 0) {
      sink.Put(format + piece.begin + skip, piece.size - skip);
    } else {
      PutConversion(sink, piece.conversion, arguments, terminator_written);
    }
  }
}

// False when the format needs the C library.
// A %c of 0 ends the text early; `terminator_written` says so.
bool FormatSubset(Sink& sink, const char* format, va_list& arguments, bool& terminator_written) {
  const char* cursor = format;
  // Bounded: every round consumes at least one character of the format.
  while (*cursor != '\0') {
    if (*cursor != '%') {
      const char* run = cursor;
      while (*cursor != '%' && *cursor != '\0') ++cursor;  // bounded by the terminator
      sink.Put(run, static_cast<size_t>(cursor - run));
      continue;
    }
    ++cursor;
    Conversion conversion;
    if (!Parse(cursor, conversion)) return false;
    ++cursor;
    PutConversion(sink, conversion, arguments, terminator_written);
  }
  return true;
}

// The formats each thread used last, remembered by address. A hit is
// checked against a copy of the text, so a format rebuilt in the same buffer
// is never taken for the one parsed before. Plain data: a thread's table
// costs nothing until it is used.
struct KeptFormat {
  const char* format;
  char text[kLongestKept + 1];
  ParsedFormat parsed;
};
constexpr size_t kKeptFormats = 64;
thread_local KeptFormat t_kept_formats[kKeptFormats];

// The parsed form of `format`, or null when it is not kept (too long, too
// many pieces).
const ParsedFormat* FindParsed(const char* format) {
  const auto address = reinterpret_cast<uintptr_t>(format);
  KeptFormat& kept = t_kept_formats[((address >> 3) * 0x9E3779B97F4A7C15ull) >> 58];
  static_assert(kKeptFormats == 64, "the index takes the hash's top six bits");
  if (kept.format == format && std::strncmp(kept.text, format, kLongestKept + 1) == 0) return &kept.parsed;
  const size_t size = strnlen(format, kLongestKept + 1);
  if (size > kLongestKept) return nullptr;
  kept.format = nullptr;
  if (!Split(format, kept.parsed)) return nullptr;
  std::memcpy(kept.text, format, size + 1);
  kept.format = format;
  return &kept.parsed;
}

}  // namespace

int FormatMessage(char* out, size_t room, const char* format, va_list arguments) {
  if (room == 0 || format == nullptr) return -1;
  va_list copy;
  va_copy(copy, arguments);
  Sink sink(out, room - 1);
  bool terminator_written = false;
  bool done = false;
  if (const ParsedFormat* parsed = FindParsed(format)) {
    done = parsed->subset;
    if (done) PutPieces(sink, format, *parsed, copy, terminator_written);
  } else {
    done = FormatSubset(sink, format, copy, terminator_written);
  }
  va_end(copy);
  if (!done) {
    if (std::vsnprintf(out, room, format, arguments) < 0) return -1;
    return static_cast<int>(strnlen(out, room - 1));
  }
  *sink.At() = '\0';
  const size_t written = sink.Written(out);
  return static_cast<int>(terminator_written ? strnlen(out, written) : written);
}

int FormatLineBody(char* out, size_t room, const char* format, va_list arguments) {
  if (room == 0 || format == nullptr) return -1;
  const ParsedFormat* parsed = FindParsed(format);
  if (parsed == nullptr || !parsed->subset || !parsed->starts_line) return -1;
  va_list copy;
  va_copy(copy, arguments);
  Sink sink(out, room - 1);
  sink.refuse_newlines = true;
  bool terminator_written = false;  // no %c in a line body
  // The leading newline is the first literal run's first character.
  PutPieces(sink, format, *parsed, copy, terminator_written, 1);
  va_end(copy);
  if (sink.newline_refused) return -1;
  return static_cast<int>(sink.Written(out));
}

}  // namespace trace_format
