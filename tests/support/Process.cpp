#include "tests/support/Process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

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

}  // namespace

ProcessResult runProcess(const std::string& emulator, const std::string& program,
                         const std::vector<std::string>& args, const ProcessOptions& options) {
  std::vector<std::string> words = splitEmulator(emulator);
  words.push_back(program);
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  char outPath[] = "/tmp/kv_out_XXXXXX";
  char errPath[] = "/tmp/kv_err_XXXXXX";
  const int out = mkstemp(outPath);
  const int err = mkstemp(errPath);
  const std::string input = options.stdinPath.empty() ? "/dev/null" : options.stdinPath;
  // Everything the child needs is prepared before the fork: it only calls async-signal-safe
  // functions until exec.
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = ::open(input.c_str(), O_RDWR);
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
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ProcessResult result;
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = readAll(outPath);
  result.err = readAll(errPath);
  ::close(out);
  ::close(err);
  unlink(outPath);
  unlink(errPath);
  return result;
}

}  // namespace kv::test
