// The update engine's owning text: a standard string with the handful of
// operations the engine's procedures are written in terms of. Indices and
// lengths are int32 because the engine passes them on to printf-style log
// lines and compares them with -1.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>

namespace RT {

class BaseString {
 public:
  BaseString() = default;
  // The text of a printf-style format and its arguments, measured first so
  // that it is never cut. A format error gives the empty text.
  explicit BaseString(const char* format, ...) __attribute__((format(printf, 2, 3)));
  virtual ~BaseString() = default;

  BaseString(const BaseString&) = default;
  BaseString& operator=(const BaseString&) = default;
  BaseString(BaseString&&) = default;
  BaseString& operator=(BaseString&&) = default;

  // The first length characters of text; a length of 0 or less, or a null
  // text, gives the empty text. The caller vouches that text holds length
  // characters.
  void Assign(const char* text, int32_t length);
  // The whole NUL-terminated text; null gives the empty text.
  void Assign(const char* text);
  // Appends a NUL-terminated text; null appends nothing.
  void Append(const char* text);

  // Index of the first occurrence of text at or after start (case-sensitive),
  // or -1. A negative start counts as 0; a start past the end finds nothing.
  int32_t Find(const char* text, int32_t start = 0) const;
  // -1, 0 or 1 as this text sorts before, equal to or after text when ASCII
  // letters are compared ignoring case. Null compares as the empty text.
  int32_t CompareNoCase(const char* text) const;
  // The first n characters; any negative n (the engine passes -1) or an n
  // beyond the length gives the whole text.
  BaseString Left(int32_t n) const;

  const char* c_str() const { return text_.c_str(); }
  std::string_view View() const { return text_; }
  int32_t Length() const { return static_cast<int32_t>(text_.size()); }
  bool IsEmpty() const { return text_.empty(); }

 private:
  std::string text_;
};

// vsnprintf into an owning string, measured first.
std::string FormatText(const char* format, va_list arguments) __attribute__((format(printf, 1, 0)));

}  // namespace RT
