// FeaturePipeline: a core feature pipeline built from private fresh copies
// of the caller's feature objects.

#include "python/feature_pipeline.h"

#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/pipeline/feature_pipeline.h"
#include "core/pipeline/plan.h"
#include "core/state_io.h"
#include "python/buffers.h"
#include "python/catalog.h"
#include "python/lists.h"
#include "python/result.h"
#include "python/rows.h"
#include "python/unlocked.h"
#include "python/classdef.h"
#include "python/convert.h"
#include "python/features.h"
#include "python/groups.h"
#include "python/guard.h"

namespace sarvek::py {
namespace {

struct PipelinePayload {
  AccessGuard guard;
  FeaturePipeline pipeline;
  // The live bar's values, reused from call to call so that a warm update
  // does not allocate. Only touched under the exclusive hold.
  std::vector<Value> bar;
  std::size_t inputs = 0;   // input_names().size()
  std::size_t outputs = 0;  // output_names().size(), the values of every update
};

constexpr std::size_t kKeptBarCapacity = 4096;

PyObject* new_pipeline(PyTypeObject* type, FeaturePipeline&& pipeline) {
  const std::size_t width = pipeline.input_names().size();
  const std::size_t outputs = pipeline.output_names().size();
  PipelinePayload payload{{}, std::move(pipeline), {}, width, outputs};
  payload.bar.reserve(width);
  return new_instance(type, std::move(payload));
}

PyObject* pipeline_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    static const char* const kParams[] = {"features", "input_columns"};
    PyObject* bound[2];
    if (!bind_tuple("FeaturePipeline", kParams, 2, args, kwargs, bound)) return nullptr;
    ObjectList objects;
    if (!to_objects(bound[0], "features", objects)) return nullptr;
    Names columns;
    if (!to_names(bound[1], "input_columns", columns)) return nullptr;

    std::vector<std::unique_ptr<Feature>> features;
    features.reserve(objects.size());
    for (PyObject* obj : objects) {
      std::unique_ptr<Feature> fresh = fresh_feature(obj);
      if (!fresh) return PyErr_Occurred() ? nullptr : raise_unsupported("feature", obj);
      features.push_back(std::move(fresh));
    }

    auto pipeline = FeaturePipeline::create(std::move(features), std::move(columns));
    if (!pipeline) return raise_core_error(pipeline.error());
    return new_pipeline(type, std::move(*pipeline));
  });
}

// A copy of the pipeline in its just-built state: every feature made afresh
// from its own configuration (Feature::fresh), never through a document.
// The copy is made under a shared hold, the object after it is released.
PyObject* pipeline_fresh(PyObject* self, PyObject*) {
  return boundary([&]() -> PyObject* {
    PipelinePayload* p = built_payload<PipelinePayload>(self);
    if (!p) return nullptr;
    std::optional<FeaturePipeline> copy;
    {
      SharedHold hold(p->guard);
      if (!hold) return nullptr;
      std::vector<std::unique_ptr<Feature>> features;
      for (const Feature* f : p->pipeline.features_in_caller_order()) features.push_back(f->fresh());
      auto made = FeaturePipeline::create(std::move(features), p->pipeline.input_names());
      if (!made) return raise_core_error(made.error());
      copy.emplace(std::move(*made));
    }
    return new_pipeline(Py_TYPE(self), std::move(*copy));
  });
}

PyObject* pipeline_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kParams[] = {"values"};
  PyObject* values;
  if (!bind_fastcall("update", kParams, 1, args, nargs, kwnames, &values)) return nullptr;
  const PipelinePayload* built = built_payload<PipelinePayload>(self);
  if (!built) return nullptr;
  // The result is made before the pipeline takes the bar, so a failure to
  // allocate it leaves the pipeline as it was.
  PyObject* result = new_blank_float_list(built->outputs);
  if (!result) return nullptr;
  PyObject* done = writing<PipelinePayload>(self, [&](PipelinePayload& p) -> PyObject* {
    p.bar.clear();
    if (!to_values(values, "values", p.bar)) return nullptr;
    auto out = p.pipeline.update(p.bar);
    // One oversized bar does not pin its memory for the life of the object.
    if (p.bar.capacity() > kKeptBarCapacity) std::vector<Value>().swap(p.bar);
    if (!out) return raise_core_error(out.error());
    return fill_float_list(result, *out);
  });
  Py_DECREF(result);
  return done;
}

