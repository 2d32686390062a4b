// Labels to document: tokens, offsets, spacing, MWT marks, sentence ends,
// the language rules and the refusals of inconsistent labels.

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "lorvane/document.hpp"
#include "lorvane/errors.hpp"
#include "lorvane/tokenizer.hpp"
#include "models/tokenizer/plan_impl.hpp"
#include "models/tokenizer/text/units.hpp"
#include "support/test_support.hpp"
#include "tokenizer/tokenizer_inference_support.hpp"

namespace lorvane {
namespace {

using detail::TokenizerParagraph;
using Labels = std::vector<std::int64_t>;
using testing::describe_document;

std::vector<TokenizerParagraph> paragraphs_of(const std::string& text) {
  return detail::split_paragraphs(text.data(), text.size(), false);
}

Labels from_digits(const std::string& text) {
  Labels out;
  for (const char c : text) out.push_back(c - '0');
  return out;
}

// Bundles that differ in the configuration's lang and shorthand and in the
// manifest's language.
struct BundleSetup {
  const char* name;
  const char* lang;
  const char* shorthand;
  const char* manifest_language;
};

const BundleSetup kBundles[] = {
    {"en", "en", "en_test", "en"},
    {"zh_hans", "zh-hans", "zh_test", "zh-hans"},
    {"ja", "ja", "ja_test", "ja"},
    {"ko", "ko", "ko_test", "ko"},
    {"kor", "kor", "kor_test", "kor"},
    {"zh_bare", "zh", "zh_test", "zh"},
    {"z", "z", "z_test", "z"},
    {"empty_lang", "", "x_test", "en"},
    {"xzh", "xzh", "x_test", "xzh"},
    {"la_ittb", "la", "la_ittb", "la"},
    {"la_other", "la", "la_perseus", "la"},
    {"manifest_differs", "en", "en_test", "xx"},
    {"manifest_empty", "en", "en_test", ""},
};

class TokenizerDocumentTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = new testing::TempDir();
    std::vector<std::pair<std::filesystem::path, std::string>> jobs;
    for (const BundleSetup& b : kBundles) {
      jobs.emplace_back(scratch_->path() / b.name,
                        std::string(R"({"config": {"emb_dim": 3, "hidden_dim": 2, "lang": )") +
                            testing::json_quote(b.lang) + R"(, "shorthand": )" + testing::json_quote(b.shorthand) +
                            R"(}, "bundle": {"language": )" + testing::json_quote(b.manifest_language) + "}}");
    }
    testing::write_tokenizer_bundles(scratch_->path(), jobs);
  }
  static void TearDownTestSuite() {
    delete scratch_;
    scratch_ = nullptr;
  }

  static const TokenizerPlan::Impl& plan(const std::string& name = "en") {
    static std::map<std::string, std::unique_ptr<TokenizerPlan>> plans;
    auto& p = plans[name];
    if (!p) p = std::make_unique<TokenizerPlan>(scratch_->path() / name, false);
    return p->impl();
  }

  // Builds from the paragraphs of `text` with one digit string per paragraph.
  static Document build(const std::string& text, const std::vector<std::string>& labels,
                        const std::string& bundle = "en") {
    std::vector<Labels> decoded;
    for (const std::string& l : labels) decoded.push_back(from_digits(l));
    return plan(bundle).build_document(Document(text), paragraphs_of(text), decoded);
  }

  static testing::TempDir* scratch_;
};

testing::TempDir* TokenizerDocumentTest::scratch_ = nullptr;

TEST_F(TokenizerDocumentTest, TokensWithOffsetsAndSpacing) {
  const Document doc = build("Hi there.", {"010000012"});
  EXPECT_EQ(describe_document(doc),
            "lang=en\n"
            "sentence\n"
            "  1 \"Hi\" [0,2) before=\"\" after=\" \" misc=-\n"
            "  2 \"there\" [3,8) before=\"\" after=\"\" misc=-\n"
            "  3 \".\" [8,9) before=\"\" after=\"\" misc=-\n");
  EXPECT_EQ(doc.sentences().at(0).text(), "Hi there.");
  EXPECT_EQ(doc.sentences().at(0).sent_id(), "0");
  EXPECT_EQ(doc.num_words(), 3u);
}

