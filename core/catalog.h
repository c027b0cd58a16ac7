#pragma once

// The catalogue: one description per feature and target type, written once
// beside the type's formula. Everything that must know a type's surface
// (the Python classes and their stubs, pipeline documents, chunking, the
// dependency plan of a pipeline) reads it from here.

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/error.h"
#include "core/feature.h"
#include "core/target.h"
#include "core/value.h"

namespace sarvek {

// How a constructor parameter is given: a list of column names, one column
// name, a count (a non-negative integer) or a real number (a finite float).
enum class ParamKind { names, name, count, real };

// Where a class is public: the fixed classes of the compiled module
// (`_sarvek`, its __all__), or the Python package only (`sarvek.<name>`,
// reached in the module through its private `_classes` namespace).
enum class Visibility { module, package };

struct ParamDescription {
  const char* name;
  ParamKind kind;
  // The value taken when the parameter is left out; parameters without one
  // are required and come first.
  std::optional<std::size_t> default_count = std::nullopt;
  // What a value must satisfy, in the words of the refusal ("must be
  // non-zero", "must be >= 2"); empty when any value is accepted.
  const char* constraint = "";
  // The least count (names: the least number of names) accepted; a value
  // below it is refused with "<name> <constraint>"-like text.
  std::size_t minimum = 0;
  // A real parameter: its default, and the closed range of accepted values
  // (a NaN or infinite value is always refused).
  std::optional<double> default_real = std::nullopt;
  double real_minimum = 0.0;
  double real_maximum = 0.0;

  bool has_default() const { return default_count.has_value() || default_real.has_value(); }
};

// One argument per parameter, in parameter order.
using Argument = std::variant<Names, std::string, std::size_t, double>;
using Arguments = std::vector<Argument>;

inline std::size_t count_argument(const Arguments& a, std::size_t i) { return std::get<std::size_t>(a[i]); }
inline const Names& names_argument(const Arguments& a, std::size_t i) { return std::get<Names>(a[i]); }
inline const std::string& name_argument(const Arguments& a, std::size_t i) { return std::get<std::string>(a[i]); }
inline double real_argument(const Arguments& a, std::size_t i) { return std::get<double>(a[i]); }

struct FeatureDescription {
  const char* name;  // the class name
  Visibility visibility = Visibility::package;
  const char* doc;   // one line
  const char* update_doc;
  std::vector<ParamDescription> params;
  std::size_t reads;     // values read: the first `reads` input names
  std::size_t produces;  // values computed on every bar; further output names are always missing
  // The bars of history, before a bar, that a fresh copy must see to give
  // exactly that bar's outputs; null for a recursion, whose output depends
  // on every bar since the start.
  std::size_t (*memory)(const Arguments&) = nullptr;
  // The first bar at which an output can be valid when every value read can
  // be valid from bar `start` on; null: start + warm-up.
  std::size_t (*first_valid)(const Arguments&, std::size_t start, std::size_t warm_up) = nullptr;
  // For a type whose outputs start at different bars: the first bar at
  // which output `k` can be valid, given the feature's first valid bar (that
  // of its earliest output); null: every output from that bar.
  std::size_t (*output_first_valid)(const Arguments&, std::size_t k, std::size_t first_valid) = nullptr;
  // A new feature from arguments (refused with the type's own message), and
  // the arguments of a feature of this type.
  Result<std::unique_ptr<Feature>> (*make)(Arguments);
  bool (*is)(const Feature&);
  Arguments (*arguments_of)(const Feature&);

