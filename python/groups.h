#pragma once

// One pipeline run per group of rows of a table (the rows of one symbol),
// every group gathered, computed and scattered back into one result table
// with the interpreter lock released, the groups spread over threads.

#include <Python.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "core/error.h"
#include "core/pipeline/strided.h"
#include "python/buffers.h"
#include "python/convert.h"
#include "python/result.h"
#include "python/unlocked.h"

namespace sarvek::py {

// The rows of every group: group g holds rows[offsets[g] .. offsets[g + 1]),
// in the table's order.
struct GroupIndex {
  std::vector<std::size_t> offsets;
  std::vector<std::size_t> rows;
  std::size_t groups() const { return offsets.empty() ? 0 : offsets.size() - 1; }
};

// `codes`: a 1-D int64 buffer of `bars` group numbers, each in
// [0, n_groups). Fills `out` (counted with the interpreter lock released);
// false with TypeError or ValueError naming the problem otherwise.
bool read_group_codes(PyObject* codes, std::size_t n_groups, std::size_t bars, GroupIndex& out);

// The keyword arguments of a group run: validity and order as a column run
// takes them, workers a whole number of at least 1.
bool to_group_request(PyObject* validity, PyObject* order, PyObject* workers, ResultRequest& request,
                      std::size_t& worker_count);

// Where a group's results go: the whole table's values (and flags) in
// `order`, `bars` rows of `width` outputs.
struct GroupTable {
  double* values;
  std::uint8_t* flags;  // null without presence flags
  std::size_t bars;
  std::size_t width;
  Order order;
};

namespace detail {

// Scratch of one worker, reused from group to group.
struct GroupScratch {
  std::vector<double> in;
  std::vector<double> out;
  std::vector<std::uint8_t> flags;
  std::vector<StridedColumn> columns;
  std::vector<StridedOutput> outputs;
};

// Group `g` through `run(bars, inputs, outputs, interrupted)`. Rows that
// follow each other in the table are read and written in place; any other
// group is gathered into the scratch, computed there and scattered back.
template <class Run>
Result<RunStatus> run_one_group(const GroupIndex& index, std::size_t g, std::span<const StridedColumn> inputs,
                                const GroupTable& table, GroupScratch& s, Run& run,
                                const std::function<bool()>& interrupted) {
  const std::size_t* rows = index.rows.data() + index.offsets[g];
  const std::size_t n = index.offsets[g + 1] - index.offsets[g];
  const std::size_t width = table.width;
  const bool by_columns = table.order == Order::columns;
  const auto row_step = static_cast<std::ptrdiff_t>(by_columns ? 1 : width);
  const auto out_step = [&](std::size_t k) { return by_columns ? k * table.bars : k; };
  s.columns.clear();
  s.outputs.clear();
  if (rows[n - 1] - rows[0] + 1 == n) {  // one run of rows
    const auto first = static_cast<std::ptrdiff_t>(rows[0]);
    for (const StridedColumn& c : inputs) s.columns.push_back({c.data + first * c.stride, c.stride});
    for (std::size_t k = 0; k < width; ++k) {
      double* v = table.values + out_step(k) + first * row_step;
      std::uint8_t* f = table.flags ? table.flags + out_step(k) + first * row_step : nullptr;
      s.outputs.push_back({v, row_step, f, row_step});
    }
    return run(n, std::span<const StridedColumn>(s.columns), std::span<const StridedOutput>(s.outputs),
               interrupted);
  }
  s.in.resize(inputs.size() * n);
  s.out.resize(width * n);
  if (table.flags) s.flags.resize(width * n);
  for (std::size_t j = 0; j < inputs.size(); ++j) {
    double* to = s.in.data() + j * n;
    const StridedColumn c = inputs[j];
    for (std::size_t i = 0; i < n; ++i) to[i] = c[rows[i]];
    s.columns.push_back({to, 1});
  }
  for (std::size_t k = 0; k < width; ++k)
    s.outputs.push_back({s.out.data() + k * n, 1, table.flags ? s.flags.data() + k * n : nullptr, 1});
  auto status = run(n, std::span<const StridedColumn>(s.columns), std::span<const StridedOutput>(s.outputs),
                    interrupted);
  if (!status || *status != RunStatus::done) return status;
  for (std::size_t k = 0; k < width; ++k) {
    double* v = table.values + out_step(k);
    const double* from = s.out.data() + k * n;
    for (std::size_t i = 0; i < n; ++i) v[static_cast<std::ptrdiff_t>(rows[i]) * row_step] = from[i];
    if (!table.flags) continue;
    std::uint8_t* f = table.flags + out_step(k);
    const std::uint8_t* fl = s.flags.data() + k * n;
    for (std::size_t i = 0; i < n; ++i) f[static_cast<std::ptrdiff_t>(rows[i]) * row_step] = fl[i];
  }
  return status;
}

}  // namespace detail

// Runs every group of `index` over `inputs` into `table`, with the
// interpreter lock released (the caller holds it on entry and gets it back).
// `runs[w]` computes the groups worker w takes: runs.size() workers, the
// calling thread the first of them and the one that sees signals, between
// groups and between the blocks of a group, also while it waits for the
// others. Groups are handed out one at a time; every group's numbers depend
// only on its own rows, so the result is the same for any worker count.
// True when every group ran; false with the exception set when a signal
// handler raised or a run was refused; a C++ exception of any worker is
// rethrown here once every worker has stopped.
template <class Run>
bool run_groups(const GroupIndex& index, std::span<const StridedColumn> inputs, const GroupTable& table,
                std::span<Run> runs) {
  std::vector<std::size_t> order;
  order.reserve(index.groups());
  for (std::size_t g = 0; g < index.groups(); ++g)
    if (index.offsets[g + 1] > index.offsets[g]) order.push_back(g);
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::condition_variable finished_cv;
  std::size_t finished = 0;
  std::exception_ptr failure;
  std::optional<CoreError> refused;
  bool signalled = false;

  const auto fail = [&](std::exception_ptr e, std::optional<CoreError> err) {
    const std::lock_guard<std::mutex> lock(mutex);
    if (!failure && !refused) {
      failure = e;
      refused = std::move(err);
    }
    stop = true;
  };
  const auto work = [&](Run& run, const std::function<bool()>& interrupted) {
    try {
      detail::GroupScratch scratch;
      while (!stop) {
        const std::size_t at = next.fetch_add(1);
        if (at >= order.size()) break;
        auto status = detail::run_one_group(index, order[at], inputs, table, scratch, run, interrupted);
        if (!status) {
          fail(nullptr, status.error());
          break;
        }
        if (*status == RunStatus::interrupted || interrupted()) {
          stop = true;
          break;
        }
      }
    } catch (...) {
      fail(std::current_exception(), std::nullopt);
    }
  };

  without_lock([&](const std::function<bool()>& signal) {
    const std::function<bool()> mine = [&] {
      if (stop) return true;
      if (signal()) {
        signalled = true;
        stop = true;
      }
      return stop.load();
    };
    const std::function<bool()> theirs = [&] { return stop.load(); };
    std::vector<std::thread> threads;
    const std::size_t wanted = std::min(runs.size(), std::max<std::size_t>(order.size(), 1)) - 1;
    threads.reserve(wanted);
    for (std::size_t w = 1; w <= wanted; ++w) {
      try {
        threads.emplace_back([&, w] {
          work(runs[w], theirs);
          const std::lock_guard<std::mutex> lock(mutex);
          ++finished;
          finished_cv.notify_all();
        });
      } catch (...) {
        break;  // no more threads to be had: the ones running take every group
      }
    }
    work(runs[0], mine);
    {
      std::unique_lock<std::mutex> lock(mutex);
      while (finished < threads.size()) {
        finished_cv.wait_for(lock, SignalCheck::kEvery);
        if (finished < threads.size() && !stop) {
          lock.unlock();
          mine();
          lock.lock();
        }
      }
    }
    for (std::thread& t : threads) t.join();
    return 0;
  });
  if (failure) std::rethrow_exception(failure);
  if (refused) return raise_core_error(*refused), false;
  return !signalled && !PyErr_Occurred();
}

}  // namespace sarvek::py
