// The simulated unit's flash: logical and raw sectors, the flash directory and
// the serial memories.
#pragma once

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>

#include "sim/request_handler.h"

namespace sim {

// Builds the flash model from the "flash" object of a unit file (an empty
// object gives the defaults) with its persistent state in state_dir (created
// when missing; empty path: nothing is persisted).
std::unique_ptr<RequestHandler> MakeFlashModel(const nlohmann::json& config, const std::filesystem::path& state_dir);

}  // namespace sim
