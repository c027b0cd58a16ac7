// TargetPipeline: one core target pipeline built from private core targets,
// labelling a whole dataset given column-major, one list per input column.

#include "python/target_pipeline.h"

#include <optional>
#include <span>
#include <vector>

#include "core/pipeline/target_pipeline.h"
#include "core/catalog.h"
#include "core/pipeline/plan.h"
#include "python/buffers.h"
#include "python/catalog.h"
#include "python/lists.h"
#include "python/result.h"
#include "python/unlocked.h"
#include "python/classdef.h"
#include "python/groups.h"
#include "python/guard.h"
#include "python/targets.h"

namespace sarvek::py {
namespace {

struct PipelinePayload {
  AccessGuard guard;  // only ever held shared: nothing changes the pipeline
  TargetPipeline pipeline;
};
using PipelineInstance = Instance<PipelinePayload>;

PyObject* pipeline_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    static const char* const kParams[] = {"targets", "input_columns"};
    PyObject* bound[2];
    if (!bind_tuple("TargetPipeline", kParams, 2, args, kwargs, bound)) return nullptr;
    ObjectList objects;
    if (!to_objects(bound[0], "targets", objects)) return nullptr;
    Names input_columns;
    if (!to_names(bound[1], "input_columns", input_columns)) return nullptr;

    // Private targets, built afresh from each object's configuration.
    TargetPipeline::Targets targets;
    targets.reserve(objects.size());
    for (PyObject* obj : objects) {
      std::unique_ptr<Target> target = fresh_target(obj);
      if (!target) return PyErr_Occurred() ? nullptr : raise_unsupported("target", obj);
      targets.push_back(std::move(target));
    }
    auto pipeline = TargetPipeline::create(std::move(targets), std::move(input_columns));
    if (!pipeline) return raise_core_error(pipeline.error());
    return new_instance(type, PipelinePayload{{}, std::move(*pipeline)});
  });
}

// A copy of the pipeline: every target made afresh from its arguments.
// Null with an exception set when a target cannot be made again.
std::optional<TargetPipeline> copy_of(PyObject* self, const TargetPipeline& pipeline) {
  TargetPipeline::Targets targets;
  for (std::size_t i = 0; i < pipeline.len(); ++i) {
    const Target& t = pipeline.target(i);
    const TargetDescription* type = description_of(t);
    if (!type) return raise_unsupported("target", self), std::nullopt;
    auto made = type->make(type->arguments_of(t));
    if (!made) return raise_core_error(made.error()), std::nullopt;
    targets.push_back(std::move(*made));
  }
  auto made = TargetPipeline::create(std::move(targets), pipeline.input_names());
  if (!made) return raise_core_error(made.error()), std::nullopt;
  return std::move(*made);
}

// The copy is made under a shared hold, the object after it is released.
PyObject* pipeline_fresh(PyObject* self, PyObject*) {
  return boundary([&]() -> PyObject* {
    PipelinePayload* p = built_payload<PipelinePayload>(self);
    if (!p) return nullptr;
    std::optional<TargetPipeline> copy;
    {
      SharedHold hold(p->guard);
      if (!hold) return nullptr;
      copy = copy_of(self, p->pipeline);
      if (!copy) return nullptr;
    }
    return new_instance(Py_TYPE(self), PipelinePayload{{}, std::move(*copy)});
  });
}

// A copy of the pipeline per worker (targets keep no state from run to run,
// but no two threads share one). A label looks ahead, so every group is run
// whole.
struct GroupRun {
  static constexpr bool kStreams = false;
  TargetPipeline pipeline;
  Result<RunStatus> operator()(std::size_t bars, std::span<const StridedColumn> inputs,
                               std::span<const StridedOutput> outputs, bool,
                               const std::function<bool()>& interrupted) {
    return pipeline.run_columns(bars, inputs, outputs, interrupted);
  }
};

