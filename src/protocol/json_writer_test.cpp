#include "protocol/json_writer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <string_view>

#include "protocol/byte_sink.h"
#include "protocol/output_buffer.h"

namespace sidecar::protocol {
namespace {

// Runs `build` on a writer over a memory sink and returns the bytes written.
std::string render(const std::function<void(JsonWriter&)>& build) {
  MemorySink sink;
  OutputBuffer buffer(sink);
  JsonWriter json(buffer);
  build(json);
  EXPECT_TRUE(buffer.writeOut().isOk());
  return sink.bytes();
}

std::string stringField(std::string_view value) {
  return render([&](JsonWriter& json) {
    json.beginObject();
    json.fieldString("s", value);
    json.endObject();
  });
}

struct EscapeRow {
  std::string_view input;
  std::string_view expected;  // the JSON string, quotes included
};

TEST(JsonWriterTest, StringEscaping) {
  using namespace std::string_view_literals;
  const EscapeRow rows[] = {
      {"plain", R"("plain")"},
      {"", R"("")"},
      {"a\"b\\c\t", R"("a\"b\\c\t")"},
      {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
      {"\x01", R"("\u0001")"},
      {"x\x1Fy", R"("x\u001fy")"},
      {"\x0B\x1A", R"("\u000b\u001a")"},
      {"\0"sv, R"("\u0000")"},
      {"nul\0inside"sv, R"("nul\u0000inside")"},
      {"\x7F", "\"\x7F\""},
      {"a/b</script>", R"("a/b</script>")"},
      {"caf\xC3\xA9", "\"caf\xC3\xA9\""},
      {"\xE2\x80\xA8\xE2\x80\xA9", "\"\xE2\x80\xA8\xE2\x80\xA9\""},
      {"tick`quote\"", R"("tick`quote\"")"},
      {"line1\nline2\n", R"("line1\nline2\n")"},
      {"\"\"", R"("\"\"")"},
  };
  for (const EscapeRow& row : rows) {
    const std::string expected = "{\"s\":" + std::string(row.expected) + "}";
    EXPECT_EQ(stringField(row.input), expected) << "input of " << row.input.size() << " bytes: " << row.input;
  }
}

// The escaping rules written out byte by byte, to compare against.
std::string referenceEscape(std::string_view text) {
  static constexpr char HEX[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (byte) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out += HEX[byte >> 4];
          out += HEX[byte & 0xF];
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

TEST(JsonWriterTest, EveryByteAtEveryPositionOfAWord) {
  // Strings are scanned several bytes at a time; a byte that needs an escape
  // must be found wherever it sits, and the bytes around it must not be.
  for (int value = 0; value < 256; ++value) {
    for (std::size_t position = 0; position < 17; ++position) {
      std::string text(17, 'a');
      text[position] = static_cast<char>(value);
      const std::string expected = "{\"s\":" + referenceEscape(text) + "}";
      ASSERT_EQ(stringField(text), expected) << "byte " << value << " at " << position;
    }
  }
}

TEST(JsonWriterTest, EveryByteAtEveryPositionOfAWordInALongString) {
  // A string too long to be escaped in place is streamed in runs; the scan
  // for the end of a run must stop at the escape wherever it sits, also in
  // the last, shorter-than-a-word piece.
  const std::size_t length = OutputBuffer::CAPACITY / 6 + 21;
  for (int value = 0; value < 256; ++value) {
    for (std::size_t position = 0; position < length; position += position == 16 ? length - 33 : 1) {
      std::string text(length, 'a');
      text[position] = static_cast<char>(value);
      text[length - 1 - position] = '\\';
      const std::string expected = "{\"s\":" + referenceEscape(text) + "}";
      ASSERT_EQ(stringField(text), expected) << "byte " << value << " at " << position;
    }
  }
}

TEST(JsonWriterTest, PiecesAcrossTheBufferBoundary) {
  // A filler moves the next key and string to every offset around the end
  // of the buffer, so both the in-place and the piecewise paths are taken.
  const std::string tricky = "x\"y\\z\n\x01" + std::string(300, 'q') + "\t\xC3\xA9";
  for (std::size_t filler = OutputBuffer::CAPACITY - 2200; filler < OutputBuffer::CAPACITY; filler += 7) {
    const std::string text = render([&](JsonWriter& json) {
      json.beginObject();
      json.fieldString("f", std::string(filler, 'f'));
      json.fieldString("key", tricky);
      json.fieldU64("n", 18446744073709551615ULL);
      json.endObject();
    });
    const std::string expected = "{\"f\":\"" + std::string(filler, 'f') + "\",\"key\":" + referenceEscape(tricky) +
                                 ",\"n\":18446744073709551615}";
    ASSERT_EQ(text, expected) << "filler " << filler;
  }
}

TEST(JsonWriterTest, EscapedStringLongerThanTheBufferHasNoRawLineFeed) {
  std::string value;
  for (int i = 0; i < 5000; ++i) {
    value += "ab\n\x01";
  }
  const std::string text = stringField(value);
  EXPECT_EQ(text.find('\n'), std::string::npos);
  EXPECT_EQ(text.size(), std::string_view(R"({"s":""})").size() + 5000 * (2 + 2 + 6));
}

TEST(JsonWriterTest, Integers) {
  const std::string text = render([](JsonWriter& json) {
    json.beginObject();
    json.fieldU32("a", 0);
    json.fieldU32("b", std::numeric_limits<std::uint32_t>::max());
    json.fieldU64("c", 0);
    json.fieldU64("d", std::numeric_limits<std::uint64_t>::max());
    json.fieldU64("e", 9007199254740993ULL);
    json.fieldOptionalU64("f", std::nullopt);
    json.fieldOptionalU64("g", 1700000000000ULL);
    json.endObject();
  });
  EXPECT_EQ(text,
            R"({"a":0,"b":4294967295,"c":0,"d":18446744073709551615,"e":9007199254740993,)"
            R"("f":null,"g":1700000000000})");
}

TEST(JsonWriterTest, BooleansAndFloats) {
  const std::string text = render([](JsonWriter& json) {
    json.beginObject();
    json.fieldBool("t", true);
    json.fieldBool("f", false);
    json.fieldFloat32("third", 100.0F / 3.0F);
    json.fieldFloat32("zero", 0.0F);
    json.fieldFloat32("negZero", -0.0F);
    json.fieldFloat32("nan", std::nanf(""));
    json.fieldFloat32("inf", std::numeric_limits<float>::infinity());
    json.fieldFloat32("negInf", -std::numeric_limits<float>::infinity());
    json.fieldFloat32("tiny", 1e-7F);
    json.endObject();
  });
  EXPECT_EQ(text,
            R"({"t":true,"f":false,"third":33.333332,"zero":0.0,"negZero":-0.0,)"
            R"("nan":null,"inf":null,"negInf":null,"tiny":1e-7})");
}

TEST(JsonWriterTest, SeparatorsInNestedObjectsAndArrays) {
  const std::string text = render([](JsonWriter& json) {
    json.beginObject();
    json.beginArrayField("empty");
    json.endArray();
    json.beginObjectField("inner");
    json.endObject();
    json.beginArrayField("list");
    for (std::uint32_t i = 1; i <= 3; ++i) {
      json.beginElement();
      json.beginObject();
      json.fieldU32("i", i);
      json.beginArrayField("deep");
      json.beginElement();
      json.beginObject();
      json.fieldBool("x", true);
      json.fieldBool("y", false);
      json.endObject();
      json.endArray();
      json.endObject();
    }
    json.endArray();
    json.fieldU32("after", 7);
    json.endObject();
    json.endLine();
  });
  EXPECT_EQ(text,
            R"({"empty":[],"inner":{},"list":[{"i":1,"deep":[{"x":true,"y":false}]},)"
            R"({"i":2,"deep":[{"x":true,"y":false}]},{"i":3,"deep":[{"x":true,"y":false}]}],"after":7})"
            "\n");
}

TEST(JsonWriterTest, KeysAreEscapedLikeValues) {
  const std::string text = render([](JsonWriter& json) {
    json.beginObject();
    json.fieldU32("we\"ird", 1);
    json.endObject();
  });
  EXPECT_EQ(text, R"({"we\"ird":1})");
}

TEST(JsonWriterTest, NothingIsAppendedAfterAWriteFailure) {
  MemorySink sink;
  OutputBuffer buffer(sink);
  JsonWriter json(buffer);
  sink.failWith(EPIPE);
  json.beginObject();
  json.fieldString("big", std::string(OutputBuffer::CAPACITY, 'x'));
  EXPECT_EQ(buffer.status().osErrorNumber(), EPIPE);
  const std::size_t buffered = buffer.buffered();
  json.fieldU64("more", 1);
  json.endObject();
  EXPECT_EQ(buffer.buffered(), buffered);
  EXPECT_EQ(buffer.writeOut().osErrorNumber(), EPIPE);
  EXPECT_TRUE(sink.bytes().empty());
}

}  // namespace
}  // namespace sidecar::protocol
