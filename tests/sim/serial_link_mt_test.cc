#include <gtest/gtest.h>

#include "platform/clock.h"
#include "reader/flash.h"
#include "reader/handle.h"
#include "sim/serial_link.h"
#include "tests/support/sim_bench.h"
#include "tests/support/temp_dir.h"
#include "transport/serial.h"

namespace {

// The host on one end of a pseudo-terminal, the simulated unit's firmware on
// the other: identity and a flash file written and read back over the line.
// Time limits run on virtual time; each wait for input also polls the
// terminal for at most 10 ms of real time, so a silent unit ends the test
// within the handle's 5-second limit.
// Linux pseudo-terminals keep 8-bit characters whatever CSIZE asks, so the
// other sizes are covered over an in-memory port (tests/transport).
TEST(SerialLinkTest, IdentityAndFlashCopyOverAPseudoTerminal) {
  platform::VirtualClock clock;
  platform::ScopedClock scoped{clock};
  testing_support::TempDir dir;
  auto link = sim::SerialLink::Start(testing_support::WrUnitConfig("SER001"), 8);
  ASSERT_NE(link, nullptr);

  testing_support::ReaderOwner handle(SEROpen(link->device_path().c_str()));
  ASSERT_NE(handle.get(), InvalidReaderHandle()) << std::hex << GetErrorCode();
  EXPECT_STREQ(handle->firmware_name, "FW41580-01-02");

  std::string contents(5000, 0);
  for (size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<char>(i * 131 + i / 256);
  testing_support::WriteFile(dir.File("app.bin"), contents);
  ASSERT_EQ(F_cp(handle.get(), dir.File("app.bin").c_str(), "0:serial.bin"), 5000) << std::hex << GetErrorCode();
  EXPECT_EQ(link->FlashFile("serial.bin"), std::vector<uint8_t>(contents.begin(), contents.end()));
  ASSERT_EQ(F_cp(handle.get(), "0:serial.bin", dir.File("back.bin").c_str()), 5000) << std::hex << GetErrorCode();
  EXPECT_EQ(testing_support::ReadFile(dir.File("back.bin")), contents);
  EXPECT_EQ(link->characters_skipped(), 0u);
}

}  // namespace
