#include "platform/system.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {
namespace {
thread_local uint32_t t_last_error = 0;
}

uint32_t GetLastSystemError() { return t_last_error; }

void SetLastSystemError(uint32_t code) { t_last_error = code; }

int32_t CurrentThreadId() {
  static thread_local const int32_t id = static_cast<int32_t>(::syscall(SYS_gettid));
  return id;
}

bool FileExists(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0;
}

bool IsRegularFile(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

int64_t FileSize(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return 0;
  return static_cast<int64_t>(status.st_size);
}

}  // namespace platform
