// A cursor that writes compact JSON straight into an OutputBuffer, from the
// fixed set of operations every outgoing message is built with. It keeps one
// first-member flag per open object or array so that commas go between
// members only; it builds no document and no intermediate strings. A write
// failure of the buffer stops all further output (the buffer reports it).
// Lives for one message; main thread only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "protocol/output_buffer.h"

namespace sidecar::protocol {

class JsonWriter {
 public:
  /// Deepest nesting of objects and arrays a message uses, with room to spare.
  static constexpr std::size_t MAX_DEPTH = 8;

  explicit JsonWriter(OutputBuffer& out) : out_(out) {}
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;

  /// `{`, opening an object whose first member needs no separator.
  void beginObject();
  void fieldU32(std::string_view key, std::uint32_t value);
  void fieldU64(std::string_view key, std::uint64_t value);
  void fieldString(std::string_view key, std::string_view value);
  void fieldBool(std::string_view key, bool value);
  /// The shortest round-trip text of the value, or null when not finite.
  void fieldFloat32(std::string_view key, float value);
  /// The decimal, or null when absent.
  void fieldOptionalU64(std::string_view key, std::optional<std::uint64_t> value);
  /// `"key":{`, opening a nested object.
  void beginObjectField(std::string_view key);
  /// `"key":[`, opening an array.
  void beginArrayField(std::string_view key);
  /// The separator before an array element, unless it is the first.
  void beginElement();
  void endArray();
  void endObject();
  /// The line feed that ends a message.
  void endLine();

 private:
  /// Appends a JSON string: quotes around the text with the bytes that need
  /// it escaped (quote, backslash, control bytes); everything else raw.
  void writeString(std::string_view text);
  /// The first-member flag of the innermost open object or array.
  bool& innermostFirst();
  /// Separator (unless first member), escaped key and colon.
  void writeKey(std::string_view key);
  void push();
  void pop();

  OutputBuffer& out_;
  std::array<bool, MAX_DEPTH> first_{};
  std::size_t depth_ = 0;
};

}  // namespace sidecar::protocol
