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
#include "core/pipeline/feature_pipeline.h"
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

// The `window` keyword: absent or None for 0 (sized to the cache), else a
// whole number of at least 1.
bool to_window(PyObject* obj, std::size_t& window);

// How a feature pipeline's groups run: in lanes across groups when that
// pays (automatic), always, or never.
enum class PanelMode { automatic, always, never };

// The arguments of a `_run_groups(data, codes, n_groups, *, validity=False,
// order='C', workers=1, window=None, panel=None)` call, read and checked;
// false with the error raised otherwise.
struct GroupCall {
  PyObject* data = nullptr;
  PyObject* codes = nullptr;
  std::size_t n_groups = 0;
  ResultRequest request;
  std::size_t workers = 1;
  std::size_t window = 0;
  PanelMode panel = PanelMode::automatic;
};
bool read_group_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, GroupCall& call);

// The pipeline copies a group run makes: one per worker, at most one per
// group that has rows.
std::size_t group_copies(const GroupIndex& index, std::size_t workers);

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

// Scratch of one worker, reused from piece to piece.
struct GroupScratch {
  std::vector<double> in;
  std::vector<double> out;
  std::vector<std::uint8_t> flags;
  std::vector<StridedColumn> columns;
  std::vector<StridedOutput> outputs;
};

// Rows rows[0 .. n) of the table (ascending) through `run`, from the
// just-built state when `first`, else continuing. Rows that follow each
// other in the table are read and written in place; any others are gathered
// into the scratch, computed there and scattered back.
template <class Run>
Result<RunStatus> run_rows(const std::size_t* rows, std::size_t n, std::span<const StridedColumn> inputs,
                           const GroupTable& table, GroupScratch& s, Run& run, bool first,
                           const std::function<bool()>& interrupted) {
  const std::size_t width = table.width;
  const bool by_columns = table.order == Order::columns;
  const auto row_step = static_cast<std::ptrdiff_t>(by_columns ? 1 : width);
  const auto out_at = [&](std::size_t k) { return by_columns ? k * table.bars : k; };
  s.columns.clear();
  s.outputs.clear();
  if (rows[n - 1] - rows[0] + 1 == n) {  // one run of rows
    const auto at = static_cast<std::ptrdiff_t>(rows[0]);
    for (const StridedColumn& c : inputs) s.columns.push_back({c.data + at * c.stride, c.stride});
    for (std::size_t k = 0; k < width; ++k) {
      double* v = table.values + out_at(k) + at * row_step;
      std::uint8_t* f = table.flags ? table.flags + out_at(k) + at * row_step : nullptr;
      s.outputs.push_back({v, row_step, f, row_step, true});  // the call's result
    }
    return run(n, std::span<const StridedColumn>(s.columns), std::span<const StridedOutput>(s.outputs), first,
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
  auto status = run(n, std::span<const StridedColumn>(s.columns), std::span<const StridedOutput>(s.outputs), first,
                    interrupted);
  if (!status || *status != RunStatus::done) return status;
  for (std::size_t k = 0; k < width; ++k) {
    double* v = table.values + out_at(k);
    const double* from = s.out.data() + k * n;
    for (std::size_t i = 0; i < n; ++i) v[static_cast<std::ptrdiff_t>(rows[i]) * row_step] = from[i];
    if (!table.flags) continue;
    std::uint8_t* f = table.flags + out_at(k);
    const std::uint8_t* fl = s.flags.data() + k * n;
    for (std::size_t i = 0; i < n; ++i) f[static_cast<std::ptrdiff_t>(rows[i]) * row_step] = fl[i];
  }
  return status;
}

// The groups with rows, shared out among `workers` so that each gets about
// as many rows as the others (largest groups first, each to the least
// loaded worker).
std::vector<std::vector<std::size_t>> share_groups(const GroupIndex& index, std::size_t workers);

// Table rows per window of a streamed run: every worker takes its groups'
// rows of one window of the table before the next, so the rows it gathers
// and scatters are ones the cache still holds.
std::size_t window_rows(std::size_t inputs, std::size_t width);

// Rows a streamed group should take per window, on average, to be worth
// taking piece by piece; a sparser group is run whole at once.
inline constexpr std::size_t kPieceRows = 64;

}  // namespace detail

// Threads sharing one stop flag and the first failure. run(count, work)
// calls work(w, interrupted) for every w < count with the interpreter lock
// released (the caller holds it on entry and gets it back): worker 0 on
// the calling thread, the one that sees signals, also while it waits for
// the others; `interrupted` tells a worker to stop. True when every worker
// finished; false with the exception set when a signal handler raised or
// a work was refused (fail() with a CoreError); a C++ exception of any
// worker is rethrown once every worker has stopped.
class WorkerPool {
 public:
  std::atomic<bool> stop{false};

  // Records the first failure and stops every worker.
  void fail(std::exception_ptr e, std::optional<CoreError> err) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!failure_ && !refused_) {
      failure_ = e;
      refused_ = std::move(err);
    }
    stop = true;
  }

  template <class Work>
  bool run(std::size_t count, Work&& work) {
    const auto guarded = [&](std::size_t w, const std::function<bool()>& interrupted) {
      try {
        work(w, interrupted);
      } catch (...) {
        fail(std::current_exception(), std::nullopt);
      }
    };
    bool signalled = false;
    without_lock([&](const std::function<bool()>& signal) {
      const std::function<bool()> theirs = [&] { return stop.load(); };
      const std::function<bool()> check = [&] {
        if (stop) return true;
        if (signal()) {
          signalled = true;
          stop = true;
        }
        return stop.load();
      };
      std::vector<std::thread> threads;
      threads.reserve(count > 0 ? count - 1 : 0);
      std::size_t finished = 0;
      std::condition_variable finished_cv;
      std::size_t spawned = 1;
      for (std::size_t w = 1; w < count; ++w, ++spawned) {
        try {
          threads.emplace_back([&, w] {
            guarded(w, theirs);
            const std::lock_guard<std::mutex> lock(mutex_);
            ++finished;
            finished_cv.notify_all();
          });
        } catch (...) {
          break;
        }
      }
      // A worker that could not be started: its work is the calling thread's.
      for (std::size_t w = spawned; w < count; ++w) guarded(w, check);
      guarded(0, check);
      std::unique_lock<std::mutex> lock(mutex_);
      while (finished < threads.size()) {
        finished_cv.wait_for(lock, SignalCheck::kEvery);
        if (finished < threads.size() && !stop) {
          lock.unlock();
          check();
          lock.lock();
        }
      }
      lock.unlock();
      for (std::thread& t : threads) t.join();
      return 0;
    });
    if (failure_) std::rethrow_exception(failure_);
    if (refused_) return raise_core_error(*refused_), false;
    return !signalled && !PyErr_Occurred();
  }

 private:
  std::mutex mutex_;
  std::exception_ptr failure_;
  std::optional<CoreError> refused_;
};

