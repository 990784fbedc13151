// Text from the operating system on its way to the wire: bytes converted to
// valid UTF-8, and valid UTF-8 cut to a byte limit without splitting a
// character. Pure functions on values; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sidecar::sampling {

/// The bytes as UTF-8: valid sequences are copied unchanged and every
/// maximal ill-formed subpart (a stray continuation byte, an overlong form,
/// an encoded surrogate, a value above U+10FFFF, a sequence cut short) is
/// replaced by one U+FFFD. Valid input costs one scan and one copy.
std::string toUtf8Lossy(std::string_view bytes);

/// Whether `bytes` is valid UTF-8 as it stands (toUtf8Lossy would copy it).
bool isValidUtf8(std::string_view bytes);

/// Appends toUtf8Lossy(bytes) to `out` without building a temporary string.
void appendUtf8Lossy(std::string& out, std::string_view bytes);

/// The length of the longest prefix of `text` (valid UTF-8) that has at most
/// `maxBytes` bytes and does not end inside a multi-byte character.
std::size_t cutLength(std::string_view text, std::size_t maxBytes);

/// Shortens `text` (valid UTF-8) to cutLength(text, maxBytes).
void cutToLimit(std::string& text, std::size_t maxBytes);

/// toUtf8Lossy followed by cutToLimit.
std::string toUtf8Cut(std::string_view bytes, std::size_t maxBytes);

}  // namespace sidecar::sampling
