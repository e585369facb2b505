#include "bench/driver/Scenarios.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace kv::bench {

std::vector<std::string> parseScenarioList(const std::string& list) {
  std::vector<std::string> names;
  std::stringstream words(list);
  for (std::string word; std::getline(words, word, ',');) {
    if (word == "all") return kScenarioNames;
    if (word == "none") return {};  // the table alone
    if (std::find(kScenarioNames.begin(), kScenarioNames.end(), word) == kScenarioNames.end()) {
      throw std::invalid_argument("unknown scenario \"" + word +
                                  "\" (latency, idle, startup, search, all, none)");
    }
    names.push_back(word);
  }
  return names;
}

int runScenarios(const ScenarioOptions& options) {
  const ScenarioContext context{{options.core, KV_BENCH_PRODUCER, KV_BENCH_CONSUMER, {}},
                                KV_BENCH_SERVER,
                                KV_BENCH_REQUESTER,
                                options};
  const auto wanted = [&](const char* name) {
    return std::find(options.which.begin(), options.which.end(), name) != options.which.end();
  };
  try {
    if (options.soakSeconds > 0) {
      runSoak(context);
      return 0;
    }
    if (wanted("latency")) runLatency(context);
    if (wanted("idle")) runIdle(context);
    if (wanted("startup")) runStartup(context);
    if (wanted("search")) runSearch(context);
  } catch (const ScenarioFailure& failure) {
    std::fprintf(stderr, "korva-bench: FAILED: %s\n", failure.what());
    return 1;
  }
  return 0;
}

}  // namespace kv::bench
