// The ways a file reaches the reader: numbered packets, the flash file
// system written piece by piece or copied in one call, an FX3 boot image, and
// the restart request that follows a bootloader transfer. Everything runs on
// g_ReaderHandle, which the caller has opened.
#include <array>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "reader/crc32.h"
#include "reader/flash.h"
#include "updater/engine.h"
#include "updater/local_file.h"
#include "updater/session_log.h"

namespace {

// The largest packet the reader's packet request carries.
constexpr uint32_t kPacketBuffer = 1024;
// Seconds the reader may take over the final packet, which it answers only
// after storing the whole file.
constexpr int32_t kFinalPacketTimeout = 120;
constexpr uint32_t kOldCopyPiece = 900;

constexpr int32_t kPacketWriteFailed = 32;
constexpr int32_t kLocalReadFailed = 34;

struct FlashFileCloser {
  void operator()(FlashFile* file) const { F_fclose(file); }
};
using ReaderFile = std::unique_ptr<FlashFile, FlashFileCloser>;

bool Console(LogStyle style) { return style == LogStyle::kConsole; }

// The dialog's copy names the procedure in front of each failure message.
void LogFailure(LogStyle style, const char* console_message, const char* dialog_message) {
  WriteSessionLog(Console(style) ? console_message : dialog_message, nullptr);
}

// FX3 boot image results.
enum Fx3Result : int32_t {
  kFx3Sent = 0,
  kFx3NotOpened = 1,
  kFx3NoHeader = 2,
  kFx3BadSignature = 3,
  kFx3BadImageType = 4,
  kFx3SeekFailed = 5,
  kFx3NoBuffer = 6,
  kFx3RewindFailed = 7,
  kFx3ShortImage = 8,
  kFx3TransferFailed = 9,
  kFx3ShortSection = 10,
};

constexpr uint8_t kFx3ImageType = 0xB0;
constexpr uint64_t kFx3FirstSection = 4;
constexpr uint64_t kFx3SectionHeader = 8;
// The terminating section's header and the checksum behind it.
constexpr uint64_t kFx3Trailer = 12;
constexpr uint32_t kFx3PacketSize = 768;

// Walks the sections of an FX3 boot image of fileSize bytes; every position
// is checked against the file, since a seek past the end would succeed.
int32_t MeasureFx3Image(std::FILE* file, uint64_t fileSize, uint64_t* imageLength) {
  uint64_t offset = kFx3FirstSection;
  while (true) {
    if (offset + kFx3SectionHeader > fileSize) return kFx3ShortSection;
    if (std::fseek(file, static_cast<long>(offset), SEEK_SET) != 0) return kFx3SeekFailed;
    std::array<uint8_t, kFx3SectionHeader> header{};
    if (std::fread(header.data(), 1, header.size(), file) != header.size()) return kFx3ShortSection;
    const uint64_t words = ReadLe32(header.data());
    if (words == 0) {
      *imageLength = offset + kFx3Trailer;
      return kFx3Sent;
    }
    const uint64_t next = offset + kFx3SectionHeader + words * 4;
    if (next > fileSize) return kFx3SeekFailed;
    offset = next;
  }
}

int32_t SendFx3Image(std::FILE* file, int32_t protocol, LogStyle style) {
  const int64_t fileSize = MeasureFile(file);
  if (fileSize < 0) return kFx3SeekFailed;
  std::array<uint8_t, 8> header{};
  if (std::fread(header.data(), 1, header.size(), file) != header.size()) return kFx3NoHeader;
  if (header[0] != 'C' || header[1] != 'Y') return kFx3BadSignature;
  if (header[3] != kFx3ImageType) return kFx3BadImageType;

  uint64_t imageLength = 0;
  if (const int32_t walked = MeasureFx3Image(file, static_cast<uint64_t>(fileSize), &imageLength); walked != kFx3Sent) {
    return walked;
  }
  // A terminating section without its checksum: the image is not all there.
  if (imageLength > static_cast<uint64_t>(fileSize)) return kFx3ShortImage;
  if (imageLength > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) return kFx3NoBuffer;

  std::vector<uint8_t> image;
  if (protocol != 2) {
    try {
      image.resize(imageLength);
    } catch (const std::bad_alloc&) {
      return kFx3NoBuffer;
    }
  }
  if (std::fseek(file, 0, SEEK_SET) != 0) return kFx3RewindFailed;

  const auto length = static_cast<uint32_t>(imageLength);
  if (protocol == 2) {
    return RdrNewFileCopy(file, length, "app.bin", kFx3PacketSize, style) == 0 ? kFx3Sent : kFx3TransferFailed;
  }
  if (std::fread(image.data(), 1, image.size(), file) != image.size()) return kFx3ShortImage;
  return RDRFlashFirmwareWriteFX3(g_ReaderHandle, static_cast<int32_t>(length), image.data()) != 0 ? kFx3Sent
                                                                                                   : kFx3TransferFailed;
}

}  // namespace

