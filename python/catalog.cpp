#include "python/catalog.h"

#include <initializer_list>
#include <utility>

#include "core/text.h"
#include "python/classdef.h"
#include "python/convert.h"

namespace sarvek::py {
namespace {

const char* kind_name(ParamKind kind) {
  switch (kind) {
    case ParamKind::names: return "names";
    case ParamKind::name: return "name";
    case ParamKind::count: return "count";
    case ParamKind::real: return "real";
  }
  return "";
}

PyObject* new_optional_size(const std::optional<std::size_t>& n) { return n ? new_size(*n) : Py_NewRef(Py_None); }

PyObject* new_default(const ParamDescription& p) {
  if (p.default_real) return PyFloat_FromDouble(*p.default_real);
  return new_optional_size(p.default_count);
}

// The accepted range of a real parameter, [low, high]; None for the others.
PyObject* new_range(const ParamDescription& p) {
  if (p.kind != ParamKind::real) return Py_NewRef(Py_None);
  return Py_BuildValue("(dd)", p.real_minimum, p.real_maximum);
}

PyObject* new_argument(const Argument& a) {
  if (const auto* names = std::get_if<Names>(&a)) return new_str_list(*names);
  if (const auto* name = std::get_if<std::string>(&a)) return new_str(*name);
  if (const auto* real = std::get_if<double>(&a)) return PyFloat_FromDouble(*real);
  return new_size(std::get<std::size_t>(a));
}

// A new list of `count` items made by `item(i)` (new references or null).
template <class Item>
PyObject* new_list(std::size_t count, Item&& item) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
  for (std::size_t i = 0; list && i < count; ++i) {
    PyObject* x = item(i);
    if (!x) Py_CLEAR(list);
    else PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), x);
  }
  return list;
}

// A new dict of the given entries, whose values (new references, null for
// a failure already raised) are consumed whatever happens.
PyObject* new_dict_of(std::initializer_list<std::pair<const char*, PyObject*>> entries) {
  PyObject* d = PyDict_New();
  bool ok = d != nullptr;
  for (const auto& [key, value] : entries) {
    ok = ok && value && PyDict_SetItemString(d, key, value) == 0;
    Py_XDECREF(value);
  }
  if (!ok) Py_CLEAR(d);
  return d;
}

PyObject* new_index_list(const std::vector<std::size_t>& v) {
  return new_list(v.size(), [&](std::size_t i) { return new_size(v[i]); });
}

PyObject* new_params(const std::vector<ParamDescription>& params) {
  return new_list(params.size(), [&](std::size_t i) {
    const ParamDescription& p = params[i];
    return new_dict([&](PyObject* d) {
      return dict_set(d, "name", PyUnicode_FromString(p.name)) &&
             dict_set(d, "type", PyUnicode_FromString(kind_name(p.kind))) &&
             dict_set(d, "default", new_default(p)) &&
             dict_set(d, "constraint", PyUnicode_FromString(p.constraint)) &&
             dict_set(d, "minimum", new_size(p.minimum)) && dict_set(d, "range", new_range(p));
    });
  });
}

bool describe_common(PyObject* d, PyObject* cls, const char* name, Visibility visibility, const char* kind,
                     const char* doc, const std::vector<ParamDescription>& params, std::size_t reads,
                     std::size_t produces) {
  return dict_set(d, "name", PyUnicode_FromString(name)) && dict_set(d, "kind", PyUnicode_FromString(kind)) &&
         dict_set(d, "public", PyBool_FromLong(visibility == Visibility::module)) &&
         dict_set(d, "class", cls ? Py_NewRef(cls) : Py_NewRef(Py_None)) &&
         dict_set(d, "doc", PyUnicode_FromString(doc)) && dict_set(d, "params", new_params(params)) &&
         dict_set(d, "reads", new_size(reads)) && dict_set(d, "produces", new_size(produces));
}

