// "tokenize,pos" from a model directory: the tagger runs on the tokenizer's
// words, singly and in bulk, as the POS plan does on the same documents.

#include <gtest/gtest.h>

#include "lorvane/pipeline.hpp"
#include "lorvane/pos.hpp"
#include "pipeline/pipeline_test_support.hpp"

namespace lorvane {
namespace {

using testing::models_dir;

std::string tags_of(const Document& doc) {
  std::string out;
  const SentenceSequence sentences = doc.sentences();
  for (std::uint64_t s = 0; s < sentences.size(); ++s) {
    const WordSequence words = sentences.at(static_cast<std::int64_t>(s)).words();
    for (std::uint64_t k = 0; k < words.size(); ++k) {
      const Word word = words.at(static_cast<std::int64_t>(k));
      out += word.text() + "/" + word.upos().value_or("-") + "/" + word.xpos().value_or("-") + "/" +
             word.feats().value_or("-") + " ";
    }
    out += "| ";
  }
  return out;
}

TEST(POSPipeline, TagsTheTokenizersWordsSinglyAndInBulk) {
  const Pipeline tokenize("en", {"tokenize"}, "default", models_dir(), "1.10.0", false, {});
  const Pipeline pipeline("en", {"tokenize", "pos"}, "default", models_dir(), "1.10.0", false, {});
  const POSPlan plan(models_dir() / "1.10.0" / "en" / "pos" / "default", false);
  const std::vector<std::string> texts = {"Hello, world. This is a test!", "", "Pi is 3.14, not 1,000."};
  const std::vector<Document> bulk = pipeline.process_bulk(texts);
  ASSERT_EQ(bulk.size(), texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    SCOPED_TRACE(texts[i]);
    const Document doc = pipeline.process(texts[i]);
    const std::string expected = tags_of(plan.process(tokenize.process(texts[i])));
    EXPECT_EQ(tags_of(doc), expected);
    EXPECT_EQ(tags_of(bulk[i]), expected);
  }
  // Every word of the tokenizer got a universal tag.
  for (const Document& doc : bulk) {
    for (std::uint64_t s = 0; s < doc.sentences().size(); ++s) {
      const WordSequence words = doc.sentences().at(static_cast<std::int64_t>(s)).words();
      for (std::uint64_t k = 0; k < words.size(); ++k) EXPECT_TRUE(words.at(static_cast<std::int64_t>(k)).upos());
    }
  }
}

}  // namespace
}  // namespace lorvane
