#include "sim/unit_config.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <limits>
#include <set>
#include <stdexcept>

#include "platform/usb.h"
#include "sim/flash.h"
#include "sim/json_reader.h"
#include "sim/wire.h"

namespace sim {
namespace {

using nlohmann::json;

std::string Hex4(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value);
  return text;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

FaultTrigger ParseTrigger(const json& value, const std::string& where) {
  ObjectReader reader(value, where);
  FaultTrigger trigger;
  reader.Unsigned("from_request", trigger.from_request);
  reader.Unsigned("count", trigger.count);
  reader.Finish();
  if (trigger.from_request == 0) throw std::invalid_argument(where + ".from_request: requests count from 1");
  return trigger;
}

// A trigger object that may carry further keys of its own fault.
FaultTrigger ParseTriggerIn(ObjectReader& reader, const std::string& where) {
  FaultTrigger trigger;
  reader.Unsigned("from_request", trigger.from_request);
  reader.Unsigned("count", trigger.count);
  if (trigger.from_request == 0) throw std::invalid_argument(where + ".from_request: requests count from 1");
  return trigger;
}

std::vector<uint8_t> ParseHexField(const json& value, const std::string& where) {
  if (!value.is_string()) throw std::invalid_argument(where + ": expected a hex string");
  auto bytes = FromHex(value.get<std::string>());
  if (!bytes) throw std::invalid_argument(where + ": not a hex string");
  return *bytes;
}

Faults ParseFaults(const json& value) {
  ObjectReader reader(value, "faults");
  Faults faults;
  reader.Unsigned("unanswered_first_read", faults.unanswered_first_read);
  if (const json* silence = reader.Find("silence")) faults.silence = ParseTrigger(*silence, "faults.silence");
  if (const json* echo = reader.Find("wrong_echo")) {
    ObjectReader fault(*echo, "faults.wrong_echo");
    WrongEchoFault parsed;
    parsed.when = ParseTriggerIn(fault, "faults.wrong_echo");
    if (fault.Find("command")) {
      uint8_t command = 0;
      fault.Unsigned("command", command);
      parsed.command = command;
    }
    fault.Finish();
    faults.wrong_echo = parsed;
  }
  if (const json* oversize = reader.Find("oversize")) {
    ObjectReader fault(*oversize, "faults.oversize");
    OversizeFault parsed;
    parsed.when = ParseTriggerIn(fault, "faults.oversize");
    fault.Unsigned("body_bytes", parsed.body_bytes, kLargestReplyBody);
    fault.Finish();
    faults.oversize = parsed;
  }
  if (const json* disconnect = reader.Find("disconnect")) {
    ObjectReader fault(*disconnect, "faults.disconnect");
    DisconnectFault parsed;
    fault.Unsigned("at_request", parsed.at_request);
    if (const json* back = fault.Find("return_after_ms"); back && !back->is_null()) {
      parsed.return_after_ms =
          static_cast<uint32_t>(ObjectReader::ParseUnsigned(*back, "faults.disconnect.return_after_ms", INT32_MAX));
    }
    fault.Finish();
    if (parsed.at_request == 0) throw std::invalid_argument("faults.disconnect.at_request: requests count from 1");
    faults.disconnect = parsed;
  }
  if (const json* stuck = reader.Find("stuck_write")) faults.stuck_write = ParseTrigger(*stuck, "faults.stuck_write");
  if (const json* short_write = reader.Find("short_write")) {
    ObjectReader fault(*short_write, "faults.short_write");
    ShortWriteFault parsed;
    parsed.when = ParseTriggerIn(fault, "faults.short_write");
    fault.Unsigned("bytes", parsed.bytes);
    fault.Finish();
    faults.short_write = parsed;
  }
  if (const json* slow_write = reader.Find("slow_write")) {
    ObjectReader fault(*slow_write, "faults.slow_write");
    SlowWriteFault parsed;
    parsed.when = ParseTriggerIn(fault, "faults.slow_write");
    fault.Unsigned("after_ms", parsed.after_ms, INT32_MAX);
    fault.Finish();
    faults.slow_write = parsed;
  }
  if (const json* halted = reader.Find("halted_endpoints")) {
    if (!halted->is_array()) throw std::invalid_argument("faults.halted_endpoints: expected an array");
    for (const json& endpoint : *halted) {
      faults.halted_endpoints.push_back(
          static_cast<uint8_t>(ObjectReader::ParseUnsigned(endpoint, "faults.halted_endpoints", 0xFF)));
    }
  }
  if (const json* scripted = reader.Find("scripted_replies")) {
    if (!scripted->is_array()) throw std::invalid_argument("faults.scripted_replies: expected an array");
    for (const json& entry : *scripted) {
      ObjectReader item(entry, "faults.scripted_replies[]");
      uint32_t request = 0;
      item.Unsigned("request", request);
      if (request == 0) throw std::invalid_argument("faults.scripted_replies[].request: requests count from 1");
      ScriptedReply reply;
      if (const json* chunks = item.Find("chunks")) {
        if (!chunks->is_array()) throw std::invalid_argument("faults.scripted_replies[].chunks: expected an array");
        for (const json& chunk : *chunks)
          reply.chunks.push_back(ParseHexField(chunk, "faults.scripted_replies[].chunks"));
      }
      item.Finish();
      faults.scripted_replies[request] = std::move(reply);
    }
  }
  reader.Finish();
  return faults;
}

const std::set<std::string>& StringKeys() {
  static const std::set<std::string> keys = {"firmware_name", "sh4_firmware_name",  "serial_string",
                                             "fx3_firmware",  "application_header", "boot_header"};
  return keys;
}

void CheckSerial(const std::string& serial) {
  if (serial.empty()) throw std::invalid_argument("usb.serial: must not be empty");
  for (char c : serial) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '&' && c != '_' && c != '.' && c != '-') {
      throw std::invalid_argument("usb.serial: \"" + serial + "\" may hold letters, digits and & _ . - only");
    }
  }
}

}  // namespace

