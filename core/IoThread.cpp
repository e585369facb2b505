#include "core/IoThread.h"

#include <csignal>

#include <boost/asio/post.hpp>

namespace kv::core {

IoThread::IoThread(std::function<void()> onPulse, std::function<void()> onStopSignal)
    : onPulse_(std::move(onPulse)), onStopSignal_(std::move(onStopSignal)) {}

IoThread::~IoThread() {
  stop();
  cancelPulse();
}

void IoThread::watchSignals() {
  signals_.emplace(ioContext);
  signals_->add(SIGINT);
  signals_->add(SIGTERM);
  signals_->add(SIGQUIT);
  signals_->async_wait([this](const boost::system::error_code&, int) { onStopSignal_(); });
}

void IoThread::unwatchSignals() {
  signals_.reset();
}

void IoThread::start() {
  work_.emplace(ioContext.get_executor());
  thread_ = std::jthread([this] { ioContext.run(); });
}

void IoThread::stop() {
  work_.reset();
  ioContext.stop();
  if (thread_.joinable()) {
    thread_.request_stop();
    thread_.join();
  }
}

void IoThread::post(std::function<void()> job) {
  boost::asio::post(ioContext, std::move(job));
}

void IoThread::armPulse(int64_t expiryNanos) {
  if (pulseArmed_) pulseTimer.cancel();
  pulseTimer.expires_at(
      boost::asio::steady_timer::time_point(std::chrono::nanoseconds(expiryNanos)));
  pulseArmed_ = true;
  pulseTimer.async_wait([this](const boost::system::error_code& error) {
    if (error) return;  // cancelled: a stop, or a re-arm, which keep `pulseArmed_` themselves
    pulseArmed_ = false;
    onPulse_();
  });
}

void IoThread::cancelPulse() {
  if (!pulseArmed_) return;
  pulseTimer.cancel();
  pulseArmed_ = false;
}

}  // namespace kv::core