PyObject* pipeline_run_groups(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  GroupCall call;
  if (!read_group_call(args, nargs, kwnames, call)) return nullptr;
  if (call.panel == PanelMode::always) {
    PyErr_SetString(PyExc_ValueError, "panel=True needs a feature pipeline: targets look ahead, so each group runs whole");
    return nullptr;
  }
  return boundary([&]() -> PyObject* {
    PipelinePayload* p = built_payload<PipelinePayload>(self);
    if (!p) return nullptr;
    ColumnInput in;  // holds every buffer view until the call ends
    GroupIndex index;
    std::vector<GroupRun> runs;
    std::size_t width = 0;
    {
      SharedHold hold(p->guard);
      if (!hold) return nullptr;
      width = p->pipeline.output_names().size();
      if (!read_columns(call.data, p->pipeline.input_names().size(), in) ||
          !read_group_codes(call.codes, call.n_groups, in.bars, index))
        return nullptr;
      const std::size_t copies = group_copies(index, call.workers);
      runs.reserve(copies);
      for (std::size_t w = 0; w < copies; ++w) {
        std::optional<TargetPipeline> copy = copy_of(self, p->pipeline);
        if (!copy) return nullptr;
        runs.push_back(GroupRun{std::move(*copy)});
      }
    }
    return group_results(self, in, width, call, [&](const GroupTable& table) {
      return run_groups(index, std::span<const StridedColumn>(in.columns), table, std::span<GroupRun>(runs),
                        call.window);
    });
  });
}

template <class Read>
PyObject* read_pipeline(PyObject* self, Read&& read) {
  return reading<PipelinePayload>(self, [&](PipelinePayload& p) { return read(p.pipeline); });
}

PyObject* pipeline_run_research(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kParams[] = {"data"};
  PyObject* data;
  if (!bind_fastcall("run_research", kParams, 1, args, nargs, kwnames, &data)) return nullptr;
  return reading<PipelinePayload>(self, [&](PipelinePayload& p) -> PyObject* {
    ValueRows rows;
    if (!to_value_rows(data, "data", rows)) return nullptr;
    std::vector<std::span<const Value>> columns;
    columns.reserve(rows.rows());
    for (std::size_t i = 0; i < rows.rows(); ++i) columns.push_back(rows.row(i));
    std::vector<Column> out;
    auto status = without_lock([&](const std::function<bool()>& interrupted) {
      return p.pipeline.run_research(columns, out, interrupted);
    });
    if (!status) return raise_core_error(status.error());
    if (*status == RunStatus::interrupted) return nullptr;
    return new_column_lists(out);
  });
}

PyObject* pipeline_run_columns(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kParams[] = {"data", "validity", "order", "out", "threads", "piece_bars"};
  PyObject* bound[6];
  if (!keyword_only("_run_columns", 1, nargs)) return nullptr;
  if (!bind_fastcall("_run_columns", kParams, 1, args, nargs, kwnames, bound)) return nullptr;
  ResultRequest request;
  RunThreads threads;
  if (!to_request(bound[1], bound[2], bound[3], request) || !to_threads(bound[4], bound[5], threads)) return nullptr;
  return reading<PipelinePayload>(self, [&](PipelinePayload& p) -> PyObject* {
    const std::size_t outputs = p.pipeline.output_names().size();
    ColumnInput in;  // holds every buffer view until the call ends
    if (!read_columns(bound[0], p.pipeline.input_names().size(), in)) return nullptr;
    return run_result(self, in, outputs, request, [&](std::span<const StridedOutput> columns) {
      auto status = without_lock([&](const std::function<bool()>& interrupted) {
        return p.pipeline.run_columns(in.bars, in.columns, columns, interrupted, threads);
      });
      if (!status) return raise_core_error(status.error()), false;
      return *status != RunStatus::interrupted;
    });
  });
}

PyObject* pipeline_output_names(PyObject* self, PyObject*) {
  return read_pipeline(self, [](const TargetPipeline& t) { return new_str_list(t.output_names()); });
}
PyObject* pipeline_input_names(PyObject* self, PyObject*) {
  return read_pipeline(self, [](const TargetPipeline& t) { return new_str_list(t.input_names()); });
}
PyObject* pipeline_forward_period(PyObject* self, PyObject*) {
  return read_pipeline(self, [](const TargetPipeline& t) { return new_size(t.forward_period()); });
}

PyObject* pipeline_config(PyObject* self, PyObject*) {
  return read_pipeline(self, [](const TargetPipeline& t) {
    return new_pipeline_dict(t.input_names(), "targets", t.len(),
                             [&](std::size_t i) { return target_config_dict(t.target(i)); });
  });
}

PyObject* pipeline_plan(PyObject* self, PyObject*) {
  return read_pipeline(self, [](const TargetPipeline& t) { return new_plan_dict(plan_of(t)); });
}

