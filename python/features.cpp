// The feature classes: one row per class, one generic implementation.

#include "python/features.h"

#include <span>
#include <string>

#include "core/features/ema.h"
#include "core/features/kama.h"
#include "core/features/kurtosis.h"
#include "core/features/linear_slope.h"
#include "core/features/log_return.h"
#include "core/features/parkinson_volatility.h"
#include "core/features/rogers_satchell_volatility.h"
#include "core/features/simple_return.h"
#include "core/features/skewness.h"
#include "core/features/sma.h"
#include "core/text.h"
#include "python/guard.h"

namespace sarvek::py {
namespace {

// Constructor arguments after conversion.
struct FeatureConfig {
  Names inputs;
  std::size_t window = 0;
  Names outputs;
  std::size_t fast = 0;
  std::size_t slow = 0;
};

// An optional unsigned parameter after `outputs`, with its default.
struct ExtraParam {
  const char* name;
  std::size_t default_value;
  std::size_t FeatureConfig::*field;
};

using MakeFeature = Result<std::unique_ptr<ConfiguredFeature>> (*)(FeatureConfig&&);

using IsFeature = bool (*)(const Feature&);

struct FeatureRow {
  const char* name;
  const char* doc;
  const char* update_doc;
  MakeFeature make;
  IsFeature is;
  std::span<const ExtraParam> extra = {};
  std::size_t width = 1;  // values in every result of update
};

template <class F>
bool is(const Feature& f) {
  return dynamic_cast<const F*>(&f) != nullptr;
}

template <class F>
Result<std::unique_ptr<ConfiguredFeature>> make(FeatureConfig&& c) {
  auto made = F::create(std::move(c.inputs), c.window, std::move(c.outputs));
  if (!made) return std::unexpected(std::move(made.error()));
  return std::make_unique<F>(std::move(*made));
}

Result<std::unique_ptr<ConfiguredFeature>> make_kama(FeatureConfig&& c) {
  auto made = Kama::create(std::move(c.inputs), c.window, std::move(c.outputs), c.fast, c.slow);
  if (!made) return std::unexpected(std::move(made.error()));
  return std::make_unique<Kama>(std::move(*made));
}

constexpr ExtraParam kKamaParams[] = {
    {"fast", 2, &FeatureConfig::fast},
    {"slow", 30, &FeatureConfig::slow},
};

constexpr const char* kUpdateA = "Process one bar. Returns ``[NaN]`` during warm-up or on ``NaN`` input.";
constexpr const char* kUpdateB = "Process one bar. Returns ``[NaN]`` during warm-up or on invalid input.";
constexpr const char* kUpdateC = "Process one bar. Returns ``[slope, r2]``, ``NaN`` during warm-up.";

// Registration order.
const FeatureRow kRows[] = {
    {"Sma", "Simple Moving Average over a rolling window.", kUpdateA, make<Sma>, is<Sma>},
    {"Ema", "Exponential Moving Average with SMA seeding.", kUpdateA, make<Ema>, is<Ema>},
    {"Kama", "Kaufman's Adaptive Moving Average.", kUpdateA, make_kama, is<Kama>, kKamaParams},
    {"SimpleReturn", "Simple (arithmetic) return over a configurable lookback window.", kUpdateA,
     make<SimpleReturn>, is<SimpleReturn>},
    {"LogReturn", "Log return over a configurable lookback window.", kUpdateA, make<LogReturn>, is<LogReturn>},
    {"Skewness", "Rolling sample skewness (Fisher-Pearson corrected).", kUpdateA, make<Skewness>, is<Skewness>},
    {"Kurtosis", "Rolling excess kurtosis (Fisher).", kUpdateA, make<Kurtosis>, is<Kurtosis>},
    {"LinearSlope", "Rolling OLS regression: slope and R² of y on x over a sliding window.", kUpdateC,
     make<LinearSlope>, is<LinearSlope>, {}, 2},
    {"ParkinsonVolatility", "Rolling Parkinson volatility estimator (high/low).", kUpdateB,
     make<ParkinsonVolatility>, is<ParkinsonVolatility>},
    {"RogersSatchellVolatility", "Rolling Rogers-Satchell volatility estimator (OHLC).", kUpdateB,
     make<RogersSatchellVolatility>, is<RogersSatchellVolatility>},
};
constexpr std::size_t kRowCount = std::size(kRows);
static_assert(kRowCount == kFeatureCount);

struct FeaturePayload {
  AccessGuard guard;
  std::unique_ptr<ConfiguredFeature> feature;
};
using FeatureInstance = Instance<FeaturePayload>;

// The row of a feature class of this module; null when `type` is not one.
const FeatureRow* row_of(PyTypeObject* type) {
  const std::ptrdiff_t i = slot_of(type, kFeatureSlot, kFeatureCount);
  return i < 0 ? nullptr : &kRows[i];
}

PyObject* not_a_feature_class() {
  PyErr_SetString(PyExc_TypeError, "not a feature class");
  return nullptr;
}

PyObject* feature_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    const FeatureRow* row = row_of(type);
    if (!row) return not_a_feature_class();
    std::vector<const char*> params = {"inputs", "window", "outputs"};
    for (const ExtraParam& p : row->extra) params.push_back(p.name);
    std::vector<PyObject*> bound(params.size());
    if (!bind_tuple(row->name, params, 3, args, kwargs, bound.data())) return nullptr;

