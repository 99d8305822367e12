// What a unit file describes: its parts and its mistakes, the examples that
// ship, a folder of unit files, and the flash model of its "flash" object.
#include "sim/unit_config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "platform/clock.h"
#include "sim/usb_backend.h"
#include "tests/support/temp_dir.h"

namespace sim {
namespace {

using nlohmann::json;
using testing_support::WriteFile;

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
  UnitConfig config = ParseUnitConfig(json::parse(R"({"comment": "anything",
    "usb": {"vendor_id": "0x17B9", "product_id": 16384, "max_transfer_size": "4096"},
    "identity": {"api_version": null, "status_word": "0x4080"},
    "faults": {"silence": {"from_request": 3, "count": 1}, "wrong_echo": {"from_request": 2, "command": 99}}})"),
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
      {R"({"faults": {"silence": {"from_request": 0}}})", "faults.silence.from_request"},
      {R"({"faults": {"scripted_replies": [{"request": 1, "chunks": ["0g"]}]}})", "faults.scripted_replies[].chunks"},
      {R"({"flash": {"serial_memories": {"2abc": {}}}})", "flash.serial_memories.2abc"},
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
    const std::string example = text.substr(start + 8, text.find("```", start + 8) - start - 8);
    EXPECT_NO_THROW(ParseUnitConfig(json::parse(example), "example")) << example;
  }
  EXPECT_EQ(examples, 7u);
}

// What units keep in their folder between two processes is shown by the
// console tests, which run the program twice.
TEST(SimUnitFolder, LoadsUnitFilesInNameOrderAndSkipsBrokenOnesWithTheirReason) {
  platform::VirtualClock clock;
  platform::ScopedClock scoped_clock{clock};
  testing_support::TempDir folder;
  WriteFile(folder.File("b-second.json"), R"({"usb": {"product_id": "0x47", "serial": "B"}})");
  WriteFile(folder.File("a-first.json"), R"({"usb": {"product_id": "0x48", "serial": "A"}})");
  WriteFile(folder.File("c-broken.json"), R"({"usb": {"product_id": )");
  WriteFile(folder.File("d-typo.json"), R"({"usb": {"prodct_id": 1}})");
  WriteFile(folder.File("e-twin.json"), R"({"usb": {"product_id": "0x47", "serial": "b"}})");
  auto backend = SimulatedBackend::FromDirectory(folder.path());
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
}  // namespace sim
