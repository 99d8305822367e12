// A simulated USB bus for one test: installs a VirtualClock and a
// SimulatedBackend with units built in code for the test's lifetime, and
// gives access to each unit's traffic, faults and stored state.
//
//   testing_support::SimBench bench;
//   sim::Unit& unit = bench.AddUnit(testing_support::WrUnitConfig());
//   ... run the library against unit.DevicePath() ...
//   EXPECT_EQ(sim::Requests(unit.traffic()).size(), 3u);
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "reader/handle.h"
#include "sim/unit.h"
#include "sim/unit_config.h"
#include "sim/usb_backend.h"

namespace testing_support {

// Common unit models. Each takes the USB serial, which also makes the device
// path unique when a test attaches several units.

// WR series: 0x17B9:0x4000, WR2200-based firmware FW41580, FX3 controller,
// API version with the packet-transfer bit.
sim::UnitConfig WrUnitConfig(const std::string& serial = "WR0001");
// An FX2-based reader on 0x0898:0x0047 with firmware FW41144.
sim::UnitConfig Fx2UnitConfig(const std::string& serial = "HX0001");
// An SH4-based reader on 0x0898:0x0042: the information request answers
// status 0xFFFF and the name comes from the SH4 firmware request.
sim::UnitConfig Sh4UnitConfig(const std::string& serial = "SH0001");
// The composite device 0x0898:0x0064 reached through its still-image child.
sim::UnitConfig CompositeUnitConfig(const std::string& serial = "VL0001");

// A boot header text from which a host composes "<part>-<major>-<minor>":
// the part code at characters 17 to 23, the two version fields at 51-52 and
// 54-55.
std::string BootHeaderText(const std::string& part_code, const std::string& major, const std::string& minor);

// A reader handle that RDRClose releases when its owner goes.
struct ReaderCloser {
  void operator()(ReaderHandleRecord* handle) const;
};
using ReaderOwner = std::unique_ptr<ReaderHandleRecord, ReaderCloser>;

// The fields only a file packet's last request carries.
struct FinalPacket {
  uint32_t file_size = 0;
  uint8_t kind = 0;
  std::string name;
  uint32_t crc = 0;
};
// A file packet request's body: service 35, index, data length, count and the
// final fields in 52 bytes, then the data.
std::vector<uint8_t> FilePacketBody(uint32_t index, uint32_t count, std::span<const uint8_t> data,
                                    const FinalPacket& final = {});

// Serves the unit's requests that `answer` answers (a reply body) ahead of
// the unit's own handlers; nullopt leaves a request to them.
using Answer = std::function<std::optional<std::vector<uint8_t>>(uint8_t command, std::span<const uint8_t> body)>;
void Intercept(sim::Unit& unit, Answer answer);

// The requests a unit received with this command, in order; with
// first_byte, only those whose body starts with it (a sub-command).
std::vector<sim::Request> RequestsOf(sim::Unit& unit, uint8_t command, int first_byte = -1);

class SimBench {
 public:
  SimBench();
  ~SimBench();
  SimBench(const SimBench&) = delete;
  SimBench& operator=(const SimBench&) = delete;

  // Attaches a unit behind those already attached; nothing is persisted.
  sim::Unit& AddUnit(sim::UnitConfig config = WrUnitConfig());
  // The index-th unit attached.
  sim::Unit& unit(size_t index = 0);
  // Opens the unit through the library (expecting success) and forgets the
  // open's traffic.
  ReaderOwner Open(sim::Unit& unit);

  platform::VirtualClock& clock() { return clock_; }
  sim::SimulatedBackend& backend() { return *backend_; }

 private:
  platform::VirtualClock clock_;
  platform::ScopedClock scoped_clock_;
  std::shared_ptr<sim::SimulatedBackend> backend_;
  std::vector<std::shared_ptr<sim::Unit>> units_;
};

}  // namespace testing_support
