// The text form of floating-point numbers on the wire: the shortest decimal
// significand that reads back as the same value, laid out in fixed notation
// for moderate exponents and in exponent notation otherwise. Single precision
// is used for message fields, double precision inside error texts. Pure
// functions; any thread.
#pragma once

#include <cstddef>

namespace sidecar::protocol {

/// Room that is always enough for one formatted value of either precision.
inline constexpr std::size_t FLOAT_TEXT_MAX = 32;

/// Writes the text of a finite single-precision value into `buffer` (at least
/// FLOAT_TEXT_MAX bytes, not terminated) and returns its length. Fixed
/// notation when the exponent of the first digit is in -6..12 ("33.333332",
/// "0.0000015", "100.0"), exponent notation otherwise ("1e-7", "2.5e+13").
/// Zero is "0.0" and negative zero "-0.0". Non-finite values are the
/// caller's business (they are written as null); here they give "null".
std::size_t formatFloat32(float value, char* buffer);

/// The same for a finite double-precision value, with fixed notation for
/// exponents -5..15 ("3.0", "0.00001") and exponent notation otherwise
/// ("1e+20", "1e-6", "1.7976931348623157e+308").
std::size_t formatFloat64(double value, char* buffer);

}  // namespace sidecar::protocol