// Runs every group of `index` over `inputs` into `table`, with the
// interpreter lock released (the caller holds it on entry and gets it back).
// `runs[w]` is worker w's copy of the pipeline: runs.size() workers, the
// calling thread the first of them and the one that sees signals, between
// pieces of work and between the blocks of a run, also while it waits for
// the others. Every group's numbers depend only on its own rows, so the
// result is the same for any worker count and any way of cutting them.
//
// Run::kStreams: a run may continue from where the last one left (feature
// pipelines). The table is then walked in windows of rows, each worker
// taking its groups' rows window by window, a group that spans windows on a
// copy of its own made for it (Run::fresh()) and kept until its last row;
// the gathered rows stay in the cache instead of being read from memory
// once per group. Otherwise (targets, which look ahead) every group is run
// whole at once.
//
// `window`: rows per window, 0 for a window sized to the cache.
//
// True when every group ran; false with the exception set when a signal
// handler raised or a run was refused; a C++ exception of any worker is
// rethrown here once every worker has stopped.
template <class Run>
bool run_groups(const GroupIndex& index, std::span<const StridedColumn> inputs, const GroupTable& table,
                std::span<Run> runs, std::size_t window = 0) {
  const std::vector<std::vector<std::size_t>> mine = detail::share_groups(index, runs.size());
  if (window == 0) window = detail::window_rows(inputs.size(), table.width);
  WorkerPool pool;
  std::atomic<bool>& stop = pool.stop;
  // False when the worker must stop.
  const auto piece = [&](Run& run, detail::GroupScratch& scratch, const std::size_t* rows, std::size_t n,
                         bool first, const std::function<bool()>& interrupted) {
    auto status = detail::run_rows(rows, n, inputs, table, scratch, run, first, interrupted);
    if (!status) return pool.fail(nullptr, status.error()), false;
    if (*status == RunStatus::interrupted || interrupted()) return stop = true, false;
    return true;
  };
  // One worker's groups, window by window: each group takes its rows of the
  // window (in place when they follow each other, else gathered and
  // scattered back) on a copy of its own kept between windows; a group too
  // sparse to be worth taking in pieces is run whole when the walk reaches
  // its first row.
  const auto stream = [&](auto& own, detail::GroupScratch& scratch, const std::vector<std::size_t>& groups,
                          const std::function<bool()>& interrupted) {
    const std::size_t* rows = index.rows.data();
    const std::size_t count = groups.size();
    std::vector<std::size_t> cursor(count);
    std::vector<std::uint8_t> whole(count);
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t g = groups[i];
      const std::size_t begin = index.offsets[g];
      const std::size_t end = index.offsets[g + 1];
      cursor[i] = begin;
      const std::size_t spans = rows[end - 1] / window - rows[begin] / window + 1;
      whole[i] = end - begin < detail::kPieceRows * spans;
    }
    std::vector<std::optional<Run>> live(count);
    for (std::size_t top = window; !stop; top += window) {
      bool more = false;
      for (std::size_t i = 0; i < count; ++i) {
        const std::size_t g = groups[i];
        const std::size_t begin = index.offsets[g];
        const std::size_t end = index.offsets[g + 1];
        const std::size_t from = cursor[i];
        if (from == end) continue;
        more = true;
        if (rows[from] >= top) continue;
        std::size_t to = end;
        if (!whole[i]) {
          to = from;
          while (to < end && rows[to] < top) ++to;
        }
        const bool first = from == begin;
        Run* run = &own;
        if (!(first && to == end)) {  // a group in pieces: its own copy, kept between windows
          if (first) live[i].emplace(own.fresh());
          run = &*live[i];
        }
        if (stop || !piece(*run, scratch, rows + from, to - from, first, interrupted)) return;
        if (to == end) live[i].reset();
        cursor[i] = to;
      }
      if (!more) break;
    }
  };
  return pool.run(mine.size(), [&](std::size_t w, const std::function<bool()>& interrupted) {
    detail::GroupScratch scratch;
    Run& own = runs[w];
    const std::vector<std::size_t>& groups = mine[w];
    const std::size_t* rows = index.rows.data();
    if constexpr (!Run::kStreams) {
      for (const std::size_t g : groups) {
        const std::size_t at = index.offsets[g];
        if (stop || !piece(own, scratch, rows + at, index.offsets[g + 1] - at, true, interrupted)) return;
      }
    } else {
      stream(own, scratch, groups, interrupted);
    }
  });
}

