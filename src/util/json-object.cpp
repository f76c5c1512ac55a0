#include "util/json-object.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "util/json-syntax.h"

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

using json_syntax::Accessor;
using json_syntax::Accessors;
using json_syntax::AppendQuoted;
using json_syntax::ParseAccessors;
using json_syntax::ScriptNumber;
using json_syntax::StringToNumber;

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

// The value of JSON text given as system text; nullopt when it does not parse.
std::optional<Json> ParseUtf8Value(std::string_view utf8) {
  if (json_syntax::NestedTooDeep(utf8, kMaxDepth)) return std::nullopt;
  Json value = Json::parse(utf8, nullptr, /*allow_exceptions=*/false, /*ignore_comments=*/true);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

std::optional<Json> ParseValue(std::string_view text) { return ParseUtf8Value(GbkToUtf8(text)); }

// A value given with or without the expression flag.
std::optional<Json> InputValue(std::string_view text, bool expression, bool empty_is_object) {
  if (!expression) return Json(GbkToUtf8(text));
  if (text.empty()) return empty_is_object ? std::optional<Json>(Json::object()) : std::nullopt;
  return ParseValue(text);
}

// Compact JSON (UTF-8) as the script engine writes it.
void AppendJson(std::string& out, const Json& v) {
  switch (v.type()) {
    case Json::value_t::boolean:
      out += v.get<bool>() ? "true" : "false";
      return;
    // Whole numbers read from a document keep all their digits.
    case Json::value_t::number_integer:
      out += std::to_string(v.get<std::int64_t>());
      return;
    case Json::value_t::number_unsigned:
      out += std::to_string(v.get<std::uint64_t>());
      return;
    case Json::value_t::number_float:
      out += ScriptNumber(v.get<double>());
      return;
    case Json::value_t::string:
      AppendQuoted(out, v.get_ref<const std::string&>());
      return;
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
    default:
      out += "null";
      return;
  }
}

Text JsonText(const Json& v) {
  std::string out;
  AppendJson(out, v);
  return Utf8ToGbk(out);
}

double ToNumber(const Json& v) {
  double value = 0;
  if (v.is_number())
    value = v.get<double>();
  else if (v.is_boolean())
    value = v.get<bool>() ? 1 : 0;
  else if (v.is_string())
    value = StringToNumber(v.get_ref<const std::string&>());
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
    case Json::value_t::null:
      return kJsonNull;
    case Json::value_t::boolean:
      return kJsonBoolean;
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float:
      return kJsonNumber;
    case Json::value_t::object:
      return kJsonObject;
    case Json::value_t::array:
      return kJsonArray;
    case Json::value_t::string:
      return kJsonString;
    default:
      return kJsonOther;
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
  // Running out of memory while converting counts as text that does not parse.
  return ParseUtf8(Guarded(std::string(), [&] { return GbkToUtf8(json); }));
}

bool JsonObject::ParseUtf8(std::string_view utf8) {
  Init();
  if (!document_) return false;
  return Guarded(false, [&] {
    document_->root = nullptr;
    std::optional<Json> value = ParseUtf8Value(utf8);
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
    return stored &&
           Assign(document_->root, {Accessor{.is_index = true, .index = index}}, std::move(*stored));
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
    if (type_code == kJsonNull || type_code == kJsonObject)
      document_->root = Json::object();
    else if (type_code == kJsonArray)
      document_->root = Json::array();
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
      for (std::size_t i = 0; i < found.value->size(); ++i)
        keys.push_back(ToText(static_cast<std::int64_t>(i)));
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
