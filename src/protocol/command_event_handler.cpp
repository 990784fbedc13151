#include "protocol/command_event_handler.h"

#include <utility>

#include "protocol/json_number.h"
#include "protocol/json_string_check.h"
#include "protocol/json_syntax_error.h"

namespace sidecar::protocol {
namespace {

constexpr std::string_view TAG_KEY = "type";
constexpr std::string_view WHOLE_LINE_EXPECTED = "internally tagged enum Command";
constexpr std::string_view TAG_EXPECTED = "variant identifier";
constexpr std::string_view ELEMENT_EXPECTED = "struct ExternalProcess";
constexpr std::string_view ELEMENT_LENGTH_EXPECTED = "struct ExternalProcess with 2 elements";

FoundValue containerValue(bool isObject) {
  FoundValue value;
  value.kind = isObject ? FoundValue::Kind::Map : FoundValue::Kind::Sequence;
  return value;
}

// A \u escape of a lone trailing surrogate comes out of the reader as the
// bytes ED B0..BF, which valid UTF-8 input never holds.
bool mayHoldLoneSurrogate(std::string_view text) {
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i]) == 0xED && (static_cast<unsigned char>(text[i + 1]) & 0xF0) == 0xB0) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool CommandEventHandler::fail(std::string description) {
  outcome_ = ParseResult::failure(std::move(description));
  return false;
}

bool CommandEventHandler::failAt(std::string_view text, std::size_t column) {
  return fail(withPosition(text, column));
}

CommandEventHandler::Slot CommandEventHandler::nextSlot() {
  if (depth_ == 0) {
    return Slot::Line;
  }
  switch (frames_[static_cast<std::size_t>(depth_ - 1)]) {
    case Frame::TopObject:
    case Frame::ProcessObject: {
      const Slot slot = pending_;
      pending_ = Slot::Ignore;
      return slot;
    }
    case Frame::TopArray: {
      const std::uint32_t index = topCount_++;
      if (index == 0) {
        return Slot::Tag;
      }
      // The tag has been accepted, so the command kind is known.
      const std::size_t position = index - 1;
      if (position >= variantFieldCount(*variant_)) {
        return Slot::Ignore;
      }
      pendingKey_ = variantField(*variant_, position);
      fields_.beginElement(pendingKey_, static_cast<std::uint32_t>(position));
      return Slot::Field;
    }
    case Frame::List:
      return fields_.hasFailure(listKey_) ? Slot::Ignore : Slot::Element;
    case Frame::ProcessArray: {
      const std::uint32_t index = element_.count++;
      if (element_.failure || index > 1) {
        return Slot::Ignore;
      }
      return index == 0 ? Slot::Pid : Slot::StartTime;
    }
    case Frame::Skip:
      break;
  }
  return Slot::Ignore;
}

bool CommandEventHandler::scalar(const FoundValue& value) {
  const std::size_t column = stream_.Tell();  // the value's last byte
  switch (nextSlot()) {
    case Slot::Line:
      return failAt(invalidTypeText(value, WHOLE_LINE_EXPECTED), column);
    case Slot::Tag:
      if (value.kind != FoundValue::Kind::String) {
        return failAt(invalidTypeText(value, TAG_EXPECTED), column);
      }
      variant_ = findVariant(value.text);
      if (!variant_) {
        return failAt(unknownVariantText(value.text), column);
      }
      break;
    case Slot::Field:
      fields_.setScalar(pendingKey_, value);
      break;
    case Slot::Element:
      fields_.setFailure(listKey_, invalidTypeText(value, ELEMENT_EXPECTED));
      break;
    case Slot::Pid: {
      std::uint64_t pid = 0;
      element_.failure = decodeUnsigned(value, UINT32_MAX, "u32", pid);
      element_.process.pid = static_cast<std::uint32_t>(pid);
      break;
    }
    case Slot::StartTime:
      if (value.kind != FoundValue::Kind::Null) {
        std::uint64_t startTime = 0;
        element_.failure = decodeUnsigned(value, UINT64_MAX, "u64", startTime);
        element_.process.startTimeMs = startTime;
      }
      break;
    case Slot::Ignore:
      break;
  }
  return done();
}

bool CommandEventHandler::Null() { return scalar(FoundValue{}); }

bool CommandEventHandler::Bool(bool flag) {
  FoundValue value;
  value.kind = FoundValue::Kind::Bool;
  value.boolean = flag;
  return scalar(value);
}

bool CommandEventHandler::RawNumber(const char*, rapidjson::SizeType length, bool) {
  // The text comes from the original line: the reader may be reading a copy
  // in which large numbers were blanked out (see neutralizeNumbers).
  const std::size_t end = stream_.Tell();
  const std::string_view text = line_.substr(end - length, length);
  if ((text == "0" || text == "-0") && end < line_.size() && line_[end] >= '0' && line_[end] <= '9') {
    return failAt(syntaxErrorText(SyntaxError::InvalidNumber), end + 1);  // a leading zero
  }
  const std::optional<JsonNumber> number = readJsonNumber(text);
  if (!number) {
    return failAt(syntaxErrorText(SyntaxError::NumberOutOfRange), end);
  }
  FoundValue value;
  value.kind = FoundValue::Kind::Number;
  value.number = *number;
  return scalar(value);
}

