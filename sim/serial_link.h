// A simulated unit on a serial line: the unit's firmware behind the master
// side of a pseudo-terminal pair. A thread reads the characters the host
// writes to the slave side (SEROpen(device_path())), finds each request
// frame (start mark 0x01 0xFF, header, body, CRC-32/JAMCRC), hands the
// request to the firmware and writes the framed reply back, cut into
// characters of the link's bit size. Frames that do not check out are
// skipped one character at a time, as a unit hunting for a start mark would.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/serial_port.h"
#include "sim/firmware.h"
#include "sim/unit_config.h"

namespace sim {

// Frames a message as the serial stream carries it and cuts it into
// characters of `bits` bits (5..16), the frame read as a little-endian bit
// stream. A reply Size above 0x7FFF counts 256-byte units with bit 15 set;
// the body is zero-padded to the count it stands for.
std::vector<uint16_t> SerialFrameCharacters(uint8_t command, uint8_t reserved, std::span<const uint8_t> body,
                                            int32_t bits);

class SerialLink {
 public:
  // Starts serving; null when no pseudo-terminal can be had or it does not
  // take the bit size (Linux pseudo-terminals only carry 8 bits). state_dir
  // empty: nothing persists.
  static std::unique_ptr<SerialLink> Start(UnitConfig config, int32_t bits, std::filesystem::path state_dir = {});
  // Stops the thread (within one 20 ms poll slice) and closes the terminal.
  ~SerialLink();
  SerialLink(const SerialLink&) = delete;
  SerialLink& operator=(const SerialLink&) = delete;

  // The slave side, for the host to open.
  const std::string& device_path() const { return terminal_->slave_path(); }
  uint64_t requests_served();
  // Characters that were not part of a request frame.
  uint64_t characters_skipped();
  // A file of chip 0's flash file system; nullopt when there is none.
  std::optional<std::vector<uint8_t>> FlashFile(const std::string& name);

 private:
  SerialLink(UnitConfig config, int32_t bits, std::filesystem::path state_dir,
             std::unique_ptr<platform::serial::PseudoTerminal> terminal);
  void Run();
  // Takes one received character; answers once it completes a request.
  void Receive(uint16_t character);
  bool Answer(const Request& request);

  const UnitConfig config_;
  const int32_t bits_;
  std::unique_ptr<platform::serial::PseudoTerminal> terminal_;
  std::mutex mutex_;  // guards firmware_ and the counters
  ReaderFirmware firmware_;
  uint64_t requests_served_ = 0;
  uint64_t characters_skipped_ = 0;
  // Only the serving thread touches the frame being received.
  std::vector<uint16_t> pending_;
  std::vector<uint8_t> pending_bytes_;  // pending_'s bits
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace sim
