#include "transport/serial.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/serial_port.h"
#include "reader/frame.h"
#include "sim/serial_link.h"
#include "tests/support/expect_error.h"
#include "tests/support/sim_bench.h"
#include "tests/support/trace_capture.h"
#include "transport/memory.h"

namespace {

using platform::serial::MemoryPort;
using testing_support::ReaderOwner;

constexpr uint8_t kCommand = 14;

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(seed + i * 37 + i / 7);
  return data;
}

// A serial handle over an in-memory port, on virtual time.
class SerialTest : public testing::Test {
 protected:
  void Open(int32_t bits) {
    auto port = std::make_unique<MemoryPort>(bits);
    port_ = port.get();
    handle_.reset(SEROpenPort(std::move(port)));
    ASSERT_NE(handle_.get(), InvalidReaderHandle());
  }
  void Reply(std::span<const uint8_t> body, int32_t bits, uint8_t command = kCommand) {
    port_->Deliver(sim::SerialFrameCharacters(command, 0, body, bits));
  }
  std::vector<int32_t> DrainRing() {
    std::vector<int32_t> kept;
    for (int32_t c; (c = SERGetCharacter(handle_.get())) != 256 && kept.size() <= 3000;) kept.push_back(c);
    return kept;
  }
  int32_t Exchange(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply, uint16_t capacity) {
    RDRMSGHDR ohdr{static_cast<uint16_t>(request.size()), kCommand, 0};
    reply.assign(capacity, 0xEE);
    ihdr_ = RDRMSGHDR{capacity, 0, 0};
    return RDRSendReceive(handle_.get(), &ohdr, request.data(), &ihdr_, reply.data());
  }

  platform::VirtualClock clock_;
  platform::ScopedClock scoped_{clock_};
  MemoryPort* port_ = nullptr;
  ReaderOwner handle_;
  RDRHANDLE handle() { return handle_.get(); }
  RDRMSGHDR ihdr_{};
};

TEST(SerialFrameCrc, IsJamCrc) {
  const std::string digits = "123456789";
  EXPECT_EQ(SerialFrameCrc({reinterpret_cast<const uint8_t*>(digits.data()), digits.size()}), 0x340BC6D9u);
}

// A Size-0 request: start mark, header, CRC; 10 characters of 8 bits.
TEST_F(SerialTest, EmptyRequestCharacters) {
  const uint8_t header[4] = {0, 0, 120, 9};
  const uint32_t crc = SerialFrameCrc(header);
  std::vector<uint16_t> frame = {0x01, 0xFF, 0, 0, 120, 9};
  for (int shift = 0; shift < 32; shift += 8) frame.push_back(uint16_t(crc >> shift & 0xFF));
  Open(8);
  Reply({}, 8, 120);
  RDRMSGHDR ohdr{0, 120, 9}, ihdr{0, 0, 0};
  ASSERT_EQ(RDRSendReceive(handle(), &ohdr, nullptr, &ihdr, nullptr), 1);
  EXPECT_EQ(ihdr.Command, 120);
  EXPECT_EQ(port_->TakeSent(), frame);
}

// Whether no character of the frame is 256, the value the raw input uses for
// "none waiting" (from 9 bits up a character can take it).
bool Carriable(const std::vector<uint8_t>& body, int32_t bits) {
  const std::vector<uint16_t> characters = sim::SerialFrameCharacters(kCommand, 0, body, bits);
  return std::find(characters.begin(), characters.end(), 256) == characters.end();
}

// Every bit size a port can have: the request goes out as an independent
// framer cuts it, the reply comes back whole.
TEST_F(SerialTest, RoundTripAtEveryBitSize) {
  for (int32_t bits = 1; bits <= 16; ++bits) {
    SCOPED_TRACE(bits);
    uint8_t seed = 0;
    while (!Carriable(Pattern(301, seed), bits) || !Carriable(Pattern(701, seed + 1), bits)) ++seed;
    const std::vector<uint8_t> request = Pattern(301, seed);
    const std::vector<uint8_t> body = Pattern(701, seed + 1);
    Open(bits);
    Reply(body, bits);
    std::vector<uint8_t> reply;
    ASSERT_EQ(Exchange(request, reply, 1000), 1);
    EXPECT_EQ(port_->TakeSent(), sim::SerialFrameCharacters(kCommand, 0, request, bits));
    EXPECT_EQ(ihdr_.Size, body.size());
    EXPECT_EQ(std::vector<uint8_t>(reply.begin(), reply.begin() + 701), body);
    EXPECT_EQ(reply[701], 0xEE);  // nothing past the body
    EXPECT_EQ(DrainRing(), std::vector<int32_t>{});
  }
}

// Noise is kept in order; the exchange traces its arguments by name.
TEST_F(SerialTest, NoiseBeforeTheReplyIsKeptInOrder) {
  testing_support::TraceCapture trace;
  Open(8);
  port_->Deliver(std::vector<uint16_t>{0x33, 0x01, 0x44, 0xFE, 0x01, 0x01});
  const std::vector<uint8_t> body = Pattern(40, 1);
  Reply(body, 8);
  std::vector<uint8_t> reply;
  ASSERT_EQ(Exchange({}, reply, 40), 1);
  EXPECT_EQ(reply, body);
  EXPECT_EQ(DrainRing(), (std::vector<int32_t>{0x33, 0x01, 0x44, 0xFE, 0x01, 0x01}));
}

