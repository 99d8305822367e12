#include "platform/profile.h"

#include <algorithm>
#include <fstream>
#include <limits>

namespace platform {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

// One pair of the same quote character around the whole value; a lone
// quote, or a quote at one end only, is part of the text.
std::string_view Unquote(std::string_view text) {
  if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') && text.back() == text.front()) {
    return text.substr(1, text.size() - 2);
  }
  return text;
}

std::string CutToBuffer(std::string_view text, size_t buffer_size) {
  if (buffer_size == 0) return {};
  return std::string(text.substr(0, buffer_size - 1));
}

}  // namespace

Profile Profile::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Profile();
  std::string contents(kMaxFileBytes, '\0');
  in.read(contents.data(), static_cast<std::streamsize>(contents.size()));
  contents.resize(static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  return Parse(contents);
}

Profile Profile::Parse(std::string_view contents) {
  Profile profile;
  contents = contents.substr(0, kMaxFileBytes);
  if (contents.starts_with("\xEF\xBB\xBF")) contents.remove_prefix(3);

  bool in_section = false;
  while (!contents.empty()) {
    size_t end = contents.find('\n');
    std::string_view line = contents.substr(0, end);
    contents.remove_prefix(end == std::string_view::npos ? contents.size() : end + 1);

    line = line.substr(0, line.find('\0'));
    line = Trim(line);
    if (line.empty() || line.front() == ';') continue;

    if (line.front() == '[') {
      size_t close = line.find(']');
      if (close == std::string_view::npos) continue;
      profile.sections_.emplace_back(Trim(line.substr(1, close - 1)));
      in_section = true;
      continue;
    }
    if (!in_section) continue;
    size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    profile.entries_.push_back(Entry{profile.sections_.size() - 1, std::string(Trim(line.substr(0, equals))),
                                     std::string(Trim(line.substr(equals + 1)))});
  }
  return profile;
}

const std::string* Profile::Find(std::string_view section, std::string_view key) const {
  auto named = std::find_if(sections_.begin(), sections_.end(),
                            [&](const std::string& name) { return EqualNoCase(name, section); });
  if (named == sections_.end()) return nullptr;
  size_t index = static_cast<size_t>(named - sections_.begin());
  for (const Entry& entry : entries_) {
    if (entry.section == index && EqualNoCase(entry.key, key)) return &entry.value;
  }
  return nullptr;
}

int32_t Profile::Int(std::string_view section, std::string_view key, int32_t fallback) const {
  const std::string* value = Find(section, key);
  if (value == nullptr || value->empty()) return fallback;

  std::string_view text = *value;
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  // Accumulate the magnitude with one spare bit so that INT32_MIN reads
  // exactly and anything larger saturates instead of overflowing.
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  int64_t magnitude = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    magnitude = std::min<int64_t>(magnitude * 10 + (c - '0'), kLimit);
  }
  if (negative) return static_cast<int32_t>(-magnitude);
  return static_cast<int32_t>(std::min<int64_t>(magnitude, std::numeric_limits<int32_t>::max()));
}

std::string Profile::Text(std::string_view section, std::string_view key, std::string_view fallback,
                          size_t buffer_size) const {
  const std::string* value = Find(section, key);
  return CutToBuffer(value == nullptr ? fallback : Unquote(*value), buffer_size);
}

}  // namespace platform
