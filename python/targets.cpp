// The target classes: validated target configurations, one row per class.
// An instance holds no core target; pipelines build their own from the
// stored configuration.

#include "python/targets.h"

#include <string>

#include "core/targets/future_ctc_volatility.h"
#include "core/targets/future_linear_slope.h"
#include "core/targets/future_return.h"
#include "core/text.h"
#include "python/guard.h"

namespace sarvek::py {
namespace {

// Constructor arguments after conversion. A class that takes one `input`
// keeps it as the only entry of `inputs`, and the output name it derives as
// the only entry of `outputs`.
struct TargetConfig {
  Names inputs;
  Names outputs;
  std::size_t horizon = 0;
};

using MakeTarget = Result<std::unique_ptr<Target>> (*)(const TargetConfig&);

struct TargetRow {
  const char* name;
  const char* signature;
  const char* doc;
  const char* output_names_doc;
  bool single_input;  // (input, horizon) rather than (inputs, horizon, outputs)
  MakeTarget make;
};

template <class T>
Result<std::unique_ptr<Target>> wrap(Result<T>&& made) {
  if (!made) return std::unexpected(std::move(made.error()));
  return std::make_unique<T>(std::move(*made));
}

// Builds from copies, so the stored configuration stays as it is.
template <class T>
Result<std::unique_ptr<Target>> make(const TargetConfig& c) {
  return wrap(T::create(c.inputs, c.horizon, c.outputs));
}

template <>
Result<std::unique_ptr<Target>> make<FutureCTCVolatility>(const TargetConfig& c) {
  return wrap(FutureCTCVolatility::create(c.inputs.front(), c.horizon));
}

// Registration order, which is also the order in which a pipeline tests
// the classes of the objects it is given.
const TargetRow kRows[] = {
    {"FutureReturn", "(inputs, horizon, outputs)", "Future simple return over ``horizon`` bars.",
     "Output column names.", false, make<FutureReturn>},
    {"FutureCTCVolatility", "(input, horizon)", "Future close-to-close realized volatility.",
     "Output column names.", true, make<FutureCTCVolatility>},
    {"FutureLinearSlope", "(inputs, horizon, outputs)",
     "Future OLS slope and R² of y on x over the next ``horizon`` bars.", "Output column names (slope, r2).",
     false, make<FutureLinearSlope>},
};
constexpr std::size_t kRowCount = std::size(kRows);
static_assert(kRowCount == kTargetCount);

struct TargetPayload {
  AccessGuard guard;  // only ever held shared: no method writes
  TargetConfig config;
};
using TargetInstance = Instance<TargetPayload>;

// The row of a target class of this module; null when `type` is not one.
const TargetRow* row_of(PyTypeObject* type) {
  const std::ptrdiff_t i = slot_of(type, kTargetSlot, kTargetCount);
  return i < 0 ? nullptr : &kRows[i];
}

PyObject* not_a_target_class() {
  PyErr_SetString(PyExc_TypeError, "not a target class");
  return nullptr;
}

bool convert_arguments(const TargetRow& row, PyObject* args, PyObject* kwargs, TargetConfig& config) {
  if (row.single_input) {
    static const char* const kParams[] = {"input", "horizon"};
    PyObject* bound[2];
    if (!bind_tuple(row.name, kParams, 2, args, kwargs, bound)) return false;
    std::string input;
    if (!to_string(bound[0], "input", input)) return false;
    if (!to_size(bound[1], "horizon", config.horizon)) return false;
    config.inputs.push_back(std::move(input));
    return true;
  }
  static const char* const kParams[] = {"inputs", "horizon", "outputs"};
  PyObject* bound[3];
  if (!bind_tuple(row.name, kParams, 3, args, kwargs, bound)) return false;
  return to_names(bound[0], "inputs", config.inputs) && to_size(bound[1], "horizon", config.horizon) &&
         to_names(bound[2], "outputs", config.outputs);
}

PyObject* target_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    const TargetRow* row = row_of(type);
    if (!row) return not_a_target_class();
    TargetConfig config;
    if (!convert_arguments(*row, args, kwargs, config)) return nullptr;
    // Validation only: the core target is discarded once it has accepted
    // the configuration (and, for a derived name, named its output).
    auto target = row->make(config);
    if (!target) return raise_core_error(target.error());
    if (row->single_input) config.outputs = {(*target)->output_names().front()};
    return new_instance(type, TargetPayload{{}, std::move(config)});
  });
}

