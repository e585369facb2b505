// The soak: steady paced traffic (1 kHz, 1 KiB, K=4) for a given time, the core's USS sampled every
// 10 s; its first, last and largest value and the growth. Not part of `make bench`.
#include <algorithm>
#include <cstdio>
#include <fstream>

#include "bench/driver/CoreRun.h"
#include "bench/driver/ProcStats.h"
#include "bench/driver/Scenarios.h"

namespace kv::bench {

void runSoak(const ScenarioContext& context) {
  const ScenarioOptions& options = context.options;
  constexpr uint32_t kRate = 1000;
  constexpr auto kEvery = std::chrono::seconds(10);
  CoreScenario scenario;
  scenario.payload = 1024;
  scenario.consumers = 4;
  scenario.count = kRate * static_cast<uint32_t>(options.soakSeconds);
  scenario.pace = kRate;
  std::fprintf(stderr, "korva-bench: soak, %d s at %u Hz, 1 KiB, K=4\n", options.soakSeconds,
               kRate);
  const std::filesystem::path dir = options.scratch / "soak";
  stageScenario(context.paths, scenario, dir);
  const std::string seeLog = "; see " + (dir / "core.log").string();

  SupervisedCore core(dir, context.paths.emulator);
  if (!core.start()) throw ScenarioFailure("soak: cannot start the core");
  const auto reported = [&](const ReportLines& lines) {
    return producerIn(lines) && consumersIn(lines).size() >= scenario.consumers;
  };
  const auto began = Clock::now();
  const auto deadline = began + std::chrono::seconds(options.soakSeconds + 120);
  std::vector<std::pair<double, uint64_t>> samples;  // seconds since the start, USS KiB
  for (auto next = began + kEvery; !core.serveUntil(reported, std::min(next, deadline));
       next += kEvery) {
    if (core.exitCode() || Clock::now() >= deadline) {
      throw ScenarioFailure("soak: the core " +
                            (core.exitCode() ? "ended with code " + std::to_string(*core.exitCode())
                                             : std::string("did not report in time")) +
                            seeLog);
    }
    const auto memory = readMemoryUse(core.pid());
    if (!memory) throw ScenarioFailure("soak: cannot read the core's smaps_rollup");
    samples.push_back(
        {std::chrono::duration<double>(Clock::now() - began).count(), memory->ussKiB});
    std::fprintf(stderr, "korva-bench: soak %5.0f s USS %llu KiB\n", samples.back().first,
                 static_cast<unsigned long long>(memory->ussKiB));
  }
  const auto code = core.close(Clock::now() + std::chrono::seconds(30));
  if (code != 0) throw ScenarioFailure("soak: the core did not end with 0 on close" + seeLog);
  const RunOutcome judged = judgeRun(*producerIn(core.lines()), consumersIn(core.lines()),
                                     scenario.count, scenario.consumers);
  if (!judged.ok()) throw ScenarioFailure("soak: " + judged.error);
  if (samples.size() < 2) throw ScenarioFailure("soak: fewer than two samples; run it longer");
  std::filesystem::remove_all(dir);

  uint64_t largest = 0;
  for (const auto& sample : samples) largest = std::max(largest, sample.second);
  const uint64_t first = samples.front().second;
  const uint64_t last = samples.back().second;
  std::printf("\nsoak, %d s at %u Hz, 1 KiB, K=4: every record delivered in order\n",
              options.soakSeconds, kRate);
  std::printf("USS first %llu KiB, last %llu KiB, max %llu KiB, growth %+lld KiB over %.0f s\n",
              static_cast<unsigned long long>(first), static_cast<unsigned long long>(last),
              static_cast<unsigned long long>(largest),
              static_cast<long long>(last) - static_cast<long long>(first),
              samples.back().first - samples.front().first);

  std::filesystem::create_directories(options.csvDir);
  std::ofstream csv(options.csvDir / "soak.csv");
  csv << "seconds,uss_kib\n";
  for (const auto& [seconds, uss] : samples) csv << seconds << ',' << uss << '\n';
}

}  // namespace kv::bench
