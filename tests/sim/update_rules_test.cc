// What an update leaves behind on a unit at its next restart: the strings of
// the update rules (files sent by packet transfer or through the flash file
// system, restored images) and the boot loader's product id after an image.
#include <gtest/gtest.h>

#include "reader/flash.h"
#include "reader/rdr.h"
#include "sim/crc.h"
#include "sim/unit.h"
#include "tests/support/sim_bench.h"
#include "tests/support/temp_dir.h"

namespace {

using testing_support::ReaderOwner;
using testing_support::SimBench;
using testing_support::WrUnitConfig;

sim::UnitConfig UnitWithRules(bool boot_loader) {
  sim::UnitConfig config = WrUnitConfig();
  if (boot_loader) config.boot_loader_product_id = 0x40;
  config.updates = {{"boot.ini", {{"firmware_name", "FW41580-01-09"}}},
                    {"N5App.xml", {{"application_header", "App 2"}}},
                    {sim::kImageRuleFile, {{"boot_header", "Boot 2"}}}};
  return config;
}

enum class Sent { kNamedFile, kImagePackets, kRawSectors };

void Send(RDRHANDLE handle, Sent what) {
  std::vector<uint8_t> data(1024, 0x5A);
  const char* name = what == Sent::kNamedFile ? "app.bin" : nullptr;
  ASSERT_EQ(what == Sent::kRawSectors
                ? SectorRawWrite(handle, 0, 0, 0, 1024, data.data())
                : RDRFilePacketWriteRequest(handle, 0, 1024, 1, data.data(), 1024, sim::ComputePacketCrc(data), name),
            1);
}

// The firmware name, application header and boot header a unit reports.
std::vector<std::optional<std::string>> Strings(sim::Unit& u) {
  return {u.ReportedString("firmware_name"), u.ReportedString("application_header"), u.ReportedString("boot_header")};
}

// Soft boots the unit through the library and waits until it is back.
ReaderOwner SoftBoot(SimBench& bench, sim::Unit& unit, ReaderOwner handle) {
  EXPECT_EQ(RDRSoftBoot(handle.get(), 0), 1);
  handle.reset();
  bench.clock().Advance(3000);
  return bench.Open(unit);
}

TEST(SimBootLoader, ARestoredImageBringsTheUnitBackUnderTheBootLoaderForOneRestart) {
  // clang-format off
  const std::tuple<bool, Sent, uint16_t> cases[] = {{true, Sent::kImagePackets, 0x40}, {true, Sent::kRawSectors, 0x40},
                                                    {true, Sent::kNamedFile, 0x4000}, {false, Sent::kImagePackets, 0x4000}};
  // clang-format on
  for (const auto& [configured, sent, after_first] : cases) {
    SCOPED_TRACE(static_cast<int>(sent) * 2 + configured);
    SimBench bench;
    sim::Unit& unit = bench.AddUnit(UnitWithRules(configured));
    const std::string own_path = unit.DevicePath();
    ReaderOwner handle = bench.Open(unit);
    Send(handle.get(), sent);
    handle = SoftBoot(bench, unit, std::move(handle));
    EXPECT_EQ(unit.ProductId(), after_first);
    EXPECT_EQ(bench.backend().EnumerateInterfaces(platform::usb::InterfaceClass::kReader)->at(0).path,
              unit.BusIdentity().DevicePath());
    handle = SoftBoot(bench, unit, std::move(handle));
    EXPECT_EQ(bench.backend().EnumerateInterfaces(platform::usb::InterfaceClass::kReader)->at(0).path, own_path);
  }
}

TEST(SimUpdateRules, FlashFilesFireWhenWrittenOrChangedAndTheImageRuleOnAnImage) {
  testing_support::TempDir folder;
  SimBench bench;
  sim::Unit& unit = bench.AddUnit(UnitWithRules(false));
  const std::string boot_ini = folder.File("boot.ini"), n5app = folder.File("N5App.xml");
  testing_support::WriteFile(boot_ini, "[boot]\n");
  testing_support::WriteFile(n5app, "<a/>\n");
  ReaderOwner handle = bench.Open(unit);
  ASSERT_EQ(F_cp(handle.get(), boot_ini.c_str(), "0:boot.ini"), 7);
  ASSERT_EQ(F_cp(handle.get(), n5app.c_str(), "0:N5App.xml"), 5);
  handle = SoftBoot(bench, unit, std::move(handle));
  EXPECT_EQ(Strings(unit),
            (std::vector<std::optional<std::string>>{"FW41580-01-09", "App 2", WrUnitConfig().boot_header}));

  // Again: boot.ini rewritten with the same bytes, N5App.xml changed, raw sectors written.
  // (A name the library can parse: the open after the restart reads it.)
  for (const char* key : {"firmware_name", "application_header"}) unit.SetReportedString(key, "FW41580-01-01");
  F_remove(handle.get(), "0:boot.ini");
  ASSERT_EQ(F_cp(handle.get(), boot_ini.c_str(), "0:boot.ini"), 7);
  testing_support::WriteFile(n5app, "<b/>\n");
  ASSERT_EQ(F_cp(handle.get(), n5app.c_str(), "0:N5App.xml"), 5);
  Send(handle.get(), Sent::kRawSectors);
  SoftBoot(bench, unit, std::move(handle));
  EXPECT_EQ(Strings(unit), (std::vector<std::optional<std::string>>{"FW41580-01-01", "App 2", "Boot 2"}));
}

}  // namespace
