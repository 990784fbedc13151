// The fields of the eight command kinds and their decoding rules: which keys
// exist, the type each key carries (the same in every command that has it),
// which are required, and the collection of a line's field values into a
// Command once the whole value has been read. Owned by the decoder of one
// line; single thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/command.h"
#include "protocol/decode_failure_text.h"
#include "protocol/parse_command_line.h"

namespace sidecar::protocol {

enum class FieldKey : std::uint8_t {
  Version,
  RootPid,
  SampleIntervalMs,
  ExternalProcesses,
  Processes,
  Enabled,
  RequestId,
  WindowMs,
};
inline constexpr std::size_t FIELD_KEY_COUNT = 8;

enum class FieldType : std::uint8_t { U32, U64, Bool, String, List };

/// The key a member name stands for, if it is a field of any command.
std::optional<FieldKey> findFieldKey(std::string_view name);
std::string_view fieldName(FieldKey key);
FieldType fieldType(FieldKey key);
/// The expected text of a field type: "u32", "u64", "a boolean", "a string", "a sequence".
std::string_view expectedText(FieldType type);

enum class Variant : std::uint8_t {
  Configure,
  SetExternalProcesses,
  SetSampleInterval,
  SetStreaming,
  SampleNow,
  ProcessTable,
  ReadHistory,
  Shutdown,
};

/// The command kind named by a tag (exact, case-sensitive).
std::optional<Variant> findVariant(std::string_view tag);
/// Number of fields of a command kind, in declaration order.
std::size_t variantFieldCount(Variant variant);
/// The field at a position of the array form (position < variantFieldCount).
FieldKey variantField(Variant variant, std::size_t position);

/// Decodes a scalar as an unsigned integer of at most `max`, writing it to
/// `out`; returns the failure text otherwise ("invalid type ..." for a value
/// of another kind, "invalid value ..." for an integer out of range).
std::optional<std::string> decodeUnsigned(const FoundValue& value, std::uint64_t max, std::string_view expected,
                                          std::uint64_t& out);

/// The values of the known members of one command line, decoded as they are
/// read, before the command kind is necessarily known.
class CommandFields {
 public:
  /// Object form: a member with this key starts; `order` is its position
  /// among all members. Returns whether its value is to be decoded: only the
  /// first occurrence is; a second is noted as a duplicate.
  bool beginMember(FieldKey key, std::uint32_t order);
  /// Array form: the element at `order` carries this field.
  void beginElement(FieldKey key, std::uint32_t order);

  /// Decodes a scalar value for the current member with this key.
  void setScalar(FieldKey key, const FoundValue& value);
  /// Records the failure of the value of the current member with this key.
  void setFailure(FieldKey key, std::string failure);
  bool hasFailure(FieldKey key) const { return slots_[index(key)].failed; }
  /// The list being decoded for a list-typed key.
  std::vector<ExternalProcess>& list(FieldKey key);

  /// The command of an object-form line of this kind, or the first failure of
  /// its fields in member order, or the first missing required field.
  ParseResult finishObject(Variant variant);
  /// The command of an array-form line with `present` field elements
  /// (counting those beyond the kind's fields).
  ParseResult finishArray(Variant variant, std::size_t present);

 private:
  static constexpr std::uint32_t ABSENT = UINT32_MAX;
  struct Slot {
    std::uint32_t firstOrder = ABSENT;
    std::uint32_t secondOrder = ABSENT;
    std::uint64_t number = 0;
    bool flag = false;
    bool failed = false;
  };
  // The failure of a field's (first) value; rare, so kept apart.
  struct Failure {
    FieldKey key;
    std::string text;
  };
  static std::size_t index(FieldKey key) { return static_cast<std::size_t>(key); }
  std::optional<std::string> firstFailure(Variant variant) const;
  Command build(Variant variant);

  std::array<Slot, FIELD_KEY_COUNT> slots_;
  std::vector<Failure> failures_;
  std::string requestId_;
  std::vector<ExternalProcess> externalProcesses_;
  std::vector<ExternalProcess> processes_;
};

}  // namespace sidecar::protocol
