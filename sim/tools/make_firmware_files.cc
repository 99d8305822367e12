// Writes the demo's sample firmware files (sim/firmware_files.h) into the
// folder named on the command line, creating it when missing:
//
//   QuorvelSimFirmwareFiles demo/files
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "sim/firmware_files.h"

namespace {

constexpr const char* kProgram = "QuorvelSimFirmwareFiles";

bool WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(contents.data()), static_cast<std::streamsize>(contents.size()));
  out.close();
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n  writes the sample firmware files of the demo into FOLDER\n", kProgram);
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) {
    std::fprintf(stderr, "%s: cannot create the folder %s: %s\n", kProgram, folder.string().c_str(),
                 error.message().c_str());
    return 1;
  }
  for (const sim::SampleFile& file : sim::DemoFirmwareFiles()) {
    const std::filesystem::path path = folder / file.name;
    if (!WriteFile(path, file.contents)) {
      std::fprintf(stderr, "%s: cannot write %s\n", kProgram, path.string().c_str());
      return 1;
    }
    std::printf("%s (%zu bytes)\n", path.string().c_str(), file.contents.size());
  }
  return 0;
}
