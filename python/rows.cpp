#include "python/rows.h"

#include <cmath>

#include "python/convert.h"

namespace sarvek::py {

bool to_row_table(PyObject* data, const char* param, std::size_t width, RowTable& out) {
  out.width = width;
  SignalCounter signals;
  const bool ok = for_each_item(
      data, [&](Py_ssize_t n) { out.values.reserve(capacity_hint(n) * width); },
      [&](PyObject* row) {
        const std::size_t base = out.values.size();
        out.values.resize(base + width, std::nan(""));  // grows geometrically
        std::size_t length = 0;
        const bool row_ok = for_each_item(
            row, [](Py_ssize_t) {},
            [&](PyObject* item) {
              double d;
              if (!item_to_double(item, d)) return false;
              if (length < width) out.values[base + length] = d;
              ++length;
              return signals.tick();
            });
        if (!row_ok) return false;
        if (length < width && out.short_bar == RowTable::kNone) {
          out.short_bar = out.bars;
          out.short_length = length;
        }
        ++out.bars;
        return signals.tick();
      });
  if (!ok) prefix_type_error(param);
  return ok;
}

}  // namespace sarvek::py
