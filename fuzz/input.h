// The fuzz input read front to back as a tape of choices. Once the tape runs
// out every read gives zero, so a target always runs to its end and a short
// input simply takes the first choice everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

class Tape {
 public:
  Tape(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return at_ >= size_; }
  size_t remaining() const { return empty() ? 0 : size_ - at_; }

  uint8_t Byte() { return empty() ? 0 : data_[at_++]; }
  // Multi-byte reads are sequenced explicitly: the operands of | are not.
  uint16_t U16() {
    const uint8_t low = Byte();
    return static_cast<uint16_t>(low | Byte() << 8);
  }
  uint32_t U32() {
    const uint16_t low = U16();
    return low | static_cast<uint32_t>(U16()) << 16;
  }
  // A number below bound (bound > 0).
  uint32_t Below(uint32_t bound) { return (bound <= 256 ? Byte() : U32()) % bound; }
  // Up to `count` bytes, fewer when the tape runs out.
  std::vector<uint8_t> Bytes(size_t count) {
    const size_t taken = count < remaining() ? count : remaining();
    std::vector<uint8_t> out(data_ + at_, data_ + at_ + taken);
    at_ += taken;
    return out;
  }
  // A length-prefixed text (length byte, then the characters).
  std::string Text() {
    const std::vector<uint8_t> bytes = Bytes(Byte());
    return std::string(bytes.begin(), bytes.end());
  }
  // Everything left.
  std::vector<uint8_t> Rest() { return Bytes(remaining()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace fuzz

#include <filesystem>

#include "updater/session_log.h"

namespace fuzz {

// A folder of this process's own for the files a target writes; removed at
// exit.
inline const std::filesystem::path& ScratchFolder() {
  struct Folder {
    Folder() {
      const std::filesystem::path base = std::filesystem::temp_directory_path();
      for (unsigned n = 0;; ++n) {
        path = base / ("quorvel-fuzz-" + std::to_string(n));
        if (std::filesystem::create_directory(path)) break;
      }
    }
    ~Folder() {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
    std::filesystem::path path;
  };
  static const Folder folder;
  return folder.path;
}

// Writes bytes to a file of the scratch folder and gives its path.
std::string WriteScratchFile(const char* name, const std::vector<uint8_t>& bytes);

// Keeps the session log's lines in memory (and reads them, so a bad pointer
// or a missing terminator shows) while a target runs.
class SessionLogSpy final : public SessionLogSink {
 public:
  SessionLogSpy() { SetSessionLogSink(this); }
  ~SessionLogSpy() override { SetSessionLogSink(nullptr); }
  void Line(const char* message, const char* location) override {
    characters += std::char_traits<char>::length(message);
    if (location != nullptr) characters += std::char_traits<char>::length(location);
  }
  void Text(const char* text) override { characters += std::char_traits<char>::length(text); }
  size_t characters = 0;
};

}  // namespace fuzz
