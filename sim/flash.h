// The simulated unit's flash: logical and raw sectors, the flash directory and
// the serial memories.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "sim/request_handler.h"

namespace sim {

// Which sector replies carry nothing but their 2-byte status, as units that
// answer only what the host reads do.
enum class StatusOnlyReplies {
  kNever,         // every reply has its full size
  kFailures,      // a reply whose status is not 0
  kUnusedFields,  // also a successful one whose fields beyond the status the host does not use
};

// The "flash" object of a unit file (keys in docs/sim-units.md).
struct FlashSettings {
  struct SerialMemory {
    uint32_t size = 0x4000;
    uint32_t seed = 0;
  };
  struct Injection {
    uint8_t sub_command = 0;
    int16_t status = 0;
    int32_t skip = 0;
    int32_t count = -1;  // < 0: every matching request after the skipped ones
  };
  uint32_t sectors_per_chip = 2048;
  std::vector<uint8_t> logical_chips = {0};
  std::vector<uint8_t> raw_chips = {0};
  uint32_t raw_sectors = 8192;
  bool require_init = true;
  bool format = true;
  std::map<uint8_t, SerialMemory> serial_memories = {{2, {0x4000, 2}}, {16, {0x20000, 16}}};
  bool memory_size_service = true;
  std::optional<uint32_t> firmware_memory_size;  // nullopt: the size of memory 2
  std::optional<uint32_t> config_memory_size;    // nullopt: the size of memory 16
  std::vector<Injection> inject;
  StatusOnlyReplies status_only_replies = StatusOnlyReplies::kNever;
};

// Checks and reads a "flash" object. Throws std::invalid_argument naming the
// key ("flash.sectors_per_chip: ...") for a value of the wrong type or range
// or an unknown key.
FlashSettings ParseFlashSettings(const nlohmann::json& config);

// Builds the flash model from the "flash" object of a unit file (an empty
// object gives the defaults) with its persistent state in state_dir (created
// when missing; empty path: nothing is persisted).
std::unique_ptr<RequestHandler> MakeFlashModel(const nlohmann::json& config, const std::filesystem::path& state_dir);

}  // namespace sim
