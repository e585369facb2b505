// The pipe to the supervisor, in-process over a socket pair: framing across receives, the
// supervisor's own packets, routing to plugins, bad lengths and the loss of the pipe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <mutex>
#include <semaphore>
#include <thread>

#include "tests/support/CoreFixture.h"
#include "tests/support/IpcPackets.h"

namespace kv::core {
namespace {

using test::ipcPacket;

class SupervisorLinkTest : public test::CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair_), 0);
    ASSERT_TRUE(core_->Init(pair_[0]));
    addReceiver(0x21);
    addReceiver(0x22);
    core_->link->startIpcReceive();
  }
  void TearDown() override {
    if (pair_[1] >= 0) ::close(pair_[1]);
    CoreTest::TearDown();
  }

  // A plugin with ID `id` that notes the packets it receives.
  void addReceiver(uint32_t id) {
    auto& hooks = newHooks();
    hooks.load = [id](LoadReply& reply) { reply.address = makeAddress(id, 0x77); };
    hooks.ipc = [this, id](const void* packet, uint32_t length) {
      std::lock_guard lock(mutex_);
      received_[id].emplace_back(static_cast<const char*>(packet), length);
    };
    addHookPlugin("hook_search", hooks);
  }

  // Sends `bytes` as one message and lets the I/O work run until it was handled.
  void send(const std::string& bytes) {
    ASSERT_EQ(::send(pair_[1], bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    for (int i = 0; i < 20; ++i) core_->io->ioContext.run_for(std::chrono::milliseconds(2));
  }

  std::vector<std::string> packetsFor(uint32_t id) {
    std::lock_guard lock(mutex_);
    return received_[id];
  }

  bool logged(const std::string& text) {
    for (const auto& line : logLines()) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }

  int pair_[2] = {-1, -1};
  std::mutex mutex_;
  std::map<uint32_t, std::vector<std::string>> received_;
};

TEST_F(SupervisorLinkTest, PacketsAreFramedAcrossReceivesAndRoutedWhole) {
  const std::string first = ipcPacket(0x100, ipcRoute(0x21) | 0x5, "one");
  const std::string second = ipcPacket(0x100, ipcRoute(0x22), "two");
  const std::string third = ipcPacket(0x100, ipcRoute(0x21), std::string(100, 'x'));
  send(first + second);       // two packets in one receive
  send(third.substr(0, 10));  // shorter than a header
  send(third.substr(10, 40));
  EXPECT_TRUE(packetsFor(0x21).size() == 1);  // the third is not whole yet
  send(third.substr(50));
  EXPECT_EQ(packetsFor(0x21), (std::vector<std::string>{first, third}));
  EXPECT_EQ(packetsFor(0x22), std::vector<std::string>{second});
  EXPECT_EQ(core_->counters.ipcPacketsDelivered.load(), 3u);
  EXPECT_EQ(core_->counters.ipcBytesDelivered.load(), first.size() + second.size() + third.size());

  // No plugin has ID 0x23: dropped without a word, not counted.
  send(ipcPacket(0x100, ipcRoute(0x23), "nobody"));
  EXPECT_EQ(core_->counters.ipcPacketsDelivered.load(), 3u);
  EXPECT_FALSE(core_->stopRequested.load());
}

TEST_F(SupervisorLinkTest, TheSupervisorAnnouncesItself) {
  send(ipcPacket(kIpcTypeSupervisorInfo, 0,
                 std::string("korvad\0"
                             "1.0\0"
                             "Background:true",
                             26)));
  EXPECT_EQ(core_->supervisorInfo(), std::make_pair(std::string("korvad"), std::string("1.0")));
  EXPECT_TRUE(core_->logSink.background());

  send(ipcPacket(kIpcTypeSupervisorInfo, 0, std::string("korvad2\0", 8)));  // file name alone
  EXPECT_EQ(core_->supervisorInfo(), std::make_pair(std::string("korvad2"), std::string("1.0")));
  send(ipcPacket(kIpcTypeSupervisorInfo, 0, ""));  // exactly 16 bytes: nothing changes
  EXPECT_EQ(core_->supervisorInfo(), std::make_pair(std::string("korvad2"), std::string("1.0")));
  EXPECT_TRUE(packetsFor(0x21).empty());
}

TEST_F(SupervisorLinkTest, AnOptionOtherThanBackgroundChangesNothing) {
  send(ipcPacket(kIpcTypeSupervisorInfo, 0, std::string("f\0\0Background:false", 19)));
  EXPECT_EQ(core_->supervisorInfo(), std::make_pair(std::string("f"), std::string("")));
  EXPECT_FALSE(core_->logSink.background());
}

TEST_F(SupervisorLinkTest, PacketsBehindACloseAreStillDelivered) {
  const std::string packet = ipcPacket(0x100, ipcRoute(0x22), "after close");
  send(ipcPacket(kIpcTypeClose, 0, "") + packet);
  EXPECT_TRUE(core_->stopRequested.load());
  EXPECT_EQ(packetsFor(0x22), std::vector<std::string>{packet});
}

TEST_F(SupervisorLinkTest, BadLengthsDiscardTheBufferAndReceivingGoesOn) {
  for (uint32_t length : {0u, 15u, 65537u}) {
    const std::string good = ipcPacket(0x100, ipcRoute(0x21), "good");
    send(ipcPacket(0x100, ipcRoute(0x21), "bad", length) + good);  // the good one goes with it
    send(good);
    EXPECT_EQ(packetsFor(0x21).size(), 1u) << length;
    std::lock_guard lock(mutex_);
    received_.clear();
  }
  size_t reports = 0;
  for (const auto& line : logLines())
    reports += line.find("bad ipc packet length") != std::string::npos;
  EXPECT_EQ(reports, 3u);
}

// With part of a packet buffered, a longer record is cut by the kernel: its rest is lost and the
// buffered part can't be completed, so everything buffered goes, as for a bad length.
TEST_F(SupervisorLinkTest, ARecordCutByTheKernelResetsTheFraming) {
  const std::string cut = ipcPacket(0x100, ipcRoute(0x21), std::string(100, 'c'));
  send(cut.substr(0, 20));
  send(std::string(SupervisorLink::kIpcBufferSize - 10, 'x'));
  EXPECT_TRUE(logged("bad ipc packet length"));
  const std::string good = ipcPacket(0x100, ipcRoute(0x21), "good");
  send(good);
  EXPECT_EQ(packetsFor(0x21), std::vector<std::string>{good});
}

// Only whole packets go to the supervisor, which frames the pipe by their length words.
TEST_F(SupervisorLinkTest, OutgoingRecordsMustBeOnePacket) {
  const std::string packet = ipcPacket(0x100, 0, "payload");
  const std::pair<std::string, uint32_t> records[] = {
      {"", 0},                                    // reads as the pipe closing
      {packet.substr(0, 15), 15},                 // shorter than a header
      {ipcPacket(0x100, 0, "payload", 100), 23},  // declares more than it carries
      {ipcPacket(0x100, 0, "payload", 20), 23},   // declares less
  };
  for (const auto& [bytes, length] : records) {
    auto ipc = record(kTypeIpc, 0, makeAddress(0x21), bytes);
    ipc.length = length;
    EXPECT_EQ(core_->sendIpc(ipc), kPostRefused) << length;
  }
  auto empty = record(kTypeIpc, 0, makeAddress(0x21));
  empty.length = 16;  // a length without data
  EXPECT_EQ(core_->sendIpc(empty), kPostRefused);
  EXPECT_EQ(core_->counters.ipcMessagesQueued.load(), 0u);

  auto ipc = record(kTypeIpc, 0, makeAddress(0x21), packet);
  EXPECT_EQ(postEvent(&ipc), kPostAccepted);
}

// While the supervisor reads nothing the queue stops growing at its bound, and a packet longer
// than one send arrives in sends that the length word reassembles.
TEST_F(SupervisorLinkTest, TheSendQueueIsBounded) {
  core_->logLevels[0] = 0;
  const std::string packet = ipcPacket(0x100, 0, std::string(60 * 1024, 'p'));
  auto ipc = record(kTypeIpc, 0, makeAddress(0x21), packet);
  const size_t fit = SupervisorLink::kMaxIpcQueuedBytes / packet.size() + 1;
  for (size_t i = 0; i < fit; ++i) ASSERT_EQ(postEvent(&ipc), kPostAccepted) << i;
  EXPECT_EQ(postEvent(&ipc), kPostRefused);
  EXPECT_EQ(postEvent(&ipc), kPostRefused);
  EXPECT_TRUE(logged("core\033[0m ipc send queue full"));

  // The supervisor reads again: the queue drains and posts are taken.
  std::string received;
  const auto drain = [&] {
    for (int idle = 0; idle < 50;) {
      core_->io->ioContext.run_for(std::chrono::milliseconds(2));
      std::string chunk(2 * SupervisorLink::kIpcBufferSize, '\0');
      const ssize_t got = recv(pair_[1], chunk.data(), chunk.size(), MSG_DONTWAIT);
      if (got <= 0) {
        ++idle;
        continue;
      }
      EXPECT_LE(got, static_cast<ssize_t>(SupervisorLink::kIpcBufferSize));
      received.append(chunk.data(), static_cast<size_t>(got));
    }
  };
  drain();
  EXPECT_EQ(received.size(), fit * packet.size());
  EXPECT_EQ(core_->link->ipcQueuedBytes.load(), 0u);
  EXPECT_EQ(postEvent(&ipc), kPostAccepted);
  EXPECT_TRUE(logged("ipc send queue full: 2 packets refused"));

  const std::string large = ipcPacket(0x100, 0, std::string(100000, 'L'));
  auto big = record(kTypeIpc, 0, makeAddress(0x21), large);
  EXPECT_EQ(postEvent(&big), kPostAccepted);
  received.clear();
  drain();
  EXPECT_EQ(received, packet + large);
}

TEST_F(SupervisorLinkTest, LosingThePipeStopsTheCore) {
  ::close(pair_[1]);
  pair_[1] = -1;
  for (int i = 0; i < 20; ++i) core_->io->ioContext.run_for(std::chrono::milliseconds(2));
  EXPECT_TRUE(core_->stopRequested.load());
  EXPECT_FALSE(core_->link->ipcConnected.load());
  EXPECT_EQ(syslogCalls(), std::vector<std::string>{"korvad ipc pipe disconnected"});
  auto ipc = record(kTypeIpc, 0, makeAddress(0x21), "late");
  EXPECT_EQ(postEvent(&ipc), kPostRefused);
}

// A plugin with ID 8 removed at close while a packet is being delivered to it: its Close and
// Unload still run on the first thread, and Unload after the delivery has returned.
TEST_F(SupervisorLinkTest, AnIdEightPluginBusyWithAPacketIsTakenDownOnTheFirstThread) {
  std::binary_semaphore delivering{0};
  std::atomic<bool> delivered{false};
  std::thread::id closedOn;
  std::thread::id unloadedOn;
  bool deliveredAtUnload = false;
  auto& hooks = newHooks();
  hooks.load = [](LoadReply& reply) { reply.address = makeAddress(kPluginIdRemovedAtClose); };
  hooks.ipc = [&](const void*, uint32_t) {
    delivering.release();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    delivered = true;
  };
  hooks.close = [&] { closedOn = std::this_thread::get_id(); };
  hooks.unload = [&] {
    unloadedOn = std::this_thread::get_id();
    deliveredAtUnload = delivered.load();
  };
  addHookPlugin("hook_search", hooks);
  const std::string packet = ipcPacket(0x100, ipcRoute(kPluginIdRemovedAtClose), "busy");
  ASSERT_EQ(::send(pair_[1], packet.data(), packet.size(), 0), static_cast<ssize_t>(packet.size()));
  std::thread io([this] { core_->io->ioContext.run_for(std::chrono::seconds(1)); });
  ASSERT_TRUE(delivering.try_acquire_for(std::chrono::seconds(30)));
  core_->closePlugins();
  io.join();
  EXPECT_EQ(closedOn, std::this_thread::get_id());
  EXPECT_EQ(unloadedOn, std::this_thread::get_id());
  EXPECT_TRUE(deliveredAtUnload);
}

// The loss of the pipe stops the core even while its log output is blocked: the stop comes
// before the line that reports it.
TEST(SupervisorLinkLossTest, ALostPipeStopsTheCoreWhileItsOutputIsBlocked) {
  int out[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC | O_NONBLOCK), 0);
  while (::write(out[1], "x", 1) == 1) {
  }
  ASSERT_EQ(fcntl(out[1], F_SETFL, 0), 0);  // full, and blocking again
  LogSink::Seams seams;
  seams.outputFd = out[1];
  seams.syslogCritical = [](std::string_view) {};
  DvrCore core("/nonexistent/korvacore", seams);
  gCore = &core;
  std::atomic<bool> returned{false};
  std::thread io([&] {
    core.link->onIpcReceive(boost::asio::error::eof, 0);
    returned = true;
  });
  for (int i = 0; i < 3000 && !core.stopRequested.load(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(core.stopRequested.load());
  // Let the blocked line through.
  ASSERT_EQ(fcntl(out[0], F_SETFL, O_NONBLOCK), 0);
  char buffer[4096];
  while (!returned.load()) {
    if (::read(out[0], buffer, sizeof buffer) <= 0) std::this_thread::yield();
  }
  io.join();
  gCore = nullptr;
  ::close(out[0]);
  ::close(out[1]);
}

}  // namespace
}  // namespace kv::core
