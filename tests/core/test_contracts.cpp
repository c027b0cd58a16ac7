#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/feature.h"
#include "core/regression.h"
#include "core/small_vector.h"
#include "core/text.h"

namespace sarvek {
namespace {

TEST(CoreError, DisplayTexts) {
  EXPECT_EQ(CoreError::duplicate_output_key("sma", 0, 2).message(),
            "Duplicate output key 'sma': produced by index 0 and 2");
  EXPECT_EQ(CoreError::cyclic_dependency().message(), "Cyclic dependency detected among features");
  EXPECT_EQ(CoreError::missing_input_column({"close", "volume"}).message(),
            "Missing input column(s): [\"close\", \"volume\"]");
  EXPECT_EQ(CoreError::missing_input_column({"high"}).message(), "Missing input column(s): [\"high\"]");
  EXPECT_EQ(CoreError::missing_input_column({}).message(), "Missing input column(s): []");
  EXPECT_EQ(CoreError::invalid_input("window must be non-zero").message(), "Invalid input: window must be non-zero");
}

TEST(CoreError, KindsCarryTheirFields) {
  const CoreError e = CoreError::duplicate_output_key("k", 3, 3);
  ASSERT_TRUE(e.is<CoreError::DuplicateOutputKey>());
  EXPECT_EQ(e.as<CoreError::DuplicateOutputKey>().idx_a, 3u);
  EXPECT_TRUE(CoreError::missing_input_column({"a"}).is<CoreError::MissingInputColumn>());
}

struct QuoteCase {
  std::string name;
  std::string quoted;
};

class Quote : public testing::TestWithParam<QuoteCase> {};

TEST_P(Quote, EscapesLikeTheDisplayRules) {
  std::string out;
  append_quoted(out, GetParam().name);
  EXPECT_EQ(out, GetParam().quoted);
}

INSTANTIATE_TEST_SUITE_P(
    Names, Quote,
    testing::Values(QuoteCase{"close", "\"close\""}, QuoteCase{"a\"b", "\"a\\\"b\""},
                    QuoteCase{"a\\b", "\"a\\\\b\""}, QuoteCase{"it's", "\"it's\""},
                    QuoteCase{"\t\n\r", "\"\\t\\n\\r\""}, QuoteCase{std::string("a\0b", 3), "\"a\\0b\""},
                    QuoteCase{"\x01\x7f", "\"\\u{1}\\u{7f}\""},
                    QuoteCase{"caf\xc3\xa9", "\"caf\xc3\xa9\""},                  // printable non-ASCII
                    QuoteCase{"e\xcc\x81", "\"e\\u{301}\""},                      // combining acute (Mn)
                    QuoteCase{"\xe2\x80\x8b", "\"\\u{200b}\""},                   // zero-width space (Cf)
                    QuoteCase{"\xc2\xa0 x", "\"\\u{a0} x\""},                     // no-break space; plain space stays
                    QuoteCase{"\xe2\x80\xa8", "\"\\u{2028}\""},                   // line separator
                    QuoteCase{"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},        // emoji is printable
                    QuoteCase{"\xf4\x8f\xbf\xbf", "\"\\u{10ffff}\""},             // unassigned
                    QuoteCase{"a\xff", "\"a\\x{ff}\""},                           // not UTF-8
                    QuoteCase{"\xed\xa0\x80", "\"\\x{ed}\\x{a0}\\x{80}\""}));    // encoded surrogate

TEST(Text, NameListForms) {
  EXPECT_EQ(render_name_list({}), "[]");
  EXPECT_EQ(render_name_list({"a", "b c"}), "[\"a\", \"b c\"]");
}

TEST(SmallVector, InlineUpToFourThenHeap) {
  Values v;
  for (int i = 0; i < 4; ++i) v.push_back(double(i));
  EXPECT_FALSE(v.on_heap());
  v.push_back(kMissing);
  EXPECT_TRUE(v.on_heap());
  ASSERT_EQ(v.size(), 5u);
  EXPECT_EQ(*v[3], 3.0);
  EXPECT_FALSE(v[4].has_value());
  EXPECT_EQ(v, (Values{0.0, 1.0, 2.0, 3.0, kMissing}));
}

TEST(Regression, LineAndDegenerateWindows) {
  auto run = [](std::vector<Value> x, std::vector<Value> y) {
    return regress(x.size(), [&](std::size_t i) { return x[i]; }, [&](std::size_t i) { return y[i]; });
  };
  Regression r = run({1, 2}, {3, 5});
  EXPECT_EQ(*r.slope, 2.0);
  EXPECT_EQ(*r.r2, 1.0);
  r = run({1, 1, 1}, {1, 2, 3});  // constant x
  EXPECT_FALSE(r.slope || r.r2);
  r = run({1, 2, 3}, {4, 4, 4});  // constant y
  EXPECT_EQ(*r.slope, 0.0);
  EXPECT_FALSE(r.r2);
  r = run({1, 2, 3}, {4, kMissing, 4});
  EXPECT_FALSE(r.slope || r.r2);
  r = run({1, 2, NAN}, {4, 5, 6});  // a present NaN runs through
  EXPECT_TRUE(r.slope && std::isnan(*r.slope));
}

}  // namespace
}  // namespace sarvek
