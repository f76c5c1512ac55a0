// Text rules of JSON documents as the script language reads and writes
// them: member-access paths, number forms, string quoting. All text here is
// UTF-8; JsonObject converts at its boundary.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvath::json_syntax {

// One step of a member-access chain: ".name", "[0]" or "['key']".
struct Accessor {
  bool is_index = false;
  std::int64_t index = 0;  // when is_index: zero or more
  std::string key;         // otherwise: the member name
};
using Accessors = std::vector<Accessor>;

// Parses a suffix such as ".files[0].uris['x-y']"; nullopt when it is not
// valid member access (".[0]", "a" without a dot, an unclosed bracket).
std::optional<Accessors> ParseAccessors(std::string_view suffix);

// A number as the script language writes it: shortest round-trip digits,
// plain from 1e-6 up to 1e21, exponent form ("1e+21") outside; non-finite as "null".
std::string ScriptNumber(double value);

// Appends `text` as a JSON string: \" \\ \b \f \n \r \t, other control and
// format characters as \u with four lower-case hexadecimal digits.
void AppendQuoted(std::string& out, std::string_view text);

// The script language's string-to-number rule (blanks, hex "0x", Infinity);
// NaN when the text does not convert, 0 for an empty text.
double StringToNumber(std::string_view text);

// True when brackets in the JSON text nest deeper than `max_depth`.
bool NestedTooDeep(std::string_view json, int max_depth);

}  // namespace korvath::json_syntax
