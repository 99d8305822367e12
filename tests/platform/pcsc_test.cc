#include "platform/pcsc.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/system.h"
#include "tests/support/fake_pcsc.h"

namespace {

using Names = std::vector<std::string>;
using namespace std::string_literals;

TEST(PcscTest, RealBackendWithoutServiceEstablishesNoContext) {
  const char* socket = std::getenv("PCSCLITE_CSOCK_NAME");
  if (platform::FileExists(socket != nullptr ? socket : "/run/pcscd/pcscd.comm")) {
    GTEST_SKIP() << "a pcscd is listening on this machine";
  }
  platform::pcsc::SetBackend(nullptr);
  EXPECT_EQ(platform::pcsc::GetBackend()->EstablishContext(), nullptr);
}

TEST(PcscTest, ReaderNamesEndAtTheEmptyNameOrTheEndOfTheText) {
  using platform::pcsc::SplitReaderNames;
  EXPECT_EQ(SplitReaderNames("A 00 00\0B 01 00\0\0"s), (Names{"A 00 00", "B 01 00"}));
  EXPECT_EQ(SplitReaderNames("A\0\0B\0\0"s), Names{"A"});
  EXPECT_EQ(SplitReaderNames("A\0B"s), (Names{"A", "B"}));
  EXPECT_EQ(SplitReaderNames("\0"s), Names{});
  EXPECT_EQ(SplitReaderNames(""), Names{});
}

TEST(PcscTest, FakeRecordsEveryCallInOrder) {
  testing_support::ScopedPcsc pcsc;
  pcsc.fake().FailConnect("Other Reader 00 00");
  {
    auto context = platform::pcsc::GetBackend()->EstablishContext();
    ASSERT_NE(context, nullptr);
    auto readers = context->ListReaders();
    ASSERT_TRUE(readers.has_value());
    ASSERT_EQ(readers->size(), 3u);
    auto card = context->ConnectDirect(readers->at(0));
    ASSERT_NE(card, nullptr);
    const uint8_t input[] = {0x03, 0x01};
    uint8_t output[200];
    size_t received = 99;
    EXPECT_EQ(card->Control(platform::pcsc::kControlOmnikeySwitch, input, output, &received), 0);
    EXPECT_EQ(received, 0u);
    card.reset();
    EXPECT_EQ(context->ConnectDirect(readers->at(2)), nullptr);
  }
  pcsc.fake().FailList();
  EXPECT_FALSE(platform::pcsc::GetBackend()->EstablishContext()->ListReaders().has_value());
  pcsc.fake().FailEstablish();
  EXPECT_EQ(platform::pcsc::GetBackend()->EstablishContext(), nullptr);
  EXPECT_EQ(pcsc.fake().calls(), (Names{"establish", "list", "connect OMNIKEY CardMan 5x21-CL 00 00",
                                        "control OMNIKEY CardMan 5x21-CL 00 00 0x42000c87 03 01 out=200",
                                        "disconnect OMNIKEY CardMan 5x21-CL 00 00", "connect Other Reader 00 00",
                                        "release", "establish", "list", "release", "establish"}));
}

}  // namespace
