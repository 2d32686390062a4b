#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "encoders/subword/unigram_impl.hpp"
#include "encoders/unicode/unicode.hpp"
#include "subword_test_support.hpp"

namespace lorvane {
namespace {

using testing::utf8;
using Bytes = std::vector<std::uint8_t>;
using Mapping = std::vector<std::pair<std::string, std::string>>;

const std::string kStart = utf8({0x2581});

Bytes from_hex_field(const std::string& field) {
  Bytes out;
  for (std::size_t i = 1; i + 1 < field.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(field.substr(i, 2), nullptr, 16)));
  }
  return out;
}

// Character maps built by tests/fixtures/charsmap.py, all in one run.
std::map<std::string, Bytes> build_charsmaps(const std::map<std::string, Mapping>& maps) {
  testing::TempDir dir;
  std::string spec;
  for (const auto& [name, mapping] : maps) {
    spec += "map " + name + "\n";
    for (const auto& [key, replacement] : mapping) {
      spec += "key " + testing::hex_field(key) + " " + testing::hex_field(replacement) + "\n";
    }
  }
  testing::write_file(dir / "spec.txt", spec);
  testing::run_python({(testing::source_dir() / "tests" / "fixtures" / "charsmap.py").string(),
                       (dir / "spec.txt").string(), (dir / "maps.txt").string()});
  std::map<std::string, Bytes> out;
  const std::string text = testing::read_file(dir / "maps.txt");
  for (std::size_t begin = 0, end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1) {
    const std::string line = text.substr(begin, end - begin);
    const std::size_t space = line.find(' ');
    out[line.substr(0, space)] = from_hex_field(line.substr(space + 1));
  }
  return out;
}

const std::map<std::string, Bytes>& fixture_maps() {
  static const std::map<std::string, Bytes> maps = build_charsmaps({
      {"cr", {{"\r", " "}}},
      {"e_first", {{"e", "E"}, {"e" + utf8({0x301}), "X"}}},
      {"e_only_long", {{"e" + utf8({0x301}), "X"}}},
      {"cjk", {{utf8({0x4E00}), "one"}, {utf8({0x4E00, 0xFE0F}), "whole"}, {utf8({0xFE0F}), ""}}},
      {"zwj", {{utf8({0x200D}) + "b", "J"}}},
      {"bad", {{"q", "\xFF"}, {utf8({0x200B}), ""}, {"w", "v v"}, {"i", utf8({0x3000})}}},
      {"nested", {{"a", "3"}, {"ab", "1"}, {"abc", "2"}}},
      {"partial", {{"\xC3", "P"}, {"a\xC3", "Q"}}},  // keys that end inside a code point
  });
  return maps;
}

const Bytes kEmptyMap = {0, 0, 0, 0};

struct Model {
  std::vector<std::string> vocabulary = {"<unk>", "<s>", "</s>"};
  std::vector<float> scores = {0, 0, 0};
  Bytes charsmap = kEmptyMap;
  std::int64_t unknown_id = 0;

  Model& add(const std::string& token, float score) {
    vocabulary.push_back(token);
    scores.push_back(score);
    return *this;
  }
  XLMRobertaTokenizer make() const {
    return XLMRobertaTokenizer(vocabulary, scores, charsmap, unknown_id, "<s>", "</s>");
  }
  std::string request() const {
    std::string out = "unigram " + std::to_string(unknown_id) + "\ncls " + testing::hex_field("<s>") + "\nsep " +
                      testing::hex_field("</s>") + "\nvocab" + testing::hex_fields(vocabulary) + "\nscores";
    for (const float score : scores) {
      char buffer[64];
      std::snprintf(buffer, sizeof buffer, " %a", static_cast<double>(score));
      out += std::isnan(score) ? " nan" : std::isinf(score) ? (score < 0 ? " -inf" : " inf") : buffer;
    }
    return out + "\ncharsmap " + testing::hex_field(std::string(charsmap.begin(), charsmap.end())) + "\n";
  }
};

