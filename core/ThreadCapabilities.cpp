#include "core/ThreadCapabilities.h"

#include <dirent.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "log/CoreLog.h"

namespace kv::core {
namespace {

using namespace std::chrono_literals;

// How long one thread may take to answer, and how often the threads are listed again at most
// (each pass can only find threads started by threads not yet narrowed).
constexpr auto kAnswerWait = 200ms;
constexpr int kMaxPasses = 16;

// What the handler applies and reports. One signal is in flight at a time.
std::atomic<uint32_t> gSetToApply{0};
std::atomic<uint32_t> gAnswers{0};
std::atomic<int> gHandlerError{0};

void onCapsetSignal(int) {
  const int saved = errno;
  if (capsetThread(gSetToApply.load()) != 0) gHandlerError.store(errno);
  gAnswers.fetch_add(1);
  errno = saved;
}

int capsetSignal() {
  return SIGRTMAX;
}

bool installHandler() {
  static const bool installed = [] {
    struct sigaction action {};
    action.sa_handler = onCapsetSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    return sigaction(capsetSignal(), &action, nullptr) == 0;
  }();
  return installed;
}

std::vector<pid_t> listThreads() {
  std::vector<pid_t> threads;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return threads;
  while (const dirent* entry = readdir(dir)) {
    const long tid = std::strtol(entry->d_name, nullptr, 10);
    if (tid > 0) threads.push_back(static_cast<pid_t>(tid));
  }
  closedir(dir);
  return threads;
}

// Whether the thread holds an effective capability outside `set`; false once it has ended.
bool holdsMore(pid_t tid, uint32_t set) {
  std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("CapEff:", 0) != 0) continue;
    const unsigned long long effective = std::strtoull(line.c_str() + 7, nullptr, 16);
    return (effective & ~static_cast<unsigned long long>(set)) != 0;
  }
  return false;
}

// Signals one thread and waits for its handler to answer. False when it didn't in time.
bool narrowThread(pid_t tid) {
  const uint32_t before = gAnswers.load();
  if (syscall(SYS_tgkill, getpid(), tid, capsetSignal()) != 0) return errno == ESRCH;
  const auto deadline = std::chrono::steady_clock::now() + kAnswerWait;
  while (gAnswers.load() == before) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(100us);
  }
  return true;
}

}  // namespace

int capsetThread(uint32_t set) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {{set, set, 0}, {0, 0, 0}};
  return static_cast<int>(syscall(SYS_capset, &header, data));
}

int capsetEveryThread(uint32_t set) {
  if (capsetThread(set) != 0) return -1;
  if (!installHandler()) return -1;
  gSetToApply.store(set);
  gHandlerError.store(0);
  const auto self = static_cast<pid_t>(syscall(SYS_gettid));
  std::vector<pid_t> silent;  // threads that didn't answer: not asked again
  for (int pass = 0; pass < kMaxPasses; ++pass) {
    bool asked = false;
    for (const pid_t tid : listThreads()) {
      if (tid == self || !holdsMore(tid, set)) continue;
      if (std::find(silent.begin(), silent.end(), tid) != silent.end()) continue;
      asked = true;
      if (!narrowThread(tid)) {
        silent.push_back(tid);
        coreLog50("capset failed: thread {} did not answer", tid);
      }
    }
    if (!asked) break;
  }
  if (const int error = gHandlerError.load(); error != 0) {
    errno = error;
    return -1;
  }
  return 0;
}

}  // namespace kv::core
