#pragma once

// Running the core with the interpreter lock released, signals still seen.

#include <Python.h>

#include <chrono>
#include <functional>

namespace sarvek::py {

// Asked by the core between blocks of work, on the thread that called it,
// while the interpreter lock is released: at most every `kEvery`, re-takes
// the lock, runs pending signal handlers and releases it again. True once
// a handler raised (the exception is then set).
class SignalCheck {
 public:
  static constexpr std::chrono::milliseconds kEvery{20};
  explicit SignalCheck(PyThreadState*& state) : state_(state), last_(std::chrono::steady_clock::now()) {}
  bool operator()();

 private:
  PyThreadState*& state_;
  std::chrono::steady_clock::time_point last_;
};

// Runs `work(interrupted)` with the interpreter lock released and takes it
// back afterwards, also when `work` throws. `interrupted` is a SignalCheck.
template <class Work>
auto without_lock(Work&& work) {
  struct Released {
    PyThreadState* state = PyEval_SaveThread();
    ~Released() { PyEval_RestoreThread(state); }
  } released;
  SignalCheck check(released.state);
  const std::function<bool()> interrupted = std::ref(check);
  return work(interrupted);
}

}  // namespace sarvek::py
