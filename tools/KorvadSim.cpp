// korvad-sim: the development stand-in for korvad. Starts the core on one end of a packet socket
// pair, announces itself, passes on --send packets, prints every packet the core sends and closes
// the core on Ctrl-C or after --seconds. One thread: poll() over the pipe and over a self-pipe
// into which the signal handler writes the numbers of the signals it caught.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tools/IpcFraming.h"
#include "tools/SimOptions.h"

namespace kv::tools {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kHandledSignals[] = {SIGINT, SIGTERM, SIGCHLD};

int gSignalPipeWrite = -1;

// Async-signal-safe: only hands the number on to the loop.
void noteSignal(int number) {
  const int savedErrno = errno;
  const auto byte = static_cast<unsigned char>(number);
  [[maybe_unused]] const ssize_t written = write(gSignalPipeWrite, &byte, 1);
  errno = savedErrno;
}

void say(const std::string& line) {
  std::printf("korvad-sim: %s\n", line.c_str());
}

void complain(const std::string& what) {
  std::fprintf(stderr, "korvad-sim: %s: %s\n", what.c_str(), std::strerror(errno));
}

// In the forked child: becomes the core (or its emulator). Never returns.
[[noreturn]] void execCore(const std::vector<char*>& argv, int coreEnd, const std::string& dir) {
  // A process group of its own: Ctrl-C on the terminal reaches the sim alone, which turns it into
  // the close packet, the way the real supervisor stops the core.
  setpgid(0, 0);
  fcntl(coreEnd, F_SETFD, 0);  // the one descriptor the core inherits
  if (chdir(dir.c_str()) != 0) {
    dprintf(STDERR_FILENO, "korvad-sim: cannot enter %s: %s\n", dir.c_str(), strerror(errno));
    _exit(127);
  }
  execvp(argv[0], argv.data());
  dprintf(STDERR_FILENO, "korvad-sim: cannot start %s: %s\n", argv[0], strerror(errno));
  _exit(127);
}

class Supervisor {
 public:
  explicit Supervisor(SimOptions options) : options_(std::move(options)) {}

  // Starts the core and serves it until it has ended. Returns its exit code (128+signal when a
  // signal ended it), or 1 when it could not be started.
  int run();

 private:
  bool installSignals();
  bool startCore();
  void send(const std::string& packet);
  void sendClose();
  void sendDuePackets(Clock::time_point now);
  int pollTimeout(Clock::time_point now) const;
  bool receive(int flags);
  void pipeClosed(const std::string& why);
  void handleSignals();
  void reap(int waitOptions);

