#include "sim/usb_backend.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include "platform/clock.h"
#include "platform/system.h"

namespace sim {

using platform::usb::DeviceInterface;
using platform::usb::InterfaceClass;
using platform::usb::PresentDevice;

namespace {

bool SamePath(const std::string& a, const std::string& b) {
  // Device paths name the same interface whatever their letter case.
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

InterfaceClass ClassOf(const UnitConfig& config) {
  return config.interface == UnitInterface::kReader ? InterfaceClass::kReader : InterfaceClass::kStillImage;
}

}  // namespace

std::shared_ptr<SimulatedBackend> SimulatedBackend::FromDirectory(const std::filesystem::path& folder) {
  auto backend = std::make_shared<SimulatedBackend>();
  std::vector<std::filesystem::path> files;
  std::error_code error;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    if (it->path().extension() == ".json" && it->is_regular_file()) files.push_back(it->path());
  }
  if (error) {
    std::string reason = folder.string() + ": cannot list unit files (" + error.message() + ")";
    std::fprintf(stderr, "sim: %s\n", reason.c_str());
    backend->load_errors_.push_back(reason);
  }
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    std::string reason;
    std::optional<UnitConfig> config = LoadUnitFile(file, &reason);
    if (config) {
      std::filesystem::path state_dir = folder / (config->name + ".state");
      try {
        backend->AddUnit(std::move(*config), state_dir);
        continue;
      } catch (const std::exception& failure) {
        reason = file.string() + ": " + failure.what();
      }
    }
    std::fprintf(stderr, "sim: skipping unit file %s\n", reason.c_str());
    backend->load_errors_.push_back(reason);
  }
  return backend;
}

std::shared_ptr<Unit> SimulatedBackend::AddUnit(UnitConfig config, std::filesystem::path state_dir) {
  std::lock_guard lock(mutex_);
  const std::string path = config.DevicePath();
  for (const auto& unit : units_) {
    if (SamePath(unit->DevicePath(), path)) {
      throw std::invalid_argument("unit \"" + config.name + "\" has the device path of unit \"" + unit->name() +
                                  "\" (" + path + ")");
    }
  }
  auto unit = std::make_shared<Unit>(std::move(config), std::move(state_dir));
  units_.push_back(unit);
  return unit;
}

std::vector<std::shared_ptr<Unit>> SimulatedBackend::units() const {
  std::lock_guard lock(mutex_);
  return units_;
}

std::shared_ptr<Unit> SimulatedBackend::unit(const std::string& name) const {
  std::lock_guard lock(mutex_);
  for (const auto& unit : units_) {
    if (unit->name() == name) return unit;
  }
  return nullptr;
}

std::vector<std::string> SimulatedBackend::load_errors() const {
  std::lock_guard lock(mutex_);
  return load_errors_;
}

std::optional<std::vector<DeviceInterface>> SimulatedBackend::EnumerateInterfaces(InterfaceClass interface_class) {
  std::vector<DeviceInterface> interfaces;
  for (const auto& unit : units()) {
    if (ClassOf(unit->config()) != interface_class || !unit->Present()) continue;
    const UnitConfig config = unit->BusIdentity();
    interfaces.push_back({config.DevicePath(), config.InstanceId(), config.ParentId(), config.HardwareIds()});
  }
  return interfaces;
}

std::optional<std::vector<PresentDevice>> SimulatedBackend::EnumerateDevices() {
  std::vector<PresentDevice> devices;
  for (const auto& unit : units()) {
    // A disabled device is still present, only its interfaces are not.
    if (!unit->OnBus()) continue;
    const UnitConfig config = unit->BusIdentity();
    if (config.IsComposite()) {
      char id[48];
      std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X", config.vendor_id, config.product_id);
      devices.push_back({"USB Composite Device", 0, {std::string(id) + "&REV_0001", id}});
    }
    devices.push_back({config.description, unit->Disabled() ? 1u : 0u, config.HardwareIds()});
  }
  return devices;
}

std::optional<InterfaceClass> SimulatedBackend::ClassOfPath(const std::string& path) {
  std::shared_ptr<Unit> unit = UnitOfPath(path);
  if (!unit || !unit->Present()) return std::nullopt;
  return ClassOf(unit->config());
}

std::unique_ptr<platform::usb::Device> SimulatedBackend::Open(const std::string& path) {
  std::shared_ptr<Unit> unit = UnitOfPath(path);
  if (!unit) {
    platform::SetLastSystemError(ENOENT);
    return nullptr;
  }
  return unit->Open();
}

std::shared_ptr<Unit> SimulatedBackend::UnitOfPath(const std::string& path) const {
  std::lock_guard lock(mutex_);
  for (const auto& unit : units_) {
    if (SamePath(unit->DevicePath(), path)) return unit;
  }
  return nullptr;
}

bool InstallFromEnvironment() {
  const char* folder = std::getenv(kSimDirVariable);
  if (folder == nullptr || *folder == '\0') return false;
  std::error_code error;
  if (!std::filesystem::is_directory(folder, error)) {
    std::fprintf(stderr, "sim: %s=%s names no folder; no simulated units installed\n", kSimDirVariable, folder);
    return false;
  }
  std::shared_ptr<SimulatedBackend> backend = SimulatedBackend::FromDirectory(folder);
  // A program never reads the traffic back; keeping it would only cost memory.
  for (const std::shared_ptr<Unit>& unit : backend->units()) unit->SetTrafficLimit(kNoTraffic);
  platform::usb::SetBackend(std::move(backend));

  // Simulated units do not need real time to reboot: on request the whole
  // program runs on virtual time, so its waits take none.
  const char* clock = std::getenv(kSimClockVariable);
  if (clock != nullptr && std::string_view(clock) == "virtual") {
    static platform::VirtualClock virtual_clock;
    platform::SetClock(&virtual_clock);
  }
  return true;
}

}  // namespace sim
