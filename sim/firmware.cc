#include "sim/firmware.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "sim/flash.h"

namespace sim {
namespace {

namespace fs = std::filesystem;

// Widths of the string fields the firmware answers with. The host reads at
// most 30 characters of an information string and 14 of the SH4 name; the
// fields are wider so that a 30-character name still ends in NULs, and a
// configured string longer than the field is sent whole (the field grows).
constexpr size_t kInformationField = 32;
constexpr size_t kSh4NameField = 20;
constexpr size_t kLargestHeaderReply = 2044;

constexpr const char* kStateFile = "state.json";
constexpr const char* kFilesFolder = "files";
constexpr const char* kImageFile = "image.bin";
constexpr const char* kFx3MemoryFile = "fx3-boot-memory.bin";

std::vector<uint8_t> StatusOnly(int32_t status) {
  std::vector<uint8_t> body;
  PutU32(body, 0, static_cast<uint32_t>(status));
  return body;
}

bool Contains(const auto& values, auto value) { return std::find(values.begin(), values.end(), value) != values.end(); }

std::optional<std::vector<uint8_t>> ReadWholeFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteWholeFile(const fs::path& path, std::span<const uint8_t> bytes) {
  std::error_code ignored;
  fs::create_directories(path.parent_path(), ignored);
  fs::path temporary = path;
  temporary += ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) return false;
  }
  // A crash mid-save leaves the previous state, not half of the new one.
  std::error_code error;
  fs::rename(temporary, path, error);
  return !error;
}

std::string StoredPath(const std::string& name) {
  return name.empty() ? std::string(kImageFile) : std::string(kFilesFolder) + "/" + EncodeStoredName(name);
}

const std::vector<std::string>& StringKeys() {
  static const std::vector<std::string> keys = {"firmware_name", "sh4_firmware_name",  "serial_string",
                                                "fx3_firmware",  "application_header", "boot_header"};
  return keys;
}

}  // namespace

std::string EncodeStoredName(const std::string& name) {
  std::string encoded;
  for (unsigned char c : name) {
    if (std::isalnum(c) || c == '.' || c == '_' || c == '-') {
      encoded.push_back(static_cast<char>(c));
    } else {
      char escape[4];
      std::snprintf(escape, sizeof escape, "%%%02X", c);
      encoded += escape;
    }
  }
  // "." and ".." are names a host may send but not file names.
  if (encoded == "." || encoded == "..") encoded = encoded == "." ? "%2E" : "%2E%2E";
  return encoded;
}

std::string DecodeStoredName(const std::string& encoded) {
  std::string name;
  for (size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] == '%' && i + 2 < encoded.size()) {
      auto byte = FromHex(encoded.substr(i + 1, 2));
      if (byte && byte->size() == 1) {
        name.push_back(static_cast<char>((*byte)[0]));
        i += 2;
        continue;
      }
    }
    name.push_back(encoded[i]);
  }
  return name;
}

ReaderFirmware::ReaderFirmware(const UnitConfig& config, std::filesystem::path state_dir)
    : config_(config), state_dir_(std::move(state_dir)), status_word_(config.status_word) {
  strings_["firmware_name"] = config.firmware_name;
  strings_["sh4_firmware_name"] = config.sh4_firmware_name;
  strings_["serial_string"] = config.serial_string.value_or(config.serial);
  strings_["fx3_firmware"] = config.fx3_firmware;
  strings_["application_header"] = config.application_header;
  strings_["boot_header"] = config.boot_header;
  fx3_memory_.assign(config.fx3_boot_memory_bytes, 0xFF);
  const bool digests_kept = Load();
  handlers_.push_back(MakeFlashModel(config.flash, state_dir_.empty() ? fs::path() : state_dir_ / "flash"));
  flash_ = dynamic_cast<FlashModel*>(handlers_.back().get());
  // The flash as the unit first finds it is the baseline of its update rules;
  // kept at once, so that a process ending before any restart does not move it.
  if (!digests_kept) {
    flash_digests_ = FlashFileDigests();
    state_dirty_ = true;
    Save();
  }
}

ReaderFirmware::~ReaderFirmware() {
  Save();
  for (auto& handler : handlers_) handler->Save();
}

void ReaderFirmware::AddHandler(std::unique_ptr<RequestHandler> handler) {
  handlers_.insert(handlers_.begin(), std::move(handler));
}

