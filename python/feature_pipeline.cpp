// FeaturePipeline: a core feature pipeline built from private fresh copies
// of the caller's feature objects.

#include "python/feature_pipeline.h"

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "core/pipeline/feature_pipeline.h"
#include "python/classdef.h"
#include "python/convert.h"
#include "python/features.h"
#include "python/guard.h"

namespace sarvek::py {
namespace {

struct PipelinePayload {
  AccessGuard guard;
  FeaturePipeline pipeline;
  // The live bar's values, reused from call to call so that a warm update
  // does not allocate. Only touched under the exclusive hold.
  std::vector<Value> bar;
  // Values in every result of update; fixed at construction.
  std::size_t outputs = 0;
};

constexpr std::size_t kKeptBarCapacity = 4096;

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
    const std::size_t width = pipeline->input_names().size();
    const std::size_t outputs = pipeline->output_names().size();
    PipelinePayload payload{{}, std::move(*pipeline), {}, outputs};
    payload.bar.reserve(width);
    return new_instance(type, std::move(payload));
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

PyObject* pipeline_run_research(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kParams[] = {"data"};
  PyObject* data;
  if (!bind_fastcall("run_research", kParams, 1, args, nargs, kwnames, &data)) return nullptr;
  // After a failure the pipeline is: as it was, when the data could not be
  // converted or a bar is short (refused before anything changes); after
  // the last bar, when the result lists could not be made (a retry resets
  // first, so it gives the same result). The result lists are made after
  // the guard is released: they do not refer to the pipeline.
  return writing_then<PipelinePayload>(
      self,
      [&](PipelinePayload& p) -> std::optional<ResearchResult> {
        ValueRows rows;
        if (!to_value_rows(data, "data", rows)) return std::nullopt;
        auto result = p.pipeline.run_research(BarsView{rows.values, rows.offsets});
        if (!result) {
          raise_core_error(result.error());
          return std::nullopt;
        }
        return std::move(*result);
      },
      [](const ResearchResult& r) { return new_float_lists(r.bars, [&](std::size_t i) { return r.bar(i); }); });
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
          },
  };
  return create_class(module, spec);
}

}  // namespace

PyTypeObject* feature_pipeline_class(PyObject* module) { return create(module); }

}  // namespace sarvek::py