  std::size_t first_valid_bar(const Arguments& a, std::size_t start, std::size_t warm_up) const {
    return first_valid ? first_valid(a, start, warm_up) : start + warm_up;
  }
  std::size_t output_first_valid_bar(const Arguments& a, std::size_t k, std::size_t feature_first_valid) const {
    return output_first_valid ? output_first_valid(a, k, feature_first_valid) : feature_first_valid;
  }
};

struct TargetDescription {
  const char* name;
  Visibility visibility = Visibility::package;
  const char* doc;
  const char* output_names_doc;
  std::vector<ParamDescription> params;
  std::size_t reads;
  std::size_t produces;
  // The bars after a bar that its label reads.
  std::size_t (*horizon)(const Arguments&);
  Result<std::unique_ptr<Target>> (*make)(Arguments);
  bool (*is)(const Target&);
  Arguments (*arguments_of)(const Target&);
};

// The number of feature and target types; the catalogue checks its lists
// against them. The module's fixed classes (Visibility::module) come
// first, in the order of its __all__; the package's classes follow.
inline constexpr std::size_t kFeatureTypeCount = 30;
inline constexpr std::size_t kTargetTypeCount = 6;
inline constexpr std::size_t kModuleFeatureCount = 10;
inline constexpr std::size_t kModuleTargetCount = 3;

// Every type, in registration order.
std::span<const FeatureDescription* const> feature_catalog();
std::span<const TargetDescription* const> target_catalog();

// The description of a feature's (target's) type; null for a type outside
// the catalogue.
const FeatureDescription* description_of(const Feature& f);
const TargetDescription* description_of(const Target& t);

// ------------------------------------------------ building descriptions

template <class T, class Base>
bool is_a(const Base& x) {
  return dynamic_cast<const T*>(&x) != nullptr;
}

template <class T, class Base>
Result<std::unique_ptr<Base>> owned(Result<T>&& made) {
  if (!made) return std::unexpected(std::move(made.error()));
  return std::make_unique<T>(std::move(*made));
}

inline ParamDescription names_param(const char* name, const char* constraint, std::size_t minimum) {
  return {name, ParamKind::names, std::nullopt, constraint, minimum};
}
inline ParamDescription count_param(const char* name, const char* constraint, std::size_t minimum,
                                    std::optional<std::size_t> default_count = std::nullopt) {
  return {name, ParamKind::count, default_count, constraint, minimum};
}
// A real parameter accepted in [low, high], with its default.
inline ParamDescription real_param(const char* name, const char* constraint, double low, double high,
                                   double default_real) {
  return {name, ParamKind::real, std::nullopt, constraint, 0, default_real, low, high};
}

// The check every real parameter gets, in the constructors' words: a NaN
// or infinity is refused as "<name> must be finite", a value outside
// [low, high] with "<name> <constraint>".
Result<void> check_real(const char* name, double value, double low, double high, const char* constraint);

// make and arguments_of for a type built as F::create(inputs, length, outputs).
template <class F>
Result<std::unique_ptr<Feature>> make_windowed(Arguments a) {
  return owned<F, Feature>(F::create(std::get<Names>(std::move(a[0])), count_argument(a, 1),
                                     std::get<Names>(std::move(a[2]))));
}
template <class F>
Arguments windowed_arguments(const Feature& f) {
  const auto& c = static_cast<const F&>(f);
  return {c.input_names(), c.window(), c.output_names()};
}

// make and arguments_of for a target built as T::create(inputs, horizon, outputs).
template <class T>
Result<std::unique_ptr<Target>> make_horizon(Arguments a) {
  return owned<T, Target>(T::create(std::get<Names>(std::move(a[0])), count_argument(a, 1),
                                    std::get<Names>(std::move(a[2]))));
}
template <class T>
Arguments horizon_arguments(const Target& t) {
  const auto& c = static_cast<const T&>(t);
  return {c.input_names(), c.horizon(), c.output_names()};
}

// A real number as Python writes it (repr): "2.0", "0.015", "1e-05", "inf".
std::string real_text(double x);

// Memory rules shared by the windowed types.
std::size_t memory_window_minus_one(const Arguments& a);  // a window of `window` bars
std::size_t memory_window(const Arguments& a);            // the bar `window` bars back

}  // namespace sarvek
