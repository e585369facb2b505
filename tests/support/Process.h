// Runs a program of this build as a child process, through the target's emulator when the tests
// run under one, and collects its exit code and output.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace kv::test {

struct ProcessResult {
  int exitCode = -1;  // 128 + signal when it was killed
  std::string out;
  std::string err;
};

struct ProcessOptions {
  std::string workingDir;
  // Descriptors of this process to hand to the child under another number: {ours, theirs}.
  std::vector<std::pair<int, int>> fds;
  // Runs in the child before the program starts, for instance to change its user.
  std::function<void()> inChild;
};

class ChildProcess {
 public:
  // Starts `program` with `args` (argv[0] is `program` itself). `emulator`: '|'-separated command
  // line that precedes the program, empty to run it directly.
  ChildProcess(const std::string& emulator, const std::string& program,
               const std::vector<std::string>& args, const ProcessOptions& options);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void signal(int number) const;
  pid_t pid() const { return pid_; }
  // Whether the child has ended within `limit`, leaving it to wait() to collect it.
  bool endsWithin(std::chrono::milliseconds limit) const;
  // What the child wrote to standard output so far.
  std::string outputSoFar() const;
  // Waits for the child (killing it after `limit`) and collects its output.
  ProcessResult wait(std::chrono::seconds limit = std::chrono::seconds(60));

 private:
  pid_t pid_ = -1;
  std::string outPath_;
  std::string errPath_;
};

// Starts the program and waits for it.
ProcessResult runProcess(const std::string& emulator, const std::string& program,
                         const std::vector<std::string>& args, const ProcessOptions& options);

}  // namespace kv::test
