// The pipe to the supervisor: wrapping the descriptor it hands over, framing and handling the
// packets it sends, and writing the packets that plugins post, in posting order. Everything but
// sendIpc runs on the I/O thread.
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>

#include "core/SupervisorLink.h"

#include "core/DvrCore.h"
#include "log/CoreLog.h"
#include "plugins/IpcPacket.h"

namespace kv::core {
namespace {

// Fields separated by single NULs; a NUL that ends the payload starts no new field.
std::vector<std::string> splitFields(const uint8_t* payload, uint32_t length) {
  std::vector<std::string> fields;
  uint32_t start = 0;
  for (uint32_t i = 0; i < length; ++i) {
    if (payload[i] != 0) continue;
    fields.emplace_back(reinterpret_cast<const char*>(payload + start), i - start);
    start = i + 1;
  }
  if (start < length)
    fields.emplace_back(reinterpret_cast<const char*>(payload + start), length - start);
  return fields;
}

}  // namespace

SupervisorLink::SupervisorLink(DvrCore& core, boost::asio::io_context& context)
    : ipcSocket(context), core_(core), ioContext_(context) {}

SupervisorLink::~SupervisorLink() {
  close();
}

bool SupervisorLink::open(int32_t pipeFd) {
  boost::system::error_code error;
  ipcSocket.assign(boost::asio::generic::seq_packet_protocol(AF_UNIX, 0), pipeFd, error);
  if (error) return false;
  ipcConnected.store(true);
  return true;
}

void SupervisorLink::close() {
  ipcSendQueue.clear();
  if (!ipcSocket.is_open()) return;
  ipcConnected.store(false);
  boost::system::error_code ignored;
  ipcSocket.close(ignored);
}

void SupervisorLink::startIpcReceive() {
  ipcSocket.async_receive(boost::asio::buffer(ipcRx.space(), ipcRx.room()), ipcRxFlags_,
                          [this](const boost::system::error_code& error, size_t received) {
                            onIpcReceive(error, received);
                          });
}

void SupervisorLink::onIpcReceive(const boost::system::error_code& error, size_t received) {
  if (error || received == 0) {
    disconnectIpc();
    return;
  }
  // A record longer than the room left was cut by the kernel, and its rest is gone: the framing
  // can't be trusted any more, as after a bad length.
  if ((ipcRxFlags_ & MSG_TRUNC) != 0) {
    coreLog50("bad ipc packet length");
    ipcRx.reset();
    startIpcReceive();
    return;
  }
  const auto framed = ipcRx.take(
      static_cast<uint32_t>(received),
      [this](const uint8_t* packet, uint32_t length) { handleIpcPacket(packet, length); });
  if (framed == IpcReceiveFraming::Result::kBadLength) coreLog50("bad ipc packet length");
  startIpcReceive();
}

void SupervisorLink::handleIpcPacket(const uint8_t* packet, uint32_t length) {
  switch (readIpcHeader(packet).type) {
    case kIpcTypeSupervisorInfo:
      if (length > kIpcHeaderSize) {
        takeSupervisorInfo(packet + kIpcHeaderSize, length - kIpcHeaderSize);
      }
      break;
    case kIpcTypeClose: core_.requestStop(); break;
    default: routeIpcPacket(packet, length);
  }
}

// The supervisor's file name, version and an option word.
void SupervisorLink::takeSupervisorInfo(const uint8_t* payload, uint32_t length) {
  const auto fields = splitFields(payload, length);
  if (fields.size() >= 3 && fields[2] == kIpcBackgroundOption) core_.logSink.setBackground();
  std::lock_guard lock(supervisorMutex);
  if (fields.size() >= 2) supervisorVersion = fields[1];
  if (!fields.empty()) supervisorFile = fields[0];
}

// To the first plugin whose ID is in bits 20 to 27 of the route word; dropped when none has it.
void SupervisorLink::routeIpcPacket(const uint8_t* packet, uint32_t length) {
  const uint32_t id = ipcRoutePluginId(readIpcHeader(packet).route);
  std::shared_ptr<Plugin> target;
  {
    std::lock_guard lock(core_.pluginsMutex);
    for (const auto& plugin : core_.plugins) {
      const uint32_t address = plugin->reply().address;
      if (address != kCoreAddress && addressSlot(address) == id) {
        target = plugin;
        break;
      }
    }
  }
  if (target == nullptr) return;
  target->DeliverIpcResult(length, packet);
  core_.counters.ipcPacketsDelivered.fetch_add(1, std::memory_order_relaxed);
  core_.counters.ipcBytesDelivered.fetch_add(length, std::memory_order_relaxed);
}

void SupervisorLink::disconnectIpc() {
  // The stop first: the log line may block on standard output, and the core must stop anyway.
  core_.requestStop();
  coreLog100("korvad ipc pipe disconnected");
  if (ipcSocket.is_open()) {
    ipcConnected.store(false);
    boost::system::error_code error;
    ipcSocket.close(error);
    if (error) coreLog50("failed to close ipc pipe: {}", error.message());
  }
}

std::pair<std::string, std::string> SupervisorLink::supervisorInfo() const {
  std::lock_guard lock(supervisorMutex);
  return {supervisorFile, supervisorVersion};
}

int SupervisorLink::sendIpc(const EventParms& event) {
  // Sequentially consistent: pairs with the I/O thread clearing it when the pipe goes.
  if (!ipcConnected.load()) return kPostRefused;
  // The supervisor frames the pipe by the length words: a record that is not one whole packet
  // would put it out of step for every plugin after it, and an empty one reads as the pipe closing.
  const auto* data = static_cast<const uint8_t*>(event.data);
  if (data == nullptr || event.length < kIpcHeaderSize || readLe32(data) != event.length) {
    return kPostRefused;
  }
  // Relaxed: the count only bounds memory; the packets themselves are ordered by the io_context.
  if (ipcQueuedBytes.fetch_add(event.length, std::memory_order_relaxed) > kMaxIpcQueuedBytes) {
    ipcQueuedBytes.fetch_sub(event.length, std::memory_order_relaxed);
    if (ipcRefusals.refuse()) coreLog75("ipc send queue full");
    return kPostRefused;
  }
  if (const uint32_t refused = ipcRefusals.accept()) {
    coreLog50("ipc send queue full: {:L} packets refused", refused);
  }
  std::unique_ptr<uint8_t[]> packet(new uint8_t[event.length]);
  std::memcpy(packet.get(), data, event.length);
  boost::asio::post(ioContext_,
                    [this, packet = std::move(packet), length = event.length]() mutable {
                      ipcSendQueue.emplace_back(std::move(packet), length);
                      if (ipcSendQueue.size() == 1) writeIpcQueue();
                    });
  core_.counters.ipcMessagesQueued.fetch_add(1, std::memory_order_relaxed);
  return kPostAccepted;
}

// Writes the front packet from `offset` on, completely, then the next; a failed send drops that
// packet silently. I/O thread only.
void SupervisorLink::writeIpcQueue(uint32_t offset) {
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
                         ipcQueuedBytes.fetch_sub(ipcSendQueue.front().second,
                                                  std::memory_order_relaxed);
                         ipcSendQueue.pop_front();
                         writeIpcQueue(0);
                       });
}

}  // namespace kv::core