FirmwareReply ReaderFirmware::Handle(const Request& request) {
  FirmwareReply reply;
  const bool service_unknown = request.command == kCommandService && !request.body.empty() &&
                               Contains(config_.unknown_services, uint32_t{request.body[0]});
  if (Contains(config_.unknown_commands, request.command) || service_unknown) {
    reply.body = StatusOnly(kStatusUnknownRequest);
    return reply;
  }
  for (auto& handler : handlers_) {
    if (auto body = handler->Handle(request.command, request.body)) {
      handler->Save();
      // A raw sector written is part of a flash image restored sector by sector.
      if (request.command == kCommandSectors && !request.body.empty() && request.body[0] == kSubRawWrite &&
          body->size() >= 2 && ReadU16(*body, 0) == 0 && received_since_restart_.insert("").second) {
        state_dirty_ = true;
        Save();
      }
      reply.body = std::move(*body);
      return reply;
    }
  }
  switch (request.command) {
    case kCommandService: reply.body = ServiceRequest(request); break;
    case kCommandApiVersion: reply.body = ApiVersion(); break;
    case kCommandSoftBoot:
      PutU16(reply.body, 0, 0);
      reply.soft_boot = true;
      break;
    case kCommandSh4FirmwareName: reply.body = Sh4FirmwareName(); break;
    default: reply.body = StatusOnly(kStatusUnknownRequest); break;
  }
  Save();
  return reply;
}

std::vector<uint8_t> ReaderFirmware::ServiceRequest(const Request& request) {
  // The first request byte selects the service: some services carry their
  // code as a uint32, others as a byte followed by parameters.
  if (request.body.empty()) return StatusOnly(kStatusUnknownRequest);
  const uint8_t service = request.body[0];
  switch (service) {
    case kServiceStatusWord: return StatusWord(request.body);
    case kServiceFirmwareName:
    case kServiceSerialString:
    case kServiceFx3Firmware: return InformationString(service);
    case kServiceApplicationHeader:
    case kServiceBootHeader: return HeaderString(service);
    case kServiceFilePacket: return FilePacket(request.body);
    case kServiceFx3BootLine: return Fx3BootLine(request.body);
    default: return StatusOnly(kStatusUnknownRequest);
  }
}

std::vector<uint8_t> ReaderFirmware::StatusWord(std::span<const uint8_t> body) {
  const uint32_t mask = ReadU32(body, 4);
  const uint32_t word = status_word_ | (mask & ~config_.non_sticky_bits);
  if (word != status_word_) {
    status_word_ = word;
    status_word_changed_ = true;
    state_dirty_ = true;
  }
  std::vector<uint8_t> reply;
  PutU32(reply, 0, kStatusOk);
  PutU32(reply, 4, status_word_);
  return reply;
}

std::vector<uint8_t> ReaderFirmware::InformationString(uint8_t service) {
  std::optional<std::string> text;
  if (service == kServiceFirmwareName) {
    if (config_.firmware_name_status != 0) {
      std::vector<uint8_t> reply = StatusOnly(config_.firmware_name_status);
      PutU32(reply, 4, 0);
      return reply;
    }
    text = strings_["firmware_name"];
  } else if (service == kServiceSerialString) {
    text = strings_["serial_string"];
  } else {
    text = strings_["fx3_firmware"];
  }
  if (!text) return StatusOnly(kStatusUnknownRequest);
  std::vector<uint8_t> reply;
  PutU32(reply, 0, kStatusOk);
  PutU32(reply, 4, 0);
  PutText(reply, 8, std::max(kInformationField, text->size()), *text);
  return reply;
}

std::vector<uint8_t> ReaderFirmware::HeaderString(uint8_t service) {
  const std::optional<std::string>& text =
      strings_[service == kServiceApplicationHeader ? "application_header" : "boot_header"];
  if (!text) return StatusOnly(kStatusUnknownRequest);
  std::vector<uint8_t> reply;
  PutU32(reply, 0, kStatusOk);
  PutU32(reply, 4, 0);
  // NUL-terminated when it fits; a header that fills the whole reply has none.
  PutText(reply, 8, std::min(text->size() + 1, kLargestHeaderReply - 8), *text);
  return reply;
}

