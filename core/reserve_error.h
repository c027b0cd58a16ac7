#pragma once

#include <cstddef>
#include <new>
#include <string>

namespace sarvek {

// Room for a feature's window could not be reserved. A std::bad_alloc, so
// callers that only know memory failures still catch it, but one that says
// what was asked for.
class ReserveError : public std::bad_alloc {
 public:
  ReserveError(std::size_t entries, std::size_t entry_bytes)
      : text_("cannot reserve room for a window of " + std::to_string(entries) + " values (" +
              bytes_text(entries, entry_bytes) + ")") {}
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  static std::string bytes_text(std::size_t entries, std::size_t entry_bytes) {
    if (entry_bytes != 0 && entries > static_cast<std::size_t>(-1) / entry_bytes)
      return "more bytes than the address space holds";
    return std::to_string(entries * entry_bytes) + " bytes";
  }
  std::string text_;
};

}  // namespace sarvek