    FeatureConfig config;
    if (!to_names(bound[0], "inputs", config.inputs)) return nullptr;
    if (!to_size(bound[1], "window", config.window)) return nullptr;
    if (!to_names(bound[2], "outputs", config.outputs)) return nullptr;
    for (std::size_t i = 0; i < row->extra.size(); ++i) {
      const ExtraParam& p = row->extra[i];
      config.*p.field = p.default_value;
      if (PyObject* given = bound[3 + i]; given && !to_size(given, p.name, config.*p.field)) return nullptr;
    }
    auto feature = row->make(std::move(config));
    if (!feature) return raise_core_error(feature.error());
    return new_instance(type, FeaturePayload{{}, std::move(*feature)});
  });
}

PyObject* feature_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kParams[] = {"values"};
  PyObject* values;
  if (!bind_fastcall("update", kParams, 1, args, nargs, kwnames, &values)) return nullptr;
  const FeatureRow* row = row_of(Py_TYPE(self));
  if (!row) return not_a_feature_class();
  // The result is made before the feature takes the bar, so a failure to
  // allocate it leaves the feature as it was.
  PyObject* result = new_blank_float_list(row->width);
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
  return read_feature(self, [](const ConfiguredFeature& f) { return new_str_list(f.input_names()); });
}
PyObject* feature_output_names(PyObject* self, PyObject*) {
  return read_feature(self, [](const ConfiguredFeature& f) { return new_str_list(f.output_names()); });
}
PyObject* feature_warm_up_period(PyObject* self, PyObject*) {
  return read_feature(self, [](const ConfiguredFeature& f) { return new_size(f.warm_up_period()); });
}

PyObject* feature_repr(PyObject* self) {
  const FeatureRow* row = row_of(Py_TYPE(self));
  if (!row) return not_a_feature_class();
  const char* name = row->name;
  return read_feature(self, [&](const ConfiguredFeature& f) {
    std::string text = std::string(name) + "(inputs=";
    append_name_list(text, f.input_names());
    text += ", window=" + std::to_string(f.window()) + ", outputs=";
    append_name_list(text, f.output_names());
    text += ")";
    return new_str(text);
  });
}

std::string signature_of(const FeatureRow& row) {
  std::string sig = "(inputs, window, outputs";
  for (const ExtraParam& p : row.extra) sig += std::string(", ") + p.name + "=" + std::to_string(p.default_value);
  return sig + ")";
}

PyTypeObject* create_feature_class(PyObject* module, const FeatureRow& row) {
  ClassSpec spec{
      .name = row.name,
      .signature = signature_of(row),
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
  const FeatureRow* row = nullptr;
  for (const FeatureRow& r : kRows)
    if (r.is(f)) row = &r;
  const auto* configured = dynamic_cast<const ConfiguredFeature*>(&f);
  if (!row || !configured) {
    PyErr_SetString(PyExc_TypeError, "not a feature of this module");
    return nullptr;
  }
  return new_dict([&](PyObject* dict) {
    const bool ok = dict_set(dict, "type", PyUnicode_FromString(row->name)) &&
                    dict_set(dict, "inputs", new_str_list(f.input_names())) &&
                    dict_set(dict, "window", new_size(configured->window())) &&
                    dict_set(dict, "outputs", new_str_list(f.output_names()));
    const auto* kama = dynamic_cast<const Kama*>(&f);
    return ok && (!kama || (dict_set(dict, "fast", new_size(kama->fast())) &&
                            dict_set(dict, "slow", new_size(kama->slow()))));
  });
}

bool feature_classes(PyObject* module, ModuleState& state) {
  for (std::size_t i = 0; i < kRowCount; ++i)
    if (!(state.types[kFeatureSlot + i] = create_feature_class(module, kRows[i]))) return false;
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
