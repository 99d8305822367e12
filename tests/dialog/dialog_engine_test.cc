// The dialog's own engine variants that need no window: the OMNIKEY switch
// with both reader models, the device search's ids and the progress range.
#include "dialog/dialog_engine.h"

#include <gtest/gtest.h>

#include "dialog/device_search.h"
#include "dialog/update_worker.h"
#include "tests/support/fake_pcsc.h"
#include "tests/support/sim_bench.h"

namespace {

using namespace testing_support;
using Strings = std::vector<std::string>;

TEST(DialogEngineTest, OmnikeySwitchSendsEachModelItsControl) {
  const std::string cardman = "OMNIKEY CardMan 5x21-CL 00 00";
  const std::string dual = "hid global omnikey 5122cl dual 01 00";
  for (const bool after : {false, true}) {
    ScopedPcsc pcsc({cardman, dual, "Other Reader 00 00"});
    DialogControlOmnikeyReaders(after);
    EXPECT_EQ(
        pcsc.fake().calls(),
        (Strings{"establish", "list", "connect " + cardman,
                 "control " + cardman + " 0x42000c87 03 " + (after ? "00" : "01") + " out=200", "disconnect " + cardman,
                 "connect " + dual, "control " + dual + " 0x42000001 ff 9a 04 " + (after ? "01" : "00") + " out=200",
                 "disconnect " + dual, "release"}))
        << "after " << after;
  }
  // A refused connection ends the switching.
  ScopedPcsc pcsc({cardman, dual});
  pcsc.fake().FailConnect(cardman);
  DialogControlOmnikeyReaders(false);
  EXPECT_EQ(pcsc.fake().calls(), (Strings{"establish", "list", "connect " + cardman, "release"}));
}

TEST(DialogEngineTest, SearchMatchesVendorAndProductInTheHardwareIds) {
  EXPECT_EQ(SearchVendorId(4), 0x17B9);
  EXPECT_EQ(SearchVendorId(15), 0x17B9);
  EXPECT_EQ(SearchVendorId(1), 0x0898);
  EXPECT_EQ(SearchVendorId(10), 0x0898);
  SimBench bench;
  bench.AddUnit(WrUnitConfig());
  EXPECT_TRUE(DevicePresent(0x17B9, 0x4000));
  EXPECT_FALSE(DevicePresent(0x0898, 0x4000));
  EXPECT_FALSE(DevicePresent(0x17B9, 0x400));
  EXPECT_FALSE(DevicePresent(0x17B9, 0));
}

TEST(DialogEngineTest, ProgressRangeCountsTheConfiguredFiles) {
  QuorvelFirmwareUpdaterSilent silent;
  silent.m_ApplicationFile.Assign("app.bin");
  EXPECT_EQ(UpdateProgressRange(silent), 4);
  silent.m_BootloaderFile.Assign("boot.bin");
  silent.m_uvBinFile.Assign("uv.bin");
  silent.m_N5AppFile.Assign("N5App.xml");
  EXPECT_EQ(UpdateProgressRange(silent), 15);
}

}  // namespace
