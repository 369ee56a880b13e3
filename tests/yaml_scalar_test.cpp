#include "quillmere/request/yaml_scalar.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace quillmere::yaml_scalar_test {
namespace {

struct Case {
  std::string text;
  ScalarKind kind;
  bool truthy;
};

void PrintTo(const Case& c, std::ostream* os) { *os << "'" << c.text << "'"; }

class PlainScalarTyping : public ::testing::TestWithParam<Case> {};

TEST_P(PlainScalarTyping, TypesAndTruth) {
  const Case& c = GetParam();
  const ResolvedScalar resolved = resolve_plain_scalar(c.text);
  EXPECT_EQ(resolved.kind, c.kind);
  EXPECT_EQ(resolved.truthy, c.truthy);
}

constexpr auto N = ScalarKind::Null;
constexpr auto B = ScalarKind::Boolean;
constexpr auto I = ScalarKind::Integer;
constexpr auto F = ScalarKind::Float;
constexpr auto D = ScalarKind::Timestamp;
constexpr auto T = ScalarKind::Text;

INSTANTIATE_TEST_SUITE_P(Null, PlainScalarTyping,
                         ::testing::Values(Case{"", N, false}, Case{"~", N, false},
                                           Case{"null", N, false}, Case{"Null", N, false},
                                           Case{"NULL", N, false}, Case{"nULL", T, true},
                                           Case{"none", T, true}));

INSTANTIATE_TEST_SUITE_P(
    Booleans, PlainScalarTyping,
    ::testing::Values(Case{"yes", B, true}, Case{"Yes", B, true}, Case{"YES", B, true},
                      Case{"no", B, false}, Case{"No", B, false}, Case{"NO", B, false},
                      Case{"true", B, true}, Case{"True", B, true}, Case{"TRUE", B, true},
                      Case{"false", B, false}, Case{"False", B, false}, Case{"FALSE", B, false},
                      Case{"on", B, true}, Case{"On", B, true}, Case{"ON", B, true},
                      Case{"off", B, false}, Case{"Off", B, false}, Case{"OFF", B, false},
                      // Single letters and mixed case stay text.
                      Case{"y", T, true}, Case{"n", T, true}, Case{"yEs", T, true},
                      Case{"tRUE", T, true}));

INSTANTIATE_TEST_SUITE_P(
    Integers, PlainScalarTyping,
    ::testing::Values(Case{"0", I, false}, Case{"-0", I, false}, Case{"+0", I, false},
                      Case{"00", I, false}, Case{"0x0", I, false}, Case{"0b0", I, false},
                      Case{"0_", I, false}, Case{"12", I, true}, Case{"-12", I, true},
                      Case{"0123", I, true}, Case{"0x1F", I, true}, Case{"0b101", I, true},
                      Case{"1_000", I, true}, Case{"1:30", I, true}, Case{"190:20:30", I, true},
                      // Not integers: no YAML 1.1 octal 0o, 8 and 9 are not octal,
                      // base 60 needs a non-zero lead and groups below 60.
                      Case{"0o17", T, true}, Case{"09", T, true}, Case{"0_8", T, true},
                      Case{"0:30", T, true}, Case{"1:60", T, true}, Case{"1:300", T, true},
                      Case{"0x", T, true}, Case{"12a", T, true}, Case{"ABC-12", T, true}));

INSTANTIATE_TEST_SUITE_P(
    Floats, PlainScalarTyping,
    ::testing::Values(Case{"1.5", F, true}, Case{"+1.5", F, true}, Case{"1.", F, true},
                      Case{".5", F, true}, Case{"1_000.5", F, true}, Case{"1.0e+5", F, true},
                      Case{"1:30.5", F, true}, Case{".inf", F, true}, Case{"-.Inf", F, true},
                      Case{"+.INF", F, true}, Case{".nan", F, true}, Case{".NaN", F, true},
                      Case{"0.0", F, false}, Case{"-0.0", F, false}, Case{"0.", F, false},
                      Case{".0", F, false}, Case{"0:00.0", F, false},
                      Case{"1.0e-400", F, false},  // underflows to zero
                      // A float needs a dot and a signed exponent.
                      Case{"1e3", T, true}, Case{"1.0e5", T, true}, Case{"1.2.3", T, true},
                      Case{".", T, true}, Case{"-.5", T, true}, Case{"inf", T, true},
                      Case{"-.nan", T, true}, Case{"0:00", T, true}));

INSTANTIATE_TEST_SUITE_P(
    Timestamps, PlainScalarTyping,
    ::testing::Values(Case{"2024-01-31", D, true}, Case{"2024-02-29", D, true},
                      Case{"2001-12-14t21:59:43.10-05:00", D, true},
                      Case{"2001-12-14 21:59:43.10 -5", D, true},
                      Case{"2001-12-14T21:59:43Z", D, true}, Case{"2001-1-4 1:59:43", D, true},
                      Case{"2024-01-01 10:00:00 +23:59", D, true},
                      // A bare date needs two-digit fields; a time needs seconds.
                      Case{"2024-1-5", T, true}, Case{"2024-01-01 10:00", T, true},
                      Case{"24-01-01", T, true}, Case{"2024-01-01x", T, true}));

INSTANTIATE_TEST_SUITE_P(KeysAndText, PlainScalarTyping,
                         ::testing::Values(Case{"<<", ScalarKind::Merge, true},
                                           Case{"=", ScalarKind::Value, true}, Case{"dev", T, true},
                                           Case{"web_app", T, true}, Case{"a b", T, true}));

TEST(PlainScalarTyping, FormsThatCannotHoldTheirValueThrow) {
  for (const char* text :
       {"0b_", "0x_", "-0x__", "2024-02-30", "2023-02-29", "2024-13-01", "0000-01-01",
        "2024-01-01T24:00:00", "2024-01-01 10:00:60", "2024-01-01 10:00:00 +24"})
    EXPECT_THROW(resolve_plain_scalar(text), std::invalid_argument) << text;
}

TEST(ExplicitTagConstruction, BuildsOrRejectsTheTaggedValue) {
  // The tag decides the kind; the text must then hold a value of that kind.
  EXPECT_FALSE(construct_scalar(ScalarKind::Integer, "0").truthy);
  EXPECT_TRUE(construct_scalar(ScalarKind::Integer, "-1:30").truthy);
  EXPECT_THROW(construct_scalar(ScalarKind::Integer, "0:00"), std::invalid_argument);  // octal
  EXPECT_THROW(construct_scalar(ScalarKind::Integer, "abc"), std::invalid_argument);
  EXPECT_THROW(construct_scalar(ScalarKind::Integer, "1.5"), std::invalid_argument);
  EXPECT_THROW(construct_scalar(ScalarKind::Integer, ""), std::invalid_argument);

  EXPECT_TRUE(construct_scalar(ScalarKind::Boolean, "YeS").truthy);
  EXPECT_FALSE(construct_scalar(ScalarKind::Boolean, "oFF").truthy);
  EXPECT_THROW(construct_scalar(ScalarKind::Boolean, "y"), std::invalid_argument);

  EXPECT_TRUE(construct_scalar(ScalarKind::Float, "1e3").truthy);
  EXPECT_TRUE(construct_scalar(ScalarKind::Float, "inf").truthy);
  EXPECT_FALSE(construct_scalar(ScalarKind::Float, "0").truthy);
  EXPECT_THROW(construct_scalar(ScalarKind::Float, "abc"), std::invalid_argument);
  EXPECT_THROW(construct_scalar(ScalarKind::Float, "0x1p3"), std::invalid_argument);
  for (const char* empty_group : {":0", "1::0", "1:"})  // ":0" once looped for ever
    EXPECT_THROW(construct_scalar(ScalarKind::Float, empty_group), std::invalid_argument);

  EXPECT_FALSE(construct_scalar(ScalarKind::Null, "anything").truthy);
  EXPECT_FALSE(construct_scalar(ScalarKind::Text, "").truthy);
  EXPECT_EQ(construct_scalar(ScalarKind::Text, "0").kind, ScalarKind::Text);
  EXPECT_TRUE(construct_scalar(ScalarKind::Timestamp, "2024-1-5").truthy);

  EXPECT_TRUE(construct_scalar(ScalarKind::Binary, "aGk=").truthy);
  EXPECT_FALSE(construct_scalar(ScalarKind::Binary, "").truthy);
  EXPECT_THROW(construct_scalar(ScalarKind::Binary, "aGk"), std::invalid_argument);
  EXPECT_THROW(construct_scalar(ScalarKind::Binary, "a"), std::invalid_argument);
}

}  // namespace
}  // namespace quillmere::yaml_scalar_test
