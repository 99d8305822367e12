#include <cstdio>

#include "fuzz/input.h"

namespace fuzz {

std::string WriteScratchFile(const char* name, const std::vector<uint8_t>& bytes) {
  const std::string path = (ScratchFolder() / name).string();
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) __builtin_trap();
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
  return path;
}

}  // namespace fuzz
