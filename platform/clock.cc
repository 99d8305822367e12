#include "platform/clock.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

namespace platform {
namespace {

RealClock g_real_clock;

using SteadyClock = std::chrono::steady_clock;

const SteadyClock::time_point& ProcessStart() {
  static const SteadyClock::time_point start = SteadyClock::now();
  return start;
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

uint32_t RealClock::TickCount() {
  auto since = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now().time_since_epoch());
  return static_cast<uint32_t>(since.count());
}

void RealClock::Sleep(uint32_t milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

void RealClock::SleepAlertable(uint32_t milliseconds) { Sleep(milliseconds); }

double RealClock::Seconds() { return std::chrono::duration<double>(SteadyClock::now() - ProcessStart()).count(); }

LocalTime RealClock::Now() {
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm parts{};
  localtime_r(&seconds, &parts);
  return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1,         parts.tm_mday, parts.tm_hour, parts.tm_min,
                   parts.tm_sec,         static_cast<int>(millis), parts.tm_wday};
}

// Reads outnumber advances by far (every time limit and trace stamp reads
// the clock), so the elapsed time is one atomic rather than a mutex; the
// start fields never change after construction.
struct VirtualClock::State {
  LocalTime start;
  uint32_t start_tick = 0;
  std::atomic<uint64_t> elapsed{0};  // milliseconds
};

VirtualClock::VirtualClock(LocalTime start, uint32_t start_tick) : state_(std::make_unique<State>()) {
  state_->start = start;
  state_->start_tick = start_tick;
}

VirtualClock::~VirtualClock() = default;

uint32_t VirtualClock::TickCount() {
  return static_cast<uint32_t>(state_->start_tick + state_->elapsed.load(std::memory_order_acquire));
}

void VirtualClock::Sleep(uint32_t milliseconds) { Advance(milliseconds); }

void VirtualClock::SleepAlertable(uint32_t milliseconds) { Advance(milliseconds); }

double VirtualClock::Seconds() { return static_cast<double>(state_->elapsed.load(std::memory_order_acquire)) / 1000.0; }

void VirtualClock::Advance(uint64_t milliseconds) {
  state_->elapsed.fetch_add(milliseconds, std::memory_order_acq_rel);
}

uint64_t VirtualClock::Elapsed() const { return state_->elapsed.load(std::memory_order_acquire); }

LocalTime VirtualClock::Now() {
  LocalTime t = state_->start;
  uint64_t total_ms = static_cast<uint64_t>(t.millisecond) + state_->elapsed.load(std::memory_order_acquire);
  t.millisecond = static_cast<int>(total_ms % 1000);
  uint64_t carry = total_ms / 1000 + static_cast<uint64_t>(t.second);
  t.second = static_cast<int>(carry % 60);
  carry = carry / 60 + static_cast<uint64_t>(t.minute);
  t.minute = static_cast<int>(carry % 60);
  carry = carry / 60 + static_cast<uint64_t>(t.hour);
  t.hour = static_cast<int>(carry % 24);
  uint64_t days = carry / 24;
  t.weekday = static_cast<int>((static_cast<uint64_t>(t.weekday) + days) % 7);
  while (days-- > 0) {
    if (++t.day > DaysInMonth(t.year, t.month)) {
      t.day = 1;
      if (++t.month > 12) {
        t.month = 1;
        ++t.year;
      }
    }
  }
  return t;
}

namespace clock_detail {
std::atomic<Clock*> installed{&g_real_clock};
std::atomic<uint64_t> installations{0};
}  // namespace clock_detail

void SetClock(Clock* clock) {
  clock_detail::installed.store(clock ? clock : &g_real_clock, std::memory_order_release);
  clock_detail::installations.fetch_add(1, std::memory_order_acq_rel);
}

}  // namespace platform
