// "tokenize,ner" end to end from the generated model directory: the demo
// tokenizer's tokens tagged by an ner bundle with seeded random weights.

#include <gtest/gtest.h>

#include "lorvane/pipeline.hpp"
#include "lorvane/processors.hpp"
#include "pipeline/pipeline_test_support.hpp"

namespace lorvane {
namespace {

using Strings = std::vector<std::string>;

TEST(NERPipeline, TokenizeThenNERTagsEveryTokenAndBuildsSpans) {
  const Pipeline pipeline("en", {"tokenize", "ner"}, "default", testing::models_dir(), "1.10.0", false, {});
  const auto& ner = dynamic_cast<const NERProcessor&>(*pipeline.processors().at(1));
  EXPECT_TRUE(ner.implemented());
  EXPECT_EQ(ner.bundle_path(), std::filesystem::absolute(testing::models_dir()) / "1.10.0" / "en" / "ner" / "default");

  const Strings texts = {"John Smith lives in Paris. New York is big!", "Berlin, the city.\n\nAnn visited it.", ""};
  const std::vector<Document> bulk = pipeline.process_bulk(texts);
  for (std::size_t d = 0; d < texts.size(); ++d) {
    SCOPED_TRACE(texts[d]);
    const Document doc = pipeline.process(texts[d]);
    EXPECT_EQ(doc.to_conll(), bulk[d].to_conll());
    std::size_t spans = 0;
    for (std::uint64_t s = 0; s < doc.sentences().size(); ++s) {
      const Sentence sentence = doc.sentences().at(static_cast<std::int64_t>(s));
      Strings tokens, tags;
      for (std::uint64_t t = 0; t < sentence.tokens().size(); ++t) {
        const Token token = sentence.tokens().at(static_cast<std::int64_t>(t));
        tokens.push_back(token.text());
        tags.push_back(token.ner().value_or("<none>"));
        EXPECT_EQ(token.multi_ner(), Strings{tags.back()});
      }
      EXPECT_EQ(tags, ner.tag(tokens));
      for (const std::string& tag : tags) spans += tag.rfind("S-", 0) == 0 || tag.rfind("B-", 0) == 0;
    }
    EXPECT_EQ(doc.ents().size(), spans);
  }
  EXPECT_GT(bulk[0].ents().size(), 0u);
}

}  // namespace
}  // namespace lorvane
