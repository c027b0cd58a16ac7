#include "python/guard.h"

#include <pythread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace sarvek::py {
namespace {

// Threads waiting for a guard, and the guard each waits for. Only touched
// with the interpreter lock held.
struct Waiter {
  unsigned long thread;
  const AccessGuard* guard;
};
std::vector<Waiter> g_waiters;

// Wakes waiters: every release while someone waits bumps the count under
// the mutex and notifies; a waiter sleeps until the count moves from the
// value it read before letting go of the interpreter lock, so no release is
// missed. The timeout bounds how long a pending signal goes unnoticed.
std::mutex g_mutex;
std::condition_variable g_released;
std::uint64_t g_releases = 0;
constexpr auto kWaitSlice = std::chrono::milliseconds(50);

const AccessGuard* waited_by(unsigned long thread) {
  for (const Waiter& w : g_waiters)
    if (w.thread == thread) return w.guard;
  return nullptr;
}

// Whether `me` waiting for `wanted` would close a cycle: some holder of
// `wanted` waits, directly or through other waiting holders, for a guard
// that `me` holds.
bool closes_cycle(const AccessGuard& wanted, unsigned long me) {
  std::vector<const AccessGuard*> todo{&wanted};
  std::vector<const AccessGuard*> seen;
  while (!todo.empty()) {
    const AccessGuard* g = todo.back();
    todo.pop_back();
    if (std::find(seen.begin(), seen.end(), g) != seen.end()) continue;
    seen.push_back(g);
    bool cycle = false;
    g->for_each_holder([&](unsigned long holder) {
      if (holder == me) cycle = true;
      if (const AccessGuard* next = waited_by(holder)) todo.push_back(next);
    });
    if (cycle) return true;
  }
  return false;
}

}  // namespace

bool AccessGuard::held_by(unsigned long thread) const {
  if (exclusive_) return owner_ == thread;
  return std::any_of(readers_.begin(), readers_.end(), [&](const Reader& r) { return r.thread == thread; });
}

bool AccessGuard::acquire_shared() {
  const unsigned long me = PyThread_get_thread_ident();
  for (;;) {
    if (exclusive_ && owner_ == me) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return false;
    }
    if (free_for(false)) {
      for (Reader& r : readers_) {
        if (r.thread == me) {
          ++r.count;
          return true;
        }
      }
      readers_.push_back({me, 1});
      return true;
    }
    if (!wait(me, "Already mutably borrowed")) return false;
  }
}

bool AccessGuard::acquire_exclusive() {
  const unsigned long me = PyThread_get_thread_ident();
  for (;;) {
    if (held_by(me)) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return false;
    }
    if (free_for(true)) {
      exclusive_ = true;
      owner_ = me;
      return true;
    }
    if (!wait(me, "Already borrowed")) return false;
  }
}

void AccessGuard::release_shared() {
  const unsigned long me = PyThread_get_thread_ident();
  for (std::size_t i = 0; i < readers_.size(); ++i) {
    if (readers_[i].thread != me) continue;
    if (--readers_[i].count == 0) {
      readers_[i] = readers_.back();
      readers_.pop_back();
    }
    break;
  }
  released();
}

void AccessGuard::release_exclusive() {
  exclusive_ = false;
  owner_ = 0;
  released();
}

void AccessGuard::released() {
  if (g_waiters.empty()) return;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_releases;
  }
  g_released.notify_all();
}

bool AccessGuard::wait(unsigned long me, const char* conflict) {
  if (closes_cycle(*this, me)) {
    PyErr_SetString(PyExc_RuntimeError, conflict);
    return false;
  }
  std::uint64_t seen;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    seen = g_releases;
  }
  g_waiters.push_back({me, this});
  Py_BEGIN_ALLOW_THREADS
  try {
    std::unique_lock<std::mutex> lock(g_mutex);
    g_released.wait_for(lock, kWaitSlice, [&] { return g_releases != seen; });
  } catch (...) {
    // Nothing to undo: the caller re-checks the guard and waits again.
  }
  Py_END_ALLOW_THREADS
  g_waiters.erase(std::find_if(g_waiters.begin(), g_waiters.end(),
                               [&](const Waiter& w) { return w.thread == me && w.guard == this; }));
  return PyErr_CheckSignals() == 0;
}

}  // namespace sarvek::py