// The column engine over `bars` bars, from scratch or continuing, with the
// interpreter lock released and signals checked between blocks. When it
// stops on a signal (the exception is then set) the engine has reset the
// features; when it throws (out of memory) they are reset here. A refusal
// (columns miscounted, which the callers rule out) changes nothing.
Result<RunStatus> run_engine(PipelinePayload& p, std::size_t bars, std::span<const StridedColumn> inputs,
                             std::span<const StridedOutput> outputs, bool reset_first, RunThreads threads = {}) {
  try {
    return without_lock([&](const std::function<bool()>& interrupted) {
      return p.pipeline.run_columns(bars, inputs, outputs, reset_first, interrupted, threads);
    });
  } catch (...) {
    p.pipeline.reset();
    throw;
  }
}

// The pipeline's own check of bar `bar` of data, holding `got` values: false,
// with its InvalidInput raised, when that is fewer than the input columns.
bool check_length(const FeaturePipeline& pipeline, std::size_t bar, std::size_t got) {
  Result<void> ok = pipeline.check_data_bar(bar, got);
  if (!ok) raise_core_error(ok.error());
  return ok.has_value();
}

PyObject* pipeline_run_research(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kParams[] = {"data"};
  PyObject* data;
  if (!bind_fastcall("run_research", kParams, 1, args, nargs, kwnames, &data)) return nullptr;
  // After a failure the pipeline is: as it was, when the data could not be
  // read, a bar is short or the room for the results cannot be had (refused
  // before anything changes); reset, when the run stopped on a signal or
  // failed, also while the result lists were being made (they are made
  // under the hold, so nothing else runs on the pipeline in between).
  return writing<PipelinePayload>(self, [&](PipelinePayload& p) -> PyObject* {
    // A 2-D float64 buffer is read in place (or copied when its layout does
    // not allow that), any other data as rows, each converted once into a
    // row-major table; either way every check comes before anything changes.
    ColumnInput table;
    RowTable rows;
    std::vector<StridedColumn> inputs;
    const int is_table = read_table(data, table);
    if (is_table < 0) return nullptr;
    std::size_t bars = 0;
    if (is_table) {
      bars = table.bars;
      if (bars > 0 && !check_length(p.pipeline, 0, table.columns.size())) return nullptr;
      inputs.assign(table.columns.begin(), table.columns.begin() + std::min(table.columns.size(), p.inputs));
      inputs.resize(p.inputs, StridedColumn{nullptr, 0});  // no bars: never read
    } else {
      if (!to_row_table(data, "data", p.inputs, rows)) return nullptr;
      if (rows.short_bar != RowTable::kNone && !check_length(p.pipeline, rows.short_bar, rows.short_length))
        return nullptr;
      bars = rows.bars;
      for (std::size_t j = 0; j < p.inputs; ++j)
        inputs.push_back({rows.values.data() + j, static_cast<std::ptrdiff_t>(p.inputs)});
    }
    // Room for every result before anything changes: MemoryError naming the
    // shape and bytes when there is none.
    double* values;
    PyObject* results = new_result(self, bars, p.outputs, &values);
    if (!results) return nullptr;
    const Owned owned(results);
    const std::vector<StridedOutput> outputs = row_outputs(values, p.outputs);
    auto status = run_engine(p, bars, inputs, outputs, true);
    if (!status) return raise_core_error(status.error());
    if (*status == RunStatus::interrupted) return nullptr;
    PyObject* lists = new_row_lists(values, bars, p.outputs);
    if (!lists) p.pipeline.reset();
    return lists;
  });
}

PyObject* pipeline_run_columns(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kParams[] = {"data", "reset", "validity", "order", "out", "threads", "piece_bars"};
  PyObject* bound[7];
  if (!keyword_only("_run_columns", 2, nargs)) return nullptr;
  if (!bind_fastcall("_run_columns", kParams, 1, args, nargs, kwnames, bound)) return nullptr;
  bool reset_first = true;
  ResultRequest request;
  if (!to_truth(bound[1], reset_first) || !to_request(bound[2], bound[3], bound[4], request)) return nullptr;
  RunThreads threads;
  if (!to_threads(bound[5], bound[6], threads)) return nullptr;
  return writing<PipelinePayload>(self, [&](PipelinePayload& p) -> PyObject* {
    ColumnInput in;  // holds every buffer view until the call ends
    if (!read_columns(bound[0], p.inputs, in)) return nullptr;
    return run_result(self, in, p.outputs, request, [&](std::span<const StridedOutput> outputs) {
      auto status = run_engine(p, in.bars, in.columns, outputs, reset_first, threads);
      if (!status) return raise_core_error(status.error()), false;
      return *status != RunStatus::interrupted;
    });
  });
}

