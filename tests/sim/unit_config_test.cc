#include "sim/unit_config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "tests/support/sim_bench.h"
#include "tests/support/temp_dir.h"

namespace sim {
namespace {

using nlohmann::json;

std::string ErrorOf(const std::string& text) {
  try {
    ParseUnitConfig(json::parse(text), "unit");
  } catch (const std::invalid_argument& failure) {
    return failure.what();
  }
  return "";
}

TEST(SimUnitConfig, ParsesEveryPartOfAUnitFile) {
  UnitConfig config = ParseUnitConfig(json::parse(R"({
    "comment": "anything",
    "usb": {"vendor_id": "0x17B9", "product_id": 16384, "serial": "AB12", "interface": "still_image",
            "description": "Q5 Reader", "disabled": true, "hardware_ids": ["USB\\X"], "parent_id": "USB\\HUB",
            "in_pipe": "0x82", "out_pipe": 1, "max_packet_size": 64, "max_transfer_size": "4096"},
    "identity": {"firmware_name": "FW1-2-3", "firmware_name_status": 6, "sh4_firmware_name": "FW40961",
                 "serial_string": "S", "fx3_firmware": null, "application_header": "A", "boot_header": "B",
                 "api_version": null, "status_word": "0x4080", "non_sticky_bits": 1,
                 "unknown_services": [17], "unknown_commands": ["0x7E"]},
    "soft_boot": {"reenumerate_after_ms": 1500, "boot_loader_product_id": "0x40"},
    "fx3_boot_memory_bytes": 1024,
    "updates": [{"file": "app.bin", "set": {"firmware_name": "FW1-2-4"}}],
    "faults": {"unanswered_first_read": 512, "silence": {"from_request": 3, "count": 1},
               "wrong_echo": {"from_request": 2, "command": 99}, "oversize": {"body_bytes": 70000},
               "disconnect": {"at_request": 4, "return_after_ms": null}, "halted_endpoints": ["0x81"],
               "scripted_replies": [{"request": 5, "chunks": ["FF FF 0e 00", ""]}]},
    "flash": {"anything": [1, 2]}
  })"),
                                      "front-desk");
  EXPECT_EQ(config.name, "front-desk");
  EXPECT_EQ(config.vendor_id, 0x17B9);
  EXPECT_EQ(config.product_id, 0x4000);
  EXPECT_EQ(config.interface, UnitInterface::kStillImage);
  EXPECT_TRUE(config.disabled);
  EXPECT_EQ(config.HardwareIds(), std::vector<std::string>{"USB\\X"});
  EXPECT_EQ(config.ParentId(), "USB\\HUB");
  EXPECT_EQ(config.in_pipe, 0x82);
  EXPECT_EQ(config.max_transfer_size, 4096u);
  EXPECT_EQ(config.firmware_name_status, 6);
  EXPECT_EQ(config.fx3_firmware, std::nullopt);
  EXPECT_EQ(config.api_version, std::nullopt);
  EXPECT_EQ(config.status_word, 0x4080u);
  EXPECT_EQ(config.unknown_commands, std::vector<uint8_t>{0x7E});
  EXPECT_EQ(config.reenumerate_after_ms, 1500u);
  EXPECT_EQ(config.boot_loader_product_id, 0x40);
  ASSERT_EQ(config.updates.size(), 1u);
  EXPECT_EQ(config.updates[0].strings.at("firmware_name"), "FW1-2-4");
  const Faults& faults = config.faults;
  EXPECT_EQ(faults.unanswered_first_read, 512u);
  EXPECT_TRUE(faults.silence->Matches(3));
  EXPECT_FALSE(faults.silence->Matches(4));
  EXPECT_TRUE(faults.wrong_echo->when.Matches(200));
  EXPECT_FALSE(faults.wrong_echo->when.Matches(1));
  EXPECT_EQ(faults.wrong_echo->command, 99);
  EXPECT_EQ(faults.oversize->body_bytes, 70000u);
  EXPECT_EQ(faults.disconnect->at_request, 4u);
  EXPECT_EQ(faults.disconnect->return_after_ms, std::nullopt);
  EXPECT_EQ(faults.halted_endpoints, std::vector<uint8_t>{0x81});
  ASSERT_EQ(faults.scripted_replies.at(5).chunks.size(), 2u);
  EXPECT_EQ(faults.scripted_replies.at(5).chunks[0], (std::vector<uint8_t>{0xFF, 0xFF, 0x0E, 0x00}));
  EXPECT_EQ(config.flash["anything"][1], 2);
}

TEST(SimUnitConfig, DefaultsDescribeAPlainReader) {
  UnitConfig config = ParseUnitConfig(json::object(), "plain");
  EXPECT_EQ(config.DevicePath(), "\\\\?\\usb#vid_0898&pid_0041#sn0001#{9e32eeca-ab09-48d9-8a63-69b70a14d738}");
  EXPECT_EQ(config.InstanceId(), "USB\\VID_0898&PID_0041\\SN0001");
  EXPECT_EQ(config.status_word, 0x80u);
  EXPECT_TRUE(config.flash.is_object());
}

// Ids the library does not read but the bus reports: instance ids, and
// hardware ids most specific first, a composite child's with its interface.
TEST(SimUnitConfig, UnitsAreListedWithTheirIds) {
  testing_support::SimBench bench;
  bench.AddUnit(testing_support::WrUnitConfig("WR77"));
  bench.AddUnit(testing_support::CompositeUnitConfig("VL9"));
  auto readers = bench.backend().EnumerateInterfaces(platform::usb::InterfaceClass::kReader);
  ASSERT_EQ(readers->size(), 1u);
  EXPECT_EQ((*readers)[0].instance_id, "USB\\VID_17B9&PID_4000\\WR77");
  auto still = bench.backend().EnumerateInterfaces(platform::usb::InterfaceClass::kStillImage);
  ASSERT_EQ(still->size(), 1u);
  EXPECT_EQ((*still)[0].hardware_ids[0], "USB\\VID_0898&PID_0064&REV_0001&MI_00");
  auto devices = bench.backend().EnumerateDevices();
  ASSERT_EQ(devices->size(), 3u);  // the composite parent and its child
  EXPECT_EQ((*devices)[0].hardware_ids,
            (std::vector<std::string>{"USB\\VID_17B9&PID_4000&REV_0001", "USB\\VID_17B9&PID_4000"}));
  EXPECT_EQ((*devices)[1].hardware_ids[1], "USB\\VID_0898&PID_0064");
  EXPECT_EQ((*devices)[2].hardware_ids[1], "USB\\VID_0898&PID_0064&MI_00");
  EXPECT_THROW(bench.AddUnit(testing_support::WrUnitConfig("WR77")), std::invalid_argument);
}

TEST(SimUnitConfig, RejectsMistakesNamingTheKey) {
  EXPECT_EQ(ErrorOf(R"({"usb": {"serail": "X"}})"), "usb.serail: unknown key");
  EXPECT_EQ(ErrorOf(R"({"usb": {"vendor_id": "0x10000"}})"), "usb.vendor_id: 65536 is out of range");
  EXPECT_EQ(ErrorOf(R"({"usb": {"vendor_id": "08g8"}})"), "usb.vendor_id: \"08g8\" is not a number");
  EXPECT_EQ(ErrorOf(R"({"usb": {"product_id": -1}})"), "usb.product_id: expected a non-negative number");
  EXPECT_EQ(ErrorOf(R"({"usb": {"interface": "hid"}})"),
            "usb.interface: \"hid\" is neither \"reader\" nor \"still_image\"");
  EXPECT_EQ(ErrorOf(R"({"usb": {"serial": "a#b"}})"), "usb.serial: \"a#b\" may hold letters, digits and & _ . - only");
  EXPECT_EQ(ErrorOf(R"({"usb": {"in_pipe": 2}})"),
            "usb.in_pipe/out_pipe: IN pipe ids carry bit 0x80, OUT pipe ids do not");
  EXPECT_EQ(ErrorOf(R"({"identity": {"firmware_name": 41580}})"), "identity.firmware_name: expected a string");
  EXPECT_EQ(ErrorOf(R"({"soft_boot": {"boot_loader_product_id": 65536}})"),
            "soft_boot.boot_loader_product_id: 65536 is out of range");
  EXPECT_EQ(ErrorOf(R"({"faults": {"silence": {"from_request": 0}}})"),
            "faults.silence.from_request: requests count from 1");
  EXPECT_EQ(ErrorOf(R"({"faults": {"scripted_replies": [{"request": 1, "chunks": ["0g"]}]}})"),
            "faults.scripted_replies[].chunks: not a hex string");
  EXPECT_EQ(ErrorOf(R"({"updates": [{"file": "app.bin", "set": {"status_word": "1"}}]})"),
            "updates[].set.status_word: unknown key");
  EXPECT_EQ(ErrorOf(R"([1, 2])"), "the unit must be a JSON object");
  EXPECT_EQ(ErrorOf(R"({"usb": []})"), "usb: expected an object");
}

TEST(SimUnitConfig, LoadUnitFileReportsTheFileAndTheReason) {
  testing_support::TempDir folder;
  std::string error;
  testing_support::WriteFile(folder.File("broken.json"), "{\"usb\": {");
  EXPECT_FALSE(LoadUnitFile(folder.File("broken.json"), &error));
  EXPECT_EQ(error.rfind(folder.File("broken.json") + ": not valid JSON (", 0), 0u) << error;
  testing_support::WriteFile(folder.File("typo.json"), R"({"identiy": {}})");
  EXPECT_FALSE(LoadUnitFile(folder.File("typo.json"), &error));
  EXPECT_EQ(error, folder.File("typo.json") + ": identiy: unknown key");
  EXPECT_FALSE(LoadUnitFile(folder.File("missing.json"), &error));
  EXPECT_EQ(error, folder.File("missing.json") + ": cannot be opened");
  testing_support::WriteFile(folder.File("front.json"), "{}");
  auto config = LoadUnitFile(folder.File("front.json"), &error);
  ASSERT_TRUE(config);
  EXPECT_EQ(config->name, "front");
}

TEST(SimUnitConfig, ExampleUnitsLoadAndMatchTheirModels) {
  const auto folder = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "examples" / "units";
  size_t loaded = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::string error;
    auto config = LoadUnitFile(entry.path(), &error);
    ASSERT_TRUE(config) << error;
    ++loaded;
  }
  EXPECT_GE(loaded, 1u);
  std::string error;
  auto wr = LoadUnitFile(folder / "wr-series.json", &error);
  ASSERT_TRUE(wr) << error;
  EXPECT_EQ(wr->vendor_id, 0x17B9);
  EXPECT_EQ(wr->product_id, 0x4000);
  EXPECT_EQ(wr->boot_header, testing_support::BootHeaderText("FW41581", "01", "03"));
  EXPECT_EQ(wr->fx3_firmware, testing_support::WrUnitConfig().fx3_firmware);
}

TEST(SimUnitConfig, EveryExampleInTheUnitFileGuideLoads) {
  const auto guide =
      std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "docs" / "sim-units.md";
  const std::string text = testing_support::ReadFile(guide.string());
  size_t examples = 0;
  for (size_t start = text.find("```json\n"); start != std::string::npos && examples < 100;
       start = text.find("```json\n", start + 1)) {
    const size_t body = start + 8;
    const size_t end = text.find("```", body);
    ASSERT_NE(end, std::string::npos);
    ++examples;
    EXPECT_NO_THROW(ParseUnitConfig(json::parse(text.substr(body, end - body)), "example"))
        << text.substr(body, end - body);
  }
  EXPECT_EQ(examples, 6u);
}

}  // namespace
}  // namespace sim
