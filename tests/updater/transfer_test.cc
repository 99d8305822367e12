// The file transfer methods against a simulated unit: what crosses the wire,
// what the unit stores, and what the session log shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "reader/flash.h"
#include "sim/wire.h"
#include "tests/support/session_log_recorder.h"
#include "tests/support/sim_bench.h"
#include "tests/support/temp_dir.h"
#include "updater/engine.h"

namespace {

using namespace testing_support;

std::string Pattern(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + (i >> 8));
  return data;
}

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::string Le32(uint32_t v) { return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }

// An FX3 boot image: header, sections of the given word counts, terminator,
// checksum.
std::string Fx3Image(const std::vector<uint32_t>& sectionWords) {
  std::string image = "CY\x1C\xB0";
  for (uint32_t words : sectionWords) image += Le32(words) + Le32(0x40000000) + Pattern(words * 4);
  return image + Le32(0) + Le32(0x40000000) + Le32(0x12345678);
}

class TransferTest : public testing::Test {
 protected:
  void SetUp() override {
    unit_ = &bench_.AddUnit(WrUnitConfig());
    ASSERT_EQ(RdrOpen(nullptr), 0);
    unit_->ClearTraffic();
  }
  void TearDown() override {
    RdrCloseHandle();
    for (std::FILE* file : files_) std::fclose(file);
  }

  std::string Write(const std::string& name, const std::string& contents) {
    WriteFile(dir_.File(name), contents);
    return dir_.File(name);
  }
  std::FILE* Open(const std::string& contents) {
    return files_.emplace_back(std::fopen(Write("local" + std::to_string(files_.size()), contents).c_str(), "rb"));
  }
  std::vector<sim::Request> Packets() { return RequestsOf(*unit_, 14, 35); }

  SimBench bench_;
  SessionLogRecorder log_;
  TempDir dir_;
  sim::Unit* unit_ = nullptr;
  std::vector<std::FILE*> files_;
};

TEST_F(TransferTest, PacketsOnTheWireAndTheStoredFile) {
  RDRTimeoutSet(g_ReaderHandle, 5);
  struct Case {
    size_t size;
    uint32_t packet;
    std::vector<uint32_t> lengths;
  };  // NOLINT
  for (const Case& c :
       std::vector<Case>{{10, 1024, {10}}, {2048, 1024, {1024, 1024, 0}}, {1600, 768, {768, 768, 64}}}) {
    SCOPED_TRACE(c.size);
    unit_->ClearTraffic();
    log_.Clear();
    ASSERT_EQ(RdrNewFileCopy(Open(Pattern(c.size)), static_cast<uint32_t>(c.size), "N5App.xml", c.packet), 0);
    const std::vector<sim::Request> packets = Packets();
    ASSERT_EQ(packets.size(), c.lengths.size());
    for (uint32_t i = 0; i < packets.size(); ++i) {
      const bool last = i + 1 == packets.size();
      EXPECT_EQ(sim::ReadU32(packets[i].body, 4), i);
      EXPECT_EQ(sim::ReadU32(packets[i].body, 8), c.lengths[i]);
      EXPECT_EQ(sim::ReadU32(packets[i].body, 12), packets.size());
      EXPECT_EQ(sim::ReadU32(packets[i].body, 16), last ? c.size : 0u);
      EXPECT_EQ(sim::ReadText(packets[i].body, 21, 27), last ? "N5App.xml" : "");
    }
    EXPECT_EQ(log_.text(), std::string(packets.size() - 1, '.') + "\n");
    ASSERT_TRUE(unit_->FileNamed("N5App.xml"));
    EXPECT_EQ(unit_->FileNamed("N5App.xml")->contents, Bytes(Pattern(c.size)));
  }
  EXPECT_EQ(RDRTimeout(g_ReaderHandle), 120);
}

// The CRC goes out without the final inversion; data whose CRC register
// comes out 0 leaves size, name and CRC out of the final packet, and the unit
// takes the file for a nameless image.
TEST_F(TransferTest, CrcWithoutTheFinalInversionAndARegisterOfZero) {
  ASSERT_EQ(RdrNewFileCopy(Open("abc"), 3, nullptr, 1024), 0);
  EXPECT_EQ(sim::ReadU32(Packets().at(0).body, 48), 0xCADBBE3Du);
  const std::string data = "abc" + Le32(0xCADBBE3D);
  unit_->ClearTraffic();
  ASSERT_EQ(RdrNewFileCopy(Open(data), static_cast<uint32_t>(data.size()), "app.bin", 1024), 0);
  ASSERT_EQ(Packets().size(), 1u);
  EXPECT_EQ(sim::ReadU32(Packets()[0].body, 16), 0u);
  EXPECT_EQ(sim::ReadU32(Packets()[0].body, 48), 0u);
  EXPECT_EQ(sim::ReadText(Packets()[0].body, 21, 27), "");
  EXPECT_FALSE(unit_->FileNamed("app.bin"));
  EXPECT_EQ(unit_->Image(), Bytes(data));
}

