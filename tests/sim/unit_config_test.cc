#include "sim/unit_config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "tests/support/temp_dir.h"  // ReadFile

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
    "usb": {"vendor_id": "0x17B9", "product_id": 16384, "max_transfer_size": "4096"},
    "identity": {"api_version": null, "status_word": "0x4080"},
    "faults": {"silence": {"from_request": 3, "count": 1}, "wrong_echo": {"from_request": 2, "command": 99}}
  })"),
                                      "front-desk");
  EXPECT_EQ(std::tuple(config.name, config.vendor_id, config.product_id, config.max_transfer_size, config.status_word),
            std::tuple("front-desk", 0x17B9, 0x4000, 4096u, 0x4080u));
  EXPECT_EQ(config.api_version, std::nullopt);
  EXPECT_TRUE(config.faults.silence->Matches(3) && !config.faults.silence->Matches(4));
  EXPECT_TRUE(config.faults.wrong_echo->when.Matches(200));  // no count: every request from then on
}

TEST(SimUnitConfig, RejectsMistakesNamingTheKey) {
  // Each mistake names its key; the text after it is for people.
  const std::pair<const char*, const char*> cases[] = {
      {R"({"usb": {"serail": "X"}})", "usb.serail"},
      {R"({"usb": {"vendor_id": "0x10000"}})", "usb.vendor_id"},
      {R"({"usb": {"serial": "a#b"}})", "usb.serial"},
      {R"({"faults": {"silence": {"from_request": 0}}})", "faults.silence.from_request"},
      {R"({"faults": {"scripted_replies": [{"request": 1, "chunks": ["0g"]}]}})", "faults.scripted_replies[].chunks"},
      {R"({"fx3_line_crossing": "clip"})", "fx3_line_crossing"},
      {R"({"updates": [{"file": "app.bin", "set": {"status_word": "1"}}]})", "updates[].set.status_word"},
      {R"({"flash": {"sectors_per_chip": 4294969344}})", "flash.sectors_per_chip"},
      {R"({"flash": {"serial_memories": {"2abc": {}}}})", "flash.serial_memories.2abc"},
      {R"({"flash": {"inject": [{"sub_command": "read", "status": 40000}]}})", "flash.inject[].status"},
  };
  for (const auto& [text, key] : cases) EXPECT_EQ(ErrorOf(text).rfind(std::string(key) + ": ", 0), 0u) << text;
}

TEST(SimUnitConfig, EveryExampleUnitAndEveryExampleInTheGuideLoads) {
  std::string error;
  for (const auto& entry : std::filesystem::directory_iterator(kSourceRoot / "examples" / "units"))
    EXPECT_TRUE(LoadUnitFile(entry.path(), &error)) << error;
  const std::string text = testing_support::ReadFile((kSourceRoot / "docs" / "sim-units.md").string());
  size_t examples = 0;
  for (size_t start = text.find("```json\n"); start != std::string::npos && examples < 100;
       start = text.find("```json\n", start + 1), ++examples) {
    const size_t end = text.find("```", start + 8);
    const std::string example = text.substr(start + 8, end - start - 8);
    EXPECT_NO_THROW(ParseUnitConfig(json::parse(example), "example")) << example;
  }
  EXPECT_EQ(examples, 7u);
}

}  // namespace
}  // namespace sim
