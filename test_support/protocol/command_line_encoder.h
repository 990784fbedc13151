// Test support: writes a Command back as a command line, in the object form
// or in the array form, so that tests and the fuzz target can check that a
// decoded command survives another trip through the decoder. Header-only,
// not part of the library; pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "protocol/command.h"

namespace sidecar::protocol::testing {

inline void appendJsonString(std::string& out, std::string_view text) {
  static constexpr char HEX[] = "0123456789abcdef";
  out.push_back('"');
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (byte < 0x20) {
      out.append("\\u00");
      out.push_back(HEX[byte >> 4]);
      out.push_back(HEX[byte & 0xF]);
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
}

inline void appendProcesses(std::string& out, const std::vector<ExternalProcess>& processes, bool asArrays) {
  out.push_back('[');
  for (std::size_t i = 0; i < processes.size(); ++i) {
    if (i > 0) out.push_back(',');
    const ExternalProcess& p = processes[i];
    if (asArrays) {
      out.append("[").append(std::to_string(p.pid));
      if (p.startTimeMs) out.append(",").append(std::to_string(*p.startTimeMs));
      out.append("]");
    } else {
      out.append(R"({"pid":)").append(std::to_string(p.pid)).append(R"(,"startTimeMs":)");
      out.append(p.startTimeMs ? std::to_string(*p.startTimeMs) : "null").append("}");
    }
  }
  out.push_back(']');
}

/// The command as `{"type":...,"version":...,<fields>}`.
inline std::string encodeCommandObject(const Command& command) {
  std::string out;
  auto field = [&out](std::string_view key) { out.append(",\"").append(key).append("\":"); };
  std::visit(
      [&](const auto& c) {
        using T = std::decay_t<decltype(c)>;
        auto head = [&](std::string_view tag) {
          out.append(R"({"type":")").append(tag).append(R"(","version":)").append(std::to_string(c.version));
        };
        if constexpr (std::is_same_v<T, Configure>) {
          head("configure");
          field("rootPid"); out.append(std::to_string(c.rootPid));
          field("sampleIntervalMs"); out.append(std::to_string(c.sampleIntervalMs));
          field("externalProcesses"); appendProcesses(out, c.externalProcesses, false);
        } else if constexpr (std::is_same_v<T, SetExternalProcesses>) {
          head("setExternalProcesses");
          field("processes"); appendProcesses(out, c.processes, false);
        } else if constexpr (std::is_same_v<T, SetSampleInterval>) {
          head("setSampleInterval");
          field("sampleIntervalMs"); out.append(std::to_string(c.sampleIntervalMs));
        } else if constexpr (std::is_same_v<T, SetStreaming>) {
          head("setStreaming");
          field("enabled"); out.append(c.enabled ? "true" : "false");
        } else if constexpr (std::is_same_v<T, SampleNow>) {
          head("sampleNow");
          field("requestId"); appendJsonString(out, c.requestId);
        } else if constexpr (std::is_same_v<T, ProcessTable>) {
          head("processTable");
          field("requestId"); appendJsonString(out, c.requestId);
        } else if constexpr (std::is_same_v<T, ReadHistory>) {
          head("readHistory");
          field("requestId"); appendJsonString(out, c.requestId);
          field("windowMs"); out.append(std::to_string(c.windowMs));
        } else {
          head("shutdown");
        }
      },
      command);
  out.push_back('}');
  return out;
}

/// The command as `["<type>",<version>,<fields by position>]`, external
/// processes as `[pid]` or `[pid,startTimeMs]`.
inline std::string encodeCommandArray(const Command& command) {
  std::string out = "[";
  auto next = [&out]() -> std::string& { return out.append(","); };
  std::visit(
      [&](const auto& c) {
        using T = std::decay_t<decltype(c)>;
        auto head = [&](std::string_view tag) {
          out.append("\"").append(tag).append("\",").append(std::to_string(c.version));
        };
        if constexpr (std::is_same_v<T, Configure>) {
          head("configure");
          next().append(std::to_string(c.rootPid));
          next().append(std::to_string(c.sampleIntervalMs));
          appendProcesses(next(), c.externalProcesses, true);
        } else if constexpr (std::is_same_v<T, SetExternalProcesses>) {
          head("setExternalProcesses");
          appendProcesses(next(), c.processes, true);
        } else if constexpr (std::is_same_v<T, SetSampleInterval>) {
          head("setSampleInterval");
          next().append(std::to_string(c.sampleIntervalMs));
        } else if constexpr (std::is_same_v<T, SetStreaming>) {
          head("setStreaming");
          next().append(c.enabled ? "true" : "false");
        } else if constexpr (std::is_same_v<T, SampleNow>) {
          head("sampleNow");
          appendJsonString(next(), c.requestId);
        } else if constexpr (std::is_same_v<T, ProcessTable>) {
          head("processTable");
          appendJsonString(next(), c.requestId);
        } else if constexpr (std::is_same_v<T, ReadHistory>) {
          head("readHistory");
          appendJsonString(next(), c.requestId);
          next().append(std::to_string(c.windowMs));
        } else {
          head("shutdown");
        }
      },
      command);
  out.push_back(']');
  return out;
}

}  // namespace sidecar::protocol::testing
