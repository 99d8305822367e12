#include "tests/support/sim_bench.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/usb.h"
#include "reader/rdr.h"
#include "sim/traffic.h"
#include "transport/usb.h"

namespace testing_support {

std::string BootHeaderText(const std::string& part_code, const std::string& major, const std::string& minor) {
  std::string text = "Quorvel Boot Ldr " + part_code;  // part code from character 17
  text.resize(51, ' ');
  text.replace(25, 16, "Built 2024-03-18");
  return text + major + "." + minor + " release";
}

sim::UnitConfig WrUnitConfig(const std::string& serial) {
  sim::UnitConfig config;
  config.name = "wr-" + serial;
  config.vendor_id = 0x17B9;
  config.product_id = 0x4000;
  config.serial = serial;
  config.description = "Quorvel WR Document Reader";
  config.firmware_name = "FW41580-01-02";
  config.serial_string = serial;
  config.fx3_firmware = "FW41582-01-04";
  config.application_header = "Quorvel Application FW41580-01-02 Built 2024-03-18 09:30:00";
  config.boot_header = BootHeaderText("FW41581", "01", "03");
  config.api_version = 0x000B;
  config.status_word = 0x80;
  return config;
}

sim::UnitConfig Fx2UnitConfig(const std::string& serial) {
  sim::UnitConfig config;
  config.name = "hx-" + serial;
  config.vendor_id = 0x0898;
  config.product_id = 0x0047;
  config.serial = serial;
  config.description = "Quorvel HX2 Document Reader";
  config.firmware_name = "FW41144-02-07";
  config.serial_string = serial;
  config.application_header = "Quorvel Application FW41144-02-07";
  config.boot_header = BootHeaderText("FW41108", "02", "01");
  config.api_version = 0x0003;
  config.status_word = 0x80;
  return config;
}

sim::UnitConfig Sh4UnitConfig(const std::string& serial) {
  sim::UnitConfig config;
  config.name = "sh4-" + serial;
  config.vendor_id = 0x0898;
  config.product_id = 0x0042;
  config.serial = serial;
  config.description = "Quorvel SH4 Document Reader";
  config.firmware_name = "";
  config.firmware_name_status = 0xFFFF;
  config.sh4_firmware_name = "FW40961-03-01";
  config.api_version.reset();
  config.status_word = 0;
  config.unknown_services = {4, 21, 23, 24, 50};
  return config;
}

sim::UnitConfig CompositeUnitConfig(const std::string& serial) {
  sim::UnitConfig config;
  config.name = "vl-" + serial;
  config.vendor_id = 0x0898;
  config.product_id = 0x0064;
  config.serial = serial;
  config.interface = sim::UnitInterface::kStillImage;
  config.description = "Quorvel VL120 Document Reader";
  config.firmware_name = "FW41026-04-02";
  config.serial_string = serial;
  config.application_header = "Quorvel Application FW41026-04-02";
  config.boot_header = BootHeaderText("FW41098", "04", "00");
  config.api_version = 0x0009;
  config.status_word = 0x80;
  return config;
}

SimBench::SimBench() : scoped_clock_(clock_), backend_(std::make_shared<sim::SimulatedBackend>()) {
  platform::usb::SetBackend(backend_);
}

SimBench::~SimBench() { platform::usb::SetBackend(nullptr); }

sim::Unit& SimBench::AddUnit(sim::UnitConfig config) {
  units_.push_back(backend_->AddUnit(std::move(config)));
  return *units_.back();
}

sim::Unit& SimBench::unit(size_t index) { return *unit_ptr(index); }

std::shared_ptr<sim::Unit> SimBench::unit_ptr(size_t index) {
  if (index >= units_.size()) throw std::out_of_range("SimBench has no unit " + std::to_string(index));
  return units_[index];
}

ReaderOwner SimBench::Open(sim::Unit& unit) {
  ReaderOwner handle(RDROpenUSB(unit.DevicePath().c_str()));
  EXPECT_NE(handle.get(), InvalidReaderHandle()) << "cannot open " << unit.name();
  unit.ClearTraffic();
  return handle;
}

void ReaderCloser::operator()(ReaderHandleRecord* handle) const { RDRClose(handle); }

std::vector<sim::Request> RequestsOf(sim::Unit& unit, uint8_t command, int first_byte) {
  std::vector<sim::Request> found;
  for (sim::Request& request : sim::Requests(unit.traffic())) {
    if (request.command != command) continue;
    if (first_byte >= 0 && (request.body.empty() || request.body[0] != first_byte)) continue;
    found.push_back(std::move(request));
  }
  return found;
}

}  // namespace testing_support