TEST_F(TransferTest, PacketFailuresInBothLogStyles) {
  // Index of the refused packet (99: none), bytes in the file of the 2500 announced, packet size, style,
  // result, message.
  // clang-format off
  const std::vector<std::tuple<uint32_t, size_t, uint32_t, LogStyle, int32_t, std::string>> cases = {
      {0, 2500, 1024, LogStyle::kConsole, 32, "RDRFilePacketWriteRequest packet write failed"},
      {2, 2500, 1024, LogStyle::kDialog, 32, "RdrNewFileCopy::RDRFilePacketWriteRequest final packet write failed"},
      {99, 1000, 1024, LogStyle::kConsole, 34, "boot file read error"},
      {99, 2100, 1024, LogStyle::kConsole, 34, "RdrNewFileCopy::boot file final read error"},
      {99, 2500, 1025, LogStyle::kConsole, 32, "RdrNewFileCopy::packet size 1025 not within 1 to 1024"}};
  // clang-format on
  uint32_t refused_index = 0;  // the file packet of this index is refused with -267
  Intercept(*unit_, [&](uint8_t command, auto body) {
    const bool refuse = command == 14 && body.size() >= 8 && body[0] == 35 && sim::ReadU32(body, 4) == refused_index;
    return refuse ? std::optional(std::vector<uint8_t>{0xF5, 0xFE, 0xFF, 0xFF, 0, 0, 0, 0}) : std::nullopt;
  });
  for (const auto& [refused, contents, packet, style, result, message] : cases) {
    refused_index = refused;
    unit_->ClearTraffic();
    log_.Clear();
    EXPECT_EQ(RdrNewFileCopy(Open(Pattern(contents)), 2500, "app.bin", packet, style), result);
    EXPECT_EQ(log_.Messages().back(), message);
    EXPECT_TRUE(style == LogStyle::kConsole || log_.Messages().size() + log_.text().size() == 1u);  // no dots
    EXPECT_TRUE(packet <= 1024 || Packets().empty());
    EXPECT_FALSE(unit_->FileNamed("app.bin"));
  }
}

TEST_F(TransferTest, Fx3ImageGoesOutMeasuredByEitherProtocol) {
  const std::string image = Fx3Image({200, 3});
  const std::string path = Write("fx3.img", image + "trailing bytes");
  ASSERT_EQ(WR2200FileCopy(path.c_str(), 2), 0);
  EXPECT_EQ(sim::ReadU32(Packets()[0].body, 8), 768u);
  EXPECT_EQ(unit_->FileNamed("app.bin")->contents, Bytes(image));

  unit_->ClearTraffic();
  ASSERT_EQ(WR2200FileCopy(path.c_str(), 1), 0);
  EXPECT_TRUE(Packets().empty());
  uint32_t lineBytes = 0;
  for (const sim::Request& line : RequestsOf(*unit_, 14, 7)) lineBytes += sim::ReadU32(line.body, 4);
  EXPECT_EQ(lineBytes, image.size());
  std::vector<uint8_t> memory = unit_->Fx3BootMemory();
  memory.resize(image.size());
  EXPECT_EQ(memory, Bytes(image));
}

TEST_F(TransferTest, MalformedFx3ImagesFailBeforeAnythingIsSent) {
  const std::string header = "CY\x1C\xB0";
  const std::pair<std::string, int32_t> cases[] = {
      {"CY\x1C", 2},
      {"CX\x1C\xB0" + Le32(0), 3},
      {header + Le32(0x40000000) + Le32(0) + Le32(0) + Le32(0) + Le32(0), 5},  // wraps to 0 in 32 bits
      {header + Le32(1) + Le32(0) + Le32(7) + Le32(0) + Le32(0), 8},           // no checksum
  };
  for (const auto& [contents, result] : cases) {
    SCOPED_TRACE(result);
    log_.Clear();
    EXPECT_EQ(WR2200FileCopy(Write("bad.img", contents).c_str(), 1), result);
    EXPECT_EQ(log_.lines().back(), At("End", "WR2200FileCopy"));
  }
  EXPECT_EQ(WR2200FileCopy(dir_.File("missing").c_str(), 2), 1);
  EXPECT_TRUE(sim::Requests(unit_->traffic()).empty());
}

TEST_F(TransferTest, FlashFileSystemCopiesLandInTheUnitsFlash) {
  for (size_t size : {0, 900, 1801}) {
    SCOPED_TRACE(size);
    const std::string local = Write("boot.ini", Pattern(size));
    unit_->ClearTraffic();
    ASSERT_EQ(RdrOldFileCopy(local.c_str(), "0:boot.ini"), 0);
    EXPECT_EQ(unit_->FlashFile("boot.ini"), Bytes(Pattern(size)));
    const auto writes = RequestsOf(*unit_, 126, 3);
    EXPECT_EQ(std::ranges::any_of(writes, [](const sim::Request& r) { return sim::ReadU16(r.body, 8) == 900; }),
              size >= 900);  // written in pieces of 900 bytes

    EXPECT_EQ(RdrCopyFile(local.c_str(), "0:N5OS.xml"), static_cast<int32_t>(size));
    // The dialog reports a copy only when it moved nothing.
    log_.Clear();
    RdrCopyFile(local.c_str(), "0:N5OS.xml", LogStyle::kDialog);
    EXPECT_EQ(log_.Messages(),
              size == 0 ? std::vector<std::string>{"RdrCopyFile::F_cp() - ret = 0"} : std::vector<std::string>{});
  }
  EXPECT_EQ(RdrOldFileCopy(dir_.File("missing").c_str(), "0:boot.ini"), 1);
  EXPECT_EQ(RdrOldFileCopy(Write("x", "x").c_str(), "0:a-name-too-long.ini"), 2);
  EXPECT_EQ(RdrCopyFile(dir_.File("missing").c_str(), "0:N5OS.xml"), -1);
}

}  // namespace
