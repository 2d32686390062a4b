// What the tagger and the parser share before any tensor work: the
// punctuation rule and vocabulary keys of a word, and the reader of
// composite XPOS component keys.

#include <gtest/gtest.h>

#include "bundle/json.hpp"
#include "models/tagging/tagger_assets.hpp"
#include "models/tagging/word_keys.hpp"
#include "support/test_support.hpp"

namespace lorvane::detail {
namespace {

struct KeyCase {
  std::string word;
  std::string normalized;
  std::string lower_key;
  std::string pretrained_key;
};

TEST(TaggingKeys, PunctuationRunsCollapseAndKeysFollowTheirRules) {
  const std::vector<KeyCase> cases = {
      {"?!?", "?", "?", "?"},
      {"??", "?", "?", "?"},
      {"!?", "!", "!", "!"},
      {"\uFF01\uFF01", "!", "!", "!"},
      {"\uFF1F!", "?", "?", "?"},
      {"\u203C\uFE56", "!", "!", "!"},
      {"\uFF1F", "\uFF1F", "\uFF1F", "\uFF1F"},
      {"?a", "?a", "?a", "?a"},
      {"!", "!", "!", "!"},
      {"", "", "", ""},
      {"New York", "New York", "new york", "new\u00A0york"},
      {"\u00DCBER  X", "\u00DCBER  X", "\u00FCber  x", "\u00FCber\u00A0\u00A0x"},
  };
  for (const KeyCase& c : cases) {
    SCOPED_TRACE(c.word);
    const std::string_view normalized = normalize_punctuation(c.word, split_code_points(c.word));
    EXPECT_EQ(normalized, c.normalized);
    EXPECT_EQ(word_key(normalized, false), c.normalized);
    EXPECT_EQ(word_key(normalized, true), c.lower_key);
    EXPECT_EQ(pretrained_key(normalized), c.pretrained_key);
  }
  EXPECT_EQ(split_code_points("a\u00E9\U0001F600").size(), 3u);
  EXPECT_THROW_MSG(split_code_points("ab\xE2\x82"), std::invalid_argument, "invalid UTF-8 sequence at byte offset 2");
}

struct ComponentCase {
  std::string json;      // the "_id2unit" object
  std::string expected;  // first unit of each component, in order, or the message
};

[[noreturn]] void raise_logic(const std::string& message) { throw std::logic_error(message); }

TEST(TaggingAssets, CompositeComponentKeysAreOrderedByValue) {
  const std::string integers = "composite XPOS component keys must be integers";
  const std::string contiguous = "composite XPOS component keys must be contiguous";
  std::string eleven;
  for (int i = 0; i <= 10; ++i) eleven += (i ? ", " : "") + std::string("\"") + std::to_string(i) + "\": [\"u" + std::to_string(i) + "\"]";
  const std::vector<ComponentCase> cases = {
      {R"({})", ""},
      {R"({"1": ["b"], "0": ["a"]})", "a b"},
      {"{" + eleven + "}", "u0 u1 u2 u3 u4 u5 u6 u7 u8 u9 u10"},
      {R"({"0": ["a"], " 1": ["b"]})", "a b"},
      {R"({"0": ["a"], "2": ["c"]})", contiguous},
      {R"({"1": ["a"], "01": ["b"], "0": ["c"]})", contiguous},
      {R"({"0": ["a"], "x": ["b"]})", integers},
      {R"({"0": ["a"], "1 ": ["b"]})", integers},
      {R"({"": ["a"]})", integers},
      {R"({"99999999999999999999": ["a"]})", integers},
  };
  for (const ComponentCase& c : cases) {
    SCOPED_TRACE(c.json);
    const JsonValue xpos = parse_json(R"({"_id2unit": )" + c.json + "}");
    std::string firsts;
    try {
      const auto components = read_composite_components(
          xpos, "assets.vocab.xpos", "_id2unit", &raise_logic,
          [](const JsonValue& units, std::string_view context) { return read_string_array(units, context); });
      for (const auto& units : components) firsts += (firsts.empty() ? "" : " ") + units.at(0);
    } catch (const std::logic_error& error) {
      firsts = error.what();
    }
    EXPECT_EQ(firsts, c.expected);
  }
}

}  // namespace
}  // namespace lorvane::detail
