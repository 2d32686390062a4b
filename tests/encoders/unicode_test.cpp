#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unicode/locid.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "encoders/unicode/unicode.hpp"
#include "encoders/unicode/unicode_lookup.hpp"
#include "encoders/unicode/unicode_tables.hpp"
#include "support/test_support.hpp"

namespace lorvane::detail {
namespace {

using testing::utf8;

std::string u_plus(char32_t c) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "U+%04X", static_cast<unsigned>(c));
  return buffer;
}

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (const int v : values) out += static_cast<char>(v);
  return out;
}

// ---------------------------------------------------------------------------
// Strict decoding

TEST(DecodeUtf8, DecodesEveryLengthAtItsBoundaries) {
  EXPECT_EQ(decode_utf8(""), std::vector<char32_t>{});
  EXPECT_EQ(decode_utf8(std::string("a\0b", 3)), (std::vector<char32_t>{'a', 0, 'b'}));
  EXPECT_EQ(decode_utf8(bytes({0x7F, 0xC2, 0x80, 0xDF, 0xBF, 0xE0, 0xA0, 0x80, 0xEF, 0xBF, 0xBF,
                               0xF0, 0x90, 0x80, 0x80, 0xF4, 0x8F, 0xBF, 0xBF})),
            (std::vector<char32_t>{0x7F, 0x80, 0x7FF, 0x800, 0xFFFF, 0x10000, 0x10FFFF}));
  // The last scalar values around the surrogate block are valid.
  EXPECT_EQ(decode_utf8(bytes({0xED, 0x9F, 0xBF, 0xEE, 0x80, 0x80})),
            (std::vector<char32_t>{0xD7FF, 0xE000}));
}

TEST(AppendUtf8, EncodesEveryLengthAtItsBoundaries) {
  const std::vector<std::pair<char32_t, std::string>> cases = {
      {0x00, std::string(1, '\0')},
      {0x7F, bytes({0x7F})},
      {0x80, bytes({0xC2, 0x80})},
      {0x7FF, bytes({0xDF, 0xBF})},
      {0x800, bytes({0xE0, 0xA0, 0x80})},
      {0xFFFF, bytes({0xEF, 0xBF, 0xBF})},
      {0x10000, bytes({0xF0, 0x90, 0x80, 0x80})},
      {0x10FFFF, bytes({0xF4, 0x8F, 0xBF, 0xBF})},
  };
  for (const auto& [code_point, expected] : cases) {
    std::string out = "x";
    append_utf8(code_point, out);
    EXPECT_EQ(out, "x" + expected) << u_plus(code_point);
  }
}

struct Malformed {
  const char* name;
  std::string text;
  std::size_t offset;
};

const std::vector<Malformed>& malformed_cases() {
  static const std::vector<Malformed> cases = {
      {"continuation_byte_as_lead", "abc" + bytes({0x80}), 3},
      {"lead_byte_F8", bytes({0xF8, 0x88, 0x80, 0x80, 0x80}), 0},
      {"lead_byte_FF", "a" + bytes({0xFF}), 1},
      {"truncated_three_byte", bytes({0xE2, 0x82}), 0},
      {"truncated_at_end_of_text", "ab" + bytes({0xF0, 0x9F, 0x98}), 2},
      {"bad_first_continuation", bytes({0xE2, 0x28, 0xA1}), 1},
      {"bad_last_continuation", bytes({0xF0, 0x9F, 0x98, 0x41}), 3},
      {"overlong_two_byte", bytes({0xC0, 0xAF}), 0},
      {"overlong_three_byte", bytes({0xE0, 0x9F, 0xBF}), 0},
      {"overlong_four_byte", bytes({0xF0, 0x8F, 0xBF, 0xBF}), 0},
      {"surrogate_high", bytes({0xED, 0xA0, 0x80}), 0},
      {"surrogate_low", "x" + bytes({0xED, 0xBF, 0xBF}), 1},
      {"above_10FFFF", bytes({0xF4, 0x90, 0x80, 0x80}), 0},
      {"lead_F5", bytes({0xF5, 0x80, 0x80, 0x80}), 0},
      {"error_after_valid_multibyte", utf8({0x00E9, 0x4E2D}) + bytes({0xC3}), 5},
  };
  return cases;
}

