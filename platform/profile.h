// The private-profile (ini) reader that the updater's settings come from.
//
// Rules, chosen to behave like the Windows private-profile service:
// - "[name]" starts a section; the name is the trimmed text up to the first
//   ']'. A line starting with '[' but without ']' is ignored.
// - "key=value" lines belong to the section above them; key and value are
//   trimmed of blanks, tabs and CR (so CRLF files read like LF files). Lines
//   without '=', lines before the first section and lines whose first
//   non-blank character is ';' are ignored.
// - Section and key names are compared without regard to ASCII case. Only the
//   first section of a name is searched, and in it the first key of a name.
// - A NUL byte ends the text of its line; a UTF-8 byte-order mark at the
//   start of the file is skipped; only the first kMaxFileBytes of a file are
//   read, so any input, binary garbage included, is bounded.
// - A missing file reads as an empty one: every lookup gives its default.
// - Text reads drop one pair of matching quotes (both ' or both ") that
//   enclose the whole trimmed value, so application="a b.bin" gives the name
//   a b.bin; blanks inside the quotes stay. Integer reads parse the value as
//   written, so a quoted number reads as 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class Profile {
 public:
  static constexpr size_t kMaxFileBytes = 1 << 20;

  // An empty profile (every lookup gives its default).
  Profile() = default;
  // Reads the file now; later changes to the file are not seen.
  static Profile Load(const std::string& path);
  static Profile Parse(std::string_view contents);

  // The value as a decimal integer: leading blanks, then an optional sign,
  // then the leading digits; reading stops at the first other character.
  // A value without digits gives 0; a missing key, or one with an empty value,
  // gives fallback. Values beyond the int32 range saturate.
  int32_t Int(std::string_view section, std::string_view key, int32_t fallback) const;

  // The value as text, without its enclosing quotes, as a buffer of
  // buffer_size bytes would receive it: at most buffer_size - 1 characters
  // (nothing for a size of 0). A missing key gives fallback, cut the same way
  // and taken as given (quotes included).
  std::string Text(std::string_view section, std::string_view key, std::string_view fallback, size_t buffer_size) const;

 private:
  struct Entry {
    size_t section;  // index into sections_
    std::string key;
    std::string value;
  };
  const std::string* Find(std::string_view section, std::string_view key) const;

  std::vector<std::string> sections_;
  std::vector<Entry> entries_;
};

}  // namespace platform
