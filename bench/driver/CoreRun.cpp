#include "bench/driver/CoreRun.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

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
using Clock = std::chrono::steady_clock;

void stage(const CorePaths& paths, const CoreScenario& scenario, const fs::path& dir) {
  fs::remove_all(dir);
  fs::create_directories(dir / "plugins");
  fs::create_directories(dir / "protected-plugins");
  fs::copy_file(paths.core, dir / "korvacore");
  fs::copy_file(paths.producer, dir / "plugins" / "BenchProducer.so");
  std::ofstream(dir / "plugins" / "BenchProducer.so.conf")
      << "count=" << scenario.count << "\npayload=" << scenario.payload << "\n"
      << (scenario.skip ? "skip=" + std::to_string(*scenario.skip) + "\n" : "");
  for (uint32_t i = 0; i < scenario.consumers; ++i) {
    const std::string name = "BenchConsumer" + std::to_string(i + 1) + ".so";
    fs::copy_file(paths.consumer, dir / "plugins" / name);
    std::ofstream(dir / "plugins" / (name + ".conf"))
        << "id=" << kFirstConsumerId + i << "\npayload=" << scenario.payload << "\n";
  }
  // Memory throttling gates only video and audio; off, so that no memory check runs beside us.
  std::ofstream(dir / "core.xml")
      << "<?xml version=\"1.0\"?>\n<kDVR>\n\t<Memory Throttling=\"0\"/>\n"
      << "</kDVR>\n";
}

// In the forked child: becomes the core, its output in `log`. Never returns. Everything it needs
// is made before the fork: the child of a threaded process may not allocate.
[[noreturn]] void execCore(const fs::path& dir, char* const* argv, const std::string& log,
                           int coreEnd) {
  if (chdir(dir.c_str()) != 0) _exit(127);
  const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(out, STDERR_FILENO) < 0) _exit(127);
  // The core's end becomes descriptor 3, the one it inherits; dup2 clears close-on-exec.
  if (coreEnd == 3) {
    fcntl(3, F_SETFD, 0);
  } else if (dup2(coreEnd, 3) < 0) {
    _exit(127);
  }
  execvp(argv[0], argv);
  _exit(127);
}

class Supervised {
 public:
  Supervised(const fs::path& dir, std::vector<std::string> emulator, uint32_t consumers)
      : dir_(dir), emulator_(std::move(emulator)), consumers_(consumers) {}
  ~Supervised() {
    if (core_ > 0 && !exit_) {
      kill(core_, SIGKILL);
      waitpid(core_, nullptr, 0);
    }
    if (socket_ >= 0) ::close(socket_);
  }

  bool start() {
    std::vector<std::string> words = emulator_;
    words.push_back((dir_ / "korvacore").string());
    words.push_back("3");
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const std::string log = (dir_ / "core.log").string();
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return false;
    core_ = fork();
    if (core_ == 0) execCore(dir_, argv.data(), log, pair[1]);
    ::close(pair[1]);
    socket_ = pair[0];
    if (core_ < 0) return false;
    return send(tools::supervisorInfoPacket("korvad", "bench", false));
  }

  // Serves the core until the producer and every consumer have reported, the core has ended or
  // the deadline has passed. False in the last two cases.
  bool awaitReports(Clock::time_point deadline) {
    while (!producer_ || consumerReports_.size() < consumers_) {
      if (reaped(WNOHANG) || Clock::now() >= deadline) return false;
      receive(100);
    }
    return true;
  }

  // Sends the close packet and waits for the core to end; its exit code, or nullopt when it had
  // to be killed.
  std::optional<int> close(Clock::time_point deadline) {
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

  const std::optional<ProducerReport>& producer() const { return producer_; }
  const std::vector<ConsumerReport>& consumers() const { return consumerReports_; }
  std::optional<int> exitCode() const { return exit_; }

 private:
  bool send(const std::string& packet) {
    return ::send(socket_, packet.data(), packet.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(packet.size());
  }

  void receive(int timeoutMs) {
    pollfd ready{socket_, POLLIN, 0};
    if (socket_ < 0 || poll(&ready, 1, timeoutMs) != 1) return;
    const ssize_t size = recv(socket_, rx_.data(), rx_.size(), MSG_DONTWAIT);
    if (size == 0) {
      ::close(socket_);  // the core closed its end; it is ending
      socket_ = -1;
    }
    if (size <= 0) return;
    for (const auto& packet :
         tools::splitMessage({rx_.data(), static_cast<size_t>(size)}).packets) {
      if (packet.type != kReportPacketType) continue;
      if (auto report = parseProducerReport(packet.payload)) producer_ = report;
      if (auto report = parseConsumerReport(packet.payload)) consumerReports_.push_back(*report);
    }
  }

  bool reaped(int options) {
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

  fs::path dir_;
  std::vector<std::string> emulator_;
  uint32_t consumers_;
  pid_t core_ = -1;
  int socket_ = -1;
  std::optional<int> exit_;
  std::vector<char> rx_ = std::vector<char>(core::kIpcMaxPacketSize);
  std::optional<ProducerReport> producer_;
  std::vector<ConsumerReport> consumerReports_;
};

}  // namespace

RunOutcome runCore(const CorePaths& paths, const CoreScenario& scenario, const fs::path& dir,
                   std::chrono::seconds limit) {
  stage(paths, scenario, dir);
  const std::string seeLog = "; see " + (dir / "core.log").string();
  Supervised run(dir, paths.emulator, scenario.consumers);
  if (!run.start()) return {0, std::string("cannot start the core: ") + std::strerror(errno), 0};
  const bool reported = run.awaitReports(Clock::now() + limit);
  const std::optional<int> endedEarly = run.exitCode();
  const std::optional<int> code = run.close(Clock::now() + std::chrono::seconds(30));
  if (!reported) {
    const std::string why =
        endedEarly ? "the core ended with code " + std::to_string(*endedEarly) + " before"
                   : "no answer within " + std::to_string(limit.count()) + " s from";
    return {0,
            why + " every plugin reported (" + std::to_string(run.consumers().size()) + " of " +
                std::to_string(scenario.consumers) + " consumers, the producer " +
                (run.producer() ? "did" : "did not") + ")" + seeLog,
            0};
  }
  if (!code) return {0, "the core did not end within 30 s of the close packet" + seeLog, 0};
  if (*code != 0) return {0, "the core ended with code " + std::to_string(*code) + seeLog, 0};
  return judgeRun(*run.producer(), run.consumers(), scenario.count, scenario.consumers);
}

}  // namespace kv::bench
