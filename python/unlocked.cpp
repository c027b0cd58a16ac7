#include "python/unlocked.h"

namespace sarvek::py {

bool SignalCheck::operator()() {
  const auto now = std::chrono::steady_clock::now();
  if (now - last_ < kEvery) return false;
  last_ = now;
  PyEval_RestoreThread(state_);
  const bool raised = PyErr_CheckSignals() != 0;
  state_ = PyEval_SaveThread();
  return raised;
}

}  // namespace sarvek::py
