#pragma once

#include <Python.h>

namespace sarvek::py {

// Per-object access guard. Every call runs under the interpreter lock, so
// the guard only matters for re-entrant calls: Python code that runs while
// an argument is converted (a custom sequence, an item's __float__) and
// calls back into the same object. Mutating methods hold it exclusively,
// reading methods shared; a conflicting call raises RuntimeError.
class AccessGuard {
 public:
  bool acquire_shared() {
    if (state_ < 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return false;
    }
    ++state_;
    return true;
  }
  bool acquire_exclusive() {
    if (state_ != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return false;
    }
    state_ = -1;
    return true;
  }
  void release_shared() { --state_; }
  void release_exclusive() { state_ = 0; }

 private:
  int state_ = 0;  // > 0: shared holders; -1: held exclusively
};

// A scoped hold on a guard; test with `if (!hold) return nullptr;`, the
// RuntimeError is already set when acquisition failed.
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
