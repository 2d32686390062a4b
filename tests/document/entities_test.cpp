// Entity spans derived from the tokens' tags.

#include <gtest/gtest.h>

#include <stdexcept>
#include <tuple>

#include "document_records.hpp"
#include "lorvane/document.hpp"
#include "support/test_support.hpp"

namespace lorvane {
namespace {

using namespace testing::records;
using Tags = std::vector<std::optional<std::string>>;
// token_begin, token_end, type
using SpanRow = std::tuple<std::uint32_t, std::uint32_t, std::string>;

// One sentence per list of tags, one token per tag.
Document tagged_document(const std::vector<Tags>& sentences) {
  std::vector<SentenceInput> input;
  for (const Tags& tags : sentences) {
    std::vector<TokenInput> tokens;
    for (std::size_t i = 0; i < tags.size(); ++i)
      tokens.push_back(tagged(static_cast<int>(i) + 1, "w" + std::to_string(i), tags[i]));
    input.push_back(sentence(std::move(tokens)));
  }
  return Document("", input);
}

std::vector<SpanRow> span_rows(const Document& doc) {
  std::vector<SpanRow> out;
  const SpanColumns& s = doc.storage()->spans;
  for (std::size_t i = 0; i < s.text.size(); ++i)
    out.emplace_back(s.token_begin[i], s.token_end[i], doc.storage()->pool.get(s.type[i]));
  return out;
}

struct TagCase {
  const char* name;
  Tags tags;
  std::vector<SpanRow> spans;
};

class TagTest : public ::testing::TestWithParam<TagCase> {};

TEST_P(TagTest, GivesSpans) {
  EXPECT_EQ(span_rows(tagged_document({GetParam().tags})), GetParam().spans);
}

INSTANTIATE_TEST_SUITE_P(
    Entities, TagTest,
    ::testing::Values(
        TagCase{"BeginInsideEndOutside", {"B-PER", "I-PER", "E-PER", "O"}, {{0, 3, "PER"}}},
        TagCase{"OpenAtSentenceEnd", {"O", "B-PER", "I-PER"}, {{1, 3, "PER"}}},
        TagCase{"BeginLast", {"B-PER", "L-PER", "I-PER"}, {{0, 2, "PER"}, {2, 3, "PER"}}},
        TagCase{"TwoBegins", {"B-PER", "B-PER"}, {{0, 1, "PER"}, {1, 2, "PER"}}},
        TagCase{"TypeChangeOpensStrayInside", {"B-PER", "I-ORG"}, {{0, 1, "PER"}, {1, 2, "ORG"}}},
        TagCase{"BeginThenSingle", {"B-PER", "S-PER"}, {{0, 1, "PER"}, {1, 2, "PER"}}},
        TagCase{"BeginThenUnit", {"B-PER", "U-PER"}, {{0, 1, "PER"}, {1, 2, "PER"}}},
        TagCase{"BeginThenOutside", {"B-PER", "O"}, {{0, 1, "PER"}}},
        TagCase{"BeginThenOutsideTyped", {"B-PER", "O-PER"}, {{0, 1, "PER"}}},
        TagCase{"BeginThenOtherPrefix", {"B-PER", "X-PER"}, {{0, 1, "PER"}, {1, 2, "PER"}}},
        TagCase{"BeginThenShortTag", {"B-PER", "I-", "I-PER"}, {{0, 1, "PER"}, {2, 3, "PER"}}},
        TagCase{"BeginThenAbsent", {"B-PER", std::nullopt, "E-PER"}, {{0, 1, "PER"}, {2, 3, "PER"}}},
        TagCase{"InsidesWithoutBegin", {"I-LOC", "I-LOC"}, {{0, 1, "LOC"}, {1, 2, "LOC"}}},
        TagCase{"StrayEnds", {"E-LOC", "L-LOC"}, {{0, 1, "LOC"}, {1, 2, "LOC"}}},
        TagCase{"SingleAndUnit", {"S-A", "U-B"}, {{0, 1, "A"}, {1, 2, "B"}}},
        TagCase{"LowercasePrefix", {"b-PER", "i-PER"}, {{0, 1, "PER"}, {1, 2, "PER"}}},
        TagCase{"LowercaseInsideDoesNotContinue", {"B-PER", "i-PER"}, {{0, 1, "PER"}, {1, 2, "PER"}}},
        TagCase{"OutsideWithType", {"O-PER"}, {}},
        TagCase{"NotCounting", {"O", "PER", "B-", "B_PER", std::nullopt, "", "--"}, {}},
        TagCase{"HyphenType", {"B--X", "E--X"}, {{0, 2, "-X"}}},
        TagCase{"TypesCompareByteForByte", {"B-PER", "I-per", "E-PER"}, {{0, 1, "PER"}, {1, 2, "per"}, {2, 3, "PER"}}},
        TagCase{"LongSpan", {"B-X", "I-X", "I-X", "I-X", "L-X", "S-X"}, {{0, 5, "X"}, {5, 6, "X"}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Entities, SpansStopAtSentenceEnds) {
  const Document doc = tagged_document({{"B-PER", "I-PER"}, {"I-PER", "E-PER"}, {}, {"O"}});
  EXPECT_EQ(span_rows(doc), (std::vector<SpanRow>{{0, 2, "PER"}, {2, 3, "PER"}, {3, 4, "PER"}}));
  EXPECT_EQ(doc.storage()->sentences.span_offsets, (std::vector<std::uint32_t>{0, 1, 3, 3, 3}));
  EXPECT_EQ(doc.storage()->spans.sentence, (std::vector<std::uint32_t>{0, 1, 1}));
  EXPECT_EQ(doc.sentences().at(1).ents().size(), 2u);
  EXPECT_EQ(doc.sentences().at(1).ents().at(-1).tokens().at(0).index(), 3u);
  EXPECT_EQ(doc.ents().at(2).sent().index(), 1u);
}

TEST(Entities, TextFromTheDocumentSlice) {
  TokenInput jo = token(1, "Jo", 0, 2);
  TokenInput smith = token(2, "Smith", 4, 9);
  jo.ner = "B-PER";
  smith.ner = "E-PER";
  const Document doc("Jo  Smith \xC3\xA9t\xC3\xA9", {sentence({jo, smith})});
  const Span span = doc.ents().at(0);
  EXPECT_EQ(span.text(), "Jo  Smith");
  EXPECT_EQ(span.type(), "PER");
  EXPECT_EQ(span.start_char(), 0u);
  EXPECT_EQ(span.end_char(), 9u);
  EXPECT_TRUE(span.doc().same_storage(doc));
}

TEST(Entities, TextJoinedFromTokensWithoutOffsets) {
  TokenInput first = tagged(1, "Jo", "B-PER");
  TokenInput second = tagged(2, "Smith", "E-PER");
  second.spaces_before = "_";
  second.spaces_after = "!";
  const Document doc("", {sentence({first, second})});
  const Span span = doc.ents().at(0);
  EXPECT_EQ(span.text(), "Jo_Smith");
  EXPECT_EQ(span.start_char(), std::nullopt);
  EXPECT_EQ(span.end_char(), std::nullopt);
}

TEST(Entities, OffsetsOutsideTheTextAreCopiedButTextIsJoined) {
  TokenInput first = token(1, "ab", 0, 2);
  TokenInput second = token(2, "cd", {}, 50);
  first.ner = "B-X";
  second.ner = "E-X";
  second.spaces_before = " ";
  const Document doc("ab cd", {sentence({first, second})});
  const Span span = doc.ents().at(0);
  EXPECT_EQ(span.text(), "ab cd");
  EXPECT_EQ(span.start_char(), 0u);
  EXPECT_EQ(span.end_char(), 50u);
}

TEST(Entities, WordRangeCoversRegularWordsOfTheTokens) {
  TokenInput du = mwt(2, "du", {"de", "le"});
  du.ner = "B-X";
  TokenInput last = tagged(4, "z", "E-X");
  const Document doc("", {sentence({tagged(1, "a", "O"), du, last})});
  const Span span = doc.ents().at(0);
  const std::vector<std::uint32_t> rows{1, 2, 3};
  ASSERT_EQ(span.words().size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(span.words().at(static_cast<std::int64_t>(i)).index(), rows[i]);
  EXPECT_EQ(span.tokens().size(), 2u);
  EXPECT_EQ(span.text(), "duz");
}

TEST(Entities, DocumentWithoutSentences) {
  Document doc("text");
  doc.rebuild_entities();
  EXPECT_EQ(doc.storage()->sentences.span_offsets, std::vector<std::uint32_t>{0});
  EXPECT_EQ(doc.ents().size(), 0u);
}

TEST(Entities, TagChangesTakeEffectOnRebuild) {
  Document doc = tagged_document({{"S-PER", "O", "O"}});
  Token middle = doc.tokens().at(1);
  middle.set_ner("S-LOC");
  doc.tokens().at(0).set_ner(std::nullopt);
  EXPECT_EQ(span_rows(doc), (std::vector<SpanRow>{{0, 1, "PER"}}));
  EXPECT_EQ(doc.ents().at(0).text(), "w0");
  doc.rebuild_entities();
  EXPECT_EQ(span_rows(doc), (std::vector<SpanRow>{{1, 2, "LOC"}}));
  EXPECT_EQ(doc.ents().at(0).text(), "w1");
}

TEST(Entities, FailedRebuildKeepsThePreviousSpans) {
  Document doc = tagged_document({{"S-PER", "O"}, {"B-X", "E-X"}});
  const std::vector<SpanRow> before = span_rows(doc);
  const std::vector<std::uint32_t> offsets_before = doc.storage()->sentences.span_offsets;
  doc.tokens().at(0).set_ner("S-LOC");
  doc.storage()->tokens.ner[3] = 0x7FFFFFFFu;  // a cell the pool does not know
  EXPECT_THROW_MSG(doc.rebuild_entities(), std::out_of_range, "invalid string pool identifier");
  EXPECT_EQ(span_rows(doc), before);
  EXPECT_EQ(doc.storage()->sentences.span_offsets, offsets_before);
}

}  // namespace
}  // namespace lorvane
