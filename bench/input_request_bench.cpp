// One request through parse, dispatch and reply serialisation, against the
// recording provider (cleared every round, inside the timing).
#include <benchmark/benchmark.h>

#include <string>
#include <string_view>

#include "input/dispatcher.h"
#include "input/request_loop.h"
#include "input/text.h"
#include "testing/recording_events.h"

namespace {

using namespace vexel::input;

void roundTrip(benchmark::State& state, std::string_view line) {
  RecordingEventServices events;
  const Injector injector = makeInjector(events);
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string text = toValidUtf8(std::string(line));
    Json request = Json::parse(trimSpaces(text), nullptr, false, false);
    const Json reply = handle(injector, std::move(request));
    std::string out = reply.dump();
    out.push_back('\n');
    bytes += out.size();
    benchmark::DoNotOptimize(out.data());
    events.clear();  // keeps the fake's timeline from growing; costs little
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

void BM_Move(benchmark::State& state) {
  roundTrip(state, R"({"op":"move","x":640.5,"y":360,"id":17})");
}
void BM_Status(benchmark::State& state) {
  roundTrip(state, R"({"op":"status","id":"a"})");
}
void BM_Key(benchmark::State& state) {
  roundTrip(state, R"({"op":"key","key":"T","modifiers":["Ctrl","Shift"],"id":3})");
}
void BM_Type45(benchmark::State& state) {
  roundTrip(state, R"({"op":"type","text":"The quick brown fox jumps over the lazy dog 123"})");
}

BENCHMARK(BM_Move);
BENCHMARK(BM_Status);
BENCHMARK(BM_Key);
BENCHMARK(BM_Type45);

}  // namespace

BENCHMARK_MAIN();
