#include "protocol/float_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

namespace sidecar::protocol {
namespace {

std::string text32(float value) {
  char buffer[FLOAT_TEXT_MAX];
  return std::string(buffer, formatFloat32(value, buffer));
}

std::string text64(double value) {
  char buffer[FLOAT_TEXT_MAX];
  return std::string(buffer, formatFloat64(value, buffer));
}

struct Float32Row {
  float value;
  const char* text;
};

TEST(FloatTextTest, SinglePrecisionTable) {
  const Float32Row rows[] = {
      // The reference examples.
      {0.0F, "0.0"},
      {100.0F, "100.0"},
      {12.5F, "12.5"},
      {100.0F / 3.0F, "33.333332"},
      {0.05F, "0.05"},
      {1.5e-6F, "0.0000015"},
      {1e-7F, "1e-7"},
      {1.5e12F, "1500000000000.0"},
      {2.5e13F, "2.5e+13"},
      {std::numeric_limits<float>::max(), "3.4028235e+38"},
      // Signs.
      {-0.0F, "-0.0"},
      {-12.5F, "-12.5"},
      {-1e-7F, "-1e-7"},
      {-2.5e13F, "-2.5e+13"},
      // Fixed notation: the three layouts.
      {1.0F, "1.0"},
      {7.0F, "7.0"},
      {1234.5F, "1234.5"},
      {0.1F, "0.1"},
      {0.25F, "0.25"},
      {1e-6F, "0.000001"},
      {1.25e-6F, "0.00000125"},
      {9.999999e-7F, "9.999999e-7"},
      // Boundary of the fixed range at the top: g = 12 fixed, g = 13 exponent.
      {1e12F, "1000000000000.0"},
      {9.999999e12F, "9999999000000.0"},
      {1e13F, "1e+13"},
      {1.5e13F, "1.5e+13"},
      // Integral values below the top boundary keep trailing zeros and ".0".
      {16777216.0F, "16777216.0"},
      {3e9F, "3000000000.0"},
      // Extremes.
      {std::numeric_limits<float>::min(), "1.1754944e-38"},
      {std::numeric_limits<float>::denorm_min(), "1e-45"},
      {std::numeric_limits<float>::lowest(), "-3.4028235e+38"},
      {3e-40F, "3e-40"},
  };
  for (const Float32Row& row : rows) {
    EXPECT_EQ(text32(row.value), row.text) << "value " << static_cast<double>(row.value);
  }
}

TEST(FloatTextTest, SinglePrecisionUsesItsOwnShortestDigits) {
  // The double widening of this float is 33.33333206176758; the wire wants
  // the digits that identify the float.
  const float third = 100.0F / 3.0F;
  EXPECT_EQ(text32(third), "33.333332");
  EXPECT_EQ(text64(static_cast<double>(third)), "33.33333206176758");
}

struct Float64Row {
  double value;
  const char* text;
};

TEST(FloatTextTest, DoublePrecisionTable) {
  const Float64Row rows[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {3.0, "3.0"},
      {-3.0, "-3.0"},
      {1.5, "1.5"},
      {0.1, "0.1"},
      {100.0 / 3.0, "33.333333333333336"},
      // Bottom boundary: g = -5 fixed, g = -6 exponent.
      {1e-5, "0.00001"},
      {1.5e-5, "0.000015"},
      {1e-6, "1e-6"},
      {9.5e-6, "9.5e-6"},
      // Top boundary: g = 15 fixed, g = 16 exponent.
      {1e15, "1000000000000000.0"},
      {1.5e15, "1500000000000000.0"},
      {9007199254740993.0, "9007199254740992.0"},
      {1e16, "1e+16"},
      {1.8446744073709552e19, "1.8446744073709552e+19"},
      {1e20, "1e+20"},
      {-1e20, "-1e+20"},
      // Three exponent digits.
      {1e100, "1e+100"},
      {1e-100, "1e-100"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {std::numeric_limits<double>::lowest(), "-1.7976931348623157e+308"},
      {std::numeric_limits<double>::min(), "2.2250738585072014e-308"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
      {-std::numeric_limits<double>::denorm_min(), "-5e-324"},
      // Longest fixed texts fit the buffer.
      {-1.2345678901234567e-5, "-0.000012345678901234568"},
      {-1234567890123456.7, "-1234567890123456.8"},
  };
  for (const Float64Row& row : rows) {
    EXPECT_EQ(text64(row.value), row.text) << "value " << row.value;
  }
}

TEST(FloatTextTest, EveryTextReadsBackAsTheSameValue) {
  // A sweep over many magnitudes: the text must parse back to the value.
  for (int exponent = -45; exponent <= 38; ++exponent) {
    for (float mantissa : {1.0F, 1.1F, 2.5F, 3.3333333F, 9.999999F}) {
      const float value = mantissa * std::pow(10.0F, static_cast<float>(exponent));
      if (!std::isfinite(value) || value == 0.0F) {
        continue;
      }
      const std::string text = text32(value);
      EXPECT_EQ(std::strtof(text.c_str(), nullptr), value) << text;
    }
  }
}

}  // namespace
}  // namespace sidecar::protocol