// A fresh copy of the pipeline per worker (and per group run in pieces),
// each group run from the just-built state and continued piece by piece.
struct GroupRun {
  static constexpr bool kStreams = true;
  FeaturePipeline pipeline;
  Result<RunStatus> operator()(std::size_t bars, std::span<const StridedColumn> inputs,
                               std::span<const StridedOutput> outputs, bool first,
                               const std::function<bool()>& interrupted) {
    return pipeline.run_columns(bars, inputs, outputs, first, interrupted);
  }
  GroupRun fresh() const { return GroupRun{pipeline.fresh()}; }
};

PyObject* pipeline_run_groups(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  GroupCall call;
  if (!read_group_call(args, nargs, kwnames, call)) return nullptr;
  return boundary([&]() -> PyObject* {
    PipelinePayload* p = built_payload<PipelinePayload>(self);
    if (!p) return nullptr;
    ColumnInput in;  // holds every buffer view until the call ends
    GroupIndex index;
    std::vector<GroupRun> runs;
    std::optional<FeaturePipeline> prototype;
    {
      // The caller's pipeline is only read, to copy it; the run uses the copies.
      SharedHold hold(p->guard);
      if (!hold) return nullptr;
      if (!read_columns(call.data, p->inputs, in) || !read_group_codes(call.codes, call.n_groups, in.bars, index))
        return nullptr;
      prototype.emplace(p->pipeline.fresh());
    }
    // Rows in time order (the groups' rows interleaved) run as a panel, in
    // lanes across groups; otherwise each group's rows are gathered.
    const PanelPlan plan = plan_panel(*prototype, index, in.bars, call.panel);
    if (plan.empty()) {
      const std::size_t copies = group_copies(index, call.workers);
      runs.reserve(copies);
      for (std::size_t w = 0; w < copies; ++w) runs.push_back(GroupRun{prototype->fresh()});
    }
    const std::span<const StridedColumn> columns(in.columns);
    return group_results(self, in, p->outputs, call, [&](const GroupTable& table) {
      if (!plan.empty()) return run_panel_groups(*prototype, plan, columns, table, call.workers);
      return run_groups(index, columns, table, std::span<GroupRun>(runs), call.window);
    });
  });
}

PyObject* pipeline_reset(PyObject* self, PyObject*) {
  return writing<PipelinePayload>(self, [](PipelinePayload& p) {
    p.pipeline.reset();
    Py_RETURN_NONE;
  });
}

// Reading methods: one read of the pipeline under a shared hold.
template <class Read>
PyObject* read_pipeline(PyObject* self, Read&& read) {
  return reading<PipelinePayload>(self, [&](PipelinePayload& p) { return read(p.pipeline); });
}

PyObject* pipeline_output_names(PyObject* self, PyObject*) {
  return read_pipeline(self, [](const FeaturePipeline& f) { return new_str_list(f.output_names()); });
}
PyObject* pipeline_input_names(PyObject* self, PyObject*) {
  return read_pipeline(self, [](const FeaturePipeline& f) { return new_str_list(f.input_names()); });
}
PyObject* pipeline_warm_up_period(PyObject* self, PyObject*) {
  return read_pipeline(self, [](const FeaturePipeline& f) { return new_size(f.warm_up_period()); });
}

PyObject* pipeline_config(PyObject* self, PyObject*) {
  return read_pipeline(self, [](const FeaturePipeline& f) {
    const std::vector<const Feature*> features = f.features_in_caller_order();
    return new_pipeline_dict(f.input_names(), "features", features.size(),
                             [&](std::size_t i) { return feature_config_dict(*features[i]); });
  });
}

PyObject* pipeline_plan(PyObject* self, PyObject*) {
  return read_pipeline(self, [](const FeaturePipeline& f) { return new_plan_dict(plan_of(f)); });
}

Py_ssize_t pipeline_len(PyObject* self) {
  return guarded_len<PipelinePayload>(self, [](PipelinePayload& p) { return p.pipeline.len(); });
}

