#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "bundle/json.hpp"
#include "support/test_support.hpp"

namespace lorvane::detail {
namespace {

using lorvane::testing::TempDir;

// ---------------------------------------------------------------------------
// Parse errors: every reason with its byte position.

struct ParseErrorCase {
  const char* name;
  std::string text;
  std::string reason;
  std::size_t position;
};

std::ostream& operator<<(std::ostream& out, const ParseErrorCase& c) { return out << c.name; }

class JsonParseError : public ::testing::TestWithParam<ParseErrorCase> {};

TEST_P(JsonParseError, ReportsReasonAndBytePosition) {
  const auto& c = GetParam();
  EXPECT_THROW_MSG(parse_json(c.text), JsonError,
                   c.reason + " at JSON byte " + std::to_string(c.position));
}

INSTANTIATE_TEST_SUITE_P(
    EveryReason, JsonParseError,
    ::testing::Values(
        ParseErrorCase{"empty_text", "", "unexpected end of JSON", 0},
        ParseErrorCase{"only_whitespace", " \t\r\n", "unexpected end of JSON", 4},
        ParseErrorCase{"array_value_due", "[1,", "unexpected end of JSON", 3},
        ParseErrorCase{"open_array", "[", "unexpected end of JSON", 1},
        ParseErrorCase{"member_value_due", "{\"a\":", "unexpected end of JSON", 5},
        ParseErrorCase{"bad_first_byte", "x", "unexpected JSON token", 0},
        ParseErrorCase{"plus_sign", "+1", "unexpected JSON token", 0},
        ParseErrorCase{"leading_point", "[.5]", "unexpected JSON token", 1},
        ParseErrorCase{"byte_order_mark", "\xEF\xBB\xBF{}", "unexpected JSON token", 0},
        ParseErrorCase{"array_trailing_comma", "[1,]", "unexpected JSON token", 3},
        ParseErrorCase{"array_leading_comma", "[,1]", "unexpected JSON token", 1},
        ParseErrorCase{"short_false", "fals", "invalid JSON literal", 0},
        ParseErrorCase{"short_null", "[nul]", "invalid JSON literal", 1},
        ParseErrorCase{"misspelt_true", "trUe", "invalid JSON literal", 0},
        ParseErrorCase{"capital_literal", "[1, True]", "unexpected JSON token", 4},
        ParseErrorCase{"open_object", "{", "expected object key", 1},
        ParseErrorCase{"open_object_whitespace", "{ \n", "expected object key", 3},
        ParseErrorCase{"object_trailing_comma", "{\"a\":1,}", "expected object key", 7},
        ParseErrorCase{"object_comma_at_end", "{\"a\":1,", "expected object key", 7},
        ParseErrorCase{"unquoted_key", "{a:1}", "expected object key", 1},
        ParseErrorCase{"number_key", "{ 1:1}", "expected object key", 2},
        ParseErrorCase{"control_byte_key", "{\x01\"a\":1}", "expected object key", 1},
        ParseErrorCase{"single_quoted_key", "{'a':1}", "expected object key", 1},
        ParseErrorCase{"duplicate_key", "{\"a\":1,\"a\":2}", "duplicate object key", 12},
        ParseErrorCase{"duplicate_after_value", "{\"a\":1, \"a\" : [1, 2] }", "duplicate object key",
                       20},
        ParseErrorCase{"duplicate_escaped_letter", "{\"ab\":1,\"a\\u0062\":2}",
                       "duplicate object key", 19},
        ParseErrorCase{"duplicate_escaped_slash", "{\"a/\":1,\"a\\/\":2}", "duplicate object key",
                       15},
        ParseErrorCase{"duplicate_not_adjacent", "{\"b\":1,\"a\":2,\"b\":3}", "duplicate object key",
                       18},
        ParseErrorCase{"duplicate_nested", "[{\"k\":{},\"k\":{}}]", "duplicate object key", 15},
        ParseErrorCase{"nested_duplicate_beside_outer_key", "{\"k\":1,\"x\":{\"k\":2,\"k\":3}}",
                       "duplicate object key", 23},
        ParseErrorCase{"nested_error_beside_outer_key", "{\"k\":1,\"x\":{\"k\":2,\"y\":?}}",
                       "unexpected JSON token", 22},
        ParseErrorCase{"nested_error_in_array_beside_outer_key",
                       "{\"k\":1,\"x\":[{\"k\":2},{\"k\":3},{\"k\" 4}]}", "expected ':'", 33},
        ParseErrorCase{"outer_duplicate_before_nested_error", "{\"k\":1,\"k\":2,\"x\":{\"y\":?}}",
                       "duplicate object key", 12},
        ParseErrorCase{"duplicate_before_missing_comma", "{\"k\":1,\"k\":2 \"z\":3}",
                       "duplicate object key", 12},
        ParseErrorCase{"later_group_duplicates_first", "{\"a\":1,\"b\":2,\"b\":3,\"a\":4}",
                       "duplicate object key", 18},
        ParseErrorCase{"missing_colon", "{\"a\" 1}", "expected ':'", 5},
        ParseErrorCase{"key_at_end", "{\"a\"", "expected ':'", 4},
        ParseErrorCase{"key_then_comma", "{\"a\",1}", "expected ':'", 4},
        ParseErrorCase{"array_missing_comma", "[1 2]", "expected ','", 3},
        ParseErrorCase{"array_open_after_value", "[1", "expected ','", 2},
        ParseErrorCase{"array_wrong_closer", "[1}", "expected ','", 2},
        ParseErrorCase{"object_missing_comma", "{\"a\":1 \"b\":2}", "expected ','", 7},
        ParseErrorCase{"object_open_after_value", "{\"a\":1 ", "expected ','", 7},
        ParseErrorCase{"object_wrong_closer", "{\"a\":1]", "expected ','", 6},
        ParseErrorCase{"literal_then_letter", "truex", "unexpected trailing data", 4},
        ParseErrorCase{"second_value", "1 2", "unexpected trailing data", 2},
        ParseErrorCase{"extra_closer", "{} }", "unexpected trailing data", 3},
        ParseErrorCase{"nul_after_value", std::string("null\0", 5), "unexpected trailing data", 4},
        ParseErrorCase{"unterminated_string", "\"abc", "unterminated string", 4},
        ParseErrorCase{"lone_quote", "\"", "unterminated string", 1},
        ParseErrorCase{"unterminated_after_escape", "[\"a\\n", "unterminated string", 5},
        ParseErrorCase{"raw_tab", "\"a\tb\"", "unescaped control character in string", 3},
        ParseErrorCase{"raw_newline_in_key", "{\"a\nb\":1}", "unescaped control character in string",
                       4},
        ParseErrorCase{"raw_nul", std::string("\"\0\"", 3), "unescaped control character in string",
                       2},
        ParseErrorCase{"raw_unit_separator", "\"\x1F\"", "unescaped control character in string", 2},
        ParseErrorCase{"backslash_at_end", "\"\\", "truncated string escape", 2},
        ParseErrorCase{"unknown_escape", "\"\\x\"", "invalid string escape", 3},
        ParseErrorCase{"capital_u_escape", "\"ab\\U0041\"", "invalid string escape", 5},
        ParseErrorCase{"escaped_quote_char", "\"\\'\"", "invalid string escape", 3},
        ParseErrorCase{"u_at_end", "\"\\u", "truncated Unicode escape", 3},
        ParseErrorCase{"three_bytes_after_u", "\"\\u12\"", "truncated Unicode escape", 3},
        ParseErrorCase{"bad_hex_digit", "\"\\u12g4\"", "invalid Unicode escape", 6},
        ParseErrorCase{"bad_first_hex_digit", "\"\\u-123\"", "invalid Unicode escape", 4},
        ParseErrorCase{"quote_among_hex", "\"\\u00\"00\"", "invalid Unicode escape", 6},
        ParseErrorCase{"high_surrogate_alone", "\"\\ud83d\"", "missing low surrogate", 7},
        ParseErrorCase{"high_surrogate_then_text", "\"\\ud83dx\\u0041\"", "missing low surrogate", 7},
        ParseErrorCase{"high_surrogate_then_other_escape", "\"\\uD83D\\n\\u0041\"",
                       "missing low surrogate", 7},
        ParseErrorCase{"high_surrogate_short_tail", "\"\\ud83d\\u12\"", "missing low surrogate", 7},
        ParseErrorCase{"bad_hex_in_low_unit", "\"\\ud83d\\u00zz\"", "invalid Unicode escape", 12},
        ParseErrorCase{"high_then_plain_unit", "\"\\ud83d\\u0041\"", "invalid low surrogate", 13},
        ParseErrorCase{"high_then_high", "\"\\ud83d\\uDBFF\"", "invalid low surrogate", 13},
        ParseErrorCase{"low_surrogate_alone", "\"\\ude00\"", "unpaired low surrogate", 7},
        ParseErrorCase{"lowest_low_surrogate", "\"x\\uDC00\"", "unpaired low surrogate", 8},
        ParseErrorCase{"lone_minus", "-", "truncated number", 1},
        ParseErrorCase{"minus_at_end_of_array", "[-", "truncated number", 2},
        ParseErrorCase{"minus_letter", "-a", "invalid number", 1},
        ParseErrorCase{"minus_point", "-.5", "invalid number", 1},
        ParseErrorCase{"minus_bracket", "[-]", "invalid number", 2},
        ParseErrorCase{"minus_minus", "--1", "invalid number", 1},
        ParseErrorCase{"leading_zero", "01", "leading zero in number", 1},
        ParseErrorCase{"negative_leading_zero", "-012", "leading zero in number", 2},
        ParseErrorCase{"double_zero", "[00]", "leading zero in number", 2},
        ParseErrorCase{"point_at_end", "1.", "missing fractional digits", 2},
        ParseErrorCase{"point_then_exponent", "1.e5", "missing fractional digits", 2},
        ParseErrorCase{"point_in_array", "[1.]", "missing fractional digits", 3},
        ParseErrorCase{"e_at_end", "1e", "missing exponent digits", 2},
        ParseErrorCase{"sign_at_end", "1e+", "missing exponent digits", 3},
        ParseErrorCase{"sign_then_letter", "1e+x", "missing exponent digits", 3},
        ParseErrorCase{"capital_e_minus", "[1.5E-]", "missing exponent digits", 6},
        ParseErrorCase{"overflow", "1e400", "invalid floating-point number", 5},
        ParseErrorCase{"negative_overflow", "[-1e400]", "invalid floating-point number", 7},
        ParseErrorCase{"just_above_max", "1.797693134862316e308", "invalid floating-point number",
                       21},
        ParseErrorCase{"huge_exponent", "1e99999999999999999999999", "invalid floating-point number",
                       25},
        ParseErrorCase{"huge_mantissa_negative_exponent",
                       "1" + std::string(400, '0') + "e-10", "invalid floating-point number", 405},
        ParseErrorCase{"too_deep", std::string(kMaxJsonNestingDepth + 1, '['),
                       "JSON nesting is too deep", kMaxJsonNestingDepth},
        ParseErrorCase{"too_deep_mixed",
                       " " + [] {
                         std::string s;
                         for (std::size_t i = 0; i <= kMaxJsonNestingDepth; ++i)
                           s += i % 2 ? "{\"k\":" : "[ ";
                         return s;
                       }(),
                       "JSON nesting is too deep", 1 + 256 * 2 + 256 * 5}),
    [](const auto& info) { return std::string(info.param.name); });

// Position of the first failing reason wins: a syntax error inside a
// duplicate member's value is reported before the duplicate.
TEST(JsonParse, SyntaxErrorInDuplicateValueComesFirst) {
  EXPECT_THROW_MSG(parse_json("{\"a\":1,\"a\":[1 2]}"), JsonError, "expected ',' at JSON byte 14");
}

// ---------------------------------------------------------------------------
// Nesting bound

std::string nested_arrays(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

TEST(JsonNesting, MaximumDepthIsAccepted) {
  JsonValue root = parse_json(nested_arrays(kMaxJsonNestingDepth));
  std::size_t depth = 0;
  const JsonValue* value = &root;
  while (value->is_array()) {
    ++depth;
    const auto& array = value->as_array("");
    if (array.empty()) break;
    value = &array.front();
  }
  EXPECT_EQ(depth, kMaxJsonNestingDepth);

  std::string objects;
  for (std::size_t i = 0; i < kMaxJsonNestingDepth; ++i) objects += "{\"k\":";
  objects += "1" + std::string(kMaxJsonNestingDepth, '}');
  EXPECT_TRUE(parse_json(objects).is_object());
}

TEST(JsonNesting, OneLevelTooManyFailsAtTheBracket) {
  EXPECT_THROW_MSG(parse_json(nested_arrays(kMaxJsonNestingDepth + 1)), JsonError,
                   "JSON nesting is too deep at JSON byte 512");
}

TEST(JsonNesting, SiblingsDoNotAccumulateDepth) {
  // Depth is released when a container closes: many shallow siblings are fine.
  std::string text = "[";
  for (int i = 0; i < 2000; ++i) text += std::string(i ? "," : "") + "[[]]";
  text += "]";
  EXPECT_EQ(parse_json(text).as_array("").size(), 2000u);
  const std::string deep_then_deep = "[" + nested_arrays(kMaxJsonNestingDepth - 1) + "," +
                                     nested_arrays(kMaxJsonNestingDepth - 1) + "]";
  EXPECT_EQ(parse_json(deep_then_deep).as_array("").size(), 2u);
}

TEST(JsonNesting, MillionLevelsFailWithoutExhaustingTheStack) {
  EXPECT_THROW_MSG(parse_json(std::string(1000000, '[')), JsonError,
                   "JSON nesting is too deep at JSON byte 512");
  std::string objects;
  for (int i = 0; i < 1000000; ++i) objects += "{\"a\":";
  EXPECT_THROW_MSG(parse_json(objects), JsonError,
                   "JSON nesting is too deep at JSON byte " + std::to_string(512 * 5));
}

// ---------------------------------------------------------------------------
// Values

TEST(JsonValues, ScalarRoots) {
  EXPECT_TRUE(parse_json("null").is_null());
  EXPECT_TRUE(parse_json(" true ").as_bool(""));
  EXPECT_FALSE(parse_json("\nfalse\r\n").as_bool(""));
  EXPECT_EQ(parse_json("\t42").as_integer(""), 42);
  EXPECT_EQ(parse_json("\"x\"").as_string(""), "x");
  EXPECT_TRUE(parse_json("[]").as_array("").empty());
  EXPECT_TRUE(parse_json("{ }").as_object("").empty());
  EXPECT_TRUE(parse_json("[ ]").is_array());
}

TEST(JsonValues, DefaultValueIsNull) {
  const JsonValue value;
  EXPECT_TRUE(value.is_null());
  EXPECT_EQ(value.kind(), JsonValue::kNull);
}

struct IntegerCase {
  const char* text;
  std::int64_t value;
};

TEST(JsonNumbers, IntegersOverTheFullRange) {
  const IntegerCase cases[] = {
      {"0", 0},
      {"-0", 0},
      {"7", 7},
      {"-7", -7},
      {"1234567890123", 1234567890123},
      {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
      {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
      {"-9223372036854775807", std::numeric_limits<std::int64_t>::min() + 1},
      {"9223372036854775806", std::numeric_limits<std::int64_t>::max() - 1},
  };
  for (const auto& c : cases) {
    const JsonValue value = parse_json(c.text);
    ASSERT_TRUE(value.is_integer()) << c.text;
    EXPECT_EQ(value.as_integer(""), c.value) << c.text;
    EXPECT_EQ(value.as_number(""), static_cast<double>(c.value)) << c.text;
  }
}

struct DoubleCase {
  std::string text;
  double value;
};

TEST(JsonNumbers, DoublesAndIntegerOverflow) {
  const DoubleCase cases[] = {
      {"9223372036854775808", 9223372036854775808.0},
      {"-9223372036854775809", -9223372036854775809.0},
      {"18446744073709551616", 18446744073709551616.0},
      {"99999999999999999999999", 1e23},
      {"1.0", 1.0},
      {"3.0", 3.0},
      {"1e2", 100.0},
      {"1E+2", 100.0},
      {"-2.5e-3", -0.0025},
      {"0.1", 0.1},
      {"123.456e7", 123.456e7},
      {"1.7976931348623157e308", std::numeric_limits<double>::max()},
      {"-1.7976931348623157e308", -std::numeric_limits<double>::max()},
      {"2.2250738585072014e-308", std::numeric_limits<double>::min()},
      {"4.9e-324", std::numeric_limits<double>::denorm_min()},
      {"1e-310", 1e-310},
      {"0e999999999999999999", 0.0},
      {"1" + std::string(300, '0') + "e-600", 1e-300},
      {"0." + std::string(300, '0') + "1e600", 1e299},
  };
  for (const auto& c : cases) {
    const JsonValue value = parse_json(c.text);
    ASSERT_EQ(value.kind(), JsonValue::kNumber) << c.text;
    EXPECT_EQ(value.as_number(""), c.value) << c.text;
    EXPECT_THROW_MSG(value.as_integer("n"), JsonError, "expected JSON integer at n");
  }
}

TEST(JsonNumbers, UnderflowGivesSignedZero) {
  const std::string cases[] = {
      "1e-400",
      "2.4e-324",
      "1e-99999999999999999999",
      "0.0000000000000000000000000000000000000000000000000001e-300",
      "0." + std::string(400, '0') + "1e10",
      "123456789e-340",
  };
  for (const auto& text : cases) {
    const double positive = parse_json(text).as_number("");
    EXPECT_EQ(positive, 0.0) << text;
    EXPECT_FALSE(std::signbit(positive)) << text;
    const double negative = parse_json("-" + text).as_number("");
    EXPECT_EQ(negative, 0.0) << text;
    EXPECT_TRUE(std::signbit(negative)) << text;
  }
  EXPECT_TRUE(std::signbit(parse_json("-0.0").as_number("")));
}

TEST(JsonStrings, EscapesDecodeToBytes) {
  const struct {
    const char* text;
    std::string bytes;
  } cases[] = {
      {R"("\"\\\/")", "\"\\/"},
      {R"("\b\f\n\r\t")", "\b\f\n\r\t"},
      {R"("\u0041\u00e9\u00E9")", "A\xC3\xA9\xC3\xA9"},
      {R"("\u07FF\u0800\uFFFF")", "\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
      {R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"},
      {R"("\uD800\uDC00\uDBFF\uDFFF")", "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
      {R"("a\u0000b")", std::string("a\0b", 3)},
      {"\"raw \xC3\xA9 \xFF\xFE \x7F\"", "raw \xC3\xA9 \xFF\xFE \x7F"},
      {R"("")", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_json(c.text).as_string(""), c.bytes) << c.text;
}

TEST(JsonStrings, LongStringsSurviveEscapesBetweenRuns) {
  const std::string run(1000, 'x');
  const JsonValue value = parse_json("\"" + run + "\\n" + run + "\\u00e9" + run + "\"");
  EXPECT_EQ(value.as_string(""), run + "\n" + run + "\xC3\xA9" + run);
}

TEST(JsonObjects, KeysIterateInByteOrder) {
  const JsonValue root =
      parse_json(R"({"b":1,"a":2,"ab":3,"":4,"\u00e9":5,"B":6,"a\u0000":7})");
  std::vector<std::string> keys;
  for (const auto& [key, value] : root.as_object("")) keys.push_back(key);
  const std::vector<std::string> expected = {"", "B", "a", std::string("a\0", 2), "ab", "b",
                                             "\xC3\xA9"};
  EXPECT_EQ(keys, expected);
  EXPECT_EQ(root.at("b", "").as_integer(""), 1);
  EXPECT_EQ(root.at(std::string_view("a\0", 2), "").as_integer(""), 7);
  EXPECT_EQ(root.at("\xC3\xA9", "").as_integer(""), 5);
}

TEST(JsonObjects, ManyKeysInAnyOrder) {
  // Ascending, descending and interleaved insertion must all give one sorted map.
  for (int order = 0; order < 3; ++order) {
    std::string text = "{";
    for (int i = 0; i < 500; ++i) {
      const int k = order == 0 ? i : order == 1 ? 499 - i : (i * 7) % 500;
      text += (i ? "," : "") + std::string("\"k") + std::to_string(1000 + k) + "\":" +
              std::to_string(k);
    }
    text += "}";
    const JsonValue root = parse_json(text);
    const auto& object = root.as_object("");
    ASSERT_EQ(object.size(), 500u);
    int expected = 0;
    for (const auto& [key, value] : object) EXPECT_EQ(value.as_integer(key), expected++);
    EXPECT_THROW_MSG(parse_json(text.substr(0, text.size() - 1) + ",\"k1250\":0}"), JsonError,
                     "duplicate object key at JSON byte " + std::to_string(text.size() + 9));
  }
}

// Keys that tie on their first eight bytes, or differ only by trailing NULs,
// must still sort by their full bytes and still be caught as duplicates.
TEST(JsonObjects, KeysSharingLongPrefixes) {
  const std::vector<std::string> keys = {
      "abcdefghb", std::string("a\0", 2), "abcdefgh", "", "\xFF\xFF", std::string("\0", 1),
      "abcdefgi",  std::string("abcdefgh\0", 9), "a", "abcdefgha", std::string(2, '\0'), "\xFF",
      "abcdefghab"};
  auto quoted = [](const std::string& key) {
    std::string out = "\"";
    for (char c : key) out += c == '\0' ? std::string("\\u0000") : std::string(1, c);
    return out + "\"";
  };
  std::string text = "{";
  for (std::size_t i = 0; i < keys.size(); ++i)
    text += (i ? "," : "") + quoted(keys[i]) + ":" + std::to_string(i);
  const JsonValue root = parse_json(text + "}");

  std::vector<std::string> sorted = keys;
  std::sort(sorted.begin(), sorted.end());
  std::vector<std::string> seen;
  for (const auto& [key, value] : root.as_object("")) {
    seen.push_back(key);
    EXPECT_EQ(keys[static_cast<std::size_t>(value.as_integer(""))], key);
  }
  EXPECT_EQ(seen, sorted);

  for (const auto& key : keys) {
    const std::string repeated = text + "," + quoted(key) + ":0";
    EXPECT_THROW_MSG(parse_json(repeated + "}"), JsonError,
                     "duplicate object key at JSON byte " + std::to_string(repeated.size()))
        << quoted(key);
  }
}

TEST(JsonObjects, NestedStructure) {
  const JsonValue root = parse_json(R"({
    "config": {"hidden": 32, "dropout": 0.5, "names": ["a", "b"], "flag": true, "none": null}
  })");
  const JsonValue& config = root.at("config", "assets");
  EXPECT_EQ(config.at("hidden", "assets.config").as_integer("assets.config.hidden"), 32);
  EXPECT_EQ(config.at("dropout", "assets.config").as_number(""), 0.5);
  const auto& names = config.at("names", "").as_array("");
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[1].as_string(""), "b");
  EXPECT_TRUE(config.at("flag", "").as_bool(""));
  EXPECT_TRUE(config.at("none", "").is_null());
}

// ---------------------------------------------------------------------------
// Accessors

TEST(JsonAccessors, KindTestsAreExclusive) {
  const JsonValue values[] = {parse_json("null"), parse_json("true"),  parse_json("1"),
                              parse_json("1.5"),  parse_json("\"s\""), parse_json("[]"),
                              parse_json("{}")};
  for (std::size_t kind = 0; kind < std::size(values); ++kind) {
    const JsonValue& v = values[kind];
    EXPECT_EQ(v.kind(), kind);
    EXPECT_EQ(v.is_null(), kind == JsonValue::kNull);
    EXPECT_EQ(v.is_bool(), kind == JsonValue::kBool);
    EXPECT_EQ(v.is_integer(), kind == JsonValue::kInteger);
    EXPECT_EQ(v.is_number(), kind == JsonValue::kInteger || kind == JsonValue::kNumber);
    EXPECT_EQ(v.is_string(), kind == JsonValue::kString);
    EXPECT_EQ(v.is_array(), kind == JsonValue::kArray);
    EXPECT_EQ(v.is_object(), kind == JsonValue::kObject);
  }
}

TEST(JsonAccessors, MismatchMessagesWithAndWithoutContext) {
  const JsonValue text = parse_json("\"s\"");
  const JsonValue number = parse_json("3.0");
  const JsonValue null;
  const JsonValue integer = parse_json("1");
  const JsonValue array = parse_json("[1]");
  const JsonValue object = parse_json("{}");
  EXPECT_THROW_MSG(text.as_integer("x"), JsonError, "expected JSON integer at x");
  EXPECT_THROW_MSG(text.as_integer(""), JsonError, "expected JSON integer");
  EXPECT_THROW_MSG(number.as_integer("assets.config.batch_size"), JsonError,
                   "expected JSON integer at assets.config.batch_size");
  EXPECT_THROW_MSG(integer.as_bool("manifest.verify"), JsonError,
                   "expected JSON boolean at manifest.verify");
  EXPECT_THROW_MSG(null.as_bool(""), JsonError, "expected JSON boolean");
  EXPECT_THROW_MSG(text.as_number("a.b"), JsonError, "expected JSON number at a.b");
  EXPECT_THROW_MSG(null.as_number(""), JsonError, "expected JSON number");
  EXPECT_THROW_MSG(integer.as_string("index.bundles[].path"), JsonError,
                   "expected JSON string at index.bundles[].path");
  EXPECT_THROW_MSG(array.as_string(""), JsonError, "expected JSON string");
  EXPECT_THROW_MSG(object.as_array("v[3]"), JsonError, "expected JSON array at v[3]");
  EXPECT_THROW_MSG(text.as_array(""), JsonError, "expected JSON array");
  EXPECT_THROW_MSG(array.as_object("root"), JsonError, "expected JSON object at root");
  EXPECT_THROW_MSG(null.as_object(""), JsonError, "expected JSON object");
  EXPECT_THROW_MSG(JsonValue::throw_type("thing", "p.q"), JsonError, "expected JSON thing at p.q");
  EXPECT_EQ(integer.as_number(""), 1.0);
}

TEST(JsonAccessors, FindNeverThrows) {
  const JsonValue root = parse_json(R"({"a":{"b":2},"n":null})");
  ASSERT_NE(root.find("a"), nullptr);
  EXPECT_EQ(root.find("a")->find("b")->as_integer(""), 2);
  ASSERT_NE(root.find("n"), nullptr);
  EXPECT_TRUE(root.find("n")->is_null());
  EXPECT_EQ(root.find("b"), nullptr);
  EXPECT_EQ(root.find(""), nullptr);
  EXPECT_EQ(root.find("a")->find("a"), nullptr);
  EXPECT_EQ(parse_json("[1]").find("a"), nullptr);
  EXPECT_EQ(JsonValue().find("a"), nullptr);
  EXPECT_EQ(parse_json("\"a\"").find("a"), nullptr);
}

TEST(JsonAccessors, AtNamesTheObjectNotTheKey) {
  const JsonValue root = parse_json(R"({"tensor_file":{"size":10}})");
  EXPECT_EQ(root.at("tensor_file", "manifest").at("size", "manifest.tensor_file").as_integer(""),
            10);
  EXPECT_THROW_MSG(root.at("tensor_file", "manifest").at("sha256", "manifest.tensor_file"),
                   JsonError, "missing JSON key 'sha256' at manifest.tensor_file");
  EXPECT_THROW_MSG(root.at("missing", ""), JsonError, "missing JSON key 'missing'");
  EXPECT_THROW_MSG(root.at("", ""), JsonError, "missing JSON key ''");
  EXPECT_THROW_MSG(parse_json("[]").at("k", "index.bundles"), JsonError,
                   "expected JSON object at index.bundles");
  EXPECT_THROW_MSG(JsonValue().at("k", ""), JsonError, "expected JSON object");
}

TEST(JsonAccessors, ConstructorsBuildEachKind) {
  EXPECT_TRUE(JsonValue(true).as_bool(""));
  EXPECT_EQ(JsonValue(std::int64_t{-5}).as_integer(""), -5);
  EXPECT_EQ(JsonValue(2.5).as_number(""), 2.5);
  EXPECT_EQ(JsonValue(std::string("s")).as_string(""), "s");
  // A string literal is a string, not a pointer converted to true.
  EXPECT_EQ(JsonValue("literal").as_string(""), "literal");
  EXPECT_EQ(JsonValue(JsonValue::Array(3)).as_array("").size(), 3u);
  JsonValue::Object object;
  object.emplace("k", JsonValue(true));
  EXPECT_TRUE(JsonValue(std::move(object)).at("k", "").as_bool(""));
}

TEST(JsonConcurrency, ParsesAndReadsFromSeveralThreads) {
  std::string text = "{\"rows\":[";
  for (int i = 0; i < 300; ++i)
    text += (i ? "," : "") + std::string("{\"w") + std::to_string(i % 97) + "\":" + std::to_string(i) +
            ",\"x\":" + std::to_string(i) + ".5}";
  text += "]}";
  const JsonValue shared = parse_json(text);
  auto checksum = [](const JsonValue& root) {
    double sum = 0;
    for (const JsonValue& row : root.at("rows", "").as_array(""))
      for (const auto& [key, value] : row.as_object("")) sum += value.as_number(key);
    return sum;
  };
  const double expected = checksum(shared);
  std::vector<double> results(4);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < results.size(); ++t)
    threads.emplace_back([&, t] {
      double total = 0;
      for (int round = 0; round < 10; ++round) total += checksum(parse_json(text)) + checksum(shared);
      results[t] = total;
    });
  for (auto& thread : threads) thread.join();
  for (double result : results) EXPECT_EQ(result, 20 * expected);
}

// ---------------------------------------------------------------------------
// Files

TEST(JsonFiles, LoadsBytesUnchanged) {
  TempDir dir;
  const std::string bytes = std::string("{\"a\":\r\n1}\r\n\0\xFF", 12);
  lorvane::testing::write_file(dir / "raw.json", bytes);
  EXPECT_EQ(load_text_file(dir / "raw.json"), bytes);

  std::string large(3 << 16, ' ');
  large.front() = '[';
  large.back() = ']';
  large[large.size() / 2] = '7';
  lorvane::testing::write_file(dir / "large.json", large);
  EXPECT_EQ(load_text_file(dir / "large.json"), large);
  EXPECT_EQ(load_json(dir / "large.json").as_array("")[0].as_integer(""), 7);
}

TEST(JsonFiles, EmptyFileIsEmptyTextAndNoJson) {
  TempDir dir;
  lorvane::testing::write_file(dir / "empty.json", "");
  EXPECT_EQ(load_text_file(dir / "empty.json"), "");
  EXPECT_THROW_MSG(load_json(dir / "empty.json"), JsonError,
                   "unexpected end of JSON at JSON byte 0");
}

TEST(JsonFiles, ParseErrorCarriesNoFileName) {
  TempDir dir;
  lorvane::testing::write_file(dir / "bad.json", "{\"a\" 1}");
  EXPECT_THROW_MSG(load_json(dir / "bad.json"), JsonError, "expected ':' at JSON byte 5");
  lorvane::testing::write_file(dir / "ok.json", "{\"a\": [true]}");
  EXPECT_TRUE(load_json(dir / "ok.json").at("a", "").as_array("")[0].as_bool(""));
}

TEST(JsonFiles, MissingFileCannotBeOpened) {
  TempDir dir;
  const auto path = dir / "absent.json";
  EXPECT_THROW_MSG(load_text_file(path), JsonError, "cannot open JSON file: " + path.string());
  EXPECT_THROW_MSG(load_json(path), JsonError, "cannot open JSON file: " + path.string());
}

TEST(JsonFiles, DirectoryIsAReadErrorNotAnEmptyDocument) {
  TempDir dir;
  EXPECT_THROW_MSG(load_text_file(dir.path()), JsonError,
                   "cannot read JSON file: " + dir.path().string());
  EXPECT_THROW_MSG(load_json(dir.path()), JsonError,
                   "cannot read JSON file: " + dir.path().string());
}

// ---------------------------------------------------------------------------
// Locale independence

// Compiles a decimal-comma locale into a temporary directory and makes it the
// process locale; restores "C" when done.
bool localedef_installed() { return std::system("command -v localedef >/dev/null 2>&1") == 0; }

class DecimalCommaLocale {
 public:
  DecimalCommaLocale() {
    lorvane::testing::run_command("localedef -i de_DE -f UTF-8 " +
                                  lorvane::testing::shell_quote((dir_ / "de_DE.UTF-8").string()));
    ::setenv("LOCPATH", dir_.path().c_str(), 1);
    active_ = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
  }
  ~DecimalCommaLocale() {
    std::setlocale(LC_ALL, "C");
    ::unsetenv("LOCPATH");
  }
  bool active() const { return active_; }

 private:
  TempDir dir_;
  bool active_ = false;
};

TEST(JsonLocale, NumbersIgnoreTheDecimalComma) {
  if (!localedef_installed()) GTEST_SKIP() << "localedef is not installed";
  DecimalCommaLocale locale;
  ASSERT_TRUE(locale.active());
  // The locale is really in force: the C library now reads a comma as the point.
  char* end = nullptr;
  const char comma[] = "1,5";
  EXPECT_EQ(std::strtod(comma, &end), 1.5);
  EXPECT_EQ(end, comma + 3);

  EXPECT_EQ(parse_json("1.5").as_number(""), 1.5);
  EXPECT_EQ(parse_json("2.5e3").as_number(""), 2500.0);
  const JsonValue array = parse_json("[-0.25, 1e-400, 9223372036854775808]");
  EXPECT_EQ(array.as_array("")[0].as_number(""), -0.25);
  EXPECT_EQ(array.as_array("")[1].as_number(""), 0.0);
  EXPECT_EQ(array.as_array("")[2].as_number(""), 9223372036854775808.0);
  EXPECT_THROW_MSG(parse_json("1,5"), JsonError, "unexpected trailing data at JSON byte 1");
  EXPECT_THROW_MSG(parse_json("1e400"), JsonError, "invalid floating-point number at JSON byte 5");
}

}  // namespace
}  // namespace lorvane::detail
