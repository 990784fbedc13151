#include "protocol/json_number.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <system_error>

namespace sidecar::protocol {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Decimal exponent of the first significant digit of a number text whose
// mantissa is not zero; exponents beyond a billion are clamped, which is
// far outside the range of a double either way.
long long leadingDigitExponent(std::string_view text) {
  std::size_t p = text[0] == '-' ? 1 : 0;
  long long integerDigits = 0;  // significant digits before the point
  long long fractionZeros = 0;  // zeros after the point before the first significant digit
  bool significant = false;
  for (; p < text.size() && isDigit(text[p]); ++p) {
    significant = significant || text[p] != '0';
    integerDigits += significant ? 1 : 0;
  }
  if (p < text.size() && text[p] == '.') {
    for (++p; p < text.size() && isDigit(text[p]); ++p) {
      if (!significant && integerDigits == 0) {
        if (text[p] == '0') {
          ++fractionZeros;
        } else {
          significant = true;
        }
      }
    }
  }
  long long exponent = 0;
  if (p < text.size() && (text[p] == 'e' || text[p] == 'E')) {
    ++p;
    bool negative = false;
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) {
      negative = text[p] == '-';
      ++p;
    }
    for (; p < text.size() && isDigit(text[p]); ++p) {
      exponent = exponent < 1'000'000'000 ? exponent * 10 + (text[p] - '0') : exponent;
    }
    exponent = negative ? -exponent : exponent;
  }
  return integerDigits > 0 ? integerDigits - 1 + exponent : exponent - fractionZeros - 1;
}

bool mantissaIsZero(std::string_view text) {
  for (char c : text) {
    if (c == 'e' || c == 'E') {
      break;
    }
    if (c >= '1' && c <= '9') {
      return false;
    }
  }
  return true;
}

// std::from_chars for a double where the C++ library has it; Apple's libc++
// has not (no __cpp_lib_to_chars), and there strtod reads the same correctly
// rounded value: the sidecar never leaves the "C" locale. A result too small
// for a double reads as out of range, as from_chars reports it.
std::errc readDouble(const char* first, const char* last, double& value) {
#if defined(__cpp_lib_to_chars)
  return std::from_chars(first, last, value).ec;
#else
  const std::string text(first, last);
  errno = 0;
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size()) return std::errc::invalid_argument;
  if (errno == ERANGE && (value == 0.0 || std::isinf(value))) return std::errc::result_out_of_range;
  return std::errc();
#endif
}

JsonNumber floatNumber(double value) {
  JsonNumber number;
  number.kind = JsonNumber::Kind::Float;
  number.floatValue = value;
  return number;
}

}  // namespace

std::optional<JsonNumber> readJsonNumber(std::string_view text) {
  // Fast path for the common case: a plain unsigned integer of at most 19
  // digits, which always fits 64 bits.
  if (!text.empty() && text.size() <= 19) {
    std::uint64_t value = 0;
    bool digits = true;
    for (char c : text) {
      digits = digits && isDigit(c);
      value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (digits) {
      JsonNumber number;
      number.unsignedValue = value;
      return number;
    }
  }
  const char* const first = text.data();
  const char* const last = text.data() + text.size();
  const bool negative = !text.empty() && text[0] == '-';
  bool integral = true;
  for (char c : text) {
    integral = integral && c != '.' && c != 'e' && c != 'E';
  }
  if (integral && !negative) {
    JsonNumber number;
    const auto [ptr, ec] = std::from_chars(first, last, number.unsignedValue);
    if (ec == std::errc() && ptr == last) {
      number.kind = JsonNumber::Kind::Unsigned;
      return number;
    }
  } else if (integral && text != "-0") {
    JsonNumber number;
    const auto [ptr, ec] = std::from_chars(first, last, number.negativeValue);
    if (ec == std::errc() && ptr == last) {
      number.kind = JsonNumber::Kind::Negative;
      return number;
    }
  }
  if (mantissaIsZero(text)) {
    return floatNumber(negative ? -0.0 : 0.0);
  }
  double value = 0.0;
  const std::errc ec = readDouble(first, last, value);
  if (ec == std::errc()) {
    return floatNumber(value);
  }
  if (ec == std::errc::result_out_of_range && leadingDigitExponent(text) < 0) {
    return floatNumber(negative ? -0.0 : 0.0);  // below the smallest double
  }
  return std::nullopt;
}

NumberScan scanJsonNumber(std::string_view line, std::size_t begin) {
  const std::size_t n = line.size();
  const SyntaxFault eof{SyntaxError::EofWhileParsingValue, n};
  std::size_t p = begin;
  if (p < n && line[p] == '-') {
    ++p;
  }
  if (p >= n) {
    return {p, eof};
  }
  if (line[p] == '0') {
    ++p;
    if (p < n && isDigit(line[p])) {
      return {p, SyntaxFault{SyntaxError::InvalidNumber, p + 1}};
    }
  } else if (isDigit(line[p])) {
    while (p < n && isDigit(line[p])) ++p;
  } else {
    return {p, SyntaxFault{SyntaxError::InvalidNumber, p + 1}};
  }
  if (p < n && line[p] == '.') {
    ++p;
    if (p >= n) return {p, eof};
    if (!isDigit(line[p])) return {p, SyntaxFault{SyntaxError::InvalidNumber, p + 1}};
    while (p < n && isDigit(line[p])) ++p;
  }
  if (p < n && (line[p] == 'e' || line[p] == 'E')) {
    ++p;
    if (p < n && (line[p] == '+' || line[p] == '-')) ++p;
    if (p >= n) return {p, eof};
    if (!isDigit(line[p])) return {p, SyntaxFault{SyntaxError::InvalidNumber, p + 1}};
    while (p < n && isDigit(line[p])) ++p;
  }
  return {p, std::nullopt};
}

void neutralizeNumbers(std::string& lineCopy) {
  const std::size_t n = lineCopy.size();
  std::size_t p = 0;
  while (p < n) {
    const char c = lineCopy[p];
    if (c == '"') {
      // Skip the string; an escape's next byte is never its end.
      for (++p; p < n && lineCopy[p] != '"'; ++p) {
        if (lineCopy[p] == '\\') ++p;
      }
      ++p;
      continue;
    }
    if (c != '-' && !isDigit(c)) {
      ++p;
      continue;
    }
    const NumberScan scan = scanJsonNumber(lineCopy, p);
    if (scan.fault || scan.end <= p) {
      p = scan.end > p ? scan.end : p + 1;
      continue;
    }
    const std::size_t length = scan.end - p;
    if (length >= 3 && readJsonNumber(std::string_view(lineCopy).substr(p, length))) {
      lineCopy[p] = '0';
      lineCopy[p + 1] = '.';
      for (std::size_t i = p + 2; i < scan.end; ++i) lineCopy[i] = '0';
    }
    p = scan.end;
  }
}

}  // namespace sidecar::protocol