const std::vector<std::pair<const char*, std::function<void(std::string_view)>>>& all_decoding_functions() {
  static const std::vector<std::pair<const char*, std::function<void(std::string_view)>>> functions = {
      {"decode_utf8", [](std::string_view t) { decode_utf8(t); }},
      {"unicode_is_upper", [](std::string_view t) { unicode_is_upper(t); }},
      {"unicode_is_lower", [](std::string_view t) { unicode_is_lower(t); }},
      {"unicode_upper", [](std::string_view t) { unicode_upper(t); }},
      {"unicode_lower", [](std::string_view t) { unicode_lower(t); }},
  };
  return functions;
}

class MalformedUtf8 : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedUtf8, EveryCaseFunctionReportsTheOffset) {
  const Malformed& c = GetParam();
  const std::string message = "invalid UTF-8 sequence at byte offset " + std::to_string(c.offset);
  for (const auto& [name, function] : all_decoding_functions()) {
    SCOPED_TRACE(name);
    EXPECT_THROW_MSG(function(c.text), std::invalid_argument, message);
  }
}

INSTANTIATE_TEST_SUITE_P(AllClasses, MalformedUtf8, ::testing::ValuesIn(malformed_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// A cased answer must not come back before the whole text was checked.
TEST(UnicodeCaseTests, CheckTheWholeTextBeforeAnswering) {
  const std::string lower_then_bad = "a" + bytes({0xFF});   // is_upper could stop at 'a'
  const std::string upper_then_bad = "A" + bytes({0xFF});
  EXPECT_THROW_MSG(unicode_is_upper(lower_then_bad), std::invalid_argument,
                   "invalid UTF-8 sequence at byte offset 1");
  EXPECT_THROW_MSG(unicode_is_lower(upper_then_bad), std::invalid_argument,
                   "invalid UTF-8 sequence at byte offset 1");
}

// ---------------------------------------------------------------------------
// Case tests

struct CaseTest {
  std::string text;
  bool upper;
  bool lower;
};

TEST(UnicodeCaseTests, Table) {
  const std::vector<CaseTest> cases = {
      {"", false, false},
      {"123", false, false},
      {"!?", false, false},
      {" ", false, false},
      {utf8({0x4E2D, 0x6587}), false, false},  // CJK is uncased
      {"Ab", false, false},
      {"ABC-1", true, false},
      {"abc-1", false, true},
      {"A", true, false},
      {"Z", true, false},
      {"@", false, false},  // just below 'A'
      {"[", false, false},  // just above 'Z'
      {utf8({0x01C5}), false, false},       // titlecase Dz with caron
      {utf8({'A', 0x01C5}), false, false},
      {utf8({'a', 0x01C5}), false, false},
      {utf8({0x01C4}), true, false},
      {utf8({0x01C6}), false, true},
      {utf8({0x03A3, 0x0391, 0x03A3}), true, false},
      {utf8({0x03C3, 0x03B1, 0x03C2}), false, true},
      {utf8({0x00DF}), false, true},
      {utf8({0x1E9E}), true, false},
      {utf8({0x24B6}), true, false},  // Other_Uppercase: circled capital A
      {utf8({0x24CF}), true, false},
      {utf8({0x24D0}), false, true},
      {utf8({0x00AA}), false, true},  // Other_Lowercase, category Lo
      {utf8({0x02B0}), false, true},
      {utf8({0x02B8}), false, true},
      {utf8({0x0345}), false, true},   // combining ypogegrammeni is cased
      {utf8({0x1E02F}), false, false},
      {utf8({0x1E030}), false, true},
      {utf8({0x1E06D}), false, true},
      {utf8({0x1E06E}), false, false},
      {utf8({0x10400}), true, false},
      {utf8({0x10428}), false, true},
      {utf8({0x2160}), true, false},   // Roman numeral one
      {utf8({0x2170}), false, true},
      {utf8({0x1F189}), true, false},  // last cased code point
      {utf8({0x1F18A}), false, false},
      {utf8({0x10FFFF}), false, false},
      {utf8({'D', 'E', ' ', 0x4E2D, '!'}), true, false},
      {utf8({'d', 'e', ' ', 0x4E2D, '!'}), false, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(unicode_is_upper(c.text), c.upper) << "text: " << c.text;
    EXPECT_EQ(unicode_is_lower(c.text), c.lower) << "text: " << c.text;
  }
}

// ---------------------------------------------------------------------------
// Case mappings

struct CaseMappingCase {
  const char* name;
  std::string text;
  std::string upper;
  std::string lower;
};

TEST(UnicodeCaseMappings, Table) {
  const std::vector<CaseMappingCase> cases = {
      {"empty", "", "", ""},
      {"ascii", "Hello, World 42", "HELLO, WORLD 42", "hello, world 42"},
      {"uncased_kept", utf8({0x4E2D, '-', 0x0661}), utf8({0x4E2D, '-', 0x0661}),
       utf8({0x4E2D, '-', 0x0661})},
      {"no_final_sigma", utf8({0x03A3, 0x0391, 0x03A3}), utf8({0x03A3, 0x0391, 0x03A3}),
       utf8({0x03C3, 0x03B1, 0x03C3})},
      {"final_sigma_uppercases", utf8({0x03C2}), utf8({0x03A3}), utf8({0x03C2})},
      {"sharp_s", utf8({0x00DF}), "SS", utf8({0x00DF})},
      {"capital_sharp_s", utf8({0x1E9E}), utf8({0x1E9E}), utf8({0x00DF})},
      {"dotted_capital_i", utf8({0x0130}), utf8({0x0130}), utf8({0x0069, 0x0307})},
      {"dotless_i", utf8({0x0131}), "I", utf8({0x0131})},
      {"no_turkish_rule", "Ii", "II", "ii"},
      {"long_s", utf8({0x017F}), "S", utf8({0x017F})},
      {"kelvin", utf8({0x212A}), utf8({0x212A}), "k"},
      {"theta_symbol", utf8({0x03F4}), utf8({0x03F4}), utf8({0x03B8})},
      {"titlecase_dz", utf8({0x01C5}), utf8({0x01C4}), utf8({0x01C6})},
      {"n_preceded_by_apostrophe", utf8({0x0149}), utf8({0x02BC, 0x004E}), utf8({0x0149})},
      {"j_with_caron", utf8({0x01F0}), utf8({0x004A, 0x030C}), utf8({0x01F0})},
      {"iota_dialytika_tonos", utf8({0x0390}), utf8({0x0399, 0x0308, 0x0301}), utf8({0x0390})},
      {"armenian_ech_yiwn", utf8({0x0587}), utf8({0x0535, 0x0552}), utf8({0x0587})},
      {"a_right_half_ring", utf8({0x1E9A}), utf8({0x0041, 0x02BE}), utf8({0x1E9A})},
      {"alpha_psili_ypogegrammeni", utf8({0x1F80}), utf8({0x1F08, 0x0399}), utf8({0x1F80})},
      {"alpha_psili_prosgegrammeni", utf8({0x1F88}), utf8({0x1F08, 0x0399}), utf8({0x1F80})},
      {"alpha_ypogegrammeni", utf8({0x1FB3}), utf8({0x0391, 0x0399}), utf8({0x1FB3})},
      {"alpha_prosgegrammeni", utf8({0x1FBC}), utf8({0x0391, 0x0399}), utf8({0x1FB3})},
      {"ff_ligature", utf8({0xFB00}), "FF", utf8({0xFB00})},
      {"ffi_ligature", utf8({0xFB03}), "FFI", utf8({0xFB03})},
      {"long_st_ligature", utf8({0xFB05}), "ST", utf8({0xFB05})},
      {"st_ligature", utf8({0xFB06}), "ST", utf8({0xFB06})},
      {"men_now_ligature", utf8({0xFB13}), utf8({0x0544, 0x0546}), utf8({0xFB13})},
      {"supplementary", utf8({0x10400, 0x10428}), utf8({0x10400, 0x10400}),
       utf8({0x10428, 0x10428})},
      {"mixed_lengths", utf8({'a', 0x00DF, 0x0130, 0x1E900}), utf8({'A', 'S', 'S', 0x0130, 0x1E900}),
       utf8({'a', 0x00DF, 'i', 0x0307, 0x1E922})},
      {"nul_kept", std::string("A\0b", 3), std::string("A\0B", 3), std::string("a\0b", 3)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(unicode_upper(c.text), c.upper);
    EXPECT_EQ(unicode_lower(c.text), c.lower);
  }
}

// ASCII takes a shortcut past the tables; it must give the tables' answers.
TEST(UnicodeCaseMappings, AsciiAgreesWithTheTables) {
  auto mapped = [](std::span<const CaseMapping> pairs, char32_t c) {
    const CaseMapping* pair = find_entry(pairs, c);
    return std::string(1, static_cast<char>(pair ? pair->mapped : c));
  };
  for (char32_t c = 0; c < 0x80; ++c) {
    const std::string text(1, static_cast<char>(c));
    EXPECT_EQ(unicode_upper(text), mapped(kUppercasePairs, c)) << u_plus(c);
    EXPECT_EQ(unicode_lower(text), mapped(kLowercasePairs, c)) << u_plus(c);
  }
}

// The code points with a multi-code-point uppercase mapping, as documented.
std::set<char32_t> documented_uppercase_specials() {
  const std::vector<std::pair<char32_t, char32_t>> ranges = {
      {0x00DF, 0x00DF}, {0x0149, 0x0149}, {0x01F0, 0x01F0}, {0x0390, 0x0390}, {0x03B0, 0x03B0},
      {0x0587, 0x0587}, {0x1E96, 0x1E9A}, {0x1F50, 0x1F50}, {0x1F52, 0x1F52}, {0x1F54, 0x1F54},
      {0x1F56, 0x1F56}, {0x1F80, 0x1FAF}, {0x1FB2, 0x1FB4}, {0x1FB6, 0x1FB7}, {0x1FBC, 0x1FBC},
      {0x1FC2, 0x1FC4}, {0x1FC6, 0x1FC7}, {0x1FCC, 0x1FCC}, {0x1FD2, 0x1FD3}, {0x1FD6, 0x1FD7},
      {0x1FE2, 0x1FE4}, {0x1FE6, 0x1FE7}, {0x1FF2, 0x1FF4}, {0x1FF6, 0x1FF7}, {0x1FFC, 0x1FFC},
      {0xFB00, 0xFB06}, {0xFB13, 0xFB17}};
  std::set<char32_t> out;
  for (const auto& [first, last] : ranges) {
    for (char32_t c = first; c <= last; ++c) out.insert(c);
  }
  return out;
}

TEST(UnicodeCaseMappings, UppercaseSpecialsCoverExactlyTheDocumentedCodePoints) {
  std::set<char32_t> actual;
  for (const auto& entry : kUppercaseSpecials) actual.insert(entry.code_point);
  EXPECT_EQ(actual, documented_uppercase_specials());
}

// Every special changes the byte length or code-point count; both functions
// must carry the whole expansion through.
TEST(UnicodeCaseMappings, EverySpecialIsAppliedWhole) {
  for (const auto& entry : kUppercaseSpecials) {
    std::string expected;
    for (std::uint32_t k = 0; k < entry.length; ++k) expected += utf8({entry.mapped[k]});
    EXPECT_EQ(unicode_upper(utf8({entry.code_point})), expected);
    EXPECT_EQ(decode_utf8(unicode_upper(utf8({'x', entry.code_point, 'y'}))).size(), entry.length + 2u);
  }
}

// ---------------------------------------------------------------------------
// Generated tables: a hand edit of unicode_tables.cpp must not go unnoticed.

void expect_sorted_maximal(std::span<const CodePointRange> ranges, const char* name) {
  SCOPED_TRACE(name);
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    EXPECT_LE(ranges[i].first, ranges[i].last) << i;
    EXPECT_LE(ranges[i].last, 0x10FFFFu) << i;
    if (i > 0) {
      EXPECT_GT(ranges[i].first, ranges[i - 1].last + 1) << "ranges touch or overlap at " << i;
    }
  }
}

template <class Entry>
void expect_sorted_unique(std::span<const Entry> table, const char* name) {
  SCOPED_TRACE(name);
  for (std::size_t i = 1; i < table.size(); ++i) {
    EXPECT_LT(table[i - 1].code_point, table[i].code_point) << i;
  }
}

TEST(UnicodeTables, SizesAreThoseOfUnicode15_1) {
  EXPECT_EQ(kCasedRanges.size(), 157u);
  EXPECT_EQ(kUppercaseRanges.size(), 651u);
  EXPECT_EQ(kLowercaseRanges.size(), 671u);
  EXPECT_EQ(kUppercasePairs.size(), 1423u);
  EXPECT_EQ(kUppercaseSpecials.size(), 102u);
  EXPECT_EQ(kLowercasePairs.size(), 1432u);
  EXPECT_EQ(kLowercaseSpecials.size(), 1u);
  std::size_t two = 0, three = 0;
  for (const auto& e : kUppercaseSpecials) (e.length == 2 ? two : three) += 1;
  EXPECT_EQ(two, 86u);
  EXPECT_EQ(three, 16u);
  ASSERT_EQ(kLowercaseSpecials.size(), 1u);
  EXPECT_EQ(kLowercaseSpecials[0].code_point, 0x0130u);
  EXPECT_EQ(kLowercaseSpecials[0].length, 2u);
  EXPECT_EQ(kLowercaseSpecials[0].mapped[0], 0x0069u);
  EXPECT_EQ(kLowercaseSpecials[0].mapped[1], 0x0307u);
}

TEST(UnicodeTables, RangesAreSortedAndMaximal) {
  expect_sorted_maximal(kCasedRanges, "cased");
  expect_sorted_maximal(kUppercaseRanges, "uppercase");
  expect_sorted_maximal(kLowercaseRanges, "lowercase");
  expect_sorted_maximal(kDecimalDigitRanges15_0, "decimal digits");
}

TEST(UnicodeTables, MapsAreSortedUniqueAndDisjoint) {
  expect_sorted_unique(kUppercasePairs, "upper pairs");
  expect_sorted_unique(kLowercasePairs, "lower pairs");
  expect_sorted_unique(kUppercaseSpecials, "upper specials");
  expect_sorted_unique(kLowercaseSpecials, "lower specials");
  for (const auto& pair : kUppercasePairs) {
    EXPECT_NE(pair.code_point, pair.mapped);
    EXPECT_EQ(find_entry(kUppercaseSpecials, pair.code_point), nullptr) << u_plus(pair.code_point);
  }
  for (const auto& pair : kLowercasePairs) {
    EXPECT_NE(pair.code_point, pair.mapped);
    EXPECT_EQ(find_entry(kLowercaseSpecials, pair.code_point), nullptr) << u_plus(pair.code_point);
  }
  for (const auto& special : kUppercaseSpecials) {
    EXPECT_TRUE(special.length == 2 || special.length == 3) << u_plus(special.code_point);
    if (special.length == 2) {
      EXPECT_EQ(special.mapped[2], 0u) << u_plus(special.code_point);
    }
  }
}

TEST(UnicodeTables, UppercaseAndLowercaseAreCased) {
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    const bool cased = in_ranges(kCasedRanges, c);
    if (in_ranges(kUppercaseRanges, c) || in_ranges(kLowercaseRanges, c)) {
      ASSERT_TRUE(cased) << u_plus(c);
    }
  }
}

// The look-up helpers against tables expanded into one slot per code point.
TEST(UnicodeTables, BinarySearchAgreesWithExpandedTables) {
  for (const auto* table : {&kCasedRanges, &kUppercaseRanges, &kLowercaseRanges, &kDecimalDigitRanges15_0}) {
    std::vector<bool> member(0x110000, false);
    for (const auto& r : *table) {
      for (char32_t c = r.first; c <= r.last; ++c) member[c] = true;
    }
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
      ASSERT_EQ(in_ranges(*table, c), member[c]) << u_plus(c);
    }
  }
  for (const auto* table : {&kUppercasePairs, &kLowercasePairs}) {
    std::vector<const CaseMapping*> entry(0x110000, nullptr);
    for (const auto& pair : *table) entry[pair.code_point] = &pair;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
      ASSERT_EQ(find_entry(*table, c), entry[c]) << u_plus(c);
    }
  }
}

