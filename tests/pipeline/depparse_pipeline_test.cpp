// The parser's stage from the generated model directory after "tokenize,pos":
// every word of the tokenizer's sentences gets a head and a relation, singly
// and in bulk, as the plan gives them, and each sentence is a tree under one
// ROOT dependent.

#include <gtest/gtest.h>

#include <algorithm>

#include "lorvane/depparse.hpp"
#include "lorvane/pipeline.hpp"
#include "lorvane/processors.hpp"
#include "pipeline/pipeline_test_support.hpp"
#include "pipeline/stage_factory.hpp"

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

TEST(DepparsePipeline, ParsesTheTaggedWordsSinglyAndInBulk) {
  const Pipeline tagging("en", {"tokenize", "pos"}, "default", models_dir(), "1.10.0", false, {});
  const std::filesystem::path bundle = models_dir() / "1.10.0" / "en" / "depparse" / "default";
  const std::shared_ptr<Processor> stage = detail::make_loaded_processor("depparse", bundle, false, {});
  ASSERT_TRUE(stage->implemented());
  const DepparsePlan plan(bundle, false);
  const std::vector<std::string> texts = {"Hello, world. This is a test!", "", "Pi is 3.14, not 1,000."};
  const std::vector<Document> bulk = stage->process_bulk(tagging.process_bulk(texts));
  ASSERT_EQ(bulk.size(), texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    SCOPED_TRACE(texts[i]);
    const std::string expected = parses_of(plan.process(tagging.process(texts[i])));
    EXPECT_EQ(parses_of(stage->process(tagging.process(texts[i]))), expected);
    EXPECT_EQ(parses_of(bulk[i]), expected);
    EXPECT_EQ(expected.find("-1:"), std::string::npos);
  }
}

}  // namespace
}  // namespace lorvane
