// Small OS services: the per-thread system last-error slot, thread ids and
// file queries.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The value a failed platform call leaves for its thread, as the library
// records it (system error codes are errno values; library errors are stored
// here too so that callers on the failing thread can read them back).
uint32_t GetLastSystemError();
void SetLastSystemError(uint32_t code);

// Keeps the calling thread's last error unchanged across a scope.
class PreserveLastError {
 public:
  PreserveLastError() : saved_(GetLastSystemError()) {}
  ~PreserveLastError() { SetLastSystemError(saved_); }
  PreserveLastError(const PreserveLastError&) = delete;
  PreserveLastError& operator=(const PreserveLastError&) = delete;

 private:
  uint32_t saved_;
};

// The kernel's id of the calling thread.
int32_t CurrentThreadId();

bool FileExists(const std::string& path);
// A regular file (not a folder, device or pipe), following symbolic links.
bool IsRegularFile(const std::string& path);
// Size in bytes of a regular file, or 0 when its status cannot be taken.
int64_t FileSize(const std::string& path);

}  // namespace platform
