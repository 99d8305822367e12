#include "updater/base_string.h"

#include <cstdio>
#include <cstring>

namespace RT {
namespace {

int LowerAscii(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; }

}  // namespace

std::string FormatText(const char* format, va_list arguments) {
  if (format == nullptr) return {};
  va_list measuring;
  va_copy(measuring, arguments);
  int length = std::vsnprintf(nullptr, 0, format, measuring);
  va_end(measuring);
  if (length <= 0) return {};
  std::string text(static_cast<size_t>(length), '\0');
  // The string keeps room for its own terminating NUL past size().
  std::vsnprintf(text.data(), text.size() + 1, format, arguments);
  return text;
}

BaseString::BaseString(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  text_ = FormatText(format, arguments);
  va_end(arguments);
}

void BaseString::Assign(const char* text, int32_t length) {
  if (text == nullptr || length <= 0) {
    text_.clear();
    return;
  }
  text_.assign(text, static_cast<size_t>(length));
}

void BaseString::Assign(const char* text) {
  if (text == nullptr) {
    text_.clear();
    return;
  }
  text_.assign(text);
}

void BaseString::Append(const char* text) {
  if (text != nullptr) text_.append(text);
}

int32_t BaseString::Find(const char* text, int32_t start) const {
  if (text == nullptr) return -1;
  size_t from = start < 0 ? 0 : static_cast<size_t>(start);
  size_t found = text_.find(text, from);
  return found == std::string::npos ? -1 : static_cast<int32_t>(found);
}

int32_t BaseString::CompareNoCase(const char* text) const {
  const unsigned char* left = reinterpret_cast<const unsigned char*>(text_.c_str());
  const unsigned char* right = reinterpret_cast<const unsigned char*>(text == nullptr ? "" : text);
  // Both sides end in a NUL, which ends the walk at the shorter one.
  for (;; ++left, ++right) {
    int difference = LowerAscii(*left) - LowerAscii(*right);
    if (difference != 0) return difference < 0 ? -1 : 1;
    if (*left == '\0') return 0;
  }
}

BaseString BaseString::Left(int32_t n) const {
  BaseString result;
  if (n < 0 || static_cast<size_t>(n) >= text_.size()) {
    result.text_ = text_;
  } else {
    result.text_ = text_.substr(0, static_cast<size_t>(n));
  }
  return result;
}

}  // namespace RT
