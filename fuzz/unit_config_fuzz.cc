// Unit files as any bytes: the loader must give a unit or a reason, never
// throw anything else or crash, whatever the JSON holds. A unit that loads
// also has its flash settings checked and its derived identity built.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "fuzz/input.h"
#include "fuzz/targets.h"
#include "sim/flash.h"
#include "sim/unit_config.h"

namespace fuzz {

int UnitConfig(const uint8_t* data, size_t size) {
  const std::string path = WriteScratchFile("unit.json", {data, data + size});
  std::string error;
  const std::optional<sim::UnitConfig> unit = sim::LoadUnitFile(path, &error);
  if (unit.has_value() == !error.empty()) __builtin_trap();
  if (unit) {
    if (unit->name != "unit") __builtin_trap();
    (void)unit->DevicePath();
    (void)unit->HardwareIds();
    (void)unit->ParentId();
    try {
      (void)sim::ParseFlashSettings(unit->flash);
    } catch (const std::invalid_argument&) {
    }
  }
  // The parser itself promises std::invalid_argument for every bad value.
  const nlohmann::json document = nlohmann::json::parse(data, data + size, nullptr, false);
  if (!document.is_discarded()) {
    try {
      (void)sim::ParseUnitConfig(document, "unit");
    } catch (const std::invalid_argument&) {
    }
  }
  // Hex text as stored names and unit files carry it.
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (const auto bytes = sim::FromHex(text); bytes && bytes->size() * 2 > text.size()) __builtin_trap();
  return 0;
}

}  // namespace fuzz

QUORVEL_FUZZ_ENTRY(fuzz::UnitConfig)