TEST_F(TokenizerDocumentTest, SentenceEndInsideAParagraphRestartsTheNumbering) {
  const Document doc = build("Hi. Yo.", {"0120012"});
  EXPECT_EQ(describe_document(doc),
            "lang=en\n"
            "sentence\n"
            "  1 \"Hi\" [0,2) before=\"\" after=\"\" misc=-\n"
            "  2 \".\" [2,3) before=\"\" after=\" \" misc=-\n"
            "sentence\n"
            "  1 \"Yo\" [4,6) before=\"\" after=\"\" misc=-\n"
            "  2 \".\" [6,7) before=\"\" after=\"\" misc=-\n");
  EXPECT_EQ(doc.sentences().at(1).sent_id(), "1");
  EXPECT_EQ(doc.sentences().at(1).text(), "Yo.");
}

TEST_F(TokenizerDocumentTest, TokenEndOnASpaceKeepsItInTheTextButNotInTheOffsets) {
  const Document doc = build("ab cd", {"00102"});
  EXPECT_EQ(describe_document(doc),
            "lang=en\n"
            "sentence\n"
            "  1 \"ab \" [0,2) before=\"\" after=\" \" misc=-\n"
            "  2 \"cd\" [3,5) before=\"\" after=\"\" misc=-\n");
}

TEST_F(TokenizerDocumentTest, EndOnSpacesAloneMakesNoTokenAndLosesItsSentenceEnd) {
  // Units a, b, one space for the run of two, c, d.
  const Document doc = build("ab  cd", {"01202"});
  EXPECT_EQ(describe_document(doc),
            "lang=en\n"
            "sentence\n"
            "  1 \"ab\" [0,2) before=\"\" after=\"  \" misc=-\n"
            "  2 \"cd\" [4,6) before=\"\" after=\"\" misc=-\n");
  // A leading space unit labelled as a sentence end.
  const Document leading = build(" ab", {"202"});
  EXPECT_EQ(describe_document(leading),
            "lang=en\n"
            "sentence\n"
            "  1 \"ab\" [1,3) before=\" \" after=\"\" misc=-\n");
}

TEST_F(TokenizerDocumentTest, MultiWordTokenEndsAreMarkedOnTokenAndWord) {
  const Document doc = build("dont go. ok", {"00030004002"});
  EXPECT_EQ(describe_document(doc),
            "lang=en\n"
            "sentence\n"
            "  1 \"dont\" [0,4) before=\"\" after=\" \" misc=MWT=Yes\n"
            "  2 \"go.\" [5,8) before=\"\" after=\" \" misc=MWT=Yes\n"
            "sentence\n"
            "  1 \"ok\" [9,11) before=\"\" after=\"\" misc=-\n");
}

TEST_F(TokenizerDocumentTest, ParagraphsAreSentencesAndTheWhitespaceBetweenThemIsKept) {
  const std::string text = "Hi.\n\n  Bye.  \n";
  const Document doc = build(text, {"012", "00012"});
  EXPECT_EQ(describe_document(doc),
            "lang=en\n"
            "sentence\n"
            "  1 \"Hi\" [0,2) before=\"\" after=\"\" misc=-\n"
            "  2 \".\" [2,3) before=\"\" after=\"\\u000a\\u000a  \" misc=-\n"
            "sentence\n"
            "  1 \"Bye\" [7,10) before=\"\" after=\"\" misc=-\n"
            "  2 \".\" [10,11) before=\"\" after=\"  \\u000a\" misc=-\n");
  EXPECT_EQ(doc.text(), text);
}

TEST_F(TokenizerDocumentTest, ParagraphEndClosesTheSentenceWithoutASentenceLabel) {
  const Document doc = build("ab\n\ncd", {"01", "11"});
  EXPECT_EQ(doc.sentences().size(), 2u);
  EXPECT_EQ(doc.sentences().at(0).tokens().size(), 1u);
  EXPECT_EQ(doc.sentences().at(1).tokens().size(), 2u);
}

