// The handler of the JSON reader's events for one command line. It follows
// the nesting of the line with a small frame stack (at most MAX_NESTING
// levels; it stops the reader when a deeper level opens), checks the tag as
// soon as it is read, decodes the values of known members into
// CommandFields as they arrive, decodes external-process lists element by
// element, and skips everything else. When the outermost value closes it
// settles the outcome: the Command or the first failure of its fields.
//
// One handler per line and per reading pass; it borrows the line and the
// stream the reader pulls from. Single thread.
#pragma once

#include <rapidjson/rapidjson.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/command_fields.h"
#include "protocol/decode_failure_text.h"
#include "protocol/line_stream.h"
#include "protocol/parse_command_line.h"

namespace sidecar::protocol {

class CommandEventHandler {
 public:
  /// `line` is the original line: number texts and positions are read from
  /// it, whatever copy of it `stream` reads.
  CommandEventHandler(std::string_view line, const LineStream& stream) : line_(line), stream_(stream) {}

  CommandEventHandler(const CommandEventHandler&) = delete;
  CommandEventHandler& operator=(const CommandEventHandler&) = delete;

  // The reader's handler interface. Numbers arrive as text (RawNumber); the
  // typed number events are never used. Returning false stops the reader.
  bool Null();
  bool Bool(bool value);
  bool Int(int) { return false; }
  bool Uint(unsigned) { return false; }
  bool Int64(std::int64_t) { return false; }
  bool Uint64(std::uint64_t) { return false; }
  bool Double(double) { return false; }
  bool RawNumber(const char* text, rapidjson::SizeType length, bool copy);
  bool String(const char* text, rapidjson::SizeType length, bool copy);
  bool StartObject() { return startContainer(true); }
  bool Key(const char* text, rapidjson::SizeType length, bool copy);
  bool EndObject(rapidjson::SizeType) { return endContainer(); }
  bool StartArray() { return startContainer(false); }
  bool EndArray(rapidjson::SizeType) { return endContainer(); }

  /// The outcome, once the handler has settled it: the command when the
  /// outermost value closed and decoded, or the failure that stopped it.
  std::optional<ParseResult>& outcome() { return outcome_; }
  /// Offset just past the last token reported to the handler.
  std::size_t lastEventEnd() const { return lastEventEnd_; }

 private:
  // What kind of container each open level is, as far as decoding goes.
  enum class Frame : std::uint8_t { TopObject, TopArray, List, ProcessObject, ProcessArray, Skip };
  // What the next value is, given where it stands.
  enum class Slot : std::uint8_t { Line, Tag, Field, Element, Pid, StartTime, Ignore };

  // One element of an external-process list being decoded.
  struct ProcessElement {
    ExternalProcess process;
    bool pidSeen = false;
    bool startTimeSeen = false;
    std::uint32_t count = 0;  // elements of the array form
    std::optional<std::string> failure;
  };

  Slot nextSlot();
  bool scalar(const FoundValue& value);
  bool startContainer(bool isObject);
  bool endContainer();
  bool topKey(std::string_view key);
  void processKey(std::string_view key);
  void finishProcessElement(bool isObject);
  bool checkStringToken();
  bool fail(std::string description);
  bool failAt(std::string_view text, std::size_t column);
  bool done() {
    lastEventEnd_ = stream_.Tell();
    return true;
  }

  std::string_view line_;
  const LineStream& stream_;
  std::size_t lastEventEnd_ = 0;
  std::optional<ParseResult> outcome_;

  std::array<Frame, MAX_NESTING> frames_{};
  int depth_ = 0;
  Slot pending_ = Slot::Ignore;  // set by a key for the value that follows
  FieldKey pendingKey_ = FieldKey::Version;

  bool tagSeen_ = false;
  std::optional<Variant> variant_;
  std::uint32_t topCount_ = 0;  // members or elements of the outermost value
  CommandFields fields_;
  FieldKey listKey_ = FieldKey::Processes;
  ProcessElement element_;
};

}  // namespace sidecar::protocol
