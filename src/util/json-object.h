// One JSON document, read and changed by path.
//
// A path is a member-access suffix of the root as in JavaScript: "result",
// "files[0].uris[0].uri", "['x-y']". Paths are joined to the root with "."
// except where noted that one beginning with "[" (such as "[0]") applies
// directly to the root. An empty path means the root only where noted.
// Strings are system text outside and UTF-8 inside the document.
// No operation throws or reports an error: a failure changes nothing and
// gives the empty value of the result type ("", 0, false).
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "util/text.h"

namespace korvath {

// Type codes of GetType and Clear. 3 is not used.
enum JsonTypeCode : int {
  kJsonNull = 0,  // null or missing
  kJsonBoolean = 1,
  kJsonNumber = 2,
  kJsonObject = 4,
  kJsonArray = 5,
  kJsonString = 6,
  kJsonOther = -1,
};

class JsonObject {
 public:
  JsonObject();  // runs Init
  ~JsonObject();
  // A copy shares the same document until either side runs Parse or Init.
  JsonObject(const JsonObject&);
  JsonObject& operator=(const JsonObject&);
  JsonObject(JsonObject&&) noexcept;
  JsonObject& operator=(JsonObject&&) noexcept;

  // A fresh document whose root is {}.
  void Init();
  // Replaces the document with the value of `json` (on a fresh document).
  // False, leaving the root null, for "", "null" or text that does not parse.
  bool Parse(std::string_view json);
  // The same for JSON text in UTF-8, such as aria2's replies, read as it is
  // rather than through system text and back.
  bool ParseUtf8(std::string_view utf8);
  // The root as compact JSON.
  Text ToJson() const;

  // Stores `value` as a string, or with `expression` the value of the JSON
  // text `value` ("" meaning {}).
  void SetProperty(std::string_view path, std::string_view value, bool expression = false);
  void SetPropertyExpr(std::string_view path, std::string_view expression);
  // Stores the number as written with "%.13g" (13 significant digits survive).
  void SetNumber(std::string_view path, double number);
  // The value as a number; 0 when it does not convert.
  double GetNumber(std::string_view path) const;
  // The value as compact JSON; "" when missing.
  Text GetPropertyJson(std::string_view path) const;
  // The value as text: strings as they are, numbers with "%.13g", null and
  // missing as ""; with `json` the compact JSON. "[" paths apply directly.
  Text GetProperty(std::string_view path, bool json = false) const;
  // A separate copy of the value. "[" paths apply directly.
  JsonObject GetObject(std::string_view path) const;
  // Members of an object or elements of an array; empty path = root. "[" paths apply directly.
  std::int64_t Count(std::string_view path = {}) const;

  // Appends to the array at `path` (empty = root), first replacing a
  // non-array there by []. `value` is a string, or with `expression` JSON text.
  void Push(std::string_view value, std::string_view path = {}, bool expression = false);
  // A separate copy of element `index` (zero-based) of the array at `path`.
  JsonObject GetMemberObject(std::int64_t index, std::string_view path = {}) const;
  // Element `index` of the array at `path` as text, or with `json` as compact JSON.
  Text GetMember(std::int64_t index, std::string_view path = {}, bool json = false) const;
  // Stores into element `index` of the root array.
  void SetMember(std::int64_t index, std::string_view value, bool expression = false);
  // Removes element `index` of the root array, closing the gap.
  void RemoveMember(std::int64_t index);
  void RemoveProperty(std::string_view path);
  // 0 or 4: the root becomes {}; 5: []; any other code changes nothing.
  void Clear(int type_code);
  // The root becomes the string, or with `expression` the value of the JSON text.
  bool SetRoot(std::string_view value, bool expression = false);
  // True when the value is neither null nor missing.
  bool HasProperty(std::string_view path) const;
  // Member names of the value (empty path = root): an object's keys in
  // insertion order, an array's indexes "0", "1", ...; the count is size().
  // Other values have none.
  TextArray GetKeys(std::string_view path = {}) const;
  // The type code of the value; empty path = root.
  int GetType(std::string_view path = {}) const;
  // The root becomes {}.
  void Reset();

 private:
  struct Document;
  std::shared_ptr<Document> document_;
};

}  // namespace korvath
