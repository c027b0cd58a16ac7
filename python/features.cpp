// The feature classes: one per type of the catalogue, one generic
// implementation reading the type's description.

#include "python/features.h"

#include <span>
#include <string>

#include "core/catalog.h"
#include "python/catalog.h"
#include "python/guard.h"

namespace sarvek::py {
namespace {

// The classes, in registration order, are the catalogue's feature types.
const FeatureDescription& row(std::size_t i) { return *feature_catalog()[i]; }
static_assert(kFeatureTypeCount == kFeatureCount);

struct FeaturePayload {
  AccessGuard guard;
  std::unique_ptr<Feature> feature;
};
using FeatureInstance = Instance<FeaturePayload>;

// The row of a feature class of this module; null when `type` is not one.
const FeatureDescription* row_of(PyTypeObject* type) {
  const std::ptrdiff_t i = slot_of(type, kFeatureSlot, kFeatureCount);
  return i < 0 ? nullptr : &row(static_cast<std::size_t>(i));
}

PyObject* not_a_feature_class() {
  PyErr_SetString(PyExc_TypeError, "not a feature class");
  return nullptr;
}

PyObject* feature_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    const FeatureDescription* row = row_of(type);
    if (!row) return not_a_feature_class();
    const std::vector<const char*> params = param_names(row->params);
    std::vector<PyObject*> bound(params.size());
    if (!bind_tuple(row->name, params, required_params(row->params), args, kwargs, bound.data())) return nullptr;
    Arguments arguments;
    if (!to_arguments(row->params, bound.data(), arguments)) return nullptr;
    auto feature = row->make(std::move(arguments));
    if (!feature) return raise_core_error(feature.error());
    return new_instance(type, FeaturePayload{{}, std::move(*feature)});
  });
}

PyObject* feature_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kParams[] = {"values"};
  PyObject* values;
  if (!bind_fastcall("update", kParams, 1, args, nargs, kwnames, &values)) return nullptr;
  const FeatureDescription* row = row_of(Py_TYPE(self));
  if (!row) return not_a_feature_class();
  // The result is made before the feature takes the bar, so a failure to
  // allocate it leaves the feature as it was.
  PyObject* result = new_blank_float_list(row->produces);
  if (!result) return nullptr;
  PyObject* done = writing<FeaturePayload>(self, [&](FeaturePayload& p) -> PyObject* {
    SmallVector<Value, 8> bar;
    if (!to_values(values, "values", bar)) return nullptr;
    auto out = p.feature->update(std::span<const Value>(bar.data(), bar.size()));
    if (!out) return raise_core_error(out.error());
    return fill_float_list(result, *out);
  });
  Py_DECREF(result);
  return done;
}

PyObject* feature_reset(PyObject* self, PyObject*) {
  return writing<FeaturePayload>(self, [](FeaturePayload& p) {
    p.feature->reset();
    Py_RETURN_NONE;
  });
}

// Reading methods: one read of the feature under a shared hold.
template <class Read>
PyObject* read_feature(PyObject* self, Read&& read) {
  return reading<FeaturePayload>(self, [&](FeaturePayload& p) { return read(*p.feature); });
}

PyObject* feature_input_names(PyObject* self, PyObject*) {
  return read_feature(self, [](const Feature& f) { return new_str_list(f.input_names()); });
}
PyObject* feature_output_names(PyObject* self, PyObject*) {
  return read_feature(self, [](const Feature& f) { return new_str_list(f.output_names()); });
}
PyObject* feature_warm_up_period(PyObject* self, PyObject*) {
  return read_feature(self, [](const Feature& f) { return new_size(f.warm_up_period()); });
}

PyObject* feature_repr(PyObject* self) {
  const FeatureDescription* row = row_of(Py_TYPE(self));
  if (!row) return not_a_feature_class();
  return read_feature(self, [&](const Feature& f) {
    return new_str(arguments_repr(*row, row->arguments_of(f)));
  });
}

PyTypeObject* create_feature_class(PyObject* module, const FeatureDescription& row) {
  ClassSpec spec{
      .name = row.name,
      .signature = text_signature(row.params),
      .doc = row.doc,
      .basicsize = static_cast<int>(sizeof(FeatureInstance)),
      .tp_new = feature_new,
      .tp_dealloc = dealloc_instance<FeaturePayload>,
      .tp_repr = feature_repr,
      .methods =
          {
              {"update", as_method(feature_update), METH_FASTCALL | METH_KEYWORDS, "($self, values)",
               row.update_doc},
              {"reset", as_method(feature_reset), METH_NOARGS, "($self)",
               "Reset internal state (e.g. between CPCV splits)."},
              {"input_names", as_method(feature_input_names), METH_NOARGS, "($self)", "Input column names."},
              {"output_names", as_method(feature_output_names), METH_NOARGS, "($self)", "Output column names."},
              {"warm_up_period", as_method(feature_warm_up_period), METH_NOARGS, "($self)",
               "Number of bars before the first valid output."},
          },
  };
  return create_class(module, spec);
}

}  // namespace

PyObject* feature_config_dict(const Feature& f) {
  const FeatureDescription* type = description_of(f);
  if (!type) {
    PyErr_SetString(PyExc_TypeError, "not a feature of this module");
    return nullptr;
  }
  return arguments_dict(type->name, type->params, type->arguments_of(f));
}

bool feature_classes(PyObject* module, ModuleState& state) {
  for (std::size_t i = 0; i < kFeatureCount; ++i)
    if (!(state.types[kFeatureSlot + i] = create_feature_class(module, row(i)))) return false;
  return true;
}

std::unique_ptr<Feature> fresh_feature(PyObject* obj) {
  if (!row_of(Py_TYPE(obj))) return nullptr;
  FeaturePayload* p = built_payload<FeaturePayload>(obj);
  if (!p) return nullptr;
  SharedHold hold(p->guard);
  if (!hold) return nullptr;
  return p->feature->fresh();
}

}  // namespace sarvek::py
