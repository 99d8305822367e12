#include "sim/wire.h"

#include <gtest/gtest.h>

#include <string>

#include "sim/crc.h"

namespace sim {
namespace {

TEST(SimWire, ReplySizeEncodingUsesPlainCountsBelow0x8000ThenCoarserUnits) {
  EXPECT_EQ(EncodeReplySize(0), 0);
  EXPECT_EQ(EncodeReplySize(0x7FFF), 0x7FFF);
  EXPECT_EQ(EncodeReplySize(0x8000), 0x8080);  // 128 units of 256
  EXPECT_EQ(EncodeReplySize(0x8001), 0x8081);  // rounded up to the next unit
  EXPECT_EQ(EncodeReplySize(0x3FFF * 256), 0xBFFF);
  EXPECT_EQ(EncodeReplySize(0x3FFF * 256 + 1), 0xC000 | 2048);  // 2048-byte units
  EXPECT_EQ(DecodeReplySize(0x8002), 512u);
  EXPECT_EQ(DecodeReplySize(0xC001), 2048u);
  EXPECT_EQ(DecodeReplySize(0x7FFF), 32767u);
  for (size_t body : {size_t{0x8000}, size_t{40000}, size_t{0x3FFF * 256 + 1}, size_t{5000000}}) {
    EXPECT_GE(DecodeReplySize(EncodeReplySize(body)), body) << body;
    EXPECT_LT(DecodeReplySize(EncodeReplySize(body)) - body, 2048u) << body;
  }
}

TEST(SimWire, FramedRepliesArePaddedTo64ByteBlocks) {
  std::vector<uint8_t> body(509, 0xAB);
  std::vector<uint8_t> wire = FrameReply(14, 7, body);
  ASSERT_EQ(wire.size(), 576u);  // 4 + 509 = 513 bytes on 9 blocks
  EXPECT_EQ(ReadU16(wire, 0), 509);
  EXPECT_EQ(wire[2], 14);
  EXPECT_EQ(wire[3], 7);
  EXPECT_EQ(wire[4 + 508], 0xAB);
  EXPECT_EQ(wire[4 + 509], 0);

  EXPECT_EQ(FrameReply(122, 0, std::vector<uint8_t>(2)).size(), 64u);
  EXPECT_EQ(FrameReply(14, 0, std::vector<uint8_t>(60)).size(), 64u);
  EXPECT_EQ(FrameReply(14, 0, std::vector<uint8_t>(61)).size(), 128u);

  // A large body is padded up to its encoded count before the block padding.
  std::vector<uint8_t> large = FrameReply(14, 0, std::vector<uint8_t>(0x8001, 1));
  EXPECT_EQ(ReadU16(large, 0), 0x8081);
  EXPECT_EQ(large.size(), PaddedLength(4 + 0x81 * 256));
  EXPECT_EQ(large[4 + 0x8000], 1);
  EXPECT_EQ(large[4 + 0x8001], 0);
}

TEST(SimWire, RequestsMustBeWholeBlocksHoldingTheirBody) {
  std::vector<uint8_t> body = {4, 0, 0, 0, 0x80, 0, 0, 0};
  std::vector<uint8_t> wire = FrameRequest(14, body, 9);
  ASSERT_EQ(wire.size(), 64u);
  auto request = ParseRequest(wire);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->command, 14);
  EXPECT_EQ(request->reserved, 9);
  EXPECT_EQ(request->body, body);

  EXPECT_EQ(FrameRequest(14, std::vector<uint8_t>(2044)).size(), 2048u);
  EXPECT_FALSE(ParseRequest(std::vector<uint8_t>(63)));   // not a whole block
  EXPECT_FALSE(ParseRequest(std::vector<uint8_t>(100)));  // not a multiple of 64
  EXPECT_FALSE(ParseRequest({}));
  std::vector<uint8_t> lying = FrameRequest(14, std::vector<uint8_t>(60));
  PutU16(lying, 0, 61);  // claims more body than the 64 bytes carry
  EXPECT_FALSE(ParseRequest(lying));
  PutU16(lying, 0, 60);
  EXPECT_TRUE(ParseRequest(lying));
}

TEST(SimWire, TextFieldsAreCutAndZeroFilled) {
  std::vector<uint8_t> bytes(12, 0xEE);
  PutText(bytes, 2, 6, "abcdefgh");
  EXPECT_EQ(ReadText(bytes, 2, 6), "abcdef");
  EXPECT_EQ(bytes[8], 0xEE);
  PutText(bytes, 2, 6, "ab");
  EXPECT_EQ(bytes[4], 0);
  EXPECT_EQ(bytes[7], 0);
  EXPECT_EQ(ReadText(bytes, 2, 6), "ab");
}

TEST(SimCrc, IsTheComplementOfTheUsualCrc32) {
  const std::string abc = "abc";
  std::vector<uint8_t> bytes(abc.begin(), abc.end());
  EXPECT_EQ(ComputePacketCrc(bytes), 0xCADBBE3Du);
  EXPECT_EQ(~ComputePacketCrc(bytes), 0x352441C2u);
  // Updating piecewise gives the same register as one pass.
  PacketCrc crc;
  crc.Update(std::span(bytes).first(1));
  crc.Update(std::span(bytes).subspan(1));
  EXPECT_EQ(crc.value(), 0xCADBBE3Du);
  EXPECT_EQ(ComputePacketCrc({}), 0xFFFFFFFFu);
}

}  // namespace
}  // namespace sim
