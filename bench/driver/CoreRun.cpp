#include "bench/driver/CoreRun.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "bench/plugins/BenchReport.h"
#include "tools/IpcFraming.h"

namespace kv::bench {
namespace {

namespace fs = std::filesystem;

// In the forked child: becomes the core, its output in `log`, after writing the steady-clock time
// to `stampEnd`. Never returns. Everything it needs is made before the fork: the child of a
// threaded process may not allocate.
[[noreturn]] void execCore(const fs::path& dir, char* const* argv, const std::string& log,
                           int coreEnd, int stampEnd) {
  if (chdir(dir.c_str()) != 0) _exit(127);
  const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(out, STDERR_FILENO) < 0) _exit(127);
  // The core's end becomes descriptor 3, the one it inherits; dup2 clears close-on-exec.
  if (coreEnd == 3) {
    fcntl(3, F_SETFD, 0);
  } else if (dup2(coreEnd, 3) < 0) {
    _exit(127);
  }
  // CLOCK_MONOTONIC is steady_clock's clock; both calls are safe after a fork.
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const int64_t nanos = static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
  if (write(stampEnd, &nanos, sizeof nanos) != sizeof nanos) _exit(127);
  execvp(argv[0], argv);
  _exit(127);
}

}  // namespace

void stageTree(const fs::path& core, const fs::path& dir, const std::vector<StagedPlugin>& plugins,
               const std::string& coreXml) {
  fs::remove_all(dir);
  fs::create_directories(dir / "plugins");
  fs::create_directories(dir / "protected-plugins");
  fs::copy_file(core, dir / "korvacore");
  for (const StagedPlugin& plugin : plugins) {
    fs::copy_file(plugin.library, dir / "plugins" / plugin.name);
    if (!plugin.conf.empty())
      std::ofstream(dir / "plugins" / (plugin.name + ".conf")) << plugin.conf;
  }
  std::ofstream(dir / "core.xml") << coreXml;
}

SupervisedCore::SupervisedCore(fs::path dir, std::vector<std::string> emulator)
    : dir_(std::move(dir)), emulator_(std::move(emulator)), rx_(core::kIpcMaxPacketSize) {}

SupervisedCore::~SupervisedCore() {
  if (core_ > 0 && !exit_) {
    kill(core_, SIGKILL);
    waitpid(core_, nullptr, 0);
  }
  if (socket_ >= 0) ::close(socket_);
}

bool SupervisedCore::start() {
  std::vector<std::string> words = emulator_;
  words.push_back((dir_ / "korvacore").string());
  words.push_back("3");
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const std::string log = logPath().string();
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return false;
  int stamp[2];
  if (pipe2(stamp, O_CLOEXEC) != 0) {
    ::close(pair[0]);
    ::close(pair[1]);
    return false;
  }
  core_ = fork();
  if (core_ == 0) execCore(dir_, argv.data(), log, pair[1], stamp[1]);
  ::close(pair[1]);
  ::close(stamp[1]);
  socket_ = pair[0];
  if (core_ > 0) {
    ssize_t got;
    do {
      got = read(stamp[0], &execNanos_, sizeof execNanos_);
    } while (got < 0 && errno == EINTR);
    if (got != sizeof execNanos_) execNanos_ = 0;
  }
  ::close(stamp[0]);
  if (core_ < 0) return false;
  return send(tools::supervisorInfoPacket("korvad", "bench", false));
}

bool SupervisedCore::serveUntil(const std::function<bool(const ReportLines&)>& done,
                                Clock::time_point deadline) {
  while (!done(lines_)) {
    if (reaped(WNOHANG) || Clock::now() >= deadline) return false;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    receive(static_cast<int>(std::clamp<long long>(left, 0, 100)));
  }
  return true;
}

std::optional<int> SupervisedCore::close(Clock::time_point deadline) {
  if (!exit_) send(tools::closePacket());
  while (!reaped(WNOHANG)) {
    if (Clock::now() >= deadline) {
      kill(core_, SIGKILL);
      reaped(0);
      return std::nullopt;
    }
    receive(20);  // what the core sends while it closes must not block it
  }
  return exit_;
}

bool SupervisedCore::send(const std::string& packet) {
  return ::send(socket_, packet.data(), packet.size(), MSG_NOSIGNAL) ==
         static_cast<ssize_t>(packet.size());
}

