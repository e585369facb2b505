// A stand-in core for the korvad-sim tests. Takes the pipe descriptor as its only argument, notes
// in ./received.log what it inherited and every packet it receives, and answers the supervisor
// information with one packet for the supervisor. FAKE_CORE_MODE picks how it ends:
//   close (default)  exits with FAKE_CORE_EXIT (default 0) on the close packet;
//   exit             exits with FAKE_CORE_EXIT right after its answer;
//   kill             kills itself with SIGKILL right after its answer.
// SIGTERM makes it exit with 43.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/IpcFraming.h"

namespace {

using namespace kv::tools;

std::string env(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : fallback;
}

// Packet sockets among the open descriptors: the sim's own end must not be one of them.
int countPacketSockets() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    int type = 0;
    socklen_t size = sizeof type;
    const int fd = std::atoi(entry.path().filename().c_str());
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0 && type == SOCK_SEQPACKET) ++count;
  }
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGTERM, [](int) { _exit(43); });
  const std::string mode = env("FAKE_CORE_MODE", "close");
  const int exitCode = std::atoi(env("FAKE_CORE_EXIT", "0").c_str());
  std::ofstream log("received.log");
  log << "args=" << argc - 1 << " seqpacket=" << countPacketSockets() << std::endl;
  std::printf("fake core up\n");
  std::fflush(stdout);
  if (argc != 2) return 4;
  const int pipe = std::atoi(argv[1]);

  std::vector<char> buffer(kv::core::kIpcMaxPacketSize);
  for (;;) {
    const ssize_t size = recv(pipe, buffer.data(), buffer.size(), 0);
    if (size <= 0) return 3;
    for (const auto& packet : splitMessage({buffer.data(), static_cast<size_t>(size)}).packets) {
      log << describePacket(packet) << std::endl;
      if (packet.type == kv::core::kIpcTypeClose) return exitCode;
      if (packet.type != kv::core::kIpcTypeSupervisorInfo) continue;
      const std::string answer = pluginPacket(0x11, "frames=12 held=3");
      send(pipe, answer.data(), answer.size(), 0);
      if (mode == "exit") return exitCode;
      if (mode == "kill") raise(SIGKILL);
    }
  }
}
