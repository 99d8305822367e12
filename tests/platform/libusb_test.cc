// The libusb backend against simulated units that umockdev puts on a fake
// bus: listing by vendor and place on the bus, and a whole update with a
// soft boot and the unit's re-enumeration.
#include <gtest/gtest.h>

#include <algorithm>

#include "reader/rdr.h"
#include "sim/firmware_files.h"
#include "tests/platform/libusb_bridge.h"
#include "tests/support/fake_pcsc.h"
#include "tests/support/session_log_recorder.h"
#include "tests/support/sim_bench.h"
#include "tests/support/temp_dir.h"
#include "transport/usb.h"
#include "updater/engine.h"
#include "updater/silent.h"

namespace {

using namespace testing_support;
using Paths = std::vector<std::string>;

const std::string kWrPath = "\\\\?\\usb#vid_17b9&pid_4000#1-1:1.0#{9e32eeca-ab09-48d9-8a63-69b70a14d738}";
const std::string kFx2Path = "\\\\?\\usb#vid_0898&pid_0047#1-3:1.0#{9e32eeca-ab09-48d9-8a63-69b70a14d738}";

class LibusbTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!testbed_.ok()) GTEST_SKIP() << "no umockdev testbed in this process";
    platform::usb::SetBackend(testbed_.backend());
  }
  void TearDown() override { platform::usb::SetBackend(nullptr); }

  SimBench bench_;  // the units and the virtual clock
  UsbTestbed testbed_;
};

Paths List(int32_t (*lister)(int32_t, char***, int32_t*), int32_t selector, int32_t expected_result = 1) {
  char** list = nullptr;
  int32_t count = 0;
  EXPECT_EQ(lister(selector, &list, &count), expected_result);
  Paths paths(list, list + count);
  USBDeviceListFree(list, count);
  return paths;
}

TEST_F(LibusbTest, ListsUnitsByVendorInBusOrderAndSeesADeauthorizedOne) {
  sim::UnitConfig fx2 = Fx2UnitConfig();
  fx2.description = "Q5 Document Reader";  // listed by its ids, not its name
  testbed_.AddUnit(bench_.AddUnit(fx2), 3);
  testbed_.AddForeignDevice(2);
  testbed_.AddUnit(bench_.AddUnit(WrUnitConfig()), 1);

  EXPECT_EQ(List(USBDeviceList, -1), (Paths{kWrPath, kFx2Path}));
  // The reader list goes by product id: 0x47 comes before 0x4000.
  EXPECT_EQ(List(ReaderDeviceList, -1), (Paths{kFx2Path, kWrPath}));

  bench_.unit(0).SetDisabled(true);
  EXPECT_EQ(List(USBDeviceList, -1), Paths{kWrPath});
  EXPECT_EQ(List(ReaderDeviceList, 0x47, 0), Paths{});
  EXPECT_EQ(LibraryErrorNumber(GetErrorCode()), kErrReaderDisabled);
}

// The console's update: identification, the application by packet transfer,
// the final soft boot, and (ShowFirmwareOnFinished) the unit found again
// under its old path once it is back on the bus.
TEST_F(LibusbTest, WholeUpdateThroughLibusbWithReEnumeration) {
  TempDir dir;
  ScopedWorkingDirectory cwd(dir.path());
  ScopedPcsc pcsc;
  SessionLogRecorder log;
  const std::vector<uint8_t> image = sim::Fx3BootImage({300, 200}, 5, 16);
  WriteFile(dir.File("FW41580-01-03_WR_App.bin"), std::string(image.begin(), image.end()));
  WriteFile(dir.File("QuorvelFirmwareUpdater.ini"),
            "[InitSettings]\nShowFirmwareOnFinished=1\n[Files]\napplication=FW41580-01-03_WR_App.bin\n");
  sim::Unit& unit = bench_.AddUnit(WrUnitConfig());
  testbed_.AddUnit(unit, 1);

  QuorvelFirmwareUpdaterSilent silent;
  testing::internal::CaptureStdout();
  EXPECT_EQ(silent.DoSilent(), 0);
  testing::internal::GetCapturedStdout();
  RdrCloseHandle();

  ASSERT_TRUE(unit.FileNamed("app.bin"));
  EXPECT_EQ(unit.FileNamed("app.bin")->contents, std::vector<uint8_t>(image.begin(), image.end() - 16));
  EXPECT_EQ(unit.soft_boots(), 1u);
  const auto& lines = log.lines();
  EXPECT_EQ(std::ranges::count(lines, Line("found all device count 1 - " + kWrPath)), 2);
  EXPECT_EQ(std::ranges::count(lines, Line("Unit Found - App FW41580-01-02, Boot Not Found, FX3 Not Found, "
                                           "Serial WR0001")),
            2);
}

}  // namespace
