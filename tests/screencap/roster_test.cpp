#include "screencap/roster.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/screencap/fakes.h"

namespace vexel::screencap {
namespace {

using testing::exitStatusOf;
using testing::kErr;
using testing::kOut;
using testing::ScriptedContentProvider;
using testing::ScriptedIo;
using Entry = ScriptedContentProvider::Entry;

struct RosterRun {
  std::optional<int> status;
  std::string out;
  std::string err;
};

RosterRun runRoster(ScriptedContentProvider& provider, std::optional<ShareableContent> content,
                    std::optional<PlatformError> error = std::nullopt) {
  ScriptedIo io;
  const Outlet outlet = testing::throwingOutlet(io);
  RosterRun run;
  run.status = exitStatusOf([&] { printRoster(outlet, provider, content, error); });
  run.out = io.written[kOut];
  run.err = io.written[kErr];
  return run;
}

RosterRun runRoster(ScriptedContentProvider& provider) {
  return runRoster(provider, provider.content());
}

TEST(Roster, LabelsCountPositionsWhereverTheMainDisplayIs) {
  const Display a{1, 1920, 1080};
  const Display b{2, 2560, 1440};
  const Display c{3, 800, 600};
  struct Case {
    const char* name;
    std::vector<Entry> entries;
    std::vector<std::string> labels;
    std::vector<bool> primary;
  };
  const Case cases[] = {
      {"main first",
       {{a, {}, true}, {b, {}, false}},
       {"Main Display (1920x1080)", "Display 2 (2560x1440)"},
       {true, false}},
      {"main second",
       {{a, {}, false}, {b, {}, true}, {c, {}, false}},
       {"Display 1 (1920x1080)", "Main Display (2560x1440)", "Display 3 (800x600)"},
       {false, true, false}},
      {"no main display",
       {{a, {}, false}, {b, {}, false}},
       {"Display 1 (1920x1080)", "Display 2 (2560x1440)"},
       {false, false}},
  };
  for (const auto& each : cases) {
    ScriptedContentProvider provider;
    provider.entries = each.entries;
    const RosterRun run = runRoster(provider);
    ASSERT_EQ(run.status, 0) << each.name;
    EXPECT_EQ(run.err, "") << each.name;
    // One line of compact JSON.
    EXPECT_EQ(run.out.find('\n'), run.out.size() - 1) << run.out;
    EXPECT_EQ(run.out.find(": "), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find(", "), std::string::npos) << run.out;
    const auto roster = nlohmann::json::parse(run.out);
    ASSERT_EQ(roster.size(), each.labels.size()) << each.name;
    for (std::size_t i = 0; i < roster.size(); ++i) {
      EXPECT_EQ(roster[i]["id"], std::to_string(i)) << each.name;
      EXPECT_EQ(roster[i]["label"], each.labels[i]) << each.name;
      EXPECT_EQ(roster[i]["primary"], each.primary[i]) << each.name;
      EXPECT_EQ(roster[i].size(), 7U) << each.name;
    }
  }
}

TEST(Roster, OriginsAreTruncatedAndSizesComeFromTheDisplayRecord) {
  ScriptedContentProvider provider;
  // Bounds sizes differ from the display record on purpose: only the origin is used.
  provider.entries = {{{1, 1440, 900}, {-1440.9, -0.5, 2880, 1800}, false},
                      {{2, 1920, 1080}, {0, 0, 1920, 1080}, true},
                      {{3, 1024, 768}, {1920.99, 312.4, 1, 1}, false}};
  const auto roster = nlohmann::json::parse(runRoster(provider).out);
  EXPECT_EQ(roster[0]["x"], -1440);
  EXPECT_EQ(roster[0]["y"], 0);
  EXPECT_EQ(roster[0]["width"], 1440);
  EXPECT_EQ(roster[0]["height"], 900);
  EXPECT_EQ(roster[2]["x"], 1920);
  EXPECT_EQ(roster[2]["y"], 312);
  EXPECT_TRUE(roster[0]["x"].is_number_integer());
}

TEST(Roster, OriginsNoIntegerCanHoldStayDefined) {
  EXPECT_EQ(truncateToInt64(std::nan("")), 0);
  EXPECT_EQ(truncateToInt64(1e300), INT64_MAX);
  EXPECT_EQ(truncateToInt64(-1e300), INT64_MIN);
  EXPECT_EQ(truncateToInt64(-HUGE_VAL), INT64_MIN);
  EXPECT_EQ(truncateToInt64(-2.9), -2);
}

TEST(Roster, FailuresWriteOneLineAndNothingOnStdout) {
  struct Case {
    const char* name;
    std::optional<ShareableContent> content;
    std::optional<PlatformError> error;
    std::string line;
  };
  const Case cases[] = {
      {"content error", std::nullopt, PlatformError{"The user declined TCCs"},
       "vexel-screencap: could not query shareable content (Screen Recording permission?): "
       "The user declined TCCs\n"},
      {"error wins over content", ShareableContent{{{1, 10, 10}}}, PlatformError{"boom"},
       "vexel-screencap: could not query shareable content (Screen Recording permission?): "
       "boom\n"},
      {"no content", std::nullopt, std::nullopt, "vexel-screencap: no capturable displays found\n"},
      {"zero displays", ShareableContent{}, std::nullopt,
       "vexel-screencap: no capturable displays found\n"},
  };
  for (const auto& each : cases) {
    ScriptedContentProvider provider;
    provider.entries = {{{1, 10, 10}, {}, true}};
    const RosterRun run = runRoster(provider, each.content, each.error);
    EXPECT_EQ(run.status, 1) << each.name;
    EXPECT_EQ(run.out, "") << each.name;
    EXPECT_EQ(run.err, each.line) << each.name;
  }
}

}  // namespace
}  // namespace vexel::screencap