bool FaultTrigger::Matches(uint64_t request_number) const {
  if (request_number < from_request) return false;
  return count == 0 || request_number < uint64_t{from_request} + count;
}

std::string UnitConfig::InstanceId() const {
  if (IsComposite()) return "USB\\VID_" + Hex4(vendor_id) + "&PID_0064&MI_00\\6&" + Lower(serial) + "&0&0000";
  return "USB\\VID_" + Hex4(vendor_id) + "&PID_" + Hex4(product_id) + "\\" + serial;
}

std::string UnitConfig::ParentId() const {
  if (!parent_id.empty()) return parent_id;
  if (IsComposite()) return "USB\\VID_" + Hex4(vendor_id) + "&PID_0064\\" + serial;
  return "USB\\ROOT_HUB30\\4&1F2E3D4C&0&0";
}

std::string UnitConfig::DevicePath() const {
  std::string id = InstanceId();
  for (char& c : id) {
    if (c == '\\') c = '#';
  }
  const char* guid =
      interface == UnitInterface::kReader ? platform::usb::kReaderClassGuid : platform::usb::kStillImageClassGuid;
  return "\\\\?\\" + Lower(id) + "#" + guid;
}

std::vector<std::string> UnitConfig::HardwareIds() const {
  if (!hardware_ids.empty()) return hardware_ids;
  std::string base = "USB\\VID_" + Hex4(vendor_id) + "&PID_" + Hex4(product_id);
  if (IsComposite()) return {base + "&REV_0001&MI_00", base + "&MI_00"};
  return {base + "&REV_0001", base};
}

