// Bytes of one or more request lines through the whole loop against the
// recording provider. Every output must be whole lines of JSON objects, one
// per non-blank input line, and no event may leak.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "input/request_loop.h"
#include "testing/recording_events.h"
#include "testing/scripted_io.h"

namespace {

using namespace vexel::input;

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
  vexel::testing::ScriptedIo io{std::string(input)};
  io.readSlice = 97;  // short reads exercise the framing across read boundaries
  runInjector(injector, io, 0, 1);
  // Text after the last line feed comes back as "<partial>...", which is no JSON.
  const std::vector<std::string> lines = io.lines(1);
  check(!lines.empty());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const Json reply = Json::parse(lines[i], nullptr, false);
    check(reply.is_object());
    check(i == 0 ? reply.contains("ready") : reply.contains("ok"));
  }
  check(events.lifecycleProblems().empty());
  return 0;
}