bool CommandEventHandler::checkStringToken() {
  const std::size_t quote = line_.find('"', lastEventEnd_);
  if (quote == std::string_view::npos) {
    return true;
  }
  if (const auto fault = protocol::checkStringToken(line_, quote)) {
    return fail(describeSyntaxFault(*fault));
  }
  return true;
}

bool CommandEventHandler::String(const char* text, rapidjson::SizeType length, bool) {
  FoundValue value;
  value.kind = FoundValue::Kind::String;
  value.text = std::string_view(text, length);
  if (mayHoldLoneSurrogate(value.text) && !checkStringToken()) {
    return false;
  }
  return scalar(value);
}

bool CommandEventHandler::Key(const char* text, rapidjson::SizeType length, bool) {
  const std::string_view key(text, length);
  if (mayHoldLoneSurrogate(key) && !checkStringToken()) {
    return false;
  }
  switch (frames_[static_cast<std::size_t>(depth_ - 1)]) {
    case Frame::TopObject:
      if (!topKey(key)) {
        return false;
      }
      break;
    case Frame::ProcessObject:
      processKey(key);
      break;
    default:
      break;
  }
  return done();
}

bool CommandEventHandler::topKey(std::string_view key) {
  const std::uint32_t order = topCount_++;
  if (key == TAG_KEY) {
    if (tagSeen_) {
      return failAt(duplicateFieldText(TAG_KEY), stream_.Tell());  // the key's closing quote
    }
    tagSeen_ = true;
    pending_ = Slot::Tag;
    return true;
  }
  const std::optional<FieldKey> field = findFieldKey(key);
  if (field && fields_.beginMember(*field, order)) {
    pending_ = Slot::Field;
    pendingKey_ = *field;
  } else {
    pending_ = Slot::Ignore;
  }
  return true;
}

void CommandEventHandler::processKey(std::string_view key) {
  pending_ = Slot::Ignore;
  if (element_.failure) {
    return;
  }
  const bool isPid = key == "pid";
  if (!isPid && key != "startTimeMs") {
    return;
  }
  bool& seen = isPid ? element_.pidSeen : element_.startTimeSeen;
  if (seen) {
    element_.failure = duplicateFieldText(key);
    return;
  }
  seen = true;
  pending_ = isPid ? Slot::Pid : Slot::StartTime;
}

bool CommandEventHandler::startContainer(bool isObject) {
  if (depth_ >= MAX_NESTING) {
    return failAt(syntaxErrorText(SyntaxError::RecursionLimitExceeded), stream_.Tell());  // the bracket
  }
  Frame frame = Frame::Skip;
  switch (nextSlot()) {
    case Slot::Line:
      frame = isObject ? Frame::TopObject : Frame::TopArray;
      break;
    case Slot::Tag:
      // Reported before the bracket is consumed: at the byte before it.
      return failAt(invalidTypeText(containerValue(isObject), TAG_EXPECTED), stream_.Tell() - 1);
    case Slot::Field:
      if (!isObject && fieldType(pendingKey_) == FieldType::List) {
        listKey_ = pendingKey_;
        frame = Frame::List;
      } else {
        fields_.setFailure(pendingKey_, invalidTypeText(containerValue(isObject), expectedText(fieldType(pendingKey_))));
      }
      break;
    case Slot::Element:
      element_ = ProcessElement{};
      frame = isObject ? Frame::ProcessObject : Frame::ProcessArray;
      break;
    case Slot::Pid:
      element_.failure = invalidTypeText(containerValue(isObject), "u32");
      break;
    case Slot::StartTime:
      element_.failure = invalidTypeText(containerValue(isObject), "u64");
      break;
    case Slot::Ignore:
      break;
  }
  frames_[static_cast<std::size_t>(depth_++)] = frame;
  return done();
}

void CommandEventHandler::finishProcessElement(bool isObject) {
  if (!element_.failure) {
    if (isObject && !element_.pidSeen) {
      element_.failure = missingFieldText("pid");
    } else if (!isObject && element_.count == 0) {
      element_.failure = invalidLengthText(0, ELEMENT_LENGTH_EXPECTED);
    } else if (!isObject && element_.count > 2) {
      element_.failure = invalidLengthText(element_.count, elementsInSequenceText(2));
    }
  }
  if (element_.failure) {
    fields_.setFailure(listKey_, std::move(*element_.failure));
  } else {
    std::vector<ExternalProcess>& list = fields_.list(listKey_);
    if (list.empty()) {
      list.reserve(4);
    }
    list.push_back(element_.process);
  }
}

bool CommandEventHandler::endContainer() {
  const Frame frame = frames_[static_cast<std::size_t>(--depth_)];
  switch (frame) {
    case Frame::TopObject:
    case Frame::TopArray: {
      const bool isObject = frame == Frame::TopObject;
      if (isObject ? !tagSeen_ : topCount_ == 0) {
        return failAt(missingFieldText(TAG_KEY), stream_.Tell());  // the closing bracket
      }
      outcome_ = isObject ? fields_.finishObject(*variant_) : fields_.finishArray(*variant_, topCount_ - 1);
      if (!outcome_->command) {
        return false;
      }
      break;
    }
    case Frame::ProcessObject:
    case Frame::ProcessArray:
      finishProcessElement(frame == Frame::ProcessObject);
      break;
    case Frame::List:
    case Frame::Skip:
      break;
  }
  return done();
}

}  // namespace sidecar::protocol