std::vector<uint8_t> ReaderFirmware::ApiVersion() const {
  if (!config_.api_version) return StatusOnly(kStatusUnknownRequest);
  std::vector<uint8_t> reply;
  PutU16(reply, 0, 0);
  PutU16(reply, 2, *config_.api_version);
  return reply;
}

std::vector<uint8_t> ReaderFirmware::Sh4FirmwareName() const {
  const std::optional<std::string>& name = strings_.at("sh4_firmware_name");
  if (!name) return StatusOnly(kStatusUnknownRequest);
  std::vector<uint8_t> reply;
  PutU16(reply, 0, 0);
  PutU16(reply, 2, 0);
  PutText(reply, 4, std::max(kSh4NameField, name->size()), *name);
  return reply;
}

// File packet layout: service code, packet index, data length, packet count,
// and on the final packet file size, kind, name and CRC; data from byte 52.
std::vector<uint8_t> ReaderFirmware::FilePacket(std::span<const uint8_t> body) {
  constexpr size_t kDataOffset = 52;
  int32_t status = kStatusOk;
  const uint32_t index = ReadU32(body, 4);
  const uint32_t length = ReadU32(body, 8);
  const uint32_t count = ReadU32(body, 12);
  if (body.size() < kDataOffset || length > kMaxPacketData || body.size() < kDataOffset + length || count == 0 ||
      index >= count) {
    status = kStatusBadParameter;
    transfer_.reset();
  } else if (index == 0) {
    // A transfer that starts over replaces whatever was left unfinished.
    transfer_ = Transfer{count, 0, {}, {}};
  } else if (!transfer_ || transfer_->next_index != index || transfer_->count != count) {
    status = kStatusNotAccepting;
    transfer_.reset();
  }
  if (status == kStatusOk) {
    std::span<const uint8_t> data = body.subspan(kDataOffset, length);
    if (transfer_->data.size() + data.size() > kMaxTransferredFile) {
      status = kStatusNoSpace;
      transfer_.reset();
    } else {
      transfer_->data.insert(transfer_->data.end(), data.begin(), data.end());
      transfer_->crc.Update(data);
      transfer_->next_index = index + 1;
      if (index + 1 == count) status = FinishTransfer(body);
    }
  }
  std::vector<uint8_t> reply;
  PutU32(reply, 0, static_cast<uint32_t>(status));
  PutU32(reply, 4, transfer_ ? transfer_->next_index : 0);
  return reply;
}

int32_t ReaderFirmware::FinishTransfer(std::span<const uint8_t> body) {
  Transfer transfer = std::move(*transfer_);
  transfer_.reset();
  const uint32_t file_size = ReadU32(body, 16);
  const uint8_t kind = body[20];
  const std::string name = ReadText(body, 21, 27);
  const uint32_t crc = ReadU32(body, 48);
  // Without a CRC the host sends no size, kind or name either: the CRC
  // register then came out 0, which the check below still verifies.
  if (crc != transfer.crc.value()) return kStatusBadParameter;
  if (crc != 0 && file_size != transfer.data.size()) return kStatusBadParameter;
  std::string stored_name;
  if (kind == kFileKindImage) {
    stored_name.clear();
  } else if (kind == kFileKindNamed && !name.empty()) {
    stored_name = name;
  } else if (kind == kFileKindFx3 && name == "fx3.bin") {
    stored_name = name;
  } else {
    return kStatusBadParameter;
  }
  StoredFile& file = files_[stored_name];
  file.kind = kind;
  file.contents = std::move(transfer.data);
  received_since_restart_.insert(stored_name);
  files_dirty_.insert(stored_name);
  state_dirty_ = true;
  return kStatusOk;
}

