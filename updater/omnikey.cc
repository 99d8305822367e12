// Switching attached OMNIKEY contactless card readers around an update.
#include <strings.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/pcsc.h"
#include "updater/engine.h"

namespace {

// Reader names are compared by this prefix: the PC/SC service appends slot
// and instance numbers to the name.
constexpr const char kOmnikeyPrefix[] = "OMNIKEY CardMan 5x21-CL";
constexpr size_t kOmnikeyPrefixLength = sizeof kOmnikeyPrefix - 1;
constexpr uint8_t kSwitchCommand = 0x03;
constexpr uint8_t kBeforeUpdate = 0x01;
constexpr uint8_t kAfterUpdate = 0x00;
constexpr size_t kControlOutputBytes = 200;

}  // namespace

void ControlOmnikeyReaders(bool after) {
  const std::shared_ptr<platform::pcsc::Backend> backend = platform::pcsc::GetBackend();
  std::unique_ptr<platform::pcsc::Context> context = backend->EstablishContext();
  if (context == nullptr) return;
  const std::optional<std::vector<std::string>> readers = context->ListReaders();
  if (!readers) return;

  bool connect_failed = false;
  for (const std::string& reader : *readers) {
    if (connect_failed || reader.size() < kOmnikeyPrefixLength ||
        strncasecmp(reader.c_str(), kOmnikeyPrefix, kOmnikeyPrefixLength) != 0) {
      continue;
    }
    std::unique_ptr<platform::pcsc::Card> card = context->ConnectDirect(reader);
    if (card == nullptr) {
      connect_failed = true;
      continue;
    }
    const std::array<uint8_t, 2> input = {kSwitchCommand, after ? kAfterUpdate : kBeforeUpdate};
    std::array<uint8_t, kControlOutputBytes> output{};
    size_t received = 0;
    // What the reader answers changes nothing for the update.
    card->Control(platform::pcsc::kControlOmnikeySwitch, input, output, &received);
  }
}
