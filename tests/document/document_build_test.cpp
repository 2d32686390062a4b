// Building documents from input records: derived texts, ids, offsets and
// whitespace, validation order, empty words, replace and the row limits.

#include <gtest/gtest.h>

#include <climits>
#include <stdexcept>

#include "document/row_limit.hpp"
#include "document/storage_builder.hpp"
#include "lorvane/document.hpp"
#include "support/test_support.hpp"
#include "document_records.hpp"

namespace lorvane {
namespace {

using namespace testing::records;
using Strings = std::vector<std::string>;

std::vector<std::string> token_texts(const Document& doc) {
  std::vector<std::string> out;
  for (std::uint64_t i = 0; i < doc.tokens().size(); ++i) out.push_back(doc.tokens().at(static_cast<std::int64_t>(i)).text());
  return out;
}

TEST(InputRecords, FreshRecordsHaveTheirDefaults) {
  const TokenInput t;
  EXPECT_EQ(t.id_start, 0);
  EXPECT_EQ(t.id_end, 0);
  EXPECT_EQ(t.spaces_before, "");
  EXPECT_EQ(t.spaces_after, " ");
  EXPECT_FALSE(t.ner || t.misc || t.start_char || t.end_char || t.manual_expansion);
  EXPECT_TRUE(t.words.empty() && t.multi_ner.empty());
  const WordInput w;
  EXPECT_EQ(w.id, 0);
  EXPECT_EQ(w.text, "");
  EXPECT_FALSE(w.empty_index || w.lemma || w.upos || w.xpos || w.feats || w.head || w.deprel ||
               w.deps || w.misc || w.start_char || w.end_char || w.manual_expansion);
  const SentenceInput s;
  EXPECT_FALSE(s.text || s.sent_id || s.speaker || s.doc_id || s.sentiment);
  EXPECT_TRUE(s.tokens.empty() && s.empty_words.empty() && s.comments.empty());
}

TEST(DocumentBuild, EmptyListOfSentences) {
  const Document doc("some text", {});
  const DocumentStorage& d = *doc.storage();
  EXPECT_EQ(d.num_sentences(), 0u);
  EXPECT_EQ(doc.num_tokens(), 0u);
  EXPECT_EQ(doc.num_words(), 0u);
  EXPECT_EQ(d.built_word_count, 0u);
  EXPECT_EQ(d.sentences.token_offsets, std::vector<std::uint32_t>{0});
  EXPECT_EQ(d.sentences.word_offsets, std::vector<std::uint32_t>{0});
  EXPECT_EQ(d.sentences.span_offsets, std::vector<std::uint32_t>{0});
}

TEST(DocumentBuild, InvalidTextLeavesNoDocument) {
  EXPECT_THROW_MSG(Document(std::string("a\x80", 2), plain_sentences({{"a"}})), std::invalid_argument,
                   "invalid UTF-8 sequence at byte offset 1");
}

TEST(DocumentBuild, SentenceWithoutTextOrTokens) {
  const Document doc("", {SentenceInput{}});
  EXPECT_EQ(doc.storage()->sentences.text[0], kNoIndex);
  EXPECT_EQ(doc.sentences().at(0).text(), "");
  EXPECT_EQ(doc.sentences().at(0).sent_id(), "0");
}

TEST(DocumentBuild, SentIdsFollowPositionsAndKeepGivenOnes) {
  std::vector<SentenceInput> input = plain_sentences({{"a"}, {"b"}, {"c"}, {"d"}});
  input[1].sent_id = "custom";
  input[3].sent_id = "";
  const Document doc("", input);
  const std::vector<std::optional<std::string>> expected{"0", "custom", "2", ""};
  for (std::size_t s = 0; s < expected.size(); ++s)
    EXPECT_EQ(doc.sentences().at(static_cast<std::int64_t>(s)).sent_id(), expected[s]) << s;
}

TEST(DocumentBuild, SentenceFieldsAreCopied) {
  std::vector<SentenceInput> input = plain_sentences({{"a"}});
  input[0].speaker = "Ann";
  input[0].doc_id = "d1";
  input[0].sentiment = INT_MAX;
  input[0].comments = {"# first", "# first", ""};
  const Document doc("", input);
  const Sentence s = doc.sentences().at(0);
  EXPECT_EQ(s.speaker(), "Ann");
  EXPECT_EQ(s.doc_id(), "d1");
  EXPECT_EQ(s.sentiment(), INT_MAX);
  EXPECT_EQ(s.comments(), (Strings{"# first", "# first", ""}));
  EXPECT_FALSE(s.constituency());
}

// Sentence text and whitespace derived from the document text.
struct SpacingCase {
  const char* name;
  std::string text;
  std::vector<TokenInput> tokens;
  std::optional<std::string> sentence_text;  // the record's text
  std::string expected_text;
  Strings spaces_before;
  Strings spaces_after;
};

TokenInput spaced(int id, std::string text, std::optional<std::uint32_t> start,
                  std::optional<std::uint32_t> end, std::string before, std::string after) {
  TokenInput t = token(id, std::move(text), start, end);
  t.spaces_before = std::move(before);
  t.spaces_after = std::move(after);
  return t;
}

class SpacingTest : public ::testing::TestWithParam<SpacingCase> {};

TEST_P(SpacingTest, DerivesTextAndWhitespace) {
  const SpacingCase& c = GetParam();
  SentenceInput s = sentence(c.tokens);
  s.text = c.sentence_text;
  const Document doc(c.text, {s});
  EXPECT_EQ(doc.sentences().at(0).text(), c.expected_text);
  Strings before, after;
  for (std::uint64_t i = 0; i < doc.num_tokens(); ++i) {
    before.push_back(doc.tokens().at(static_cast<std::int64_t>(i)).spaces_before());
    after.push_back(doc.tokens().at(static_cast<std::int64_t>(i)).spaces_after());
  }
  EXPECT_EQ(before, c.spaces_before);
  EXPECT_EQ(after, c.spaces_after);
}

INSTANTIATE_TEST_SUITE_P(
    DocumentBuild, SpacingTest,
    ::testing::Values(
        SpacingCase{"OffsetsRewriteWhitespace", "Hello world.",
                    {spaced(1, "Hello", 0, 5, "x", "x"), spaced(2, "world.", 6, 12, "y", "y")},
                    std::nullopt, "Hello world.", {"", "y"}, {" ", ""}},
        SpacingCase{"NoOffsetsJoinWithTrailingWhitespace", "Hello world.",
                    {spaced(1, "Hello", {}, {}, "", " "), spaced(2, "world.", {}, {}, " ", "\n")},
                    std::nullopt, "Hello world.\n", {"", " "}, {" ", "\n"}},
        SpacingCase{"LeadingSpacesBeforeFirstToken", "  Hi", {spaced(1, "Hi", 2, 4, "", " ")},
                    std::nullopt, "Hi", {"  "}, {""}},
        SpacingCase{"EmptyTextKeepsInputWhitespace", "", {spaced(1, "a", {}, {}, "<", ">"),
                    spaced(2, "b", {}, {}, "[", "]")}, std::nullopt, "a[b]", {"<", "["}, {">", "]"}},
        SpacingCase{"MiddleTokenBeforeTokenWithoutStart", "a b c d",
                    {spaced(1, "a", 0, 1, "", "?"), spaced(2, "b", 2, 3, "", "?"),
                     spaced(3, "c", {}, 5, "", "?")},
                    std::nullopt, "a b c", {"", "", ""}, {" ", " c d", "?"}},
        SpacingCase{"OverlapKeepsInputSpacesAfter", "Hello", {spaced(1, "Hello", 0, 5, "", "!"),
                    spaced(2, "lo", 3, 5, "", "?")}, std::nullopt, "Hello", {"", ""}, {"!", ""}},
        SpacingCase{"CodePointsNotBytes", "\xC3\x87" "a va.", {spaced(1, "\xC3\x87" "a", 0, 2, "", "?"),
                    spaced(2, "va.", 3, 6, "", "?")}, std::nullopt, "\xC3\x87" "a va.", {"", ""}, {" ", ""}},
        SpacingCase{"OffsetsOutsideTextFallBackToJoin", "ab", {spaced(1, "ab", 0, 9, "", "!")},
                    std::nullopt, "ab!", {""}, {"!"}},
        SpacingCase{"ReversedOffsetsAreSkipped", "ab cd", {spaced(1, "ab", 2, 1, "<", ">"),
                    spaced(2, "cd", 3, 5, "(", ")")}, std::nullopt, " cd", {"<", "("}, {">", ""}},
        SpacingCase{"RecordTextWinsEvenWhenEmpty", "Hello world.",
                    {spaced(1, "Hello", 0, 5, "", ""), spaced(2, "world.", 6, 12, "", "")}, "",
                    "", {"", ""}, {" ", ""}},
        SpacingCase{"SliceIncludesWhateverLiesBetween", "a -- b", {spaced(1, "a", 0, 1, "", ""),
                    spaced(2, "b", 5, 6, "", "")}, std::nullopt, "a -- b", {"", ""}, {" -- ", ""}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DocumentBuild, NextTokenStartingBeyondTheTextFails) {
  EXPECT_THROW_MSG(Document("ab", {sentence({token(1, "a", 0, 1), token(2, "b", 5, 6)})}),
                   std::out_of_range, "code point slice is outside the document");
}

TEST(DocumentBuild, SingleWordTokensLendOffsetsIndependently) {
  TokenInput lends_both = token(1, "ab", 0, 2);
  TokenInput keeps_start = token(2, "cd", 3, 5);
  keeps_start.words[0].start_char = 4;
  TokenInput end_missing = token(3, "ef", 6, std::nullopt);
  TokenInput two_words = mwt(4, "gh", {"g", "h"});
  two_words.start_char = 7;
  two_words.end_char = 9;
  const Document doc("ab cd efgh", {sentence({lends_both, keeps_start, end_missing, two_words})});
  using Offsets = std::pair<std::optional<std::uint32_t>, std::optional<std::uint32_t>>;
  const std::vector<Offsets> expected{{0, 2}, {4, 5}, {6, std::nullopt}, {}, {}};
  ASSERT_EQ(doc.num_words(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const Word w = doc.words().at(static_cast<std::int64_t>(i));
    EXPECT_EQ(Offsets(w.start_char(), w.end_char()), expected[i]) << i;
  }
}

TEST(DocumentBuild, RowsAndRangesFollowTheRecords) {
  TokenInput first = mwt(1, "du", {"de", "le"});
  first.misc = "MWT=Yes";
  first.multi_ner = {"B-X", "O", "B-X"};
  first.manual_expansion = true;
  first.words[1].lemma = "le";
  first.words[1].head = 0;
  first.words[1].morphemes = {"l", "e"};
  first.words[1].manual_expansion = false;
  const Document doc("", {sentence({first, token(3, "x")}), sentence({token(1, "y")})});
  const DocumentStorage& d = *doc.storage();
  EXPECT_EQ(d.sentences.token_offsets, (std::vector<std::uint32_t>{0, 2, 3}));
  EXPECT_EQ(d.sentences.word_offsets, (std::vector<std::uint32_t>{0, 3, 4}));
  EXPECT_EQ(d.tokens.word_begin, (std::vector<std::uint32_t>{0, 2, 3}));
  EXPECT_EQ(d.tokens.word_end, (std::vector<std::uint32_t>{2, 3, 4}));
  EXPECT_EQ(d.words.parent_token, (std::vector<std::uint32_t>{0, 0, 1, 2}));
  EXPECT_EQ(d.words.sentence, (std::vector<std::uint32_t>{0, 0, 0, 1}));
  const Token t = doc.tokens().at(0);
  EXPECT_EQ(t.id_range(), (std::pair<std::int32_t, std::int32_t>(1, 2)));
  EXPECT_EQ(t.misc(), "MWT=Yes");
  EXPECT_EQ(t.multi_ner(), (Strings{"B-X", "O", "B-X"}));
  EXPECT_EQ(t.manual_expansion(), true);
  const Word le = doc.words().at(1);
  EXPECT_EQ(le.lemma(), "le");
  EXPECT_EQ(le.head(), 0);
  EXPECT_EQ(le.morphemes(), (Strings{"l", "e"}));
  EXPECT_EQ(le.manual_expansion(), false);
  EXPECT_EQ(le.upos(), std::nullopt);
  EXPECT_EQ(doc.words().at(0).head(), std::nullopt);
  EXPECT_EQ(d.built_word_count, 4u);
}

TEST(DocumentBuild, MismatchedIdRangeIsAccepted) {
  TokenInput t = token(1, "a");
  t.id_end = 2;
  const Document doc("", {sentence({t})});
  EXPECT_FALSE(doc.tokens().at(0).is_mwt());
}

struct InvalidCase {
  const char* name;
  std::vector<SentenceInput> sentences;
  std::string message;
};

std::vector<SentenceInput> with_token(TokenInput t) { return {sentence({std::move(t)})}; }

TokenInput ranged(int first, int last, std::string text) {
  TokenInput t = token(first, std::move(text));
  t.id_end = last;
  return t;
}

TokenInput with_word(WordInput w) {
  TokenInput t = token(1, "tok");
  t.words = {std::move(w)};
  return t;
}

std::vector<SentenceInput> with_empty_words(std::vector<WordInput> empties) {
  std::vector<SentenceInput> s = plain_sentences({{"a", "b"}});
  s[0].empty_words = std::move(empties);
  return s;
}

std::vector<SentenceInput> empty_word_error_before_later_token_error() {
  std::vector<SentenceInput> s = with_empty_words({empty_word(2, 0, "x")});
  s.push_back(sentence({ranged(0, 0, "bad")}));
  return s;
}

class InvalidRecordsTest : public ::testing::TestWithParam<InvalidCase> {};

TEST_P(InvalidRecordsTest, FailsWithItsMessage) {
  EXPECT_THROW_MSG(Document("", GetParam().sentences), std::invalid_argument, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    DocumentBuild, InvalidRecordsTest,
    ::testing::Values(
        InvalidCase{"IdStartZero", with_token(ranged(0, 0, "a")), "a token has an invalid ID range"},
        InvalidCase{"IdRangeBackwards", with_token(ranged(3, 2, "a")), "a token has an invalid ID range"},
        InvalidCase{"RangeCheckedBeforeText", with_token(ranged(0, 1, "")), "a token has an invalid ID range"},
        InvalidCase{"EmptyTokenText", with_token(ranged(1, 1, "")), "a token must have non-empty text"},
        InvalidCase{"WordIdZero", with_token(with_word(word(0, "w"))),
                    "a word must have a positive ID and non-empty text"},
        InvalidCase{"RegularWordWithEmptyIndex", with_token(with_word(empty_word(1, 1, "w"))),
                    "a word must have a positive ID and non-empty text"},
        InvalidCase{"EmptyWordText", with_token(with_word(word(1, ""))),
                    "a word must have a positive ID and non-empty text"},
        InvalidCase{"EmptyIndexZero", with_empty_words({empty_word(2, 0, "pro")}),
                    "an empty word requires a nonnegative ID, positive empty index, and non-empty text; "
                    "got id=2, empty_index=0, text_size=3"},
        InvalidCase{"NegativeIdAndNoText", with_empty_words({empty_word(-1, 1, "")}),
                    "an empty word requires a nonnegative ID, positive empty index, and non-empty text; "
                    "got id=-1, empty_index=1, text_size=0"},
        InvalidCase{"NoEmptyIndex", with_empty_words({empty_word(1, std::nullopt, "\xC3\xA9")}),
                    "an empty word requires a nonnegative ID, positive empty index, and non-empty text; "
                    "got id=1, empty_index=none, text_size=2"},
        InvalidCase{"DuplicateEmptyWord", with_empty_words({empty_word(2, 1, "a"), empty_word(2, 1, "b")}),
                    "an empty word ID is duplicated within a sentence"},
        InvalidCase{"TokensOfLaterSentencesCheckedFirst", empty_word_error_before_later_token_error(),
                    "a token has an invalid ID range"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DocumentBuild, EmptyWordsOfInputRecords) {
  std::vector<SentenceInput> input = plain_sentences({{"a", "b"}, {"c"}});
  input[0].empty_words = {empty_word(2, 1, "x"), empty_word(0, 1, "y"), empty_word(1, 1, "z")};
  input[1].empty_words = {empty_word(2, 1, "x")};  // same id in another sentence
  const Document doc("", input);
  const DocumentStorage& d = *doc.storage();
  EXPECT_EQ(doc.num_words(), 3u);
  EXPECT_EQ(d.built_word_count, 7u);
  EXPECT_EQ(d.sentences.empty_words, (std::vector<std::vector<std::uint32_t>>{{3, 4, 5}, {6}}));
  EXPECT_EQ(d.words.parent_token[3], kNoIndex);
  EXPECT_EQ(d.words.sentence[6], 1u);
  EXPECT_EQ(d.sentences.word_offsets, (std::vector<std::uint32_t>{0, 2, 3}));
}

TEST(DocumentBuild, StorageIsBuiltOnlyOnce) {
  Document doc("", plain_sentences({{"a"}}));
  EXPECT_THROW_MSG(doc.storage()->build(plain_sentences({{"b"}})), std::logic_error,
                   "a document storage can be built only once");
  EXPECT_EQ(doc.num_tokens(), 1u);
}

TEST(AddEmptyWord, AppendsARowWithoutOffsetLending) {
  Document doc("ab", {sentence({token(1, "ab", 0, 2)})});
  DocumentStorage& d = *doc.storage();
  WordInput w = empty_word(1, 1, "pro");
  w.lemma = "it";
  w.end_char = 2;
  const std::uint32_t row = d.add_empty_word(0, w);
  EXPECT_EQ(row, 1u);
  const Word added(doc.storage(), row, kNoIndex);
  EXPECT_EQ(added.id(), 1);
  EXPECT_EQ(added.empty_index(), 1);
  EXPECT_EQ(added.lemma(), "it");
  EXPECT_EQ(added.start_char(), std::nullopt);
  EXPECT_EQ(added.end_char(), 2u);
  EXPECT_FALSE(added.parent());
  EXPECT_EQ(added.sent().index(), 0u);
  EXPECT_EQ(doc.num_words(), 1u);
  EXPECT_EQ(doc.words().size(), 1u);
}

TEST(AddEmptyWord, FailuresAddNothing) {
  Document doc("", plain_sentences({{"a"}}));
  DocumentStorage& d = *doc.storage();
  d.add_empty_word(0, empty_word(1, 1, "x"));
  EXPECT_THROW_MSG(d.add_empty_word(1, empty_word(1, 2, "x")), std::out_of_range,
                   "an empty word has an invalid sentence");
  EXPECT_THROW_MSG(d.add_empty_word(kNoIndex, empty_word(-1, 0, "")), std::out_of_range,
                   "an empty word has an invalid sentence");
  EXPECT_THROW_MSG(d.add_empty_word(0, empty_word(1, 1, "y")), std::invalid_argument,
                   "an empty word ID is duplicated within a sentence");
  EXPECT_THROW_MSG(d.add_empty_word(0, empty_word(1, -3, "y")), std::invalid_argument,
                   "an empty word requires a nonnegative ID, positive empty index, and non-empty text; "
                   "got id=1, empty_index=-3, text_size=1");
  EXPECT_EQ(d.num_word_rows(), 2u);
  EXPECT_EQ(d.sentences.empty_words[0], std::vector<std::uint32_t>{1});
  // A regular word with the same id is no conflict.
  EXPECT_EQ(d.add_empty_word(0, empty_word(1, 2, "y")), 2u);
}

TEST(ResetGeneratedEmptyWords, RestoresTheRowsOfTheBuild) {
  std::vector<SentenceInput> input = plain_sentences({{"a", "b"}, {"c"}});
  input[0].empty_words = {empty_word(1, 1, "x")};
  input[1].empty_words = {empty_word(1, 1, "y")};
  Document doc("", input);
  DocumentStorage& d = *doc.storage();
  const DocumentStorage after_build = d;
  d.add_empty_word(1, empty_word(0, 1, "g1"));
  d.add_empty_word(0, empty_word(2, 1, "g2"));
  d.add_empty_word(1, empty_word(1, 2, "g3"));
  d.words.lemma[0] = d.pool.intern("kept");
  EXPECT_EQ(d.num_word_rows(), 8u);
  d.reset_generated_empty_words();
  EXPECT_EQ(d.num_word_rows(), 5u);
  EXPECT_EQ(d.words.text, after_build.words.text);
  EXPECT_EQ(d.words.id, after_build.words.id);
  EXPECT_EQ(d.words.empty_index, after_build.words.empty_index);
  EXPECT_EQ(d.words.morphemes.size(), 5u);
  EXPECT_EQ(d.words.coref.size(), 5u);
  EXPECT_EQ(d.sentences.empty_words, after_build.sentences.empty_words);
  EXPECT_EQ(Word(doc.storage(), 0, kNoIndex).lemma(), "kept");
  const DocumentStorage after_reset = d;
  d.reset_generated_empty_words();
  EXPECT_EQ(d.words.text, after_reset.words.text);
  EXPECT_EQ(d.sentences.empty_words, after_reset.sentences.empty_words);
  // The generated ids are free again.
  EXPECT_EQ(d.add_empty_word(0, empty_word(2, 1, "g2")), 5u);
}

TEST(ResetGeneratedEmptyWords, ReleasesAttachmentsOfRemovedRowsAndKeepsChains) {
  Document doc("", plain_sentences({{"a", "b"}}));
  DocumentStorage& d = *doc.storage();
  const std::uint32_t row = d.add_empty_word(0, empty_word(1, 1, "pro"));
  doc.set_coref({CorefChain(0, {CorefMention(0, {0, {}}, {1, {}}), CorefMention(0, {1, 1}, {1, 1})}, "a", 0)});
  const std::shared_ptr<const CorefChain> chain = doc.coref().at(0);
  ASSERT_EQ(Word(doc.storage(), row, kNoIndex).coref_chains().size(), 1u);
  ASSERT_EQ(chain.use_count(), 4);
  d.reset_generated_empty_words();
  EXPECT_EQ(chain.use_count(), 3);
  ASSERT_EQ(doc.coref().size(), 1u);
  EXPECT_EQ(doc.coref().at(0), chain);
  ASSERT_EQ(doc.words().at(0).coref_chains().size(), 1u);
  EXPECT_EQ(doc.words().at(0).coref_chains()[0].chain(), chain);
  EXPECT_TRUE(doc.words().at(1).coref_chains().empty());
}

// "New York is big" with offsets; New York tagged as one location.
std::vector<SentenceInput> tagged_sentences() {
  SentenceInput s = sentence({token(1, "New", 0, 3), token(2, "York", 4, 8), token(3, "is", 9, 11),
                              token(4, "big", 12, 15)});
  s.tokens[0].ner = "B-LOC";
  s.tokens[1].ner = "E-LOC";
  return {s};
}

TEST(Replace, KeepsTextAndLanguageAndRebuildsEverythingElse) {
  Document doc("New York is big", tagged_sentences());
  doc.set_lang("en");
  Sentence first = doc.sentences().at(0);
  first.set_constituency(ConstituencyTree("ROOT", {}));
  doc.storage()->add_empty_word(0, empty_word(1, 1, "x"));
  doc.set_coref({CorefChain(0, {CorefMention(0, {0, {}}, {2, {}}), CorefMention(0, {1, 1}, {1, 1})},
                            "New York", 0)});
  const std::shared_ptr<const CorefChain> chain = doc.coref().at(0);
  ASSERT_EQ(chain.use_count(), 5);  // the chain list and three attachments
  const Document alias = doc;

  std::vector<SentenceInput> next = plain_sentences({{"New"}, {"York"}});
  next[1].tokens[0].ner = "S-LOC";
  doc.storage()->replace(next);

  EXPECT_EQ(alias.text(), "New York is big");
  EXPECT_EQ(alias.lang(), "en");
  EXPECT_EQ(alias.storage()->num_sentences(), 2u);
  EXPECT_EQ(token_texts(alias), (Strings{"New", "York"}));
  EXPECT_FALSE(alias.sentences().at(0).constituency());
  EXPECT_TRUE(alias.coref().empty());
  EXPECT_EQ(chain.use_count(), 1);
  EXPECT_TRUE(alias.words().at(0).coref_chains().empty());
  EXPECT_EQ(alias.storage()->num_word_rows(), 2u);
  ASSERT_EQ(alias.ents().size(), 1u);
  EXPECT_EQ(alias.ents().at(0).text(), "York");
  EXPECT_EQ(alias.storage()->sentences.span_offsets, (std::vector<std::uint32_t>{0, 0, 1}));
}

TEST(Replace, WithoutLanguageStaysWithout) {
  Document doc("a", plain_sentences({{"a"}}));
  doc.storage()->replace(plain_sentences({{"a"}, {"a"}}));
  EXPECT_EQ(doc.lang(), std::nullopt);
  EXPECT_EQ(doc.storage()->lang, kNoIndex);
}

TEST(Replace, InvalidRecordsLeaveTheDocumentUnchanged) {
  Document doc("New York is big", tagged_sentences());
  doc.set_lang("en");
  doc.sentences().at(0).set_constituency(ConstituencyTree("ROOT", {}));
  std::vector<SentenceInput> bad = plain_sentences({{"a"}, {"b"}});
  bad[1].tokens[0].words[0].id = 0;
  const std::size_t pool_before = doc.storage()->pool.size();
  EXPECT_THROW_MSG(doc.storage()->replace(bad), std::invalid_argument,
                   "a word must have a positive ID and non-empty text");
  EXPECT_EQ(token_texts(doc), (Strings{"New", "York", "is", "big"}));
  EXPECT_EQ(doc.lang(), "en");
  EXPECT_TRUE(doc.sentences().at(0).constituency());
  EXPECT_EQ(doc.ents().size(), 1u);
  EXPECT_EQ(doc.ents().at(0).text(), "New York");
  EXPECT_EQ(doc.storage()->pool.size(), pool_before);
}

// Lowers the row limit for one test.
class RowLimit {
 public:
  explicit RowLimit(std::uint64_t limit) { detail::set_document_row_limit(limit); }
  ~RowLimit() { detail::set_document_row_limit(detail::kDefaultDocumentRowLimit); }
};

TEST(RowLimits, DefaultKeepsRowsBelowTheAbsentMarker) {
  EXPECT_EQ(detail::document_row_limit(), 0xFFFFFFFFu);
  EXPECT_THROW_MSG(detail::ensure_row_room(0xFFFFFFFEu, "words"), std::length_error,
                   "a document cannot hold 4294967295 or more words");
  EXPECT_NO_THROW(detail::ensure_row_room(0xFFFFFFFDu, "words"));
}

TEST(RowLimits, TokensWordsAndSentencesStopBelowTheLimit) {
  const RowLimit limit(5);
  EXPECT_NO_THROW(Document("", plain_sentences({{"a", "b"}, {"c", "d"}})));
  EXPECT_THROW_MSG(Document("", plain_sentences({{"a", "b", "c"}, {"d", "e"}})), std::length_error,
                   "a document cannot hold 5 or more tokens");
  EXPECT_THROW_MSG(Document("", {sentence({mwt(1, "ab", {"a", "b", "c"}), mwt(4, "cd", {"d", "e"})})}),
                   std::length_error, "a document cannot hold 5 or more words");
  EXPECT_THROW_MSG(Document("", std::vector<SentenceInput>(5)), std::length_error,
                   "a document cannot hold 5 or more sentences");
  EXPECT_NO_THROW(Document("", std::vector<SentenceInput>(4)));
}

TEST(RowLimits, EmptyWordsStopBelowTheLimitAndAddNothing) {
  const RowLimit limit(4);
  Document doc("", plain_sentences({{"a", "b"}}));
  DocumentStorage& d = *doc.storage();
  EXPECT_EQ(d.add_empty_word(0, empty_word(1, 1, "x")), 2u);
  EXPECT_THROW_MSG(d.add_empty_word(0, empty_word(1, 2, "x")), std::length_error,
                   "a document cannot hold 4 or more words");
  EXPECT_EQ(d.num_word_rows(), 3u);
  EXPECT_EQ(d.words.coref.size(), 3u);
  EXPECT_EQ(d.sentences.empty_words[0], std::vector<std::uint32_t>{2});
}

// Every table of the storage is as in a storage made from its text alone.
void expect_no_rows(const DocumentStorage& d) {
  const std::vector<std::uint32_t> start{0};
  EXPECT_EQ(d.sentences.token_offsets, start);
  EXPECT_EQ(d.sentences.word_offsets, start);
  EXPECT_EQ(d.sentences.span_offsets, start);
  const SentenceColumns& s = d.sentences;
  for (std::size_t size : {s.empty_words.size(), s.text.size(), s.sent_id.size(), s.speaker.size(),
                           s.doc_id.size(), s.sentiment.size(), s.comments.size(), s.constituency.size()})
    EXPECT_EQ(size, 0u);
  const TokenColumns& t = d.tokens;
  for (std::size_t size : {t.sentence.size(), t.id_start.size(), t.id_end.size(), t.word_begin.size(),
                           t.word_end.size(), t.text.size(), t.misc.size(), t.ner.size(), t.multi_ner.size(),
                           t.start_char.size(), t.end_char.size(), t.manual_expansion.size(),
                           t.spaces_before.size(), t.spaces_after.size()})
    EXPECT_EQ(size, 0u);
  const WordColumns& w = d.words;
  for (std::size_t size : {w.sentence.size(), w.parent_token.size(), w.id.size(), w.empty_index.size(),
                           w.text.size(), w.lemma.size(), w.upos.size(), w.xpos.size(), w.feats.size(),
                           w.head.size(), w.deprel.size(), w.deps.size(), w.misc.size(), w.start_char.size(),
                           w.end_char.size(), w.manual_expansion.size(), w.morphemes.size(), w.coref.size()})
    EXPECT_EQ(size, 0u);
  const SpanColumns& p = d.spans;
  for (std::size_t size : {p.sentence.size(), p.token_begin.size(), p.token_end.size(), p.word_begin.size(),
                           p.word_end.size(), p.text.size(), p.type.size(), p.start_char.size(),
                           p.end_char.size()})
    EXPECT_EQ(size, 0u);
  EXPECT_EQ(d.num_words, 0u);
  EXPECT_EQ(d.built_word_count, 0u);
}

// A build that fails at some step, with the error it reports.
struct FailedBuildCase {
  const char* name;
  std::vector<SentenceInput> sentences;
  std::uint64_t row_limit;
  std::string message;
};

std::vector<SentenceInput> second_sentence_with(TokenInput bad) {
  std::vector<SentenceInput> s = plain_sentences({{"a", "b"}});
  s.push_back(sentence({token(1, "c"), std::move(bad)}));
  return s;
}

class FailedBuildTest : public ::testing::TestWithParam<FailedBuildCase> {};

// A storage whose build failed is never half filled: views and sequences
// made on it afterwards find no rows instead of reading past its offset
// columns, and it can be built again.
TEST_P(FailedBuildTest, LeavesTheStorageWithoutRows) {
  const FailedBuildCase& c = GetParam();
  auto storage = std::make_shared<DocumentStorage>(std::string("ab cd"));
  Document doc(storage);
  doc.set_lang("en");
  {
    const RowLimit limit(c.row_limit);
    try {
      storage->build(c.sentences);
      ADD_FAILURE() << "the build did not fail";
    } catch (const std::exception& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
  expect_no_rows(*storage);
  EXPECT_EQ(doc.sentences().size(), 0u);
  EXPECT_THROW_MSG(Sentence(storage, 0), std::out_of_range, "invalid sentence view");
  EXPECT_EQ(doc.to_conll(), "");
  doc.rebuild_entities();
  EXPECT_EQ(doc.ents().size(), 0u);
  EXPECT_EQ(doc.lang(), "en");

  storage->build(plain_sentences({{"ab", "cd"}}));
  EXPECT_EQ(doc.sentences().at(0).text(), "abcd ");
  EXPECT_EQ(doc.sentences().at(0).ents().size(), 0u);
  EXPECT_EQ(doc.words().at(1).text(), "cd");
  EXPECT_EQ(doc.lang(), "en");
}

INSTANTIATE_TEST_SUITE_P(
    DocumentBuild, FailedBuildTest,
    ::testing::Values(
        FailedBuildCase{"TokenOfALaterSentence", second_sentence_with(ranged(3, 2, "d")),
                        detail::kDefaultDocumentRowLimit, "a token has an invalid ID range"},
        FailedBuildCase{"WordOfALaterToken", second_sentence_with(with_word(word(0, "w"))),
                        detail::kDefaultDocumentRowLimit, "a word must have a positive ID and non-empty text"},
        FailedBuildCase{"EmptyWordAfterAllSentences", with_empty_words({empty_word(1, 1, "x"), empty_word(1, 1, "y")}),
                        detail::kDefaultDocumentRowLimit, "an empty word ID is duplicated within a sentence"},
        FailedBuildCase{"WhitespaceOfATokenStartingBeyondTheText",
                        {sentence({token(1, "ab", 0, 2), token(2, "cd", 9, 11)})}, detail::kDefaultDocumentRowLimit,
                        "code point slice is outside the document"},
        FailedBuildCase{"RowLimit", plain_sentences({{"a", "b"}, {"c", "d"}}), 3,
                        "a document cannot hold 3 or more tokens"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lorvane

namespace lorvane {
namespace {

// Sentence by sentence, the builder makes what build makes of the list; a
// build abandoned half way, or one whose step failed, leaves no rows.
TEST(StorageBuilder, SentenceBySentenceEqualsTheWholeList) {
  std::vector<SentenceInput> input = plain_sentences({{"ab", "cd"}, {"e"}});
  input[1].empty_words = {empty_word(1, 1, "x")};
  const Document whole("ab cd e", input);
  auto storage = std::make_shared<DocumentStorage>(std::string("ab cd e"));
  {
    detail::StorageBuilder builder(*storage);
    for (const SentenceInput& sentence : input) builder.add(sentence);
    builder.finish();
    EXPECT_THROW_MSG(builder.add(input[0]), std::logic_error, "this document build has ended");
  }
  EXPECT_EQ(Document(storage).to_conll(), whole.to_conll());
  EXPECT_EQ(storage->built_word_count, 4u);

  auto abandoned = std::make_shared<DocumentStorage>(std::string("ab cd e"));
  {
    detail::StorageBuilder builder(*abandoned);
    builder.add(input[0]);
  }
  expect_no_rows(*abandoned);

  auto failed = std::make_shared<DocumentStorage>(std::string("ab cd e"));
  detail::StorageBuilder builder(*failed);
  builder.add(input[0]);
  EXPECT_THROW_MSG(builder.add(sentence({token(2, "e"), token(1, "")})), std::invalid_argument,
                   "a token must have non-empty text");
  expect_no_rows(*failed);
  EXPECT_THROW_MSG(builder.finish(), std::logic_error, "this document build has ended");
}

}  // namespace
}  // namespace lorvane
