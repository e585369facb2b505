// SupervisorLink: the pipe to the supervisor, a sequenced-packet socket handed over as a
// descriptor. It frames what the supervisor sends by the packets' length words, handles the
// supervisor's own packets (its name and version, close) and routes every other packet to the
// plugin named in its route word; it writes the packets plugins post, whole and in posting order.
//
// Threads: sendIpc and supervisorInfo on any thread; everything else on the I/O thread (or on
// the first thread before the I/O thread starts and after it has stopped). Senders on other
// threads reach the socket only by posting to the io_context.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include <boost/asio/generic/seq_packet_protocol.hpp>
#include <boost/asio/io_context.hpp>

#include "core/Guarded.h"
#include "core/IpcReceiveFraming.h"
#include "events/EventParms.h"
#include "log/RefusalRun.h"
#include "plugins/IpcPacket.h"

namespace kv::core {

class DvrCore;

class SupervisorLink {
 public:
  // One whole packet at most.
  static constexpr uint32_t kIpcBufferSize = IpcReceiveFraming::kBufferSize;
  // Bound of the packets queued for the pipe while the supervisor reads nothing: sendIpc refuses
  // while more than this is queued.
  static constexpr uint64_t kMaxIpcQueuedBytes = 1024 * 1024;

  // `core` routes packets to its plugins, counts them and is stopped by a close packet or the loss
  // of the pipe; `context` is the I/O thread's.
  SupervisorLink(DvrCore& core, boost::asio::io_context& context);
  ~SupervisorLink();
  SupervisorLink(const SupervisorLink&) = delete;
  SupervisorLink& operator=(const SupervisorLink&) = delete;

  // Wraps the descriptor; false when it can't be. First thread, before the I/O thread starts.
  bool open(int32_t pipeFd);
  // Frees the packets still queued and closes the socket. First thread, after the I/O thread.
  void close();

  // Queues a copy of the record's payload, one whole packet, for writing in posting order: 0, or
  // 1 when no pipe is held, the record is not one whole packet, or the queue is over its bound.
  // Any thread.
  int sendIpc(const EventParms& event);
  // Arms one receive on the pipe; each completion frames the packets received so far and handles
  // or routes them. I/O thread.
  void startIpcReceive();
  void onIpcReceive(const boost::system::error_code& error, size_t received);
  // The supervisor's file name and version as it announced them. Any thread.
  std::pair<std::string, std::string> supervisorInfo() const;

  boost::asio::generic::seq_packet_protocol::socket ipcSocket;  // I/O thread only
  // Whether `ipcSocket` holds a descriptor, for the senders on other threads.
  std::atomic<bool> ipcConnected{false};
  std::deque<std::pair<std::unique_ptr<uint8_t[]>, uint32_t>> ipcSendQueue;  // I/O thread only
  IpcReceiveFraming ipcRx;  // the received bytes not yet handled; I/O thread only
  // Bytes of the packets accepted and not yet written or dropped; lock-free, for the senders.
  std::atomic<uint64_t> ipcQueuedBytes{0};
  RefusalRun ipcRefusals;  // packets refused for the bound, logged as one run
  // As the supervisor announced them; written on the I/O thread, read through supervisorInfo().
  mutable std::mutex supervisorMutex;  // a leaf
  std::string supervisorFile KV_GUARDED_BY(supervisorMutex);
  std::string supervisorVersion KV_GUARDED_BY(supervisorMutex);

 private:
  void writeIpcQueue(uint32_t offset = 0);
  void handleIpcPacket(const uint8_t* packet, uint32_t length);
  void takeSupervisorInfo(const uint8_t* payload, uint32_t length);
  void routeIpcPacket(const uint8_t* packet, uint32_t length);
  void disconnectIpc();

  DvrCore& core_;
  boost::asio::io_context& ioContext_;
  boost::asio::socket_base::message_flags ipcRxFlags_ = 0;  // filled by each receive
};

}  // namespace kv::core
