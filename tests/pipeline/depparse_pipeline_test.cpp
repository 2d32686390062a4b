// The parser's stage from generated model directories, after
// "tokenize,pos,lemma" and at the end of the default pipeline "tokenize,mwt,pos,lemma,depparse":
// every word gets a head and a relation, singly and in bulk, as the plan gives
// them, and each sentence is a tree under one ROOT dependent.

#include <gtest/gtest.h>

#include <algorithm>

#include "lorvane/depparse.hpp"
#include "lorvane/pipeline.hpp"
#include "pipeline/pipeline_test_support.hpp"

namespace lorvane {
namespace {

using testing::models_dir;

// "head:deprel" of every word, sentences separated by "|"; checks that the
// heads of each sentence form a tree with one word under ROOT.
std::string parses_of(const Document& doc) {
  std::string out;
  for (std::uint64_t s = 0; s < doc.sentences().size(); ++s) {
    const WordSequence words = doc.sentences().at(static_cast<std::int64_t>(s)).words();
    const auto n = static_cast<std::int32_t>(words.size());
    std::vector<std::int32_t> heads;
    for (std::int32_t k = 0; k < n; ++k) {
      const Word word = words.at(k);
      heads.push_back(word.head().value_or(-1));
      out += std::to_string(heads.back()) + ":" + word.deprel().value_or("-") + " ";
    }
    EXPECT_EQ(std::count(heads.begin(), heads.end(), 0), n > 0 ? 1 : 0);
    for (std::int32_t k = 0; k < n; ++k) {
      std::int32_t node = k + 1;
      for (std::int32_t steps = 0; node > 0 && steps <= n; ++steps) node = heads[static_cast<std::size_t>(node - 1)];
      EXPECT_EQ(node, 0) << "word " << k + 1 << " does not reach ROOT";
    }
    out += "| ";
  }
  return out;
}

// The parses of `stages` (ending in "depparse") on each text, singly and in
// bulk, against the plan run on the document the stages before it make.
void expect_parses_of_plan(const std::string& language, const std::vector<std::string>& stages,
                           const std::string& depparse_path, const std::vector<std::string>& texts) {
  const std::vector<std::string> before(stages.begin(), stages.end() - 1);
  const Pipeline earlier(language, before, "default", models_dir(), "1.10.0", false, {});
  const Pipeline pipeline(language, stages, "default", models_dir(), "1.10.0", false, {});
  const DepparsePlan plan(models_dir() / "1.10.0" / language / depparse_path, false);
  const std::vector<Document> bulk = pipeline.process_bulk(texts);
  ASSERT_EQ(bulk.size(), texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    SCOPED_TRACE(texts[i]);
    const Document expected = plan.process(earlier.process(texts[i]));
    EXPECT_EQ(parses_of(expected).find("-1:"), std::string::npos);
    EXPECT_EQ(pipeline.process(texts[i]).to_conll(), expected.to_conll());
    EXPECT_EQ(bulk[i].to_conll(), expected.to_conll());
  }
}

TEST(DepparsePipeline, ParsesTheTaggedWordsSinglyAndInBulk) {
  expect_parses_of_plan("en", {"tokenize", "pos", "lemma", "depparse"}, "depparse/default",
                        {"Hello, world. This is a test!", "", "Pi is 3.14, not 1,000."});
}

// The default pipeline: the expander's words are tagged, lemmatised and parsed.
TEST(DepparsePipeline, TheDefaultPipelineRunsEndToEnd) {
  const std::vector<std::string> stages = {"tokenize", "mwt", "pos", "lemma", "depparse"};
  const std::string text = "Je parle du livre au chat. Du pain, des amis!";
  expect_parses_of_plan("fr", stages, "depparse", {text, "", "Au revoir."});
  const Document doc = Pipeline("fr", stages, "default", models_dir(), "1.10.0", false, {}).process(text);
  ASSERT_EQ(doc.num_words(), 17u);
  for (const std::int64_t k : {2, 3, 15}) {  // "de" and "le" of "du"; "amis"
    const Word word = doc.words().at(k);
    EXPECT_TRUE(word.upos() && word.lemma() && word.head() && word.deprel()) << word.text();
  }
  EXPECT_EQ(doc.words().at(3).text(), "le");
  EXPECT_EQ(doc.words().at(2).lemma(), "de");
}

}  // namespace
}  // namespace lorvane