// ---------------------------------------------------------------------------
// Decimal digits (Unicode 15.0)

TEST(DecimalDigits15_0, Table) {
  const std::vector<std::pair<char32_t, bool>> cases = {
      {'0', true},      {'9', true},      {'/', false},     {':', false},
      {0x0660, true},   {0x0661, true},   {0x0669, true},   {0x066A, false},
      {0x00B2, false},  {0x00BD, false},  {0x2160, false},  {0x4E00, false},
      {0x11F4F, false}, {0x11F50, true},  {0x11F59, true},  {0x11F5A, false},
      {0x1E4EF, false}, {0x1E4F0, true},  {0x1E4F9, true},  {0x1E4FA, false},
      {0x10D40, false}, {0x10D49, false},  // Nd only from Unicode 16.0
      {0x1D7CD, false}, {0x1D7CE, true},  {0x1D7FF, true},  {0x1D800, false},
      {0x1FBEF, false}, {0x1FBF0, true},  {0x1FBF9, true},  {0x1FBFA, false},
      {0x10FFFF, false},
  };
  for (const auto& [c, expected] : cases) {
    EXPECT_EQ(is_decimal_digit_15_0(c), expected) << u_plus(c);
  }
}

TEST(DecimalDigits15_0, SixtyFourRangesOfTenExceptTheMathematicalDigits) {
  ASSERT_EQ(kDecimalDigitRanges15_0.size(), 64u);
  EXPECT_EQ(kDecimalDigitRanges15_0.front().first, 0x30u);
  EXPECT_EQ(kDecimalDigitRanges15_0.front().last, 0x39u);
  EXPECT_EQ(kDecimalDigitRanges15_0.back().first, 0x1FBF0u);
  EXPECT_EQ(kDecimalDigitRanges15_0.back().last, 0x1FBF9u);
  for (const auto& r : kDecimalDigitRanges15_0) {
    const bool mathematical = r.first == 0x1D7CE && r.last == 0x1D7FF;
    EXPECT_EQ(r.last - r.first + 1, mathematical ? 50u : 10u) << u_plus(r.first);
  }
}

