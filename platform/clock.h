// The one source of time for the whole system: tick counts, sleeps, the
// high-resolution seconds counter and local time stamps all come from the
// installed clock, so tests can run every wait on virtual time.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace platform {

struct LocalTime {
  int year;   // four digits
  int month;  // 1-12
  int day;    // 1-31
  int hour;   // 0-23
  int minute;
  int second;
  int millisecond;  // 0-999
  int weekday;      // 0 = Sunday
};

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since an arbitrary origin; wraps around like any 32-bit tick.
  virtual uint32_t TickCount() = 0;
  virtual void Sleep(uint32_t milliseconds) = 0;
  // A sleep during which pending transfer completions may be delivered.
  virtual void SleepAlertable(uint32_t milliseconds) = 0;
  // Seconds since the clock's first use; monotonic, and advancing at the pace
  // of local time (the trace log formats the calendar part of its stamps
  // once per local-time second by watching this counter).
  virtual double Seconds() = 0;
  virtual LocalTime Now() = 0;
};

// Wall time of the machine: steady clock for ticks, real sleeps, local time.
class RealClock final : public Clock {
 public:
  uint32_t TickCount() override;
  void Sleep(uint32_t milliseconds) override;
  void SleepAlertable(uint32_t milliseconds) override;
  double Seconds() override;
  LocalTime Now() override;
};

// Time that moves only when someone sleeps on it or advances it by hand.
// A sleep returns at once after moving time forward. Thread-safe.
class VirtualClock final : public Clock {
 public:
  // Starts at the given local time (with milliseconds) and tick count.
  explicit VirtualClock(LocalTime start = {2026, 12, 5, 20, 42, 7, 83, 6}, uint32_t start_tick = 1000);
  ~VirtualClock() override;
  uint32_t TickCount() override;
  void Sleep(uint32_t milliseconds) override;
  void SleepAlertable(uint32_t milliseconds) override;
  double Seconds() override;
  LocalTime Now() override;

  void Advance(uint64_t milliseconds);
  // Total milliseconds slept or advanced since construction.
  uint64_t Elapsed() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

namespace clock_detail {
// Set only by SetClock; read inline, as every trace line reads the clock.
extern std::atomic<Clock*> installed;
extern std::atomic<uint64_t> installations;
}  // namespace clock_detail

inline Clock& GetClock() { return *clock_detail::installed.load(std::memory_order_acquire); }
// Installs a clock for the whole process; null restores the real clock.
// The caller keeps ownership and must keep it alive while installed.
void SetClock(Clock* clock);
// How many times a clock was installed: a value cached from one clock is
// not taken for another's, even one built at the same address.
inline uint64_t ClockInstallations() { return clock_detail::installations.load(std::memory_order_acquire); }

// Installs a clock for the lifetime of the guard (tests).
class ScopedClock {
 public:
  explicit ScopedClock(Clock& clock) { SetClock(&clock); }
  ~ScopedClock() { SetClock(nullptr); }
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;
};

}  // namespace platform
