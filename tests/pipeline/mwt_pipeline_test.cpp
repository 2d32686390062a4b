// "tokenize,mwt" end to end from a generated model directory: the demo
// tokenizer with its multi-word-token heads on marks every word token, and a
// dictionary-only expander expands the ones its dictionary knows.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lorvane/mwt.hpp"
#include "lorvane/pipeline.hpp"
#include "lorvane/tokenizer.hpp"
#include "pipeline/pipeline_test_support.hpp"

namespace lorvane {
namespace {

using Strings = std::vector<std::string>;

// "token[first-last]{misc}=word word" per token (the tokenizer's "MWT=Yes"
// is gone from every MISC), sentences joined by " | ".
std::string expanded_layout(const Document& doc) {
  std::string out;
  const SentenceSequence sentences = doc.sentences();
  for (std::uint64_t s = 0; s < sentences.size(); ++s) {
    if (s > 0) out += "| ";
    const TokenSequence tokens = sentences.at(static_cast<std::int64_t>(s)).tokens();
    for (std::uint64_t t = 0; t < tokens.size(); ++t) {
      const Token token = tokens.at(static_cast<std::int64_t>(t));
      const auto [first, last] = token.id_range();
      out += token.text() + "[" + std::to_string(first) + "-" + std::to_string(last) + "]";
      if (token.misc()) out += "{" + *token.misc() + "}";
      const WordSequence words = token.words();
      for (std::uint64_t w = 0; w < words.size(); ++w) {
        out += (w == 0 ? "=" : " ") + words.at(static_cast<std::int64_t>(w)).text();
      }
      out += " ";
    }
  }
  return out;
}

TEST(MWTPipeline, TokenizeThenExpandFromGeneratedBundles) {
  const Pipeline pipeline("fr", {"tokenize", "mwt"}, "default", testing::models_dir(), "1.10.0", false, {});
  const std::string text = "Je parle du livre au chat. Du pain, des amis!";
  const Document doc = pipeline.process(text);
  EXPECT_EQ(expanded_layout(doc),
            "Je[1-1]=Je parle[2-2]=parle du[3-4]=de le livre[5-5]=livre au[6-7]=\u00e0 le chat[8-8]=chat "
            ".[9-9]=. | Du[1-2]=De le pain[3-3]=pain ,[4-4]=, des[5-6]=de les amis[7-7]=amis ![8-8]=! ");
  EXPECT_EQ(doc.text(), text);
  EXPECT_EQ(doc.num_words(), 17u);

  // The stages one after the other give the same document; bulk agrees.
  const TokenizerPlan tokenizer(testing::models_dir() / "1.10.0" / "fr" / "tokenize" / "demo", false);
  const MWTPlan expander(testing::models_dir() / "1.10.0" / "fr" / "mwt" / "default", false);
  const Document tokenized = tokenizer.process(Document(text));
  EXPECT_EQ(tokenized.tokens().at(2).misc(), "MWT=Yes");  // the tokenizer's mark
  EXPECT_EQ(expander.process(tokenized).to_conll(), doc.to_conll());
  const std::vector<Document> bulk = pipeline.process_bulk(Strings{text, "Au revoir."});
  ASSERT_EQ(bulk.size(), 2u);
  EXPECT_EQ(bulk[0].to_conll(), doc.to_conll());
  EXPECT_EQ(expanded_layout(bulk[1]), "Au[1-2]=\u00c0 le revoir[3-3]=revoir .[4-4]=. ");
}

}  // namespace
}  // namespace lorvane
