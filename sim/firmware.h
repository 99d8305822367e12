// The simulated unit's firmware: answers each request message with a reply
// body and keeps what the unit stores (received files, the FX3 boot memory,
// the status word and the strings it reports), persisting it in the unit's
// state folder so that a later process sees it.
//
// Not thread-safe: the owning Unit serialises every call under its mutex.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sim/crc.h"
#include "sim/flash_model.h"
#include "sim/request_handler.h"
#include "sim/unit_config.h"
#include "sim/wire.h"

namespace sim {

// Reader status values the firmware answers with.
inline constexpr int32_t kStatusOk = 0;
inline constexpr int32_t kStatusNoSpace = -269;         // 0xFEF3
inline constexpr int32_t kStatusNotAccepting = -267;    // 0xFEF5
inline constexpr int32_t kStatusBadParameter = -270;    // 0xFEF2
inline constexpr int32_t kStatusUnknownRequest = -266;  // 0xFEF6

// Request codes.
inline constexpr uint8_t kCommandService = 14;
inline constexpr uint8_t kCommandApiVersion = 120;
inline constexpr uint8_t kCommandSoftBoot = 122;
inline constexpr uint8_t kCommandSectors = 126;
inline constexpr uint8_t kCommandSh4FirmwareName = 127;

inline constexpr uint8_t kServiceStatusWord = 4;
inline constexpr uint8_t kServiceFirmwareName = 6;
inline constexpr uint8_t kServiceFx3BootLine = 7;
inline constexpr uint8_t kServiceSerialString = 21;
inline constexpr uint8_t kServiceApplicationHeader = 23;
inline constexpr uint8_t kServiceBootHeader = 24;
inline constexpr uint8_t kServiceFilePacket = 35;
inline constexpr uint8_t kServiceFx3Firmware = 50;

// File kinds of the final file packet.
inline constexpr uint8_t kFileKindImage = 0;
inline constexpr uint8_t kFileKindNamed = 1;
inline constexpr uint8_t kFileKindFx3 = 2;

// Limits of the file packet transfer.
inline constexpr uint32_t kMaxPacketData = 1024;
inline constexpr size_t kMaxTransferredFile = 64u << 20;

struct StoredFile {
  uint8_t kind = kFileKindNamed;
  std::vector<uint8_t> contents;
};

struct FirmwareReply {
  std::vector<uint8_t> body;
  bool soft_boot = false;  // the unit restarts once the reply has been read
};

class ReaderFirmware {
 public:
  // state_dir empty: nothing is persisted. Loads the state saved there before.
  ReaderFirmware(const UnitConfig& config, std::filesystem::path state_dir);
  ~ReaderFirmware();
  ReaderFirmware(const ReaderFirmware&) = delete;
  ReaderFirmware& operator=(const ReaderFirmware&) = delete;

  // The reply body to one well-formed request.
  FirmwareReply Handle(const Request& request);
  // Handlers asked before the firmware's own services (the flash model, and
  // whatever a test adds); the newest first.
  void AddHandler(std::unique_ptr<RequestHandler> handler);
  // The unit's own flash model (it guards itself).
  FlashModel* flash() const { return flash_; }
  // A restart (soft boot or power loss): an unfinished transfer is lost,
  // strings of files received or changed since the last restart take effect,
  // and a unit with a boot-loader product id enters or leaves its boot loader.
  void Restart();
  // The product id the unit is on the bus with: the boot loader's after a
  // restart that followed a restored image, else the unit's own.
  uint16_t ProductId() const;

  uint32_t status_word() const { return status_word_; }
  // The strings the unit reports, by key ("firmware_name", "serial_string",
  // "fx3_firmware", "application_header", "boot_header", "sh4_firmware_name");
  // nullopt when the unit does not know the request.
  std::optional<std::string> ReportedString(const std::string& key) const;
  // Throws std::invalid_argument for an unknown key.
  void SetReportedString(const std::string& key, std::optional<std::string> value);
  void SetStatusWord(uint32_t word);
  std::optional<StoredFile> FileNamed(const std::string& name) const;
  std::vector<std::string> FileNames() const;
  // The image received as a transfer without a name (kind 0).
  std::optional<std::vector<uint8_t>> Image() const;
  std::vector<uint8_t> Fx3BootMemory() const { return fx3_memory_; }

  // Writes what changed since the last save.
  void Save();

 private:
  std::vector<uint8_t> ServiceRequest(const Request& request);
  std::vector<uint8_t> StatusWord(std::span<const uint8_t> body);
  std::vector<uint8_t> InformationString(uint8_t service);
  std::vector<uint8_t> HeaderString(uint8_t service);
  std::vector<uint8_t> FilePacket(std::span<const uint8_t> body);
  std::vector<uint8_t> Fx3BootLine(std::span<const uint8_t> body);
  std::vector<uint8_t> ApiVersion() const;
  std::vector<uint8_t> Sh4FirmwareName() const;
  int32_t FinishTransfer(std::span<const uint8_t> body);
  // Reads the saved state; true when it held the flash-file digests.
  bool Load();
  void SaveFile(const std::string& name, const StoredFile& file);
  // Size and CRC of each file in chip 0's flash file system, by name.
  std::map<std::string, std::string> FlashFileDigests() const;

  const UnitConfig& config_;
  std::filesystem::path state_dir_;
  std::vector<std::unique_ptr<RequestHandler>> handlers_;
  FlashModel* flash_ = nullptr;  // owned by handlers_

  uint32_t status_word_;
  bool status_word_changed_ = false;  // persisted once changed at run time
  std::map<std::string, std::optional<std::string>> strings_;
  std::map<std::string, std::optional<std::string>> string_overrides_;  // persisted
  std::map<std::string, StoredFile> files_;                             // kind 0 under the empty name
  // Names of the files received since the last restart; the empty name is
  // the flash image, whether it came as a transfer or as raw sector writes.
  std::set<std::string> received_since_restart_;
  // FlashFileDigests() at the last restart (or when the unit first ran):
  // a flash file whose digest differs at the next restart was written.
  std::map<std::string, std::string> flash_digests_;
  bool in_boot_loader_ = false;
  std::vector<uint8_t> fx3_memory_;
  size_t fx3_high_water_ = 0;  // bytes of boot memory ever written

  // The packet transfer in progress.
  struct Transfer {
    uint32_t count = 0;
    uint32_t next_index = 0;
    std::vector<uint8_t> data;
    PacketCrc crc;
  };
  std::optional<Transfer> transfer_;

  bool state_dirty_ = false;
  bool fx3_dirty_ = false;
  std::set<std::string> files_dirty_;
};

// A file name as it is kept in a state folder: characters outside
// [A-Za-z0-9._-] become %XX, so any name the host sends is a safe file name.
std::string EncodeStoredName(const std::string& name);
std::string DecodeStoredName(const std::string& encoded);

}  // namespace sim
