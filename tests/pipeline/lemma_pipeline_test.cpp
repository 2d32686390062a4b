// Pipelines ending in "lemma" from a model directory: every word the earlier
// stages make gets the lemma that the lemma plan gives it, singly and in
// bulk; a model that reads POS tags makes the stage require "pos".

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "lorvane/lemma.hpp"
#include "lorvane/pipeline.hpp"
#include "support/test_support.hpp"
#include "pipeline/pipeline_test_support.hpp"

namespace lorvane {
namespace {

using testing::models_dir;
using Strings = std::vector<std::string>;

Strings lemmas_of(const Document& doc) {
  Strings lemmas;
  for (std::uint64_t k = 0; k < doc.words().size(); ++k) {
    lemmas.push_back(doc.words().at(static_cast<std::int64_t>(k)).lemma().value_or("(none)"));
  }
  return lemmas;
}

// The lemmas of `stages` (ending in "lemma") on each text, singly and in bulk,
// against the plan run on the document the stages before it make.
void expect_lemmas_of_plan(const std::string& language, const Strings& stages, const std::string& lemma_path,
                           const Strings& texts = {"Hello, world. This is a test!", "", "Pi is 3.14, not 1,000."}) {
  const Strings before(stages.begin(), stages.end() - 1);
  const Pipeline earlier(language, before, "default", models_dir(), "1.10.0", false, {});
  const Pipeline pipeline(language, stages, "default", models_dir(), "1.10.0", false, {});
  const LemmaPlan plan(models_dir() / "1.10.0" / language / lemma_path, false);
  const std::vector<Document> bulk = pipeline.process_bulk(texts);
  ASSERT_EQ(bulk.size(), texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    SCOPED_TRACE(texts[i]);
    const Strings expected = lemmas_of(plan.process(earlier.process(texts[i])));
    EXPECT_EQ(expected.empty(), texts[i].empty());
    EXPECT_EQ(std::count(expected.begin(), expected.end(), "(none)"), 0);
    EXPECT_EQ(lemmas_of(pipeline.process(texts[i])), expected);
    EXPECT_EQ(lemmas_of(bulk[i]), expected);
  }
}

TEST(LemmaPipeline, TokenizeThenLemmatiseWithoutPOS) {
  expect_lemmas_of_plan("en", {"tokenize", "lemma"}, "lemma/default");
}

// The expander's words get lemmas: "du" is "de le", "des" is "de les".
TEST(LemmaPipeline, TokenizeExpandThenLemmatise) {
  const std::string text = "Je parle du livre au chat. Du pain, des amis!";
  expect_lemmas_of_plan("fr", {"tokenize", "mwt", "lemma"}, "lemma", {text, "Au revoir."});
  const Pipeline pipeline("fr", {"tokenize", "mwt", "lemma"}, "default", models_dir(), "1.10.0", false, {});
  const Strings lemmas = lemmas_of(pipeline.process(text));
  ASSERT_EQ(lemmas.size(), 17u);
  const Strings expanded = {lemmas[2], lemmas[3], lemmas[13], lemmas[14], lemmas[15]};
  EXPECT_EQ(expanded, (Strings{"de", "le", "de", "le", "ami"}));
}

TEST(LemmaPipeline, AModelThatReadsPOSRequiresTheTagger) {
  expect_lemmas_of_plan("la", {"tokenize", "pos", "lemma"}, "lemma");
  EXPECT_THROW_MSG(Pipeline("la", {"tokenize", "lemma"}, "default", models_dir(), "1.10.0", false, {}),
                   ProcessorRequirementsError, "processor 'lemma' is missing requirements: pos");
}

}  // namespace
}  // namespace lorvane
