// The tokenizer's pattern matchers against std::regex (ECMAScript, over bytes,
// as the patterns are defined), on random inputs built from each pattern's own
// alphabet, on the documented examples, and on megabyte runs that std::regex
// cannot handle.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <random>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "models/tokenizer/text/patterns.hpp"
#include "support/test_support.hpp"
#include "tokenizer/tokenizer_text_support.hpp"

namespace lorvane::detail {
namespace {

using Matches = std::vector<PatternMatch>;
using testing::kAllPatterns;
using testing::pattern_name;

// The input as a C string literal, for failure messages.
std::string escaped(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '"' || byte == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", byte);
      out += hex;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string describe(const Matches& matches) {
  std::string out;
  for (const PatternMatch& m : matches) {
    out += "(" + std::to_string(m.position) + "," + std::to_string(m.length) + ")";
  }
  return out.empty() ? "none" : out;
}

// The reference: the ECMAScript text compiled by std::regex, enumerated by
// std::sregex_iterator with default flags. Only for short inputs: its
// recursive matcher overflows the stack on long runs.
const std::regex& reference_regex(TokenizerPattern pattern) {
  static const std::vector<std::regex> compiled = [] {
    std::vector<std::regex> out;
    for (const TokenizerPattern p : kAllPatterns) {
      const std::string source(ecmascript_source(p));
      out.emplace_back(source, std::regex::ECMAScript | std::regex::optimize);
    }
    return out;
  }();
  return compiled[static_cast<std::size_t>(pattern)];
}

Matches reference_matches(TokenizerPattern pattern, const std::string& text) {
  Matches out;
  for (std::sregex_iterator it(text.begin(), text.end(), reference_regex(pattern)), end; it != end;
       ++it) {
    out.push_back({static_cast<std::size_t>(it->position(0)),
                   static_cast<std::size_t>(it->length(0))});
  }
  return out;
}

TEST(PatternSources, AreTheFixedEcmaScriptTexts) {
  EXPECT_EQ(ecmascript_source(TokenizerPattern::email_or_url).size(), 735u);
  EXPECT_EQ(ecmascript_source(TokenizerPattern::labeled_field),
            R"(\b[A-Z][a-zA-Z]*(?:\s[A-Z][a-zA-Z]*){0,2}\s*:)");
  EXPECT_EQ(ecmascript_source(TokenizerPattern::currency), R"(\$\s?[0-9][0-9,]*(?:\.[0-9]+)?)");
  const std::string_view email = ecmascript_source(TokenizerPattern::email_or_url);
  EXPECT_TRUE(email.starts_with(R"((?:(?:[a-z0-9!#$%&'*+/=?^_`{|}~-]+)"));
  EXPECT_TRUE(email.ends_with(R"([a-zA-Z0-9]+\.(?:gov|org|edu|net|com|co)(?:\.[^\s"]{2,})))"));
  EXPECT_EQ(std::count(email.begin(), email.end(), '`'), 2);
  EXPECT_EQ(std::count(email.begin(), email.end(), '"'), 7);
}

TEST(PatternSources, NoPatternMatchesTheEmptyText) {
  for (const TokenizerPattern pattern : kAllPatterns) {
    SCOPED_TRACE(pattern_name(pattern));
    EXPECT_FALSE(std::regex_search(std::string(), reference_regex(pattern)));
    EXPECT_TRUE(find_pattern_matches(pattern, "").empty());
    EXPECT_TRUE(find_pattern_matches_backtracking(pattern, "").empty());
  }
}

// ---------------------------------------------------------------------------
// Random inputs against std::regex

std::vector<std::string> alphabet(TokenizerPattern pattern) {
  const std::vector<std::string> shared = {" ", "\t", "\v", "\n", "\f", "\r", "_", "\xC3\xA9",
                                           "\xE2\x82\xAC", "a", "Z", "0", "7"};
  std::vector<std::string> own;
  switch (pattern) {
    case TokenizerPattern::labeled_field:
      own = {"A", "B", "Price", "Name", "Ab", "x", "z", ":", ":", ": ", "1", "-", "  "};
      break;
    case TokenizerPattern::phone_id:
      own = {"1", "2", "555", "123", "4567", "12", "(", ")", "-", "-", "x", "x", "(555)", "a"};
      break;
    case TokenizerPattern::date_pattern:
      own = {"January", "February", "March",   "April",    "May",     "June",   "July",
             "August",  "September", "October", "November", "December", "Ma",    "1",
             "2",       "12",      "31",      "/",        "/",       "99",     "2020",
             ",",       "  ",      "a",       "0"};
      break;
    case TokenizerPattern::currency:
      own = {"$", "$", "$ ", "1", "9", "0", ",", ",", ".", ".", "12", "a", "-"};
      break;
    case TokenizerPattern::email_or_url:
      own = {"a",   "z",        "A",   "W",  "w",    "ww",   "www",   "www.", "http://", "https://",
             "http:/", "com",   "org", "edu", "gov", "net",  "co",    ".co.", "@",       "@[",
             ".",   ".",        "-",   "\"", "\"@",  "\\",   "[",     "]",    ":",       "1",
             "9",   "25",       "255", "1.2.3.", "!", "#",   "~",     "/",    "(",       ",",
             "$",   std::string(1, '\0'), "\x01", "\x7F", "x.com.", "bob"};
      break;
  }
  own.insert(own.end(), shared.begin(), shared.end());
  return own;
}

std::string digits(std::mt19937& rng, int min, int max) {
  std::string out(std::uniform_int_distribution<int>(min, max)(rng), '0');
  for (char& c : out) c = static_cast<char>('0' + rng() % 10);
  return out;
}

// Near-matches with random field widths, for the patterns whose matches are
// too structured to arise often from single pieces.
std::string fragment(TokenizerPattern pattern, std::mt19937& rng) {
  static const char* const months[] = {"January", "May", "June", "September", "December", "Mar"};
  const auto coin = [&rng] { return rng() % 2 == 0; };
  // Mostly one or two, sometimes none.
  const auto spaces = [&rng] {
    return std::string(rng() % 6 == 0 ? 0 : 1 + rng() % 2, rng() % 4 == 0 ? '\t' : ' ');
  };
  switch (pattern) {
    case TokenizerPattern::phone_id:
      switch (rng() % 3) {
        case 0:
          return "(" + digits(rng, 2, 4) + ")" + spaces() + digits(rng, 2, 4) + "-" +
                 digits(rng, 3, 5);
        case 1: return digits(rng, 2, 4) + "-" + digits(rng, 2, 4) + "-" + digits(rng, 3, 5);
        default: return "x" + digits(rng, 2, 6);
      }
    case TokenizerPattern::date_pattern:
      if (coin()) return digits(rng, 1, 3) + "/" + digits(rng, 1, 3) + "/" + digits(rng, 1, 5);
      return months[rng() % 6] + spaces() + digits(rng, 1, 3) + (coin() ? "," : "") + spaces() +
             digits(rng, 3, 5);
    default:
      return {};
  }
}

std::string random_text(TokenizerPattern pattern, std::mt19937& rng,
                        const std::vector<std::string>& pieces) {
  const std::size_t target = std::uniform_int_distribution<std::size_t>(0, 40)(rng);
  std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
  std::string text;
  while (text.size() < target) {
    const std::string structured = rng() % 3 == 0 ? fragment(pattern, rng) : std::string();
    if (structured.empty()) {
      text += pieces[pick(rng)];
    } else {
      text += (rng() % 2 == 0 ? " " : "") + structured;  // often with a word boundary
    }
  }
  return text;
}

class PatternDifferential : public ::testing::TestWithParam<TokenizerPattern> {};

TEST_P(PatternDifferential, MatchesStdRegexOnRandomInputs) {
  const TokenizerPattern pattern = GetParam();
  const std::vector<std::string> pieces = alphabet(pattern);
  std::mt19937 rng(20240611u + static_cast<unsigned>(pattern));
  int failures = 0;
  int texts_with_match = 0;
  int texts_for_backtracker = 0;
  for (int i = 0; i < 20000 && failures < 10; ++i) {
    const std::string text = random_text(pattern, rng, pieces);
    const Matches expected = reference_matches(pattern, text);
    const Matches actual = find_pattern_matches(pattern, text);
    const Matches backtracked = find_pattern_matches_backtracking(pattern, text);
    if (actual != expected || backtracked != expected) {
      ++failures;
      ADD_FAILURE() << "input " << escaped(text) << "\n  std::regex:   " << describe(expected)
                    << "\n  ours:         " << describe(actual)
                    << "\n  backtracking: " << describe(backtracked);
    }
    texts_with_match += !expected.empty();
    texts_for_backtracker +=
        text.find("\"@") != std::string::npos || text.find("@[") != std::string::npos;
  }
  // The comparison means something only if the alphabet produces matches, and
  // for addresses only if both engines behind find_pattern_matches ran often.
  EXPECT_GT(texts_with_match, 2000);
  if (pattern == TokenizerPattern::email_or_url) {
    EXPECT_GT(texts_for_backtracker, 2000);
    EXPECT_LT(texts_for_backtracker, 18000);
  }
}

INSTANTIATE_TEST_SUITE_P(AllPatterns, PatternDifferential, ::testing::ValuesIn(kAllPatterns),
                         [](const auto& info) { return std::string(pattern_name(info.param)); });

// ---------------------------------------------------------------------------
// Documented examples and edge cases, as unit marks

// One character per unit for ASCII text: '1' marked, '.' not.
std::string marks(const std::string& text, TokenizerPattern pattern) {
  std::vector<float> column(text.size(), 0.0f);
  mark_pattern_matches(text, pattern, column);
  std::string out;
  for (const float value : column) out += value == 1.0f ? '1' : '.';
  return out;
}

struct MarkCase {
  const char* name;
  TokenizerPattern pattern;
  std::string text;
  std::string expected;
};

void PrintTo(const MarkCase& c, std::ostream* os) { *os << c.name; }

class PatternMarks : public ::testing::TestWithParam<MarkCase> {};

TEST_P(PatternMarks, MarkTheCoveredUnits) {
  const MarkCase& c = GetParam();
  EXPECT_EQ(marks(c.text, c.pattern), c.expected) << escaped(c.text);
  // The reference agrees on these short texts.
  EXPECT_EQ(describe(find_pattern_matches(c.pattern, c.text)),
            describe(reference_matches(c.pattern, c.text)));
}

using TP = TokenizerPattern;
INSTANTIATE_TEST_SUITE_P(
    Examples, PatternMarks,
    ::testing::Values(
        MarkCase{"label_of_price", TP::labeled_field, "Price: $1,200.50", "111111.........."},
        MarkCase{"currency_of_price", TP::currency, "Price: $1,200.50", ".......111111111"},
        MarkCase{"phone_in_parentheses", TP::phone_id, "Call (555) 123-4567",
                 ".....11111111111111"},
        MarkCase{"month_day_year", TP::date_pattern, "March 5, 2020", "1111111111111"},
        MarkCase{"numeric_date", TP::date_pattern, "12/31/99", "11111111"},
        // \s includes the vertical tab; three capitalised words at most.
        MarkCase{"label_vertical_tab", TP::labeled_field, "Name\v:", "111111"},
        MarkCase{"label_four_words", TP::labeled_field, "Aa Bb Cc Dd:", "...111111111"},
        MarkCase{"label_inside_word", TP::labeled_field, "xName:", "......"},
        MarkCase{"phone_dashes_bounded", TP::phone_id, "555-123-45678", "............."},
        MarkCase{"phone_extension", TP::phone_id, "ext x12345 x123456", "....111111........"},
        MarkCase{"date_long_year_rejected", TP::date_pattern, "1/2/12345", "........."},
        MarkCase{"currency_decimal_needs_digit", TP::currency, "$ 5,0.x", "11111.."},
        // Capitals in the local part: only the part after the last one matches.
        MarkCase{"local_part_capitals", TP::email_or_url, "John.Smith@example.com",
                 "......1111111111111111"},
        MarkCase{"capital_before_at", TP::email_or_url, "Jane.DoE@example.com",
                 "...................."},
        MarkCase{"quoted_local_part", TP::email_or_url, "x \"a b\"@c.de", "............"},
        MarkCase{"quoted_escaped_space", TP::email_or_url, "x \"a\\ b\"@c.de",
                 "..11111111111"},
        MarkCase{"address_literal", TP::email_or_url, "a@[10.0.0.1] b", "111111111111.."},
        MarkCase{"tagged_literal", TP::email_or_url, "a@[1.2.3.v6:x]y]", "1111111111111111"},
        MarkCase{"url_with_www", TP::email_or_url, "see http://www.ab.cd/x", "....111111111111111111"},
        MarkCase{"url_host_starting_www", TP::email_or_url, "http://wwwab.cd", "..............."},
        MarkCase{"url_host_starting_ww", TP::email_or_url, "http://wwab.cd", "11111111111111"},
        MarkCase{"url_one_letter_host", TP::email_or_url, "http://w.ab", "11111111111"},
        MarkCase{"url_two_letter_host", TP::email_or_url, "http://ww.ab", "111111111111"},
        MarkCase{"url_www_then_short_host", TP::email_or_url, "http://www.ab", "............."},
        MarkCase{"url_ends_before_quote", TP::email_or_url, "www.ab.cd\"x", "111111111.."},
        // Bare names: the ending needs a further full stop and two characters.
        MarkCase{"bare_gov", TP::email_or_url, "x.gov.uk", "11111111"},
        MarkCase{"bare_org", TP::email_or_url, "x.org.uk", "11111111"},
        MarkCase{"bare_edu", TP::email_or_url, "x.edu.uk", "11111111"},
        MarkCase{"bare_net", TP::email_or_url, "x.net.uk", "11111111"},
        MarkCase{"bare_com", TP::email_or_url, "x.com.uk", "11111111"},
        MarkCase{"bare_co", TP::email_or_url, "x.co.uk", "1111111"},
        MarkCase{"bare_gov_alone", TP::email_or_url, "x.gov", "....."},
        MarkCase{"bare_org_alone", TP::email_or_url, "x.org", "....."},
        MarkCase{"bare_edu_alone", TP::email_or_url, "x.edu", "....."},
        MarkCase{"bare_net_alone", TP::email_or_url, "x.net", "....."},
        MarkCase{"bare_com_alone", TP::email_or_url, "x.com", "....."},
        MarkCase{"bare_co_alone", TP::email_or_url, "x.co", "...."},
        MarkCase{"bare_one_more_character", TP::email_or_url, "x.com.u", "......."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PatternMarks, TwoAdjacentMatchesMarkOneRunOfUnits) {
  EXPECT_EQ(marks("$1$2 $3", TP::currency), "1111.11");
  EXPECT_EQ(describe(find_pattern_matches(TP::currency, "$1$2 $3")), "(0,2)(2,2)(5,2)");
}

TEST(PatternMarks, OtherEntriesKeepTheirValues) {
  std::vector<float> column = {0.25f, 0.5f, 0.0f, 0.75f, 2.0f};
  mark_pattern_matches("a $12", TP::currency, column);
  EXPECT_EQ(column, (std::vector<float>{0.25f, 0.5f, 1.0f, 1.0f, 1.0f}));
}

// Units are cut by their lead bytes. These units are not valid UTF-8, but they
// are the only way to put a match boundary inside a unit: every pattern starts
// and ends its matches at ASCII bytes of well-formed text.
TEST(PatternMarks, MatchBeginningInsideAUnitMarksIt) {
  // Units: [E2 'a' '.'] c o m . x x
  const std::string text = "\xE2" "a.com.xx";
  std::vector<float> column(7, 0.0f);
  mark_pattern_matches(text, TP::email_or_url, column);
  EXPECT_EQ(describe(find_pattern_matches(TP::email_or_url, text)), "(1,8)");
  EXPECT_EQ(column, std::vector<float>(7, 1.0f));
}

TEST(PatternMarks, MatchEndingInsideAUnitDoesNotMarkIt) {
  // Units: a . c o m . x x [E2 ' ' 'y'] z; the match takes E2 and stops at the space.
  const std::string text = "a.com.xx\xE2 yz";
  std::vector<float> column(10, 0.0f);
  mark_pattern_matches(text, TP::email_or_url, column);
  EXPECT_EQ(describe(find_pattern_matches(TP::email_or_url, text)), "(0,9)");
  EXPECT_EQ(column, (std::vector<float>{1, 1, 1, 1, 1, 1, 1, 1, 0, 0}));
}

TEST(PatternMarks, MultiByteUnitsInsideAMatchAreMarked) {
  // a . c o m . [C3 A9] [E2 82 AC] x and a space: ten units, the first nine marked.
  const std::string text = "a.com.\xC3\xA9\xE2\x82\xACx ";
  std::vector<float> column(10, 0.0f);
  mark_pattern_matches(text, TP::email_or_url, column);
  EXPECT_EQ(column, (std::vector<float>{1, 1, 1, 1, 1, 1, 1, 1, 1, 0}));
}

struct MismatchCase {
  const char* name;
  std::string text;
  std::size_t units;
  const char* message;
};

void PrintTo(const MismatchCase& c, std::ostream* os) { *os << c.name; }

class PatternMarksMismatch : public ::testing::TestWithParam<MismatchCase> {};

TEST_P(PatternMarksMismatch, TextThatIsNotTheUnitsIsRefused) {
  const MismatchCase& c = GetParam();
  std::vector<float> column(c.units, 0.5f);
  EXPECT_THROW_MSG(mark_pattern_matches(c.text, TP::currency, column), std::invalid_argument,
                   c.message);
  EXPECT_EQ(column, std::vector<float>(c.units, 0.5f));  // nothing written
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PatternMarksMismatch,
    ::testing::Values(
        MismatchCase{"more_units_than_text", "$1", 3, "joined text does not split into 3 units"},
        MismatchCase{"fewer_units_than_text", "$12", 2, "joined text does not split into 2 units"},
        MismatchCase{"units_for_empty_text", "", 1, "joined text does not split into 1 units"},
        MismatchCase{"text_for_no_units", "$", 0, "joined text does not split into 0 units"},
        MismatchCase{"truncated_last_unit", "$1\xE2\x82", 3,
                     "joined text does not split into 3 units"},
        MismatchCase{"continuation_byte_counts_four", "\x80$1", 3,
                     "joined text does not split into 3 units"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PatternMarks, EmptyTextAndNoUnits) {
  std::vector<float> column;
  mark_pattern_matches("", TP::email_or_url, column);
  EXPECT_TRUE(column.empty());
}

// ---------------------------------------------------------------------------
// Megabyte runs. std::regex is not run on these: its matcher recurses once per
// repeated character, so "$" plus 40,000 digits ([0-9,]*), a capital plus
// 50,000 letters ([a-zA-Z]*), a month name plus a long run of spaces (\s+) or
// a long e-mail local part ([a-z0-9...]+) overflow the stack and kill the
// process, and its time grows quadratically well before that.

constexpr std::size_t kMegabyte = 1 << 20;

std::string repeat(const std::string& unit, std::size_t total_bytes) {
  std::string text;
  text.reserve(total_bytes + unit.size());
  while (text.size() < total_bytes) text += unit;
  return text;
}

struct LongRunCase {
  const char* name;
  TokenizerPattern pattern;
  std::string prefix;
  std::string unit;  // repeated to a megabyte
  std::string suffix;
  // Expected matches: either one match from `whole_from` to the end, or none.
  bool whole_match;
  std::size_t whole_from;
};

void PrintTo(const LongRunCase& c, std::ostream* os) { *os << c.name; }

class PatternLongRuns : public ::testing::TestWithParam<LongRunCase> {};

TEST_P(PatternLongRuns, FinishWithTheExpectedMatches) {
  const LongRunCase& c = GetParam();
  const std::string text = c.prefix + repeat(c.unit, kMegabyte) + c.suffix;
  const Matches expected =
      c.whole_match ? Matches{{c.whole_from, text.size() - c.whole_from}} : Matches{};
  EXPECT_EQ(describe(find_pattern_matches(c.pattern, text)), describe(expected));
  EXPECT_EQ(describe(find_pattern_matches_backtracking(c.pattern, text)), describe(expected));
}

INSTANTIATE_TEST_SUITE_P(
    Runs, PatternLongRuns,
    ::testing::Values(
        LongRunCase{"currency_digits", TP::currency, "$", "7", "", true, 0},
        LongRunCase{"currency_groups", TP::currency, "$ ", "1,", ".5", true, 0},
        LongRunCase{"label_letters_colon", TP::labeled_field, "A", "b", ":", true, 0},
        LongRunCase{"label_letters_no_colon", TP::labeled_field, "A", "b", "", false, 0},
        LongRunCase{"label_spaces_colon", TP::labeled_field, "Ab", " ", ":", true, 0},
        LongRunCase{"date_spaces", TP::date_pattern, "March", " ", "5, 2020", true, 0},
        LongRunCase{"date_spaces_no_year", TP::date_pattern, "March 5,", " ", "", false, 0},
        LongRunCase{"phone_digits", TP::phone_id, "", "1", "", false, 0},
        LongRunCase{"labeled_digits", TP::labeled_field, "", "1", "", false, 0},
        LongRunCase{"email_digits", TP::email_or_url, "", "1", "", false, 0},
        LongRunCase{"email_letters", TP::email_or_url, "", "a", "", false, 0},
        LongRunCase{"email_dotted", TP::email_or_url, "", "a.", "", false, 0},
        LongRunCase{"email_www", TP::email_or_url, "", "www.", "", true, 0},
        LongRunCase{"email_http", TP::email_or_url, "", "http://a", "", false, 0},
        LongRunCase{"email_at_signs", TP::email_or_url, "", "aaaa@", "", false, 0},
        LongRunCase{"email_long_local_part", TP::email_or_url, "", "a", "@b.cd", true, 0},
        LongRunCase{"email_long_domain", TP::email_or_url, "a@", "b-", "c.de", true, 0},
        LongRunCase{"url_long_tail", TP::email_or_url, "http://ab.cd/", "x", "", true, 0},
        // A quoted local part whose escaped quotes and spaces run to the end.
        LongRunCase{"quoted_run_completes", TP::email_or_url, "\"", "\\\"\\ a.com.xx",
                    "\"@x.yz", true, 0},
        // An address literal whose content runs to its last closing bracket.
        LongRunCase{"literal_run_completes", TP::email_or_url, "a@[1.2.3.x:", "]\"a.com.bb",
                    "]", true, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// Texts where the leftmost-first automaton would rescan a long tail after
// every match: a thread that outranks each match (an open quoted local part, an
// open address literal) lives to the end of the text and fails only there.
// Expected: one match per repetition, at the same offset within it, taken from
// std::regex on one repetition.
struct PeriodicCase {
  const char* name;
  TokenizerPattern pattern;
  std::string unit;
  std::string suffix;
};

void PrintTo(const PeriodicCase& c, std::ostream* os) { *os << c.name; }

class PatternPeriodicRuns : public ::testing::TestWithParam<PeriodicCase> {};

TEST_P(PatternPeriodicRuns, MatchEveryRepetition) {
  const PeriodicCase& c = GetParam();
  const std::string text = repeat(c.unit, kMegabyte) + c.suffix;
  const std::size_t repetitions = (text.size() - c.suffix.size()) / c.unit.size();
  // One repetition in context (followed by another) gives the per-unit matches.
  const Matches per_unit = reference_matches(c.pattern, c.unit + c.unit + c.suffix);
  Matches first;
  for (const PatternMatch& m : per_unit) {
    if (m.position < c.unit.size()) first.push_back(m);
  }
  ASSERT_FALSE(first.empty());
  Matches expected;
  for (std::size_t r = 0; r < repetitions; ++r) {
    for (const PatternMatch& m : first) expected.push_back({r * c.unit.size() + m.position, m.length});
  }
  const Matches actual = find_pattern_matches(c.pattern, text);
  ASSERT_EQ(actual.size(), expected.size());
  EXPECT_TRUE(actual == expected);
  EXPECT_TRUE(find_pattern_matches_backtracking(c.pattern, text) == expected);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, PatternPeriodicRuns,
    ::testing::Values(
        PeriodicCase{"quoted_never_closed", TP::email_or_url, "a.com.xx\\\"\\ ", " \"@x.yz"},
        PeriodicCase{"literal_never_closed", TP::email_or_url, "b@[1.2.3.x:a.com.bb\"", ""},
        PeriodicCase{"realistic_line", TP::email_or_url,
                     "Mail bob@example.com or see www.example.org/a?b=1 today. ", ""},
        PeriodicCase{"realistic_phones", TP::phone_id, "Call (555) 123-4567 or x1234. ", ""},
        PeriodicCase{"realistic_dates", TP::date_pattern, "On March 5, 2020 or 12/31/99. ", ""},
        PeriodicCase{"realistic_money", TP::currency, "Price: $1,200.50 each; ", ""},
        PeriodicCase{"realistic_labels", TP::labeled_field, "Price: $1,200.50 each; ", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------

TEST(PatternThreads, ConcurrentFirstUseAndMatchingAgree) {
  const std::string text =
      "Price: $1,200.50, call (555) 123-4567 on March 5, 2020 or mail "
      "\"a\\ b\"@c.de, bob@example.com, see www.ab.cd/x.";
  std::vector<Matches> sequential;
  for (const TokenizerPattern pattern : kAllPatterns) {
    sequential.push_back(reference_matches(pattern, text));
  }
  std::vector<std::vector<Matches>> results(8);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < results.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 50; ++round) {
        results[t].clear();
        for (const TokenizerPattern pattern : kAllPatterns) {
          results[t].push_back(find_pattern_matches(pattern, text));
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const auto& result : results) EXPECT_TRUE(result == sequential);
}

}  // namespace
}  // namespace lorvane::detail
