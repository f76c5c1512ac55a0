#include "util/json-object.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvath {

using Json = nlohmann::ordered_json;

struct JsonObject::Document {
  Json root = Json::object();
};

namespace {

// Documents nested deeper than this are refused: copying and writing them
// out recurse, and no reply Korvath reads comes anywhere near it.
constexpr int kMaxDepth = 512;
// How far past its end an index may grow an array (the gap fills with null);
// a stray huge index must not allocate gigabytes.
constexpr std::int64_t kMaxArrayGrowth = 1 << 20;

// ---- paths --------------------------------------------------------------

// One step of a member-access chain: ".name", "[0]" or "['key']".
struct Accessor {
  bool is_index = false;
  std::int64_t index = 0;
  std::string key;  // UTF-8
};
using Accessors = std::vector<Accessor>;

bool IsIdentifierChar(char c, bool first) {
  const auto u = static_cast<unsigned char>(c);
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$' || u >= 0x80) return true;
  return !first && c >= '0' && c <= '9';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// A quoted key inside brackets, with the script language's escapes; the
// position is left after the closing quote.
std::optional<std::string> ParseQuotedKey(std::string_view s, std::size_t& i) {
  const char quote = s[i++];
  std::string key;
  while (i < s.size() && s[i] != quote) {
    char c = s[i++];
    if (c == '\n' || c == '\r') return std::nullopt;
    if (c != '\\') {
      key += c;
      continue;
    }
    if (i >= s.size()) return std::nullopt;
    c = s[i++];
    const std::size_t digits = c == 'x' ? 2 : c == 'u' ? 4 : 0;
    if (digits > 0 && i + digits <= s.size()) {
      std::uint32_t cp = 0;
      bool ok = true;
      for (std::size_t k = 0; k < digits; ++k) {
        const int h = HexValue(s[i + k]);
        ok = ok && h >= 0;
        cp = cp * 16 + static_cast<std::uint32_t>(h < 0 ? 0 : h);
      }
      if (ok) {
        AppendUtf8(key, cp);
        i += digits;
        continue;
      }
    }
    switch (c) {
      case 'n': key += '\n'; break;
      case 'r': key += '\r'; break;
      case 't': key += '\t'; break;
      case 'b': key += '\b'; break;
      case 'f': key += '\f'; break;
      case 'v': key += '\v'; break;
      case '0': key += '\0'; break;
      default: key += c;
    }
  }
  if (i >= s.size()) return std::nullopt;
  ++i;
  return key;
}

// Parses a member-access suffix such as ".files[0].uris['x-y']".
std::optional<Accessors> ParseAccessors(std::string_view s) {
  Accessors out;
  std::size_t i = 0;
  auto skip_blanks = [&] {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  };
  while (i < s.size()) {
    Accessor step;
    if (s[i] == '.') {
      const std::size_t start = ++i;
      while (i < s.size() && IsIdentifierChar(s[i], i == start)) ++i;
      if (i == start) return std::nullopt;
      step.key = std::string(s.substr(start, i - start));
    } else if (s[i] == '[') {
      ++i;
      skip_blanks();
      if (i >= s.size()) return std::nullopt;
      if (s[i] == '\'' || s[i] == '"') {
        auto key = ParseQuotedKey(s, i);
        if (!key) return std::nullopt;
        step.key = std::move(*key);
      } else {
        const std::size_t start = i;
        if (s[i] == '-') ++i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
        const std::string_view number = s.substr(start, i - start);
        if (number.empty() || number == "-") return std::nullopt;
        const auto parsed = std::from_chars(number.data(), number.data() + number.size(), step.index);
        // Negative or enormous numbers name a member no array has.
        step.is_index = parsed.ec == std::errc() && step.index >= 0;
        if (!step.is_index) step.key = std::string(number);
      }
      skip_blanks();
      if (i >= s.size() || s[i] != ']') return std::nullopt;
      ++i;
    } else {
      return std::nullopt;
    }
    out.push_back(std::move(step));
  }
  return out;
}

enum class Join { kDot, kBracketDirect };

// The accessors of root + path. Paths join the root with "." (so "[0]"
// becomes invalid) unless `join` lets a "[" path apply to the root directly;
// an empty path names the root only where `empty_is_root`.
std::optional<Accessors> PathAccessors(std::string_view path, bool empty_is_root, Join join) {
  if (path.empty()) return empty_is_root ? std::optional<Accessors>(Accessors{}) : std::nullopt;
  const std::string utf8 = GbkToUtf8(path);
  if (join == Join::kBracketDirect && !utf8.empty() && utf8.front() == '[') return ParseAccessors(utf8);
  return ParseAccessors("." + utf8);
}

std::optional<std::size_t> ArrayIndex(const Accessor& step) {
  std::int64_t index = step.index;
  if (!step.is_index) {
    // "['3']" reads element 3, as in the script language; "['03']" does not.
    const std::string& k = step.key;
    if (k.empty() || (k.size() > 1 && k[0] == '0')) return std::nullopt;
    const auto parsed = std::from_chars(k.data(), k.data() + k.size(), index);
    if (parsed.ec != std::errc() || parsed.ptr != k.data() + k.size() || index < 0) return std::nullopt;
  }
  return static_cast<std::size_t>(index);
}

std::string ObjectKey(const Accessor& step) { return step.is_index ? std::to_string(step.index) : step.key; }

// The member named by `step`; nullptr when there is none (also on strings,
// numbers and booleans, whose members are not part of the document).
template <typename J>
J* Child(J& base, const Accessor& step) {
  if (base.is_object()) {
    auto it = base.find(ObjectKey(step));
    return it == base.end() ? nullptr : &it.value();
  }
  if (base.is_array()) {
    const auto index = ArrayIndex(step);
    return (index && *index < base.size()) ? &base[*index] : nullptr;
  }
  return nullptr;
}

// Where a path leads: `value` null when it names nothing. `failed` when a
// step reads a member of null or of nothing, which fails the whole operation.
template <typename J>
struct Lookup {
  J* value = nullptr;
  bool failed = false;
};

template <typename J>
Lookup<J> Resolve(J& root, const Accessors& path, std::size_t steps) {
  J* current = &root;
  for (std::size_t i = 0; i < steps; ++i) {
    if (current == nullptr || current->is_null()) return {nullptr, true};
    current = Child(*current, path[i]);
  }
  return {current, false};
}

template <typename J>
Lookup<J> Resolve(J& root, const Accessors& path) {
  return Resolve(root, path, path.size());
}

// Stores `value` at the path. False when the path cannot hold it; a step
// into a string or number quietly stores nothing, as the script language does.
bool Assign(Json& root, const Accessors& path, Json value) {
  if (path.empty()) {
    root = std::move(value);
    return true;
  }
  const Lookup<Json> parent = Resolve(root, path, path.size() - 1);
  if (parent.failed || parent.value == nullptr || parent.value->is_null()) return false;
  Json& base = *parent.value;
  const Accessor& last = path.back();
  if (base.is_object()) {
    base[ObjectKey(last)] = std::move(value);
  } else if (base.is_array()) {
    const auto index = ArrayIndex(last);
    if (!index || *index > base.size() + static_cast<std::size_t>(kMaxArrayGrowth)) return false;
    base[*index] = std::move(value);
  }
  return true;
}

void Remove(Json& root, const Accessors& path) {
  if (path.empty()) return;
  const Lookup<Json> parent = Resolve(root, path, path.size() - 1);
  if (parent.failed || parent.value == nullptr) return;
  Json& base = *parent.value;
  if (base.is_object()) {
    base.erase(ObjectKey(path.back()));
  } else if (base.is_array()) {
    // Deleting an element leaves a hole that reads as null; RemoveMember closes gaps.
    const auto index = ArrayIndex(path.back());
    if (index && *index < base.size()) base[*index] = nullptr;
  }
}

// ---- values -------------------------------------------------------------

bool NestedTooDeep(std::string_view json) {
  int depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (in_string) {
      if (c == '\\') ++i;
      else if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxDepth) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

// The value of JSON text given as system text; nullopt when it does not parse.
std::optional<Json> ParseValue(std::string_view text) {
  const std::string utf8 = GbkToUtf8(text);
  if (NestedTooDeep(utf8)) return std::nullopt;
  Json value = Json::parse(utf8, nullptr, /*allow_exceptions=*/false, /*ignore_comments=*/true);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

// A value given with or without the expression flag.
std::optional<Json> InputValue(std::string_view text, bool expression, bool empty_is_object) {
  if (!expression) return Json(GbkToUtf8(text));
  if (text.empty()) return empty_is_object ? std::optional<Json>(Json::object()) : std::nullopt;
  return ParseValue(text);
}

// A number as the script language writes it: shortest round-trip digits,
// plain notation from 1e-6 up to 1e21, exponent form outside.
std::string ScriptNumber(double v) {
  if (!std::isfinite(v)) return "null";
  if (v == 0) return "0";
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::scientific);
  const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const std::size_t e = text.find('e');
  std::string sign;
  std::string digits;
  for (char c : text.substr(0, e)) {
    if (c == '-') sign = "-";
    else if (c != '.') digits += c;
  }
  const int exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
  const int k = static_cast<int>(digits.size());
  const int n = exponent + 1;
  if (k <= n && n <= 21) return sign + digits + std::string(static_cast<std::size_t>(n - k), '0');
  if (0 < n && n <= 21) return sign + digits.substr(0, n) + "." + digits.substr(n);
  if (-6 < n && n <= 0) return sign + "0." + std::string(static_cast<std::size_t>(-n), '0') + digits;
  std::string out = sign + digits.substr(0, 1);
  if (k > 1) out += "." + digits.substr(1);
  out += (n - 1 >= 0) ? "e+" : "e-";
  out += std::to_string(std::abs(n - 1));
  return out;
}

// Characters the document's writer escapes as \uXXXX besides control characters.
bool EscapedAsUnicode(std::uint32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0xAD || (cp >= 0x600 && cp <= 0x604) || cp == 0x70F ||
         cp == 0x17B4 || cp == 0x17B5 || (cp >= 0x200C && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202F) ||
         (cp >= 0x2060 && cp <= 0x206F) || cp == 0xFEFF || (cp >= 0xFFF0 && cp <= 0xFFFF);
}

void AppendQuoted(std::string& out, const std::string& s) {
  out += '"';
  for (std::size_t i = 0; i < s.size();) {
    const auto lead = static_cast<unsigned char>(s[i]);
    std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (i + length > s.size()) length = 1;
    std::uint32_t cp = length == 1 ? lead : lead & (0xFF >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (EscapedAsUnicode(cp)) {
          static constexpr char kHex[] = "0123456789abcdef";
          out += "\\u";
          for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(cp >> shift) & 0xF];
        } else {
          out.append(s, i, length);
        }
    }
    i += length;
  }
  out += '"';
}

// Compact JSON (UTF-8) as the script engine writes it.
void AppendJson(std::string& out, const Json& v) {
  switch (v.type()) {
    case Json::value_t::boolean: out += v.get<bool>() ? "true" : "false"; return;
    // Whole numbers read from a document keep all their digits.
    case Json::value_t::number_integer: out += std::to_string(v.get<std::int64_t>()); return;
    case Json::value_t::number_unsigned: out += std::to_string(v.get<std::uint64_t>()); return;
    case Json::value_t::number_float: out += ScriptNumber(v.get<double>()); return;
    case Json::value_t::string: AppendQuoted(out, v.get_ref<const std::string&>()); return;
    case Json::value_t::array: {
      out += '[';
      bool first = true;
      for (const Json& item : v) {
        if (!first) out += ',';
        first = false;
        AppendJson(out, item);
      }
      out += ']';
      return;
    }
    case Json::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, item] : v.items()) {
        if (!first) out += ',';
        first = false;
        AppendQuoted(out, key);
        out += ':';
        AppendJson(out, item);
      }
      out += '}';
      return;
    }
    default: out += "null"; return;
  }
}

