// Local files of the update: the firmware files the engine reads and sends.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>

struct LocalFileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
// An open local file, closed on every path.
using LocalFile = std::unique_ptr<std::FILE, LocalFileCloser>;

// The size of an open file, measured by seeking to its end; the position is
// back at the start afterwards. -1 when the file cannot be measured.
inline int64_t MeasureFile(std::FILE* file) {
  if (std::fseek(file, 0, SEEK_END) != 0) return -1;
  const long size = std::ftell(file);
  if (size < 0 || std::fseek(file, 0, SEEK_SET) != 0) return -1;
  return size;
}

inline uint32_t ReadLe32(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

// The 32-byte header an application file starts with, and a flash image
// carries at its generation's offset; only its first two words are checked.
inline constexpr size_t kApplicationHeaderBytes = 32;
inline bool IsApplicationHeader(std::span<const uint8_t, kApplicationHeaderBytes> header) {
  return ReadLe32(header.data()) == 0xA5A5A5A5u && ReadLe32(header.data() + 4) == 0x01010101u;
}

// A firmware file opened for a packet transfer: its size and the header it
// starts with.
struct PacketFile {
  LocalFile file;
  uint32_t size = 0;
  std::array<uint8_t, kApplicationHeaderBytes> header{};
};

// Opens a firmware file for a packet transfer and reads the header it starts
// with. Returns the line that aborts the update when either fails, naming the
// file as `what`; empty on success.
inline std::string OpenFirmwareForPackets(const char* path, const char* what, PacketFile* opened) {
  opened->file.reset(std::fopen(path, "rb"));
  if (opened->file == nullptr) return std::string("Can not open ") + what + " file, aborting Update";
  const int64_t measured = MeasureFile(opened->file.get());
  std::array<uint8_t, kApplicationHeaderBytes>& header = opened->header;
  if (measured < 0 || std::fread(header.data(), 1, header.size(), opened->file.get()) != header.size()) {
    return std::string("Can not read ") + what + " file header, aborting Update";
  }
  opened->size = static_cast<uint32_t>(measured);
  return {};
}
