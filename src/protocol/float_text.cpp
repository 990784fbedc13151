#include "protocol/float_text.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace sidecar::protocol {
namespace {

// The shortest significand of a value as digits plus the decimal exponent of
// the first digit, taken from the scientific form of std::to_chars (which
// picks the shortest round-trip digits, nearest the exact value on ties).
struct Decimal {
  char digits[24];
  int count = 0;
  int exponent = 0;
};

template <typename T>
Decimal shortestDecimal(T magnitude) {
  char text[FLOAT_TEXT_MAX];
  const auto result = std::to_chars(text, text + sizeof text, magnitude, std::chars_format::scientific);
  const char* p = text;
  const char* end = result.ptr;

  Decimal decimal;
  // "d[.ddd]e±xx"
  decimal.digits[decimal.count++] = *p++;
  if (p != end && *p == '.') {
    ++p;
    while (p != end && *p != 'e') {
      decimal.digits[decimal.count++] = *p++;
    }
  }
  ++p;  // 'e'
  const bool negativeExponent = (*p == '-');
  ++p;  // sign
  int exponent = 0;
  std::from_chars(p, end, exponent);
  decimal.exponent = negativeExponent ? -exponent : exponent;
  // to_chars never writes trailing zeros in the shortest form, but keep the
  // layout below safe if it ever did.
  while (decimal.count > 1 && decimal.digits[decimal.count - 1] == '0') {
    --decimal.count;
  }
  return decimal;
}

std::size_t layOut(const Decimal& decimal, bool negative, int fixedMin, int fixedMax, char* buffer) {
  char* out = buffer;
  if (negative) {
    *out++ = '-';
  }
  const int n = decimal.count;
  const int g = decimal.exponent;
  if (g >= fixedMin && g <= fixedMax) {
    if (g >= n - 1) {
      // Integral: all digits, the zeros up to the point, then ".0".
      std::memcpy(out, decimal.digits, static_cast<std::size_t>(n));
      out += n;
      const int zeros = g - n + 1;
      std::memset(out, '0', static_cast<std::size_t>(zeros));
      out += zeros;
      *out++ = '.';
      *out++ = '0';
    } else if (g >= 0) {
      std::memcpy(out, decimal.digits, static_cast<std::size_t>(g + 1));
      out += g + 1;
      *out++ = '.';
      std::memcpy(out, decimal.digits + g + 1, static_cast<std::size_t>(n - g - 1));
      out += n - g - 1;
    } else {
      *out++ = '0';
      *out++ = '.';
      const int zeros = -g - 1;
      std::memset(out, '0', static_cast<std::size_t>(zeros));
      out += zeros;
      std::memcpy(out, decimal.digits, static_cast<std::size_t>(n));
      out += n;
    }
  } else {
    *out++ = decimal.digits[0];
    if (n > 1) {
      *out++ = '.';
      std::memcpy(out, decimal.digits + 1, static_cast<std::size_t>(n - 1));
      out += n - 1;
    }
    *out++ = 'e';
    *out++ = g < 0 ? '-' : '+';
    const int magnitude = g < 0 ? -g : g;
    out = std::to_chars(out, buffer + FLOAT_TEXT_MAX, magnitude).ptr;
  }
  return static_cast<std::size_t>(out - buffer);
}

template <typename T>
std::size_t formatFloat(T value, int fixedMin, int fixedMax, char* buffer) {
  if (!std::isfinite(value)) {
    std::memcpy(buffer, "null", 4);
    return 4;
  }
  const bool negative = std::signbit(value);
  if (value == 0) {
    if (negative) {
      std::memcpy(buffer, "-0.0", 4);
      return 4;
    }
    std::memcpy(buffer, "0.0", 3);
    return 3;
  }
  return layOut(shortestDecimal(negative ? -value : value), negative, fixedMin, fixedMax, buffer);
}

}  // namespace

std::size_t formatFloat32(float value, char* buffer) {
  return formatFloat(value, -6, 12, buffer);
}

std::size_t formatFloat64(double value, char* buffer) {
  return formatFloat(value, -5, 15, buffer);
}

}  // namespace sidecar::protocol