PyObject* catalog(PyObject* module, PyObject*) {
  return boundary([&]() -> PyObject* {
    const auto* state = static_cast<const ModuleState*>(PyModule_GetState(module));
    if (!state) return nullptr;
    const auto features = feature_catalog();
    const auto targets = target_catalog();
    return new_list(features.size() + targets.size(), [&](std::size_t i) {
      PyObject* cls = reinterpret_cast<PyObject*>(i < features.size() ? state->types[kFeatureSlot + i]
                                                                      : state->types[kTargetSlot + i - features.size()]);
      return new_dict([&](PyObject* d) {
        if (i < features.size()) {
          const FeatureDescription& f = *features[i];
          return describe_common(d, cls, f.name, f.visibility, "feature", f.doc, f.params, f.reads, f.produces) &&
                 dict_set(d, "memory", PyUnicode_FromString(f.memory ? "finite" : "unbounded"));
        }
        const TargetDescription& t = *targets[i - features.size()];
        return describe_common(d, cls, t.name, t.visibility, "target", t.doc, t.params, t.reads, t.produces);
      });
    });
  });
}

PyMethodDef kFunctions[] = {
    {"_catalog", catalog, METH_NOARGS,
     "_catalog()\n--\n\n"
     "Every feature and target class as plain data, in registration order: a dict per class with its "
     "name, kind (\"feature\" or \"target\"), public (True for the classes of __all__, False for those "
     "the package exports, found in _classes), class (the class itself), doc, params (name, type: "
     "\"names\", \"name\", \"count\" or \"real\", default or None, constraint, minimum, range: "
     "(low, high) for a real, else None), reads (values read: the first `reads` input names), produces "
     "(values computed) and, for features, memory (\"finite\" or \"unbounded\")."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

std::vector<const char*> param_names(const std::vector<ParamDescription>& params) {
  std::vector<const char*> names;
  for (const ParamDescription& p : params) names.push_back(p.name);
  return names;
}

std::size_t required_params(const std::vector<ParamDescription>& params) {
  std::size_t n = 0;
  while (n < params.size() && !params[n].has_default()) ++n;
  return n;
}

std::string text_signature(const std::vector<ParamDescription>& params) {
  std::string sig = "(";
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (i) sig += ", ";
    sig += params[i].name;
    if (params[i].default_count) sig += "=" + std::to_string(*params[i].default_count);
    if (params[i].default_real) sig += "=" + real_text(*params[i].default_real);
  }
  return sig + ")";
}

bool to_arguments(const std::vector<ParamDescription>& params, PyObject* const* bound, Arguments& out) {
  out.clear();
  out.reserve(params.size());
  for (std::size_t i = 0; i < params.size(); ++i) {
    const ParamDescription& p = params[i];
    PyObject* given = bound[i];
    switch (p.kind) {
      case ParamKind::names: {
        Names names;
        if (!to_names(given, p.name, names)) return false;
        out.emplace_back(std::move(names));
        break;
      }
      case ParamKind::name: {
        std::string name;
        if (!to_string(given, p.name, name)) return false;
        out.emplace_back(std::move(name));
        break;
      }
      case ParamKind::count: {
        std::size_t n = p.default_count.value_or(0);
        if (given && !to_size(given, p.name, n)) return false;
        out.emplace_back(n);
        break;
      }
      case ParamKind::real: {
        double x = p.default_real.value_or(0.0);
        if (given && !to_real(given, p.name, x)) return false;
        out.emplace_back(x);
        break;
      }
    }
  }
  return true;
}

std::string arguments_repr(const char* name, Visibility visibility, const std::vector<ParamDescription>& params,
                           const Arguments& args) {
  std::string text = std::string(name) + "(";
  const std::size_t required = required_params(params);
  bool first = true;
  for (std::size_t i = 0; i < params.size(); ++i) {
    const ParamDescription& p = params[i];
    if (i >= required) {
      if (visibility == Visibility::module) break;
      const auto* count = std::get_if<std::size_t>(&args[i]);
      const auto* real = std::get_if<double>(&args[i]);
      if ((count && p.default_count == *count) || (real && p.default_real == *real)) continue;
    }
    if (!first) text += ", ";
    first = false;
    text += p.name;
    text += "=";
    if (const auto* names = std::get_if<Names>(&args[i])) append_name_list(text, *names);
    else if (const auto* one = std::get_if<std::string>(&args[i])) append_quoted(text, *one);
    else if (const auto* r = std::get_if<double>(&args[i])) text += real_text(*r);
    else text += std::to_string(std::get<std::size_t>(args[i]));
  }
  return text + ")";
}

PyObject* arguments_dict(const char* name, const std::vector<ParamDescription>& params, const Arguments& args) {
  return new_dict([&](PyObject* d) {
    if (!dict_set(d, "type", PyUnicode_FromString(name))) return false;
    for (std::size_t i = 0; i < params.size(); ++i)
      if (!dict_set(d, params[i].name, new_argument(args[i]))) return false;
    return true;
  });
}

PyMethodDef* catalog_functions() { return kFunctions; }

PyObject* new_plan_dict(const FeaturePlan& plan) {
  PyObject* features = new_list(plan.features.size(), [&](std::size_t i) {
    const FeaturePlan::Step& s = plan.features[i];
    return new_dict([&](PyObject* d) {
      return dict_set(d, "type", s.type ? PyUnicode_FromString(s.type->name) : Py_NewRef(Py_None)) &&
             dict_set(d, "repr", s.type ? new_str(arguments_repr(*s.type, s.arguments))
                                        : Py_NewRef(Py_None)) &&
             dict_set(d, "stage", new_size(s.stage)) && dict_set(d, "reads", new_str_list(s.reads)) &&
             dict_set(d, "warm_up", new_size(s.warm_up)) && dict_set(d, "memory", new_optional_size(s.memory)) &&
             dict_set(d, "chain_memory", new_optional_size(s.chain_memory)) &&
             dict_set(d, "first_valid", new_optional_size(s.first_valid));
    });
  });
  PyObject* columns = new_dict([&](PyObject* d) {
    for (const FeaturePlan::ColumnUse& c : plan.columns) {
      PyObject* use = new_dict([&](PyObject* u) {
        PyObject* producer = c.producer ? Py_BuildValue("(nn)", static_cast<Py_ssize_t>(c.producer->feature),
                                                        static_cast<Py_ssize_t>(c.producer->index))
                                        : Py_NewRef(Py_None);
        return dict_set(u, "input_column", PyBool_FromLong(c.input_column)) && dict_set(u, "producer", producer) &&
               dict_set(u, "readers", new_index_list(c.readers));
      });
      PyObject* key = use ? new_str(c.name) : nullptr;
      const bool ok = key && PyDict_SetItem(d, key, use) == 0;
      Py_XDECREF(key);
      Py_XDECREF(use);
      if (!ok) return false;
    }
    return true;
  });
  PyObject* stages = new_list(plan.stages.size(), [&](std::size_t i) { return new_index_list(plan.stages[i]); });
  PyObject* first = new_list(plan.first_valid.size(), [&](std::size_t i) {
    return new_optional_size(plan.first_valid[i]);
  });
  return new_dict_of({{"stages", stages}, {"features", features}, {"columns", columns}, {"first_valid", first},
                      {"history", new_optional_size(plan.history)}});
}

PyObject* new_plan_dict(const TargetPlan& plan) {
  PyObject* targets = new_list(plan.targets.size(), [&](std::size_t i) {
    const TargetPlan::Step& s = plan.targets[i];
    return new_dict([&](PyObject* t) {
      return dict_set(t, "type", s.type ? PyUnicode_FromString(s.type->name) : Py_NewRef(Py_None)) &&
             dict_set(t, "repr", s.type ? new_str(arguments_repr(*s.type, s.arguments))
                                        : Py_NewRef(Py_None)) &&
             dict_set(t, "outputs", new_str_list(s.outputs)) && dict_set(t, "horizon", new_size(s.horizon));
    });
  });
  return new_dict_of({{"targets", targets}, {"future", new_size(plan.future)}});
}

}  // namespace sarvek::py