PyTypeObject* create(PyObject* module) {
  ClassSpec spec{
      .name = "FeaturePipeline",
      .signature = "(features, input_columns)",
      .doc = "Orchestrates features in DAG-resolved order.\n"
             "\n"
             "Features are resolved automatically \u2014 pass them in any order.\n"
             "Use ``run_research()`` for batch mode or ``update()`` for live mode.",
      .basicsize = static_cast<int>(sizeof(Instance<PipelinePayload>)),
      .tp_new = pipeline_new,
      .tp_dealloc = dealloc_instance<PipelinePayload>,
      .sq_length = pipeline_len,
      .methods =
          {
              {"update", as_method(pipeline_update), METH_FASTCALL | METH_KEYWORDS, "($self, values)",
               "Process one bar (live mode).\n"
               "\n"
               "Args:\n"
               "    values: One float per input column. Use ``float('nan')`` for missing.\n"
               "\n"
               "Returns:\n"
               "    Flat list of output values matching ``output_names()``."},
              {"run_research", as_method(pipeline_run_research), METH_FASTCALL | METH_KEYWORDS, "($self, data)",
               "Process a full dataset bar by bar (research mode).\n"
               "\n"
               "Args:\n"
               "    data: List of bars, each bar is a list of input values.\n"
               "\n"
               "Returns:\n"
               "    List of bars, each bar is a list of output values."},
              {"_run_columns", as_method(pipeline_run_columns), METH_FASTCALL | METH_KEYWORDS,
               "($self, data, reset=True, *, validity=False, order='C', out=None, threads=1, piece_bars=0)",
               "Research over whole columns, computed with the interpreter lock released.\n"
               "\n"
               "data: one 2-D float64 buffer of shape (bars, len(input_names())), in any order whose strides\n"
               "are whole multiples of 8 bytes, or a list of len(input_names()) 1-D float64 buffers of equal\n"
               "length; NaN marks a missing value. With reset (the default) the features are reset first, as\n"
               "run_research does; otherwise the run continues from their current state, so a long history\n"
               "fed in pieces gives the same results as one call.\n"
               "\n"
               "Returns a _Result of shape (bars, len(output_names())), NaN for missing, which\n"
               "numpy.asarray() wraps without a copy. With validity=True returns (values, present): present\n"
               "is a _Result of the same shape holding bool values, True where a result is present, so a\n"
               "computed NaN (present) can be told from a missing value. With order='F' the tables are held\n"
               "column after column (each output one contiguous run of bars) instead of row after row.\n"
               "out: a writable float64 array of shape (bars, len(output_names())), contiguous in that order and\n"
               "sharing no memory with data, written in place of a new table and returned (reusable from run to\n"
               "run; present stays a new table). A refused call changes nothing. A run stopped by a\n"
               "signal (KeyboardInterrupt) or any other failure once computing has begun leaves the features\n"
               "reset; the same holds for run_research.\n"
               "threads: the run cut into pieces of bars over at most that many threads (the calling one\n"
               "included), each piece after the first computed by a fresh copy fed the bars of history its\n"
               "longest chain of features needs, so results and the state left are those of one thread;\n"
               "recursions (Ema, Macd, Rsi, ...) and what they read run whole on the calling thread beside them.\n"
               "piece_bars: bars per piece at least (0: max(16384, twice that history))."},
              {"_run_groups", as_method(pipeline_run_groups), METH_FASTCALL | METH_KEYWORDS,
               "($self, data, codes, n_groups, *, validity=False, order='C', workers=1, window=None, panel=None)",
               "_run_columns for every group of rows on its own: a fresh copy of the pipeline per group.\n"
               "\n"
               "data: the input columns, as _run_columns takes them, for every row of a table; codes: a 1-D\n"
               "int64 buffer of one group number per row, each in [0, n_groups). Group g's rows, taken in the\n"
               "table's order (rows of different groups may interleave), are run from the just-built state\n"
               "and their results written back to the same rows of one (bars, len(output_names())) _Result\n"
               "(with validity=True also its presence flags, as _run_columns gives them), in order 'C' or 'F'.\n"
               "workers: threads sharing the groups, the calling thread one of them; every group's results\n"
               "depend only on its own rows, so they are the same for any count. Computed with the\n"
               "interpreter lock released; a signal (KeyboardInterrupt) is seen between groups and between\n"
               "blocks of bars. The pipeline itself is never changed. window: rows of the table each worker\n"
               "takes its groups' rows of before the next (None: as many as the cache holds); a group is\n"
               "continued from window to window, so the results are the same for any window.\n"
               "panel: when the groups' rows interleave (a table in time order), the table may be walked\n"
               "step by step with every group in lanes across groups, nothing gathered (the same results);\n"
               "None takes that way when most groups have a row at most steps and every feature type runs\n"
               "in lanes, True always (slower where some type runs one copy per group), False never."},
              {"reset", as_method(pipeline_reset), METH_NOARGS, "($self)",
               "Reset all features (e.g. between CPCV splits)."},
              {"output_names", as_method(pipeline_output_names), METH_NOARGS, "($self)",
               "Output column names in execution order."},
              {"input_names", as_method(pipeline_input_names), METH_NOARGS, "($self)",
               "Input columns in the order expected by ``update()``."},
              {"warm_up_period", as_method(pipeline_warm_up_period), METH_NOARGS, "($self)",
               "Maximum warm-up period across all features."},
              {"_config", as_method(pipeline_config), METH_NOARGS, "($self)",
               "The pipeline as plain data: input_columns and, in the order given, each feature's class name "
               "under \"type\" and its constructor arguments."},
              {"_plan", as_method(pipeline_plan), METH_NOARGS, "($self)",
               "What the configuration implies, as plain data: stages (feature positions, as in _config(), "
               "stage by stage); features (per feature: type, repr, stage, reads, warm_up, memory, "
               "chain_memory, first_valid); columns (per name: input_column, producer as (feature, output index) or None, "
               "readers); first_valid (per output name, in output_names() order, None for never); history "
               "(bars of history a piece needs for exact results, None when a chain is unbounded)."},
              {"_fresh", as_method(pipeline_fresh), METH_NOARGS, "($self)",
               "A new pipeline of the same configuration in its just-built state."},
          },
  };
  return create_class(module, spec);
}

