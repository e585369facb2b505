// Runs a program of this build as a child process, through the target's emulator when the tests
// run under one, and collects its exit code and output.
#pragma once

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
  // The child's standard input; /dev/null when empty.
  std::string stdinPath;
};

// `program` with `args` (argv[0] is `program` itself). `emulator`: '|'-separated command line
// that precedes the program, empty to run it directly.
ProcessResult runProcess(const std::string& emulator, const std::string& program,
                         const std::vector<std::string>& args, const ProcessOptions& options);

}  // namespace kv::test
