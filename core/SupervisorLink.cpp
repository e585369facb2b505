// The pipe to the supervisor: wrapping the descriptor it hands over, and writing the packets that
// plugins post, in posting order, on the I/O thread.
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <new>

#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>

#include "core/DvrCore.h"

namespace kv::core {

bool DvrCore::openIpcPipe(int32_t pipeFd) {
  boost::system::error_code error;
  ipcSocket.assign(boost::asio::generic::seq_packet_protocol(AF_UNIX, 0), pipeFd, error);
  if (error) return false;
  ipcConnected.store(true);
  return true;
}

int DvrCore::sendIpc(const EventParms& event) {
  // Sequentially consistent: pairs with the I/O thread clearing it when the pipe goes.
  if (!ipcConnected.load()) return kPostRefused;
  std::unique_ptr<uint8_t[]> packet(new uint8_t[event.length]);
  std::memcpy(packet.get(), event.data, event.length);
  boost::asio::post(ioContext, [this, packet = std::move(packet), length = event.length]() mutable {
    ipcSendQueue.emplace_back(std::move(packet), length);
    if (ipcSendQueue.size() == 1) writeIpcQueue();
  });
  counters.ipcMessagesQueued.fetch_add(1, std::memory_order_relaxed);
  return kPostAccepted;
}

// Writes the front packet from `offset` on, completely, then the next; a failed send drops that
// packet silently. I/O thread only.
void DvrCore::writeIpcQueue(uint32_t offset) {
  if (ipcSendQueue.empty() || !ipcSocket.is_open()) return;
  const auto& [packet, length] = ipcSendQueue.front();
  const uint32_t chunk = std::min(length - offset, kIpcBufferSize);
  ipcSocket.async_send(boost::asio::buffer(packet.get() + offset, chunk), 0,
                       [this, offset](const boost::system::error_code& error, size_t sent) {
                         const uint32_t done = offset + static_cast<uint32_t>(sent);
                         if (!error && done < ipcSendQueue.front().second) {
                           writeIpcQueue(done);
                           return;
                         }
                         ipcSendQueue.pop_front();
                         writeIpcQueue(0);
                       });
}

}  // namespace kv::core
