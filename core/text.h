#pragma once

#include <string>
#include <string_view>

#include "core/value.h"

namespace sarvek {

// Appends `name` inside double quotes, escaped so that the text is one
// readable line: backslash and double quote get a backslash, tab, line
// feed, carriage return and NUL become \t \n \r \0, and any other
// non-printable character or combining mark becomes \u{hex}. Printable
// characters, non-ASCII ones included, stay as they are. A byte that is not
// part of valid UTF-8 is written as \x{hh}.
void append_quoted(std::string& out, std::string_view name);

// ["a", "b"]: the quoted names, comma and space between, in brackets.
void append_name_list(std::string& out, const Names& names);
std::string render_name_list(const Names& names);

// True when the code point must be written as \u{...}: not printable in the
// sense of Python's str.isprintable(), or a combining mark (Mn, Mc, Me).
bool needs_code_point_escape(char32_t cp);

}  // namespace sarvek
