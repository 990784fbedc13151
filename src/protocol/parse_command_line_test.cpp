#include "protocol/parse_command_line.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <string>
#include <vector>

#include "test_support/protocol/command_line_encoder.h"

namespace sidecar::protocol {
namespace {

using namespace std::string_literals;

const std::string VARIANTS =
    "one of `configure`, `setExternalProcesses`, `setSampleInterval`, `setStreaming`, `sampleNow`, "
    "`processTable`, `readHistory`, `shutdown`";

// The line as printed with a failing row; long lines are cut short.
std::string shown(const std::string& line) {
  return line.size() <= 160 ? line : line.substr(0, 160) + "... (" + std::to_string(line.size()) + " bytes)";
}

struct Refusal {
  std::string line;
  std::string description;
};

void expectRefusals(const std::vector<Refusal>& rows) {
  for (const Refusal& row : rows) {
    const ParseResult result = parseCommandLine(row.line);
    EXPECT_FALSE(result.command.has_value()) << "line: " << shown(row.line);
    EXPECT_EQ(result.error, row.description) << "line: " << shown(row.line);
  }
}

struct Acceptance {
  std::string line;
  Command command;
};

void expectAcceptances(const std::vector<Acceptance>& rows) {
  for (const Acceptance& row : rows) {
    const ParseResult result = parseCommandLine(row.line);
    ASSERT_TRUE(result.command.has_value()) << "line: " << shown(row.line) << "\nrefused: " << result.error;
    EXPECT_TRUE(result.error.empty()) << "line: " << shown(row.line);
    EXPECT_EQ(*result.command, row.command) << "line: " << shown(row.line);
  }
}

TEST(ParseCommandLineTest, DecodesTheDocumentedEdgeCases) {
  expectAcceptances({
      {R"({"type":"shutdown","version":3})", Shutdown{3}},
      {R"({"version":3,"type":"shutdown","extra":{"a":[1,2]}})", Shutdown{3}},
      {R"({"type":"setExternalProcesses","version":3,"processes":[{"pid":7,"startTimeMs":null}]})",
       SetExternalProcesses{3, {ExternalProcess{7, std::nullopt}}}},
      {R"({"type":"configure","version":3,"rootPid":1,"sampleIntervalMs":1000})", Configure{3, 1, 1000, {}}},
      {R"(["shutdown",3])", Shutdown{3}},
      {R"({"type":"shutdown","version":2})", Shutdown{2}},
  });
  expectRefusals({
      {R"({"type":"shutdown"})", "missing field `version`"},
      {R"({"version":3})", "missing field `type` at line 1 column 13"},
      {R"({"type":"launch","version":3})", "unknown variant `launch`, expected " + VARIANTS + " at line 1 column 16"},
      {R"({"type":"Shutdown","version":3})", "unknown variant `Shutdown`, expected " + VARIANTS + " at line 1 column 18"},
      {R"({"type":5})", "invalid type: integer `5`, expected variant identifier at line 1 column 9"},
      {R"({"type":"shutdown","type":"x"})", "duplicate field `type` at line 1 column 25"},
      {R"({"type":"shutdown","version":"3"})", R"(invalid type: string "3", expected u32)"},
      {R"({"type":"shutdown","version":-1})", "invalid value: integer `-1`, expected u32"},
      {R"({"type":"shutdown","version":4294967296})", "invalid value: integer `4294967296`, expected u32"},
      {R"({"type":"shutdown","version":3.0})", "invalid type: floating point `3.0`, expected u32"},
      {R"({"type":"setStreaming","version":3,"enabled":1})", "invalid type: integer `1`, expected a boolean"},
      {R"({"type":"sampleNow","version":3,"requestId":null})", "invalid type: null, expected a string"},
      {R"({"type":"readHistory","version":3,"requestId":"r1"})", "missing field `windowMs`"},
      {R"({"type":"setExternalProcesses","version":3,"processes":[{"startTimeMs":5}]})", "missing field `pid`"},
      {R"({"type":"configure","version":3,"rootPid":1,"sampleIntervalMs":1000,"externalProcesses":null})",
       "invalid type: null, expected a sequence"},
      {R"({"type":"shutdown","version":3,"version":3})", "duplicate field `version`"},
      {"42", "invalid type: integer `42`, expected internally tagged enum Command at line 1 column 2"},
      {R"(["shutdown"])", "invalid length 0, expected struct variant Command::Shutdown with 1 element"},
      {R"({"type":"shutdown","version":3} x)", "trailing characters at line 1 column 33"},
      {R"({"type":"shutdown",})", "trailing comma at line 1 column 20"},
      {R"({"type":"shutdown")", "EOF while parsing an object at line 1 column 18"},
  });
}

TEST(ParseCommandLineTest, DecodesEveryCommandKind) {
  expectAcceptances({
      {R"({"type":"configure","version":3,"rootPid":42,"sampleIntervalMs":250,)"
       R"("externalProcesses":[{"pid":7,"startTimeMs":1700000000000},[8],[9,null],[10,5],{"pid":11}]})",
       Configure{3, 42, 250,
                 {ExternalProcess{7, 1700000000000}, ExternalProcess{8, std::nullopt},
                  ExternalProcess{9, std::nullopt}, ExternalProcess{10, 5}, ExternalProcess{11, std::nullopt}}}},
      {R"({"type":"setExternalProcesses","version":3,"processes":[]})", SetExternalProcesses{3, {}}},
      {R"({"type":"setSampleInterval","version":3,"sampleIntervalMs":18446744073709551615})",
       SetSampleInterval{3, 18446744073709551615u}},
      {R"({"type":"setStreaming","version":3,"enabled":false})", SetStreaming{3, false}},
      {R"({"type":"sampleNow","version":4294967295,"requestId":""})", SampleNow{4294967295u, ""}},
      {R"({"type":"processTable","version":3,"requestId":"t-1"})", ProcessTable{3, "t-1"}},
      {R"({"type":"readHistory","version":3,"requestId":"r","windowMs":0})", ReadHistory{3, "r", 0}},
      // Escapes are decoded in keys, tags and values; a surrogate pair is one character.
      {R"({"ty\u0070e":"sample\u004eow","version":3,"requestId":"a\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00\u0000"})",
       SampleNow{3, "a\"\\/\b\f\n\r\t\xC3\xA9\xF0\x9F\x98\x80\0"s}},
      // JSON whitespace around the value and between tokens.
      {" \t{ \"type\" : \"shutdown\" ,\r\n\"version\" : 3 }\r\n\t ", Shutdown{3}},
      // Keys of other kinds and unknown keys are skipped whatever their value, even repeated.
      {R"({"type":"shutdown","version":3,"rootPid":"x","rootPid":[],"x":1,"x":{"y":[true,"\u0065"]}})", Shutdown{3}},
      {R"({"type":"shutdown","version":3,"n":[0e400,-0E+999,1e-400,0.0e309,1.5,-7,true,null]})", Shutdown{3}},
  });
}

TEST(ParseCommandLineTest, DecodesTheArrayForm) {
  expectAcceptances({
      {R"(["configure",3,1,1000])", Configure{3, 1, 1000, {}}},
      {R"(["configure",3,1,1000,[[7,5],{"pid":8}]])",
       Configure{3, 1, 1000, {ExternalProcess{7, 5}, ExternalProcess{8, std::nullopt}}}},
      {R"(["setExternalProcesses",3,[[1]]])", SetExternalProcesses{3, {ExternalProcess{1, std::nullopt}}}},
      {R"(["setSampleInterval",3,250])", SetSampleInterval{3, 250}},
      {R"(["setStreaming",3,true])", SetStreaming{3, true}},
      {R"(["sampleNow",3,"s"])", SampleNow{3, "s"}},
      {R"(["processTable",3,"t"])", ProcessTable{3, "t"}},
      {R"(["readHistory",3,"r",60000])", ReadHistory{3, "r", 60000}},
  });
  expectRefusals({
      {"[]", "missing field `type` at line 1 column 2"},
      {"[5]", "invalid type: integer `5`, expected variant identifier at line 1 column 2"},
      {R"(["launch"])", "unknown variant `launch`, expected " + VARIANTS + " at line 1 column 9"},
      {R"([[],3])", "invalid type: sequence, expected variant identifier at line 1 column 1"},
      {R"(["shutdown",3,4])", "invalid length 2, expected 1 element in sequence"},
      {R"(["configure",3,1])", "invalid length 2, expected struct variant Command::Configure with 4 elements"},
      {R"(["configure",3,1,1000,[],0])", "invalid length 5, expected 4 elements in sequence"},
      {R"(["setExternalProcesses",3])",
       "invalid length 1, expected struct variant Command::SetExternalProcesses with 2 elements"},
      {R"(["setSampleInterval",3])",
       "invalid length 1, expected struct variant Command::SetSampleInterval with 2 elements"},
      {R"(["setStreaming",3])", "invalid length 1, expected struct variant Command::SetStreaming with 2 elements"},
      {R"(["sampleNow",3])", "invalid length 1, expected struct variant Command::SampleNow with 2 elements"},
      {R"(["processTable"])", "invalid length 0, expected struct variant Command::ProcessTable with 2 elements"},
      {R"(["readHistory",3,"r"])", "invalid length 2, expected struct variant Command::ReadHistory with 3 elements"},
      {R"(["readHistory",3,"r",1,2,3])", "invalid length 5, expected 3 elements in sequence"},
      // A wrong field comes before a wrong length.
      {R"(["shutdown","x",4])", R"(invalid type: string "x", expected u32)"},
      {R"(["sampleNow",3,7])", "invalid type: integer `7`, expected a string"},
  });
}

TEST(ParseCommandLineTest, RefusesLinesThatAreNotACommandAtTheirLastByte) {
  expectRefusals({
      {R"("abc")", R"(invalid type: string "abc", expected internally tagged enum Command at line 1 column 5)"},
      {"true", "invalid type: boolean `true`, expected internally tagged enum Command at line 1 column 4"},
      {"false ", "invalid type: boolean `false`, expected internally tagged enum Command at line 1 column 5"},
      {"null", "invalid type: null, expected internally tagged enum Command at line 1 column 4"},
      {"-0", "invalid type: floating point `-0.0`, expected internally tagged enum Command at line 1 column 2"},
      {"  3.0  ", "invalid type: floating point `3.0`, expected internally tagged enum Command at line 1 column 5"},
      // The value fails before what follows it is looked at.
      {"42 x", "invalid type: integer `42`, expected internally tagged enum Command at line 1 column 2"},
      {"{}", "missing field `type` at line 1 column 2"},
      {R"({"a":1}})", "missing field `type` at line 1 column 7"},
  });
}

TEST(ParseCommandLineTest, RefusesABadTagWhereItIsRead) {
  expectRefusals({
      {R"({"type":[1]})", "invalid type: sequence, expected variant identifier at line 1 column 8"},
      {R"({"type": {"a":[}})", "invalid type: map, expected variant identifier at line 1 column 9"},
      {R"({"type":null})", "invalid type: null, expected variant identifier at line 1 column 12"},
      {R"({"type":true})", "invalid type: boolean `true`, expected variant identifier at line 1 column 12"},
      {R"({"type":1.5})", "invalid type: floating point `1.5`, expected variant identifier at line 1 column 11"},
      {R"({"type":"a\"b"})", "unknown variant `a\"b`, expected " + VARIANTS + " at line 1 column 14"},
      {R"({"type":"shutdown","version":3,"type":"shutdown"})", "duplicate field `type` at line 1 column 37"},
      // A bad tag comes before later syntax errors and before any field failure.
      {R"({"type":"launch","version":)", "unknown variant `launch`, expected " + VARIANTS + " at line 1 column 16"},
      {R"({"version":"x","type":"launch"})", "unknown variant `launch`, expected " + VARIANTS + " at line 1 column 30"},
      // A syntax error comes before a field failure, which comes before trailing characters.
      {R"({"type":"shutdown","version":"x","a":tru})", "expected ident at line 1 column 41"},
      {R"({"type":"shutdown","version":"3"} x)", R"(invalid type: string "3", expected u32)"},
      {R"({"version":3,"type":"shutdown",)", "EOF while parsing a value at line 1 column 31"},
  });
}

TEST(ParseCommandLineTest, NamesEverySyntaxErrorWithItsColumn) {
  expectRefusals({
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   ", "EOF while parsing a value at line 1 column 3"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {R"({"a":[)", "EOF while parsing a list at line 1 column 6"},
      {R"({"a":[1)", "EOF while parsing a list at line 1 column 7"},
      {R"({"a":[1,)", "EOF while parsing a value at line 1 column 8"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {R"({"a")", "EOF while parsing an object at line 1 column 4"},
      {R"({"a":)", "EOF while parsing a value at line 1 column 5"},
      {R"({"a":1)", "EOF while parsing an object at line 1 column 6"},
      {R"({"a":1,)", "EOF while parsing a value at line 1 column 7"},
      {R"({"a)", "EOF while parsing a string at line 1 column 3"},
      {R"({"a":"\)", "EOF while parsing a string at line 1 column 7"},
      {R"({"a":"\u12)", "EOF while parsing a string at line 1 column 10"},
      {R"({"a":"\uD800)", "EOF while parsing a string at line 1 column 12"},
      {R"({"a":"\uD800\)", "EOF while parsing a string at line 1 column 13"},
      {R"({"a":nul)", "EOF while parsing a value at line 1 column 8"},
      {R"({"a":-)", "EOF while parsing a value at line 1 column 6"},
      {R"({"a":1.)", "EOF while parsing a value at line 1 column 7"},
      {R"({"a":1e+)", "EOF while parsing a value at line 1 column 8"},
      {R"({"a" 1})", "expected `:` at line 1 column 6"},
      {R"({"a":[1 2]})", "expected `,` or `]` at line 1 column 9"},
      {R"({"a":1 "b":2})", "expected `,` or `}` at line 1 column 8"},
      {R"({"a":tru})", "expected ident at line 1 column 9"},
      {R"({"a":nulL})", "expected ident at line 1 column 9"},
      {R"({"a":x})", "expected value at line 1 column 6"},
      {R"({"a":})", "expected value at line 1 column 6"},
      {R"({"a":[1,,2]})", "expected value at line 1 column 9"},
      {R"({"a":[}})", "expected value at line 1 column 7"},
      {R"([,])", "expected value at line 1 column 2"},
      {R"({"a":"\q"})", "invalid escape at line 1 column 8"},
      {R"({"a":"\u12G4"})", "invalid escape at line 1 column 12"},
      {R"({"a":"\u12"}  )", "invalid escape at line 1 column 12"},
      {R"({"a":-x})", "invalid number at line 1 column 7"},
      {R"({"a":1.})", "invalid number at line 1 column 8"},
      {R"({"a":1e})", "invalid number at line 1 column 8"},
      {R"({"a":01})", "invalid number at line 1 column 7"},
      {R"({"a":-01})", "invalid number at line 1 column 8"},
      {"01", "invalid number at line 1 column 2"},
      {R"({"a":1.5e400})", "number out of range at line 1 column 12"},
      {R"({"a":-1e309,"b":2})", "number out of range at line 1 column 11"},
      {R"({"a":)" + "1"s + std::string(400, '0') + "}", "number out of range at line 1 column 406"},
      {R"({"a":"\uDC00"})", "lone leading surrogate in hex escape at line 1 column 12"},
      {R"({"a":"\uD800\u0041"})", "lone leading surrogate in hex escape at line 1 column 18"},
      {R"({"a":"\uD800\uD800"})", "lone leading surrogate in hex escape at line 1 column 18"},
      {R"({"\uDFFF":1})", "lone leading surrogate in hex escape at line 1 column 8"},
      {R"({"a":"\uD800x"})", "unexpected end of hex escape at line 1 column 13"},
      {R"({"a":"\uD800\x"})", "unexpected end of hex escape at line 1 column 14"},
      {R"({"a":"\uD800"})", "unexpected end of hex escape at line 1 column 13"},
      {"{\"a\":\"x\ty\"}", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 8"},
      {"{\"a\":\"x\x1Fy\"}", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 8"},
      {R"({1:2})", "key must be a string at line 1 column 2"},
      {R"({,})", "key must be a string at line 1 column 2"},
      {R"(["shutdown",3,])", "trailing comma at line 1 column 15"},
      {R"({"a":[1, ] })", "trailing comma at line 1 column 10"},
      {R"({"type":"shutdown","version":3}})", "trailing characters at line 1 column 32"},
      {R"(["shutdown",3]])", "trailing characters at line 1 column 15"},
  });
}

TEST(ParseCommandLineTest, TellsANulByteFromTheEndOfTheLine) {
  expectRefusals({
      {"\0"s, "expected value at line 1 column 1"},
      {"{\"a\":\"x\0y\"}"s, "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 8"},
      {"{\"a\":1\0}"s, "expected `,` or `}` at line 1 column 7"},
      {"[\"shutdown\"\0]"s, "expected `,` or `]` at line 1 column 12"},
      {"{\"a\"\0:1}"s, "expected `:` at line 1 column 5"},
      {"{\0}"s, "key must be a string at line 1 column 2"},
      {"[\"shutdown\",\0]"s, "expected value at line 1 column 13"},
      {"{\"a\":tr\0e}"s, "expected ident at line 1 column 8"},
      {"{\"a\":-\0}"s, "invalid number at line 1 column 7"},
      {"{\"a\":1.\0}"s, "invalid number at line 1 column 8"},
      {"{\"type\":\"shutdown\",\"version\":3}\0"s, "trailing characters at line 1 column 32"},
  });
  // An escaped NUL is an ordinary character.
  expectAcceptances({{R"({"type":"sampleNow","version":3,"requestId":"\u0000"})", SampleNow{3, "\0"s}}});
}

TEST(ParseCommandLineTest, OnlySpaceTabCarriageReturnAndLineFeedMaySurroundTheValue) {
  const std::string command = R"({"type":"shutdown","version":3})";
  expectRefusals({
      {"\f" + command, "expected value at line 1 column 1"},
      {"\v" + command, "expected value at line 1 column 1"},
      {" \xC2\xA0" + command, "expected value at line 1 column 2"},
      {command + " \f", "trailing characters at line 1 column 33"},
      {command + "\v", "trailing characters at line 1 column 32"},
      {command + "\xC2\xA0", "trailing characters at line 1 column 32"},
  });
}

TEST(ParseCommandLineTest, ReadsNumbersByTheirText) {
  expectRefusals({
      {R"({"type":"shutdown","version":3e0})", "invalid type: floating point `3.0`, expected u32"},
      {R"({"type":"shutdown","version":-0})", "invalid type: floating point `-0.0`, expected u32"},
      {R"({"type":"shutdown","version":1e20})", "invalid type: floating point `1e+20`, expected u32"},
      {R"({"type":"shutdown","version":0.5})", "invalid type: floating point `0.5`, expected u32"},
      {R"({"type":"shutdown","version":0e400})", "invalid type: floating point `0.0`, expected u32"},
      {R"({"type":"shutdown","version":-0.0e999})", "invalid type: floating point `-0.0`, expected u32"},
      {R"({"type":"shutdown","version":1e-400})", "invalid type: floating point `0.0`, expected u32"},
      {R"({"type":"shutdown","version":1.7976931348623157e308})",
       "invalid type: floating point `1.7976931348623157e+308`, expected u32"},
      // Hundreds of digits that still make a finite double.
      {R"({"type":"shutdown","version":1)" + std::string(400, '0') + "e-390}",
       "invalid type: floating point `10000000000.0`, expected u32"},
      {R"({"type":"shutdown","version":18446744073709551616})",
       "invalid type: floating point `1.8446744073709552e+19`, expected u32"},
      {R"({"type":"readHistory","version":3,"requestId":"r","windowMs":18446744073709551616})",
       "invalid type: floating point `1.8446744073709552e+19`, expected u64"},
      {R"({"type":"readHistory","version":3,"requestId":"r","windowMs":-5})",
       "invalid value: integer `-5`, expected u64"},
      {R"({"type":"shutdown","version":-9223372036854775808})",
       "invalid value: integer `-9223372036854775808`, expected u32"},
      {R"({"type":"shutdown","version":-9223372036854775809})",
       "invalid type: floating point `-9.223372036854776e+18`, expected u32"},
      {R"({"type":"shutdown","version":18446744073709551615})",
       "invalid value: integer `18446744073709551615`, expected u32"},
  });
  expectAcceptances({
      {R"({"type":"shutdown","version":4294967295})", Shutdown{4294967295u}},
      {R"({"type":"shutdown","version":0})", Shutdown{0}},
  });
}

TEST(ParseCommandLineTest, RendersTheValueFoundByKind) {
  expectRefusals({
      {R"({"type":"shutdown","version":"a\"b\\c\td\re\nf\u0000g\u0001h\u001fi\u007fj\u0080k\u00e9l'/"})",
       R"(invalid type: string "a\"b\\c\td\re\nf\0g\u{1}h\u{1f}i\u{7f}j\u{80}k)"
       "\xC3\xA9"
       R"(l'/", expected u32)"},
      {R"({"type":"shutdown","version":true})", "invalid type: boolean `true`, expected u32"},
      {R"({"type":"shutdown","version":null})", "invalid type: null, expected u32"},
      {R"({"type":"shutdown","version":[1]})", "invalid type: sequence, expected u32"},
      {R"({"type":"shutdown","version":{"a":1}})", "invalid type: map, expected u32"},
      {R"({"type":"setStreaming","version":3,"enabled":"true"})", R"(invalid type: string "true", expected a boolean)"},
      {R"({"type":"setStreaming","version":3,"enabled":null})", "invalid type: null, expected a boolean"},
      {R"({"type":"setStreaming","version":3,"enabled":[true]})", "invalid type: sequence, expected a boolean"},
      {R"({"type":"sampleNow","version":3,"requestId":5})", "invalid type: integer `5`, expected a string"},
      {R"({"type":"sampleNow","version":3,"requestId":{}})", "invalid type: map, expected a string"},
      {R"({"type":"setSampleInterval","version":3,"sampleIntervalMs":false})",
       "invalid type: boolean `false`, expected u64"},
      {R"({"type":"configure","version":3,"rootPid":1,"sampleIntervalMs":1,"externalProcesses":{}})",
       "invalid type: map, expected a sequence"},
      {R"({"type":"setExternalProcesses","version":3,"processes":"x"})", R"(invalid type: string "x", expected a sequence)"},
  });
}

TEST(ParseCommandLineTest, ChecksFieldsInMemberOrderThenMissingInDeclarationOrder) {
  expectRefusals({
      {R"({"type":"configure"})", "missing field `version`"},
      {R"({"type":"configure","version":3})", "missing field `rootPid`"},
      {R"({"type":"configure","sampleIntervalMs":1,"version":3})", "missing field `rootPid`"},
      {R"({"type":"readHistory","version":3,"windowMs":5})", "missing field `requestId`"},
      {R"({"type":"setStreaming","version":3})", "missing field `enabled`"},
      {R"({"type":"setExternalProcesses","version":3})", "missing field `processes`"},
      {R"({"type":"configure","rootPid":-1})", "invalid value: integer `-1`, expected u32"},
      {R"({"type":"shutdown","version":"x","version":3})", R"(invalid type: string "x", expected u32)"},
      {R"({"type":"shutdown","version":3,"version":"x"})", "duplicate field `version`"},
      {R"({"version":"x","requestId":1,"type":"sampleNow"})", R"(invalid type: string "x", expected u32)"},
      {R"({"requestId":1,"version":"x","type":"sampleNow"})", "invalid type: integer `1`, expected a string"},
      {R"({"type":"setExternalProcesses","processes":[5],"version":"x"})",
       "invalid type: integer `5`, expected struct ExternalProcess"},
      {R"({"type":"setExternalProcesses","processes":[],"processes":[5]})", "duplicate field `processes`"},
  });
}

TEST(ParseCommandLineTest, DecodesExternalProcessesAsObjectsOrArrays) {
  const std::string head = R"({"type":"setExternalProcesses","version":3,"processes":)";
  expectRefusals({
      {head + "[5]}", "invalid type: integer `5`, expected struct ExternalProcess"},
      {head + R"(["x"]})", R"(invalid type: string "x", expected struct ExternalProcess)"},
      {head + "[null]}", "invalid type: null, expected struct ExternalProcess"},
      {head + "[true]}", "invalid type: boolean `true`, expected struct ExternalProcess"},
      {head + R"([{"pid":"7"}]})", R"(invalid type: string "7", expected u32)"},
      {head + R"([{"pid":4294967296}]})", "invalid value: integer `4294967296`, expected u32"},
      {head + R"([{"pid":7,"pid":8}]})", "duplicate field `pid`"},
      {head + R"([{"pid":7,"startTimeMs":null,"startTimeMs":null}]})", "duplicate field `startTimeMs`"},
      {head + R"([{"pid":7,"startTimeMs":-1}]})", "invalid value: integer `-1`, expected u64"},
      {head + R"([{"pid":7,"startTimeMs":[]}]})", "invalid type: sequence, expected u64"},
      {head + R"([{"pid":{}}]})", "invalid type: map, expected u32"},
      {head + R"([{"startTimeMs":"x","pid":1}]})", R"(invalid type: string "x", expected u64)"},
      {head + "[[]]}", "invalid length 0, expected struct ExternalProcess with 2 elements"},
      {head + "[[7,5,1]]}", "invalid length 3, expected 2 elements in sequence"},
      {head + "[[null]]}", "invalid type: null, expected u32"},
      {head + R"([["x",5,1]]})", R"(invalid type: string "x", expected u32)"},
      {head + "[[7,1.5]]}", "invalid type: floating point `1.5`, expected u64"},
      // The first failing element is the one reported.
      {head + R"([{"pid":1},{"x":1},5]})", "missing field `pid`"},
  });
  expectAcceptances({
      {head + R"([{"name":"x","pid":7,"type":"y"},[8,null],[9,18446744073709551615]]})",
       SetExternalProcesses{3,
                            {ExternalProcess{7, std::nullopt}, ExternalProcess{8, std::nullopt},
                             ExternalProcess{9, 18446744073709551615u}}}},
  });
}

// An object, then `levels - 1` nested arrays inside an ignored member.
std::string nestedLine(int levels) {
  const std::string head = R"({"type":"shutdown","version":3,"x":)";
  return head + std::string(static_cast<std::size_t>(levels - 1), '[') +
         std::string(static_cast<std::size_t>(levels - 1), ']') + "}";
}

TEST(ParseCommandLineTest, AcceptsOneHundredTwentySevenLevelsOfNesting) {
  expectAcceptances({{nestedLine(MAX_NESTING), Shutdown{3}}});
  const std::string head = R"({"type":"shutdown","version":3,"x":)";
  const std::string inProcess = R"({"type":"setExternalProcesses","version":3,"processes":[{"pid":1,"x":)";
  const std::string arrayHead = R"(["shutdown",3,)";
  expectRefusals({
      {nestedLine(MAX_NESTING + 1),
       "recursion limit exceeded at line 1 column " + std::to_string(head.size() + MAX_NESTING)},
      // The limit holds inside known members too.
      {inProcess + std::string(200, '['),
       "recursion limit exceeded at line 1 column " + std::to_string(inProcess.size() + MAX_NESTING - 2)},
      // The array form counts its own bracket as the first level: 127 levels
      // reach the length check, 128 do not.
      {arrayHead + std::string(MAX_NESTING - 1, '[') + std::string(MAX_NESTING - 1, ']') + "]",
       "invalid length 2, expected 1 element in sequence"},
      {arrayHead + std::string(MAX_NESTING, '[') + std::string(MAX_NESTING, ']') + "]",
       "recursion limit exceeded at line 1 column " + std::to_string(arrayHead.size() + MAX_NESTING)},
  });
}

TEST(ParseCommandLineTest, RefusesAMillionNestedBracketsWithoutDeepRecursion) {
  expectRefusals({
      {R"({"a":)" + std::string(1'000'000, '['), "recursion limit exceeded at line 1 column 132"},
      // The whole line as an array: its first element is the tag, and an array is no tag.
      {std::string(1'000'000, '['), "invalid type: sequence, expected variant identifier at line 1 column 1"},
      {[] {
         std::string line;
         for (int i = 0; i < 200'000; ++i) line += R"({"a":)";
         return line;
       }(),
       "recursion limit exceeded at line 1 column 636"},
  });
}

// Decodes the deepest accepted line and a million brackets on a thread with
// a quarter of the reader thread's 2 MiB stack.
extern "C" void* decodeDeepLinesOnSmallStack(void* failures) {
  const bool deepOk = parseCommandLine(nestedLine(MAX_NESTING)).command.has_value();
  const bool millionRefused = !parseCommandLine(R"({"a":)" + std::string(1'000'000, '[')).command.has_value();
  *static_cast<int*>(failures) = (deepOk ? 0 : 1) + (millionRefused ? 0 : 1);
  return nullptr;
}

TEST(ParseCommandLineTest, DeepLinesNeedOnlyABoundedStack) {
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, 512 * 1024), 0);
  int failures = -1;
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attributes, decodeDeepLinesOnSmallStack, &failures), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attributes);
  EXPECT_EQ(failures, 0);
}

TEST(ParseCommandLineTest, DecodesEncodedCommandsToThemselvesInBothForms) {
  const std::vector<Command> commands = {
      Configure{3, 4294967295u, 18446744073709551615u, {ExternalProcess{1, std::nullopt}, ExternalProcess{2, 0}}},
      SetExternalProcesses{3, {}},
      SetSampleInterval{0, 1},
      SetStreaming{3, true},
      SampleNow{3, "quote\" backslash\\ tab\t nul\0 unit\x1f del\x7f \xC3\xA9"s},
      ProcessTable{3, ""},
      ReadHistory{3, "r", 18446744073709551615u},
      Shutdown{7},
  };
  for (const Command& command : commands) {
    for (const std::string& line : {testing::encodeCommandObject(command), testing::encodeCommandArray(command)}) {
      const ParseResult result = parseCommandLine(line);
      ASSERT_TRUE(result.command.has_value()) << "line: " << line << "\nrefused: " << result.error;
      EXPECT_EQ(*result.command, command) << "line: " << line;
    }
  }
}

}  // namespace
}  // namespace sidecar::protocol
