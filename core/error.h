#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <variant>

#include "core/value.h"

namespace sarvek {

// The one error of the core. Fallible operations return it as a value
// (std::expected); only the Python layer turns it into an exception, with
// `message()` as the text.
class CoreError {
 public:
  struct DuplicateOutputKey {
    std::string key;
    std::size_t idx_a;
    std::size_t idx_b;
  };
  struct CyclicDependency {};
  struct MissingInputColumn {
    Names missing;
  };
  struct InvalidInput {
    std::string msg;
  };
  using Kind = std::variant<DuplicateOutputKey, CyclicDependency, MissingInputColumn, InvalidInput>;

  explicit CoreError(Kind kind) : kind_(std::move(kind)) {}

  static CoreError duplicate_output_key(std::string key, std::size_t a, std::size_t b) {
    return CoreError(Kind(DuplicateOutputKey{std::move(key), a, b}));
  }
  static CoreError cyclic_dependency() { return CoreError(Kind(CyclicDependency{})); }
  static CoreError missing_input_column(Names missing) {
    return CoreError(Kind(MissingInputColumn{std::move(missing)}));
  }
  static CoreError invalid_input(std::string msg) { return CoreError(Kind(InvalidInput{std::move(msg)})); }

  const Kind& kind() const { return kind_; }
  template <class K>
  bool is() const {
    return std::holds_alternative<K>(kind_);
  }
  template <class K>
  const K& as() const {
    return std::get<K>(kind_);
  }

  // The one-line display text that reaches users word for word.
  std::string message() const;

 private:
  Kind kind_;
};

template <class T>
using Result = std::expected<T, CoreError>;

inline std::unexpected<CoreError> invalid_input(std::string msg) {
  return std::unexpected(CoreError::invalid_input(std::move(msg)));
}

}  // namespace sarvek
