#include "platform/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>

#include "platform/system.h"

namespace platform::serial {
namespace {

// Long enough not to spin, short enough that a caller's time limit and
// abort checks (made between reads) stay responsive.
constexpr int kReadSliceMs = 10;

int32_t BitsOfSize(tcflag_t csize) {
  switch (csize) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    case CS8: return 8;
  }
  return -1;
}

bool SizeOfBits(int32_t bits, tcflag_t* csize) {
  switch (bits) {
    case 5: *csize = CS5; return true;
    case 6: *csize = CS6; return true;
    case 7: *csize = CS7; return true;
    case 8: *csize = CS8; return true;
    default: return false;
  }
}

// Raw mode, keeping the character size the port was configured with.
bool MakeRaw(int fd) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) return false;
  const tcflag_t size = settings.c_cflag & CSIZE;
  cfmakeraw(&settings);
  settings.c_cflag = (settings.c_cflag & ~CSIZE) | size | CREAD | CLOCAL;
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  return tcsetattr(fd, TCSANOW, &settings) == 0;
}

void RecordErrno() { SetLastSystemError(static_cast<uint32_t>(errno)); }

class TerminalPort final : public Port {
 public:
  explicit TerminalPort(int fd) : fd_(fd) {}
  ~TerminalPort() override { close(fd_); }
  TerminalPort(const TerminalPort&) = delete;
  TerminalPort& operator=(const TerminalPort&) = delete;

  int32_t Read() override {
    if (next_ == filled_ && !Fill()) return kNoCharacter;
    const int32_t bits = BitSize();
    const uint8_t byte = buffer_[next_++];
    return bits > 0 && bits < 8 ? byte & ((1 << bits) - 1) : byte;
  }

  bool CanWrite() override {
    pollfd waiting{fd_, POLLOUT, 0};
    return poll(&waiting, 1, 0) == 1 && (waiting.revents & POLLOUT) != 0;
  }

  bool Write(uint16_t character) override {
    const uint8_t byte = static_cast<uint8_t>(character);
    for (;;) {
      const ssize_t written = write(fd_, &byte, 1);
      if (written == 1) return true;
      if (written < 0 && errno == EINTR) continue;
      if (written < 0) RecordErrno();
      return false;
    }
  }

  int32_t BitSize() override {
    if (failed_) return -1;
    termios settings{};
    if (tcgetattr(fd_, &settings) != 0) {
      RecordErrno();
      return -1;
    }
    return BitsOfSize(settings.c_cflag & CSIZE);
  }

 private:
  bool Fill() {
    pollfd waiting{fd_, POLLIN, 0};
    const int ready = poll(&waiting, 1, kReadSliceMs);
    if (ready <= 0) return false;
    if ((waiting.revents & (POLLERR | POLLNVAL)) != 0) {
      failed_ = true;
      return false;
    }
    const ssize_t got = read(fd_, buffer_.data(), buffer_.size());
    if (got < 0) {
      if (errno != EAGAIN && errno != EINTR) {
        RecordErrno();
        failed_ = true;
      }
      return false;
    }
    next_ = 0;
    filled_ = static_cast<size_t>(got);
    return got > 0;
  }

  const int fd_;
  bool failed_ = false;  // the device went away or refused a read
  std::array<uint8_t, 256> buffer_{};
  size_t next_ = 0;
  size_t filled_ = 0;
};

}  // namespace

std::unique_ptr<Port> OpenTerminal(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    RecordErrno();
    return nullptr;
  }
  if (!isatty(fd) || !MakeRaw(fd)) {
    RecordErrno();
    close(fd);
    return nullptr;
  }
  return std::make_unique<TerminalPort>(fd);
}

int32_t MemoryPort::Read() {
  std::lock_guard lock(mutex_);
  if (incoming_.empty()) return kNoCharacter;
  const uint16_t character = incoming_.front();
  incoming_.pop_front();
  return character;
}

bool MemoryPort::CanWrite() {
  std::lock_guard lock(mutex_);
  return !blocked_;
}

bool MemoryPort::Write(uint16_t character) {
  std::lock_guard lock(mutex_);
  if (blocked_) return false;
  sent_.push_back(character);
  return true;
}

int32_t MemoryPort::BitSize() {
  std::lock_guard lock(mutex_);
  return bit_size_;
}

void MemoryPort::Deliver(std::span<const uint16_t> characters) {
  std::lock_guard lock(mutex_);
  incoming_.insert(incoming_.end(), characters.begin(), characters.end());
}

std::vector<uint16_t> MemoryPort::TakeSent() {
  std::lock_guard lock(mutex_);
  std::vector<uint16_t> sent;
  sent.swap(sent_);
  return sent;
}

void MemoryPort::SetBitSize(int32_t bit_size) {
  std::lock_guard lock(mutex_);
  bit_size_ = bit_size;
}

void MemoryPort::SetBlocked(bool blocked) {
  std::lock_guard lock(mutex_);
  blocked_ = blocked;
}

std::unique_ptr<PseudoTerminal> PseudoTerminal::Open() {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (master < 0) {
    RecordErrno();
    return nullptr;
  }
  std::array<char, 128> name{};
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name.data(), name.size()) != 0) {
    RecordErrno();
    close(master);
    return nullptr;
  }
  // Raw before anyone writes: the line discipline must not echo or translate.
  const int slave = open(name.data(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  const bool raw = slave >= 0 && MakeRaw(slave);
  if (!raw) {
    RecordErrno();
    if (slave >= 0) close(slave);
    close(master);
    return nullptr;
  }
  auto terminal = std::unique_ptr<PseudoTerminal>(new PseudoTerminal(master, name.data()));
  // Held open so that the master does not see a hang-up between the slave's
  // users (a closed slave makes the master's poll report POLLHUP at once).
  terminal->slave_ = slave;
  return terminal;
}

PseudoTerminal::~PseudoTerminal() {
  close(slave_);
  close(master_);
}

bool PseudoTerminal::SetBitSize(int32_t bits) {
  tcflag_t size = 0;
  termios settings{};
  if (!SizeOfBits(bits, &size) || tcgetattr(slave_, &settings) != 0) return false;
  settings.c_cflag = (settings.c_cflag & ~CSIZE) | size;
  // Linux pseudo-terminals accept the call but keep 8 bits: read it back.
  return tcsetattr(slave_, TCSANOW, &settings) == 0 && tcgetattr(slave_, &settings) == 0 &&
         (settings.c_cflag & CSIZE) == size;
}

int32_t PseudoTerminal::Read(std::span<uint8_t> buffer, int32_t wait_ms) {
  pollfd waiting{master_, POLLIN, 0};
  const int ready = poll(&waiting, 1, wait_ms);
  if (ready < 0) return errno == EINTR ? 0 : -1;
  if (ready == 0 || (waiting.revents & POLLIN) == 0) return 0;
  const ssize_t got = read(master_, buffer.data(), buffer.size());
  if (got < 0) return errno == EAGAIN || errno == EINTR ? 0 : -1;
  return static_cast<int32_t>(got);
}

bool PseudoTerminal::Write(std::span<const uint8_t> bytes, int32_t wait_ms) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = write(master_, bytes.data() + done, bytes.size() - done);
    if (written > 0) {
      done += static_cast<size_t>(written);
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && errno != EAGAIN) return false;
    // The slave's input queue is full until the other side reads.
    pollfd waiting{master_, POLLOUT, 0};
    if (poll(&waiting, 1, wait_ms) <= 0) return false;
  }
  return true;
}

}  // namespace platform::serial
