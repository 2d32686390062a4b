// Document handles, row views and view sequences: cell encodings, the ROOT
// word, view identity, index and slice arithmetic, and views kept across a
// rebuild of their storage.

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <limits>
#include <stdexcept>

#include "document_records.hpp"
#include "lorvane/document.hpp"
#include "support/test_support.hpp"

namespace lorvane {
namespace {

using namespace testing::records;
using Strings = std::vector<std::string>;
using Rows = std::vector<std::uint32_t>;

constexpr std::int64_t kMaxI64 = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMinI64 = std::numeric_limits<std::int64_t>::min();

// Rows that a token sequence visits, in order.
template <class Sequence>
Rows rows_of(const Sequence& seq) {
  Rows out;
  for (std::uint64_t i = 0; i < seq.size(); ++i) out.push_back(seq.at(static_cast<std::int64_t>(i)).index());
  return out;
}

// Ids of words as "id" or "id.empty".
Strings word_ids(const WordSequence& seq) {
  Strings out;
  for (std::uint64_t i = 0; i < seq.size(); ++i) {
    const Word w = seq.at(static_cast<std::int64_t>(i));
    std::string id = std::to_string(w.id());
    if (w.empty_index()) id += "." + std::to_string(*w.empty_index());
    out.push_back(id);
  }
  return out;
}

// Twenty single-word tokens in one sentence.
Document twenty_tokens() {
  Strings texts;
  for (int i = 0; i < 20; ++i) texts.push_back("t" + std::to_string(i));
  return Document("", plain_sentences({texts}));
}

TEST(Document, FromTextAlone) {
  const Document doc("");
  EXPECT_EQ(doc.text(), "");
  EXPECT_EQ(doc.codepoint_count(), 0u);
  EXPECT_EQ(doc.sentences().size(), 0u);
  EXPECT_EQ(doc.tokens().size(), 0u);
  EXPECT_EQ(doc.words().size(), 0u);
  EXPECT_EQ(doc.ents().size(), 0u);
  EXPECT_EQ(doc.num_words(), 0u);
  EXPECT_EQ(doc.lang(), std::nullopt);
  EXPECT_THROW_MSG(doc.sentences().at(0), std::out_of_range, "index is outside the sequence");
  const DocumentStorage& d = *doc.storage();
  EXPECT_EQ(d.sentences.token_offsets, Rows{0});
  EXPECT_EQ(d.sentences.word_offsets, Rows{0});
  EXPECT_EQ(d.sentences.span_offsets, Rows{0});
  EXPECT_EQ(d.built_word_count, 0u);
}

TEST(Document, TextAccessors) {
  const Document doc("a\xC3\xA9" "b");
  EXPECT_EQ(doc.codepoint_count(), 3u);
  EXPECT_EQ(doc.byte_offset(2), 3u);
  EXPECT_THROW_MSG(doc.byte_offset(4), std::out_of_range, "code point index is outside the document");
  EXPECT_THROW_MSG(Document(std::string("\xC0\x80")), std::invalid_argument,
                   "invalid UTF-8 sequence at byte offset 0");
}

TEST(Document, NullStorageIsRefused) {
  EXPECT_THROW_MSG(Document(std::shared_ptr<DocumentStorage>()), std::invalid_argument,
                   "a document storage pointer cannot be null");
}

TEST(Document, MovedFromHandleKeepsItsStorage) {
  // Documents are moved through processors; a handle left behind must still
  // hold its storage rather than a null pointer that every accessor follows.
  Document doc("a b", plain_sentences({{"a", "b"}}));
  Document moved = std::move(doc);
  Document assigned("");
  assigned = std::move(moved);
  ASSERT_NE(doc.storage(), nullptr);
  EXPECT_TRUE(doc.same_storage(assigned));
  EXPECT_EQ(doc.text(), "a b");
  EXPECT_EQ(doc.num_tokens(), 2u);
  EXPECT_EQ(moved.sentences().size(), 1u);
  EXPECT_EQ(Document(std::move(assigned)).words().at(1).text(), "b");
  EXPECT_EQ(assigned.to_conll(), doc.to_conll());
}

TEST(Document, CopiesShareOneStorage) {
  Document doc("x", plain_sentences({{"x"}}));
  const Document copy = doc;
  const Document other("x", plain_sentences({{"x"}}));
  doc.set_lang("fr");
  EXPECT_EQ(copy.lang(), "fr");
  EXPECT_TRUE(copy.same_storage(doc));
  EXPECT_FALSE(other.same_storage(doc));
  doc.words().at(0).set_lemma("y");
  EXPECT_EQ(copy.words().at(0).lemma(), "y");
  doc.set_lang(std::nullopt);
  EXPECT_EQ(copy.lang(), std::nullopt);
  EXPECT_EQ(doc.storage()->lang, kNoIndex);
  doc.set_lang("");
  EXPECT_EQ(copy.lang(), "");
}

// Each row of the table makes a view that must be refused with its message.
struct BadViewCase {
  const char* name;
  std::function<void(const std::shared_ptr<DocumentStorage>&)> make;
  std::string message;
};

class BadViewTest : public ::testing::TestWithParam<BadViewCase> {};

TEST_P(BadViewTest, IsRefused) {
  const Document doc("", plain_sentences({{"a", "b"}}));  // 1 sentence, 2 tokens, 2 words, 0 spans
  EXPECT_THROW_MSG(GetParam().make(doc.storage()), std::out_of_range, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Views, BadViewTest,
    ::testing::Values(
        BadViewCase{"SentencePastEnd", [](auto s) { Sentence(s, 1); }, "invalid sentence view"},
        BadViewCase{"SentenceNull", [](auto) { Sentence(nullptr, 0); }, "invalid sentence view"},
        BadViewCase{"TokenPastEnd", [](auto s) { Token(s, 2); }, "invalid token view"},
        BadViewCase{"TokenNull", [](auto) { Token(nullptr, 0); }, "invalid token view"},
        BadViewCase{"SpanPastEnd", [](auto s) { Span(s, 0); }, "invalid span view"},
        BadViewCase{"WordPastEnd", [](auto s) { Word(s, 2, 0); }, "invalid word view"},
        BadViewCase{"WordNoSentence", [](auto s) { Word(s, kNoIndex, kNoIndex); }, "invalid word view"},
        BadViewCase{"WordNull", [](auto) { Word(nullptr, kNoIndex, 0); }, "invalid word view"},
        BadViewCase{"RootOfMissingSentence", [](auto s) { Word(s, kNoIndex, 1).sent(); },
                    "invalid sentence view"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Views, RootWordOfADocumentWithoutSentences) {
  const Document doc("");
  const Word root(doc.storage(), kNoIndex, 0);
  EXPECT_TRUE(root.is_root());
  EXPECT_THROW_MSG(root.sent(), std::out_of_range, "invalid sentence view");
}

TEST(Views, RootWordReadsFixedValues) {
  const Document doc("", plain_sentences({{"a"}, {"b"}}));
  const Word root(doc.storage(), kNoIndex, 1);
  EXPECT_EQ(root.id(), 0);
  EXPECT_EQ(root.text(), "ROOT");
  EXPECT_EQ(root.empty_index(), std::nullopt);
  EXPECT_EQ(root.head(), std::nullopt);
  EXPECT_EQ(root.lemma(), std::nullopt);
  EXPECT_EQ(root.upos(), std::nullopt);
  EXPECT_EQ(root.deprel(), std::nullopt);
  EXPECT_EQ(root.start_char(), std::nullopt);
  EXPECT_EQ(root.manual_expansion(), std::nullopt);
  EXPECT_TRUE(root.morphemes().empty());
  EXPECT_TRUE(root.coref_chains().empty());
  EXPECT_FALSE(root.parent());
  EXPECT_EQ(root.sent().index(), 1u);
}

TEST(Views, RootWordSettersFailBeforeAnyOtherCheck) {
  const Document doc("", plain_sentences({{"a"}}));
  Word root(doc.storage(), kNoIndex, 0);
  const std::vector<std::function<void()>> setters{
      [&] { root.set_text(""); },          [&] { root.set_text("x"); },
      [&] { root.set_lemma("x"); },        [&] { root.set_upos(std::nullopt); },
      [&] { root.set_xpos("x"); },         [&] { root.set_feats("x"); },
      [&] { root.set_head(1); },           [&] { root.set_deprel("x"); },
      [&] { root.set_deps("x"); },         [&] { root.set_misc("x"); },
      [&] { root.set_morphemes({}); }};
  for (std::size_t i = 0; i < setters.size(); ++i)
    EXPECT_THROW_MSG(setters[i](), std::logic_error, "the synthetic ROOT word is immutable") << i;
  EXPECT_EQ(doc.words().at(0).text(), "a");
}

TEST(Views, IntegerCellsRoundTripAndMinimumMeansAbsent) {
  const Document doc("", plain_sentences({{"a"}}));
  Sentence s = doc.sentences().at(0);
  Word w = doc.words().at(0);
  for (const std::optional<int> value : {std::optional<int>(0), std::optional<int>(-7), std::optional<int>(INT_MAX),
                                         std::optional<int>(INT_MIN + 1), std::optional<int>()}) {
    s.set_sentiment(value);
    w.set_head(value);
    EXPECT_EQ(s.sentiment(), value);
    EXPECT_EQ(w.head(), value);
  }
  s.set_sentiment(INT_MIN);
  w.set_head(INT_MIN);
  EXPECT_EQ(s.sentiment(), std::nullopt);
  EXPECT_EQ(w.head(), std::nullopt);
}

TEST(Views, FlagCells) {
  const Document doc("", plain_sentences({{"a"}}));
  Token t = doc.tokens().at(0);
  DocumentStorage& d = *doc.storage();
  const std::vector<std::pair<std::int8_t, std::optional<bool>>> cells{
      {-1, std::nullopt}, {-128, std::nullopt}, {0, false}, {1, true}, {5, true}, {127, true}};
  for (const auto& [cell, expected] : cells) {
    d.tokens.manual_expansion[0] = cell;
    d.words.manual_expansion[0] = cell;
    EXPECT_EQ(t.manual_expansion(), expected) << int(cell);
    EXPECT_EQ(doc.words().at(0).manual_expansion(), expected) << int(cell);
  }
  for (const std::optional<bool> value : {std::optional<bool>(true), std::optional<bool>(false), std::optional<bool>()}) {
    t.set_manual_expansion(value);
    EXPECT_EQ(t.manual_expansion(), value);
  }
  EXPECT_EQ(d.tokens.manual_expansion[0], -1);
}

TEST(Views, TokenSetters) {
  Document doc("", plain_sentences({{"a"}}));
  Token t = doc.tokens().at(0);
  EXPECT_THROW_MSG(t.set_text(""), std::invalid_argument, "a token must have non-empty text");
  EXPECT_EQ(t.text(), "a");
  t.set_text("b");
  EXPECT_EQ(t.text(), "b");
  t.set_spaces_after("");
  EXPECT_EQ(t.spaces_after(), "");
  t.set_spaces_before("\t");
  EXPECT_EQ(t.spaces_before(), "\t");
  t.set_misc("");
  EXPECT_EQ(t.misc(), "");
  t.set_misc(std::nullopt);
  EXPECT_EQ(t.misc(), std::nullopt);
  t.set_ner("S-X");
  EXPECT_EQ(t.ner(), "S-X");
  t.set_multi_ner({"B-Y", "", "B-Y"});
  EXPECT_EQ(t.multi_ner(), (Strings{"B-Y", "", "B-Y"}));
  t.set_multi_ner({});
  EXPECT_TRUE(t.multi_ner().empty());
}

TEST(Views, WordSetters) {
  Document doc("", plain_sentences({{"a"}}));
  Word w = doc.words().at(0);
  EXPECT_THROW_MSG(w.set_text(""), std::invalid_argument, "a word must have non-empty text");
  EXPECT_EQ(w.text(), "a");
  w.set_text("b");
  w.set_lemma("l");
  w.set_upos("NOUN");
  w.set_xpos("NN");
  w.set_feats("Number=Sing");
  w.set_deprel("root");
  w.set_deps("0:root");
  w.set_misc("");
  w.set_morphemes({"b", "b"});
  const Word again = doc.words().at(0);
  EXPECT_EQ(again.text(), "b");
  EXPECT_EQ(again.lemma(), "l");
  EXPECT_EQ(again.upos(), "NOUN");
  EXPECT_EQ(again.xpos(), "NN");
  EXPECT_EQ(again.feats(), "Number=Sing");
  EXPECT_EQ(again.deprel(), "root");
  EXPECT_EQ(again.deps(), "0:root");
  EXPECT_EQ(again.misc(), "");
  EXPECT_EQ(again.morphemes(), (Strings{"b", "b"}));
  w.set_upos(std::nullopt);
  EXPECT_EQ(again.upos(), std::nullopt);
}

TEST(Views, IsMwtCountsRegularWordRows) {
  TokenInput one_word_wide_range = token(4, "z");
  one_word_wide_range.id_end = 5;
  const Document doc("", {sentence({mwt(1, "du", {"de", "le"}), token(3, "x"), one_word_wide_range,
                                    mwt(6, "abc", {"a", "b", "c"})})});
  const std::vector<bool> expected{true, false, false, true};
  for (std::size_t i = 0; i < expected.size(); ++i)
    EXPECT_EQ(doc.tokens().at(static_cast<std::int64_t>(i)).is_mwt(), expected[i]) << i;
  EXPECT_EQ(rows_of(doc.tokens().at(3).words()), (Rows{4, 5, 6}));
  EXPECT_EQ(doc.tokens().at(3).words().at(1).parent()->index(), 3u);
}

TEST(Views, SentenceRangesAndNavigation) {
  const Document doc("", {sentence({token(1, "a")}), sentence({mwt(1, "bc", {"b", "c"}), token(3, "d")})});
  const Sentence second = doc.sentences().at(1);
  EXPECT_EQ(rows_of(second.tokens()), (Rows{1, 2}));
  EXPECT_EQ(rows_of(second.words()), (Rows{1, 2, 3}));
  EXPECT_EQ(second.ents().size(), 0u);
  EXPECT_TRUE(second.doc().same_storage(doc));
  const Word d = doc.words().at(-1);
  EXPECT_EQ(d.sentence(), kNoIndex);
  EXPECT_EQ(d.sent().index(), 1u);
  EXPECT_EQ(d.parent()->index(), 2u);
  EXPECT_EQ(doc.tokens().at(1).sent().index(), 1u);
}

TEST(Views, SentenceTextAbsentReadsEmpty) {
  const Document doc("", {SentenceInput{}});
  EXPECT_EQ(doc.sentences().at(0).text(), "");
  EXPECT_EQ(doc.sentences().at(0).tokens().size(), 0u);
}

TEST(Views, ConstituencyCell) {
  const Document doc("", plain_sentences({{"a"}}));
  Sentence s = doc.sentences().at(0);
  EXPECT_FALSE(s.constituency());
  const ConstituencyTree tree("ROOT", {ConstituencyTree("NN", {ConstituencyTree("a", {})})});
  s.set_constituency(tree);
  ASSERT_TRUE(s.constituency());
  EXPECT_TRUE(s.constituency()->same_node(tree));
  s.set_constituency(std::nullopt);
  EXPECT_FALSE(s.constituency());
}

TEST(Views, SameViewNeedsStorageIndexAndSentence) {
  const Document doc("", plain_sentences({{"a", "b"}}));
  const Document other("", plain_sentences({{"a", "b"}}));
  const Word from_sequence = doc.words().at(1);
  const Word with_sentence(doc.storage(), 1, 0);
  EXPECT_FALSE(from_sequence.same_view(with_sentence));
  EXPECT_TRUE(from_sequence.same_view(doc.sentences().at(0).words().at(1)));
  EXPECT_FALSE(from_sequence.same_view(other.words().at(1)));
  EXPECT_TRUE(Word(doc.storage(), kNoIndex, 0).same_view(Word(doc.storage(), kNoIndex, 0)));
  EXPECT_FALSE(Word(doc.storage(), kNoIndex, 0).same_view(with_sentence));
  EXPECT_TRUE(doc.tokens().at(0).same_view(Token(doc.storage(), 0)));
  EXPECT_FALSE(doc.tokens().at(0).same_view(other.tokens().at(0)));
  EXPECT_TRUE(doc.sentences().at(0).same_view(doc.words().at(0).sent()));
}

TEST(Views, AllWordsOrdersByIdThenEmptyIndex) {
  Document doc("", plain_sentences({{"x"}, {"one", "two", "three"}}));
  DocumentStorage& d = *doc.storage();
  d.add_empty_word(1, empty_word(2, 2, "e22"));
  d.add_empty_word(1, empty_word(0, 1, "e01"));
  d.add_empty_word(1, empty_word(2, 1, "e21"));
  d.add_empty_word(0, empty_word(1, 1, "other"));
  const Sentence s = doc.sentences().at(1);
  EXPECT_EQ(word_ids(s.all_words()), (Strings{"0.1", "1", "2", "2.1", "2.2", "3"}));
  EXPECT_EQ(word_ids(s.empty_words()), (Strings{"2.2", "0.1", "2.1"}));
  EXPECT_EQ(word_ids(s.words()), (Strings{"1", "2", "3"}));
  EXPECT_EQ(doc.words().size(), 4u);
  EXPECT_EQ(doc.num_words(), 4u);
  EXPECT_THROW_MSG(doc.words().at(4), std::out_of_range, "index is outside the sequence");
  EXPECT_EQ(Word(doc.storage(), 7, kNoIndex).text(), "other");
}

TEST(Views, AllWordsKeepsCollectedOrderForEqualKeys) {
  SentenceInput s = sentence({token(2, "first"), token(1, "second"), token(2, "third")});
  Document doc("", {s});
  EXPECT_EQ(rows_of(doc.sentences().at(0).all_words()), (Rows{1, 0, 2}));
}

TEST(Views, AllWordsSortIsStableOnLongSentences) {
  std::vector<TokenInput> tokens;
  Rows expected_ones, expected_twos;
  for (std::uint32_t i = 0; i < 64; ++i) {
    const int id = (i * 7) % 3 == 0 ? 1 : 2;
    tokens.push_back(token(id, "w" + std::to_string(i)));
    (id == 1 ? expected_ones : expected_twos).push_back(i);
  }
  const Document doc("", {sentence(tokens)});
  Rows expected = expected_ones;
  expected.insert(expected.end(), expected_twos.begin(), expected_twos.end());
  EXPECT_EQ(rows_of(doc.sentences().at(0).all_words()), expected);
}

struct IndexCase {
  std::int64_t index;
  std::optional<std::uint32_t> row;  // nullopt: "index is outside the sequence"
};

TEST(Sequences, PythonStyleIndices) {
  const Document doc("", plain_sentences({{"a", "b", "c"}}));
  const TokenSequence seq = doc.tokens();
  const std::vector<IndexCase> cases{{0, 0},  {2, 2},           {-1, 2},           {-3, 0},
                                     {-4, {}}, {3, {}},          {kMaxI64, {}},     {kMinI64, {}}};
  for (const IndexCase& c : cases) {
    if (c.row) {
      EXPECT_EQ(seq.at(c.index).index(), *c.row) << c.index;
    } else {
      EXPECT_THROW_MSG(seq.at(c.index), std::out_of_range, "index is outside the sequence") << c.index;
    }
  }
}

TEST(Sequences, RangeArithmetic) {
  const SequenceRange rows{10, 1, 10};
  const SequenceRange sliced = rows.slice(2, 3, 3);
  EXPECT_EQ(sliced, (SequenceRange{12, 3, 3}));
  EXPECT_EQ(sliced.reversed(), (SequenceRange{18, -3, 3}));
  EXPECT_EQ(sliced.reversed().reversed(), sliced);
  EXPECT_EQ(sliced.slice(1, 2, 1), (SequenceRange{15, 6, 1}));
  EXPECT_EQ((SequenceRange{5, 7, 0}).reversed(), (SequenceRange{5, 7, 0}));
  EXPECT_EQ(SequenceRange{}, (SequenceRange{0, 1, 0}));
  EXPECT_EQ((SequenceRange{0, 1, std::numeric_limits<std::uint64_t>::max()}).position(-1),
            std::numeric_limits<std::uint64_t>::max() - 1);
  EXPECT_EQ((SequenceRange{0, 1, std::numeric_limits<std::uint64_t>::max()}).position(kMinI64),
            std::numeric_limits<std::uint64_t>::max() - (std::uint64_t{1} << 63));
}

TEST(Sequences, SlicesAndReversalsOfTokens) {
  const Document doc = twenty_tokens();
  const TokenSequence window(doc.storage(), SequenceRange{10, 1, 10});
  const TokenSequence sliced = window.slice(2, 3, 3);
  EXPECT_EQ(rows_of(sliced), (Rows{12, 15, 18}));
  EXPECT_EQ(rows_of(sliced.reversed()), (Rows{18, 15, 12}));
  EXPECT_EQ(sliced.reversed().reversed().range(), sliced.range());
  EXPECT_EQ(rows_of(sliced.reversed().slice(1, 1, 2)), (Rows{15, 12}));
  EXPECT_EQ(rows_of(doc.tokens().reversed().slice(0, 5, 4)), (Rows{19, 14, 9, 4}));
  EXPECT_EQ(window.slice(0, 1, 0).size(), 0u);
  EXPECT_EQ(window.slice(5, 1, 0).reversed().range(), (SequenceRange{15, 1, 0}));
}

TEST(Sequences, HugeStepsWrapInsteadOfOverflowing) {
  const Document doc = twenty_tokens();
  const TokenSequence all = doc.tokens();
  const TokenSequence far = all.slice(kMaxI64, kMaxI64, 2);
  EXPECT_EQ(far.range(), (SequenceRange{kMaxI64, kMaxI64, 2}));
  const TokenSequence farther = far.slice(1, 2, 2);
  EXPECT_EQ(farther.range(), (SequenceRange{-2, -2, 2}));  // 2^63-1 + 2^63-1 and (2^63-1)*2, mod 2^64
  EXPECT_EQ(farther.reversed().range(), (SequenceRange{-4, 2, 2}));
  const TokenSequence min_step = all.slice(kMinI64, kMinI64, 3);
  EXPECT_EQ(min_step.reversed().range().step, kMinI64);  // negating INT64_MIN wraps to itself
  EXPECT_EQ(min_step.slice(kMinI64, kMinI64, 1).range(), (SequenceRange{kMinI64, 0, 1}));
  // Rows are taken modulo 2^32; beyond the table the view refuses.
  EXPECT_THROW_MSG(farther.at(0), std::out_of_range, "invalid token view");
  const TokenSequence wrapped(doc.storage(), SequenceRange{(std::int64_t{1} << 32) + 5, 1, 1});
  EXPECT_EQ(wrapped.at(0).index(), 5u);
  EXPECT_TRUE(wrapped.contains(doc.tokens().at(5)));
}

TEST(Sequences, SliceBeyondTheParentFailsOnlyAtAccess) {
  const Document doc = twenty_tokens();
  const TokenSequence beyond = doc.tokens().slice(15, 2, 5);
  EXPECT_EQ(beyond.size(), 5u);
  EXPECT_EQ(beyond.at(2).index(), 19u);
  EXPECT_THROW_MSG(beyond.at(3), std::out_of_range, "invalid token view");
  const SentenceSequence sentences = doc.sentences().slice(0, 1, 2);
  EXPECT_THROW_MSG(sentences.at(1), std::out_of_range, "invalid sentence view");
}

TEST(Sequences, ExplicitWordList) {
  const Document doc = twenty_tokens();
  const WordSequence listed(doc.storage(), Rows{7, 3, 9});
  EXPECT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed.resolve(1), 3u);
  EXPECT_EQ(listed.at(-1).index(), 9u);
  EXPECT_EQ(listed.at(0).sentence(), kNoIndex);
  const WordSequence reversed = listed.reversed();
  EXPECT_EQ(rows_of(reversed), (Rows{9, 3, 7}));
  EXPECT_EQ(reversed.rows(), listed.rows());
  EXPECT_EQ(listed.slice(1, 1, 2).rows(), listed.rows());
  EXPECT_EQ(rows_of(listed.slice(2, -2, 2)), (Rows{9, 7}));
  // A position past the list is refused, however the range got there.
  const WordSequence past(doc.storage(), SequenceRange{0, 2, 3}, listed.rows());
  EXPECT_EQ(past.at(1).index(), 9u);
  EXPECT_THROW_MSG(past.at(2), std::out_of_range, "index is outside the sequence");
  const WordSequence wrapping(doc.storage(), SequenceRange{(std::int64_t{1} << 32) + 1, 1, 1}, listed.rows());
  EXPECT_THROW_MSG(wrapping.at(0), std::out_of_range, "index is outside the sequence");
  EXPECT_FALSE(past.contains(Word(doc.storage(), 0, kNoIndex)));
  EXPECT_TRUE(past.contains(Word(doc.storage(), 9, 0)));
  // A listed row beyond the table is refused by the view.
  EXPECT_THROW_MSG(WordSequence(doc.storage(), Rows{99}).at(0), std::out_of_range, "invalid word view");
}

TEST(Sequences, DefaultConstructed) {
  const Document doc("", plain_sentences({{"a"}}));
  const SentenceSequence sentences;
  const TokenSequence tokens;
  const SpanSequence spans;
  const WordSequence words;
  EXPECT_EQ(sentences.size() + tokens.size() + spans.size() + words.size(), 0u);
  EXPECT_EQ(tokens.storage(), nullptr);
  EXPECT_EQ(words.rows(), nullptr);
  EXPECT_EQ(tokens.range(), SequenceRange{});
  EXPECT_THROW_MSG(sentences.at(0), std::out_of_range, "index is outside the sequence");
  EXPECT_THROW_MSG(tokens.at(-1), std::out_of_range, "index is outside the sequence");
  EXPECT_THROW_MSG(spans.at(0), std::out_of_range, "index is outside the sequence");
  EXPECT_THROW_MSG(words.at(0), std::out_of_range, "index is outside the sequence");
  EXPECT_FALSE(tokens.contains(doc.tokens().at(0)));
  EXPECT_FALSE(words.contains(doc.words().at(0)));
  EXPECT_EQ(words.reversed().size(), 0u);
  // A non-empty range over no storage still cannot make a view.
  EXPECT_THROW_MSG(tokens.slice(0, 1, 1).at(0), std::out_of_range, "invalid token view");
  EXPECT_THROW_MSG(words.slice(0, 1, 1).at(0), std::out_of_range, "invalid word view");
}

TEST(Sequences, ContainsComparesStorageAndRow) {
  const Document doc = twenty_tokens();
  const Document other = twenty_tokens();
  const TokenSequence odd = doc.tokens().slice(1, 2, 10);
  EXPECT_TRUE(odd.contains(doc.tokens().at(19)));
  EXPECT_FALSE(odd.contains(doc.tokens().at(18)));
  EXPECT_FALSE(odd.contains(other.tokens().at(19)));
  EXPECT_TRUE(odd.reversed().contains(doc.tokens().at(1)));
  const WordSequence words = doc.sentences().at(0).words();
  EXPECT_TRUE(words.contains(Word(doc.storage(), 4, 0)));  // a word carrying its sentence
  EXPECT_FALSE(words.contains(Word(doc.storage(), kNoIndex, 0)));
  EXPECT_FALSE(words.slice(0, 1, 0).contains(Word(doc.storage(), 0, kNoIndex)));
  EXPECT_FALSE(words.contains(other.words().at(4)));
  EXPECT_TRUE(doc.sentences().contains(doc.words().at(3).sent()));
}

// Views and sequences kept while their storage shrinks.
struct StaleCase {
  const char* name;
  std::function<void()> access;
  std::string message;
};

TEST(StaleViews, AccessAfterTheColumnsShrinkThrows) {
  std::vector<SentenceInput> input = plain_sentences({{"a", "b"}, {"c", "d", "e"}});
  input[1].tokens[2].ner = "S-X";
  Document doc("", input);
  Sentence sentence = doc.sentences().at(1);
  Token token = doc.tokens().at(4);
  Word word = doc.words().at(4);
  Span span = doc.ents().at(0);
  const TokenSequence tokens = doc.tokens();
  const WordSequence token_words = token.words();
  const SpanSequence ents = doc.ents();
  const Word root(doc.storage(), kNoIndex, 1);
  doc.storage()->replace(plain_sentences({{"z"}}));

  const std::vector<StaleCase> cases{
      {"SentenceText", [&] { sentence.text(); }, "invalid sentence view"},
      {"SentenceTokens", [&] { sentence.tokens(); }, "invalid sentence view"},
      {"SentenceAllWords", [&] { sentence.all_words(); }, "invalid sentence view"},
      {"SentenceSetSentiment", [&] { sentence.set_sentiment(1); }, "invalid sentence view"},
      {"SentenceConstituency", [&] { sentence.set_constituency(std::nullopt); }, "invalid sentence view"},
      {"TokenText", [&] { token.text(); }, "invalid token view"},
      {"TokenSetNer", [&] { token.set_ner("S-X"); }, "invalid token view"},
      {"TokenIsMwt", [&] { token.is_mwt(); }, "invalid token view"},
      {"TokenWords", [&] { token.words(); }, "invalid token view"},
      {"WordLemma", [&] { word.lemma(); }, "invalid word view"},
      {"WordSetHead", [&] { word.set_head(1); }, "invalid word view"},
      {"WordSetText", [&] { word.set_text("x"); }, "invalid word view"},
      {"WordSent", [&] { word.sent(); }, "invalid word view"},
      {"WordCoref", [&] { word.coref_chains(); }, "invalid word view"},
      {"SpanText", [&] { span.text(); }, "invalid span view"},
      {"SpanWords", [&] { span.words(); }, "invalid span view"},
      {"SequenceOfTokens", [&] { tokens.at(4); }, "invalid token view"},
      {"SequenceOfTokenWords", [&] { token_words.at(0); }, "invalid word view"},
      {"SequenceOfSpans", [&] { ents.at(0); }, "invalid span view"},
      {"RootOfRemovedSentence", [&] { root.sent(); }, "invalid sentence view"}};
  for (const StaleCase& c : cases) EXPECT_THROW_MSG(c.access(), std::out_of_range, c.message) << c.name;
  // The surviving row reads the new content.
  EXPECT_EQ(tokens.at(0).text(), "z");
  EXPECT_EQ(root.text(), "ROOT");
}

TEST(StaleViews, MovedFromViewsThrowInsteadOfDereferencingNull) {
  const Document doc("", plain_sentences({{"a"}}));
  Sentence sentence = doc.sentences().at(0);
  Token token = doc.tokens().at(0);
  Word word = doc.words().at(0);
  const Sentence s2 = std::move(sentence);
  const Token t2 = std::move(token);
  const Word w2 = std::move(word);
  EXPECT_THROW_MSG(sentence.text(), std::out_of_range, "invalid sentence view");
  EXPECT_THROW_MSG(token.text(), std::out_of_range, "invalid token view");
  EXPECT_THROW_MSG(word.text(), std::out_of_range, "invalid word view");
  EXPECT_THROW_MSG(word.set_lemma("x"), std::out_of_range, "invalid word view");
  EXPECT_EQ(w2.text(), "a");
}

TEST(StaleViews, EmptyWordsRemovedByReset) {
  Document doc("", plain_sentences({{"a"}}));
  DocumentStorage& d = *doc.storage();
  Word added(doc.storage(), d.add_empty_word(0, empty_word(1, 1, "x")), kNoIndex);
  const WordSequence empties = doc.sentences().at(0).empty_words();
  const WordSequence all = doc.sentences().at(0).all_words();
  d.reset_generated_empty_words();
  EXPECT_THROW_MSG(added.text(), std::out_of_range, "invalid word view");
  EXPECT_THROW_MSG(added.set_lemma("y"), std::out_of_range, "invalid word view");
  EXPECT_THROW_MSG(added.parent(), std::out_of_range, "invalid word view");
  EXPECT_THROW_MSG(empties.at(0), std::out_of_range, "invalid word view");
  EXPECT_EQ(all.at(0).text(), "a");
  EXPECT_THROW_MSG(all.at(1), std::out_of_range, "invalid word view");
  EXPECT_EQ(doc.sentences().at(0).empty_words().size(), 0u);
}

}  // namespace
}  // namespace lorvane
