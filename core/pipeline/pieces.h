#pragma once

// A run cut into pieces of consecutive bars, computed on threads: the
// bounds of the pieces, and the driver that runs them with interrupts
// asked on the calling thread only.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "core/pipeline/strided.h"

namespace sarvek {

// The first bar of piece k of n over `bars` bars (k == n: bars); the
// pieces differ in length by at most one bar.
inline std::size_t piece_start(std::size_t bars, std::size_t n, std::size_t k) {
  return bars / n * k + std::min(k, bars % n);
}

// Runs work(k, stop) for k in [0, n): piece 0 (and any piece no thread
// could be started for) on the calling thread, the others each on its own
// thread. `stop` is what work asks between its blocks: on the calling
// thread it is `interrupted` (the only place that is called) or "another
// piece failed"; on the others it turns true once the calling thread was
// interrupted or a piece failed. Every thread is joined before this
// returns. Returns interrupted when `interrupted` said so; rethrows the
// first exception a piece threw.
template <class Work>
RunStatus run_on_threads(std::size_t n, Work&& work, const std::function<bool()>& interrupted) {
  std::atomic<bool> stop{false};
  const std::function<bool()> stopped = [&stop] { return stop.load(std::memory_order_relaxed); };
  const std::function<bool()> check = [&] {
    return stop.load(std::memory_order_relaxed) || (interrupted && interrupted());
  };
  std::vector<std::exception_ptr> errors(n);
  std::vector<std::size_t> here = {0};
  here.reserve(n);
  std::vector<std::thread> workers;
  workers.reserve(n);
  std::mutex mutex;
  std::condition_variable finished;
  std::size_t running = 0;

  for (std::size_t k = 1; k < n; ++k) {
    {
      const std::lock_guard lock(mutex);
      ++running;
    }
    try {
      workers.emplace_back([&, k] {
        try {
          work(k, stopped);
        } catch (...) {
          errors[k] = std::current_exception();
          stop = true;
        }
        const std::lock_guard lock(mutex);
        --running;
        finished.notify_one();
      });
    } catch (const std::system_error&) {
      // No thread to be had: this one computes the piece.
      const std::lock_guard lock(mutex);
      --running;
      here.push_back(k);
    }
  }

  RunStatus status = RunStatus::done;
  for (const std::size_t k : here) {
    try {
      if (work(k, check) == RunStatus::interrupted) status = RunStatus::interrupted;
    } catch (...) {
      errors[k] = std::current_exception();
      status = RunStatus::interrupted;
    }
    if (status != RunStatus::done) break;
  }
  // The other threads are waited for with signals still seen.
  while (status == RunStatus::done) {
    std::unique_lock lock(mutex);
    if (finished.wait_for(lock, std::chrono::milliseconds(5), [&] { return running == 0; })) break;
    lock.unlock();
    if (interrupted && interrupted()) status = RunStatus::interrupted;
  }
  if (status != RunStatus::done) stop = true;
  for (std::thread& t : workers) t.join();
  for (const std::exception_ptr& e : errors)
    if (e) std::rethrow_exception(e);
  return stop.load() ? RunStatus::interrupted : status;
}

}  // namespace sarvek
