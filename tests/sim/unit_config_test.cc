// What a unit file describes: its parts and its mistakes, the examples that
// ship, a folder of unit files, and the flash model of its "flash" object.
#include "sim/unit_config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "platform/clock.h"
#include "sim/flash.h"
#include "sim/flash_model.h"
#include "sim/usb_backend.h"
#include "sim/wire.h"
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

// The flash model a unit file's "flash" object configures, spoken to
// directly: request bytes in and reply bytes out.
struct Reply {
  int16_t status;
  uint16_t id;
  std::vector<uint8_t> data;
};

// One sector request without a location hint.
Reply Send(FlashModel& model, uint8_t sub, uint16_t id = 0, uint16_t offset = 0, uint16_t length = 0,
           const std::vector<uint8_t>& data = {}, uint8_t chip = 0) {
  std::vector<uint8_t> body = {sub, chip, 0, 0, 0, 0, 0, 0, 0, 0};
  for (auto [at, value] : {std::pair{2, id}, {6, offset}, {8, length}}) PutU16(body, at, value);
  body.insert(body.end(), data.begin(), data.end());
  auto bytes = model.Handle(kSectorCommand, body).value();
  const auto status = static_cast<int16_t>(ReadU16(bytes, 0));
  return bytes.size() < 6 ? Reply{status, 0, {}} : Reply{status, ReadU16(bytes, 2), {bytes.begin() + 6, bytes.end()}};
}

nlohmann::json Config(uint32_t sectors = 64) { return {{"sectors_per_chip", sectors}, {"raw_sectors", 256}}; }

TEST(FlashModelLogical, RulesOfTheLogicalView) {
  FlashModel model(Config(4), {});
  EXPECT_EQ(Send(model, kSubRead, 1, 0, 20).status, -127);  // before SectorInit
  EXPECT_EQ(Send(model, kSubInit).status, 0);
  EXPECT_EQ(Send(model, kSubInit, 0, 0, 0, {}, 5).status, -118);
  const Reply created = Send(model, kSubNew);
  EXPECT_EQ(Send(model, kSubRead, created.id, 1020, 2).data, (std::vector<uint8_t>{0xFF, 0xFF}));
  EXPECT_EQ(Send(model, kSubWrite, created.id, 1020, 3, {1, 2, 3}).status, -127);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(Send(model, kSubNew).status, 0);
  EXPECT_EQ(Send(model, kSubNew).status, -116);  // the chip is full
  EXPECT_EQ(Send(model, kSubDelete, created.id).status, 0);
  EXPECT_EQ(Send(model, kSubRead, created.id, 0, 1).status, -126);
}

TEST(FlashModelPersistence, FlashOutlivesTheModelAndCompacts) {
  testing_support::TempDir dir;
  uint16_t id = 0;
  {
    FlashModel model(Config(), dir.path());
    Send(model, kSubInit);
    id = Send(model, kSubNew).id;
    // Many rewrites of one sector make the journal worth compacting.
    for (int i = 0; i < 400; ++i) Send(model, kSubWrite, id, 0, 2, {uint8_t(i), uint8_t(i >> 8)});
    model.Save();
    EXPECT_LT(std::filesystem::file_size(dir.path() / "flash.bin"), 8000u);  // compacted
  }
  FlashModel reopened(Config(), dir.path());
  EXPECT_FALSE(reopened.Initialised(0));  // a new power-up
  Send(reopened, kSubInit);
  EXPECT_EQ(Send(reopened, kSubRead, id, 0, 2).data, (std::vector<uint8_t>{399 & 0xFF, 399 >> 8}));
  // A process that died while writing leaves a cut record: the whole ones count.
  Send(reopened, kSubWrite, id, 0, 1, {0x42});
  const auto journal = dir.path() / "flash.bin";
  std::filesystem::resize_file(journal, std::filesystem::file_size(journal) - 100);
  EXPECT_EQ(FlashModel(Config(), dir.path()).LogicalSector(0, id)->at(0), 399 & 0xFF);
}

}  // namespace
}  // namespace sim
