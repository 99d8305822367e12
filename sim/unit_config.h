// What a simulated reader unit is: its USB identity, what it reports about
// itself, how it behaves around a soft boot, and the faults it has. A unit
// file (docs/sim-units.md) is the JSON form of this.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace sim {

enum class UnitInterface {
  kReader,      // bulk IN/OUT pipes
  kStillImage,  // read and written as a file
};

// Which requests a fault applies to. Requests are counted from 1: every
// transfer the host writes to the unit since the faults were installed.
struct FaultTrigger {
  uint32_t from_request = 1;
  uint32_t count = 0;  // 0: every request from from_request on
  bool Matches(uint64_t request_number) const;
};

struct WrongEchoFault {
  FaultTrigger when;
  std::optional<uint8_t> command;  // the Command byte answered; default: the request's XOR 0x80
};

struct OversizeFault {
  FaultTrigger when;
  uint32_t body_bytes = 4096;  // the reply body is zero-extended to this length
};

struct DisconnectFault {
  uint32_t at_request = 1;
  // Milliseconds on the installed clock until the unit is back on the bus;
  // nullopt: it stays away until a test reconnects it.
  std::optional<uint32_t> return_after_ms;
};

// A write that completes with fewer bytes than the host handed over: the
// unit did not get the whole message and does not act on it.
struct ShortWriteFault {
  FaultTrigger when;
  uint32_t bytes = 0;  // what the write completes with; a write no longer than this is whole
};

// A write that completes only after some time on the installed clock; the
// unit acts on the request when it completes.
struct SlowWriteFault {
  FaultTrigger when;
  uint32_t after_ms = 0;
};

// Raw bytes answered to one request in place of the unit's own reply. Each
// chunk ends a bulk transfer (a read never crosses a chunk), so chunks can
// model short packets; no padding is added.
struct ScriptedReply {
  std::vector<std::vector<uint8_t>> chunks;
};

struct Faults {
  // A read of at least this many bytes that would start delivering a reply
  // is never answered (0: off); smaller reads are.
  uint32_t unanswered_first_read = 0;
  std::optional<FaultTrigger> silence;  // the request is not processed, nothing answered
  std::optional<WrongEchoFault> wrong_echo;
  std::optional<OversizeFault> oversize;
  std::optional<DisconnectFault> disconnect;
  // Write-side faults; where several match one request the first listed wins.
  std::optional<FaultTrigger> stuck_write;  // never completes: pending until the host cancels it
  std::optional<ShortWriteFault> short_write;
  std::optional<SlowWriteFault> slow_write;
  std::vector<uint8_t> halted_endpoints;               // halted until the host resets them
  std::map<uint32_t, ScriptedReply> scripted_replies;  // by request number
};

// After a file of the given name has been stored, the next restart makes the
// unit report these strings (keys as in the "identity" object). A file counts
// when it arrived by packet transfer or was written or changed in the flash
// file system of logical chip 0; the name kImageRuleFile stands for a restored
// flash image (a transfer without a name, or raw sector writes).
inline constexpr const char* kImageRuleFile = "(image)";

// What the unit does with an FX3 boot-memory line that runs past the end of
// its chip's 64 KiB: real units differ, so a unit file chooses.
enum class Fx3LineCrossing {
  kLinear,  // written at chip * 65536 + address onwards, into the next chip
  kWrap,    // the address wraps within the chip
  kRefuse,  // answered with status -270, nothing written
};

struct UpdateRule {
  std::string file;
  std::map<std::string, std::string> strings;
};

struct UnitConfig {
  std::string name = "unit";  // the unit file's base name; names its state folder

  // USB identity.
  uint16_t vendor_id = 0x0898;
  uint16_t product_id = 0x0041;
  std::string serial = "SN0001";  // the instance part of the device path
  UnitInterface interface = UnitInterface::kReader;
  std::string description = "Quorvel Document Reader";
  bool disabled = false;
  std::vector<std::string> hardware_ids;  // empty: derived from the ids
  std::string parent_id;                  // empty: derived
  uint8_t in_pipe = 0x81;
  uint8_t out_pipe = 0x02;
  uint16_t max_packet_size = 512;
  uint32_t max_transfer_size = 0x200000;

  // What the unit reports.
  std::string firmware_name = "FW41580-01-02";
  int32_t firmware_name_status = 0;              // non-zero: service 6 answers only this status
  std::optional<std::string> sh4_firmware_name;  // nullopt: Command 127 unknown
  std::optional<std::string> serial_string;      // nullopt: the USB serial
  std::optional<std::string> fx3_firmware;
  std::optional<std::string> application_header;
  std::optional<std::string> boot_header;
  std::optional<uint16_t> api_version = 0x0B;  // nullopt: Command 120 unknown
  uint32_t status_word = 0x80;
  uint32_t non_sticky_bits = 0;
  std::vector<uint32_t> unknown_services;  // Command 14 services answered -266
  std::vector<uint8_t> unknown_commands;   // commands answered -266

  uint32_t reenumerate_after_ms = 3000;  // after a soft boot
  // Set: a restart that follows a restored flash image brings the unit back
  // under this product id, as a unit that runs its boot loader; the restart
  // after that brings it back under product_id.
  std::optional<uint16_t> boot_loader_product_id;
  uint32_t fx3_boot_memory_bytes = 0x80000;
  Fx3LineCrossing fx3_line_crossing = Fx3LineCrossing::kLinear;
  std::vector<UpdateRule> updates;
  Faults faults;
  nlohmann::json flash = nlohmann::json::object();  // handed to the flash model

  // Derived identity (from product_id; see Unit::BusIdentity for the ids a
  // unit has while it runs its boot loader).
  std::string InstanceId() const;  // e.g. "USB\VID_0898&PID_0041\SN0001"
  std::string ParentId() const;
  std::string DevicePath() const;  // the interface path the host opens
  std::vector<std::string> HardwareIds() const;
  bool IsComposite() const { return product_id == 0x0064; }
};

// Parses a unit from its JSON form. Throws std::invalid_argument naming the
// offending key when a value has the wrong type or range, or a key is unknown
// (a misspelt key would otherwise silently fall back to a default).
UnitConfig ParseUnitConfig(const nlohmann::json& document, const std::string& name);

// Reads and parses a unit file; the unit's name is the file's base name.
// On failure returns nullopt and sets *error to "<path>: <why>".
std::optional<UnitConfig> LoadUnitFile(const std::filesystem::path& path, std::string* error);

// Bytes written as hex digits in unit files and stored names; blanks between
// digits are skipped. nullopt for any other character or an odd digit count.
std::optional<std::vector<uint8_t>> FromHex(const std::string& text);

}  // namespace sim
