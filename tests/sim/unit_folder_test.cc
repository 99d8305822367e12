// Units loaded from a folder of unit files. What they keep there between two
// processes is shown by the console tests, which run the program twice.
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "sim/usb_backend.h"
#include "tests/support/temp_dir.h"

namespace {

using testing_support::WriteFile;

TEST(SimUnitFolder, LoadsUnitFilesInNameOrderAndSkipsBrokenOnesWithTheirReason) {
  platform::VirtualClock clock;
  platform::ScopedClock scoped_clock{clock};
  testing_support::TempDir folder;
  WriteFile(folder.File("b-second.json"), R"({"usb": {"product_id": "0x47", "serial": "B"}})");
  WriteFile(folder.File("a-first.json"), R"({"usb": {"product_id": "0x48", "serial": "A"}})");
  WriteFile(folder.File("c-broken.json"), R"({"usb": {"product_id": )");
  WriteFile(folder.File("d-typo.json"), R"({"usb": {"prodct_id": 1}})");
  WriteFile(folder.File("e-twin.json"), R"({"usb": {"product_id": "0x47", "serial": "b"}})");
  auto backend = sim::SimulatedBackend::FromDirectory(folder.path());
  auto units = backend->units();
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(std::tuple(units[0]->name(), units[1]->name()), std::tuple("a-first", "b-second"));
  auto errors = backend->load_errors();
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_EQ(errors[0].rfind(folder.File("c-broken.json") + ": not valid JSON", 0), 0u) << errors[0];
  EXPECT_EQ(errors[1], folder.File("d-typo.json") + ": usb.prodct_id: unknown key");
  EXPECT_NE(errors[2].find("has the device path of unit \"b-second\""), std::string::npos) << errors[2];
}

}  // namespace
