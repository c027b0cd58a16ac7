// The target classes: one per type of the catalogue, one generic
// implementation reading the type's description. Pipelines build their own
// targets from an instance's arguments.

#include "python/targets.h"

#include <string>

#include "core/catalog.h"
#include "python/catalog.h"
#include "python/guard.h"

namespace sarvek::py {
namespace {

// The classes, in registration order, are the catalogue's target types.
const TargetDescription& row(std::size_t i) { return *target_catalog()[i]; }
static_assert(kTargetTypeCount == kTargetCount);

// A validated target, kept whole: targets hold no state, and pipelines
// build their own copies from its arguments.
struct TargetPayload {
  AccessGuard guard;  // only ever held shared: no method writes
  std::unique_ptr<Target> target;
};
using TargetInstance = Instance<TargetPayload>;

// The row of a target class of this module; null when `type` is not one.
const TargetDescription* row_of(PyTypeObject* type) {
  const std::ptrdiff_t i = slot_of(type, kTargetSlot, kTargetCount);
  return i < 0 ? nullptr : &row(static_cast<std::size_t>(i));
}

PyObject* not_a_target_class() {
  PyErr_SetString(PyExc_TypeError, "not a target class");
  return nullptr;
}

PyObject* target_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    const TargetDescription* row = row_of(type);
    if (!row) return not_a_target_class();
    const std::vector<const char*> params = param_names(row->params);
    std::vector<PyObject*> bound(params.size());
    if (!bind_tuple(row->name, params, required_params(row->params), args, kwargs, bound.data())) return nullptr;
    Arguments arguments;
    if (!to_arguments(row->params, bound.data(), arguments)) return nullptr;
    auto target = row->make(std::move(arguments));
    if (!target) return raise_core_error(target.error());
    return new_instance(type, TargetPayload{{}, std::move(*target)});
  });
}

template <class Read>
PyObject* read_target(PyObject* self, Read&& read) {
  return reading<TargetPayload>(self, [&](TargetPayload& p) { return read(*p.target); });
}

PyObject* target_input_names(PyObject* self, PyObject*) {
  return read_target(self, [](const Target& t) { return new_str_list(t.input_names()); });
}
PyObject* target_output_names(PyObject* self, PyObject*) {
  return read_target(self, [](const Target& t) { return new_str_list(t.output_names()); });
}
PyObject* target_forward_period(PyObject* self, PyObject*) {
  return read_target(self, [](const Target& t) { return new_size(t.forward_period()); });
}

PyObject* target_repr(PyObject* self) {
  const TargetDescription* row = row_of(Py_TYPE(self));
  if (!row) return not_a_target_class();
  return read_target(self, [&](const Target& t) {
    return new_str(arguments_repr(*row, row->arguments_of(t)));
  });
}

PyTypeObject* create_target_class(PyObject* module, const TargetDescription& row) {
  ClassSpec spec{
      .name = row.name,
      .signature = text_signature(row.params),
      .doc = row.doc,
      .basicsize = static_cast<int>(sizeof(TargetInstance)),
      .tp_new = target_new,
      .tp_dealloc = dealloc_instance<TargetPayload>,
      .tp_repr = target_repr,
      .methods =
          {
              {"input_names", as_method(target_input_names), METH_NOARGS, "($self)", "Input column names."},
              {"output_names", as_method(target_output_names), METH_NOARGS, "($self)", row.output_names_doc},
              {"forward_period", as_method(target_forward_period), METH_NOARGS, "($self)",
               "Number of bars at the end that will be ``NaN``."},
          },
  };
  return create_class(module, spec);
}

}  // namespace

PyObject* target_config_dict(const Target& t) {
  const TargetDescription* type = description_of(t);
  if (!type) {
    PyErr_SetString(PyExc_TypeError, "not a target of this module");
    return nullptr;
  }
  return arguments_dict(type->name, type->params, type->arguments_of(t));
}

bool target_classes(PyObject* module, ModuleState& state) {
  for (std::size_t i = 0; i < kTargetCount; ++i)
    if (!(state.types[kTargetSlot + i] = create_target_class(module, row(i)))) return false;
  return true;
}

std::unique_ptr<Target> fresh_target(PyObject* obj) {
  const TargetDescription* row = row_of(Py_TYPE(obj));  // the classes are final: the exact type decides
  if (!row) return nullptr;
  TargetPayload* p = built_payload<TargetPayload>(obj);
  if (!p) return nullptr;
  SharedHold hold(p->guard);
  if (!hold) return nullptr;
  auto target = row->make(row->arguments_of(*p->target));
  if (!target) {
    raise_core_error(target.error());
    return nullptr;
  }
  return std::move(*target);
}

}  // namespace sarvek::py