TEST_F(TokenizerDocumentTest, LeadingSpacesGoToTheFirstTokenOnly) {
  const Document doc = build("   Hi you", {"0010002"});
  EXPECT_EQ(describe_document(doc),
            "lang=en\n"
            "sentence\n"
            "  1 \"Hi\" [3,5) before=\"   \" after=\" \" misc=-\n"
            "  2 \"you\" [6,9) before=\"\" after=\"\" misc=-\n");
}

TEST_F(TokenizerDocumentTest, CodePointOffsetsCountMultiByteUnitsOnce) {
  const Document doc = build("\xC3\xBC" "ber \xE2\x82\xAC" "5", {"0001002"});
  EXPECT_EQ(describe_document(doc),
            "lang=en\n"
            "sentence\n"
            "  1 \"\xC3\xBC" "ber\" [0,4) before=\"\" after=\" \" misc=-\n"
            "  2 \"\xE2\x82\xAC" "5\" [5,7) before=\"\" after=\"\" misc=-\n");
}

struct SpaceRemovalCase {
  const char* bundle;
  bool removes;
};

TEST_F(TokenizerDocumentTest, SpacesInsideTokensAreRemovedForChineseJapaneseAndKorean) {
  const SpaceRemovalCase cases[] = {{"zh_hans", true}, {"ja", true},  {"ko", true},
                                    {"kor", true},     {"zh_bare", true}, {"z", false},
                                    {"empty_lang", false}, {"xzh", false}, {"en", false}};
  for (const SpaceRemovalCase& c : cases) {
    SCOPED_TRACE(c.bundle);
    const Document doc = build("A B  C", {"00002"}, c.bundle);
    ASSERT_EQ(doc.num_tokens(), 1u);
    EXPECT_EQ(doc.tokens().at(0).text(), c.removes ? "ABC" : "A B C");
    EXPECT_EQ(doc.tokens().at(0).start_char(), 0u);
    EXPECT_EQ(doc.tokens().at(0).end_char(), 6u);
  }
}

TEST_F(TokenizerDocumentTest, TokensOverAThousandUnitsBecomeUnknown) {
  struct Case {
    std::string text;
    std::string expected_text;
    std::uint32_t start, end;
  };
  const std::string thousand(1000, 'a');
  const Case cases[] = {
      {thousand, thousand, 0, 1000},
      {thousand + "b", "<UNK>", 0, 1001},
      // Leading spaces do not count; spaces inside do.
      {"  " + thousand, thousand, 2, 1002},
      {std::string(500, 'a').append(" ").append(500, 'b'), "<UNK>", 0, 1001},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.size());
    const auto paragraphs = paragraphs_of(c.text);
    ASSERT_EQ(paragraphs.size(), 1u);
    Labels labels(paragraphs[0].size(), 0);
    labels.back() = 2;
    const Document doc = plan().build_document(Document(c.text), paragraphs, {labels});
    ASSERT_EQ(doc.num_tokens(), 1u);
    EXPECT_EQ(doc.tokens().at(0).text(), c.expected_text);
    EXPECT_EQ(doc.tokens().at(0).start_char(), c.start);
    EXPECT_EQ(doc.tokens().at(0).end_char(), c.end);
    EXPECT_EQ(doc.words().at(0).text(), c.expected_text);
  }
}