// FX3 boot-memory line: service byte, chip, 16-bit address, uint32 length,
// data. Chip and address together form one linear address (a line may run
// past the 64 KiB boundary of its chip).
std::vector<uint8_t> ReaderFirmware::Fx3BootLine(std::span<const uint8_t> body) {
  constexpr size_t kDataOffset = 8;
  constexpr size_t kChipBytes = 0x10000;
  const size_t chip_base = size_t{body.size() > 1 ? body[1] : uint8_t{0}} * kChipBytes;
  const size_t address = ReadU16(body, 2);
  const uint32_t length = ReadU32(body, 4);
  if (body.size() < kDataOffset || length > kMaxPacketData || body.size() < kDataOffset + length) {
    return StatusOnly(kStatusBadParameter);
  }
  const bool crosses = address + length > kChipBytes;
  if (crosses && config_.fx3_line_crossing == Fx3LineCrossing::kRefuse) return StatusOnly(kStatusBadParameter);
  const bool wraps = crosses && config_.fx3_line_crossing == Fx3LineCrossing::kWrap;
  // The highest byte the line touches decides whether it fits the memory.
  const size_t end = wraps ? chip_base + kChipBytes : chip_base + address + length;
  if (end > fx3_memory_.size()) return StatusOnly(kStatusNoSpace);
  for (size_t i = 0; i < length; ++i) {
    const size_t offset = wraps ? (address + i) % kChipBytes : address + i;
    fx3_memory_[chip_base + offset] = body[kDataOffset + i];
  }
  fx3_high_water_ = std::max(fx3_high_water_, end);
  fx3_dirty_ = fx3_dirty_ || length > 0;
  return StatusOnly(kStatusOk);
}

void ReaderFirmware::Restart() {
  transfer_.reset();
  std::set<std::string> arrived;
  for (const std::string& name : received_since_restart_) arrived.insert(name.empty() ? kImageRuleFile : name);
  std::map<std::string, std::string> digests = FlashFileDigests();
  for (const auto& [name, digest] : digests) {
    auto before = flash_digests_.find(name);
    if (before == flash_digests_.end() || before->second != digest) arrived.insert(name);
  }
  for (const UpdateRule& rule : config_.updates) {
    if (!arrived.count(rule.file)) continue;
    for (const auto& [key, value] : rule.strings) {
      strings_[key] = value;
      string_overrides_[key] = value;
    }
  }
  // The boot loader runs after a restored image, for one restart only.
  const bool image_restored = received_since_restart_.count("") != 0;
  in_boot_loader_ = config_.boot_loader_product_id.has_value() && !in_boot_loader_ && image_restored;
  flash_digests_ = std::move(digests);
  received_since_restart_.clear();
  state_dirty_ = true;
  Save();
}

uint16_t ReaderFirmware::ProductId() const {
  return in_boot_loader_ ? *config_.boot_loader_product_id : config_.product_id;
}

std::map<std::string, std::string> ReaderFirmware::FlashFileDigests() const {
  std::map<std::string, std::string> digests;
  if (!flash_) return digests;
  for (const auto& [name, contents] : flash_->Files(0)) {
    char crc[12];
    std::snprintf(crc, sizeof crc, "%08X", ComputePacketCrc(contents));
    digests[name] = std::to_string(contents.size()) + ":" + crc;
  }
  return digests;
}

std::optional<std::string> ReaderFirmware::ReportedString(const std::string& key) const {
  auto it = strings_.find(key);
  if (it == strings_.end()) throw std::invalid_argument("no reported string \"" + key + "\"");
  return it->second;
}

void ReaderFirmware::SetReportedString(const std::string& key, std::optional<std::string> value) {
  if (!strings_.count(key)) throw std::invalid_argument("no reported string \"" + key + "\"");
  strings_[key] = value;
  string_overrides_[key] = value;
  state_dirty_ = true;
  Save();
}

void ReaderFirmware::SetStatusWord(uint32_t word) {
  status_word_ = word;
  status_word_changed_ = true;
  state_dirty_ = true;
  Save();
}

std::optional<StoredFile> ReaderFirmware::FileNamed(const std::string& name) const {
  if (name.empty()) return std::nullopt;
  auto it = files_.find(name);
  if (it == files_.end()) return std::nullopt;
  return it->second;
}

std::vector<std::string> ReaderFirmware::FileNames() const {
  std::vector<std::string> names;
  for (const auto& [name, file] : files_) {
    if (!name.empty()) names.push_back(name);
  }
  return names;
}

std::optional<std::vector<uint8_t>> ReaderFirmware::Image() const {
  auto it = files_.find("");
  if (it == files_.end()) return std::nullopt;
  return it->second.contents;
}

void ReaderFirmware::SaveFile(const std::string& name, const StoredFile& file) {
  fs::path path = state_dir_ / StoredPath(name);
  if (!WriteWholeFile(path, file.contents)) {
    std::fprintf(stderr, "sim: %s: cannot write the stored file\n", path.string().c_str());
  }
}

