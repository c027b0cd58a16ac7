#include "python/groups.h"

#include <bit>
#include <cstring>
#include <functional>
#include <limits>
#include <queue>

#include "core/pipeline/panel.h"
#include "core/pipeline/universe.h"

namespace sarvek::py {
namespace {

// A signed 64-bit integer format in this machine's byte order.
bool is_int64(const Py_buffer& v) {
  if (v.itemsize != 8 || !v.format) return false;
  const char* f = v.format;
  if (*f == '@' || *f == '=' || (*f == '<' && std::endian::native == std::endian::little) ||
      (*f == '>' && std::endian::native == std::endian::big))
    ++f;
  return std::strcmp(f, "q") == 0 || std::strcmp(f, "l") == 0;
}

}  // namespace

bool read_group_codes(PyObject* codes, std::size_t n_groups, std::size_t bars, GroupIndex& out) {
  HeldBuffer held;
  if (!PyObject_CheckBuffer(codes)) {
    PyObject* name = PyType_GetName(Py_TYPE(codes));
    if (name) PyErr_Format(PyExc_TypeError, "codes must be a 1-D int64 buffer, got '%U'", name);
    Py_XDECREF(name);
    return false;
  }
  if (!held.get(codes)) return false;
  const Py_buffer& v = held.view();
  if (!is_int64(v)) {
    PyErr_Format(PyExc_TypeError, "codes must be int64 (format 'q'), got format '%s' of %zd-byte items",
                 v.format ? v.format : "B", v.itemsize);
    return false;
  }
  if (v.ndim != 1 || static_cast<std::size_t>(v.shape[0]) != bars) {
    if (v.ndim != 1)
      PyErr_Format(PyExc_ValueError, "codes must be 1-dimensional, got %d dimensions", v.ndim);
    else
      PyErr_Format(PyExc_ValueError, "codes must hold one group number per bar: expected %zu, got %zd", bars,
                   v.shape[0]);
    return false;
  }
  const char* base = static_cast<const char*>(v.buf);
  const Py_ssize_t stride = v.strides[0];
  const auto code = [&](std::size_t i) {
    std::int64_t c;
    std::memcpy(&c, base + static_cast<Py_ssize_t>(i) * stride, sizeof c);
    return c;
  };
  // Counted with the lock released: one pass to count (and find the first
  // code out of range), one to place every row in its group.
  std::size_t bad = bars;
  bool ok = true;
  Py_BEGIN_ALLOW_THREADS
  try {
    out.offsets.assign(n_groups + 1, 0);
    for (std::size_t i = 0; i < bars; ++i) {
      const std::int64_t c = code(i);
      if (c < 0 || static_cast<std::uint64_t>(c) >= n_groups) {
        bad = i;
        break;
      }
      ++out.offsets[static_cast<std::size_t>(c) + 1];
    }
    if (bad == bars) {
      for (std::size_t g = 0; g < n_groups; ++g) out.offsets[g + 1] += out.offsets[g];
      out.rows.resize(bars);
      std::vector<std::size_t> at(out.offsets.begin(), out.offsets.end() - 1);
      for (std::size_t i = 0; i < bars; ++i) out.rows[at[static_cast<std::size_t>(code(i))]++] = i;
    }
  } catch (...) {
    ok = false;
  }
  Py_END_ALLOW_THREADS
  if (!ok) {
    PyErr_Format(PyExc_MemoryError, "cannot allocate the groups of %zu bars in %zu groups", bars, n_groups);
    return false;
  }
  if (bad != bars) {
    PyErr_Format(PyExc_ValueError, "codes must lie in [0, n_groups) = [0, %zu): got %lld at bar %zu", n_groups,
                 static_cast<long long>(code(bad)), bad);
    return false;
  }
  return true;
}

bool to_group_request(PyObject* validity, PyObject* order, PyObject* workers, ResultRequest& request,
                      std::size_t& worker_count) {
  if (!to_request(validity, order, nullptr, request)) return false;
  worker_count = 1;
  if (!workers) return true;
  if (!PyLong_Check(workers) || PyBool_Check(workers)) {
    PyErr_Format(PyExc_TypeError, "workers must be a whole number of at least 1, got %R", workers);
    return false;
  }
  const long long n = PyLong_AsLongLong(workers);
  if (n == -1 && PyErr_Occurred()) return false;
  if (n < 1 || n > 4096) {
    PyErr_Format(PyExc_ValueError, "workers must be a whole number from 1 to 4096, got %R", workers);
    return false;
  }
  worker_count = static_cast<std::size_t>(n);
  return true;
}

bool to_window(PyObject* obj, std::size_t& window) {
  window = 0;
  if (!obj || obj == Py_None) return true;
  if (!to_size(obj, "window", window)) return false;
  if (window == 0) {
    PyErr_SetString(PyExc_ValueError, "window must be None or a whole number of at least 1, got 0");
    return false;
  }
  return true;
}

bool read_group_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, GroupCall& call) {
  static const char* const kParams[] = {"data", "codes", "n_groups", "validity", "order", "workers", "window", "panel"};
  PyObject* bound[8];
  if (!keyword_only("_run_groups", 3, nargs)) return false;
  if (!bind_fastcall("_run_groups", kParams, 3, args, nargs, kwnames, bound)) return false;
  call.data = bound[0];
  call.codes = bound[1];
  if (!to_size(bound[2], "n_groups", call.n_groups) ||
      !to_group_request(bound[3], bound[4], bound[5], call.request, call.workers) || !to_window(bound[6], call.window))
    return false;
  PyObject* panel = bound[7];
  if (!panel || panel == Py_None) return true;
  if (!PyBool_Check(panel)) {
    PyErr_Format(PyExc_TypeError, "panel must be None, True or False, got %R", panel);
    return false;
  }
  call.panel = panel == Py_True ? PanelMode::always : PanelMode::never;
  return true;
}

