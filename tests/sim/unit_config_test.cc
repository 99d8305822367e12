#include "sim/unit_config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "tests/support/temp_dir.h"

namespace sim {
namespace {

using nlohmann::json;

const std::filesystem::path kSourceRoot = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();

std::string ErrorOf(const std::string& text) {
  try {
    ParseUnitConfig(json::parse(text), "unit");
  } catch (const std::invalid_argument& failure) {
    return failure.what();
  }
  return "";
}

// Numbers as hex text, decimal text or JSON numbers; null for "absent".
TEST(SimUnitConfig, ParsesEveryPartOfAUnitFile) {
  UnitConfig config = ParseUnitConfig(json::parse(R"({
    "comment": "anything",
    "usb": {"vendor_id": "0x17B9", "product_id": 16384, "serial": "AB12", "interface": "still_image",
            "in_pipe": "0x82", "out_pipe": 1, "max_transfer_size": "4096"},
    "identity": {"firmware_name_status": 6, "fx3_firmware": null, "api_version": null,
                 "status_word": "0x4080", "unknown_commands": ["0x7E"]},
    "soft_boot": {"boot_loader_product_id": "0x40"},
    "fx3_line_crossing": "wrap",
    "updates": [{"file": "app.bin", "set": {"firmware_name": "FW1-2-4"}}],
    "faults": {"silence": {"from_request": 3, "count": 1}, "wrong_echo": {"from_request": 2, "command": 99},
               "disconnect": {"at_request": 4, "return_after_ms": null}, "halted_endpoints": ["0x81"],
               "scripted_replies": [{"request": 5, "chunks": ["FF FF 0e 00", ""]}],
               "stuck_write": {"from_request": 6}, "short_write": {"from_request": 7, "bytes": 10},
               "slow_write": {"count": 2, "after_ms": 1500}},
    "flash": {"sectors_per_chip": 64, "serial_memories": {"20": {"size": 100}}, "status_only_replies": "failures"}
  })"),
                                      "front-desk");
  EXPECT_EQ(std::tuple(config.name, config.vendor_id, config.product_id, config.max_transfer_size, config.status_word),
            std::tuple("front-desk", 0x17B9, 0x4000, 4096u, 0x4080u));
  EXPECT_EQ(config.interface, UnitInterface::kStillImage);
  EXPECT_EQ(config.api_version, std::nullopt);
  EXPECT_EQ(config.unknown_commands, std::vector<uint8_t>{0x7E});
  EXPECT_EQ(config.boot_loader_product_id, 0x40);
  EXPECT_EQ(config.fx3_line_crossing, Fx3LineCrossing::kWrap);
  EXPECT_EQ(config.updates.at(0).strings.at("firmware_name"), "FW1-2-4");
  const Faults& faults = config.faults;
  EXPECT_TRUE(faults.silence->Matches(3) && !faults.silence->Matches(4));
  EXPECT_TRUE(faults.wrong_echo->when.Matches(200));
  EXPECT_EQ(faults.wrong_echo->command, 99);
  EXPECT_EQ(faults.disconnect->return_after_ms, std::nullopt);
  EXPECT_EQ(faults.halted_endpoints, std::vector<uint8_t>{0x81});
  EXPECT_EQ(faults.scripted_replies.at(5).chunks.at(0), (std::vector<uint8_t>{0xFF, 0xFF, 0x0E, 0x00}));
  EXPECT_TRUE(faults.stuck_write->Matches(6));
  EXPECT_TRUE(faults.short_write->bytes == 10 && faults.short_write->when.Matches(7));
  EXPECT_TRUE(faults.slow_write->after_ms == 1500 && !faults.slow_write->when.Matches(3));
  EXPECT_EQ(config.flash["sectors_per_chip"], 64);
}

TEST(SimUnitConfig, RejectsMistakesNamingTheKey) {
  // Each mistake names its key; the text after it is for people.
  const std::pair<const char*, const char*> cases[] = {
      {R"({"usb": {"serail": "X"}})", "usb.serail"},
      {R"({"usb": {"vendor_id": "0x10000"}})", "usb.vendor_id"},
      {R"({"usb": {"vendor_id": "08g8"}})", "usb.vendor_id"},
      {R"({"usb": {"product_id": -1}})", "usb.product_id"},
      {R"({"usb": {"serial": "a#b"}})", "usb.serial"},
      {R"({"identity": {"firmware_name": 41580}})", "identity.firmware_name"},
      {R"({"faults": {"silence": {"from_request": 0}}})", "faults.silence.from_request"},
      {R"({"faults": {"scripted_replies": [{"request": 1, "chunks": ["0g"]}]}})", "faults.scripted_replies[].chunks"},
      {R"({"faults": {"short_write": {"byte": 3}}})", "faults.short_write.byte"},
      {R"({"faults": {"slow_write": {"after_ms": -5}}})", "faults.slow_write.after_ms"},
      {R"({"faults": {"stuck_write": {"from_request": 0}}})", "faults.stuck_write.from_request"},
      {R"({"fx3_line_crossing": "clip"})", "fx3_line_crossing"},
      {R"({"updates": [{"file": "app.bin", "set": {"status_word": "1"}}]})", "updates[].set.status_word"},
      {R"({"flash": []})", "flash"},
      {R"({"flash": {"sectors_per_chip": 4294969344}})", "flash.sectors_per_chip"},
      {R"({"flash": {"sectors_per_chip": 32766}})", "flash.sectors_per_chip"},
      {R"({"flash": {"raw_sectors": 0}})", "flash.raw_sectors"},
      {R"({"flash": {"raw_sectors": 65537}})", "flash.raw_sectors"},
      {R"({"flash": {"logical_chips": [1.7]}})", "flash.logical_chips"},
      {R"({"flash": {"raw_chips": [256]}})", "flash.raw_chips"},
      {R"({"flash": {"serial_memories": {"2abc": {}}}})", "flash.serial_memories.2abc"},
      {R"({"flash": {"serial_memories": {"10": {}}}})", "flash.serial_memories.10"},
      {R"({"flash": {"serial_memories": {"2": {"size": 16777217}}}})", "flash.serial_memories.2.size"},
      {R"({"flash": {"serial_memories": {"2": {"seed": 4294967296}}}})", "flash.serial_memories.2.seed"},
      {R"({"flash": {"firmware_memory_size": 4294967296}})", "flash.firmware_memory_size"},
      {R"({"flash": {"inject": [{"sub_command": "read", "status": 40000}]}})", "flash.inject[].status"},
      {R"({"flash": {"inject": [{"sub_command": "read", "status": -1, "skip": -1}]}})", "flash.inject[].skip"},
      {R"({"flash": {"inject": [{"sub_command": "rewind", "status": -1}]}})", "flash.inject[].sub_command"},
      {R"({"flash": {"inject": [{"sub_command": 300, "status": -1}]}})", "flash.inject[].sub_command"},
      {R"({"flash": {"require_init": 1}})", "flash.require_init"},
      {R"({"flash": {"status_only_replies": "all"}})", "flash.status_only_replies"},
      {R"({"flash": {"sector_per_chip": 4}})", "flash.sector_per_chip"},
  };
  for (const auto& [text, key] : cases) EXPECT_EQ(ErrorOf(text).rfind(std::string(key) + ": ", 0), 0u) << text;
}

TEST(SimUnitConfig, LoadUnitFileReportsTheFileAndTheReason) {
  testing_support::TempDir folder;
  testing_support::WriteFile(folder.File("broken.json"), "{\"usb\": {");
  testing_support::WriteFile(folder.File("typo.json"), R"({"identiy": {}})");
  testing_support::WriteFile(folder.File("front.json"), "{}");
  const std::pair<const char*, std::string> cases[] = {{"broken.json", ": not valid JSON ("},
                                                       {"typo.json", ": identiy: unknown key"},
                                                       {"missing.json", ": cannot be opened"}};
  for (const auto& [name, reason] : cases) {
    std::string error;
    EXPECT_FALSE(LoadUnitFile(folder.File(name), &error));
    EXPECT_EQ(error.substr(0, folder.File(name).size() + reason.size()), folder.File(name) + reason);
  }
  std::string error;
  EXPECT_EQ(LoadUnitFile(folder.File("front.json"), &error)->name, "front");
}

TEST(SimUnitConfig, EveryExampleUnitAndEveryExampleInTheGuideLoads) {
  for (const auto& entry : std::filesystem::directory_iterator(kSourceRoot / "examples" / "units")) {
    std::string error;
    EXPECT_TRUE(LoadUnitFile(entry.path(), &error)) << error;
  }
  const std::string text = testing_support::ReadFile((kSourceRoot / "docs" / "sim-units.md").string());
  size_t examples = 0;
  for (size_t start = text.find("```json\n"); start != std::string::npos && examples < 100;
       start = text.find("```json\n", start + 1), ++examples) {
    const size_t end = text.find("```", start + 8);
    ASSERT_NE(end, std::string::npos);
    const std::string example = text.substr(start + 8, end - start - 8);
    EXPECT_NO_THROW(ParseUnitConfig(json::parse(example), "example")) << example;
  }
  EXPECT_EQ(examples, 7u);
}

}  // namespace
}  // namespace sim
