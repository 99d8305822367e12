// Formatting of trace messages without the C library's printf machinery for
// the conversions the library's trace calls use; anything else is handed to
// vsnprintf, so the text is always what vsnprintf would make of it.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace trace_format {

// vsnprintf(out, room, format, arguments) with room > 0: the text cut to
// room - 1 characters and terminated. Returns the text's length up to its
// first terminator, or -1 when the format is refused.
int FormatMessage(char* out, size_t room, const char* format, va_list arguments);

}  // namespace trace_format
