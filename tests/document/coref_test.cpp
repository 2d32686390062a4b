#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "document_records.hpp"
#include "lorvane/coref.hpp"
#include "lorvane/document.hpp"
#include "support/test_support.hpp"

namespace lorvane {
namespace {

using namespace testing::records;

CorefWordPosition at(std::int32_t word) { return {word, std::nullopt}; }
CorefWordPosition empty_at(std::int32_t word, std::int32_t index) { return {word, index}; }

CorefMention mention(int sentence, std::int32_t begin, std::int32_t end) {
  return CorefMention(sentence, at(begin), at(end));
}

CorefChain chain(int index, std::vector<CorefMention> mentions, std::optional<int> representative = std::nullopt) {
  return CorefChain(index, std::move(mentions), "rep" + std::to_string(index), representative);
}

// Sentence 0: "Pat saw du Kim" with the multi-word token du = de le and the
// empty words 4.1 and 2.1 (in that order), so it has five regular words.
// Sentence 1: "It rained" with empty word 4.1 of its own. Sentences 2 to 4
// have a single word each.
Document five_sentences() {
  std::vector<SentenceInput> sentences(5);
  sentences[0].tokens = {token(1, "Pat"), token(2, "saw"), mwt(3, "du", {"de", "le"}), token(5, "Kim")};
  sentences[0].empty_words = {empty_word(4, 1, "he"), empty_word(2, 1, "she")};
  sentences[1].tokens = {token(1, "It"), token(2, "rained")};
  sentences[1].empty_words = {empty_word(4, 1, "it")};
  for (int s = 2; s < 5; ++s) sentences[s].tokens = {token(1, "w" + std::to_string(s))};
  return Document("", std::move(sentences));
}

// Regular word `position` of sentence `s`.
Word regular(const Document& doc, std::uint32_t s, std::int64_t position) {
  return doc.sentences().at(s).words().at(position);
}

// The empty word id.index of sentence s.
Word empty(const Document& doc, std::uint32_t s, std::int32_t id, std::int32_t index) {
  const auto words = doc.sentences().at(s).empty_words();
  for (std::uint64_t i = 0; i < words.size(); ++i) {
    const Word w = words.at(static_cast<std::int64_t>(i));
    if (w.id() == id && w.empty_index() == index) return w;
  }
  throw std::logic_error("no such empty word");
}

struct Flags {
  bool is_start, is_end, is_representative;
  bool operator==(const Flags&) const = default;
};

std::vector<Flags> flags_of(const Word& w) {
  std::vector<Flags> flags;
  for (const auto& a : w.coref_chains()) flags.push_back({a.is_start(), a.is_end(), a.is_representative()});
  return flags;
}

std::size_t attachment_count(const Document& doc) {
  std::size_t count = 0;
  for (const auto& links : doc.storage()->words.coref) count += links.size();
  return count;
}

TEST(CorefValues, ConstructorChecks) {
  const std::vector<CorefMention> two = {mention(0, 0, 1), mention(0, 1, 2)};
  EXPECT_THROW_MSG(CorefMention(-1, at(0), at(1)), std::invalid_argument,
                   "a coreference mention sentence index cannot be negative");
  EXPECT_THROW_MSG(CorefChain(-1, two, "x", std::nullopt), std::invalid_argument,
                   "a coreference chain index cannot be negative");
  // The chain index is checked before the representative.
  EXPECT_THROW_MSG(CorefChain(-1, two, "x", 7), std::invalid_argument,
                   "a coreference chain index cannot be negative");
  for (int bad : {2, -1, 100}) {
    EXPECT_THROW_MSG(CorefChain(0, two, "x", bad), std::invalid_argument,
                     "the representative coreference mention index is invalid")
        << bad;
  }
  EXPECT_THROW_MSG(CorefChain(0, {}, "x", 0), std::invalid_argument,
                   "the representative coreference mention index is invalid");

  const CorefChain ok(3, two, "Pat", 1);
  EXPECT_EQ(ok.index(), 3);
  EXPECT_EQ(ok.mentions().size(), 2u);
  EXPECT_EQ(ok.representative_text(), "Pat");
  EXPECT_EQ(ok.representative_index(), 1);
  EXPECT_EQ(CorefChain(0, {}, "", std::nullopt).representative_index(), std::nullopt);

  const CorefMention zero(2, empty_at(4, 1), empty_at(4, 1));
  EXPECT_EQ(zero.sentence(), 2);
  EXPECT_EQ(zero.start_word().word, 4);
  EXPECT_EQ(zero.end_word().empty_index, 1);

  const auto shared = std::make_shared<const CorefChain>(ok);
  const CorefAttachment link(shared, true, false, true);
  EXPECT_EQ(link.chain().get(), shared.get());
  EXPECT_TRUE(link.is_start());
  EXPECT_FALSE(link.is_end());
  EXPECT_TRUE(link.is_representative());
}

TEST(SetCoref, OrdinaryMentionsAttachToRegularWordPositions) {
  auto doc = five_sentences();
  doc.set_coref({chain(0, {mention(0, 1, 3)}), chain(1, {mention(0, 2, 3), mention(1, 0, 2)})});

  ASSERT_EQ(doc.coref().size(), 2u);
  EXPECT_EQ(doc.coref()[0]->representative_text(), "rep0");
  EXPECT_EQ(doc.coref()[1]->mentions().size(), 2u);

  // Positions count regular words: position 2 of sentence 0 is "de", the
  // first word of the multi-word token.
  EXPECT_EQ(regular(doc, 0, 2).text(), "de");
  EXPECT_EQ(flags_of(regular(doc, 0, 0)), std::vector<Flags>{});
  EXPECT_EQ(flags_of(regular(doc, 0, 1)), (std::vector<Flags>{{true, false, false}}));
  EXPECT_EQ(flags_of(regular(doc, 0, 2)), (std::vector<Flags>{{false, true, false}, {true, true, false}}));
  EXPECT_EQ(flags_of(regular(doc, 0, 3)), std::vector<Flags>{});
  EXPECT_EQ(flags_of(regular(doc, 1, 0)), (std::vector<Flags>{{true, false, false}}));
  EXPECT_EQ(flags_of(regular(doc, 1, 1)), (std::vector<Flags>{{false, true, false}}));

  // Attachments point to the chains the document holds, in processing order.
  const auto links = regular(doc, 0, 2).coref_chains();
  EXPECT_EQ(links[0].chain().get(), doc.coref()[0].get());
  EXPECT_EQ(links[1].chain().get(), doc.coref()[1].get());
  EXPECT_EQ(attachment_count(doc), 5u);
}

TEST(SetCoref, RepresentativeFlagsFollowTheRepresentativeMention) {
  auto doc = five_sentences();
  doc.set_coref({chain(0, {mention(0, 0, 1), mention(0, 3, 5), mention(1, 0, 1)}, 1)});
  EXPECT_EQ(flags_of(regular(doc, 0, 0)), (std::vector<Flags>{{true, true, false}}));
  EXPECT_EQ(flags_of(regular(doc, 0, 3)), (std::vector<Flags>{{true, false, true}}));
  EXPECT_EQ(flags_of(regular(doc, 0, 4)), (std::vector<Flags>{{false, true, true}}));
  EXPECT_EQ(flags_of(regular(doc, 1, 0)), (std::vector<Flags>{{true, true, false}}));
}

TEST(SetCoref, ZeroMentionsAttachToTheirSentencesEmptyWord) {
  auto doc = five_sentences();
  // The zero mention is the representative, yet its attachment never says so.
  doc.set_coref({chain(0, {CorefMention(1, empty_at(4, 1), empty_at(4, 1)), mention(1, 0, 1)}, 0),
                 chain(1, {CorefMention(0, empty_at(2, 1), empty_at(2, 1))}, 0)});
  EXPECT_EQ(flags_of(empty(doc, 1, 4, 1)), (std::vector<Flags>{{true, true, false}}));
  EXPECT_EQ(flags_of(empty(doc, 0, 4, 1)), std::vector<Flags>{});
  EXPECT_EQ(flags_of(empty(doc, 0, 2, 1)), (std::vector<Flags>{{true, true, false}}));
  EXPECT_EQ(flags_of(regular(doc, 1, 0)), (std::vector<Flags>{{true, true, false}}));
  EXPECT_EQ(empty(doc, 1, 4, 1).coref_chains()[0].chain().get(), doc.coref()[0].get());
}

TEST(SetCoref, ZeroMentionFindsAnEmptyWordAddedAfterBuilding) {
  auto doc = five_sentences();
  WordInput added = empty_word(1, 2, "they");
  doc.storage()->add_empty_word(3, added);
  doc.set_coref({chain(0, {CorefMention(3, empty_at(1, 2), empty_at(1, 2))})});
  EXPECT_EQ(flags_of(empty(doc, 3, 1, 2)), (std::vector<Flags>{{true, true, false}}));
}

TEST(SetCoref, WordRangeBoundaries) {
  // Sentence 0 has five regular words.
  struct Case {
    std::int32_t begin, end;
    std::size_t attachments;
  };
  for (const Case& c : {Case{2, 2, 0}, Case{0, 5, 5}, Case{4, 5, 1}, Case{0, 0, 0}, Case{5, 5, 0}}) {
    auto doc = five_sentences();
    doc.set_coref({chain(0, {mention(0, c.begin, c.end)})});
    EXPECT_EQ(attachment_count(doc), c.attachments) << c.begin << "-" << c.end;
    EXPECT_EQ(doc.coref().size(), 1u);
  }
}

struct BadMention {
  const char* name;
  CorefMention mention;
  const char* message;
};

class SetCorefRejects : public ::testing::TestWithParam<BadMention> {};

TEST_P(SetCorefRejects, WithItsMessageAndKeepsThePreviousValues) {
  auto doc = five_sentences();
  doc.set_coref({chain(7, {mention(0, 0, 2), CorefMention(1, empty_at(4, 1), empty_at(4, 1))}, 0)});
  const auto previous = doc.coref();
  const auto previous_links = doc.storage()->words.coref;

  // The bad mention comes after a good chain and a good mention, so nothing
  // may have been written when it is reached.
  const std::vector<CorefChain> chains = {chain(0, {mention(2, 0, 1)}),
                                          chain(1, {mention(0, 1, 4), GetParam().mention})};
  EXPECT_THROW_MSG(doc.set_coref(chains), std::out_of_range, GetParam().message);

  ASSERT_EQ(doc.coref().size(), 1u);
  EXPECT_EQ(doc.coref()[0].get(), previous[0].get());
  const auto& links = doc.storage()->words.coref;
  ASSERT_EQ(links.size(), previous_links.size());
  for (std::size_t row = 0; row < links.size(); ++row) {
    ASSERT_EQ(links[row].size(), previous_links[row].size()) << row;
    for (std::size_t i = 0; i < links[row].size(); ++i) {
      EXPECT_EQ(links[row][i].chain().get(), previous[0].get());
      EXPECT_EQ(links[row][i].is_start(), previous_links[row][i].is_start());
      EXPECT_EQ(links[row][i].is_end(), previous_links[row][i].is_end());
      EXPECT_EQ(links[row][i].is_representative(), previous_links[row][i].is_representative());
    }
  }
  EXPECT_EQ(flags_of(regular(doc, 0, 0)), (std::vector<Flags>{{true, false, true}}));
}

constexpr char kSentence[] = "a coreference mention has an invalid sentence index";
constexpr char kRange[] = "a coreference mention has an invalid word range";
constexpr char kOneEmpty[] = "a zero coreference mention must name one empty word";
constexpr char kNoEmpty[] = "a zero coreference mention has no matching empty word";

INSTANTIATE_TEST_SUITE_P(
    BadMentions, SetCorefRejects,
    ::testing::Values(
        BadMention{"sentence_past_end", CorefMention(5, at(0), at(1)), kSentence},
        BadMention{"reversed_range", CorefMention(0, at(3), at(2)), kRange},
        BadMention{"end_past_words", CorefMention(0, at(0), at(6)), kRange},
        BadMention{"negative_start", CorefMention(0, at(-1), at(1)), kRange},
        BadMention{"empty_words_do_not_count", CorefMention(1, at(0), at(3)), kRange},
        BadMention{"other_empty_index", CorefMention(0, empty_at(4, 1), empty_at(4, 2)), kOneEmpty},
        BadMention{"other_empty_id", CorefMention(0, empty_at(4, 1), empty_at(5, 1)), kOneEmpty},
        BadMention{"zero_start_plain_end", CorefMention(0, empty_at(4, 1), at(5)), kOneEmpty},
        BadMention{"plain_start_zero_end", CorefMention(0, at(4), empty_at(4, 1)), kOneEmpty},
        BadMention{"no_such_empty_word", CorefMention(0, empty_at(4, 3), empty_at(4, 3)), kNoEmpty},
        BadMention{"regular_word_is_not_empty", CorefMention(0, empty_at(1, 0), empty_at(1, 0)), kNoEmpty},
        BadMention{"other_sentences_empty_word", CorefMention(2, empty_at(4, 1), empty_at(4, 1)), kNoEmpty}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SetCoref, EmptyListClearsEverything) {
  auto doc = five_sentences();
  doc.set_coref({chain(0, {mention(0, 0, 5), CorefMention(1, empty_at(4, 1), empty_at(4, 1))})});
  const auto kept = doc.coref()[0];
  const auto kept_links = regular(doc, 0, 0).coref_chains();
  ASSERT_EQ(attachment_count(doc), 6u);

  doc.set_coref({});
  EXPECT_TRUE(doc.coref().empty());
  EXPECT_EQ(attachment_count(doc), 0u);
  // Values handed out earlier stay valid.
  EXPECT_EQ(kept->mentions().size(), 2u);
  EXPECT_EQ(kept_links[0].chain().get(), kept.get());
}

TEST(SetCoref, ReplacesThePreviousChains) {
  auto doc = five_sentences();
  doc.set_coref({chain(0, {mention(0, 0, 2)})});
  doc.set_coref({chain(4, {mention(0, 1, 2)})});
  ASSERT_EQ(doc.coref().size(), 1u);
  EXPECT_EQ(doc.coref()[0]->index(), 4);
  EXPECT_EQ(flags_of(regular(doc, 0, 0)), std::vector<Flags>{});
  EXPECT_EQ(flags_of(regular(doc, 0, 1)), (std::vector<Flags>{{true, true, false}}));
  // The storage call and the document call are the same operation.
  doc.storage()->set_coref({});
  EXPECT_TRUE(doc.coref().empty());
}

TEST(SetCoref, DocumentWithoutSentences) {
  Document doc("text");
  doc.set_coref({});
  EXPECT_TRUE(doc.coref().empty());
  EXPECT_THROW_MSG(doc.set_coref({chain(0, {mention(0, 0, 0)})}), std::out_of_range, kSentence);
  doc.set_coref({chain(0, {})});
  EXPECT_EQ(doc.coref().size(), 1u);
}

}  // namespace
}  // namespace lorvane
