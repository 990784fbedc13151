#include "procinfo/linux/command_line_reader.h"

#include <optional>

#include "procinfo/argument_collector.h"

namespace sidecar::procinfo {

namespace {

class CollectingSink final : public PieceSink {
 public:
  explicit CollectingSink(std::vector<std::string>& arguments) : arguments_(arguments) {}

  void restart() override { collector_.emplace(arguments_); }
  bool take(std::string_view piece) override { return collector_->take(piece); }
  void finish() {
    if (collector_) collector_->finish();
  }

 private:
  std::vector<std::string>& arguments_;
  std::optional<ArgumentCollector> collector_;
};

}  // namespace

bool CommandLineReader::read(KeptOpenFiles& files, std::uint32_t pid, ReadBuffer& buffer,
                             std::vector<std::string>& arguments, std::size_t maxBytes) {
  return collect(arguments, [&](PieceSink& sink) {
    return files.readInPieces(pid, ProcFile::cmdline, buffer, maxBytes, sink);
  });
}

bool CommandLineReader::readFile(int fd, ReadBuffer& buffer, std::vector<std::string>& arguments,
                                 std::size_t maxBytes) {
  return collect(arguments, [&](PieceSink& sink) { return readPieces(fd, buffer, maxBytes, sink); });
}

template <typename ReadPieces>
bool CommandLineReader::collect(std::vector<std::string>& arguments, ReadPieces readPieces) {
  CollectingSink sink(collected_);
  if (!readPieces(sink)) return false;
  sink.finish();
  arguments.swap(collected_);
  return true;
}

}  // namespace sidecar::procinfo