// ---------------------------------------------------------------------------
// NFKC + case folding + NFC

TEST(UnicodeNfkcCasefoldNfc, Table) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {utf8({0xFB01}), "fi"},
      {utf8({0xFF21}), "a"},
      {utf8({0x00DF}), "ss"},
      {"Hello", "hello"},
      {utf8({'e', 0x0301}), utf8({0x00E9})},   // recomposed after folding
      {utf8({0x212B}), utf8({0x00E5})},        // angstrom sign
      {utf8({0x01C5}), utf8({'d', 0x017E})},   // compatibility split, folded, composed
      {utf8({0x2460}), "1"},                   // circled digit one
      {utf8({0x0130}), utf8({'i', 0x0307})},
      {utf8({0x03A3, 0x0391, 0x03A3}), utf8({0x03C3, 0x03B1, 0x03C3})},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(unicode_nfkc_casefold_nfc(text), expected) << "text: " << text;
  }
}

// Ill-formed input is not refused here: ICU's conversion substitutes U+FFFD.
TEST(UnicodeNfkcCasefoldNfc, IllFormedBytesBecomeReplacementCharacters) {
  EXPECT_EQ(unicode_nfkc_casefold_nfc("A" + bytes({0xFF}) + "B"), utf8({'a', 0xFFFD, 'b'}));
  EXPECT_EQ(unicode_nfkc_casefold_nfc(bytes({0xED, 0xA0, 0x80})).find("\xEF\xBF\xBD"), 0u);
}

