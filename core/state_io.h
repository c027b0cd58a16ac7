#pragma once

// One visit of a feature's state serving both saving and loading: a
// feature lists its members once (`io(current_); io(buffer_);`), and the
// same list writes them to bytes or reads them back. Reading checks the
// length before every read, so it never reads past the end; the first
// problem marks the visit failed, every later read then yields zeros and
// changes nothing the caller keeps (loading goes into fresh copies that are
// swapped in only when the whole visit succeeded).

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "core/value.h"
#include "core/window.h"

namespace sarvek {

class StateIO {
 public:
  // Hands one object's state to another through its bytes: `save(io)` on
  // a writer, then `load(io)` on a reader of what it wrote. The error of
  // the first failure (also bytes left over), empty when it went through.
  template <class Save, class Load>
  static std::string transfer(Save&& save, Load&& load) {
    std::string bytes;
    StateIO out = writer(bytes);
    save(out);
    if (out.failed()) return out.error();
    StateIO in = reader({reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()});
    load(in);
    if (in.failed()) return in.error();
    if (in.remaining() != 0) return std::to_string(in.remaining()) + " bytes left over";
    return {};
  }

  // Appends to `out`.
  static StateIO writer(std::string& out) { return StateIO(&out, {}); }
  // Reads from `in`, front to back.
  static StateIO reader(std::span<const unsigned char> in) { return StateIO(nullptr, in); }

  bool loading() const { return out_ == nullptr; }
  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }
  // Bytes not read yet.
  std::size_t remaining() const { return in_.size() - at_; }

  // The first failure is kept; later ones add nothing.
  void fail(std::string why) {
    if (error_.empty()) error_ = std::move(why);
  }

  void operator()(std::uint64_t& x) { raw(&x, sizeof x); }
  void operator()(double& x) { raw(&x, sizeof x); }
  void operator()(bool& b) {
    std::uint8_t v = b;
    flag(v);
    b = v != 0;
  }
  void operator()(Value& v) {
    bool present = v.has_value();
    double x = present ? *v : 0.0;
    (*this)(present);
    (*this)(x);
    if (loading()) v = present ? Value(x) : kMissing;
  }
  // A window: its entries oldest first (count, then each number column,
  // then the flags). A missing entry's numbers are written as 0.0, as a
  // missing Value's is: what a window holds there is never read, and may
  // differ with the path that filled it (a bar at a time or a column run),
  // so the same history always saves the same bytes. Loading refuses more
  // entries than the window holds.
  template <std::size_t N>
  void operator()(Window<N>& w) {
    std::uint64_t count = w.size();
    (*this)(count);
    if (failed()) return;
    if (!loading()) {
      const std::uint8_t* present = w.valid();
      for (std::size_t k = 0; k < N; ++k) {
        const double* v = w.values(k);
        for (std::size_t i = 0; i < count; ++i) {
          const double x = present[i] ? v[i] : 0.0;
          out_->append(reinterpret_cast<const char*>(&x), sizeof x);
        }
      }
      out_->append(reinterpret_cast<const char*>(present), count);
      return;
    }
    if (count > w.capacity()) return fail("a window holds " + std::to_string(count) + " entries, more than its " +
                                          std::to_string(w.capacity()));
    if (count * (N * sizeof(double) + 1) > remaining()) return fail(kTruncated);
    std::array<std::vector<double>, N> values;
    const double* src[N];
    for (std::size_t k = 0; k < N; ++k) {
      values[k].resize(count);
      raw(values[k].data(), count * sizeof(double));
      src[k] = values[k].data();
    }
    std::vector<std::uint8_t> flags(count);
    for (std::uint8_t& f : flags) flag(f);
    if (failed()) return;
    w.assign(count, src, flags.data());
  }
  // A byte string, for names and tags.
  void operator()(std::string& s) {
    std::uint64_t n = s.size();
    (*this)(n);
    if (!loading()) {
      out_->append(s);
      return;
    }
    if (failed()) return;
    if (n > remaining()) return fail(kTruncated);
    s.assign(reinterpret_cast<const char*>(in_.data() + at_), n);
    at_ += n;
  }

  // What a type that lists no state reports: it cannot be saved.
  void unsupported(const std::string& type) {
    fail("a " + type + " cannot be saved or restored: its type does not list its state");
  }

  static constexpr const char* kTruncated = "the state ends early (truncated)";

 private:
  StateIO(std::string* out, std::span<const unsigned char> in) : out_(out), in_(in) {}

  void raw(void* p, std::size_t n) {
    if (n == 0) return;  // p may be null (an empty window)
    if (!loading()) {
      out_->append(static_cast<const char*>(p), n);
      return;
    }
    if (failed() || n > remaining()) {
      fail(kTruncated);
      std::memset(p, 0, n);
      return;
    }
    std::memcpy(p, in_.data() + at_, n);
    at_ += n;
  }
  // A present/missing flag: exactly 0 or 1.
  void flag(std::uint8_t& v) {
    raw(&v, 1);
    if (loading() && v > 1) {
      fail("a present/missing flag holds " + std::to_string(v) + " (corrupted)");
      v = 0;
    }
  }

  std::string* out_;
  std::span<const unsigned char> in_;
  std::size_t at_ = 0;
  std::string error_;
};

}  // namespace sarvek