Text JsonText(const Json& v) {
  std::string out;
  AppendJson(out, v);
  return Utf8ToGbk(out);
}

// The script language's string-to-number rule; NaN when it does not convert.
double StringToNumber(std::string_view s) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double infinity = std::numeric_limits<double>::infinity();
  constexpr std::string_view kBlanks = " \t\n\r\v\f";
  while (!s.empty() && kBlanks.find(s.front()) != std::string_view::npos) s.remove_prefix(1);
  while (!s.empty() && kBlanks.find(s.back()) != std::string_view::npos) s.remove_suffix(1);
  if (s.empty()) return 0;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    double value = 0;
    for (char c : s.substr(2)) {
      const int h = HexValue(c);
      if (h < 0) return nan;
      value = value * 16 + h;
    }
    return value;
  }
  double sign = 1;
  if (s.front() == '+' || s.front() == '-') {
    sign = s.front() == '-' ? -1 : 1;
    s.remove_prefix(1);
  }
  if (s == "Infinity") return sign * infinity;
  // Only digits, a point and an exponent: from_chars alone would also take "inf" and "nan".
  if (s.empty() || s.find_first_not_of("0123456789.eE+-") != std::string_view::npos) return nan;
  double value = 0;
  const auto parsed = std::from_chars(s.data(), s.data() + s.size(), value);
  if (parsed.ptr != s.data() + s.size()) return nan;
  if (parsed.ec == std::errc::result_out_of_range) {
    // Too large becomes Infinity and too small 0, as in the script language.
    const std::size_t e = s.find_first_of("eE");
    const bool tiny = e != std::string_view::npos && e + 1 < s.size() && s[e + 1] == '-';
    return tiny ? 0 : sign * infinity;
  }
  if (parsed.ec != std::errc()) return nan;
  return sign * value;
}