// ICU measures strings in int32_t; a longer text must be refused rather than
// silently cut. The view is over untouched, unreserved address space.
TEST(UnicodeNfkcCasefoldNfc, RefusesTextsLongerThanIcuCanMeasure) {
  const std::size_t size = static_cast<std::size_t>(std::numeric_limits<int32_t>::max()) + 1;
  void* memory = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (memory == MAP_FAILED) GTEST_SKIP() << "cannot reserve 2 GiB of address space";
  const std::string_view text(static_cast<const char*>(memory), size);
  EXPECT_THROW_MSG(unicode_nfkc_casefold_nfc(text), std::invalid_argument,
                   "text is too long for ICU normalization");
  munmap(memory, size);
}

// None of the helpers may follow ICU's default locale (a Turkish default
// would map I to dotless i).
TEST(UnicodeHelpers, IgnoreTheDefaultLocale) {
  const icu::Locale saved = icu::Locale::getDefault();
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(icu::Locale("tr", "TR"), status);
  ASSERT_TRUE(U_SUCCESS(status));
  const std::string lower = unicode_lower("I");
  const std::string upper = unicode_upper("i");
  const std::string folded = unicode_nfkc_casefold_nfc("I");
  icu::Locale::setDefault(saved, status);
  EXPECT_EQ(lower, "i");
  EXPECT_EQ(upper, "I");
  EXPECT_EQ(folded, "i");
}

