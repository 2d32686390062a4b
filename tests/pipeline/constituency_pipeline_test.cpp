// "tokenize,pos,constituency" from a model directory: every sentence the
// tokenizer makes gets the tree that the constituency plan gives its words
// and the tagger's tags, singly and in bulk.

#include <gtest/gtest.h>

#include <algorithm>

#include "lorvane/constituency.hpp"
#include "lorvane/pipeline.hpp"
#include "pipeline/pipeline_test_support.hpp"

namespace lorvane {
namespace {

using testing::models_dir;

std::vector<std::string> trees_of(const Document& doc) {
  std::vector<std::string> trees;
  for (std::uint64_t s = 0; s < doc.sentences().size(); ++s) {
    const auto tree = doc.sentences().at(static_cast<std::int64_t>(s)).constituency();
    trees.push_back(tree ? tree->to_string() : "-");
  }
  return trees;
}

TEST(ConstituencyPipeline, ParsesTheTaggedSentencesSinglyAndInBulk) {
  const Pipeline tagging("en", {"tokenize", "pos"}, "default", models_dir(), "1.10.0", false, {});
  const Pipeline pipeline("en", {"tokenize", "pos", "constituency"}, "default", models_dir(), "1.10.0", false, {});
  const ConstituencyPlan plan(models_dir() / "1.10.0" / "en" / "constituency" / "default", false);
  const std::vector<std::string> texts = {"Hello, world. This is a test!", "", "Pi is 3.14, not 1,000."};
  const std::vector<Document> bulk = pipeline.process_bulk(texts);
  ASSERT_EQ(bulk.size(), texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    SCOPED_TRACE(texts[i]);
    const std::vector<std::string> expected = trees_of(plan.process(tagging.process(texts[i])));
    EXPECT_EQ(expected.empty(), texts[i].empty());
    EXPECT_EQ(std::count(expected.begin(), expected.end(), "-"), 0);  // every sentence has a tree
    EXPECT_EQ(trees_of(pipeline.process(texts[i])), expected);
    EXPECT_EQ(trees_of(bulk[i]), expected);
  }
}

}  // namespace
}  // namespace lorvane