TEST_F(TokenizerDocumentTest, ColonsAndSemicolonsEndSentencesOnlyForThatShorthand) {
  EXPECT_EQ(describe_document(build("a:b;c", {"00002"}, "la_ittb")),
            "lang=la\n"
            "sentence\n"
            "  1 \"a:\" [0,2) before=\"\" after=\"\" misc=-\n"
            "sentence\n"
            "  1 \"b;\" [2,4) before=\"\" after=\"\" misc=-\n"
            "sentence\n"
            "  1 \"c\" [4,5) before=\"\" after=\"\" misc=-\n");
  // A multi-word-token end on the colon turns into a plain sentence end.
  EXPECT_EQ(describe_document(build("a: b", {"0302"}, "la_ittb")),
            "lang=la\n"
            "sentence\n"
            "  1 \"a:\" [0,2) before=\"\" after=\" \" misc=-\n"
            "sentence\n"
            "  1 \"b\" [3,4) before=\"\" after=\"\" misc=-\n");
  EXPECT_EQ(describe_document(build("a:b;c", {"00002"}, "la_other")),
            "lang=la\n"
            "sentence\n"
            "  1 \"a:b;c\" [0,5) before=\"\" after=\"\" misc=-\n");
}

TEST_F(TokenizerDocumentTest, LanguageComesFromTheManifestNotTheConfiguration) {
  EXPECT_EQ(build("Hi", {"02"}, "manifest_differs").lang(), "xx");
  EXPECT_EQ(build("Hi", {"02"}, "manifest_empty").lang(), "");
  EXPECT_EQ(build("A B", {"002"}, "manifest_differs").tokens().at(0).text(), "A B");
}

TEST_F(TokenizerDocumentTest, NoParagraphsGiveADocumentWithTheTextAndNoSentences) {
  for (const std::string text : {"", "  \n\n \t"}) {
    const Document doc = plan("manifest_differs").build_document(Document(text), {}, {});
    EXPECT_EQ(doc.text(), text);
    EXPECT_EQ(doc.sentences().size(), 0u);
    EXPECT_EQ(doc.num_tokens(), 0u);
    EXPECT_EQ(doc.lang(), "xx");
  }
}

TEST_F(TokenizerDocumentTest, InputDocumentIsLeftAlone) {
  Document input("Hi there.");
  input.set_lang("fr");
  const Document output = plan().build_document(input, paragraphs_of(input.text()), {from_digits("010000012")});
  EXPECT_FALSE(output.same_storage(input));
  EXPECT_EQ(input.sentences().size(), 0u);
  EXPECT_EQ(input.lang(), "fr");
  EXPECT_EQ(output.lang(), "en");
}

struct RefusalCase {
  const char* name;
  std::string text;
  std::vector<std::string> labels;
  const char* message;
};

TEST_F(TokenizerDocumentTest, InconsistentLabelsAreRefused) {
  const RefusalCase cases[] = {
      {"more_label_vectors", "ab", {"02", "02"}, "tokenizer paragraph and prediction counts disagree"},
      {"fewer_label_vectors", "ab\n\ncd", {"02"}, "tokenizer paragraph and prediction counts disagree"},
      {"short_labels", "abc", {"02"}, "tokenizer labels do not match the paragraph length"},
      {"no_labels", "abc", {""}, "tokenizer labels do not match the paragraph length"},
      {"long_labels", "abc", {"0022"}, "tokenizer labels do not match the paragraph length"},
      // Checked before any paragraph is read: the first one is fine.
      {"second_paragraph_short", "ab\n\ncd", {"02", "2"}, "tokenizer labels do not match the paragraph length"},
      {"unfinished_token", "ab\n\ncd", {"02", "10"}, "tokenizer prediction left an unfinished token"},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THROW_MSG(build(c.text, c.labels), TokenizerModelError, c.message);
  }
}

TEST_F(TokenizerDocumentTest, UnitsBeyondTheTextAreRefusedInsteadOfWrapping) {
  const Document doc("abc");
  for (const std::uint32_t offset : {3u, 0xFFFFFFFEu, 0xFFFFFFFFu}) {
    SCOPED_TRACE(offset);
    std::vector<TokenizerParagraph> paragraphs = {{{"a", U'a', 0}, {"b", U'b', offset}}};
    EXPECT_THROW_MSG(plan().build_document(doc, paragraphs, {{0, 2}}), TokenizerModelError,
                     "tokenizer units lie outside the document text");
  }
}

}  // namespace
}  // namespace lorvane
