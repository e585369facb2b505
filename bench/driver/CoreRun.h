// Runs of the real korvacore: a staged tree in a scratch directory, the core started on one end of
// a packet socket pair, korva-bench playing the supervisor on the other until the plugins have
// reported, then the close packet.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bench/driver/Results.h"

namespace kv::bench {

using Clock = std::chrono::steady_clock;
using ReportLines = std::vector<std::string>;

struct CorePaths {
  std::filesystem::path core;         // the korvacore executable
  std::filesystem::path producer;     // BenchProducer.so
  std::filesystem::path consumer;     // BenchConsumer.so
  std::vector<std::string> emulator;  // words before the core's path, to run a foreign build
};

struct CoreScenario {
  uint32_t payload = 0;          // bytes per record
  uint32_t consumers = 1;        // K
  uint32_t count = 0;            // records per run
  std::optional<uint32_t> skip;  // a record the producer leaves out: the bench's own tests
  uint32_t pace = 0;             // records a second, on a fixed grid; 0: as fast as taken
  bool waitForDispatch = true;   // false: the first record is posted during the core's start-up
  bool latency = false;          // the consumers report post-to-delivery latencies too
};

// A plugin to stage: the library, its name in plugins/, and the text of its .conf (none if empty).
struct StagedPlugin {
  std::filesystem::path library;
  std::string name;
  std::string conf;
};

// The core.xml of the bench trees: memory throttling, which gates only video and audio, off, so
// that no memory check runs beside the measured path.
inline constexpr const char kBenchCoreXml[] =
    "<?xml version=\"1.0\"?>\n<kDVR>\n\t<Memory Throttling=\"0\"/>\n</kDVR>\n";

// Makes `dir` afresh (anything in it is removed): a copy of the core, plugins/ with `plugins`,
// protected-plugins/ and core.xml.
void stageTree(const std::filesystem::path& core, const std::filesystem::path& dir,
               const std::vector<StagedPlugin>& plugins,
               const std::string& coreXml = kBenchCoreXml);

// The core of a staged tree under korva-bench's supervision. The destructor kills a core still
// running.
class SupervisedCore {
 public:
  SupervisedCore(std::filesystem::path dir, std::vector<std::string> emulator);
  ~SupervisedCore();
  SupervisedCore(const SupervisedCore&) = delete;
  SupervisedCore& operator=(const SupervisedCore&) = delete;

  // Starts `dir`/korvacore and sends the supervisor's information packet; false if it can't.
  bool start();
  // Answers the core until `done` holds for the report lines received so far (true), or until the
  // core has ended or `deadline` has passed (false).
  bool serveUntil(const std::function<bool(const ReportLines&)>& done, Clock::time_point deadline);
  // Sends the close packet and waits for the core to end; its exit code, or nullopt when it had
  // to be killed.
  std::optional<int> close(Clock::time_point deadline);

  pid_t pid() const { return core_; }
  // Steady-clock nanoseconds taken in the child just before the exec.
  int64_t execNanos() const { return execNanos_; }
  const ReportLines& lines() const { return lines_; }
  std::optional<int> exitCode() const { return exit_; }
  std::filesystem::path logPath() const { return dir_ / "core.log"; }

 private:
  bool send(const std::string& packet);
  void receive(int timeoutMs);
  bool reaped(int options);

  std::filesystem::path dir_;
  std::vector<std::string> emulator_;
  pid_t core_ = -1;
  int socket_ = -1;
  int64_t execNanos_ = 0;
  std::optional<int> exit_;
  std::vector<char> rx_;
  ReportLines lines_;
};

// The producer's and the consumers' report lines among `lines`.
std::optional<ProducerReport> producerIn(const ReportLines& lines);
std::vector<ConsumerReport> consumersIn(const ReportLines& lines);

// Runs the tree staged in `dir` until a producer and `consumers` consumers have reported, then
// closes it and judges their reports as a run of `count` records. A core that dies, doesn't report
// within `limit` or ends with a non-zero code fails the run; the error then names the core's
// output file. `lines` and `execNanos`, when given, receive the report lines and the exec time.
RunOutcome runStaged(const std::filesystem::path& dir, const std::vector<std::string>& emulator,
                     uint32_t consumers, uint64_t count, std::chrono::seconds limit,
                     ReportLines* lines = nullptr, int64_t* execNanos = nullptr);

// Stages the bench producer and K consumers for `scenario` in `dir` (anything in it is removed).
void stageScenario(const CorePaths& paths, const CoreScenario& scenario,
                   const std::filesystem::path& dir);

// stageScenario, then runStaged.
RunOutcome runCore(const CorePaths& paths, const CoreScenario& scenario,
                   const std::filesystem::path& dir, std::chrono::seconds limit,
                   ReportLines* lines = nullptr, int64_t* execNanos = nullptr);

}  // namespace kv::bench
