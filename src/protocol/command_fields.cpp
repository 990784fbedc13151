#include "protocol/command_fields.h"

#include <utility>

namespace sidecar::protocol {
namespace {

struct FieldInfo {
  std::string_view name;
  FieldType type;
};

constexpr std::array<FieldInfo, FIELD_KEY_COUNT> FIELDS = {{
    {"version", FieldType::U32},
    {"rootPid", FieldType::U32},
    {"sampleIntervalMs", FieldType::U64},
    {"externalProcesses", FieldType::List},
    {"processes", FieldType::List},
    {"enabled", FieldType::Bool},
    {"requestId", FieldType::String},
    {"windowMs", FieldType::U64},
}};

struct VariantInfo {
  std::string_view tag;
  std::string_view lengthText;  // expected text when the array form is too short
  std::size_t fieldCount;
  std::array<FieldKey, 4> fields;
};

using K = FieldKey;
constexpr std::array<VariantInfo, 8> VARIANTS = {{
    {"configure", "struct variant Command::Configure with 4 elements", 4,
     {K::Version, K::RootPid, K::SampleIntervalMs, K::ExternalProcesses}},
    {"setExternalProcesses", "struct variant Command::SetExternalProcesses with 2 elements", 2,
     {K::Version, K::Processes}},
    {"setSampleInterval", "struct variant Command::SetSampleInterval with 2 elements", 2,
     {K::Version, K::SampleIntervalMs}},
    {"setStreaming", "struct variant Command::SetStreaming with 2 elements", 2, {K::Version, K::Enabled}},
    {"sampleNow", "struct variant Command::SampleNow with 2 elements", 2, {K::Version, K::RequestId}},
    {"processTable", "struct variant Command::ProcessTable with 2 elements", 2, {K::Version, K::RequestId}},
    {"readHistory", "struct variant Command::ReadHistory with 3 elements", 3,
     {K::Version, K::RequestId, K::WindowMs}},
    {"shutdown", "struct variant Command::Shutdown with 1 element", 1, {K::Version}},
}};

const VariantInfo& info(Variant variant) { return VARIANTS[static_cast<std::size_t>(variant)]; }

// Only the external-process list of configure may be left out.
bool isRequired(Variant variant, FieldKey key) {
  return !(variant == Variant::Configure && key == FieldKey::ExternalProcesses);
}

}  // namespace

std::optional<FieldKey> findFieldKey(std::string_view name) {
  for (std::size_t i = 0; i < FIELDS.size(); ++i) {
    if (FIELDS[i].name == name) {
      return static_cast<FieldKey>(i);
    }
  }
  return std::nullopt;
}

std::string_view fieldName(FieldKey key) { return FIELDS[static_cast<std::size_t>(key)].name; }

FieldType fieldType(FieldKey key) { return FIELDS[static_cast<std::size_t>(key)].type; }

std::string_view expectedText(FieldType type) {
  switch (type) {
    case FieldType::U32: return "u32";
    case FieldType::U64: return "u64";
    case FieldType::Bool: return "a boolean";
    case FieldType::String: return "a string";
    case FieldType::List: return "a sequence";
  }
  return "a sequence";
}

std::optional<Variant> findVariant(std::string_view tag) {
  for (std::size_t i = 0; i < VARIANTS.size(); ++i) {
    if (VARIANTS[i].tag == tag) {
      return static_cast<Variant>(i);
    }
  }
  return std::nullopt;
}

std::size_t variantFieldCount(Variant variant) { return info(variant).fieldCount; }

FieldKey variantField(Variant variant, std::size_t position) { return info(variant).fields[position]; }

std::optional<std::string> decodeUnsigned(const FoundValue& value, std::uint64_t max, std::string_view expected,
                                          std::uint64_t& out) {
  if (value.kind != FoundValue::Kind::Number || value.number.kind == JsonNumber::Kind::Float) {
    return invalidTypeText(value, expected);
  }
  if (value.number.kind == JsonNumber::Kind::Negative || value.number.unsignedValue > max) {
    return invalidValueText(value, expected);
  }
  out = value.number.unsignedValue;
  return std::nullopt;
}

bool CommandFields::beginMember(FieldKey key, std::uint32_t order) {
  Slot& slot = slots_[index(key)];
  if (slot.firstOrder == ABSENT) {
    slot.firstOrder = order;
    return true;
  }
  if (slot.secondOrder == ABSENT) {
    slot.secondOrder = order;
  }
  return false;
}

void CommandFields::beginElement(FieldKey key, std::uint32_t order) { slots_[index(key)].firstOrder = order; }

void CommandFields::setScalar(FieldKey key, const FoundValue& value) {
  Slot& slot = slots_[index(key)];
  const FieldType type = fieldType(key);
  std::optional<std::string> failure;
  switch (type) {
    case FieldType::U32:
      failure = decodeUnsigned(value, UINT32_MAX, "u32", slot.number);
      break;
    case FieldType::U64:
      failure = decodeUnsigned(value, UINT64_MAX, "u64", slot.number);
      break;
    case FieldType::Bool:
      if (value.kind == FoundValue::Kind::Bool) {
        slot.flag = value.boolean;
      } else {
        failure = invalidTypeText(value, expectedText(type));
      }
      break;
    case FieldType::String:
      if (value.kind == FoundValue::Kind::String) {
        requestId_.assign(value.text);
      } else {
        failure = invalidTypeText(value, expectedText(type));
      }
      break;
    case FieldType::List:
      failure = invalidTypeText(value, expectedText(type));
      break;
  }
  if (failure) {
    setFailure(key, std::move(*failure));
  }
}

void CommandFields::setFailure(FieldKey key, std::string failure) {
  Slot& slot = slots_[index(key)];
  if (!slot.failed) {
    slot.failed = true;
    failures_.push_back(Failure{key, std::move(failure)});
  }
}

std::vector<ExternalProcess>& CommandFields::list(FieldKey key) {
  return key == FieldKey::Processes ? processes_ : externalProcesses_;
}

std::optional<std::string> CommandFields::firstFailure(Variant variant) const {
  // The fields are decoded in member order: the earliest failing value or
  // repeated key among this kind's fields is the one reported.
  const VariantInfo& v = info(variant);
  std::uint32_t bestOrder = ABSENT;
  std::optional<std::string> best;
  for (std::size_t i = 0; i < v.fieldCount; ++i) {
    const Slot& slot = slots_[index(v.fields[i])];
    if (slot.failed && slot.firstOrder < bestOrder) {
      bestOrder = slot.firstOrder;
      for (const Failure& failure : failures_) {
        if (failure.key == v.fields[i]) best = failure.text;
      }
    }
    if (slot.secondOrder < bestOrder) {
      bestOrder = slot.secondOrder;
      best = duplicateFieldText(fieldName(v.fields[i]));
    }
  }
  return best;
}

ParseResult CommandFields::finishObject(Variant variant) {
  if (auto failure = firstFailure(variant)) {
    return ParseResult::failure(std::move(*failure));
  }
  const VariantInfo& v = info(variant);
  for (std::size_t i = 0; i < v.fieldCount; ++i) {
    if (slots_[index(v.fields[i])].firstOrder == ABSENT && isRequired(variant, v.fields[i])) {
      return ParseResult::failure(missingFieldText(fieldName(v.fields[i])));
    }
  }
  return ParseResult::success(build(variant));
}

ParseResult CommandFields::finishArray(Variant variant, std::size_t present) {
  if (auto failure = firstFailure(variant)) {
    return ParseResult::failure(std::move(*failure));
  }
  const VariantInfo& v = info(variant);
  if (present < v.fieldCount && isRequired(variant, v.fields[present])) {
    return ParseResult::failure(invalidLengthText(present, v.lengthText));
  }
  if (present > v.fieldCount) {
    return ParseResult::failure(invalidLengthText(present, elementsInSequenceText(v.fieldCount)));
  }
  return ParseResult::success(build(variant));
}

Command CommandFields::build(Variant variant) {
  auto u32 = [this](FieldKey key) { return static_cast<std::uint32_t>(slots_[index(key)].number); };
  auto u64 = [this](FieldKey key) { return slots_[index(key)].number; };
  const std::uint32_t version = u32(FieldKey::Version);
  switch (variant) {
    case Variant::Configure:
      return Configure{version, u32(FieldKey::RootPid), u64(FieldKey::SampleIntervalMs),
                       std::move(externalProcesses_)};
    case Variant::SetExternalProcesses:
      return SetExternalProcesses{version, std::move(processes_)};
    case Variant::SetSampleInterval:
      return SetSampleInterval{version, u64(FieldKey::SampleIntervalMs)};
    case Variant::SetStreaming:
      return SetStreaming{version, slots_[index(FieldKey::Enabled)].flag};
    case Variant::SampleNow:
      return SampleNow{version, std::move(requestId_)};
    case Variant::ProcessTable:
      return ProcessTable{version, std::move(requestId_)};
    case Variant::ReadHistory:
      return ReadHistory{version, std::move(requestId_), u64(FieldKey::WindowMs)};
    case Variant::Shutdown:
      break;
  }
  return Shutdown{version};
}

}  // namespace sidecar::protocol
