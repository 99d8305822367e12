// The settings file as any bytes: the profile reader's parse and lookups,
// then the update engine's whole load (every key, the reader-type selection
// and the session-log record of each setting).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/input.h"
#include "fuzz/targets.h"
#include "platform/profile.h"
#include "updater/silent.h"

namespace fuzz {

int Settings(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const platform::Profile profile = platform::Profile::Parse(text);
  // Sections and keys taken from the input itself find what it defines.
  const size_t split = size / 2;
  const std::string_view section = text.substr(0, split % 16);
  const std::string_view key = text.substr(split, split % 16);
  for (const size_t buffer : {size_t{0}, size_t{1}, size_t{8}, size_t{1000}}) {
    if (profile.Text(section, key, "fallback", buffer).size() > (buffer == 0 ? 0 : buffer - 1)) __builtin_trap();
  }
  profile.Int(section, key, -7);
  profile.Int("InitSettings", "locateUSBTimeout", 30);

  SessionLogSpy log;
  const std::string path = WriteScratchFile("QuorvelFirmwareUpdater.ini", {data, data + size});
  QuorvelFirmwareUpdaterSilent silent;
  const int32_t selected = silent.LoadSettingsFromIniFile(path.c_str());
  if (selected != (silent.m_ReaderType != 0 ? 1 : 0)) __builtin_trap();
  return 0;
}

}  // namespace fuzz

QUORVEL_FUZZ_ENTRY(fuzz::Settings)