void ReaderFirmware::Save() {
  if (state_dir_.empty()) {
    state_dirty_ = fx3_dirty_ = false;
    files_dirty_.clear();
    return;
  }
  for (const std::string& name : files_dirty_) {
    auto it = files_.find(name);
    if (it != files_.end()) SaveFile(name, it->second);
  }
  files_dirty_.clear();
  if (fx3_dirty_) {
    std::span<const uint8_t> written(fx3_memory_.data(), fx3_high_water_);
    if (!WriteWholeFile(state_dir_ / kFx3MemoryFile, written)) {
      std::fprintf(stderr, "sim: %s: cannot write the FX3 boot memory\n", state_dir_.string().c_str());
    }
    fx3_dirty_ = false;
    state_dirty_ = true;
  }
  if (!state_dirty_) return;
  nlohmann::json state = nlohmann::json::object();
  if (status_word_changed_) state["status_word"] = status_word_;
  nlohmann::json strings = nlohmann::json::object();
  for (const auto& [key, value] : string_overrides_) strings[key] = value ? nlohmann::json(*value) : nlohmann::json();
  state["strings"] = strings;
  nlohmann::json files = nlohmann::json::array();
  for (const auto& [name, file] : files_) {
    files.push_back({{"name", name}, {"kind", file.kind}, {"path", StoredPath(name)}});
  }
  state["files"] = files;
  state["received_since_restart"] = received_since_restart_;
  state["flash_file_digests"] = flash_digests_;
  state["product_id"] = ProductId();
  state["fx3_boot_memory_bytes_written"] = fx3_high_water_;
  std::string text = state.dump(2) + "\n";
  if (!WriteWholeFile(state_dir_ / kStateFile, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()))) {
    std::fprintf(stderr, "sim: %s: cannot write the unit state\n", state_dir_.string().c_str());
  }
  state_dirty_ = false;
}

bool ReaderFirmware::Load() {
  if (state_dir_.empty()) return false;
  auto text = ReadWholeFile(state_dir_ / kStateFile);
  if (!text) return false;  // a unit that has not run yet
  bool digests_kept = false;
  try {
    nlohmann::json state = nlohmann::json::parse(text->begin(), text->end());
    if (state.contains("status_word")) {
      status_word_ = state.at("status_word").get<uint32_t>();
      status_word_changed_ = true;
    }
    const nlohmann::json strings = state.contains("strings") ? state.at("strings") : nlohmann::json::object();
    for (const auto& [key, value] : strings.items()) {
      if (!Contains(StringKeys(), key)) continue;
      std::optional<std::string> text_value;
      if (!value.is_null()) text_value = value.get<std::string>();
      strings_[key] = text_value;
      string_overrides_[key] = text_value;
    }
    const nlohmann::json files = state.contains("files") ? state.at("files") : nlohmann::json::array();
    for (const nlohmann::json& entry : files) {
      const std::string name = entry.at("name").get<std::string>();
      auto contents = ReadWholeFile(state_dir_ / StoredPath(name));
      if (!contents) {
        std::fprintf(stderr, "sim: %s: stored file \"%s\" is missing; dropped\n", state_dir_.string().c_str(),
                     name.c_str());
        continue;
      }
      files_[name] = StoredFile{entry.at("kind").get<uint8_t>(), std::move(*contents)};
    }
    const nlohmann::json received =
        state.contains("received_since_restart") ? state.at("received_since_restart") : nlohmann::json::array();
    for (const nlohmann::json& name : received) {
      received_since_restart_.insert(name.get<std::string>());
    }
    if (auto memory = ReadWholeFile(state_dir_ / kFx3MemoryFile)) {
      size_t kept = std::min(memory->size(), fx3_memory_.size());
      std::copy_n(memory->begin(), kept, fx3_memory_.begin());
      fx3_high_water_ = kept;
    }
    if (state.contains("flash_file_digests")) {
      flash_digests_ = state.at("flash_file_digests").get<std::map<std::string, std::string>>();
      digests_kept = true;
    }
    // A unit whose file no longer names a boot-loader product id is back
    // under its own.
    in_boot_loader_ = state.contains("product_id") && config_.boot_loader_product_id.has_value() &&
                      state.at("product_id").get<uint16_t>() == *config_.boot_loader_product_id;
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "sim: %s: unreadable unit state, starting afresh (%s)\n",
                 (state_dir_ / kStateFile).string().c_str(), failure.what());
  }
  return digests_kept;
}

}  // namespace sim