// Makes the result table of `bars` rows of `width` outputs (and its
// presence flags when the call asks), fills it with `run(table)` (true when
// every group ran, false with the exception set) and returns what the call
// asked for: the values, or (values, present).
template <class RunAll>
PyObject* group_results(PyObject* owner, const ColumnInput& in, std::size_t width, const GroupCall& call,
                        RunAll&& run) {
  double* values = nullptr;
  std::uint8_t* flags = nullptr;
  PyObject* result = new_result(owner, in.bars, width, &values, call.request.order);
  if (!result) return nullptr;
  const Owned owned_result(result);
  PyObject* present = nullptr;
  if (call.request.validity && !(present = new_flags(owner, in.bars, width, &flags, call.request.order)))
    return nullptr;
  const Owned owned_present(present);
  if (!run(GroupTable{values, flags, in.bars, width, call.request.order})) return nullptr;
  return call.request.validity ? PyTuple_Pack(2, result, present) : Py_NewRef(result);
}

// A feature pipeline's groups as a panel (core/pipeline/panel.h): every
// row's group and the steps of the table, when the call asks always, or
// asks automatic and it pays (every feature type runs in lanes and the
// lanes would be busy enough); empty otherwise.
struct PanelPlan {
  std::vector<std::uint32_t> codes;
  std::vector<std::size_t> starts;
  bool empty() const { return starts.empty(); }
};
PanelPlan plan_panel(const FeaturePipeline& prototype, const GroupIndex& index, std::size_t bars, PanelMode mode);

// Runs the plan's groups into `table`, shared out in ranges of groups
// among `workers` threads; true when every group ran, false with the
// exception set otherwise (as run_groups).
bool run_panel_groups(const FeaturePipeline& prototype, const PanelPlan& plan, std::span<const StridedColumn> inputs,
                      const GroupTable& table, std::size_t workers);

}  // namespace sarvek::py
