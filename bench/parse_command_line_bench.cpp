// Throughput of parseCommandLine on a typical configure line and on each
// kind of refusal. Goal: at least 1,000,000 typical lines per second on one
// core.
#include <benchmark/benchmark.h>

#include <string>

#include "protocol/parse_command_line.h"

namespace {

using sidecar::protocol::parseCommandLine;

void decodeLine(benchmark::State& state, const std::string& line) {
  for (auto _ : state) {
    auto result = parseCommandLine(line);
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(line.size()));
}

const std::string TYPICAL_CONFIGURE =
    R"({"type":"configure","version":3,"rootPid":48213,"sampleIntervalMs":1000,)"
    R"("externalProcesses":[{"pid":48250,"startTimeMs":1718000000000},{"pid":48251}]})";

}  // namespace

BENCHMARK_CAPTURE(decodeLine, typical_configure, TYPICAL_CONFIGURE);
BENCHMARK_CAPTURE(decodeLine, sample_now, std::string(R"({"type":"sampleNow","version":3,"requestId":"req-0001"})"));
BENCHMARK_CAPTURE(decodeLine, array_form, std::string(R"(["configure",3,48213,1000,[[48250,1718000000000]]])"));
// Refusals, one of each kind.
BENCHMARK_CAPTURE(decodeLine, syntax_eof, std::string(R"({"type":"configure","version":3,"rootPid":48213)"));
BENCHMARK_CAPTURE(decodeLine, syntax_bad_escape, std::string(R"({"type":"sampleNow","version":3,"requestId":"a\q"})"));
BENCHMARK_CAPTURE(decodeLine, number_out_of_range, std::string(R"({"type":"shutdown","version":1e400})"));
BENCHMARK_CAPTURE(decodeLine, valid_number_the_reader_refuses,
                  std::string(R"({"type":"shutdown","version":3,"x":0e400})"));
BENCHMARK_CAPTURE(decodeLine, trailing_characters, std::string(R"({"type":"shutdown","version":3} x)"));
BENCHMARK_CAPTURE(decodeLine, not_an_object, std::string("42"));
BENCHMARK_CAPTURE(decodeLine, unknown_variant, std::string(R"({"type":"launch","version":3})"));
BENCHMARK_CAPTURE(decodeLine, missing_tag, std::string(R"({"version":3,"rootPid":1})"));
BENCHMARK_CAPTURE(decodeLine, duplicate_tag, std::string(R"({"type":"shutdown","type":"shutdown"})"));
BENCHMARK_CAPTURE(decodeLine, field_invalid_type, std::string(R"({"type":"shutdown","version":"3"})"));
BENCHMARK_CAPTURE(decodeLine, field_invalid_value, std::string(R"({"type":"shutdown","version":-1})"));
BENCHMARK_CAPTURE(decodeLine, field_missing, std::string(R"({"type":"readHistory","version":3,"requestId":"r"})"));
BENCHMARK_CAPTURE(decodeLine, field_duplicate, std::string(R"({"type":"shutdown","version":3,"version":3})"));
BENCHMARK_CAPTURE(decodeLine, invalid_length, std::string(R"(["readHistory",3,"r"])"));
BENCHMARK_CAPTURE(decodeLine, recursion_limit, std::string(R"({"a":)") + std::string(200, '['));
BENCHMARK_MAIN();
