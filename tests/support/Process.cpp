#include "tests/support/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace kv::test {
namespace {

std::string readAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::vector<std::string> splitEmulator(const std::string& emulator) {
  std::vector<std::string> words;
  for (size_t start = 0; start < emulator.size();) {
    size_t end = emulator.find('|', start);
    if (end == std::string::npos) end = emulator.size();
    if (end > start) words.push_back(emulator.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

std::string temporaryFile(const char* pattern, int& fd) {
  std::string path = pattern;
  fd = mkstemp(path.data());
  return path;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& emulator, const std::string& program,
                           const std::vector<std::string>& args, const ProcessOptions& options) {
  std::vector<std::string> words = splitEmulator(emulator);
  words.push_back(program);
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  int out = -1;
  int err = -1;
  outPath_ = temporaryFile("/tmp/kv_out_XXXXXX", out);
  errPath_ = temporaryFile("/tmp/kv_err_XXXXXX", err);
  fchmod(out, 0666);  // a child that changes its user still writes to them
  fchmod(err, 0666);
  pid_ = fork();
  if (pid_ == 0) {
    const int in = ::open("/dev/null", O_RDWR);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (const auto& [ours, theirs] : options.fds) {
      if (ours == theirs) {
        fcntl(ours, F_SETFD, 0);
      } else {
        dup2(ours, theirs);
      }
    }
    if (!options.workingDir.empty() && chdir(options.workingDir.c_str()) != 0) _exit(126);
    if (options.inChild) options.inChild();
    execvp(argv[0], argv.data());
    _exit(127);
  }
  ::close(out);
  ::close(err);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) wait(std::chrono::seconds(5));
  unlink(outPath_.c_str());
  unlink(errPath_.c_str());
}

void ChildProcess::signal(int number) const {
  ::kill(pid_, number);
}

bool ChildProcess::endsWithin(std::chrono::milliseconds limit) const {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    siginfo_t info{};
    // WNOWAIT: the child stays a zombie for wait() to reap and read.
    if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid_) {
      return true;
    }
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string ChildProcess::outputSoFar() const {
  return readAll(outPath_);
}

ProcessResult ChildProcess::wait(std::chrono::seconds limit) {
  ProcessResult result;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = -1;
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = readAll(outPath_);
  result.err = readAll(errPath_);
  return result;
}

ProcessResult runProcess(const std::string& emulator, const std::string& program,
                         const std::vector<std::string>& args, const ProcessOptions& options) {
  return ChildProcess(emulator, program, args, options).wait();
}

}  // namespace kv::test