Py_ssize_t pipeline_len(PyObject* self) {
  return guarded_len<PipelinePayload>(self, [](PipelinePayload& p) { return p.pipeline.len(); });
}

PyTypeObject* create_pipeline_class(PyObject* module) {
  ClassSpec spec{
      .name = "TargetPipeline",
      .signature = "(targets, input_columns)",
      .doc = "Orchestrates multiple targets over a full dataset.\n"
             "\n"
             "Targets are stateless and independent \u2014 no DAG needed.\n"
             "Use ``run_research()`` to label an entire dataset at once.",
      .basicsize = static_cast<int>(sizeof(PipelineInstance)),
      .tp_new = pipeline_new,
      .tp_dealloc = dealloc_instance<PipelinePayload>,
      .sq_length = pipeline_len,
      .methods =
          {
              {"run_research", as_method(pipeline_run_research), METH_FASTCALL | METH_KEYWORDS,
               "($self, data)",
               "Run all targets over the full dataset (research mode).\n"
               "\n"
               "Args:\n"
               "    data: One list per input column, each containing one float per bar.\n"
               "          Use ``float('nan')`` for missing values.\n"
               "\n"
               "Returns:\n"
               "    One list per output column, in ``output_names()`` order."},
              {"_run_columns", as_method(pipeline_run_columns), METH_FASTCALL | METH_KEYWORDS, "($self, data, *, validity=False, order='C', out=None, threads=1, piece_bars=0)",
               "Labels over whole columns, computed with the interpreter lock released.\n"
               "\n"
               "data: one 2-D float64 buffer of shape (bars, len(input_names())), in any order whose strides\n"
               "are whole multiples of 8 bytes, or a list of len(input_names()) 1-D float64 buffers of equal\n"
               "length; NaN marks a missing value.\n"
               "\n"
               "Returns a _Result of shape (bars, len(output_names())), NaN for missing, which\n"
               "numpy.asarray() wraps without a copy. With validity=True returns (values, present): present\n"
               "is a _Result of the same shape holding bool values, True where a label is present, so a\n"
               "computed NaN (present) can be told from a missing value. order='F' and out= as for\n"
               "FeaturePipeline._run_columns. Labels are computed in blocks of bars, and a signal\n"
               "(KeyboardInterrupt) is seen between blocks; the pipeline never changes.\n"
               "threads: the run cut into pieces of bars over at most that many threads (the calling one\n"
               "included), each piece reading past its end as far as the longest horizon, so the labels are\n"
               "those of one thread. piece_bars: bars per piece at least (0: max(16384, twice the horizon))."},
              {"_run_groups", as_method(pipeline_run_groups), METH_FASTCALL | METH_KEYWORDS,
               "($self, data, codes, n_groups, *, validity=False, order='C', workers=1, window=None, panel=None)",
               "_run_columns for every group of rows on its own, as FeaturePipeline._run_groups: codes gives\n"
               "each row's group in [0, n_groups); a label reads only the later rows of its own group.\n"
               "panel: None or False; each group always runs whole (True is refused)."},
              {"output_names", as_method(pipeline_output_names), METH_NOARGS, "($self)",
               "Output column names, in order."},
              {"input_names", as_method(pipeline_input_names), METH_NOARGS, "($self)",
               "Input columns in the order expected by ``run_research()``."},
              {"forward_period", as_method(pipeline_forward_period), METH_NOARGS, "($self)",
               "Maximum forward period across all targets."},
              {"_config", as_method(pipeline_config), METH_NOARGS, "($self)",
               "The pipeline as plain data: input_columns and, in the order given, each target's class name "
               "under \"type\" and its constructor arguments."},
              {"_plan", as_method(pipeline_plan), METH_NOARGS, "($self)",
               "What the configuration implies, as plain data: targets (per target, in the order given: "
               "type, repr, outputs and horizon, the bars after a bar its label reads) and future (the largest horizon, 0 without "
               "targets)."},
              {"_fresh", as_method(pipeline_fresh), METH_NOARGS, "($self)",
               "A new pipeline of the same configuration."},
          },
  };
  return create_class(module, spec);
}

}  // namespace

PyTypeObject* target_pipeline_class(PyObject* module) { return create_pipeline_class(module); }

}  // namespace sarvek::py
