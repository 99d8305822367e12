#include <gtest/gtest.h>

#include "platform/clock.h"
#include "reader/flash.h"
#include "reader/handle.h"
#include "sim/serial_link.h"
#include "tests/support/sim_bench.h"
#include "tests/support/temp_dir.h"
#include "transport/serial.h"

namespace {

using testing_support::ReaderOwner;

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
  std::unique_ptr<sim::SerialLink> link = sim::SerialLink::Start(testing_support::WrUnitConfig("SER001"), 8);
  ASSERT_NE(link, nullptr);

  ReaderOwner handle(SEROpen(link->device_path().c_str()));
  ASSERT_NE(handle.get(), InvalidReaderHandle()) << std::hex << GetErrorCode();
  EXPECT_STREQ(handle->firmware_name, "FW41580-01-02");

  std::vector<uint8_t> contents(5000);
  for (size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<uint8_t>(i * 131 + i / 256);
  const std::string local = dir.File("app.bin");
  testing_support::WriteFile(local, std::string(contents.begin(), contents.end()));

  ASSERT_EQ(F_cp(handle.get(), local.c_str(), "0:serial.bin"), 5000) << std::hex << GetErrorCode();
  EXPECT_EQ(link->FlashFile("serial.bin"), contents);
  const std::string back = dir.File("back.bin");
  ASSERT_EQ(F_cp(handle.get(), "0:serial.bin", back.c_str()), 5000) << std::hex << GetErrorCode();
  EXPECT_EQ(testing_support::ReadFile(back), std::string(contents.begin(), contents.end()));
  EXPECT_EQ(link->characters_skipped(), 0u);
}

}  // namespace
