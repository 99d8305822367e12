#include "bench/bench_support.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace bench {
namespace {

sim::UnitConfig Model(const std::string& name, uint16_t vendor_id, uint16_t product_id, const std::string& serial,
                      const std::string& firmware_name, uint32_t flash_sectors) {
  sim::UnitConfig config;
  config.name = name;
  config.vendor_id = vendor_id;
  config.product_id = product_id;
  config.serial = serial;
  config.description = "Benchmark unit " + serial;
  config.firmware_name = firmware_name;
  config.serial_string = serial;
  config.status_word = 0x80;
  config.flash = {{"sectors_per_chip", flash_sectors}};
  return config;
}

}  // namespace

sim::UnitConfig WrUnit(const std::string& serial, uint32_t flash_sectors) {
  sim::UnitConfig config = Model("wr-" + serial, 0x17B9, 0x4000, serial, "FW41580-01-02", flash_sectors);
  config.fx3_firmware = "FW41582-01-04";
  config.application_header = "Quorvel Application FW41580-01-02 Built 2024-03-18 09:30:00";
  config.api_version = 0x000B;
  return config;
}

sim::UnitConfig Fx2Unit(const std::string& serial, uint32_t flash_sectors) {
  sim::UnitConfig config = Model("hx-" + serial, 0x0898, 0x0047, serial, "FW41144-02-07", flash_sectors);
  config.application_header = "Quorvel Application FW41144-02-07";
  config.api_version = 0x0003;
  return config;
}

Bus::Bus() : scoped_clock_(clock_), backend_(std::make_shared<sim::SimulatedBackend>()) {
  platform::usb::SetBackend(backend_);
}

Bus::~Bus() { platform::usb::SetBackend(nullptr); }

sim::Unit& Bus::AddUnit(sim::UnitConfig config) {
  sim::Unit& unit = *backend_->AddUnit(std::move(config));
  unit.SetTrafficLimit(sim::kNoTraffic);
  return unit;
}

ChildUsage RunInChild(const std::function<int()>& work) {
  std::fflush(nullptr);  // nothing buffered is written twice
  const pid_t child = ::fork();
  if (child < 0) return {};
  if (child == 0) ::_exit(work());
  int status = 0;
  rusage usage{};
  if (::wait4(child, &status, 0, &usage) != child) return {};
  ChildUsage result;
  result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  result.cpu_seconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  result.peak_rss_mib = static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
  return result;
}

}  // namespace bench