double ToNumber(const Json& v) {
  double value = 0;
  if (v.is_number()) value = v.get<double>();
  else if (v.is_boolean()) value = v.get<bool>() ? 1 : 0;
  else if (v.is_string()) value = StringToNumber(v.get_ref<const std::string&>());
  return std::isnan(value) ? 0 : value;
}

// Strings as they are, null as "", booleans as the words, objects and arrays
// as compact JSON; numbers with "%.13g" or in the script language's form.
Text ValueText(const Json& v, bool thirteen_digits) {
  if (v.is_string()) return Utf8ToGbk(v.get_ref<const std::string&>());
  if (v.is_null()) return {};
  if (v.is_number() && thirteen_digits) return ToText(ToNumber(v));
  return JsonText(v);
}

int TypeCode(const Json* v) {
  if (v == nullptr) return kJsonNull;
  switch (v->type()) {
    case Json::value_t::null: return kJsonNull;
    case Json::value_t::boolean: return kJsonBoolean;
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float: return kJsonNumber;
    case Json::value_t::object: return kJsonObject;
    case Json::value_t::array: return kJsonArray;
    case Json::value_t::string: return kJsonString;
    default: return kJsonOther;
  }
}

// Runs `body`, turning any exception into `fallback`: no failure leaves the object.
template <typename T, typename F>
T Guarded(T fallback, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return fallback;
  }
}

}  // namespace