int32_t RdrNewFileCopy(std::FILE* file, uint32_t fileSize, const char* filename, uint32_t aMaxPacketSize,
                       LogStyle style) {
  if (Console(style)) {
    WriteSessionLog("Begin", "RdrNewFileCopy");
    WriteSessionLog(RT::BaseString("fileSize %d, aMaxPacketSize %d, filename %s", static_cast<int32_t>(fileSize),
                                   static_cast<int32_t>(aMaxPacketSize), filename != nullptr ? filename : "(null)"),
                    nullptr);
  }
  // Refused before anything is sent: a larger packet would not fit the
  // request, and 0 would never end.
  if (aMaxPacketSize == 0 || aMaxPacketSize > kPacketBuffer) {
    WriteSessionLog(RT::BaseString("RdrNewFileCopy::packet size %u not within 1 to %u", aMaxPacketSize, kPacketBuffer),
                    nullptr);
    return kPacketWriteFailed;
  }
  if (file == nullptr || std::fseek(file, 0, SEEK_SET) != 0) {
    LogFailure(style, "boot file read error", "RdrNewFileCopy::boot file read error");
    return kLocalReadFailed;
  }

  const uint32_t full = fileSize / aMaxPacketSize;
  const uint32_t count = full + 1;
  std::array<uint8_t, kPacketBuffer> packet{};
  uint32_t crc = kCrc32Start;
  for (uint32_t index = 0; index < full; ++index) {
    if (std::fread(packet.data(), 1, aMaxPacketSize, file) != aMaxPacketSize) {
      LogFailure(style, "boot file read error", "RdrNewFileCopy::boot file read error");
      return kLocalReadFailed;
    }
    crc = Crc32Update(crc, std::span(packet.data(), aMaxPacketSize));
    if (!RDRFilePacketWriteRequest(g_ReaderHandle, index, aMaxPacketSize, count, packet.data(), 0, 0, nullptr)) {
      LogFailure(style, "RDRFilePacketWriteRequest packet write failed",
                 "RdrNewFileCopy::RDRFilePacketWriteRequest packet write failed");
      return kPacketWriteFailed;
    }
    if (Console(style)) WriteSessionLogText(".");
  }
  if (Console(style)) WriteSessionLogText("\n");

  const uint32_t rest = fileSize - full * aMaxPacketSize;
  if (std::fread(packet.data(), 1, rest, file) != rest) {
    LogFailure(style, "RdrNewFileCopy::boot file final read error", "RdrNewFileCopy::boot file final read error");
    return kLocalReadFailed;
  }
  crc = Crc32Update(crc, std::span(packet.data(), rest));
  RDRTimeoutSet(g_ReaderHandle, kFinalPacketTimeout);
  if (!RDRFilePacketWriteRequest(g_ReaderHandle, full, rest, count, packet.data(), fileSize, crc, filename)) {
    LogFailure(style, "RDRFilePacketWriteRequest final packet write failed",
               "RdrNewFileCopy::RDRFilePacketWriteRequest final packet write failed");
    return kPacketWriteFailed;
  }
  if (Console(style)) WriteSessionLog("End", "RdrNewFileCopy");
  return 0;
}

int32_t RdrOldFileCopy(const char* installFilename, const char* flashName, LogStyle style) {
  if (Console(style)) {
    WriteSessionLog("Start", "RdrOldFileCopy");
    WriteSessionLog(RT::BaseString("installFilename %s", installFilename != nullptr ? installFilename : "(null)"),
                    nullptr);
  }
  LocalFile local(installFilename != nullptr ? std::fopen(installFilename, "rb") : nullptr);
  if (!local) return 1;
  const int64_t size = MeasureFile(local.get());
  if (size < 0) return 3;

  ReaderFile flash(F_fopen(g_ReaderHandle, flashName, "wb"));
  if (!flash) return 2;
  std::array<uint8_t, kOldCopyPiece> piece{};
  for (int64_t written = 0; written < size;) {
    const auto length = static_cast<int32_t>(std::min<int64_t>(kOldCopyPiece, size - written));
    if (std::fread(piece.data(), 1, static_cast<size_t>(length), local.get()) != static_cast<size_t>(length)) {
      return 3;
    }
    if (F_fwrite(piece.data(), 1, length, flash.get()) != length) return 4;
    written += length;
  }
  flash.reset();
  local.reset();
  if (Console(style)) WriteSessionLog("End", "RdrOldFileCopy");
  return 0;
}

int32_t RdrCopyFile(const char* localPath, const char* flashPath, LogStyle style) {
  const int32_t copied = F_cp(g_ReaderHandle, localPath, flashPath);
  if (Console(style)) {
    WriteSessionLog(RT::BaseString("F_cp() - ret = %d", copied), "RdrCopyFile");
  } else if (copied == 0) {
    WriteSessionLog(RT::BaseString("RdrCopyFile::F_cp() - ret = %d", copied), nullptr);
  }
  return copied;
}

int32_t WR2200FileCopy(const char* installFilename, int32_t protocol, LogStyle style) {
  if (Console(style)) {
    WriteSessionLog("Start", "WR2200FileCopy");
    WriteSessionLog(RT::BaseString("installFilename %s", installFilename != nullptr ? installFilename : "(null)"),
                    nullptr);
  }
  int32_t result = kFx3NotOpened;
  {
    LocalFile file(installFilename != nullptr ? std::fopen(installFilename, "rb") : nullptr);
    if (file) result = SendFx3Image(file.get(), protocol, style);
  }
  if (Console(style)) WriteSessionLog("End", "WR2200FileCopy");
  return result;
}

bool RdrSoftBoot(LogStyle style) {
  if (RdrOpen(nullptr) != 0) {
    if (Console(style)) {
      WriteSessionLog("RdrOpen() - failed", "RdrSoftBoot");
    } else {
      WriteSessionLog("RdrSoftBoot::RdrOpen() - failed", nullptr);
    }
    return false;
  }
  const int32_t booted = RDRSoftBoot(g_ReaderHandle, 1);
  if (Console(style)) {
    WriteSessionLog(RT::BaseString("RdrSoftBoot() - ret = %d", booted), "RdrSoftBoot");
  } else if (booted == 0) {
    WriteSessionLog(RT::BaseString("RdrSoftBoot::RdrSoftBoot() - ret = %d", booted), nullptr);
  }
  RdrCloseHandle();
  return booted != 0;
}
