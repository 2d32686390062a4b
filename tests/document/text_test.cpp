#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>

#include "lorvane/text.hpp"
#include "support/test_support.hpp"

namespace lorvane {
namespace {

TEST(Utf8Text, EmptyText) {
  const Utf8Text text("");
  EXPECT_EQ(text.codepoint_count(), 0u);
  EXPECT_EQ(text.byte_offset(0), 0u);
  EXPECT_EQ(text.slice(0, 0), "");
  EXPECT_THROW_MSG(text.byte_offset(1), std::out_of_range, "code point index is outside the document");
}

TEST(Utf8Text, OffsetsAndSlicesOfMultiByteText) {
  const Utf8Text text("a\xC3\xA9" "b");
  EXPECT_EQ(text.codepoint_count(), 3u);
  EXPECT_EQ(text.byte_offset(0), 0u);
  EXPECT_EQ(text.byte_offset(1), 1u);
  EXPECT_EQ(text.byte_offset(2), 3u);
  EXPECT_EQ(text.byte_offset(3), 4u);
  EXPECT_EQ(text.slice(1, 2), "\xC3\xA9");
  EXPECT_EQ(text.slice(0, 3), text.bytes());
  EXPECT_THROW_MSG(text.byte_offset(4), std::out_of_range, "code point index is outside the document");
  EXPECT_THROW_MSG(text.slice(2, 1), std::out_of_range, "code point slice is outside the document");
  EXPECT_THROW_MSG(text.slice(0, 4), std::out_of_range, "code point slice is outside the document");
  EXPECT_THROW_MSG(text.slice(4, 4), std::out_of_range, "code point slice is outside the document");
}

TEST(Utf8Text, MovedFromTextReadsAsTheEmptyText) {
  Utf8Text text("a\xC3\xA9" "b");
  Utf8Text moved = std::move(text);
  Utf8Text assigned("xyz");
  assigned = std::move(moved);
  for (const Utf8Text* left : std::initializer_list<const Utf8Text*>{&text, &moved}) {
    EXPECT_EQ(left->bytes(), "");
    EXPECT_EQ(left->codepoint_count(), 0u);
    EXPECT_EQ(left->byte_offset(0), 0u);
    EXPECT_EQ(left->slice(0, 0), "");
    EXPECT_THROW_MSG(left->byte_offset(1), std::out_of_range, "code point index is outside the document");
    EXPECT_THROW_MSG(left->slice(0, 1), std::out_of_range, "code point slice is outside the document");
  }
  EXPECT_EQ(assigned.slice(1, 3), "\xC3\xA9" "b");
}

TEST(Utf8Text, NulBytesAreOrdinaryCodePoints) {
  const Utf8Text text(std::string("a\0b", 3));
  EXPECT_EQ(text.codepoint_count(), 3u);
  EXPECT_EQ(text.slice(1, 2), std::string(1, '\0'));
}

struct MalformedCase {
  const char* name;
  std::string bytes;
  std::size_t offset;
};

class Utf8TextMalformed : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(Utf8TextMalformed, ReportsTheOffendingByte) {
  const auto& c = GetParam();
  EXPECT_THROW_MSG(Utf8Text{c.bytes}, std::invalid_argument,
                   "invalid UTF-8 sequence at byte offset " + std::to_string(c.offset));
}

INSTANTIATE_TEST_SUITE_P(
    AllClasses, Utf8TextMalformed,
    ::testing::Values(
        MalformedCase{"lone_continuation", "abc\x80", 3},
        MalformedCase{"overlong_nul", "\xC0\x80", 0},
        MalformedCase{"overlong_three_byte", "\xE0\x80\xAF", 0},
        MalformedCase{"overlong_four_byte", "\xF0\x8F\xBF\xBF", 0},
        MalformedCase{"surrogate", "\xED\xA0\x80", 0},
        MalformedCase{"above_max", "\xF4\x90\x80\x80", 0},
        MalformedCase{"lead_f8", "ab\xF8", 2},
        MalformedCase{"lead_ff", "\xFF", 0},
        MalformedCase{"truncated_three_byte", "a\xE2\x82", 1},
        MalformedCase{"truncated_four_byte_at_end", "\xF0\x9F\x98", 0},
        MalformedCase{"bad_continuation_first", "\xE2\x28\xA1", 1},
        MalformedCase{"bad_continuation_second", "x\xE2\x82\x28", 3},
        MalformedCase{"bad_continuation_before_range", "\xF5\x28\x80\x80", 1},
        MalformedCase{"truncated_before_continuation", "\xF4\x28", 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Utf8Text, AcceptsBoundaryScalars) {
  for (const std::string& s : {std::string("\x7F"), std::string("\xC2\x80"), std::string("\xDF\xBF"),
                              std::string("\xE0\xA0\x80"), std::string("\xED\x9F\xBF"),
                              std::string("\xEE\x80\x80"), std::string("\xEF\xBF\xBF"),
                              std::string("\xF0\x90\x80\x80"), std::string("\xF4\x8F\xBF\xBF")}) {
    EXPECT_EQ(Utf8Text(s).codepoint_count(), 1u) << s.size();
  }
}

TEST(StringPool, ReservedIdentifiers) {
  StringPool pool;
  EXPECT_EQ(pool.get(0), "");
  ASSERT_TRUE(pool.optional(0).has_value());
  EXPECT_EQ(*pool.optional(0), "");
  EXPECT_FALSE(pool.optional(kNoIndex).has_value());
  EXPECT_THROW_MSG(pool.get(1), std::out_of_range, "invalid string pool identifier");
  EXPECT_THROW_MSG(pool.get(kNoIndex), std::out_of_range, "invalid string pool identifier");
  EXPECT_THROW_MSG(pool.optional(7), std::out_of_range, "invalid string pool identifier");
}

TEST(StringPool, InterningIsIdempotent) {
  StringPool pool;
  const auto a = pool.intern("NOUN");
  EXPECT_EQ(a, 1u);
  EXPECT_EQ(pool.intern("NOUN"), a);
  EXPECT_EQ(pool.intern(""), 0u);
  EXPECT_EQ(pool.intern("VERB"), 2u);
  EXPECT_EQ(pool.intern_optional(std::nullopt), kNoIndex);
  EXPECT_EQ(pool.size(), 3u);
  EXPECT_EQ(pool.intern_optional(std::string("NOUN")), a);
  EXPECT_EQ(pool.intern(std::string_view("a\0b", 3)), 3u);
  EXPECT_EQ(pool.get(3), std::string("a\0b", 3));
}

TEST(StringPool, InternAllAndUnderscore) {
  StringPool pool;
  EXPECT_TRUE(intern_all(pool, {}).empty());
  const auto ids = intern_all(pool, {"b", "a", "b", ""});
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 2, 1, 0}));
  EXPECT_EQ(text_or_underscore(pool, kNoIndex), "_");
  EXPECT_EQ(text_or_underscore(pool, 0), "_");
  EXPECT_EQ(text_or_underscore(pool, 2), "a");
}

}  // namespace
}  // namespace lorvane
