// The serial-line boundary: a character port the serial stream transport
// reads and writes one character at a time, a termios implementation for
// real ports (USB serial adapters, pseudo-terminals), an in-memory port for
// tests, and the master side of a pseudo-terminal pair for the simulated
// unit. Errors are errno values left in the thread's slot (platform/system.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace platform::serial {

// What Read() returns when no character is waiting.
inline constexpr int32_t kNoCharacter = 256;

class Port {
 public:
  virtual ~Port() = default;
  // The next received character (0..0xFFFF), or kNoCharacter when none
  // arrived within the port's short wait slice. Never blocks longer than that.
  virtual int32_t Read() = 0;
  // Whether the port can take a character now.
  virtual bool CanWrite() = 0;
  // Sends one character (its low BitSize() bits); false on failure.
  virtual bool Write(uint16_t character) = 0;
  // Bits per character (5..16); negative when the port is in error.
  virtual int32_t BitSize() = 0;
};

// Opens a termios device (e.g. "/dev/ttyUSB0", or the slave side of a
// pseudo-terminal) in raw mode, keeping its character size (CSIZE, 5..8
// bits) and speed as configured. A read waits for input with poll() for at
// most a 10 ms slice, so a caller that also sleeps on the installed clock
// between reads keeps its own time limit. Null on failure (errno in slot).
std::unique_ptr<Port> OpenTerminal(const std::string& path);

// Two character queues in memory: what the host side writes is collected in
// Sent(), what a test queues with Deliver() is read back. Any bit size from
// 1 to 16 (larger than a termios port can be). Thread-safe; Read() does not
// wait.
class MemoryPort final : public Port {
 public:
  explicit MemoryPort(int32_t bit_size) : bit_size_(bit_size) {}
  int32_t Read() override;
  bool CanWrite() override;
  bool Write(uint16_t character) override;
  int32_t BitSize() override;

  void Deliver(std::span<const uint16_t> characters);
  // Characters written since the last call, oldest first.
  std::vector<uint16_t> TakeSent();
  // Negative: the port reports an error.
  void SetBitSize(int32_t bit_size);
  // Refuses writes: CanWrite() false, so a writer waits for room.
  void SetBlocked(bool blocked);

 private:
  std::mutex mutex_;  // guards every member below
  int32_t bit_size_;
  bool blocked_ = false;
  std::deque<uint16_t> incoming_;
  std::vector<uint16_t> sent_;
};

// The master side of a new pseudo-terminal pair in raw mode; the slave side
// is opened by path (OpenTerminal) as a serial port would be. Closed with the
// object.
class PseudoTerminal {
 public:
  // Null on failure (errno in slot).
  static std::unique_ptr<PseudoTerminal> Open();
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  const std::string& slave_path() const { return slave_path_; }
  // Sets the character size of the pair (5..8 bits); false when the
  // terminal does not take it (Linux pseudo-terminals keep 8 bits).
  bool SetBitSize(int32_t bits);
  // Waits with poll() up to the given milliseconds of real time for input,
  // then reads what is there. Bytes read (0 when none came), -1 on error.
  int32_t Read(std::span<uint8_t> buffer, int32_t wait_ms);
  // Writes every byte, waiting with poll() up to wait_ms of real time each
  // time the other side's input queue is full; false on error or when the
  // other side stops reading.
  bool Write(std::span<const uint8_t> bytes, int32_t wait_ms);

 private:
  explicit PseudoTerminal(int master, std::string slave_path) : master_(master), slave_path_(std::move(slave_path)) {}
  int master_;
  int slave_ = -1;
  std::string slave_path_;
};

}  // namespace platform::serial
