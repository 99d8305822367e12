// The smart-card service boundary. Around an update the engine switches the
// attached HID OMNIKEY card readers by sending them control codes through the
// PC/SC service; everything it needs of that service goes through one
// Backend: a context, the reader names, a direct connection to one reader and
// a control exchange on it.
//
// Two backends implement it: pcsc-lite for the real service and a recording
// fake for tests (tests/support/fake_pcsc.h). Results are PC/SC result codes
// as 32-bit values (0 = success, failures 0x801000xx as on every PC/SC
// implementation). The thread's last-error slot is left alone: the engine
// ends silently on any PC/SC failure and keeps its own error for the update.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform::pcsc {

// Control codes in pcsc-lite's encoding, SCARD_CTL_CODE(n) = 0x42000000 + n.
// The Windows service encodes the same functions as 0x310000 + (n << 2).
//
// The CCID escape: Windows' 0x3136B0, SCARD_CTL_CODE(3500). The CCID driver
// used with pcsc-lite (libccid) takes the escape as SCARD_CTL_CODE(1), not
// 3500, and only when its configuration allows escape commands.
inline constexpr uint32_t kControlCcidEscape = 0x42000001;
// The OMNIKEY reader switch: Windows' 0x31321C, SCARD_CTL_CODE(3207).
inline constexpr uint32_t kControlOmnikeySwitch = 0x42000C87;

inline constexpr int32_t kSuccess = 0;

// A direct connection to one reader. Destroy it before the Context that made
// it: releasing a context invalidates its connections.
class Card {
 public:
  // Disconnects with the card unpowered (SCardDisconnect, SCARD_UNPOWER_CARD).
  virtual ~Card() = default;

  // Sends the control code with the input bytes (SCardControl); the reader
  // may write up to output.size() bytes into the caller's buffer. Returns the
  // PC/SC result; *received gets the number of bytes written (0 on failure).
  virtual int32_t Control(uint32_t code, std::span<const uint8_t> input, std::span<uint8_t> output,
                          size_t* received) = 0;
};

// An established context with user scope.
class Context {
 public:
  // Releases the context (SCardReleaseContext).
  virtual ~Context() = default;

  // Reader names in the service's order, up to the first empty name
  // (SCardListReaders with an automatically allocated multi-string and no
  // group filter; the multi-string is freed with SCardFreeMemory before this
  // returns). nullopt when the listing fails, including when no reader is
  // attached (SCARD_E_NO_READERS_AVAILABLE).
  virtual std::optional<std::vector<std::string>> ListReaders() = 0;

  // Connects to the reader in direct share mode with no preferred protocol
  // (SCardConnect, SCARD_SHARE_DIRECT, 0), so no card needs to be present.
  // null on failure.
  virtual std::unique_ptr<Card> ConnectDirect(const std::string& reader) = 0;
};

class Backend {
 public:
  virtual ~Backend() = default;

  // Establishes a context with user scope (SCardEstablishContext,
  // SCARD_SCOPE_USER). null on failure; when no service is running
  // (SCARD_E_NO_SERVICE) the failure comes back at once, without waiting for
  // one to start.
  virtual std::unique_ptr<Context> EstablishContext() = 0;
};

// The names of a PC/SC multi-string (names each ended by a zero byte, the
// list ended by an empty name), in order, up to the first empty name or the
// end of the text, whichever comes first.
std::vector<std::string> SplitReaderNames(std::string_view multi_string);

// The backend in use. Until one is installed this is the pcsc-lite backend.
std::shared_ptr<Backend> GetBackend();
// Installs a backend for the whole process; null restores pcsc-lite.
void SetBackend(std::shared_ptr<Backend> backend);

}  // namespace platform::pcsc