PanelPlan plan_panel(const FeaturePipeline& prototype, const GroupIndex& index, std::size_t bars, PanelMode mode) {
  PanelPlan plan;
  if (mode == PanelMode::never || bars == 0 || index.groups() > std::numeric_limits<std::uint32_t>::max() ||
      (mode == PanelMode::automatic && !Universe(prototype, 0).in_lanes()))
    return plan;
  Py_BEGIN_ALLOW_THREADS
  try {
    plan.codes.resize(bars);
    for (std::size_t g = 0; g < index.groups(); ++g)
      for (std::size_t i = index.offsets[g]; i < index.offsets[g + 1]; ++i)
        plan.codes[index.rows[i]] = static_cast<std::uint32_t>(g);
    plan.starts = panel_steps(plan.codes, index.groups());
    if (mode == PanelMode::automatic && !panel_pays(plan.starts.size() - 1, bars, index.groups())) plan = {};
  } catch (const std::bad_alloc&) {
    plan = {};  // the groups' own way needs less
  }
  Py_END_ALLOW_THREADS
  return plan;
}

bool run_panel_groups(const FeaturePipeline& prototype, const PanelPlan& plan, std::span<const StridedColumn> inputs,
                      const GroupTable& table, std::size_t workers) {
  const std::size_t groups = plan.codes.empty() ? 0 : *std::max_element(plan.codes.begin(), plan.codes.end()) + 1;
  // Equal ranges of groups, one per worker: each range is its own
  // universe, and every lane of it costs each step.
  const std::size_t count = std::max<std::size_t>(1, std::min(workers, groups));
  const std::size_t each = (groups + count - 1) / count;
  std::vector<StridedOutput> outputs;
  for (std::size_t k = 0; k < table.width; ++k) {
    const bool by_columns = table.order == Order::columns;
    const std::size_t at = by_columns ? k * table.bars : k;
    const auto step = static_cast<std::ptrdiff_t>(by_columns ? 1 : table.width);
    // The call's result: written once, handed over.
    outputs.push_back({table.values + at, step, table.flags ? table.flags + at : nullptr, step, true});
  }
  WorkerPool pool;
  return pool.run(count, [&](std::size_t w, const std::function<bool()>& interrupted) {
    const std::size_t first = w * each;
    const std::size_t last = std::min(groups, first + each);
    if (first >= last) return;
    auto status = run_panel(prototype, plan.codes, plan.starts, first, last, inputs, outputs, interrupted);
    if (!status) pool.fail(nullptr, status.error());
    else if (*status == RunStatus::interrupted) pool.stop = true;
  });
}

std::size_t group_copies(const GroupIndex& index, std::size_t workers) {
  std::size_t groups = 0;
  for (std::size_t g = 0; g < index.groups(); ++g) groups += index.offsets[g + 1] > index.offsets[g];
  return std::max<std::size_t>(1, std::min(workers, groups));
}

}  // namespace sarvek::py

namespace sarvek::py::detail {

std::vector<std::vector<std::size_t>> share_groups(const GroupIndex& index, std::size_t workers) {
  std::vector<std::size_t> groups;
  for (std::size_t g = 0; g < index.groups(); ++g)
    if (index.offsets[g + 1] > index.offsets[g]) groups.push_back(g);
  const auto size = [&](std::size_t g) { return index.offsets[g + 1] - index.offsets[g]; };
  std::stable_sort(groups.begin(), groups.end(), [&](std::size_t a, std::size_t b) { return size(a) > size(b); });
  workers = std::max<std::size_t>(1, std::min(workers, groups.size()));
  std::vector<std::vector<std::size_t>> out(workers);
  // (rows so far, worker): the least loaded on top.
  using Load = std::pair<std::size_t, std::size_t>;
  std::priority_queue<Load, std::vector<Load>, std::greater<Load>> loads;
  for (std::size_t w = 0; w < workers; ++w) loads.push({0, w});
  for (const std::size_t g : groups) {
    auto [rows, w] = loads.top();
    loads.pop();
    out[w].push_back(g);
    loads.push({rows + size(g), w});
  }
  // Each worker walks its groups in group order.
  for (auto& mine : out) std::sort(mine.begin(), mine.end());
  return out;
}

std::size_t window_rows(std::size_t inputs, std::size_t width) {
  // The window's rows, in and out, about what the last level of cache holds.
  constexpr std::size_t kBytes = std::size_t{8} << 20;
  const std::size_t per_row = (inputs + width) * sizeof(double) + width;
  return std::clamp<std::size_t>(kBytes / std::max<std::size_t>(per_row, 1), 4096, std::size_t{1} << 20);
}

}  // namespace sarvek::py::detail