UnitConfig ParseUnitConfig(const nlohmann::json& document, const std::string& name) {
  UnitConfig config;
  config.name = name;
  ObjectReader top(document, "");

  if (const json* usb = top.Find("usb")) {
    ObjectReader reader(*usb, "usb");
    reader.Unsigned("vendor_id", config.vendor_id);
    reader.Unsigned("product_id", config.product_id);
    reader.Text("serial", config.serial);
    std::string interface = "reader";
    reader.Text("interface", interface);
    if (interface == "reader") {
      config.interface = UnitInterface::kReader;
    } else if (interface == "still_image") {
      config.interface = UnitInterface::kStillImage;
    } else {
      throw std::invalid_argument("usb.interface: \"" + interface + "\" is neither \"reader\" nor \"still_image\"");
    }
    reader.Text("description", config.description);
    reader.Bool("disabled", config.disabled);
    if (const json* ids = reader.Find("hardware_ids")) {
      if (!ids->is_array()) throw std::invalid_argument("usb.hardware_ids: expected an array of strings");
      for (const json& id : *ids) {
        if (!id.is_string()) throw std::invalid_argument("usb.hardware_ids: expected an array of strings");
        config.hardware_ids.push_back(id.get<std::string>());
      }
    }
    reader.Text("parent_id", config.parent_id);
    reader.Unsigned("in_pipe", config.in_pipe);
    reader.Unsigned("out_pipe", config.out_pipe);
    reader.Unsigned("max_packet_size", config.max_packet_size);
    reader.Unsigned("max_transfer_size", config.max_transfer_size);
    reader.Finish();
    CheckSerial(config.serial);
    if (!(config.in_pipe & 0x80) || (config.out_pipe & 0x80)) {
      throw std::invalid_argument("usb.in_pipe/out_pipe: IN pipe ids carry bit 0x80, OUT pipe ids do not");
    }
    if (config.max_packet_size == 0) throw std::invalid_argument("usb.max_packet_size: must not be 0");
  }

  if (const json* identity = top.Find("identity")) {
    ObjectReader reader(*identity, "identity");
    reader.Text("firmware_name", config.firmware_name);
    reader.Signed("firmware_name_status", config.firmware_name_status);
    reader.OptionalText("sh4_firmware_name", config.sh4_firmware_name);
    reader.OptionalText("serial_string", config.serial_string);
    reader.OptionalText("fx3_firmware", config.fx3_firmware);
    reader.OptionalText("application_header", config.application_header);
    reader.OptionalText("boot_header", config.boot_header);
    if (const json* version = reader.Find("api_version")) {
      if (version->is_null()) {
        config.api_version.reset();
      } else {
        config.api_version =
            static_cast<uint16_t>(ObjectReader::ParseUnsigned(*version, "identity.api_version", 0xFFFF));
      }
    }
    reader.Unsigned("status_word", config.status_word);
    reader.Unsigned("non_sticky_bits", config.non_sticky_bits);
    if (const json* services = reader.Find("unknown_services")) {
      if (!services->is_array()) throw std::invalid_argument("identity.unknown_services: expected an array");
      for (const json& service : *services) {
        config.unknown_services.push_back(
            static_cast<uint32_t>(ObjectReader::ParseUnsigned(service, "identity.unknown_services", 0xFF)));
      }
    }
    if (const json* commands = reader.Find("unknown_commands")) {
      if (!commands->is_array()) throw std::invalid_argument("identity.unknown_commands: expected an array");
      for (const json& command : *commands) {
        config.unknown_commands.push_back(
            static_cast<uint8_t>(ObjectReader::ParseUnsigned(command, "identity.unknown_commands", 0xFF)));
      }
    }
    reader.Finish();
  }

  if (const json* boot = top.Find("soft_boot")) {
    ObjectReader reader(*boot, "soft_boot");
    reader.Unsigned("reenumerate_after_ms", config.reenumerate_after_ms, INT32_MAX);
    if (const json* product = reader.Find("boot_loader_product_id"); product && !product->is_null()) {
      config.boot_loader_product_id =
          static_cast<uint16_t>(ObjectReader::ParseUnsigned(*product, "soft_boot.boot_loader_product_id", 0xFFFF));
    }
    reader.Finish();
  }

  top.Unsigned("fx3_boot_memory_bytes", config.fx3_boot_memory_bytes, 0x1000000);
  std::string crossing = "linear";
  top.Text("fx3_line_crossing", crossing);
  if (crossing == "linear") {
    config.fx3_line_crossing = Fx3LineCrossing::kLinear;
  } else if (crossing == "wrap") {
    config.fx3_line_crossing = Fx3LineCrossing::kWrap;
  } else if (crossing == "refuse") {
    config.fx3_line_crossing = Fx3LineCrossing::kRefuse;
  } else {
    throw std::invalid_argument("fx3_line_crossing: \"" + crossing + "\" is none of \"linear\", \"wrap\", \"refuse\"");
  }

  if (const json* updates = top.Find("updates")) {
    if (!updates->is_array()) throw std::invalid_argument("updates: expected an array");
    for (const json& entry : *updates) {
      ObjectReader reader(entry, "updates[]");
      UpdateRule rule;
      reader.Text("file", rule.file);
      if (const json* strings = reader.Find("set")) {
        ObjectReader set(*strings, "updates[].set");
        for (const std::string& key : StringKeys()) {
          if (const json* text = set.Find(key)) {
            if (!text->is_string()) throw std::invalid_argument("updates[].set." + key + ": expected a string");
            rule.strings[key] = text->get<std::string>();
          }
        }
        set.Finish();
      }
      reader.Finish();
      if (rule.file.empty()) throw std::invalid_argument("updates[].file: must name a file");
      config.updates.push_back(std::move(rule));
    }
  }

  if (const json* faults = top.Find("faults")) config.faults = ParseFaults(*faults);
  if (const json* flash = top.Find("flash")) {
    ParseFlashSettings(*flash);  // the flash model reads it again; a mistake fails the unit file here
    config.flash = *flash;
  }
  top.Find("comment");  // free text for the file's reader
  top.Finish();
  return config;
}

std::optional<UnitConfig> LoadUnitFile(const std::filesystem::path& path, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    if (error) *error = path.string() + ": cannot be opened";
    return std::nullopt;
  }
  try {
    nlohmann::json json = nlohmann::json::parse(in);
    return ParseUnitConfig(json, path.stem().string());
  } catch (const nlohmann::json::parse_error& failure) {
    if (error) *error = path.string() + ": not valid JSON (" + failure.what() + ")";
  } catch (const std::exception& failure) {
    if (error) *error = path.string() + ": " + failure.what();
  }
  return std::nullopt;
}

std::optional<std::vector<uint8_t>> FromHex(const std::string& text) {
  std::vector<uint8_t> bytes;
  int high = -1;
  for (char c : text) {
    if (c == ' ') continue;  // "01 02 03" reads better in a unit file
    int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                : (c >= 'a' && c <= 'f')                    ? c - 'a' + 10
                : (c >= 'A' && c <= 'F')                    ? c - 'A' + 10
                                                            : -1;
    if (digit < 0) return std::nullopt;
    if (high < 0) {
      high = digit;
    } else {
      bytes.push_back(static_cast<uint8_t>(high << 4 | digit));
      high = -1;
    }
  }
  if (high >= 0) return std::nullopt;
  return bytes;
}

}  // namespace sim
