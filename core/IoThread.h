// IoThread: the core's I/O thread and what only it touches: the io_context, the 250 ms pulse
// timer and the set of stop signals.
//
// Threads: constructed and destroyed by the core on the first thread; start, stop and post may be
// called from the first thread; armPulse, cancelPulse and every handler run on the I/O thread once
// it runs (or on the first thread before it starts, which tests use). Other threads reach the I/O
// thread only by posting work to `ioContext`.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

namespace kv::core {

class IoThread {
 public:
  // `onPulse` runs on the I/O thread each time the pulse timer expires (not when it is cancelled);
  // `onStopSignal` when SIGINT, SIGTERM or SIGQUIT arrives.
  IoThread(std::function<void()> onPulse, std::function<void()> onStopSignal);
  ~IoThread();
  IoThread(const IoThread&) = delete;
  IoThread& operator=(const IoThread&) = delete;

  // Catches the three stop signals; later ones are absorbed while the set lives. First thread.
  void watchSignals();
  void unwatchSignals();
  // Runs `ioContext` on a new thread until stop(), also while nothing is pending. First thread.
  void start();
  // Lets the thread end and joins it. Harmless when it never started. First thread.
  void stop();
  // Runs `job` on the I/O thread. Any thread.
  void post(std::function<void()> job);

  // Arms the pulse for `expiryNanos` on the steady clock, replacing an armed one. I/O thread.
  void armPulse(int64_t expiryNanos);
  // Cancels an armed pulse: its handler sees the cancellation and does nothing. I/O thread.
  void cancelPulse();
  bool pulseArmed() const { return pulseArmed_; }

  boost::asio::io_context ioContext;

 private:
  std::function<void()> onPulse_;
  std::function<void()> onStopSignal_;
  boost::asio::steady_timer pulseTimer{ioContext, boost::asio::steady_timer::time_point{}};
  bool pulseArmed_ = false;  // I/O thread only
  std::optional<boost::asio::signal_set> signals_;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_;
  std::jthread thread_;
};

}  // namespace kv::core
