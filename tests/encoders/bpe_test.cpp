#include <gtest/gtest.h>

#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bpe_training.hpp"
#include "encoders/subword/bpe_impl.hpp"
#include "encoders/unicode/unicode.hpp"
#include "subword_test_support.hpp"

namespace lorvane {
namespace {

using testing::spelled_byte;
using testing::utf8;
using Merges = std::vector<std::pair<std::string, std::string>>;

// Specials, then the 256 byte spellings (ids 3..258), then `extra`.
std::vector<std::string> byte_vocabulary(const std::vector<std::string>& extra = {}) {
  std::vector<std::string> vocabulary = {"<unk>", "<s>", "</s>"};
  for (unsigned b = 0; b < 256; ++b) vocabulary.push_back(spelled_byte(static_cast<unsigned char>(b)));
  vocabulary.insert(vocabulary.end(), extra.begin(), extra.end());
  return vocabulary;
}

std::int64_t byte_id(char c) { return 3 + static_cast<unsigned char>(c); }

ByteBPETokenizer make(const std::vector<std::string>& extra = {}, const Merges& merges = {},
                      bool add_prefix_space = false) {
  return ByteBPETokenizer(byte_vocabulary(extra), merges, "<unk>", "<s>", "</s>", add_prefix_space);
}

std::string settings_request(const std::vector<std::string>& vocabulary, const Merges& merges,
                             bool add_prefix_space) {
  std::string out = "bpe " + std::to_string(add_prefix_space) + "\nunknown " + testing::hex_field("<unk>") +
                    "\ncls " + testing::hex_field("<s>") + "\nsep " + testing::hex_field("</s>") + "\nvocab" +
                    testing::hex_fields(vocabulary) + "\n";
  for (const auto& [first, second] : merges) out += "merge" + testing::hex_fields({first, second}) + "\n";
  return out;
}

std::string result_line(const ByteBPETokenizer& tokenizer, const std::string& word) {
  try {
    return testing::ok_line(tokenizer.tokenize(word));
  } catch (const SubwordError& e) {
    const std::string message = e.what();
    const std::string prefix = "invalid UTF-8 sequence at byte offset ";
    EXPECT_EQ(message.rfind(prefix, 0), 0u) << message;
    return "err subword " + message.substr(prefix.size());
  }
}

TEST(ByteBPE, ByteMapIsTheFixedPrintableSubstitution) {
  std::set<char32_t> seen;
  int identity = 0;
  for (unsigned b = 0; b < 256; ++b) {
    const char32_t c = detail::byte_level_character(static_cast<unsigned char>(b));
    identity += c == b;
    EXPECT_TRUE(c == b || (c >= 0x100 && c < 0x100 + 68)) << b;
    seen.insert(c);
    EXPECT_EQ(detail::decode_utf8(spelled_byte(static_cast<unsigned char>(b))), std::vector<char32_t>{c}) << b;
  }
  EXPECT_EQ(identity, 188);
  EXPECT_EQ(seen.size(), 256u);
  const std::pair<unsigned char, char32_t> spots[] = {{0x00, 0x100}, {0x20, 0x120}, {0x7F, 0x121}, {0xA0, 0x142},
                                                      {0xAD, 0x143}, {0x21, 0x21},  {0xAC, 0xAC},  {0xAE, 0xAE}};
  for (const auto& [b, c] : spots) EXPECT_EQ(detail::byte_level_character(b), c) << int(b);
}

TEST(ByteBPE, ConstructionChecksInOrder) {
  const std::string g = utf8({0x120});
  struct Row {
    std::vector<std::string> vocabulary;
    Merges merges;
    std::string unknown;
    std::string message;
  };
  std::vector<std::string> without_space = byte_vocabulary();
  without_space.erase(without_space.begin() + 3 + 0x20);
  const Row rows[] = {
      {{}, {}, "<unk>", "byte-level BPE vocabulary cannot be empty"},
      {{"a", "b", "a"}, {}, "x", "byte-level BPE vocabulary contains a duplicate token"},
      {{"<s>", "</s>"}, {}, "<unk>", "byte-level BPE vocabulary is missing token: <unk>"},
      {{"<unk>", "</s>"}, {}, "<unk>", "byte-level BPE vocabulary is missing token: <s>"},
      {{"<unk>", "<s>"}, {}, "<unk>", "byte-level BPE vocabulary is missing token: </s>"},
      {{"<unk>", "<s>", "</s>"}, {}, "<unk>", "byte-level BPE vocabulary is missing token: " + utf8({0x100})},
      {without_space, {}, "<unk>", "byte-level BPE vocabulary is missing token: " + g},
      {byte_vocabulary({"ab"}), {{"a", "b"}, {"xy", "b"}}, "<unk>", "byte-level BPE vocabulary is missing token: xy"},
      {byte_vocabulary(), {{"a", "zz"}}, "<unk>", "byte-level BPE vocabulary is missing token: zz"},
      {byte_vocabulary(), {{"a", "b"}}, "<unk>", "byte-level BPE vocabulary is missing token: ab"},
  };
  for (const Row& row : rows) {
    EXPECT_THROW_MSG(ByteBPETokenizer(row.vocabulary, row.merges, row.unknown, "<s>", "</s>", false), SubwordError,
                     row.message);
  }
  const ByteBPETokenizer tokenizer = make({"ab"}, {{"a", "b"}});
  EXPECT_EQ(tokenizer.vocabulary_size(), 260u);
  EXPECT_EQ(std::vector<std::int64_t>({tokenizer.unknown_id(), tokenizer.cls_id(), tokenizer.sep_id()}),
            (std::vector<std::int64_t>{0, 1, 2}));
  EXPECT_TRUE(ByteBPETokenizer::highway_enabled());
}

std::string joined_pieces(const std::string& text) {
  const auto spans = detail::decode_utf8_spans(text.data(), text.size());
  std::string out;
  for (const auto& [begin, end] : ByteBPETokenizer::Impl::pretokenize(text, spans)) {
    out += (out.empty() ? "" : "|") + text.substr(begin, end - begin);
  }
  return out;
}

TEST(ByteBPE, PretokenizesByClassWithContractionsAndOneSpacePrefix) {
  const std::pair<std::string, std::string> rows[] = {
      {"don't", "don|'t"},
      {"'ll've", "'ll|'ve"},
      {"'S", "'|S"},
      {"!'s", "!'|s"},
      {" 's", " '|s"},
      {"x's'd'm're", "x|'s|'d|'m|'re"},
      {"a  b", "a|  |b"},
      {"a b", "a| b"},
      {"a ", "a| "},
      {"'", "'"},
      {"e" + utf8({0x301}), "e" + utf8({0x301})},
      {"1" + utf8({0x301}), "1|" + utf8({0x301})},
      {utf8({0x301}) + "ab", utf8({0x301}) + "ab"},
      {"2024", "2024"},
      {"ab12 34", "ab|12| 34"},
      {"a\tb", "a|\t|b"},
      {" \t x", " \t |x"},  // whitespace runs are maximal
      {"a" + utf8({0x3000}) + "b", "a|" + utf8({0x3000}) + "|b"},
      {"a " + utf8({0x3000}) + "b", "a| " + utf8({0x3000}) + "|b"},
      {"hi!!", "hi|!!"},
      {"", ""},
  };
  for (const auto& [text, pieces] : rows) EXPECT_EQ(joined_pieces(text), pieces) << testing::hex_field(text);
}

TEST(ByteBPE, MergesLowestRankEveryOccurrenceLeftToRight) {
  const auto a = byte_id('a'), b = byte_id('b'), c = byte_id('c');
  struct Row {
    std::vector<std::string> extra;
    Merges merges;
    std::string word;
    std::vector<std::int64_t> ids;
  };
  const Row rows[] = {
      {{"aa"}, {{"a", "a"}}, "aaa", {259, a}},
      {{"aa"}, {{"a", "a"}}, "aaaa", {259, 259}},
      // The repeated pair keeps rank 0, so (b, c) beats (a, b).
      {{"bc", "ab"}, {{"b", "c"}, {"a", "b"}, {"b", "c"}}, "abc", {a, 259}},
      {{"ab", "bc"}, {{"a", "b"}, {"b", "c"}}, "abc", {259, c}},
      // One pass rewrites every (a, b) before the lower-ranked (ab, a) exists.
      {{"ab", "aba"}, {{"ab", "a"}, {"a", "b"}}, "abab", {259, 259}},
      {{"ab", "abab"}, {{"a", "b"}, {"ab", "ab"}}, "ababab", {260, 259}},
      {{}, {}, "", {}},
      {{}, {}, "ab", {a, b}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(make(row.extra, row.merges).tokenize(row.word), row.ids) << row.word;
  }
}

// The merge loop exactly as the rescan describes it, for the differential test.
std::vector<std::int64_t> naive_merge(const ByteBPETokenizer::Impl& impl, const std::string& piece) {
  std::vector<std::int64_t> ids;
  for (const char ch : piece) ids.push_back(impl.byte_ids[static_cast<unsigned char>(ch)]);
  while (ids.size() >= 2) {
    const detail::MergeRule* best = nullptr;
    std::size_t at = 0;
    for (std::size_t k = 0; k + 1 < ids.size(); ++k) {
      const auto rule = impl.merge_ranks.find(detail::pair_key(ids[k], ids[k + 1]));
      if (rule != impl.merge_ranks.end() && (best == nullptr || rule->second.rank < best->rank)) {
        best = &rule->second, at = k;
      }
    }
    if (best == nullptr) break;
    const std::int64_t first = ids[at], second = ids[at + 1];
    std::vector<std::int64_t> out;
    for (std::size_t k = 0; k < ids.size(); ++k) {
      if (k + 1 < ids.size() && ids[k] == first && ids[k + 1] == second) {
        out.push_back(best->id), ++k;
      } else {
        out.push_back(ids[k]);
      }
    }
    ids = std::move(out);
  }
  return ids;
}

TEST(ByteBPE, QueuedMergesEqualTheRescanOnRandomRulesAndPieces) {
  std::mt19937 random(11);
  const std::string alphabet = "abc";
  for (int table = 0; table < 40; ++table) {
    // Random entries over a small alphabet; random merges among them in random rank order.
    std::vector<std::string> extra;
    std::set<std::string> known;
    for (const char ch : alphabet) known.insert(std::string(1, ch));
    Merges merges;
    for (int k = 0; k < 40; ++k) {
      const std::vector<std::string> pool(known.begin(), known.end());
      const std::string first = pool[random() % pool.size()], second = pool[random() % pool.size()];
      if (first.size() + second.size() > 6) continue;
      if (known.insert(first + second).second) extra.push_back(first + second);
      merges.emplace_back(first, second);
    }
    std::shuffle(merges.begin(), merges.end(), random);
    const ByteBPETokenizer tokenizer = make(extra, merges);
    for (int p = 0; p < 300; ++p) {
      std::string piece;
      for (std::size_t n = random() % 24; n > 0; --n) piece += alphabet[random() % alphabet.size()];
      ASSERT_EQ(tokenizer.impl().merge(piece), naive_merge(tokenizer.impl(), piece)) << piece;
    }
  }
}

TEST(ByteBPE, OneMegabyteWordMerges) {
  std::vector<std::string> extra;
  Merges merges;
  for (std::string unit = "a"; unit.size() < 1024; unit += unit) {
    extra.push_back(unit + unit);
    merges.emplace_back(unit, unit);
  }
  const ByteBPETokenizer tokenizer = make(extra, merges);
  const std::vector<std::int64_t> ids = tokenizer.tokenize(std::string(1 << 20, 'a'));
  EXPECT_EQ(ids, std::vector<std::int64_t>(1024, 259 + 9));
  EXPECT_EQ(tokenizer.cache_size(), 0u);  // over the cache's byte cap
}

TEST(ByteBPE, PrefixSpaceEncodeErrorsAndCache) {
  const std::int64_t space = byte_id(' ');
  const ByteBPETokenizer prefixed = make({utf8({0x120}) + "h"}, {{utf8({0x120}), "h"}}, true);
  EXPECT_EQ(prefixed.tokenize("hi"), (std::vector<std::int64_t>{259, byte_id('i')}));
  EXPECT_EQ(prefixed.tokenize("\thi"), (std::vector<std::int64_t>{byte_id('\t'), byte_id('h'), byte_id('i')}));
  EXPECT_EQ(prefixed.tokenize(utf8({0x3000}) + "h").size(), 4u);  // no space added before U+3000
  EXPECT_EQ(prefixed.tokenize(""), std::vector<std::int64_t>{});
  EXPECT_EQ(prefixed.tokenize(" "), std::vector<std::int64_t>{space});
  EXPECT_EQ(result_line(prefixed, "\xE2\x28\xA1"), "err subword 1");
  EXPECT_EQ(result_line(prefixed, "ab\x80"), "err subword 2");
  EXPECT_EQ(result_line(make(), "\xC0\xAF"), "err subword 0");

  const WordPieceEncoding encoding = prefixed.encode({"h", "", "hh"}, true);
  EXPECT_EQ(encoding.input_ids, (std::vector<std::int64_t>{1, 259, 259, byte_id('h'), 2}));
  EXPECT_EQ(encoding.word_ids, (std::vector<std::int64_t>{-1, 0, 2, 2, -1}));
  EXPECT_EQ(encoding.attention_mask, std::vector<std::int64_t>(5, 1));
  EXPECT_EQ(prefixed.encode({}, true).input_ids, (std::vector<std::int64_t>{1, 2}));
  EXPECT_EQ(prefixed.encode({}, false).input_ids, std::vector<std::int64_t>{});

  // Cache: the words above occupy slots; repeating them adds none, a bad word none.
  const std::uint64_t before = prefixed.cache_size();
  EXPECT_GT(before, 0u);
  prefixed.encode({"h", "", "hh", "hi"}, false);
  EXPECT_THROW(prefixed.tokenize("\xFF"), SubwordError);
  EXPECT_EQ(prefixed.cache_size(), before);
}

TEST(ByteBPE, MovedFromThrowsLogicError) {
  ByteBPETokenizer tokenizer = make();
  ByteBPETokenizer target(std::move(tokenizer));
  const std::string message = "the byte-level BPE tokenizer has been moved from";
  EXPECT_THROW_MSG(tokenizer.tokenize("a"), std::logic_error, message);
  EXPECT_THROW_MSG(tokenizer.encode({"a"}, true), std::logic_error, message);
  EXPECT_THROW_MSG(tokenizer.cache_size(), std::logic_error, message);
  EXPECT_THROW_MSG(tokenizer.unknown_id(), std::logic_error, message);
  tokenizer = std::move(target);
  EXPECT_EQ(tokenizer.tokenize("a"), std::vector<std::int64_t>{byte_id('a')});
}

// Random words of every script with contractions, spaces and quotes mixed in.
std::vector<std::string> differential_words(std::uint32_t seed, std::size_t count) {
  testing::RandomWords random(seed);
  const std::string extras[] = {"'s", "'t", "'re", "'ve", "'m", "'ll", "'d", "'S", " ", "  ", "'", "\t", "2024"};
  std::vector<std::string> words = {"", " ", "'", "don't"};
  while (words.size() < count) {
    std::string word = random.word(8);
    for (int k = static_cast<int>(random.pick(4)); k > 0; --k) {
      word += random.pick(2) ? extras[random.pick(std::size(extras))] : random.word(5);
    }
    if (random.pick(50) == 0) word = random.broken(word);
    words.push_back(word);
  }
  return words;
}

// Pieces for training: the words cut at spaces, each but the first keeping its space.
std::vector<std::string> training_pieces(const std::vector<std::string>& words) {
  std::vector<std::string> pieces;
  for (const std::string& word : words) {
    std::size_t begin = 0;
    for (std::size_t at; (at = word.find(' ', begin + 1)) != std::string::npos; begin = at) {
      pieces.push_back(word.substr(begin, at - begin));
    }
    pieces.push_back(" " + word.substr(begin));
  }
  return pieces;
}

TEST(ByteBPEDifferential, AgreesWithPythonReferenceOnRandomWords) {
  const auto python = testing::python_with_unicode_15_1();
  if (!python) GTEST_SKIP() << "no Python with Unicode 15.1.0 (set LORVANE_PY315)";
  for (int config = 0; config < 2; ++config) {
    const std::vector<std::string> words = differential_words(20 + config, 3000);
    const testing::BpeModel model = testing::train_byte_level_bpe(
        training_pieces(std::vector<std::string>(words.begin(), words.begin() + 300)), 150, {"<unk>", "<s>", "</s>"});
    const ByteBPETokenizer tokenizer(model.vocabulary, model.merges, "<unk>", "<s>", "</s>", config == 0);
    std::string skip;
    const auto reference = testing::run_subword_script(
        *python, "subword_reference.py", settings_request(model.vocabulary, model.merges, config == 0), words, &skip);
    ASSERT_TRUE(reference) << skip;
    std::size_t differences = 0;
    for (std::size_t i = 0; i < words.size() && i < reference->size(); ++i) {
      const std::string ours = result_line(tokenizer, words[i]);
      if (ours != (*reference)[i] && ++differences <= 5) {
        ADD_FAILURE() << testing::hex_field(words[i]) << ": ours " << ours << ", reference " << (*reference)[i];
      }
    }
    EXPECT_EQ(differences, 0u);
  }
}

// Single-spaced ASCII prose, where the Part's pre-tokenization and the
// package's regular expression cut the same pieces.
TEST(ByteBPEOracle, AgreesWithTokenizersPackageOnAsciiProse) {
  const std::string lexicon[] = {"the", "cat", "sat", "on", "mat", "don't", "we'll", "it's", "I'm", "they're",
                                 "2024", "x1", "e-mail", "(see", "p.", "42)", "Hello,", "world!", "A", "zebra's",
                                 "quick", "brown", "fox", "jumps", "over", "lazy", "dogs", "1,000", "\"quoted\""};
  std::mt19937 random(5);
  std::vector<std::string> texts;
  for (int i = 0; i < 3000; ++i) {
    std::string text;
    for (std::size_t n = 1 + random() % 8; n > 0; --n) {
      text += (text.empty() ? "" : " ") + lexicon[random() % std::size(lexicon)];
    }
    texts.push_back(text);
  }
  const testing::BpeModel model = testing::train_byte_level_bpe(
      training_pieces(std::vector<std::string>(texts.begin(), texts.begin() + 500)), 200, {"<unk>", "<s>", "</s>"});
  for (const bool prefix : {false, true}) {
    std::string skip;
    const auto oracle = testing::run_subword_script(testing::python(), "subword_oracles.py",
                                                    settings_request(model.vocabulary, model.merges, prefix), texts,
                                                    &skip);
    if (!oracle) GTEST_SKIP() << skip;
    const ByteBPETokenizer tokenizer(model.vocabulary, model.merges, "<unk>", "<s>", "</s>", prefix);
    for (std::size_t i = 0; i < texts.size() && i < oracle->size(); ++i) {
      ASSERT_EQ(result_line(tokenizer, texts[i]), (*oracle)[i]) << texts[i];
    }
  }
}

}  // namespace
}  // namespace lorvane