JsonObject::JsonObject() { Init(); }
JsonObject::~JsonObject() = default;
JsonObject::JsonObject(const JsonObject&) = default;
JsonObject& JsonObject::operator=(const JsonObject&) = default;
JsonObject::JsonObject(JsonObject&&) noexcept = default;
JsonObject& JsonObject::operator=(JsonObject&&) noexcept = default;

void JsonObject::Init() {
  document_.reset();
  document_ = Guarded(std::shared_ptr<Document>(), [] { return std::make_shared<Document>(); });
}

bool JsonObject::Parse(std::string_view json) {
  Init();
  if (!document_) return false;
  return Guarded(false, [&] {
    document_->root = nullptr;
    std::optional<Json> value = ParseValue(json);
    if (!value || value->is_null()) return false;
    document_->root = std::move(*value);
    return true;
  });
}

Text JsonObject::ToJson() const {
  if (!document_) return {};
  return Guarded(Text(), [&] { return JsonText(document_->root); });
}

void JsonObject::SetProperty(std::string_view path, std::string_view value, bool expression) {
  if (!document_) return;
  Guarded(false, [&] {
    const auto steps = PathAccessors(path, false, Join::kDot);
    auto stored = InputValue(value, expression, /*empty_is_object=*/true);
    return steps && stored && Assign(document_->root, *steps, std::move(*stored));
  });
}