// A damaged reply and one larger than the capacity are never taken; the
// search goes on until the time limit.
TEST_F(SerialTest, BadCrcAndOversizeEndInTimeout) {
  // clang-format off
  struct Case { const char* name; size_t body; uint16_t capacity; bool damage; };
  // clang-format on
  for (const Case& c : {Case{"crc", 20, 64, true}, Case{"oversize", 65, 64, false}}) {
    SCOPED_TRACE(c.name);
    Open(8);
    RDRTimeoutSet(handle(), 2);
    std::vector<uint16_t> characters = sim::SerialFrameCharacters(kCommand, 0, Pattern(c.body, 5), 8);
    if (c.damage) characters[10] ^= 0x10;
    port_->Deliver(characters);
    const uint64_t before = clock_.Elapsed();
    std::vector<uint8_t> reply;
    EXPECT_FAILS_ON(handle_, Exchange({}, reply, c.capacity), 0, kErrTimeout);
    EXPECT_GE(clock_.Elapsed() - before, 2000u);
    EXPECT_LE(clock_.Elapsed() - before, 2100u);
    // Every character kept, none taken as a frame.
    EXPECT_EQ(DrainRing(), std::vector<int32_t>(characters.begin(), characters.end()));
  }
}

TEST_F(SerialTest, RingHolds2079AndMarksTheOverrun) {
  Open(8);
  port_->Deliver(std::vector<uint16_t>(2080, 0x22));
  std::vector<uint8_t> reply;
  EXPECT_EQ(Exchange({}, reply, 16), 0);
  EXPECT_NE(handle()->last_error, LibraryError(kErrTimeout));
  const std::vector<int32_t> kept = DrainRing();
  ASSERT_EQ(kept.size(), 2079u);
  EXPECT_EQ(std::tuple(kept[2077], kept[2078]), std::tuple(0x22, 0x822));
}

// Refusals before a character is sent, and the waits that end early.
TEST_F(SerialTest, Failures) {
  testing_support::TraceCapture trace(kTraceError);
  std::vector<uint8_t> big(8177, 1);
  std::vector<uint8_t> reply(8);
  auto send = [&](uint16_t out, uint16_t in) {
    RDRMSGHDR ohdr{out, kCommand, 0}, ihdr{in, 0, 0};
    return RDRSendReceive(handle(), &ohdr, nullptr, &ihdr, nullptr);
  };
  // Entry and exit pass progress 0 and 100; the wait passes -1.
  auto abort_wait = [](uint32_t, int32_t progress, uint32_t) { return progress == -1 ? 0 : 1; };
  // clang-format off
  struct Case { const char* line; int32_t error; std::function<int32_t()> call; };
  const std::vector<Case> cases = {
      {"\nSERHANDLE not opened ", kErrInvalidParameter, [&] { handle()->stream.character_getter = nullptr; return Exchange({}, reply, 8); }},
      {"\nInvalid bit size; error on port", kErrInvalidParameter, [&] { port_->SetBitSize(-1); return Exchange({}, reply, 8); }},
      {"\nOutgoing message is too large", kErrInvalidParameter, [&] { return Exchange(big, reply, 8); }},
      {"\nIncoming message is non-null and has no buffer", kErrInvalidParameter, [&] { return send(0, 8); }},
      {"\nNull data pointer for non-null message", kErrInvalidParameter, [&] { return send(4, 0); }},
      {"\nWrite timed out", kErrTimeout, [&] { port_->SetBlocked(true); return Exchange({}, reply, 8); }},
      {"\nRead aborted", kErrCallbackAbort, [&] { RDRCallbackSet(handle(), abort_wait, 0); return Exchange({}, reply, 8); }},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Open(8);
    EXPECT_FAILS_ON(handle_, c.call(), 0, c.error);
  }
  trace.Close();
  // The log puts its stamp where each line's "\n" was.
  for (const Case& c : cases) EXPECT_NE(trace.Read().find(c.line + 1), std::string::npos) << c.line;

  // Only serial handles: another kind is refused without touching it.
  ReaderOwner memory(MEMOpen());
  RDRMSGHDR ohdr{0, kCommand, 0}, ihdr{0, 0, 0};
  EXPECT_FAILS_WITH(SERSendReceive(memory.get(), &ohdr, nullptr, &ihdr, nullptr), 0, kErrInvalidParameter);
  EXPECT_FAILS_WITH(SERGetCharacter(memory.get()), -1, kErrInvalidParameter);
  EXPECT_EQ(memory->last_error, 0);
  // Nor is a USB operation's: refused, the error on the handle.
  EXPECT_FAILS_ON(memory, USBReconnect(memory.get()), 0, kErrInvalidParameter);
  EXPECT_EQ(USBFlush(nullptr), 0);
}

// Caller-supplied functions see their context, and the getter falls back to
// them once the ring is empty.
TEST(SerialFunctionsTest, ContextAndGetter) {
  struct Line {
    std::vector<int32_t> input{7, 256, -5};
    size_t next = 0;
  } line;
  auto get = [](RDRHANDLE h) {
    auto* l = static_cast<Line*>(SERContext(h));
    return l->next < l->input.size() ? l->input[l->next++] : 256;
  };
  SerialFunctions functions{get, [](RDRHANDLE, int32_t) { return 1; }, [](RDRHANDLE) { return 8; }};
  ReaderOwner handle(SEROpenFunctions(functions, &line));
  ASSERT_NE(handle.get(), InvalidReaderHandle());
  EXPECT_EQ(SERGetCharacter(handle.get()), 7);
  EXPECT_EQ(SERGetCharacter(handle.get()), 256);
  EXPECT_EQ(StreamGet(handle.get(), 0), -1);  // a port in error gives no character, only -1
}

}  // namespace