TEST(UnicodeHelpers, ConcurrentCallsAgreeWithSequentialOnes) {
  const std::string text = utf8({'A', 0x00DF, 0x03A3, 0xFB03, 0x0130, 0xFF21, 0x10400, ' ', 0x4E2D});
  const std::string lower = unicode_lower(text), upper = unicode_upper(text);
  const std::string folded = unicode_nfkc_casefold_nfc(text);
  std::vector<std::thread> threads;
  std::array<int, 4> failures{};
  for (std::size_t t = 0; t < failures.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        failures[t] += unicode_lower(text) != lower;
        failures[t] += unicode_upper(text) != upper;
        failures[t] += unicode_nfkc_casefold_nfc(text) != folded;
        failures[t] += unicode_is_upper(text) || unicode_is_lower(text);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (const int f : failures) EXPECT_EQ(f, 0);
}

// ---------------------------------------------------------------------------
// Every code point against an independent source: CPython's own Unicode data.

std::string hex(char32_t c) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%X", static_cast<unsigned>(c));
  return buffer;
}

std::string hex_sequence(const std::string& text) {
  std::string out;
  for (const char32_t c : decode_utf8(text)) {
    if (!out.empty()) out += ',';
    out += hex(c);
  }
  return out;
}

void compare_with_python(const std::string& python, const std::string& version, const char* kind,
                         const std::function<std::string(char32_t)>& line_of) {
  testing::TempDir dir;
  const auto dump = dir / "dump.txt";
  {
    std::ofstream out(dump);
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
      if (c >= 0xD800 && c <= 0xDFFF) continue;
      out << line_of(c) << '\n';
    }
  }
  const auto script = testing::source_dir() / "tests" / "encoders" / "unicode_case_check.py";
  testing::run_command(testing::shell_quote(python) + " " + testing::shell_quote(script.string()) + " " +
                       testing::shell_quote(dump.string()) + " " + version + " " + kind);
}

TEST(UnicodeCrossCheck, EveryCodePointAgreesWithPythonUnicode15_1) {
  const auto python = testing::python_with_unicode_15_1();
  if (!python) GTEST_SKIP() << "no Python with Unicode 15.1.0 (set LORVANE_PY315)";
  compare_with_python(*python, "15.1.0", "case", [](char32_t c) {
    const std::string text = utf8({c});
    return hex(c) + " " + hex_sequence(unicode_upper(text)) + " " + hex_sequence(unicode_lower(text)) + " " +
           (unicode_is_upper(text) ? "1" : "0") + " " + (unicode_is_lower(text) ? "1" : "0");
  });
}

TEST(UnicodeCrossCheck, DecimalDigitsAgreeWithPythonUnicode15_0) {
  const auto python = testing::python_with_unicode("LORVANE_PY150", "/root/.pyenv/versions/3.12.1/bin/python", "15.0.0");
  if (!python) GTEST_SKIP() << "no Python with Unicode 15.0.0 (set LORVANE_PY150)";
  compare_with_python(*python, "15.0.0", "digit",
                      [](char32_t c) { return hex(c) + (is_decimal_digit_15_0(c) ? " 1" : " 0"); });
}

}  // namespace
}  // namespace lorvane::detail