void JsonObject::SetPropertyExpr(std::string_view path, std::string_view expression) {
  if (!document_) return;
  Guarded(false, [&] {
    const auto steps = PathAccessors(path, false, Join::kDot);
    auto stored = InputValue(expression, true, /*empty_is_object=*/false);
    return steps && stored && Assign(document_->root, *steps, std::move(*stored));
  });
}

void JsonObject::SetNumber(std::string_view path, double number) {
  if (!document_) return;
  Guarded(false, [&] {
    // Stored as written with "%.13g", so exactly the digits that text keeps survive.
    const double stored = StringToNumber(ToText(number));
    const auto steps = PathAccessors(path, false, Join::kDot);
    return std::isfinite(stored) && steps && Assign(document_->root, *steps, Json(stored));
  });
}

double JsonObject::GetNumber(std::string_view path) const {
  if (!document_) return 0;
  return Guarded(0.0, [&] {
    const auto steps = PathAccessors(path, false, Join::kDot);
    if (!steps) return 0.0;
    const auto found = Resolve(std::as_const(document_->root), *steps);
    return found.value ? ToNumber(*found.value) : 0.0;
  });
}

Text JsonObject::GetPropertyJson(std::string_view path) const {
  if (!document_) return {};
  return Guarded(Text(), [&] {
    const auto steps = PathAccessors(path, false, Join::kDot);
    if (!steps) return Text();
    const auto found = Resolve(std::as_const(document_->root), *steps);
    return found.value ? JsonText(*found.value) : Text();
  });
}

Text JsonObject::GetProperty(std::string_view path, bool json) const {
  if (!document_) return {};
  return Guarded(Text(), [&] {
    const auto steps = PathAccessors(path, false, Join::kBracketDirect);
    if (!steps) return Text();
    const auto found = Resolve(std::as_const(document_->root), *steps);
    if (!found.value) return Text();
    return json ? JsonText(*found.value) : ValueText(*found.value, /*thirteen_digits=*/true);
  });
}

JsonObject JsonObject::GetObject(std::string_view path) const {
  JsonObject copy;
  if (!copy.document_) return copy;
  copy.document_->root = nullptr;
  if (!document_) return copy;
  Guarded(false, [&] {
    const auto steps = PathAccessors(path, false, Join::kBracketDirect);
    if (!steps) return false;
    const auto found = Resolve(std::as_const(document_->root), *steps);
    if (found.value) copy.document_->root = *found.value;
    return true;
  });
  return copy;
}

std::int64_t JsonObject::Count(std::string_view path) const {
  if (!document_) return 0;
  return Guarded(std::int64_t{0}, [&] {
    const auto steps = PathAccessors(path, true, Join::kBracketDirect);
    if (!steps) return std::int64_t{0};
    const auto found = Resolve(std::as_const(document_->root), *steps);
    const bool container = found.value && (found.value->is_object() || found.value->is_array());
    return container ? static_cast<std::int64_t>(found.value->size()) : std::int64_t{0};
  });
}

void JsonObject::Push(std::string_view value, std::string_view path, bool expression) {
  if (!document_) return;
  Guarded(false, [&] {
    const auto steps = PathAccessors(path, true, Join::kDot);
    auto item = InputValue(value, expression, /*empty_is_object=*/false);
    if (!steps || !item) return false;
    const auto target = Resolve(document_->root, *steps);
    if (target.failed) return false;
    if (target.value && target.value->is_array()) {
      target.value->push_back(std::move(*item));
      return true;
    }
    Json array = Json::array();
    array.push_back(std::move(*item));
    return Assign(document_->root, *steps, std::move(array));
  });
}