  SimOptions options_;
  int signalPipe_[2] = {-1, -1};
  int socket_ = -1;  // our end of the pipe; -1 once the core has closed its end
  pid_t core_ = -1;
  std::optional<int> exitCode_;  // set when the core has been reaped
  bool closeSent_ = false;
  std::optional<Clock::time_point> nextSend_;
  std::optional<Clock::time_point> closeAt_;
  std::vector<char> rx_ = std::vector<char>(core::kIpcMaxPacketSize);
};

int Supervisor::run() {
  if (!installSignals() || !startCore()) return 1;
  const auto start = Clock::now();
  if (!options_.sends.empty()) nextSend_ = start + options_.sendAfter;
  if (options_.seconds.count() > 0) closeAt_ = start + options_.seconds;
  send(supervisorInfoPacket(options_.file, options_.version, options_.background));

  while (!exitCode_) {
    sendDuePackets(Clock::now());
    pollfd fds[] = {{signalPipe_[0], POLLIN, 0}, {socket_, POLLIN, 0}};  // poll skips fd -1
    if (poll(fds, 2, pollTimeout(Clock::now())) < 0) {
      if (errno == EINTR) continue;
      complain("poll");
      kill(core_, SIGKILL);
      reap(0);
      break;
    }
    // The pipe first: what the core sent before it ended is printed before its end.
    if (fds[1].revents != 0) receive(0);
    if (fds[0].revents != 0) handleSignals();
  }
  return exitCode_.value_or(1);
}

bool Supervisor::installSignals() {
  if (pipe2(signalPipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    complain("pipe2");
    return false;
  }
  gSignalPipeWrite = signalPipe_[1];
  struct sigaction action {};
  action.sa_handler = noteSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
  for (const int number : kHandledSignals) sigaction(number, &action, nullptr);
  return true;
}

bool Supervisor::startCore() {
  int pair[2];
  // Both ends close on exec; the child clears the flag on its own end alone.
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
    complain("socketpair");
    return false;
  }
  std::error_code error;
  std::vector<std::string> words = options_.emulator;
  words.push_back(std::filesystem::absolute(options_.core, error).string());
  words.push_back(std::to_string(pair[1]));
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  // Signals stay blocked across the fork, so that none reaches the child before it has put back
  // the default handlers.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &previous);
  core_ = fork();
  if (core_ == 0) {
    for (const int number : kHandledSignals) signal(number, SIG_DFL);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    execCore(argv, pair[1], options_.dir);
  }
  const int forkErrno = errno;
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  ::close(pair[1]);
  if (core_ < 0) {
    errno = forkErrno;
    complain("fork");
    ::close(pair[0]);
    return false;
  }
  setpgid(core_, core_);  // the child does the same; whichever runs first wins
  socket_ = pair[0];
  return true;
}

void Supervisor::send(const std::string& packet) {
  if (socket_ < 0) return;
  // Never block: a core that doesn't read must not stop the sim from handling signals.
  if (::send(socket_, packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
    complain("send");
    return;
  }
  say("sent " + describePacket(splitMessage(packet).packets.front()));
}

void Supervisor::sendClose() {
  if (closeSent_ || socket_ < 0) return;
  closeSent_ = true;
  send(closePacket());
}

void Supervisor::sendDuePackets(Clock::time_point now) {
  if (nextSend_ && now >= *nextSend_) {
    for (const auto& plugin : options_.sends) send(pluginPacket(plugin.pluginId, plugin.text));
    if (options_.sendEvery.count() > 0) {
      while (*nextSend_ <= now) *nextSend_ += options_.sendEvery;  // skip rounds that were missed
    } else {
      nextSend_.reset();
    }
  }
  if (closeAt_ && now >= *closeAt_) {
    closeAt_.reset();
    sendClose();
  }
}

int Supervisor::pollTimeout(Clock::time_point now) const {
  std::optional<Clock::time_point> next;
  for (const auto& due : {nextSend_, closeAt_}) {
    if (due && (!next || *due < *next)) next = due;
  }
  if (!next) return -1;
  if (*next <= now) return 0;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
  return static_cast<int>(std::min<int64_t>(wait, INT_MAX));
}

// Reads and prints one message. Returns false when there was none to read.
bool Supervisor::receive(int flags) {
  // MSG_TRUNC makes recv report the whole size of a message too big for the buffer.
  const ssize_t size = recv(socket_, rx_.data(), rx_.size(), flags | MSG_TRUNC);
  if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return false;
  if (size <= 0) {
    pipeClosed(size == 0 ? "the core closed the pipe"
                         : std::string("pipe error: ") + strerror(errno));
    return false;
  }
  if (static_cast<size_t>(size) > rx_.size()) {
    say("message of " + std::to_string(size) + " bytes is over the packet limit; dropped");
    return true;
  }
  const SplitMessage split = splitMessage({rx_.data(), static_cast<size_t>(size)});
  for (const auto& packet : split.packets) say("packet " + describePacket(packet));
  if (!split.malformed.empty()) {
    say("malformed packet (" + std::to_string(split.malformed.size()) + " bytes) \"" +
        escapeBytes(split.malformed) + "\"");
  }
  return true;
}

void Supervisor::pipeClosed(const std::string& why) {
  say(why);
  ::close(socket_);
  socket_ = -1;
  nextSend_.reset();
  closeAt_.reset();
}

void Supervisor::handleSignals() {
  unsigned char numbers[32];
  ssize_t count;
  while ((count = read(signalPipe_[0], numbers, sizeof numbers)) > 0) {
    for (ssize_t i = 0; i < count && !exitCode_; ++i) {
      switch (numbers[i]) {
        case SIGINT:
          if (!closeSent_ && socket_ >= 0) {
            say("interrupted: closing the core");
            sendClose();
          } else {
            say("interrupted again: killing the core");
            kill(core_, SIGKILL);
          }
          break;
        case SIGTERM:
          say("passing SIGTERM on to the core");
          kill(core_, SIGTERM);
          break;
        case SIGCHLD: reap(WNOHANG); break;
      }
    }
  }
}

void Supervisor::reap(int waitOptions) {
  int status = 0;
  pid_t reaped;
  do {
    reaped = waitpid(core_, &status, waitOptions);
  } while (reaped < 0 && errno == EINTR);
  if (reaped != core_) return;
  while (socket_ >= 0 && receive(MSG_DONTWAIT)) {
  }
  if (WIFSIGNALED(status)) {
    exitCode_ = 128 + WTERMSIG(status);
    say("core killed by signal " + std::to_string(WTERMSIG(status)));
  } else {
    exitCode_ = WEXITSTATUS(status);
    say("core exited with code " + std::to_string(*exitCode_));
  }
}

}  // namespace
}  // namespace kv::tools

int main(int argc, char** argv) {
  using namespace kv::tools;
  const ParsedOptions parsed = parseOptions({argv + 1, argv + argc});
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "korvad-sim: %s\n%s", parsed.error.c_str(), usage().c_str());
    return 2;
  }
  if (parsed.options.help) {
    std::fputs(usage().c_str(), stdout);
    return 0;
  }
  // A line at a time, so that the lines fall in order among the core's log lines.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  return Supervisor(parsed.options).run();
}
