// Reading the objects of a unit file with the checks every key gets: the
// expected JSON type, the value's range, and no key that nobody asked for
// (a misspelt key would otherwise silently fall back to its default). Errors
// are std::invalid_argument naming the key by its path ("usb.serial").
#pragma once

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>
#include <string>

namespace sim {

// Walks one JSON object, remembering which keys were read so that the keys
// nobody asked for can be reported as unknown.
class ObjectReader {
 public:
  ObjectReader(const nlohmann::json& object, std::string where) : object_(object), where_(std::move(where)) {
    if (!object_.is_object()) {
      throw std::invalid_argument(where_.empty() ? "the unit must be a JSON object" : where_ + ": expected an object");
    }
  }

  const nlohmann::json* Find(const std::string& key) {
    seen_.insert(key);
    auto it = object_.find(key);
    return it == object_.end() ? nullptr : &*it;
  }

  std::string Where(const std::string& key) const { return where_.empty() ? key : where_ + "." + key; }

  // An unsigned number, given as a JSON number or as a decimal or "0x" hex text.
  template <typename T>
  void Unsigned(const std::string& key, T& out, uint64_t max = std::numeric_limits<T>::max()) {
    const nlohmann::json* value = Find(key);
    if (value) out = static_cast<T>(ParseUnsigned(*value, Where(key), max));
  }

  void Signed(const std::string& key, int32_t& out) {
    const nlohmann::json* value = Find(key);
    if (!value) return;
    if (!value->is_number_integer()) throw std::invalid_argument(Where(key) + ": expected an integer");
    int64_t number = value->get<int64_t>();
    if (number < INT32_MIN || number > UINT32_MAX) throw std::invalid_argument(Where(key) + ": out of range");
    out = static_cast<int32_t>(static_cast<uint32_t>(number));
  }

  // A signed integer in [min, max], given as a JSON number.
  template <typename T>
  void SignedIn(const std::string& key, T& out, int64_t min, int64_t max) {
    const nlohmann::json* value = Find(key);
    if (value) out = static_cast<T>(ParseSigned(*value, Where(key), min, max));
  }

  void Text(const std::string& key, std::string& out) {
    const nlohmann::json* value = Find(key);
    if (!value) return;
    if (!value->is_string()) throw std::invalid_argument(Where(key) + ": expected a string");
    out = value->get<std::string>();
  }

  // A string that may be null (the unit does not know the request).
  void OptionalText(const std::string& key, std::optional<std::string>& out) {
    const nlohmann::json* value = Find(key);
    if (!value) return;
    if (value->is_null()) {
      out.reset();
      return;
    }
    if (!value->is_string()) throw std::invalid_argument(Where(key) + ": expected a string or null");
    out = value->get<std::string>();
  }

  void Bool(const std::string& key, bool& out) {
    const nlohmann::json* value = Find(key);
    if (!value) return;
    if (!value->is_boolean()) throw std::invalid_argument(Where(key) + ": expected true or false");
    out = value->get<bool>();
  }

  void Finish() const {
    for (auto it = object_.begin(); it != object_.end(); ++it) {
      if (!seen_.count(it.key())) throw std::invalid_argument(Where(it.key()) + ": unknown key");
    }
  }

  static uint64_t ParseUnsigned(const nlohmann::json& value, const std::string& where, uint64_t max) {
    uint64_t number = 0;
    if (value.is_number_unsigned() || (value.is_number_integer() && value.get<int64_t>() >= 0)) {
      number = value.get<uint64_t>();
    } else if (value.is_string()) {
      const std::string text = value.get<std::string>();
      size_t used = 0;
      try {
        bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
        number = std::stoull(hex ? text.substr(2) : text, &used, hex ? 16 : 10);
        if (hex) used += 2;
      } catch (const std::exception&) {
        used = 0;
      }
      if (used == 0 || used != text.size()) throw std::invalid_argument(where + ": \"" + text + "\" is not a number");
    } else {
      throw std::invalid_argument(where + ": expected a non-negative number");
    }
    if (number > max) throw std::invalid_argument(where + ": " + std::to_string(number) + " is out of range");
    return number;
  }

  static int64_t ParseSigned(const nlohmann::json& value, const std::string& where, int64_t min, int64_t max) {
    if (!value.is_number_integer()) throw std::invalid_argument(where + ": expected an integer");
    if (value.is_number_unsigned() && value.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) {
      throw std::invalid_argument(where + ": " + value.dump() + " is out of range");
    }
    const int64_t number = value.get<int64_t>();
    if (number < min || number > max) throw std::invalid_argument(where + ": " + value.dump() + " is out of range");
    return number;
  }

 private:
  const nlohmann::json& object_;
  std::string where_;
  std::set<std::string> seen_;
};

}  // namespace sim
