#include "core/error.h"

#include "core/text.h"

namespace sarvek {

std::string CoreError::message() const {
  struct Render {
    std::string operator()(const DuplicateOutputKey& e) const {
      return "Duplicate output key '" + e.key + "': produced by index " + std::to_string(e.idx_a) +
             " and " + std::to_string(e.idx_b);
    }
    std::string operator()(const CyclicDependency&) const { return "Cyclic dependency detected among features"; }
    std::string operator()(const MissingInputColumn& e) const {
      return "Missing input column(s): " + render_name_list(e.missing);
    }
    std::string operator()(const InvalidInput& e) const { return "Invalid input: " + e.msg; }
  };
  return std::visit(Render{}, kind_);
}

}  // namespace sarvek