JsonObject JsonObject::GetMemberObject(std::int64_t index, std::string_view path) const {
  JsonObject copy;
  if (!copy.document_) return copy;
  copy.document_->root = nullptr;
  if (!document_) return copy;
  Guarded(false, [&] {
    auto steps = PathAccessors(path, true, Join::kDot);
    if (!steps) return false;
    steps->push_back(Accessor{.is_index = true, .index = index});
    const auto found = Resolve(std::as_const(document_->root), *steps);
    if (found.value) copy.document_->root = *found.value;
    return true;
  });
  return copy;
}

Text JsonObject::GetMember(std::int64_t index, std::string_view path, bool json) const {
  if (!document_) return {};
  return Guarded(Text(), [&] {
    auto steps = PathAccessors(path, true, Join::kDot);
    if (!steps) return Text();
    steps->push_back(Accessor{.is_index = true, .index = index});
    const auto found = Resolve(std::as_const(document_->root), *steps);
    if (!found.value) return Text();
    return json ? JsonText(*found.value) : ValueText(*found.value, /*thirteen_digits=*/false);
  });
}

void JsonObject::SetMember(std::int64_t index, std::string_view value, bool expression) {
  if (!document_) return;
  Guarded(false, [&] {
    auto stored = InputValue(value, expression, /*empty_is_object=*/false);
    return stored && Assign(document_->root, {Accessor{.is_index = true, .index = index}}, std::move(*stored));
  });
}

void JsonObject::RemoveMember(std::int64_t index) {
  if (!document_) return;
  Guarded(false, [&] {
    Json& root = document_->root;
    if (!root.is_array() || index < 0 || static_cast<std::uint64_t>(index) >= root.size()) return false;
    root.erase(root.begin() + index);
    return true;
  });
}

void JsonObject::RemoveProperty(std::string_view path) {
  if (!document_) return;
  Guarded(false, [&] {
    const auto steps = PathAccessors(path, false, Join::kDot);
    if (steps) Remove(document_->root, *steps);
    return true;
  });
}

void JsonObject::Clear(int type_code) {
  if (!document_) return;
  Guarded(false, [&] {
    if (type_code == kJsonNull || type_code == kJsonObject) document_->root = Json::object();
    else if (type_code == kJsonArray) document_->root = Json::array();
    return true;
  });
}

bool JsonObject::SetRoot(std::string_view value, bool expression) {
  if (!document_) return false;
  return Guarded(false, [&] {
    auto stored = InputValue(value, expression, /*empty_is_object=*/false);
    if (!stored) return false;
    document_->root = std::move(*stored);
    return true;
  });
}

bool JsonObject::HasProperty(std::string_view path) const {
  if (!document_) return false;
  return Guarded(false, [&] {
    const auto steps = PathAccessors(path, false, Join::kDot);
    if (!steps) return false;
    const auto found = Resolve(std::as_const(document_->root), *steps);
    return found.value != nullptr && !found.value->is_null();
  });
}

TextArray JsonObject::GetKeys(std::string_view path) const {
  if (!document_) return {};
  return Guarded(TextArray(), [&] {
    TextArray keys;
    const auto steps = PathAccessors(path, true, Join::kDot);
    if (!steps) return keys;
    const auto found = Resolve(std::as_const(document_->root), *steps);
    if (found.value && found.value->is_object()) {
      for (const auto& [key, item] : found.value->items()) keys.push_back(Utf8ToGbk(key));
    } else if (found.value && found.value->is_array()) {
      for (std::size_t i = 0; i < found.value->size(); ++i) keys.push_back(std::to_string(i));
    }
    return keys;
  });
}

int JsonObject::GetType(std::string_view path) const {
  if (!document_) return kJsonNull;
  return Guarded(int{kJsonNull}, [&] {
    const auto steps = PathAccessors(path, true, Join::kDot);
    if (!steps) return int{kJsonNull};
    return TypeCode(Resolve(std::as_const(document_->root), *steps).value);
  });
}

void JsonObject::Reset() { Clear(kJsonObject); }

}  // namespace korvath
