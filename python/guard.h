#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

namespace sarvek::py {

// Per-object access guard. Mutating methods hold it exclusively, reading
// methods shared. It is taken and released with the interpreter lock held,
// but while it is held other threads may run: Python code called during a
// conversion (a custom sequence, an item's __float__, a finaliser started by
// an allocation) can switch threads, and a long computation may release the
// interpreter lock. So a conflicting request is answered by who holds it:
//   - the requesting thread itself (a re-entrant call): RuntimeError
//     "Already borrowed" (exclusive request) or "Already mutably borrowed"
//     (shared request while held exclusively);
//   - other threads only: the request waits, with the interpreter lock
//     released, until the guard is free, then proceeds. A wait that would
//     close a cycle of threads each waiting for a guard another holds is
//     refused with the same RuntimeError rather than hanging, and a wait in
//     the main thread gives way to a pending signal (KeyboardInterrupt).
class AccessGuard {
 public:
  AccessGuard() = default;
  // Payloads are moved into place before their object is published, never
  // while held; the hold records do not travel.
  AccessGuard(AccessGuard&&) noexcept {}
  AccessGuard& operator=(AccessGuard&&) noexcept { return *this; }

  bool acquire_shared();
  bool acquire_exclusive();
  void release_shared();
  void release_exclusive();

  // Whether thread `thread` holds this guard, exclusively or shared.
  bool held_by(unsigned long thread) const;
  // Calls visit(thread) for every thread that holds the guard.
  template <class Visit>
  void for_each_holder(Visit&& visit) const {
    if (exclusive_) visit(owner_);
    for (const Reader& r : readers_) visit(r.thread);
  }

 private:
  struct Reader {
    unsigned long thread;
    std::size_t count;
  };
  bool free_for(bool exclusive) const { return exclusive ? !exclusive_ && readers_.empty() : !exclusive_; }
  // Waits for a release by another thread. False with an exception set when
  // waiting is refused (a cycle of waits) or interrupted by a signal.
  bool wait(unsigned long me, const char* conflict);
  void released();

  bool exclusive_ = false;
  unsigned long owner_ = 0;      // the exclusive holder, when exclusive_
  std::vector<Reader> readers_;  // shared holders and their hold counts
};

// A scoped hold on a guard; test with `if (!hold) return nullptr;`, the
// exception is already set when acquisition failed.
template <bool Exclusive>
class Hold {
 public:
  explicit Hold(AccessGuard& g) : g_(g), held_(Exclusive ? g.acquire_exclusive() : g.acquire_shared()) {}
  ~Hold() {
    if (!held_) return;
    if constexpr (Exclusive)
      g_.release_exclusive();
    else
      g_.release_shared();
  }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;
  explicit operator bool() const { return held_; }

 private:
  AccessGuard& g_;
  bool held_;
};

using SharedHold = Hold<false>;
using ExclusiveHold = Hold<true>;

}  // namespace sarvek::py