// The payload of `obj` when it is a FeaturePipeline of this module; null
// with TypeError naming `param` otherwise.
PipelinePayload* pipeline_payload(PyObject* obj, const char* param) {
  const ModuleState* state = module_state(Py_TYPE(obj));
  if (!state || state->types[kFeaturePipelineSlot] != Py_TYPE(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be a FeaturePipeline, got %s", param, Py_TYPE(obj)->tp_name);
    return nullptr;
  }
  return built_payload<PipelinePayload>(obj);
}

PyObject* save_state(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    static const char* const kParams[] = {"pipeline"};
    PyObject* obj;
    if (!bind_fastcall("_pipeline_state", kParams, 1, args, nargs, kwnames, &obj)) return nullptr;
    PipelinePayload* p = pipeline_payload(obj, "pipeline");
    if (!p) return nullptr;
    std::string bytes;
    {
      // Saving only reads, but the visit is the one loading uses.
      ExclusiveHold hold(p->guard);
      if (!hold) return nullptr;
      StateIO io = StateIO::writer(bytes);
      p->pipeline.state(io);
      if (io.failed()) return raise_core_error(CoreError::invalid_input(io.error()));
    }
    return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
  });
}

PyObject* restore_state(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    static const char* const kParams[] = {"pipeline", "state"};
    PyObject* bound[2];
    if (!bind_fastcall("_restore_pipeline_state", kParams, 2, args, nargs, kwnames, bound)) return nullptr;
    PipelinePayload* p = pipeline_payload(bound[0], "pipeline");
    if (!p) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(bound[1], &view, PyBUF_SIMPLE) != 0) return nullptr;
    struct Release {
      Py_buffer* v;
      ~Release() { PyBuffer_Release(v); }
    } release{&view};
    ExclusiveHold hold(p->guard);
    if (!hold) return nullptr;
    // Restored into a fresh copy, kept only when every byte read cleanly.
    FeaturePipeline copy = p->pipeline.fresh();
    StateIO io = StateIO::reader({static_cast<const unsigned char*>(view.buf), static_cast<std::size_t>(view.len)});
    copy.state(io);
    if (!io.failed() && io.remaining() != 0) io.fail(std::to_string(io.remaining()) + " bytes left over");
    if (io.failed()) return raise_core_error(CoreError::invalid_input("state: " + io.error()));
    p->pipeline = std::move(copy);
    Py_RETURN_NONE;
  });
}

PyMethodDef kStateFunctions[] = {
    {"_pipeline_state", as_method(save_state), METH_FASTCALL | METH_KEYWORDS,
     "_pipeline_state($module, pipeline)\n--\n\nThe state of every feature of a FeaturePipeline as bytes."},
    {"_restore_pipeline_state", as_method(restore_state), METH_FASTCALL | METH_KEYWORDS,
     "_restore_pipeline_state($module, pipeline, state)\n--\n\nRestores what _pipeline_state gave, all or "
     "nothing: a refused state (ValueError) leaves the pipeline as it was."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* feature_pipeline_class(PyObject* module) { return create(module); }

std::optional<FeaturePipeline> fresh_pipeline_of(PyObject* obj, const char* param) {
  PipelinePayload* p = pipeline_payload(obj, param);
  if (!p) return std::nullopt;
  SharedHold hold(p->guard);
  if (!hold) return std::nullopt;
  return p->pipeline.fresh();
}

PyMethodDef* pipeline_state_functions() { return kStateFunctions; }

}  // namespace sarvek::py
