// The USB backend over a set of simulated units: lists them as present
// device interfaces and present devices, and opens them by device path.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/usb.h"
#include "sim/unit.h"
#include "sim/unit_config.h"

namespace sim {

// The environment variable that names a folder of unit files.
inline constexpr const char* kSimDirVariable = "QUORVEL_SIM_DIR";
// With simulated units installed, "virtual" here puts the whole program on a
// virtual clock: every wait returns at once, time stamps move only by them.
inline constexpr const char* kSimClockVariable = "QUORVEL_SIM_CLOCK";

class SimulatedBackend final : public platform::usb::Backend {
 public:
  SimulatedBackend() = default;

  // Every *.json unit file of the folder, in file-name order (which is the
  // enumeration order). A file that cannot be loaded is reported on standard
  // error and skipped; the reasons are kept in load_errors(). Each unit keeps
  // its state in "<folder>/<unit name>.state/".
  static std::shared_ptr<SimulatedBackend> FromDirectory(const std::filesystem::path& folder);

  // Adds a unit behind those already present. state_dir empty: nothing the
  // unit stores is persisted. Throws std::invalid_argument when another unit
  // has the same device path.
  std::shared_ptr<Unit> AddUnit(UnitConfig config, std::filesystem::path state_dir = {});
  std::vector<std::shared_ptr<Unit>> units() const;
  // The unit of that name; null when there is none.
  std::shared_ptr<Unit> unit(const std::string& name) const;
  std::vector<std::string> load_errors() const;

  std::optional<std::vector<platform::usb::DeviceInterface>> EnumerateInterfaces(
      platform::usb::InterfaceClass interface_class) override;
  std::optional<std::vector<platform::usb::PresentDevice>> EnumerateDevices() override;
  std::optional<platform::usb::InterfaceClass> ClassOfPath(const std::string& path) override;
  std::unique_ptr<platform::usb::Device> Open(const std::string& path) override;

 private:
  std::shared_ptr<Unit> UnitOfPath(const std::string& path) const;

  mutable std::mutex mutex_;  // guards units_ and load_errors_ (each unit guards itself)
  std::vector<std::shared_ptr<Unit>> units_;
  std::vector<std::string> load_errors_;
};

// When QUORVEL_SIM_DIR names a folder, installs a SimulatedBackend over it
// (platform::usb::SetBackend) and, when QUORVEL_SIM_CLOCK is "virtual", a
// virtual clock, and returns true. A variable that names no
// folder is reported on standard error and nothing is installed.
bool InstallFromEnvironment();

}  // namespace sim
