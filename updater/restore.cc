// Writing a bootloader flash image into the reader: as one packet transfer
// when the reader takes them, otherwise erased, written, read back and
// compared sector by sector through the raw flash commands.
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/system.h"
#include "reader/flash.h"
#include "updater/engine.h"
#include "updater/local_file.h"
#include "updater/session_log.h"

namespace {

constexpr int32_t kRestored = 0;
constexpr int32_t kNotStarted = 19;
constexpr int32_t kWriteFailed = 32;
constexpr int32_t kEraseFailed = 33;

// Where each generation of the image carries its application header, in the
// order they are tried.
constexpr std::array<long, 4> kGenerationOffsets = {0x50000, 0x2A0000, 0x400000, 0x5A0000};

constexpr size_t kBlockBytes = 1024;
constexpr int64_t kEraseGroupBlocks = 64;
// Sector numbers travel as 16-bit values.
constexpr int64_t kAddressableBlocks = 65536;
constexpr uint32_t kImagePacketSize = 1024;

// One restore's log: the dialog's copy prefixes every message but the
// protocol line and writes no Begin, End or path entries.
class RestoreLog {
 public:
  explicit RestoreLog(LogStyle style) : console_(style == LogStyle::kConsole) {}

  void Entry(const RT::BaseString& message) const {
    if (console_) {
      WriteSessionLog(message, nullptr);
    } else {
      WriteSessionLog(RT::BaseString("N5RestoreFlash::%s", message.c_str()), nullptr);
    }
  }
  void Unprefixed(const RT::BaseString& message) const { WriteSessionLog(message, nullptr); }
  void ConsoleOnly(const char* message, const char* location) const {
    if (console_) WriteSessionLog(message, location);
  }

 private:
  bool console_;
};

// Closes what the restore opened, whichever way it ends.
class RestoreScope {
 public:
  explicit RestoreScope(const RestoreLog& log) : log_(log) {}
  ~RestoreScope() {
    file.reset();
    RdrCloseHandle();
    log_.ConsoleOnly("End", "RestoreFlash");
  }
  RestoreScope(const RestoreScope&) = delete;
  RestoreScope& operator=(const RestoreScope&) = delete;

  LocalFile file;

 private:
  const RestoreLog& log_;
};

// Packet transfer: the image is accepted once one generation's header is
// found, and then sent whole.
int32_t SendImage(std::FILE* file, int64_t size, const RestoreLog& log, LogStyle style) {
  for (size_t generation = 0; generation < kGenerationOffsets.size(); ++generation) {
    const int number = static_cast<int>(generation) + 1;
    if (std::fseek(file, kGenerationOffsets[generation], SEEK_SET) != 0) {
      log.Entry(RT::BaseString("gen %d file header missing", number));
      return kNotStarted;
    }
    std::array<uint8_t, kApplicationHeaderBytes> header{};
    if (std::fread(header.data(), 1, header.size(), file) != header.size()) {
      log.Entry(RT::BaseString("gen %d file read header failed", number));
      return kNotStarted;
    }
    if (IsApplicationHeader(header)) {
      // The transfer counts the file's bytes in 32 bits; a larger file would
      // be sent cut short.
      if (size > int64_t{UINT32_MAX}) {
        log.Entry(RT::BaseString("boot file of %lld bytes too large to send", static_cast<long long>(size)));
        return kNotStarted;
      }
      return RdrNewFileCopy(file, static_cast<uint32_t>(size), nullptr, kImagePacketSize, style);
    }
  }
  log.Entry(RT::BaseString("boot file header unrecognized"));
  return kNotStarted;
}

// Raw sectors: block i is sector i of chip 0. One block is held at a time.
int32_t WriteImage(std::FILE* file, int64_t size, const RestoreLog& log) {
  const int64_t blocks = (size + static_cast<int64_t>(kBlockBytes) - 1) / static_cast<int64_t>(kBlockBytes);
  if (blocks == 0) return kRestored;
  if (blocks > kAddressableBlocks) {
    log.Entry(RT::BaseString("image of %lld blocks is larger than the %lld sectors the flash can address",
                             static_cast<long long>(blocks), static_cast<long long>(kAddressableBlocks)));
    return kWriteFailed;
  }
  for (int64_t sector = 0; sector < blocks; sector += kEraseGroupBlocks) {
    const int32_t erased = SectorRawErase(g_ReaderHandle, 0, static_cast<int32_t>(sector), 1, 1);
    if (erased != 1) {
      log.Entry(RT::BaseString("SectorRawErase() Erase - ret = %d", erased));
      return kEraseFailed;
    }
  }
  std::array<uint8_t, kBlockBytes> block{};
  std::array<uint8_t, kBlockBytes> readBack{};
  for (int64_t index = 0; index < blocks; ++index) {
    const auto sector = static_cast<int32_t>(index);
    block.fill(0xFF);
    // Only the last block comes up short; the rest of it stays erased.
    (void)std::fread(block.data(), 1, block.size(), file);
    const int32_t written = SectorRawWrite(g_ReaderHandle, 0, sector, 0, kBlockBytes, block.data());
    if (written != 1) {
      log.Entry(RT::BaseString("SectorRawWrite() Write - ret = %d", written));
      return kWriteFailed;
    }
    const int32_t read = SectorRawRead(g_ReaderHandle, 0, sector, 0, kBlockBytes, readBack.data());
    if (read != 1) {
      log.Entry(RT::BaseString("SectorRawRead() Read - ret = %d", read));
      return kWriteFailed;
    }
    if (std::memcmp(block.data(), readBack.data(), block.size()) != 0) {
      log.Entry(RT::BaseString("SectorRawRead() Verify failed"));
      return kWriteFailed;
    }
  }
  return kRestored;
}

}  // namespace

int32_t RestoreFlash(RT::BaseString path, LogStyle style) {
  const RestoreLog log(style);
  log.ConsoleOnly("Begin", "RestoreFlash");
  if (style == LogStyle::kConsole) WriteSessionLog(RT::BaseString("path %s", path.c_str()), nullptr);
  RestoreScope scope(log);

  if (!platform::FileExists(path.c_str())) {
    log.Entry(RT::BaseString("PathFileExists(path) - ret = false, path = (%s)", path.c_str()));
    return kNotStarted;
  }
  if (const int32_t opened = RdrOpen(nullptr); opened != 0) {
    log.Entry(RT::BaseString("RdrOpen() - ret = %d", opened));
    return kNotStarted;
  }
  errno = 0;
  scope.file.reset(std::fopen(path.c_str(), "rb"));
  if (!scope.file) {
    const int error = errno;
    log.Entry(RT::BaseString("fopen_s(path) - ret = %d, path = (%s)", error, path.c_str()));
    return kNotStarted;
  }
  std::FILE* file = scope.file.get();
  long size = -1;
  if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
  if (size < 0 || std::fseek(file, 0, SEEK_SET) != 0) {
    log.Entry(RT::BaseString("file size unknown, path = (%s)", path.c_str()));
    return kNotStarted;
  }

  const int32_t protocol = ChooseTransferProtocol();
  log.Unprefixed(RT::BaseString("Using transfer protocol %d", protocol));
  return protocol == 2 ? SendImage(file, size, log, style) : WriteImage(file, size, log);
}
