#include "tools/kelmix/dump.h"

#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>

namespace kx::cli {

namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kFormat = "kelmix-dump";
constexpr int kVersion = 1;

Bytes bytes_of_units(const WStr& units) {
  Bytes out(units.size() * 2);
  if (!out.empty()) std::memcpy(out.data(), units.data(), out.size());  // data() may be null
  return out;
}

template <class T>
Bytes bytes_of(T v) {
  Bytes out(sizeof v);
  std::memcpy(out.data(), &v, sizeof v);
  return out;
}

Json value_to_json(const NamedValue& nv) {
  Json j;
  if (is_valid_utf16(nv.name)) {
    j["name"] = narrow(nv.name);
  } else {
    j["name_utf16le"] = hex(bytes_of_units(nv.name));
  }
  const RawValue& v = nv.value;
  switch (classify(v)) {
    case Kind::kInt:
      j["type"] = "int";
      j["value"] = int_of(v);
      break;
    case Kind::kDouble: {
      uint64_t bits = bits_of(v);
      j["type"] = "double";
      j["value"] = double_of(v);  // null when not finite
      uint8_t big_endian[8];
      for (int i = 0; i < 8; ++i) big_endian[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
      j["bits"] = hex(big_endian, 8);
      break;
    }
    case Kind::kString:
      j["type"] = "string";
      j["value"] = narrow(text_of(v));
      break;
    case Kind::kRaw:
      j["type"] = "raw";
      j["reg_type"] = v.type;
      j["hex"] = hex(v.bytes);
      break;
  }
  return j;
}

// One entry of "values"; false with the reason when it is not one we write.
bool value_from_json(const Json& j, NamedValue* out, std::string* error) {
  if (!j.is_object()) return *error = "is not an object", false;
  if (j.contains("name") && j["name"].is_string()) {
    std::optional<WStr> name = widen(j["name"].get<std::string>());
    if (!name) return *error = "has a name that is not UTF-8", false;
    out->name = *name;
  } else if (j.contains("name_utf16le") && j["name_utf16le"].is_string()) {
    std::optional<Bytes> b = unhex(j["name_utf16le"].get<std::string>());
    if (!b || b->size() % 2) return *error = "has a malformed name_utf16le", false;
    out->name.assign(b->size() / 2, 0);
    std::memcpy(out->name.data(), b->data(), b->size());
  } else {
    return *error = "has no name", false;
  }
  if (auto why = name_refusal(out->name, kMaxValueNameUnits)) {
    return *error = "has a name " + *why, false;
  }
  if (!j.contains("type") || !j["type"].is_string()) return *error = "has no type", false;
  std::string type = j["type"].get<std::string>();
  const Json* value = j.contains("value") ? &j["value"] : nullptr;
  RawValue& v = out->value;
  if (type == "int") {
    if (!value || !value->is_number_integer()) return *error = "has no integer value", false;
    int64_t n = value->get<int64_t>();
    if (value->is_number_unsigned() && value->get<uint64_t>() > INT32_MAX) n = INT64_MAX;
    if (n < INT32_MIN || n > INT32_MAX) return *error = "has an integer beyond 32 bits", false;
    v.type = kRegDword;
    v.bytes = bytes_of(static_cast<int32_t>(n));
  } else if (type == "double") {
    v.type = kRegBinary;
    if (j.contains("bits")) {
      std::optional<Bytes> b =
          j["bits"].is_string() ? unhex(j["bits"].get<std::string>()) : std::nullopt;
      if (!b || b->size() != 8) return *error = "has bits that are not 16 hex digits", false;
      uint64_t bits = 0;
      for (uint8_t byte : *b) bits = bits << 8 | byte;
      v.bytes = bytes_of(bits);
    } else if (value && value->is_number()) {
      v.bytes = bytes_of(value->get<double>());
    } else {
      return *error = "has neither bits nor a number", false;
    }
  } else if (type == "string") {
    if (!value || !value->is_string()) return *error = "has no text value", false;
    std::optional<WStr> text = widen(value->get<std::string>());
    if (!text) return *error = "has text that is not UTF-8", false;
    // KXString would end it there; "raw" keeps such text.
    if (text->find(tchar(0)) != WStr::npos) {
      return *error = "has text with a zero unit (U+0000) inside", false;
    }
    v.type = kRegSz;
    v.bytes = bytes_of_units(*text + tchar(0));
  } else if (type == "raw") {
    if (!j.contains("reg_type") || !j["reg_type"].is_number_unsigned() ||
        j["reg_type"].get<uint64_t>() > std::numeric_limits<uint32_t>::max()) {
      return *error = "has no reg_type", false;
    }
    std::optional<Bytes> b = j.contains("hex") && j["hex"].is_string()
                                 ? unhex(j["hex"].get<std::string>())
                                 : std::nullopt;
    if (!b) return *error = "has no hex bytes", false;
    v.type = j["reg_type"].get<uint32_t>();
    v.bytes = *b;
  } else {
    return *error = "has an unknown type \"" + type + "\"", false;
  }
  return true;
}

}  // namespace

std::string to_json(const WStr& store, const std::vector<NamedValue>& values) {
  Json doc;
  doc["format"] = kFormat;
  doc["version"] = kVersion;
  doc["store"] = narrow(store);
  doc["values"] = Json::array();
  for (const NamedValue& nv : values) doc["values"].push_back(value_to_json(nv));
  return doc.dump(2) + "\n";
}

bool from_json(const std::string& text, std::vector<NamedValue>* out, std::string* error) {
  Json doc = Json::parse(text, nullptr, false);
  if (doc.is_discarded()) return *error = "not JSON", false;
  if (!doc.is_object() || !doc.contains("values") || !doc["values"].is_array()) {
    return *error = "no \"values\" array", false;
  }
  if (doc.contains("format") && doc["format"] != kFormat)
    return *error = "not a kelmix dump", false;
  if (doc.contains("version") && doc["version"] != kVersion) {
    return *error = "a dump version this tool does not know", false;
  }
  std::size_t index = 0;
  for (const Json& j : doc["values"]) {
    NamedValue nv;
    std::string why;
    if (!value_from_json(j, &nv, &why)) {
      *error = "value " + std::to_string(index) + " " + why;
      return false;
    }
    out->push_back(std::move(nv));
    ++index;
  }
  return true;
}

}  // namespace kx::cli
