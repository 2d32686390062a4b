// Text units and paragraphs: decoding, paragraph breaks, whitespace collapsing,
// trimming and code-point offsets.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "lorvane/errors.hpp"
#include "models/tokenizer/text/units.hpp"
#include "support/test_support.hpp"

namespace lorvane::detail {
namespace {

// (code point, offset) of each unit of a paragraph.
using Expected = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

std::vector<Expected> summarise(const std::vector<TokenizerParagraph>& paragraphs) {
  std::vector<Expected> out;
  for (const auto& paragraph : paragraphs) {
    Expected units;
    for (const auto& unit : paragraph) units.emplace_back(unit.code_point, unit.offset);
    out.push_back(std::move(units));
  }
  return out;
}

std::vector<TokenizerParagraph> split(const std::string& text, bool skip_newline) {
  return split_paragraphs(text.data(), text.size(), skip_newline);
}

struct SplitCase {
  const char* name;
  std::string text;
  bool skip_newline;
  std::vector<Expected> expected;
};

class SplitParagraphs : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitParagraphs, UnitsAndOffsets) {
  const SplitCase& c = GetParam();
  EXPECT_EQ(summarise(split(c.text, c.skip_newline)), c.expected) << c.name;
}

constexpr std::uint32_t a = 'a', b = 'b', c = 'c', sp = 0x20;

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitParagraphs,
    ::testing::Values(
        SplitCase{"empty", "", false, {}},
        SplitCase{"two_newlines_only", "\n\n", false, {}},
        SplitCase{"whitespace_only", " \t\r\n \u3000", false, {}},
        SplitCase{"blank_line_breaks", "a\n\nb", false, {{{a, 0}}, {{b, 3}}}},
        SplitCase{"single_newline_is_space", "a\nb", false, {{{a, 0}, {sp, 1}, {b, 2}}}},
        SplitCase{"skip_newline_drops_it", "a\nb", true, {{{a, 0}, {b, 2}}}},
        SplitCase{"skip_newline_keeps_run_space", "a \n b", true, {{{a, 0}, {sp, 1}, {b, 4}}}},
        SplitCase{"skip_newline_still_breaks", "a\n\nb", true, {{{a, 0}}, {{b, 3}}}},
        SplitCase{"crlf_pairs", "a\r\n\r\nb", false, {{{a, 0}}, {{b, 5}}}},
        SplitCase{"single_crlf", "a\r\nb", false, {{{a, 0}, {sp, 1}, {b, 3}}}},
        SplitCase{"single_crlf_skip", "a\r\nb", true, {{{a, 0}, {sp, 1}, {b, 3}}}},
        SplitCase{"indent_after_last_newline",
                  "a\n \n  b",
                  false,
                  {{{a, 0}}, {{sp, 4}, {b, 6}}}},
        SplitCase{"c1_control_inside_break", "a\n\u0080\nb", false, {{{a, 0}}, {{b, 4}}}},
        SplitCase{"c1_control_normalised_not_trimmed", "a\u0080", false, {{{a, 0}, {sp, 1}}}},
        SplitCase{"nel_trimmed", "a\u0085", false, {{{a, 0}}}},
        SplitCase{"nel_is_not_a_newline", "a\u0085\u0085b", false, {{{a, 0}, {sp, 1}, {b, 3}}}},
        SplitCase{"line_separator_in_run", "a\n\u2028\nb", false, {{{a, 0}}, {{b, 4}}}},
        SplitCase{"zero_width_space_blocks_break",
                  "a\n\u200B\nb",
                  false,
                  {{{a, 0}, {sp, 1}, {0x200B, 2}, {sp, 3}, {b, 4}}}},
        SplitCase{"trailing_newline", "a\n", false, {{{a, 0}}}},
        SplitCase{"trailing_newlines", "a\n\n\n", false, {{{a, 0}}}},
        SplitCase{"leading_break", "\n\na", false, {{{a, 2}}}},
        SplitCase{"leading_spaces_survive", "  a", false, {{{sp, 0}, {a, 2}}}},
        SplitCase{"whitespace_paragraph_dropped", " \n\nb", false, {{{b, 3}}}},
        SplitCase{"nul_is_ordinary", std::string("a\0b", 3), false, {{{a, 0}, {0, 1}, {b, 2}}}},
        SplitCase{"mixed_run_collapsed",
                  "a \t\u3000b c",
                  false,
                  {{{a, 0}, {sp, 1}, {b, 4}, {sp, 5}, {c, 6}}}},
        SplitCase{"offsets_count_code_points",
                  "\u00e9  \u00fc\U0001F600x",
                  false,
                  {{{0xE9, 0}, {sp, 1}, {0xFC, 3}, {0x1F600, 4}, {'x', 5}}}},
        SplitCase{"trim_then_collapse", "a \u0080", false, {{{a, 0}, {sp, 1}}}},
        SplitCase{"three_paragraphs",
                  "a\n \nb\n\n\nc  \n",
                  false,
                  {{{a, 0}}, {{b, 4}}, {{c, 8}}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SplitParagraphs, SpaceUnitHoldsOneSpaceByte) {
  const auto paragraphs = split("a\u3000\tb", false);
  ASSERT_EQ(paragraphs.size(), 1u);
  ASSERT_EQ(paragraphs[0].size(), 3u);
  EXPECT_EQ(paragraphs[0][1].text, " ");
  EXPECT_EQ(paragraphs[0][2].text, "b");
}

struct MalformedCase {
  const char* name;
  std::string bytes;
  std::size_t offset;
};

class MalformedText : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedText, ReportsOffset) {
  const MalformedCase& c = GetParam();
  const std::string message = "invalid UTF-8 sequence at byte offset " + std::to_string(c.offset);
  EXPECT_THROW_MSG(decode_units(c.bytes.data(), c.bytes.size()), TokenizerModelError, message);
  EXPECT_THROW_MSG(split(c.bytes, false), TokenizerModelError, message);
  // Paragraph text before the fault changes nothing: the whole call fails.
  const std::string prefixed = "ok\n\nok " + c.bytes;
  const std::string shifted = "invalid UTF-8 sequence at byte offset " + std::to_string(c.offset + 7);
  EXPECT_THROW_MSG(split(prefixed, true), TokenizerModelError, shifted);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedText,
    ::testing::Values(MalformedCase{"bad_continuation", "ab\xC3\x28", 3},
                      MalformedCase{"truncated_at_end", "ab\xC3", 2},
                      MalformedCase{"truncated_four_byte", "\xF0\x9F\x98", 0},
                      MalformedCase{"bad_third_byte", "\xE2\x82\x28", 2},
                      MalformedCase{"bad_fourth_byte", "x\xF0\x9F\x98\x41", 4},
                      MalformedCase{"overlong_c0", "\xC0\x80", 0},
                      MalformedCase{"overlong_three_byte", "\xE0\x80\xAF", 0},
                      MalformedCase{"surrogate", "\xED\xA0\x80", 0},
                      MalformedCase{"above_max", "\xF4\x90\x80\x80", 0},
                      MalformedCase{"lone_continuation", "\x80", 0},
                      MalformedCase{"lead_f8", "a\xF8\x88\x80\x80\x80", 1},
                      MalformedCase{"lead_ff", "\xFF", 0},
                      // Continuation bytes are checked before the value's range,
                      // and the length before either.
                      MalformedCase{"c0_lead_bad_continuation", "\xC0\x41", 1},
                      MalformedCase{"f5_lead_bad_continuation", "\xF5\x41\x80\x80", 1},
                      MalformedCase{"f5_lead_well_formed_tail", "\xF5\x80\x80\x80", 0},
                      MalformedCase{"surrogate_lead_bad_continuation", "\xED\x41\x80", 1},
                      MalformedCase{"truncated_before_bad_continuation", "\xE3\x28", 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DecodeUnits, OneRecordPerCodePointUnnormalised) {
  const std::string text = "a\t\u00e9\u20ac\U0001F600\n";
  const auto units = decode_units(text.data(), text.size());
  const std::vector<std::string> texts = {"a", "\t", "\u00e9", "\u20ac", "\U0001F600", "\n"};
  const std::vector<std::uint32_t> code_points = {0x61, 0x09, 0xE9, 0x20AC, 0x1F600, 0x0A};
  ASSERT_EQ(units.size(), texts.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    EXPECT_EQ(units[i].text, texts[i]) << i;
    EXPECT_EQ(units[i].code_point, code_points[i]) << i;
    EXPECT_EQ(units[i].offset, i) << i;
  }
}

TEST(DecodeUnits, ErrorIsAModelBundleError) {
  EXPECT_THROW_MSG(decode_units("\xC3", 1), ModelBundleError, "invalid UTF-8 sequence at byte offset 0");
}

// Offsets are 32 bits and an end offset must stay clear of the 0xFFFFFFFF
// marker. The limit is lowered here instead of decoding 4 GiB of text.
TEST(DecodeUnits, CodePointLimit) {
  EXPECT_EQ(kMaxTokenizerCodePoints, 0xFFFFFFFEu);
  EXPECT_EQ(decode_units("abc", 3, 3).size(), 3u);
  EXPECT_THROW_MSG(decode_units("abcd", 4, 3), TokenizerModelError,
                   "tokenizer text exceeds 3 code points");
  // The limit counts code points, not bytes.
  EXPECT_EQ(decode_units("\u00e9\u00e9\u00e9", 6, 3).size(), 3u);
  EXPECT_THROW_MSG(decode_units("\u00e9\u00e9\u00e9\u00e9", 8, 3), TokenizerModelError,
                   "tokenizer text exceeds 3 code points");
  // A fault before the limit is reached is still a UTF-8 error.
  EXPECT_THROW_MSG(decode_units("ab\xC3", 3, 3), TokenizerModelError,
                   "invalid UTF-8 sequence at byte offset 2");
  EXPECT_TRUE(decode_units("", 0, 0).empty());
  EXPECT_THROW_MSG(decode_units("a", 1, 0), TokenizerModelError, "tokenizer text exceeds 0 code points");
}

TEST(WhitespaceSets, ExactMembership) {
  std::vector<char32_t> unit_space, trim;
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (is_unit_space(cp)) unit_space.push_back(cp);
    if (is_trim_space(cp)) trim.push_back(cp);
  }
  EXPECT_EQ(unit_space.size(), 60u);
  EXPECT_EQ(trim.size(), 29u);
  std::vector<char32_t> expected_trim = {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x1C, 0x1D, 0x1E, 0x1F,
                                         0x20, 0x85, 0xA0, 0x1680};
  for (char32_t cp = 0x2000; cp <= 0x200A; ++cp) expected_trim.push_back(cp);
  for (char32_t cp : {0x2028, 0x2029, 0x202F, 0x205F, 0x3000}) expected_trim.push_back(cp);
  EXPECT_EQ(trim, expected_trim);
  // The unit-space set adds the C1 controls other than U+0085.
  std::vector<char32_t> extra;
  for (char32_t cp : unit_space)
    if (!is_trim_space(cp)) extra.push_back(cp);
  ASSERT_EQ(extra.size(), 31u);
  EXPECT_EQ(extra.front(), 0x80u);
  EXPECT_EQ(extra.back(), 0x9Fu);
  for (char32_t cp : extra) EXPECT_NE(cp, 0x85u);
}

}  // namespace
}  // namespace lorvane::detail
