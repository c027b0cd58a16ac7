#pragma once

// Whole columns at the boundary: reading float64 buffers (and lists of rows)
// into strided columns, the _Result object that hands a float64 table back
// through the buffer protocol, and running the core with the interpreter
// lock released but signals still seen.

#include <Python.h>

#include <chrono>
#include <cstdlib>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/pipeline/feature_pipeline.h"

namespace sarvek::py {

// ------------------------------------------------------------------ input

// A buffer view held for as long as this object lives, so the exporter
// cannot resize or free the memory behind it meanwhile.
class HeldBuffer {
 public:
  HeldBuffer() = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer();
  // False with an exception set when `obj` exports no buffer (or not with
  // strides and format). An exporter may leave the strides out of a
  // C-contiguous view; they are then filled in here, so view().strides is
  // always set.
  bool get(PyObject* obj);
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
  bool own_strides_ = false;
  Py_ssize_t strides_[PyBUF_MAX_NDIM] = {};
};

// Input columns read from buffers: `columns[j]` is input column j, `bars`
// values each, NaN marking a missing value. The views stay held until this
// object is destroyed.
struct ColumnInput {
  std::deque<HeldBuffer> held;
  std::vector<StridedColumn> columns;
  std::size_t bars = 0;
  // A copy of a table whose values cannot be read in place.
  struct Free {
    void operator()(double* p) const { std::free(p); }
  };
  std::unique_ptr<double[], Free> copy;
};

// `data` is one 2-D float64 buffer of shape (bars, width), in any order
// whose strides are whole multiples of 8 bytes, or a list or tuple of
// `width` 1-D float64 buffers of equal length. Refuses anything else with
// TypeError (not a buffer, not float64) or ValueError (dimensions, shape,
// column count, lengths, alignment), naming what was expected and got.
bool read_columns(PyObject* data, std::size_t width, ColumnInput& out);

// For a call that also takes lists of rows: when `data` (not a list or
// tuple) exports a 2-D float64 buffer, reads all its columns into `out` and
// returns 1 (in place, or from a row-major copy when its strides or start
// do not allow reading doubles in place); returns 0, with nothing set, for
// anything else; -1 with MemoryError, naming the shape, when the copy
// cannot be made.
int read_table(PyObject* data, ColumnInput& out);

// A row-major table of doubles, `width` per bar, converted from a sequence
// of rows of floats (NaN and conversion as for any list of floats). Values
// beyond `width` in a row are converted (so a bad one is still refused) and
// dropped; the first row shorter than `width` is remembered.
struct RowTable {
  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
  std::size_t width = 0;
  std::size_t bars = 0;
  std::vector<double> values;
  std::size_t short_bar = kNone;
  std::size_t short_length = 0;
};
// Conversion errors are TypeError prefixed with the argument name, as for
// every list argument. Signals are checked every 65536 values.
bool to_row_table(PyObject* data, const char* param, std::size_t width, RowTable& out);

// A list of `bars` lists of `width` floats from a row-major table. Signals
// are checked every 65536 values.
PyObject* new_row_lists(const double* values, std::size_t bars, std::size_t width);

// A list of lists of floats, one per column, missing as NaN. Signals are
// checked every 65536 values.
PyObject* new_column_lists(const std::vector<Column>& columns);

// ----------------------------------------------------------------- result

// Creates the _Result type of `module`; null with an exception set.
PyTypeObject* result_class(PyObject* module);

// A new _Result, of the module that defined `owner`'s type, owning an
// uninitialised C-contiguous (bars, width) table of doubles; `*data` points
// to it. MemoryError, naming the shape, when it cannot be allocated.
PyObject* new_result(PyObject* owner, std::size_t bars, std::size_t width, double** data);

// The same for a table of presence flags, one byte per entry (exported with
// format '?', 1 where a result is present).
PyObject* new_flags(PyObject* owner, std::size_t bars, std::size_t width, std::uint8_t** data);

// `width` strided outputs into a row-major table, each marking presence in
// the row-major table `present` when it is given.
std::vector<StridedOutput> row_outputs(double* data, std::size_t width, std::uint8_t* present = nullptr);

// A column run's result for `owner`: a new (bars, width) _Result, and with
// `validity` a second one of presence flags, handed to `run` as strided
// outputs. Returns the _Result, or with `validity` the tuple (values,
// present); null with an exception set when the room cannot be had or
// `run` returns false (its exception set).
PyObject* run_result(PyObject* owner, std::size_t bars, std::size_t width, bool validity,
                     const std::function<bool(std::span<const StridedOutput>)>& run);

// A reference dropped at the end of a scope, also when it is left by an
// exception.
class Owned {
 public:
  explicit Owned(PyObject* o) : o_(o) {}
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { Py_XDECREF(o_); }

 private:
  PyObject* o_;
};

// ------------------------------------------------------------- functions

// Private module functions choosing the SIMD path of the column kernels,
// for tests that run every path: _simd_paths() (the names this CPU can run,
// plainest first), _simd_path() (the current one) and _set_simd_path(name).
PyMethodDef* column_functions();

// -------------------------------------------------------- the lock released

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
