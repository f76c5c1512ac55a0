// Conversions between texts, numbers and byte sets.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "util/text-step.h"
#include "util/text.h"

namespace korvath {
namespace {

// Exponents always carry at least three digits ("1e+013"), the form stored
// texts and logs have always had.
Text WidenExponent(Text s) {
  const std::size_t e = s.find_first_of("eE");
  if (e == Text::npos || e + 1 >= s.size()) return s;
  std::size_t digits = e + 1;
  if (s[digits] == '+' || s[digits] == '-') ++digits;
  const std::size_t count = s.size() - digits;
  if (count < 3) s.insert(digits, 3 - count, '0');
  return s;
}

Text Format(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return WidenExponent(buffer);
}

template <typename T>
Bytes LittleEndian(T value) {
  Bytes out(sizeof(T));
  std::memcpy(out.data(), &value, sizeof(T));  // Linux targets are little-endian
  return out;
}

}  // namespace

Text ToText(int value) { return Text(std::to_string(value)); }
Text ToText(std::int64_t value) { return Text(std::to_string(value)); }
Text ToText(std::uint8_t value) { return Text(std::to_string(static_cast<unsigned>(value))); }
Text ToText(double value) { return Format("%.13g", value); }
Text ToText(float value) { return Format("%.6g", static_cast<double>(value)); }
Text ToText(bool value) { return value ? Gbk(u8"真") : Gbk(u8"假"); }
Text ToText(std::string_view text) { return Text(text); }
Text ToText(const char* text) { return text == nullptr ? Text() : Text(text); }

Text ToText(const Bytes& bytes) {
  if (bytes.empty()) return "";
  const auto* begin = reinterpret_cast<const char*>(bytes.data());
  const auto* zero = static_cast<const char*>(std::memchr(begin, 0, bytes.size()));
  return Text(begin, zero == nullptr ? bytes.size() : static_cast<std::size_t>(zero - begin));
}

Bytes ToBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }
Bytes ToBytes(int value) { return LittleEndian(static_cast<std::int32_t>(value)); }
Bytes ToBytes(std::int64_t value) { return LittleEndian(value); }
Bytes ToBytes(double value) { return LittleEndian(value); }

Text ToHalfWidth(std::string_view text) {
  Text out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t step = std::min(detail::CharStep(text, i), text.size() - i);
    if (step == 2) {
      const auto lead = static_cast<unsigned char>(text[i]);
      const auto trail = static_cast<unsigned char>(text[i + 1]);
      if (lead == 0xA3 && trail >= 0xA1 && trail <= 0xFE) {
        out.push_back(static_cast<char>(trail - 0x80));
        i += 2;
        continue;
      }
      if (lead == 0xA1 && trail == 0xA1) {
        out.push_back(' ');
        i += 2;
        continue;
      }
    }
    out.append(text.substr(i, step));
    i += step;
  }
  return out;
}

std::int64_t ToInt(std::string_view text) {
  const Text half = ToHalfWidth(text);
  std::size_t i = 0;
  while (i < half.size() && (half[i] == ' ' || (half[i] >= '\t' && half[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < half.size() && (half[i] == '+' || half[i] == '-')) {
    negative = half[i] == '-';
    ++i;
  }
  // Accumulate negatively so INT64_MIN is reachable; saturate on overflow.
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  std::int64_t value = 0;
  bool saturated = false;
  for (; i < half.size() && half[i] >= '0' && half[i] <= '9'; ++i) {
    const int digit = half[i] - '0';
    if (value < (kMin + digit) / 10) {
      saturated = true;
      value = kMin;
      continue;
    }
    if (!saturated) value = value * 10 - digit;
  }
  if (negative) return value;
  if (value == kMin) return std::numeric_limits<std::int64_t>::max();
  return -value;
}

std::int64_t ToInt(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 9.2233720368547758e18) return std::numeric_limits<std::int64_t>::max();
  if (value <= -9.2233720368547758e18) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(value);  // truncates toward zero
}

Text HexText(std::int64_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%" PRIX32, static_cast<std::uint32_t>(value));
  return buffer;
}

std::int64_t BytesLength(const Bytes& bytes) { return static_cast<std::int64_t>(bytes.size()); }

Bytes BytesLeft(const Bytes& bytes, std::int64_t n) {
  if (n <= 0) return {};
  const auto k = static_cast<std::size_t>(std::min<std::int64_t>(n, BytesLength(bytes)));
  return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(k));
}

Bytes BytesMid(const Bytes& bytes, std::int64_t start, std::int64_t n) {
  if (start < 1) start = 1;
  if (start > BytesLength(bytes) || n <= 0) return {};
  const auto from = static_cast<std::size_t>(start - 1);
  const auto k = static_cast<std::size_t>(std::min<std::int64_t>(n, BytesLength(bytes) - (start - 1)));
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(from + k));
}

Bytes BlankBytes(std::int64_t n) {
  if (n <= 0) return {};
  return Bytes(static_cast<std::size_t>(n), 0);
}

Bytes operator+(const Bytes& a, const Bytes& b) {
  Bytes out;
  out.reserve(a.size() + b.size());
  out.insert(out.end(), a.begin(), a.end());
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

BytesValue ReadBytesValue(const Bytes& bytes, int type, std::int64_t position) {
  BytesValue result;
  if (type < 1 || type > 10) {
    result.error = Gbk(u8"“欲取出数据的类型”参数值无效");
    return result;
  }
  result.ok = true;
  const std::size_t from = position < 1 ? bytes.size() : static_cast<std::size_t>(position - 1);
  const std::size_t available = from < bytes.size() ? bytes.size() - from : 0;
  const std::uint8_t* data = bytes.data() + (available > 0 ? from : 0);
  if (static_cast<ValueType>(type) == ValueType::kText) {
    const auto* begin = reinterpret_cast<const char*>(data);
    const auto* zero = available > 0 ? static_cast<const char*>(std::memchr(begin, 0, available)) : nullptr;
    result.text =
        available == 0 ? Text() : Text(begin, zero ? static_cast<std::size_t>(zero - begin) : available);
    return result;
  }
  // Copy through a zero-padded buffer: a set too short reads as if padded.
  std::uint8_t buffer[8] = {};
  if (available > 0) std::memcpy(buffer, data, std::min<std::size_t>(available, sizeof buffer));
  switch (static_cast<ValueType>(type)) {
    case ValueType::kByte:
      result.integer = buffer[0];
      break;
    case ValueType::kInt16: {
      std::int16_t v;
      std::memcpy(&v, buffer, sizeof v);
      result.integer = v;
      break;
    }
    case ValueType::kInt32:
    case ValueType::kBool: {
      std::int32_t v;
      std::memcpy(&v, buffer, sizeof v);
      result.integer = type == static_cast<int>(ValueType::kBool) ? (v != 0) : v;
      break;
    }
    case ValueType::kAddress: {
      std::uint32_t v;  // routine addresses were 32-bit in the stored form
      std::memcpy(&v, buffer, sizeof v);
      result.integer = v;
      break;
    }
    case ValueType::kInt64:
      std::memcpy(&result.integer, buffer, sizeof result.integer);
      break;
    case ValueType::kFloat: {
      float v;
      std::memcpy(&v, buffer, sizeof v);
      result.number = v;
      return result;
    }
    case ValueType::kDouble:
    case ValueType::kDateTime:
      std::memcpy(&result.number, buffer, sizeof result.number);
      return result;
    case ValueType::kText:
      break;
  }
  result.number = static_cast<double>(result.integer);
  return result;
}

}  // namespace korvath
