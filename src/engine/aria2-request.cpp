#include "engine/aria2-request.h"

#include <algorithm>
#include <iterator>
#include <nlohmann/json.hpp>

namespace korvath {
namespace {

using Json = nlohmann::ordered_json;

// nlohmann's own writer refuses texts that are not UTF-8, and task links and
// cookies arrive in system text; aria2 gets them in those bytes, as before.
void Write(const Json& value, std::string& out) {
  switch (value.type()) {
    case Json::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, member] : value.items()) {
        if (!first) out += ',';
        first = false;
        out += '"';
        out += JsonStringContent(key);
        out += "\":";
        Write(member, out);
      }
      out += '}';
      return;
    }
    case Json::value_t::array: {
      out += '[';
      bool first = true;
      for (const Json& element : value) {
        if (!first) out += ',';
        first = false;
        Write(element, out);
      }
      out += ']';
      return;
    }
    case Json::value_t::string:
      out += '"';
      out += JsonStringContent(value.get_ref<const std::string&>());
      out += '"';
      return;
    default:
      // Numbers, switches and null: ASCII, which nlohmann writes exactly.
      out += value.dump();
      return;
  }
}

}  // namespace

struct Aria2Request::Parts {
  Aria2Method method;
  Json params = Json::array();
};

Aria2Options& Aria2Options::Set(std::string_view name, std::string_view value) {
  entries_.emplace_back(name, value);
  return *this;
}

Aria2Options& Aria2Options::Set(std::string_view name, std::int64_t value) {
  return Set(name, std::string_view(ToText(value)));
}

Aria2Options& Aria2Options::SetSwitch(std::string_view name, bool on) {
  return Set(name, on ? std::string_view("true") : std::string_view("false"));
}

Aria2Request::Aria2Request(const Aria2Method& method, std::string_view secret)
    : parts_(std::make_unique<Parts>(Parts{.method = method})) {
  parts_->params.push_back("token:" + std::string(secret));
}

Aria2Request::~Aria2Request() = default;
Aria2Request::Aria2Request(Aria2Request&&) noexcept = default;
Aria2Request& Aria2Request::operator=(Aria2Request&&) noexcept = default;

Aria2Request& Aria2Request::AddText(std::string_view text) {
  parts_->params.push_back(std::string(text));
  return *this;
}

Aria2Request& Aria2Request::AddNumber(std::int64_t number) {
  parts_->params.push_back(number);
  return *this;
}

Aria2Request& Aria2Request::AddTexts(const std::vector<Text>& texts) {
  Json array = Json::array();
  for (const Text& text : texts) array.push_back(std::string(text));
  parts_->params.push_back(std::move(array));
  return *this;
}

Aria2Request& Aria2Request::AddTexts(const std::vector<std::string>& texts) {
  Json array = Json::array();
  for (const std::string& text : texts) array.push_back(text);
  parts_->params.push_back(std::move(array));
  return *this;
}

Aria2Request& Aria2Request::AddOptions(const Aria2Options& options) {
  Json object = Json::object();
  // A name set twice keeps its first place and its last value.
  for (const auto& [name, value] : options.Entries()) object[name] = value;
  parts_->params.push_back(std::move(object));
  return *this;
}

std::string Aria2Request::Body() const {
  Json envelope = Json::object();
  if (parts_->method.id_first) envelope["id"] = 1;
  envelope["jsonrpc"] = "2.0";
  envelope["method"] = std::string(parts_->method.name);
  if (!parts_->method.id_first) envelope["id"] = 1;
  envelope["params"] = parts_->params;
  std::string body;
  Write(envelope, body);
  return body;
}

std::string JsonStringContent(std::string_view value) {
  static constexpr char kHex[] = "0123456789abcdef";
  static constexpr std::pair<char, std::string_view> kShortForms[] = {
      {'"', "\\\""}, {'\\', "\\\\"}, {'\b', "\\b"}, {'\f', "\\f"},
      {'\n', "\\n"}, {'\r', "\\r"},  {'\t', "\\t"}};
  std::string out;
  out.reserve(value.size() + 8);
  for (char c : value) {
    auto shorter = std::find_if(std::begin(kShortForms), std::end(kShortForms),
                                [c](const auto& form) { return form.first == c; });
    unsigned char byte = static_cast<unsigned char>(c);
    if (shorter != std::end(kShortForms)) {
      out += shorter->second;
    } else if (byte < 0x20) {
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace korvath
