// The trace formatter against the C library: every case must come out as
// vsnprintf makes it, including cut-off text and the formats it hands over.
#include "trace/format.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

// Formats into a `room`-byte area both ways; a text cut by vsnprintf is
// measured up to its terminator, as the trace log measures it.
__attribute__((format(printf, 2, 3))) void ExpectSame(size_t room, const char* format, ...) {
  char ours[64], theirs[64];
  va_list arguments;
  va_start(arguments, format);
  const int length = trace_format::FormatMessage(ours, room, format, arguments);
  va_end(arguments);
  va_start(arguments, format);
  std::vsnprintf(theirs, room, format, arguments);
  va_end(arguments);
  ASSERT_GE(length, 0) << format;
  EXPECT_EQ(std::string(ours, static_cast<size_t>(length)), std::string(theirs, strnlen(theirs, room - 1))) << format;
}

TEST(TraceFormat, MatchesTheCLibraryAndCutsAtTheAreaAndAtAnEmbeddedTerminator) {
  // Volatile: the compiler must not see the null it warns about.
  const char* volatile no_text = nullptr;
  const uintptr_t address = 0x00007F12ABCDEF01u;
  ExpectSame(64, "\nenter %s(%d)[%d]", "RDRSendReceive", 27, 4711);
  ExpectSame(64, "%d %d %d %i", 0, -1, INT32_MIN, INT32_MAX);
  ExpectSame(64, "\n%s=0x%016" PRIXPTR, "vhdl", address);
  ExpectSame(64, "at 0x%" PRIxPTR " %lld %zu", address, -9223372036854775807ll - 1, static_cast<size_t>(12345));
  ExpectSame(64, "[%02x][%02X][%08x][%5d][%-5d][%05d][%-4u]", 7u, 0xABu, 0x1234u, -42, -42, -42, 42u);
  ExpectSame(64, "[%8s][%-8s][%c][%3c][%-3c] 100%%", "ab", "cd", 'x', 'y', 'z');
  ExpectSame(64, "(%s) (%10s)", no_text, no_text);
  // Handed over to the C library.
  ExpectSame(64, "%9.6f %+d % d %#x %.3s %hhx %p", 1.5, 5, 5, 255u, "abcdef", 0x1FF,
             static_cast<const void*>(&address));
  ExpectSame(8, "%s", "0123456789");
  ExpectSame(8, "0123%08x", 0xFFu);
  ExpectSame(1, "%d", 12);
  ExpectSame(3, "ab%%");
  ExpectSame(64, "ab%ccd", '\0');
}

}  // namespace

namespace {

// The body after a line's newline, or "refused" when the line needs the
// general way.
__attribute__((format(printf, 2, 3))) std::string LineBody(size_t room, const char* format, ...) {
  char out[64];
  va_list arguments;
  va_start(arguments, format);
  const int length = trace_format::FormatLineBody(out, room, format, arguments);
  va_end(arguments);
  return length < 0 ? "refused" : std::string(out, static_cast<size_t>(length));
}

// Formats are remembered by address; one rewritten in its buffer is parsed
// anew. A line's body is what the message makes after its newline, in a
// room one larger (the newline's); a newline of its own, in a text or from a %c, and a
// conversion the C library makes send the line the general way.
TEST(TraceFormat, RewrittenFormatsAndLineBodies) {
  char format[16];
  std::snprintf(format, sizeof format, "%s", "%d-%s");
  ExpectSame(64, format, 7, "a");
  std::snprintf(format, sizeof format, "%s", "%s+%5x");
  ExpectSame(64, format, "b", 255u);
  EXPECT_EQ(LineBody(64, "\nenter %s(%d)[%d]", "Op", -3, 12), "enter Op(-3)[12]");
  EXPECT_EQ(LineBody(8, "\n%s", "0123456789"), "0123456");
  for (const std::string& refused : {LineBody(64, "\n%s", "a\nb"), LineBody(64, "\na\nb"), LineBody(64, "x\n%d", 1),
                                     LineBody(64, "\n%c", 'c'), LineBody(64, "\n%5.2f", 1.0)}) {
    EXPECT_EQ(refused, "refused");
  }
}

}  // namespace
