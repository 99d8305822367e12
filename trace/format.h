// Formatting of trace messages without the C library's printf machinery for
// the conversions the library's trace calls use; anything else is handed to
// vsnprintf, so the text is always what vsnprintf would make of it.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace trace_format {

// The digits of `value` (hexadecimal in upper or lower case), written
// backwards so that the last ends just before `end`; the first digit's place.
// Room for 20 characters before `end` is enough for any value.
char* DecimalBackwards(uint64_t value, char* end);
char* HexBackwards(uint64_t value, bool upper, char* end);

// vsnprintf(out, room, format, arguments) with room > 0: the text cut to
// room - 1 characters and terminated. Returns the text's length up to its
// first terminator, or -1 when the format is refused.
int FormatMessage(char* out, size_t room, const char* format, va_list arguments);

// For a message that is one new line: a format that starts with a newline
// and has no other of its own. Formats what follows that newline as
// FormatMessage would with room + 1 (the text cut to room - 1 characters),
// but does not terminate it. Returns its length, or -1 when the format is of
// another kind, is refused, or a text argument holds a newline; the caller
// then uses FormatMessage.
int FormatLineBody(char* out, size_t room, const char* format, va_list arguments);

}  // namespace trace_format
