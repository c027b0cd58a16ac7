#pragma once

// A configurable stand-in feature for pipeline tests: any input and output
// names, any number of produced values, and a log of every bar it was
// handed, so tests can see exactly what a feature read.

#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "core/feature.h"

namespace sarvek::testing {

using Bar = std::vector<Value>;
using BarLog = std::vector<Bar>;

class Probe final : public Feature {
 public:
  struct Config {
    Names inputs;
    Names outputs;
    std::size_t produced = std::numeric_limits<std::size_t>::max();  // default: one per output name
    std::size_t warm_up = 0;
    std::size_t reads = 0;  // values_read()
  };

  explicit Probe(Config c) : config_(std::move(c)) {
    if (config_.produced == std::numeric_limits<std::size_t>::max()) config_.produced = config_.outputs.size();
  }

  static std::unique_ptr<Probe> make(Names inputs, Names outputs) {
    return std::make_unique<Probe>(Config{std::move(inputs), std::move(outputs)});
  }

  // Bars this probe was handed since it was built, including across reset.
  std::shared_ptr<BarLog> log() const { return log_; }
  std::shared_ptr<std::size_t> resets() const { return resets_; }

  Names input_names() const override { return config_.inputs; }
  Names output_names() const override { return config_.outputs; }
  std::size_t warm_up_period() const override { return config_.warm_up; }
  std::unique_ptr<Feature> fresh() const override { return std::make_unique<Probe>(config_); }
  void reset() override {
    bars_ = 0;
    ++*resets_;
  }
  std::size_t values_read() const override { return config_.reads; }

  // Output k on a bar: the sum of the inputs + k / 10 + 1000 * bars seen
  // since reset (this one included); missing when any input is missing.
  static Value output(const Bar& in, std::size_t k, std::size_t bars) {
    double sum = 0.0;
    for (const Value& v : in) {
      if (!v) return kMissing;
      sum += *v;
    }
    return sum + static_cast<double>(k) / 10.0 + 1000.0 * static_cast<double>(bars);
  }

 protected:
  Values step(std::span<const Value> values) override {
    log_->emplace_back(values.begin(), values.end());
    ++bars_;
    Values out;
    for (std::size_t k = 0; k < config_.produced; ++k) out.push_back(output(log_->back(), k, bars_));
    return out;
  }

 private:
  Config config_;
  std::size_t bars_ = 0;
  std::shared_ptr<BarLog> log_ = std::make_shared<BarLog>();
  std::shared_ptr<std::size_t> resets_ = std::make_shared<std::size_t>(0);
};

}  // namespace sarvek::testing
