#include "tests/support/sim_bench.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/usb.h"
#include "reader/rdr.h"
#include "sim/request_handler.h"
#include "sim/traffic.h"
#include "sim/wire.h"
#include "transport/usb.h"

namespace testing_support {

std::string BootHeaderText(const std::string& part_code, const std::string& major, const std::string& minor) {
  std::string text = "Quorvel Boot Ldr " + part_code;  // part code from character 17
  text.resize(51, ' ');
  text.replace(25, 16, "Built 2024-03-18");
  return text + major + "." + minor + " release";
}

namespace {

// What every model shares: a unit that names its serial when asked and
// reports the extended-requests bit.
sim::UnitConfig Model(const std::string& prefix, uint16_t vendor_id, uint16_t product_id, const std::string& serial,
                      const std::string& description, const std::string& firmware_name) {
  sim::UnitConfig config;
  config.name = prefix + serial;
  config.vendor_id = vendor_id;
  config.product_id = product_id;
  config.serial = serial;
  config.description = description;
  config.firmware_name = firmware_name;
  config.serial_string = serial;
  config.status_word = 0x80;
  return config;
}

}  // namespace

sim::UnitConfig WrUnitConfig(const std::string& serial) {
  sim::UnitConfig config = Model("wr-", 0x17B9, 0x4000, serial, "Quorvel WR Document Reader", "FW41580-01-02");
  config.fx3_firmware = "FW41582-01-04";
  config.application_header = "Quorvel Application FW41580-01-02 Built 2024-03-18 09:30:00";
  config.boot_header = BootHeaderText("FW41581", "01", "03");
  config.api_version = 0x000B;
  return config;
}

sim::UnitConfig Fx2UnitConfig(const std::string& serial) {
  sim::UnitConfig config = Model("hx-", 0x0898, 0x0047, serial, "Quorvel HX2 Document Reader", "FW41144-02-07");
  config.application_header = "Quorvel Application FW41144-02-07";
  config.boot_header = BootHeaderText("FW41108", "02", "01");
  config.api_version = 0x0003;
  return config;
}

sim::UnitConfig Sh4UnitConfig(const std::string& serial) {
  sim::UnitConfig config = Model("sh4-", 0x0898, 0x0042, serial, "Quorvel SH4 Document Reader", "");
  config.serial_string.reset();
  config.firmware_name_status = 0xFFFF;
  config.sh4_firmware_name = "FW40961-03-01";
  config.api_version.reset();
  config.status_word = 0;
  config.unknown_services = {4, 21, 23, 24, 50};
  return config;
}

sim::UnitConfig CompositeUnitConfig(const std::string& serial) {
  sim::UnitConfig config = Model("vl-", 0x0898, 0x0064, serial, "Quorvel VL120 Document Reader", "FW41026-04-02");
  config.interface = sim::UnitInterface::kStillImage;
  config.application_header = "Quorvel Application FW41026-04-02";
  config.boot_header = BootHeaderText("FW41098", "04", "00");
  config.api_version = 0x0009;
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

sim::Unit& SimBench::unit(size_t index) {
  if (index >= units_.size()) throw std::out_of_range("SimBench has no unit " + std::to_string(index));
  return *units_[index];
}

ReaderOwner SimBench::Open(sim::Unit& unit) {
  ReaderOwner handle(RDROpenUSB(unit.DevicePath().c_str()));
  EXPECT_NE(handle.get(), InvalidReaderHandle()) << "cannot open " << unit.name();
  unit.ClearTraffic();
  return handle;
}

std::vector<uint8_t> FilePacketBody(uint32_t index, uint32_t count, std::span<const uint8_t> data,
                                    const FinalPacket& final) {
  std::vector<uint8_t> body(52, 0);
  const uint32_t fields[] = {35, index, static_cast<uint32_t>(data.size()), count, final.file_size};
  for (size_t i = 0; i < 5; ++i) sim::PutU32(body, 4 * i, fields[i]);
  body[20] = final.kind;
  sim::PutText(body, 21, 27, final.name);
  sim::PutU32(body, 48, final.crc);
  body.insert(body.end(), data.begin(), data.end());
  return body;
}

namespace {
struct Intercepting final : sim::RequestHandler {
  explicit Intercepting(Answer answer) : answer(std::move(answer)) {}
  std::optional<std::vector<uint8_t>> Handle(uint8_t command, std::span<const uint8_t> body) override {
    return answer(command, body);
  }
  void Save() override {}
  Answer answer;
};
}  // namespace

void Intercept(sim::Unit& unit, Answer answer) { unit.AddHandler(std::make_unique<Intercepting>(std::move(answer))); }

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
