// Feature rows of the tokenizer: column layout and count check, lexical and
// positional columns, the four pattern columns, dictionary windows and the
// lexicon sets behind them.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <thread>
#include <string>
#include <unordered_set>
#include <vector>

#include "lorvane/errors.hpp"
#include "models/tokenizer/text/features.hpp"
#include "models/tokenizer/text/units.hpp"
#include "support/test_support.hpp"
#include "tokenizer/tokenizer_text_support.hpp"

namespace lorvane::detail {
namespace {

using testing::Features;

const char* const kMismatch = "tokenizer feature dimension does not match feat_funcs";

// The single paragraph of a text, normalised as the tokenizer sees it.
std::vector<TokenizerUnit> paragraph(const std::string& text) {
  auto paragraphs = split_paragraphs(text.data(), text.size(), false);
  EXPECT_EQ(paragraphs.size(), 1u) << text;
  return paragraphs.empty() ? std::vector<TokenizerUnit>{} : paragraphs.front();
}

// One string of '0'/'1' per unit; any other value shows as '?'.
std::vector<std::string> rows_of(const std::vector<float>& values, std::size_t width) {
  EXPECT_EQ(values.size() % (width == 0 ? 1 : width), 0u);
  std::vector<std::string> rows;
  for (std::size_t i = 0; width != 0 && i < values.size(); i += width) {
    std::string row;
    for (std::size_t j = 0; j < width; ++j) {
      const float v = values[i + j];
      row += v == 0.0f ? '0' : v == 1.0f ? '1' : '?';
    }
    rows.push_back(row);
  }
  return rows;
}

// Column j of every row, as one string.
std::string column_of(const std::vector<float>& values, std::size_t width, std::size_t j) {
  std::string column;
  for (const auto& row : rows_of(values, width)) column += row[j];
  return column;
}

struct LayoutCase {
  const char* name;
  std::vector<std::string> feat_funcs;
  std::string text;
  std::vector<std::string> rows;
};

class ColumnLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(ColumnLayout, RowsInGroupOrder) {
  const LayoutCase& c = GetParam();
  Features f;
  f.feat_funcs = c.feat_funcs;
  f.feat_dim = static_cast<std::int64_t>(c.rows.front().size());
  EXPECT_EQ(rows_of(f.compute(paragraph(c.text)), c.rows.front().size()), c.rows);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ColumnLayout,
    ::testing::Values(
        // space_before, capitalized, numeric, end_of_para, start_of_para
        LayoutCase{"basic_five",
                   {"space_before", "capitalized", "numeric", "end_of_para", "start_of_para"},
                   "A 1b",
                   {"01001", "10000", "00100", "00010"}},
        // Groups come in fixed order: numeric, space_before | end_of_para | currency.
        LayoutCase{"groups_reordered",
                   {"currency", "end_of_para", "numeric", "space_before"},
                   "$5 x",
                   {"0001", "1001", "0100", "0010"}},
        LayoutCase{"lexical_repeats", {"numeric", "numeric"}, "7a", {"11", "00"}},
        LayoutCase{"positional_listed_once", {"end_of_para", "end_of_para"}, "ab", {"0", "1"}},
        LayoutCase{"one_unit_both_ends", {"end_of_para", "start_of_para"}, "x", {"11"}},
        // Pattern columns in the order labeled_field, phone_id, date_pattern, currency.
        LayoutCase{"patterns_fixed_order",
                   {"currency", "date_pattern", "phone_id", "labeled_field"},
                   "5/6/07 $1",
                   {"0010", "0010", "0010", "0010", "0010", "0010", "0000", "0001", "0001"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LexicalFeatures, CapitalizedUsesUnicodeCase) {
  Features f;
  f.feat_funcs = {"capitalized", "space_before"};
  f.feat_dim = 2;
  // É upper, ß lower, Σ upper, ǅ titlecase (neither), 7 uncased, whitespace.
  const auto rows = rows_of(f.compute(paragraph("\u00c9\u00df\u03a3\u01c57\u3000x")), 2);
  EXPECT_EQ(rows, (std::vector<std::string>{"10", "00", "10", "00", "00", "01", "00"}));
}

TEST(LexicalFeatures, NumericIsUnicode15DecimalDigits) {
  Features f;
  f.feat_funcs = {"numeric"};
  f.feat_dim = 1;
  struct Digit {
    const char* text;
    char expected;
  };
  const Digit digits[] = {
      {"0", '1'},           {"9", '1'},          {"\u0661", '1'},  // Arabic-Indic one
      {"\u00b2", '0'},                                             // superscript two: not Nd
      {"\u2163", '0'},                                             // Roman numeral four: Nl
      {"\U0001D7CE", '1'},  {"\U0001D7FF", '1'},                   // mathematical digits
      {"\U00011F50", '1'},  {"\U0001E4F9", '1'},                   // new in 15.0
      {"\U00010D40", '0'},                                         // added after 15.0
      {"\U0001FBF9", '1'},  {"a", '0'},
  };
  for (const Digit& d : digits) {
    EXPECT_EQ(column_of(f.compute(paragraph(d.text)), 1, 0), std::string(1, d.expected)) << d.text;
  }
}

struct PatternCase {
  const char* name;
  std::string text;
  // labeled_field, phone_id, date_pattern, currency columns
  std::string labeled, phone, date, currency;
};

class PatternColumns : public ::testing::TestWithParam<PatternCase> {};

TEST_P(PatternColumns, MarkWholeUnits) {
  const PatternCase& c = GetParam();
  Features f;
  f.feat_funcs = {"labeled_field", "phone_id", "date_pattern", "currency"};
  f.feat_dim = 4;
  const auto values = f.compute(paragraph(c.text));
  EXPECT_EQ(column_of(values, 4, 0), c.labeled);
  EXPECT_EQ(column_of(values, 4, 1), c.phone);
  EXPECT_EQ(column_of(values, 4, 2), c.date);
  EXPECT_EQ(column_of(values, 4, 3), c.currency);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PatternColumns,
    ::testing::Values(
        PatternCase{"price",
                    "Price: $1,200.50",
                    "1111110000000000",
                    "0000000000000000",
                    "0000000000000000",
                    "0000000111111111"},
        PatternCase{"phone",
                    "Call (555) 123-4567",
                    "0000000000000000000",
                    "0000011111111111111",
                    "0000000000000000000",
                    "0000000000000000000"},
        PatternCase{"month_date", "March 5, 2020", "0000000000000", "0000000000000",
                    "1111111111111", "0000000000000"},
        PatternCase{"slash_date", "12/31/99", "00000000", "00000000", "11111111", "00000000"},
        // Multi-byte units before a match shift bytes, not units.
        PatternCase{"after_multibyte",
                    "\u00e9\u20ac Price: $5",
                    "000111111000",
                    "000000000000",
                    "000000000000",
                    "000000000011"},
        // A whitespace run is one space unit in the joined text.
        PatternCase{"collapsed_run",
                    "Total\t\t:  $ 7",
                    "11111110000",
                    "00000000000",
                    "00000000000",
                    "00000000111"}),
    [](const auto& info) { return std::string(info.param.name); });

struct DimensionCase {
  const char* name;
  std::vector<std::string> feat_funcs;
  bool use_dictionary;
  std::int64_t num_dict_feat;
  std::int64_t feat_dim;
  bool ok;
};

class FeatureDimension : public ::testing::TestWithParam<DimensionCase> {};

TEST_P(FeatureDimension, CheckedOnEveryCall) {
  const DimensionCase& c = GetParam();
  Features f;
  f.feat_funcs = c.feat_funcs;
  f.use_dictionary = c.use_dictionary;
  f.num_dict_feat = c.num_dict_feat;
  f.feat_dim = c.feat_dim;
  for (const std::string text : {"ab c", ""}) {
    const auto units = text.empty() ? std::vector<TokenizerUnit>{} : paragraph(text);
    if (c.ok) {
      EXPECT_EQ(f.compute(units).size(), units.size() * static_cast<std::size_t>(c.feat_dim));
    } else {
      EXPECT_THROW_MSG(f.compute(units), TokenizerModelError, kMismatch);
    }
  }
}

const std::vector<std::string> kBasic = {"space_before", "capitalized", "numeric", "end_of_para",
                                         "start_of_para"};
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

INSTANTIATE_TEST_SUITE_P(
    Cases, FeatureDimension,
    ::testing::Values(DimensionCase{"five", kBasic, false, 0, 5, true},
                      DimensionCase{"five_as_four", kBasic, false, 0, 4, false},
                      DimensionCase{"five_as_six", kBasic, false, 0, 6, false},
                      DimensionCase{"empty_list", {}, false, 0, 0, true},
                      DimensionCase{"empty_list_as_one", {}, false, 0, 1, false},
                      DimensionCase{"negative", kBasic, false, 0, -1, false},
                      DimensionCase{"most_negative", kBasic, false, 0, kMin, false},
                      DimensionCase{"dictionary", kBasic, true, 2, 9, true},
                      DimensionCase{"dictionary_odd", kBasic, true, 2, 8, false},
                      DimensionCase{"dictionary_short", kBasic, true, 2, 7, false},
                      DimensionCase{"dictionary_long", kBasic, true, 2, 11, false},
                      DimensionCase{"dictionary_off_ignores_window", kBasic, false, 2, 5, true},
                      DimensionCase{"huge_window", kBasic, true, kMax / 2, kMax, false},
                      DimensionCase{"patterns_count_once",
                                    {"currency", "currency", "phone_id"},
                                    false,
                                    0,
                                    2,
                                    true}),
    [](const auto& info) { return std::string(info.param.name); });

// A window count that passes the count check but cannot be allocated is a
// clear error, not an overflowing size computation.
TEST(FeatureDimension, UnallocatableWidth) {
  Features f;
  f.feat_funcs = kBasic;
  f.use_dictionary = true;
  f.num_dict_feat = (kMax - 5) / 2;
  f.feat_dim = kMax;
  EXPECT_TRUE(f.compute({}).empty());
  EXPECT_THROW(f.compute(paragraph("ab c")), std::length_error);
}

// Dictionary columns: K forward then K backward, after every other group.
Features dictionary(std::int64_t k, const std::vector<std::string>& entries) {
  Features f;
  f.use_dictionary = true;
  f.num_dict_feat = k;
  f.feat_dim = 2 * k;
  f.add_words(entries);
  return f;
}

struct WindowCase {
  const char* name;
  std::int64_t k;
  std::vector<std::string> lexicon;
  std::string text;
  std::vector<std::string> rows;  // forward windows then backward windows
};

class DictionaryWindows : public ::testing::TestWithParam<WindowCase> {};

TEST_P(DictionaryWindows, Rows) {
  const WindowCase& c = GetParam();
  const Features f = dictionary(c.k, c.lexicon);
  EXPECT_EQ(rows_of(f.compute(paragraph(c.text)), static_cast<std::size_t>(2 * c.k)), c.rows);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DictionaryWindows,
    ::testing::Values(
        WindowCase{"lowercase_word", 3, {"new", "york"}, "new", {"010000", "000000", "000010"}},
        // The unit's own text keeps its case: forward from N looks up "Ne", "New".
        // Neighbours are lowercased, so backward from w finds "new".
        WindowCase{"capital_start", 3, {"new"}, "New", {"000000", "000000", "000010"}},
        WindowCase{"capital_neighbours", 3, {"new"}, "nEW", {"010000", "000000", "000000"}},
        // Windows longer than the paragraph leave their columns at zero.
        WindowCase{"window_past_ends", 4, {"ab"}, "ab", {"10000000", "00001000"}},
        // Both sides of a middle unit; "ab" and "bc" are words, "abc" too.
        WindowCase{"both_sides",
                   2,
                   {"abc", "bc", "ab"},
                   "abc",
                   {"1100", "1010", "0011"}},
        // The whitespace unit is " " inside windows.
        WindowCase{"space_inside", 2, {"a b"}, "a\tb", {"0100", "0000", "0001"}},
        // U+0130 lowercases to two code points.
        WindowCase{"multi_code_point_lowering",
                   1,
                   {"ai\u0307"},
                   "a\u0130",
                   {"10", "00"}}),
    [](const auto& info) { return std::string(info.param.name); });

// A side closes as soon as its string is no longer a prefix (suffix) of an
// entry, even where a longer window would spell a word; the sets are built by
// hand here to make that visible.
TEST(DictionaryWindows, ClosedSideStaysZero) {
  Features f = dictionary(3, {});
  f.words = {"abcd", "bcd"};
  f.prefixes = {"ab"};          // "abc" missing: forward from a stops at window 2
  f.suffixes = {"d", "cd"};     // complete for "bcd"
  const auto rows = rows_of(f.compute(paragraph("abcd")), 6);
  // a: forward 3 would be "abcd" but the side closed at "abc".
  EXPECT_EQ(rows[0], "000000");
  // d: backward "cd", "bcd" (word), "abcd" (word, but "bcd" is no suffix key).
  EXPECT_EQ(rows[3], "000010");
  f.suffixes.insert("bcd");
  EXPECT_EQ(rows_of(f.compute(paragraph("abcd")), 6)[3], "000011");
}

TEST(DictionaryWindows, SidesCloseIndependently) {
  Features f = dictionary(2, {});
  f.words = {"xbc", "bcd"};
  f.prefixes = {"bc"};   // forward from b: "bc" open, "bcd" word
  f.suffixes = {};       // backward from b closes at once
  const auto rows = rows_of(f.compute(paragraph("xbcd")), 4);
  EXPECT_EQ(rows[1], "0100");
  f.suffixes = {"bc"};   // backward from c: "bc" open, "xbc" word
  EXPECT_EQ(rows_of(f.compute(paragraph("xbcd")), 4)[2], "0001");
}

TEST(DictionaryWindows, FollowOtherGroups) {
  Features f = dictionary(1, {"ab"});
  f.feat_funcs = {"start_of_para", "numeric"};
  f.feat_dim = 4;
  EXPECT_EQ(rows_of(f.compute(paragraph("ab")), 4), (std::vector<std::string>{"0110", "0001"}));
}

struct LexiconCase {
  const char* name;
  std::vector<std::string> entries;
  std::unordered_set<std::string> words, prefixes, suffixes;
};

class LexiconSets : public ::testing::TestWithParam<LexiconCase> {};

TEST_P(LexiconSets, ProperPrefixesAndSuffixes) {
  const LexiconCase& c = GetParam();
  std::unordered_set<std::string> words, prefixes, suffixes;
  for (const auto& entry : c.entries) add_lexicon_entry(entry, words, prefixes, suffixes);
  EXPECT_EQ(words, c.words);
  EXPECT_EQ(prefixes, c.prefixes);
  EXPECT_EQ(suffixes, c.suffixes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LexiconSets,
    ::testing::Values(
        LexiconCase{"short_entries_ignored", {"a", "", "\u00fc"}, {}, {}, {}},
        LexiconCase{"uber",
                    {"\u00fcber"},
                    {"\u00fcber"},
                    {"\u00fc", "\u00fcb", "\u00fcbe"},
                    {"r", "er", "ber"}},
        LexiconCase{"abc_and_ab",
                    {"abc", "ab"},
                    {"abc", "ab"},
                    {"a", "ab"},
                    {"c", "bc", "b"}},
        LexiconCase{"kept_as_written", {"New"}, {"New"}, {"N", "Ne"}, {"w", "ew"}},
        LexiconCase{"four_byte_units",
                    {"\U0001F600x"},
                    {"\U0001F600x"},
                    {"\U0001F600"},
                    {"x"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LexiconSets, InvalidEntryNamesOffsetWithinIt) {
  std::unordered_set<std::string> words, prefixes, suffixes;
  EXPECT_THROW_MSG(add_lexicon_entry("ab\xC3(", words, prefixes, suffixes), TokenizerModelError,
                   "invalid UTF-8 sequence at byte offset 3");
}

// One shared configuration, many threads: every result equals the sequential one.
TEST(FeatureRows, ConcurrentCallsAgree) {
  Features f = dictionary(3, {"new", "york", "price", "call"});
  f.feat_funcs = kBasic;
  for (const char* name : {"labeled_field", "phone_id", "date_pattern", "currency"}) f.feat_funcs.push_back(name);
  f.feat_dim = 5 + 4 + 6;
  std::string text;
  for (int i = 0; i < 200; ++i) text += "New York Price: $1,200.50 on March 5, 2020; Call (555) 123-4567 now. ";
  const auto units = paragraph(text);
  const std::vector<float> expected = f.compute(units);
  std::vector<std::vector<float>> results(8);
  std::vector<std::thread> threads;
  for (auto& result : results) {
    threads.emplace_back([&] {
      for (int round = 0; round < 5; ++round) result = f.compute(units);
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& result : results) EXPECT_EQ(result, expected);
}

TEST(KnownFeatures, ExactNames) {
  for (const char* name : {"space_before", "capitalized", "numeric", "end_of_para", "start_of_para",
                           "labeled_field", "phone_id", "date_pattern", "currency"}) {
    EXPECT_TRUE(is_known_tokenizer_feature(name)) << name;
  }
  for (const char* name : {"dictionary", "Numeric", "numeric ", "", "email_or_url"}) {
    EXPECT_FALSE(is_known_tokenizer_feature(name)) << name;
  }
}

}  // namespace
}  // namespace lorvane::detail
