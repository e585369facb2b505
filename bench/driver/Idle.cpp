#include "bench/driver/Idle.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "bench/driver/CoreRun.h"
#include "bench/driver/Scenarios.h"

namespace kv::bench {

namespace fs = std::filesystem;

IdleFigures measureIdle(const fs::path& dir, const std::vector<std::string>& emulator,
                        std::chrono::milliseconds settle, std::chrono::milliseconds window) {
  const std::string seeLog = "; see " + (dir / "core.log").string();
  SupervisedCore core(dir, emulator);
  if (!core.start()) return {0, {}, "cannot start the core"};
  const auto never = [](const ReportLines&) { return false; };
  core.serveUntil(never, Clock::now() + settle);
  const auto ticksBefore = readCpuTicks(core.pid());
  const auto began = Clock::now();
  core.serveUntil(never, began + window);
  const auto ticksAfter = readCpuTicks(core.pid());
  const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
  const auto memory = readMemoryUse(core.pid());
  if (const auto ended = core.exitCode()) {
    return {0, {}, "the core ended with code " + std::to_string(*ended) + " while idle" + seeLog};
  }
  if (!ticksBefore || !ticksAfter || !memory) {
    return {0, {}, "cannot read /proc/" + std::to_string(core.pid()) + "/stat or smaps_rollup"};
  }
  const auto code = core.close(Clock::now() + std::chrono::seconds(30));
  if (code != 0) {
    return {0,
            {},
            "the core ended with " + (code ? "code " + std::to_string(*code) : "a kill") +
                " on close" + seeLog};
  }
  return {static_cast<double>(*ticksAfter - *ticksBefore) / static_cast<double>(ticksPerSecond()) /
              seconds,
          *memory,
          {}};
}

void runIdle(const ScenarioContext& context) {
  const ScenarioOptions& options = context.options;
  const auto window = std::chrono::seconds(options.idleSeconds);
  std::fprintf(stderr, "korva-bench: idle, %d s each\n", options.idleSeconds);

  const fs::path bare = options.scratch / "idle-bare";
  stageTree(context.paths.core, bare, {});
  const IdleFigures none =
      measureIdle(bare, context.paths.emulator, std::chrono::seconds(2), window);
  if (!none.ok()) throw ScenarioFailure("idle, no plugins: " + none.error);

  // The tree `make demo` runs: the runtime, samples and demo parts installed from this build.
  const fs::path demo = options.scratch / "idle-demo";
  fs::remove_all(demo);
  for (const char* component : {"runtime", "samples", "demo"}) {
    const std::string command = std::string("\"") + KV_BENCH_CMAKE + "\" --install \"" +
                                KV_BENCH_BINARY_DIR + "\" --prefix \"" + demo.string() +
                                "\" --component " + component + " >/dev/null";
    if (std::system(command.c_str()) != 0) {
      throw ScenarioFailure("idle, sample plugins: cannot stage the demonstration tree: " +
                            command);
    }
  }
  const IdleFigures samples =
      measureIdle(demo / "korva", context.paths.emulator, std::chrono::seconds(2), window);
  if (!samples.ok()) throw ScenarioFailure("idle, sample plugins: " + samples.error);
  fs::remove_all(bare);
  fs::remove_all(demo);

  std::printf("\nidle core over %d s (CPU from utime+stime in %ld Hz ticks; USS = private pages)\n",
              options.idleSeconds, ticksPerSecond());
  std::printf("%-16s %10s %10s %10s\n", "plugins", "CPU %", "RSS KiB", "USS KiB");
  const auto row = [](const char* name, const IdleFigures& figures) {
    std::printf("%-16s %10.3f %10llu %10llu\n", name, figures.cpuShare * 100,
                static_cast<unsigned long long>(figures.memory.rssKiB),
                static_cast<unsigned long long>(figures.memory.ussKiB));
  };
  row("none", none);
  row("demo samples", samples);
  std::printf("goal CPU <= 0.05%% of a core idle: %s; USS without plugins <= 1 MiB: %s\n",
              none.cpuShare <= 0.0005 ? "met" : "not met",
              none.memory.ussKiB <= 1024 ? "met" : "not met");

  fs::create_directories(options.csvDir);
  std::ofstream csv(options.csvDir / "idle.csv");
  csv << "plugins,seconds,cpu_share,rss_kib,uss_kib\n";
  for (const auto& [name, figures] : {std::pair{"none", none}, std::pair{"demo", samples}}) {
    csv << name << ',' << options.idleSeconds << ',' << figures.cpuShare << ','
        << figures.memory.rssKiB << ',' << figures.memory.ussKiB << '\n';
  }
}

}  // namespace kv::bench