template <class Read>
PyObject* read_target(PyObject* self, Read&& read) {
  return reading<TargetPayload>(self, [&](TargetPayload& p) { return read(p.config); });
}

PyObject* target_input_names(PyObject* self, PyObject*) {
  return read_target(self, [](const TargetConfig& c) { return new_str_list(c.inputs); });
}
PyObject* target_output_names(PyObject* self, PyObject*) {
  return read_target(self, [](const TargetConfig& c) { return new_str_list(c.outputs); });
}
PyObject* target_forward_period(PyObject* self, PyObject*) {
  return read_target(self, [](const TargetConfig& c) { return new_size(c.horizon); });
}

PyObject* target_repr(PyObject* self) {
  const TargetRow* row = row_of(Py_TYPE(self));
  if (!row) return not_a_target_class();
  return read_target(self, [&](const TargetConfig& c) {
    std::string text = row->name;
    if (row->single_input) {
      text += "(input=";
      append_quoted(text, c.inputs.front());
      text += ", horizon=" + std::to_string(c.horizon) + ")";
    } else {
      text += "(inputs=";
      append_name_list(text, c.inputs);
      text += ", horizon=" + std::to_string(c.horizon) + ", outputs=";
      append_name_list(text, c.outputs);
      text += ")";
    }
    return new_str(text);
  });
}

PyTypeObject* create_target_class(PyObject* module, const TargetRow& row) {
  ClassSpec spec{
      .name = row.name,
      .signature = row.signature,
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
  const char* type = dynamic_cast<const FutureReturn*>(&t)          ? "FutureReturn"
                     : dynamic_cast<const FutureCTCVolatility*>(&t) ? "FutureCTCVolatility"
                     : dynamic_cast<const FutureLinearSlope*>(&t)   ? "FutureLinearSlope"
                                                                    : nullptr;
  if (!type) {
    PyErr_SetString(PyExc_TypeError, "not a target of this module");
    return nullptr;
  }
  return new_dict([&](PyObject* dict) {
    if (!dict_set(dict, "type", PyUnicode_FromString(type))) return false;
    if (const auto* ctc = dynamic_cast<const FutureCTCVolatility*>(&t))
      return dict_set(dict, "input", new_str(ctc->input())) && dict_set(dict, "horizon", new_size(ctc->horizon()));
    return dict_set(dict, "inputs", new_str_list(t.input_names())) &&
           dict_set(dict, "horizon", new_size(t.forward_period())) &&
           dict_set(dict, "outputs", new_str_list(t.output_names()));
  });
}

bool target_classes(PyObject* module, ModuleState& state) {
  for (std::size_t i = 0; i < kRowCount; ++i)
    if (!(state.types[kTargetSlot + i] = create_target_class(module, kRows[i]))) return false;
  return true;
}

std::unique_ptr<Target> fresh_target(PyObject* obj) {
  const TargetRow* row = row_of(Py_TYPE(obj));  // the classes are final: the exact type decides
  if (!row) return nullptr;
  TargetPayload* p = built_payload<TargetPayload>(obj);
  if (!p) return nullptr;
  SharedHold hold(p->guard);
  if (!hold) return nullptr;
  auto target = row->make(p->config);
  if (!target) {
    raise_core_error(target.error());
    return nullptr;
  }
  return std::move(*target);
}

}  // namespace sarvek::py
