// Bytes of one or more request lines through the whole loop against the
// recording provider. Every output must be whole lines of JSON objects, one
// per non-blank input line, and no event may leak.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "input/request_loop.h"
#include "testing/recording_events.h"

namespace {

using namespace vexel::input;

class BufferIo final : public vexel::PosixIo {
 public:
  explicit BufferIo(std::string_view input) : input_(input) {}
  std::string output;

  ssize_t read(int, void* buffer, std::size_t count) override {
    // Short reads exercise the framing across read boundaries.
    const std::size_t n = std::min({count, input_.size(), std::size_t{97}});
    std::memcpy(buffer, input_.data(), n);
    input_.remove_prefix(n);
    return static_cast<ssize_t>(n);
  }
  ssize_t write(int, const void* buffer, std::size_t count) override {
    output.append(static_cast<const char*>(buffer), count);
    return static_cast<ssize_t>(count);
  }

 private:
  std::string_view input_;
};

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  RecordingEventServices events;
  events.trusted = size % 7 != 3;  // now and then the grant is missing
  if (size % 5 == 1) {             // and a post is not delivered
    events.failPostNumber = 1 + static_cast<int>(size % 13);
    events.failPostReason = size % 2 == 0 ? DeliveryFailure::Reason::kAccessLost
                                          : DeliveryFailure::Reason::kUndeliverable;
  }
  const Injector injector = makeInjector(events);
  BufferIo io(input);
  runInjector(injector, io, 0, 1);

  check(!io.output.empty() && io.output.back() == '\n');
  std::size_t start = 0;
  std::size_t lines = 0;
  while (start < io.output.size()) {
    const std::size_t lf = io.output.find('\n', start);
    const Json reply = Json::parse(io.output.substr(start, lf - start), nullptr, false);
    check(reply.is_object());
    check(lines == 0 ? reply.contains("ready") : reply.contains("ok"));
    start = lf + 1;
    ++lines;
  }
  check(events.lifecycleProblems().empty());
  return 0;
}