void SupervisedCore::receive(int timeoutMs) {
  pollfd ready{socket_, POLLIN, 0};
  if (socket_ < 0 || poll(&ready, 1, timeoutMs) != 1) return;
  const ssize_t size = recv(socket_, rx_.data(), rx_.size(), MSG_DONTWAIT);
  if (size == 0) {
    ::close(socket_);  // the core closed its end; it is ending
    socket_ = -1;
  }
  if (size <= 0) return;
  for (const auto& packet : tools::splitMessage({rx_.data(), static_cast<size_t>(size)}).packets) {
    if (packet.type == kReportPacketType) lines_.emplace_back(packet.payload);
  }
}

bool SupervisedCore::reaped(int options) {
  if (exit_) return true;
  int status = 0;
  pid_t got;
  do {
    got = waitpid(core_, &status, options);
  } while (got < 0 && errno == EINTR);
  if (got != core_) return false;
  exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

std::optional<ProducerReport> producerIn(const ReportLines& lines) {
  std::optional<ProducerReport> found;
  for (const std::string& line : lines) {
    if (auto report = parseProducerReport(line)) found = report;
  }
  return found;
}

std::vector<ConsumerReport> consumersIn(const ReportLines& lines) {
  std::vector<ConsumerReport> found;
  for (const std::string& line : lines) {
    if (auto report = parseConsumerReport(line)) found.push_back(*report);
  }
  return found;
}

RunOutcome runStaged(const fs::path& dir, const std::vector<std::string>& emulator,
                     uint32_t consumers, uint64_t count, std::chrono::seconds limit,
                     ReportLines* lines, int64_t* execNanos) {
  const std::string seeLog = "; see " + (dir / "core.log").string();
  SupervisedCore run(dir, emulator);
  if (!run.start()) return {0, std::string("cannot start the core: ") + std::strerror(errno), 0};
  const bool reported = run.serveUntil(
      [&](const ReportLines& got) {
        return producerIn(got) && consumersIn(got).size() >= consumers;
      },
      Clock::now() + limit);
  const std::optional<int> endedEarly = run.exitCode();
  const std::optional<int> code = run.close(Clock::now() + std::chrono::seconds(30));
  if (lines != nullptr) *lines = run.lines();
  if (execNanos != nullptr) *execNanos = run.execNanos();
  if (!reported) {
    const std::string why =
        endedEarly ? "the core ended with code " + std::to_string(*endedEarly) + " before"
                   : "no answer within " + std::to_string(limit.count()) + " s from";
    return {0,
            why + " every plugin reported (" + std::to_string(consumersIn(run.lines()).size()) +
                " of " + std::to_string(consumers) + " consumers, the producer " +
                (producerIn(run.lines()) ? "did" : "did not") + ")" + seeLog,
            0};
  }
  if (!code) return {0, "the core did not end within 30 s of the close packet" + seeLog, 0};
  if (*code != 0) return {0, "the core ended with code " + std::to_string(*code) + seeLog, 0};
  return judgeRun(*producerIn(run.lines()), consumersIn(run.lines()), count, consumers);
}

void stageScenario(const CorePaths& paths, const CoreScenario& scenario, const fs::path& dir) {
  std::string producerConf = "count=" + std::to_string(scenario.count) +
                             "\npayload=" + std::to_string(scenario.payload) +
                             "\npace=" + std::to_string(scenario.pace) +
                             "\nwait=" + (scenario.waitForDispatch ? "1" : "0") + "\n";
  if (scenario.skip) producerConf += "skip=" + std::to_string(*scenario.skip) + "\n";
  std::vector<StagedPlugin> plugins{{paths.producer, "BenchProducer.so", producerConf}};
  for (uint32_t i = 0; i < scenario.consumers; ++i) {
    plugins.push_back({paths.consumer, "BenchConsumer" + std::to_string(i + 1) + ".so",
                       "id=" + std::to_string(kFirstConsumerId + i) +
                           "\npayload=" + std::to_string(scenario.payload) +
                           "\nlatency=" + (scenario.latency ? "1" : "0") + "\n"});
  }
  stageTree(paths.core, dir, plugins);
}

RunOutcome runCore(const CorePaths& paths, const CoreScenario& scenario, const fs::path& dir,
                   std::chrono::seconds limit, ReportLines* lines, int64_t* execNanos) {
  stageScenario(paths, scenario, dir);
  return runStaged(dir, paths.emulator, scenario.consumers, scenario.count, limit, lines,
                   execNanos);
}

}  // namespace kv::bench
