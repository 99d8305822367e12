#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "reader/flash.h"
#include "reader/handle.h"
#include "sim/serial_link.h"
#include "tests/support/sim_bench.h"
#include "tests/support/temp_dir.h"
#include "transport/serial.h"

namespace {

using testing_support::ReaderOwner;

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The host on one end of a pseudo-terminal, the simulated unit's firmware on
// the other: identity and a flash file written and read back over the line.
// Time limits run on virtual time; each wait for input also polls the
// terminal for at most 10 ms of real time, so a silent unit ends the test
// within the handle's 5-second limit.
// Linux pseudo-terminals keep 8-bit characters whatever CSIZE asks, so the
// other sizes are covered over an in-memory port (tests/transport).
class SerialLinkTest : public testing::Test {
 protected:
  platform::VirtualClock clock_;
  platform::ScopedClock scoped_{clock_};
  testing_support::TempDir dir_;
};

TEST_F(SerialLinkTest, IdentityAndFlashCopyOverAPseudoTerminal) {
  std::unique_ptr<sim::SerialLink> link = sim::SerialLink::Start(testing_support::WrUnitConfig("SER001"), 8);
  ASSERT_NE(link, nullptr);

  ReaderOwner handle(SEROpen(link->device_path().c_str()));
  ASSERT_NE(handle.get(), InvalidReaderHandle()) << std::hex << GetErrorCode();
  EXPECT_STREQ(handle->firmware_name, "FW41580-01-02");
  EXPECT_EQ(handle->firmware_number, 41580);
  char serial[64] = {};
  ASSERT_EQ(RDRSerialString(handle.get(), serial, sizeof(serial) - 1), 1);
  EXPECT_STREQ(serial, "SER001");

  std::vector<uint8_t> contents(5000);
  for (size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<uint8_t>(i * 131 + i / 256);
  const std::string local = dir_.File("app.bin");
  std::ofstream(local, std::ios::binary).write(reinterpret_cast<const char*>(contents.data()), contents.size());

  ASSERT_EQ(F_cp(handle.get(), local.c_str(), "0:serial.bin"), 5000) << std::hex << GetErrorCode();
  EXPECT_EQ(link->FlashFile("serial.bin"), contents);
  const std::string back = dir_.File("back.bin");
  ASSERT_EQ(F_cp(handle.get(), "0:serial.bin", back.c_str()), 5000) << std::hex << GetErrorCode();
  EXPECT_EQ(ReadAll(back), contents);
  EXPECT_EQ(link->characters_skipped(), 0u);
  EXPECT_GT(link->requests_served(), 3u);
}

}  // namespace
