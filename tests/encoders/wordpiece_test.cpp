#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "encoders/subword/word_cache.hpp"
#include "encoders/subword/wordpiece_impl.hpp"
#include "encoders/subword/wordpiece_normalize.hpp"
#include "encoders/unicode/unicode.hpp"
#include "encoders/unicode/unicode_tables.hpp"
#include "subword_test_support.hpp"

namespace lorvane {
namespace {

using detail::WordCache;
using testing::utf8;

std::vector<std::string> example_vocabulary() {
  return {"[UNK]", "[CLS]", "[SEP]", "un", "##aff", "##able", "-"};
}

struct Settings {
  std::vector<std::string> vocabulary = example_vocabulary();
  bool lowercase = true;
  bool strip_accents = true;
  std::string prefix = "##";
  std::uint64_t max_characters = 100;

  WordPieceTokenizer make() const {
    return WordPieceTokenizer(vocabulary, lowercase, strip_accents, "[UNK]", "[CLS]", "[SEP]", prefix,
                              max_characters);
  }
  // The first line and the settings lines of a reference request.
  std::string request() const {
    return "wordpiece " + std::to_string(lowercase) + " " + std::to_string(strip_accents) + " " +
           std::to_string(max_characters) + "\nunknown " + testing::hex_field("[UNK]") +
           "\ncls " + testing::hex_field("[CLS]") + "\nsep " + testing::hex_field("[SEP]") +
           "\nprefix " + testing::hex_field(prefix) + "\nvocab" + testing::hex_fields(vocabulary) + "\n";
  }
};

// One word's result in the reference's line format.
std::string result_line(const WordPieceTokenizer& tokenizer, const std::string& word) {
  const auto offset = [](const std::exception& e) {
    const std::string message = e.what();
    const std::string prefix = "invalid UTF-8 sequence at byte offset ";
    EXPECT_EQ(message.rfind(prefix, 0), 0u) << message;
    return message.substr(prefix.size());
  };
  try {
    return testing::ok_line(tokenizer.encode({word}, false).input_ids);
  } catch (const WordPieceError& e) {
    return "err wordpiece " + offset(e);
  } catch (const std::invalid_argument& e) {
    return "err invalid_argument " + offset(e);
  }
}

TEST(SubwordTables, SizesAndStructureAsGenerated) {
  struct Row {
    const char* name;
    std::span<const detail::CodePointRange> ranges;
    std::size_t count;
    std::size_t code_points;
    bool sorted;
  };
  const Row rows[] = {
      {"control", detail::kControlRanges, 712, 0, true},
      {"whitespace", detail::kWhitespaceRanges, 10, 29, true},
      {"punctuation", detail::kPunctuationRanges, 191, 0, true},
      {"cjk", detail::kCjkRanges, 6, 0, false},
      {"letter", detail::kLetterRanges, 660, 136726, true},
      {"mark", detail::kMarkRanges, 310, 2450, true},
      {"number", detail::kNumberRanges, 137, 1831, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(row.ranges.size(), row.count);
    std::size_t code_points = 0;
    for (std::size_t i = 0; i < row.ranges.size(); ++i) {
      EXPECT_LE(row.ranges[i].first, row.ranges[i].last);
      if (row.sorted && i > 0) {
        EXPECT_GT(row.ranges[i].first, row.ranges[i - 1].last + 1);
      }
      code_points += row.ranges[i].last - row.ranges[i].first + 1;
    }
    if (row.code_points != 0) {
      EXPECT_EQ(code_points, row.code_points);
    }
  }
  EXPECT_EQ(detail::kCjkRanges[0].first, 0x4E00u);
  EXPECT_EQ(detail::kCjkRanges[5].last, 0x2FA1Fu);

  std::size_t by_length[4] = {};
  for (std::size_t i = 0; i < detail::kAccentStripTable.size(); ++i) {
    const auto& entry = detail::kAccentStripTable[i];
    ASSERT_LE(entry.length, 3u);
    ++by_length[entry.length];
    if (i > 0) {
      EXPECT_GT(entry.code_point, detail::kAccentStripTable[i - 1].code_point);
    }
  }
  EXPECT_EQ(detail::kAccentStripTable.size(), 15200u);
  EXPECT_EQ(std::vector<std::size_t>(by_length, by_length + 4),
            (std::vector<std::size_t>{1985, 2000, 433, 10782}));
  // The normaliser skips the table for ASCII.
  EXPECT_GE(detail::kAccentStripTable[0].code_point, 0x80u);
}

std::string joined_pieces(const std::string& word, bool lowercase, bool strip_accents) {
  const detail::WordPieces pieces = detail::split_wordpiece_pieces(word, lowercase, strip_accents);
  std::string out;
  for (std::size_t k = 0; k < pieces.piece_count(); ++k) {
    out += (k ? "|" : "") + std::string(pieces.bytes(pieces.piece_begin(k), pieces.piece_ends[k]));
  }
  return out;
}

TEST(WordPieceNormalize, StagesCleaningAndSplitting) {
  struct Row {
    std::string word;
    bool lowercase, strip;
    std::string pieces;
  };
  const std::string cafe = "Caf" + utf8({0xE9});
  const Row rows[] = {
      {"Hello,", true, true, "hello|,"},
      {"don't", true, true, "don|'|t"},
      {"$5", true, true, "$5"},
      {"a+b<c>=d^e`f|g~h", false, false, "a+b<c>=d^e`f|g~h"},
      {utf8({0x4E00, 0x4E8C}), true, true, utf8({0x4E00}) + "|" + utf8({0x4E8C})},
      {utf8({0x4E00, 0x4E8C}) + "abc", true, true, utf8({0x4E00}) + "|" + utf8({0x4E8C}) + "|abc"},
      {"a" + utf8({0x2EBF0}) + "b", true, true, "a" + utf8({0x2EBF0}) + "b"},  // CJK Ext I: not listed
      {cafe, true, true, "cafe"},
      {cafe, false, true, "Cafe"},
      {cafe, true, false, "caf" + utf8({0xE9})},
      {cafe, false, false, cafe},
      {"a" + utf8({0xA0}) + "b", true, true, "a|b"},
      {"a\tb\r\nc", true, true, "a|b|c"},
      {"a" + utf8({0x3000, 0x2028}) + "b", true, true, "a|b"},
      {"a\vb", true, true, "ab"},
      {"a" + utf8({0x85}) + "b", true, true, "ab"},
      {"a" + utf8({0x200B}) + "b", true, true, "ab"},
      {"a" + utf8({0x1F}) + "b" + utf8({0xFEFF, 0xE000}) + "c", true, true, "abc"},
      {std::string(1, '\0'), true, true, ""},
      {utf8({0xFFFD}), true, true, ""},
      {utf8({0x301, 0x302}), true, true, ""},
      {utf8({0x301, 0x302}), true, false, utf8({0x301, 0x302})},
      {utf8({0xD55C}), false, true, utf8({0x1112, 0x1161, 0x11AB})},
      {utf8({0x130}), true, true, "i"},
      {utf8({0x130}), true, false, utf8({'i', 0x307})},
      {utf8({0x130}), false, true, "I"},
      {utf8({0x3A3, 0x391, 0x3A3}), true, true, utf8({0x3C3, 0x3B1, 0x3C3})},
      {utf8({0xBF}) + "Qu" + utf8({0xE9}) + "?", true, true, utf8({0xBF}) + "|que|?"},
      {"", true, true, ""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(joined_pieces(row.word, row.lowercase, row.strip), row.pieces)
        << testing::hex_field(row.word) << " lowercase " << row.lowercase << " strip " << row.strip;
  }
}

TEST(WordPieceTokenizer, EncodesAsSpecified) {
  struct Row {
    Settings settings;
    std::vector<std::string> words;
    bool special;
    std::vector<std::int64_t> ids, word_ids;
  };
  Settings no_hyphen;
  no_hyphen.vocabulary.pop_back();
  Settings cased;
  cased.lowercase = false;
  Settings bare_prefix;
  bare_prefix.vocabulary = {"[UNK]", "[CLS]", "[SEP]", "un", "aff", "able"};
  bare_prefix.prefix = "";
  Settings max9, max8, unbounded;
  max9.max_characters = 9;
  max8.max_characters = 8;
  unbounded.max_characters = UINT64_MAX;
  unbounded.vocabulary.push_back("##7");
  std::vector<std::int64_t> long_ids(200001, 7);
  long_ids[0] = 3;
  const Row rows[] = {
      {{}, {"unaffable"}, false, {3, 4, 5}, {0, 0, 0}},
      {{}, {"UnAffable"}, false, {3, 4, 5}, {0, 0, 0}},
      {cased, {"UnAffable"}, false, {0}, {0}},
      {{}, {"unaffablex"}, false, {0}, {0}},
      {{}, {"unaffable,unaffx"}, false, {3, 4, 5, 0, 0}, {0, 0, 0, 0, 0}},
      {{}, {""}, false, {6}, {0}},
      {{}, {"\x01"}, false, {6}, {0}},
      {{}, {utf8({0x301})}, false, {6}, {0}},
      {no_hyphen, {"", " "}, false, {0, 0}, {0, 1}},
      {{}, {"un-able"}, false, {3, 6, 0}, {0, 0, 0}},
      {{}, {"unaffable", "un"}, true, {1, 3, 4, 5, 3, 2}, {-1, 0, 0, 0, 1, -1}},
      {{}, {"unaffable", "un"}, false, {3, 4, 5, 3}, {0, 0, 0, 1}},
      {{}, {}, true, {1, 2}, {-1, -1}},
      {{}, {}, false, {}, {}},
      {max9, {"unaffable"}, false, {3, 4, 5}, {0, 0, 0}},
      {max8, {"unaffable", "un"}, false, {0, 3}, {0, 1}},
      {bare_prefix, {"unaffable"}, false, {3, 4, 5}, {0, 0, 0}},
      // Candidates longer than the longest entry are skipped: a long piece stays fast.
      {unbounded, {"un" + std::string(200000, '7')}, false, long_ids, std::vector<std::int64_t>(200001, 0)},
      {{}, {"unaff" + utf8({0xC0}) + "ble"}, false, {3, 4, 5}, {0, 0, 0}},  // strip then match
  };
  for (const Row& row : rows) {
    const WordPieceTokenizer tokenizer = row.settings.make();
    const WordPieceEncoding encoding = tokenizer.encode(row.words, row.special);
    const std::string trace = row.words.empty() ? "(no words)" : testing::hex_field(row.words[0]);
    EXPECT_EQ(encoding.input_ids, row.ids) << trace;
    EXPECT_EQ(encoding.word_ids, row.word_ids) << trace;
    EXPECT_EQ(encoding.attention_mask, std::vector<std::int64_t>(row.ids.size(), 1)) << trace;
  }
}

TEST(WordPieceTokenizer, ConstructorChecksInOrder) {
  struct Row {
    std::vector<std::string> vocabulary;
    std::string unknown;
    std::uint64_t max;
    std::string message;
  };
  const std::string e_acute = utf8({0xE9});
  const Row rows[] = {
      {{}, "[UNK]", 0, "WordPiece vocabulary cannot be empty"},
      {{"a"}, "[UNK]", 0, "max_input_characters_per_word must be positive"},
      {{"a", "b", "a"}, "[UNK]", 1, "WordPiece vocabulary contains duplicate token: a"},
      {{e_acute, e_acute}, "[UNK]", 1, "WordPiece vocabulary contains duplicate token: " + e_acute},
      {{"x"}, "[UNK]", 1, "WordPiece vocabulary is missing required token: [UNK]"},
      {{"[CLS]", "[SEP]"}, e_acute, 1, "WordPiece vocabulary is missing required token: " + e_acute},
      {{"[UNK]"}, "[UNK]", 1, "WordPiece vocabulary is missing required token: [CLS]"},
      {{"[UNK]", "[CLS]"}, "[UNK]", 1, "WordPiece vocabulary is missing required token: [SEP]"},
  };
  for (const Row& row : rows) {
    EXPECT_THROW_MSG(WordPieceTokenizer(row.vocabulary, true, true, row.unknown, "[CLS]", "[SEP]", "##", row.max),
                     WordPieceError, row.message);
  }
  const WordPieceTokenizer tokenizer = Settings{}.make();
  EXPECT_EQ(tokenizer.vocabulary_size(), 7u);
  EXPECT_EQ(tokenizer.cache_size(), 0u);
  EXPECT_EQ(std::vector<std::int64_t>({tokenizer.unknown_id(), tokenizer.cls_id(), tokenizer.sep_id()}),
            (std::vector<std::int64_t>{0, 1, 2}));
  EXPECT_TRUE(WordPieceTokenizer::highway_enabled());
}

TEST(WordPieceTokenizer, IllFormedUtf8ErrorTypeFollowsLowercase) {
  struct Row {
    std::string word;
    bool lowercase;
    std::string expected;
  };
  const Row rows[] = {
      {"ab\x80", true, "err invalid_argument 2"},
      {"ab\x80", false, "err wordpiece 2"},
      {"\xE2\x28\xA1", false, "err wordpiece 1"},
      {"A\xC0\xAF", true, "err invalid_argument 1"},
      {"A\xC0\xAF", false, "err wordpiece 1"},
      {"\xED\xA0\x80", false, "err wordpiece 0"},
      {"x\xF4\x90\x80\x80", true, "err invalid_argument 1"},
  };
  for (const Row& row : rows) {
    Settings settings;
    settings.lowercase = row.lowercase;
    const WordPieceTokenizer tokenizer = settings.make();
    EXPECT_EQ(result_line(tokenizer, row.word), row.expected) << testing::hex_field(row.word);
    // Words before the bad one are cached; the bad one is not.
    EXPECT_ANY_THROW(tokenizer.encode({"un", row.word}, true));
    EXPECT_EQ(tokenizer.cache_size(), 1u);
  }
}

TEST(WordPieceTokenizer, MovedFromThrowsLogicError) {
  WordPieceTokenizer tokenizer = Settings{}.make();
  WordPieceTokenizer target = std::move(tokenizer);
  EXPECT_EQ(target.encode({"un"}, false).input_ids, std::vector<std::int64_t>{3});
  const std::string message = "the WordPiece tokenizer has been moved from";
  EXPECT_THROW_MSG(tokenizer.encode({"un"}, false), std::logic_error, message);
  EXPECT_THROW_MSG(tokenizer.cache_size(), std::logic_error, message);
  EXPECT_THROW_MSG(tokenizer.vocabulary_size(), std::logic_error, message);
  EXPECT_THROW_MSG(tokenizer.unknown_id(), std::logic_error, message);
  tokenizer = std::move(target);
  EXPECT_EQ(tokenizer.encode({"un"}, false).input_ids, std::vector<std::int64_t>{3});
}

// Two distinct words that share a cache slot.
std::pair<std::string, std::string> colliding_words() {
  std::vector<std::string> by_slot(WordCache::kSlotCount);
  for (int i = 0;; ++i) {
    const std::string word = "un" + std::to_string(i);
    std::string& seen = by_slot[WordCache::slot_of(word)];
    if (!seen.empty()) return {seen, word};
    seen = word;
  }
}

TEST(WordCache, HitsCollisionsEmptyWordAndByteCap) {
  Settings settings;
  settings.vocabulary.insert(settings.vocabulary.end(), {"##0", "##1", "##2", "##3", "##4", "##5", "##6",
                                                         "##7", "##8", "##9", ","});
  const WordPieceTokenizer tokenizer = settings.make();
  const auto ids = [&](const std::string& word) { return tokenizer.encode({word}, false).input_ids; };
  const auto [first, second] = colliding_words();
  ASSERT_EQ(WordCache::slot_of(first), WordCache::slot_of(second));
  const auto first_ids = ids(first), second_ids = ids(second);
  EXPECT_NE(first_ids, second_ids);
  EXPECT_EQ(tokenizer.cache_size(), 1u);  // the second replaced the first
  EXPECT_EQ(ids(first), first_ids);
  EXPECT_EQ(ids(second), second_ids);
  EXPECT_EQ(tokenizer.cache_size(), 1u);
  EXPECT_EQ(ids(""), std::vector<std::int64_t>{6});
  EXPECT_EQ(ids(""), std::vector<std::int64_t>{6});
  EXPECT_EQ(tokenizer.cache_size(), WordCache::slot_of("") == WordCache::slot_of(first) ? 1u : 2u);

  // Words up to the byte cap are stored; longer ones are computed each time.
  const std::uint64_t before = tokenizer.cache_size();
  std::string at_cap;
  for (int i = 0; i < 341; ++i) at_cap += "un,";
  at_cap += "-";
  ASSERT_EQ(at_cap.size(), WordCache::kMaxCachedWordBytes);
  const std::string over_cap = at_cap + "-";
  EXPECT_EQ(ids(over_cap).size(), 684u);
  EXPECT_EQ(ids(over_cap), ids(over_cap));
  EXPECT_EQ(tokenizer.cache_size(), before);
  EXPECT_EQ(ids(at_cap).size(), 683u);
  EXPECT_EQ(tokenizer.cache_size(), before + 1);

  // The count is the number of distinct slots touched, never above the slot count.
  std::set<std::size_t> slots{WordCache::slot_of(first), WordCache::slot_of(""), WordCache::slot_of(at_cap)};
  for (int i = 0; i < 20000; ++i) {
    const std::string word = "un" + std::to_string(i * 7919);
    ids(word);
    slots.insert(WordCache::slot_of(word));
  }
  EXPECT_EQ(tokenizer.cache_size(), slots.size());
  EXPECT_LE(tokenizer.cache_size(), WordCache::kSlotCount);
}

// 8 threads on one tokenizer, each over all words in its own order, several
// times, with more distinct words than slots: every result must equal the
// single-threaded one.
TEST(WordCache, EightThreadsAgreeWithOneThread) {
  testing::RandomWords random(7);
  std::vector<std::string> words;
  for (int i = 0; i < 3000; ++i) words.push_back(random.word(6));
  for (int i = 0; i < 9000; ++i) words.push_back("un" + std::to_string(i));
  Settings settings;
  settings.vocabulary.insert(settings.vocabulary.end(), {"##1", "##2", "##3", "a", "##a", "##e"});
  std::vector<std::vector<std::int64_t>> expected;
  {
    const WordPieceTokenizer fresh = settings.make();
    for (const std::string& word : words) expected.push_back(fresh.impl().encode_word(word));
  }
  const WordPieceTokenizer shared = settings.make();
  std::vector<int> mismatches(8, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::vector<std::size_t> order(words.size());
      for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
      std::shuffle(order.begin(), order.end(), std::mt19937(static_cast<unsigned>(t)));
      for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t i : order) {
          if (shared.encode({words[i]}, false).input_ids != expected[i]) ++mismatches[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(8, 0));
  EXPECT_LE(shared.cache_size(), WordCache::kSlotCount);
}

// A vocabulary made from code point substrings of the words (and of their
// lower-cased forms), bare and with the prefix, with a few specials.
std::vector<std::string> vocabulary_from(const std::vector<std::string>& words, const std::string& prefix,
                                         std::mt19937& random) {
  std::vector<std::string> vocabulary = {"[UNK]", "[CLS]", "[SEP]"};
  std::set<std::string> seen(vocabulary.begin(), vocabulary.end());
  const auto add = [&](const std::string& token) {
    if (seen.insert(token).second) vocabulary.push_back(token);
  };
  if (random() % 2) add("-");
  for (const std::string& word : words) {
    for (const std::string& form : {word, detail::unicode_lower(word)}) {
      const std::vector<char32_t> cps = detail::decode_utf8(form);
      for (int k = 0; k < 3 && !cps.empty(); ++k) {
        const std::size_t begin = random() % cps.size();
        const std::size_t end = std::min(cps.size(), begin + 1 + random() % 3);
        std::string token;
        for (std::size_t i = begin; i < end; ++i) detail::append_utf8(cps[i], token);
        add(random() % 2 ? token : prefix + token);
      }
    }
  }
  return vocabulary;
}

// Words for the differential tests: random words, some of several words'
// length, a few ill-formed ones.
std::vector<std::string> differential_words(std::uint32_t seed, std::size_t count) {
  testing::RandomWords random(seed);
  std::vector<std::string> words = {"", "-", " ", "\x01"};
  while (words.size() < count) {
    std::string word = random.word();
    if (random.pick(8) == 0) word += " " + random.word();
    if (random.pick(50) == 0) word = random.broken(word);
    words.push_back(word);
  }
  return words;
}

TEST(WordPieceDifferential, AgreesWithPythonReferenceOnRandomWords) {
  const auto python = testing::python_with_unicode_15_1();
  if (!python) GTEST_SKIP() << "no Python with Unicode 15.1.0 (set LORVANE_PY315)";
  std::string request;
  std::vector<std::string> all_words, expected;
  struct Config {
    bool lowercase, strip;
    std::string prefix;
    std::uint64_t max;
  };
  const Config configs[] = {{true, true, "##", 100}, {true, false, "##", 100}, {false, true, "##", 6},
                            {false, false, "", 100}, {true, true, "", 4}};
  std::uint32_t seed = 1;
  for (const Config& config : configs) {
    const std::vector<std::string> words = differential_words(seed++, 3000);
    std::vector<std::string> valid;
    for (const std::string& word : words) {
      if (detail::for_each_code_point(word, [](char32_t, std::size_t, std::size_t) {}) == detail::kUtf8Valid) {
        valid.push_back(word);
      }
    }
    std::mt19937 random(seed);
    Settings settings{vocabulary_from(valid, config.prefix, random), config.lowercase, config.strip,
                      config.prefix, config.max};
    const WordPieceTokenizer tokenizer = settings.make();
    std::vector<std::string> actual;
    for (const std::string& word : words) actual.push_back(result_line(tokenizer, word));
    std::string skip;
    const auto reference =
        testing::run_subword_script(*python, "subword_reference.py", settings.request(), words, &skip);
    ASSERT_TRUE(reference) << skip;
    std::size_t differences = 0;
    for (std::size_t i = 0; i < words.size() && i < reference->size(); ++i) {
      if (actual[i] != (*reference)[i] && ++differences <= 5) {
        ADD_FAILURE() << "word " << testing::hex_field(words[i]) << ": ours " << actual[i] << ", reference "
                      << (*reference)[i];
      }
    }
    EXPECT_EQ(differences, 0u);
  }
}

// Words over the characters on which the Part and the `tokenizers` package's
// BERT-style normaliser and pre-tokenizer agree: ASCII letters, digits and
// punctuation (not the ASCII symbols, which the package splits off), Latin-1
// letters, Greek without capital sigma (the package applies final sigma),
// Cyrillic, CJK ideographs, and single spaces and tabs.
std::vector<std::string> oracle_words(std::uint32_t seed, std::size_t count) {
  std::vector<char32_t> alphabet;
  const auto add = [&](char32_t first, char32_t last) {
    for (char32_t c = first; c <= last; ++c) alphabet.push_back(c);
  };
  add('a', 'z'), add('A', 'Z'), add('0', '9'), add(0xC0, 0xD6), add(0xD8, 0xF6), add(0xF8, 0xFF);
  add(0x391, 0x3A1), add(0x3A4, 0x3A9), add(0x3AC, 0x3CE), add(0x410, 0x44F), add(0x4E00, 0x4E20);
  for (const char c : std::string(",.!?'\"-()[]:;@#%&*/_")) alphabet.push_back(static_cast<unsigned char>(c));
  std::mt19937 random(seed);
  std::vector<std::string> words;
  for (std::size_t i = 0; i < count; ++i) {
    std::string word;
    const std::size_t length = 1 + random() % 14;
    for (std::size_t k = 0; k < length; ++k) {
      const char32_t c = random() % 12 == 0 ? U' ' : alphabet[random() % alphabet.size()];
      word += utf8({c});
    }
    if (word.find_first_not_of(' ') == std::string::npos) word = "x";
    words.push_back(word);
  }
  return words;
}

TEST(WordPieceOracle, AgreesWithTokenizersPackageOnItsCommonGround) {
  std::size_t compared = 0;
  for (int config = 0; config < 4; ++config) {
    const std::vector<std::string> words = oracle_words(100 + config, 2000);
    std::mt19937 random(config);
    Settings settings{vocabulary_from(words, "##", random), config / 2 == 0, config % 2 == 0, "##",
                      config == 3 ? 5u : 100u};
    std::string skip;
    const auto oracle =
        testing::run_subword_script(testing::python(), "subword_oracles.py", settings.request(), words, &skip);
    if (!oracle) GTEST_SKIP() << skip;
    const WordPieceTokenizer tokenizer = settings.make();
    for (std::size_t i = 0; i < words.size() && i < oracle->size(); ++i) {
      EXPECT_EQ(result_line(tokenizer, words[i]), (*oracle)[i]) << testing::hex_field(words[i]);
      ++compared;
    }
  }
  EXPECT_EQ(compared, 8000u);
}

}  // namespace
}  // namespace lorvane
