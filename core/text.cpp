#include "core/text.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace sarvek {
namespace {

struct Range {
  char32_t lo;
  char32_t hi;
};

constexpr Range kEscaped[] = {
#include "unicode_escape_table.inc"
};

constexpr char kHex[] = "0123456789abcdef";

void append_hex(std::string& out, std::uint32_t v) {
  char buf[8];
  int n = 0;
  do {
    buf[n++] = kHex[v & 0xF];
    v >>= 4;
  } while (v != 0);
  while (n > 0) out.push_back(buf[--n]);
}

// Decodes one UTF-8 sequence at s[i]; returns its length, or 0 when the
// bytes there are not valid UTF-8 (overlong forms and surrogates included).
std::size_t decode_utf8(std::string_view s, std::size_t i, char32_t& cp) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const unsigned char c = b(0);
  std::size_t len;
  char32_t min;
  if (c < 0x80) {
    cp = c;
    return 1;
  } else if ((c & 0xE0) == 0xC0) {
    len = 2, min = 0x80, cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3, min = 0x800, cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4, min = 0x10000, cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    if ((b(k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

}  // namespace

bool needs_code_point_escape(char32_t cp) {
  auto it = std::upper_bound(std::begin(kEscaped), std::end(kEscaped), cp,
                             [](char32_t v, const Range& r) { return v < r.lo; });
  return it != std::begin(kEscaped) && cp <= std::prev(it)->hi;
}

void append_quoted(std::string& out, std::string_view name) {
  out.push_back('"');
  std::size_t i = 0;
  while (i < name.size()) {
    char32_t cp;
    const std::size_t len = decode_utf8(name, i, cp);
    if (len == 0) {
      out += "\\x{";
      append_hex(out, static_cast<unsigned char>(name[i]));
      out.push_back('}');
      ++i;
      continue;
    }
    switch (cp) {
      case U'\\': out += "\\\\"; break;
      case U'"': out += "\\\""; break;
      case U'\t': out += "\\t"; break;
      case U'\n': out += "\\n"; break;
      case U'\r': out += "\\r"; break;
      case U'\0': out += "\\0"; break;
      default:
        if (needs_code_point_escape(cp)) {
          out += "\\u{";
          append_hex(out, cp);
          out.push_back('}');
        } else {
          out.append(name.substr(i, len));
        }
    }
    i += len;
  }
  out.push_back('"');
}

void append_name_list(std::string& out, const Names& names) {
  out.push_back('[');
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) out += ", ";
    append_quoted(out, names[i]);
  }
  out.push_back(']');
}

std::string render_name_list(const Names& names) {
  std::string out;
  append_name_list(out, names);
  return out;
}

}  // namespace sarvek