std::string result_line(const XLMRobertaTokenizer& tokenizer, const std::string& word) {
  try {
    return testing::ok_line(tokenizer.tokenize(word));
  } catch (const SubwordError& e) {
    const std::string message = e.what();
    const std::string prefix = "invalid UTF-8 sequence at byte offset ";
    EXPECT_EQ(message.rfind(prefix, 0), 0u) << message;
    return "err subword " + message.substr(prefix.size());
  }
}

TEST(XLMRoberta, ConstructionChecksInOrder) {
  struct Row {
    std::vector<std::string> vocabulary;
    std::vector<float> scores;
    Bytes charsmap;
    std::int64_t unknown_id;
    std::string message;
  };
  const std::vector<std::string> ok = {"<unk>", "<s>", "</s>"};
  const std::vector<float> zeros(3, 0.0f);
  const Row rows[] = {
      {{}, {}, {}, -1, "XLM-R vocabulary and score arrays must be nonempty and equal"},
      {ok, {0, 0}, {}, -1, "XLM-R vocabulary and score arrays must be nonempty and equal"},
      {ok, zeros, {}, 3, "XLM-R unknown id is out of range"},
      {ok, zeros, {}, -1, "XLM-R unknown id is out of range"},
      {{"<unk>", "</s>", "x"}, zeros, {}, 0, "XLM-R vocabulary is missing token: <s>"},
      {{"<unk>", "<s>", "x"}, zeros, {}, 0, "XLM-R vocabulary is missing token: </s>"},
      {ok, zeros, {0, 0, 0}, 0, "XLM-R precompiled charsmap is truncated"},
      {ok, zeros, {6, 0, 0, 0, 1, 2}, 0, "XLM-R precompiled charsmap has invalid trie"},
      {ok, zeros, {8, 0, 0, 0, 1, 2, 3, 4}, 0, "XLM-R precompiled charsmap has invalid trie"},
      {ok, zeros, {0xFC, 0xFF, 0xFF, 0xFF}, 0, "XLM-R precompiled charsmap has invalid trie"},
  };
  for (const Row& row : rows) {
    EXPECT_THROW_MSG(XLMRobertaTokenizer(row.vocabulary, row.scores, row.charsmap, row.unknown_id, "<s>", "</s>"),
                     SubwordError, row.message);
  }
  // Duplicates are accepted: the first index is used and every entry counts.
  const XLMRobertaTokenizer tokenizer({"<unk>", "<s>", "</s>", kStart + "a", kStart + "a"}, {0, 0, 0, -1, 5},
                                      {8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 2, "<s>", "</s>");
  EXPECT_EQ(tokenizer.vocabulary_size(), 5u);
  EXPECT_EQ(tokenizer.tokenize("a"), std::vector<std::int64_t>{3});
  EXPECT_EQ(std::vector<std::int64_t>({tokenizer.unknown_id(), tokenizer.cls_id(), tokenizer.sep_id()}),
            (std::vector<std::int64_t>{2, 1, 2}));
  EXPECT_TRUE(XLMRobertaTokenizer::highway_enabled());
}

TEST(XLMRoberta, NormalisesByTheLongestKeyAtEachCodePoint) {
  struct Row {
    std::string map;
    std::string word;
    std::string normalized;
  };
  const std::string acute = utf8({0x301});
  const Row rows[] = {
      {"cr", "a\r\nb", "a \nb"},                    // the LF after the key is kept
      {"cr", "a\n\rb", "a\n b"},
      {"e_first", "e" + acute, "X"},                 // the longest key wins
      {"e_first", "e" + acute + acute, "X" + acute},  // only the key's bytes are replaced
      {"e_first", "xe", "xE"},
      {"e_only_long", "e" + acute, "X"},
      {"e_only_long", "e", "e"},
      {"cjk", utf8({0x4E00, 0xFE0F}), "whole"},      // keys of any length
      {"cjk", utf8({0x4E00, 0xFE0F, 0xFE0F}), "whole"},
      {"cjk", utf8({0x4E00}), "one"},
      {"zwj", "a" + utf8({0x200D}) + "b", "aJ"},
      {"bad", "a" + utf8({0x200B}) + "b", "ab"},
      {"bad", std::string("a\0w", 3), std::string("a\0v v", 5)},  // NUL never matches
      {"nested", "abcd", "2d"},
      {"nested", "abd", "1d"},
      {"nested", "aab", "31"},
      {"partial", "a" + utf8({0xE9}), "a" + utf8({0xE9})},
      {"", "e" + acute + "\r\n", "e" + acute + "\r\n"},  // the empty trie
  };
  for (const Row& row : rows) {
    Model model;
    if (!row.map.empty()) model.charsmap = fixture_maps().at(row.map);
    EXPECT_EQ(model.make().impl().normalize(row.word), row.normalized)
        << row.map << " " << testing::hex_field(row.word);
  }
  Model bad;
  bad.charsmap = fixture_maps().at("bad");
  const XLMRobertaTokenizer tokenizer = bad.add(kStart + "a", -1).add(kStart + "v", -1).make();
  EXPECT_EQ(result_line(tokenizer, "aaq"), "err subword 2");  // offset in the normalised text
  EXPECT_EQ(result_line(tokenizer, "a\xE2\x28\xA1"), "err subword 2");
  EXPECT_EQ(tokenizer.tokenize("w"), (std::vector<std::int64_t>{4, 4}));  // "v v": two runs
  EXPECT_EQ(tokenizer.tokenize("aia"), (std::vector<std::int64_t>{3, 3}));  // U+3000 splits the runs
  EXPECT_EQ(tokenizer.tokenize(" \t"), std::vector<std::int64_t>{});
  EXPECT_EQ(tokenizer.tokenize(""), std::vector<std::int64_t>{});
}

TEST(XLMRoberta, ViterbiSegmentation) {
  const float inf = std::numeric_limits<float>::infinity();
  struct Row {
    Model model;
    std::string word;
    std::vector<std::int64_t> ids;
  };
  // float32 sums: 1 + 1e-8 rounds to 1 (a tie, the longer last piece stays);
  // 1 + 1e-7 does not.
  const Model tie = Model().add(kStart + "ab", 1.0f).add(kStart + "a", 1.0f).add("b", 1e-8f);
  const Model no_tie = Model().add(kStart + "ab", 1.0f).add(kStart + "a", 1.0f).add("b", 1e-7f);
  const Model pieces = Model().add(kStart, -1).add("a", -2).add("ab", -2.5f).add("b", -2).add(kStart + "a", -4);
  Model unknown_scored = Model().add(kStart, -1);
  unknown_scored.scores[0] = -100;
  const Row rows[] = {
      {tie, "ab", {3}},
      {no_tie, "ab", {4, 5}},
      {pieces, "ab", {3, 5}},                   // -1 - 2.5 beats -1 - 2 - 2 and -4 - 2
      {pieces, "abab", {3, 5, 5}},
      {pieces, "azzb", {3, 4, 0, 0, 6}},        // one unknown id per uncovered code point
      {pieces, "a b", {3, 4, 3, 6}},
      {unknown_scored, "z", {3, 0}},
      {Model().add(kStart + "a", -inf), "ab", {0}},   // the end is unreachable: one unknown id
      {Model().add(kStart + "a", std::nanf("")), "ab", {0}},
      {Model().add(kStart + "a", std::nanf("")).add(kStart, 0), "ab", {4, 0, 0}},
      {Model().add(kStart, -inf), "b", {0}},
  };
  for (const Row& row : rows) EXPECT_EQ(row.model.make().tokenize(row.word), row.ids) << row.word;
}

TEST(XLMRoberta, EncodeCacheAndMovedFrom) {
  XLMRobertaTokenizer tokenizer = Model().add(kStart, -1).add("a", -1).make();
  const WordPieceEncoding encoding = tokenizer.encode({"a", "", "aa"}, true);
  EXPECT_EQ(encoding.input_ids, (std::vector<std::int64_t>{1, 3, 4, 3, 4, 4, 2}));
  EXPECT_EQ(encoding.word_ids, (std::vector<std::int64_t>{-1, 0, 0, 2, 2, 2, -1}));
  EXPECT_EQ(encoding.attention_mask, std::vector<std::int64_t>(7, 1));
  EXPECT_EQ(tokenizer.encode({}, false).input_ids, std::vector<std::int64_t>{});
  const std::uint64_t cached = tokenizer.cache_size();
  EXPECT_GE(cached, 2u);
  tokenizer.encode({"a", "", "aa"}, false);
  EXPECT_THROW(tokenizer.tokenize("\xC0\xAF"), SubwordError);
  EXPECT_EQ(tokenizer.cache_size(), cached);

  XLMRobertaTokenizer target = std::move(tokenizer);
  const std::string message = "the XLM-R tokenizer has been moved from";
  EXPECT_THROW_MSG(tokenizer.tokenize("a"), std::logic_error, message);
  EXPECT_THROW_MSG(tokenizer.encode({"a"}, true), std::logic_error, message);
  EXPECT_THROW_MSG(tokenizer.vocabulary_size(), std::logic_error, message);
  tokenizer = std::move(target);
  EXPECT_EQ(tokenizer.tokenize("a"), (std::vector<std::int64_t>{3, 4}));
}

std::vector<std::string> fuzz_words() {
  testing::RandomWords random(3);
  std::vector<std::string> words = {"e" + utf8({0x301}), "a\r\nb", utf8({0x4E00, 0xFE0F}), "q", "xyz"};
  for (int i = 0; i < 20; ++i) words.push_back(random.word(6));
  return words;
}

// Random damage to the units and offsets of a valid map: every look-up must
// stay inside the arrays (checked by the sanitizers) and every word must give
// either ids or a clean SubwordError.
TEST(XLMRoberta, DamagedTrieIsNeverReadOutOfBounds) {
  Mapping mapping = {{"\r", " "}, {"e", "E"}, {"e" + utf8({0x301}), "X"}, {utf8({0x4E00}), "one"}, {"q", "\xFF"}};
  for (char32_t c = 0xC0; c < 0x180; c += 3) mapping.emplace_back(utf8({c}), utf8({c + 1, 'z'}));
  const Bytes valid = build_charsmaps({{"m", mapping}}).at("m");
  const std::size_t units = (valid.size() - 4) / 4;  // upper bound; the header says how many are units
  const std::vector<std::string> words = fuzz_words();
  std::mt19937 random(99);
  std::size_t errors = 0, encoded = 0;
  for (int mutation = 0; mutation < 3000; ++mutation) {
    Bytes damaged = valid;
    for (int k = 1 + static_cast<int>(random() % 4); k > 0; --k) {
      const std::size_t at = 4 + 4 * (random() % units);
      switch (random() % 4) {
        case 0:  // flip one bit anywhere in a unit
          damaged[at + random() % 4] ^= static_cast<std::uint8_t>(1u << (random() % 8));
          break;
        case 1:  // a large or shifted offset
          damaged[at + 1] |= 0x02, damaged[at + 3] = static_cast<std::uint8_t>(random());
          break;
        case 2:  // a random unit
          for (int b = 0; b < 4; ++b) damaged[at + b] = static_cast<std::uint8_t>(random());
          break;
        default:  // a value past the blob
          damaged[at + 2] = 0xFF, damaged[at + 3] = 0x7F;
      }
    }
    Model model;
    model.add(kStart + "a", -1).add("E", -1);
    model.charsmap = damaged;
    const XLMRobertaTokenizer tokenizer = model.make();
    for (const std::string& word : words) {
      try {
        tokenizer.tokenize(word);
        ++encoded;
      } catch (const SubwordError&) {
        ++errors;
      }
    }
  }
  EXPECT_GT(encoded, 0u);
  EXPECT_GT(errors, 0u);  // the "q" -> 0xFF replacement, where the trie still finds it
}

// A random map, vocabulary and scores over the code points of the words.
Model random_model(const std::vector<std::string>& words, std::uint32_t seed, Mapping* mapping) {
  std::mt19937 random(seed);
  Model model;
  std::set<std::string> keys;
  for (const std::string& word : words) {
    std::vector<std::string> cps;
    try {
      for (const char32_t c : detail::decode_utf8(word)) cps.push_back(utf8({c}));
    } catch (const std::invalid_argument&) {
      continue;
    }
    if (cps.empty()) continue;
    const std::size_t at = random() % cps.size();
    if (random() % 6 == 0 && cps[at] != std::string(1, '\0') && keys.insert(cps[at]).second) {
      const std::string replacements[] = {"", " ", cps[(at + 1) % cps.size()], "e" + utf8({0x301}), "AB"};
      mapping->emplace_back(cps[at], replacements[random() % std::size(replacements)]);
    }
    for (int k = 0; k < 2; ++k) {
      const std::size_t begin = random() % cps.size();
      std::string token = random() % 3 == 0 ? kStart : "";
      for (std::size_t i = begin; i < std::min(cps.size(), begin + 1 + random() % 3); ++i) token += cps[i];
      // Scores on a coarse grid make ties common; a few are infinite or NaN.
      const int kind = static_cast<int>(random() % 50);
      const float score = kind == 0   ? -std::numeric_limits<float>::infinity()
                          : kind == 1 ? std::nanf("")
                                      : -static_cast<float>(random() % 16) / 4.0f - 0.1f * (random() % 2);
      model.add(token, score);
    }
  }
  model.unknown_id = static_cast<std::int64_t>(random() % 3);
  model.scores[static_cast<std::size_t>(model.unknown_id)] = -10;
  return model;
}

TEST(XLMRobertaDifferential, AgreesWithPythonReferenceOnRandomWords) {
  const auto python = testing::python_with_unicode_15_1();
  if (!python) GTEST_SKIP() << "no Python with Unicode 15.1.0 (set LORVANE_PY315)";
  std::vector<std::vector<std::string>> corpora;
  std::vector<Mapping> mappings(3);
  std::vector<Model> models;
  for (std::uint32_t config = 0; config < 3; ++config) {
    testing::RandomWords random(40 + config);
    std::vector<std::string> words = {"", " ", "\r\n", "e" + utf8({0x301, 0x302})};
    while (words.size() < 2500) {
      std::string word = random.word(8);
      if (random.pick(6) == 0) word += random.pick(2) ? " " + random.word(4) : utf8({0x200D}) + random.word(2);
      if (random.pick(60) == 0) word = random.broken(word);
      words.push_back(word);
    }
    models.push_back(random_model(words, config, &mappings[config]));
    corpora.push_back(words);
  }
  std::map<std::string, Mapping> specs;
  for (std::size_t config = 0; config < 3; ++config) specs["m" + std::to_string(config)] = mappings[config];
  const std::map<std::string, Bytes> maps = build_charsmaps(specs);
  for (std::size_t config = 0; config < 3; ++config) {
    Model& model = models[config];
    if (config > 0) model.charsmap = maps.at("m" + std::to_string(config));  // config 0: the empty trie
    const XLMRobertaTokenizer tokenizer = model.make();
    std::string skip;
    const auto reference =
        testing::run_subword_script(*python, "subword_reference.py", model.request(), corpora[config], &skip);
    ASSERT_TRUE(reference) << skip;
    std::size_t differences = 0;
    for (std::size_t i = 0; i < corpora[config].size() && i < reference->size(); ++i) {
      const std::string ours = result_line(tokenizer, corpora[config][i]);
      if (ours != (*reference)[i] && ++differences <= 5) {
        ADD_FAILURE() << testing::hex_field(corpora[config][i]) << ": ours " << ours << ", reference "
                      << (*reference)[i];
      }
    }
    EXPECT_EQ(differences, 0u);
  }
}

// What the sentencepiece package says about a model it trained: the model as
// the unigram tokenizer takes it, and each word's normalised text (with the
// package's word-start marks) and ids.
struct OracleRun {
  Model model;
  std::vector<std::string> normalized;
  std::vector<std::string> id_lines;
};

// Trains a unigram model on the sentences with the package's NFKC character
// map; nullopt (and *skip) without the package.
std::optional<OracleRun> sentencepiece_oracle(const std::vector<std::string>& sentences, int vocabulary_size,
                                              const std::vector<std::string>& words, std::string* skip) {
  std::string settings = "spm " + std::to_string(vocabulary_size) + "\n";
  for (const std::string& sentence : sentences) settings += "text " + testing::hex_field(sentence) + "\n";
  constexpr std::size_t kHeadLines = 5;
  const auto lines =
      testing::run_subword_script(testing::python(), "subword_oracles.py", settings, words, skip, kHeadLines);
  if (!lines || lines->size() != words.size() + kHeadLines) return std::nullopt;
  std::map<std::string, std::vector<std::string>> head;
  for (std::size_t i = 0; i < kHeadLines; ++i) {
    std::vector<std::string> fields;
    std::string field;
    for (const char c : (*lines)[i] + " ") {
      if (c != ' ') {
        field += c;
      } else if (!field.empty()) {
        fields.push_back(field), field.clear();
      }
    }
    head[fields[0]] = std::vector<std::string>(fields.begin() + 1, fields.end());
  }
  OracleRun run;
  run.model.vocabulary.clear(), run.model.scores.clear();
  for (const std::string& token : head.at("vocab")) {
    const Bytes bytes = from_hex_field(token);
    run.model.vocabulary.emplace_back(bytes.begin(), bytes.end());
  }
  for (const std::string& score : head.at("scores")) run.model.scores.push_back(std::stof(score));
  run.model.charsmap = from_hex_field(head.at("charsmap").at(0));
  run.model.unknown_id = std::stoll(head.at("unknown").at(0));
  for (const std::string& text : head["normalized"]) {
    const Bytes bytes = from_hex_field(text);
    run.normalized.emplace_back(bytes.begin(), bytes.end());
  }
  run.id_lines.assign(lines->begin() + kHeadLines, lines->end());
  return run;
}

// Our normalisation and ids of every word against the package's. The package
// marks the start of the text and turns spaces into the same mark.
void expect_agreement(const OracleRun& oracle, const std::vector<std::string>& words) {
  ASSERT_EQ(oracle.normalized.size(), words.size());
  const XLMRobertaTokenizer tokenizer = oracle.model.make();
  for (std::size_t i = 0; i < words.size(); ++i) {
    std::string normalized;
    for (const char c : tokenizer.impl().normalize(words[i])) normalized += c == ' ' ? kStart : std::string(1, c);
    if (!normalized.empty()) normalized.insert(0, kStart);
    EXPECT_EQ(normalized, oracle.normalized[i]) << testing::hex_field(words[i]);
    EXPECT_EQ(result_line(tokenizer, words[i]), oracle.id_lines[i]) << testing::hex_field(words[i]);
  }
}

std::vector<std::string> random_sentences(const std::vector<std::string>& lexicon, std::size_t count,
                                          std::mt19937& random) {
  std::vector<std::string> sentences;
  for (std::size_t i = 0; i < count; ++i) {
    std::string sentence;
    for (int k = 0; k < 8; ++k) sentence += (k ? " " : "") + lexicon[random() % lexicon.size()];
    sentences.push_back(sentence);
  }
  return sentences;
}

// Single words over characters seen in training: on unseen characters the
// package merges runs of unknown pieces, where this tokenizer keeps one
// unknown id per code point.
TEST(XLMRobertaOracle, AgreesWithSentencepieceOnWordsOfItsTrainingAlphabet) {
  const std::vector<std::string> lexicon = {
      "the", "cat", "sat", "on", "mat", "caf" + utf8({0xE9}), "na" + utf8({0xEF}) + "ve",
      utf8({0x3BB, 0x3CC, 0x3B3, 0x3BF, 0x3C2}), utf8({0x441, 0x43B, 0x43E, 0x432, 0x43E}),
      utf8({0x4E00, 0x4E8C, 0x4E09}), "running", "jumped", "2024", "hello,", "world."};
  std::mt19937 random(8);
  const std::vector<std::string> sentences = random_sentences(lexicon, 400, random);
  std::vector<std::string> words = lexicon;
  std::vector<std::vector<char32_t>> letters;
  for (const std::string& word : lexicon) letters.push_back(detail::decode_utf8(word));
  while (words.size() < 2000) {
    std::string word;
    for (std::size_t n = 1 + random() % 10; n > 0; --n) {
      const auto& source = letters[random() % letters.size()];
      word += utf8({source[random() % source.size()]});
    }
    words.push_back(word);
  }
  std::string skip;
  const std::optional<OracleRun> oracle = sentencepiece_oracle(sentences, 120, words, &skip);
  if (!oracle && !skip.empty()) GTEST_SKIP() << skip;
  ASSERT_TRUE(oracle);
  expect_agreement(*oracle, words);
}

// Compatibility characters followed by combining marks, where the map's
// keys nest: its longest key at each point is replaced, and whatever follows
// that key is normalised on its own, never dropped.
TEST(XLMRobertaOracle, AgreesWithSentencepieceOnMarksAfterCompatibilityCharacters) {
  const std::vector<std::vector<char32_t>> units = {
      // Arabic presentation forms with vowel marks
      {0xFE91, 0x64E}, {0xFEE3, 0x650}, {0xFEB3, 0x651, 0x64E}, {0xFE8D, 0x653}, {0xFE8D, 0x654, 0x64F},
      {0xFEFB}, {0xFDF2}, {0xFE91, 0x64E, 0x651},
      // CJK compatibility ideographs
      {0xFA63, 0x341}, {0xF900}, {0xF91D, 0x301}, {0x2F800, 0x300}, {0xFA10, 0x302, 0x323},
      // Hangul jamo, conjoining and compatibility
      {0x1100, 0x1161, 0x11A8}, {0x1112, 0x1175}, {0x1100, 0x1161, 0x301}, {0x110B, 0x1173, 0x11AF}, {0x3131},
      {0xFFA1},
      // Latin with stacked marks, and other compatibility letters with marks
      {'a', 0x302, 0x309}, {'A', 0x302, 0x300}, {'e', 0x301, 0x323}, {'o', 0x31B, 0x303},
      {'u', 0x308, 0x304, 0x301}, {'i', 0x307, 0x301}, {'<', 0x338}, {0xFF21, 0x301}, {0xFB01, 0x308},
      {0x212B, 0x301}, {0x2163, 0x301}, {0xB2, 0x301}};
  std::vector<std::string> lexicon = {"the", "cat", "sat", "on", "x"};
  for (const auto& unit : units) {
    std::string text;
    for (const char32_t c : unit) text += utf8({c});
    lexicon.push_back(text);
  }
  std::mt19937 random(12);
  std::vector<std::string> sentences = random_sentences(lexicon, 300, random);
  // Whole units joined into words, so that every character the words
  // normalise to is seen in training.
  const auto joined = [&] {
    std::string word;
    for (std::size_t n = 1 + random() % 4; n > 0; --n) word += lexicon[random() % lexicon.size()];
    return word;
  };
  for (int i = 0; i < 300; ++i) sentences.push_back(joined() + " " + joined() + " " + joined());
  std::vector<std::string> words = lexicon;
  words.push_back("\xEF\xBA\x91\xD9\x8E");  // U+FE91 U+064E
  words.push_back("\xEF\xA9\xA3\xCD\x81");  // U+FA63 U+0341
  while (words.size() < 1500) words.push_back(joined());
  std::string skip;
  const std::optional<OracleRun> oracle = sentencepiece_oracle(sentences, 300, words, &skip);
  if (!oracle && !skip.empty()) GTEST_SKIP() << skip;
  ASSERT_TRUE(oracle);
  expect_agreement(*oracle, words);
}

}  // namespace
}  // namespace lorvane
