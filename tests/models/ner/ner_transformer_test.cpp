// Tagging with a transformer: compiled test packages in generated ner bundles,
// the input rows, scores and tags against the eager reference run with the
// compiled package, and the transformer's load and width failures.

#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <c10/core/InferenceMode.h>
#include <gtest/gtest.h>

#include "bundle/bundle_test_util.hpp"
#include "bundle/json.hpp"
#include "encoders/transformer_test_support.hpp"
#include "lorvane/ner.hpp"
#include "models/ner/ner_reference_check.hpp"
#include "models/ner/plan_impl.hpp"

namespace lorvane {
namespace {

using detail::JsonValue;
using Strings = std::vector<std::string>;

const std::vector<testing::ModelTransformerCase> kCases = {
    {"wordpiece_windows", R"("seed": 11, "config": {"input_transform": true})", "contextual",
     R"("tokenizer": "WordPiece", "model_max_length": 12)", ""},
    {"bpe_charlm", R"("seed": 12, "config": {"charlm": true})", "contextual", R"("tokenizer": "ByteBPE")", ""},
    {"unigram", R"("seed": 13, "config": {"num_layers": 2})", "context_free", R"("tokenizer": "XLMRobertaUnigram")",
     ""},
    {"no_assets", R"("assets_ops": [{"delete": "transformer"}])", "context_free", "",
     "load NERModelError: missing JSON key 'transformer' at assets"},
    {"no_tokenizer", "", "context_free", R"("ops": [{"delete": "tokenizer"}])",
     "load NERModelError: missing JSON key 'tokenizer' at assets.transformer"},
    {"no_package", "", "context_free", R"("ops": [{"set": "artifact", "value": "absent.pt2"}])",
     "load TransformerError: AOTInductor transformer model does not exist: {dir}/absent.pt2"},
    {"tagger_width", "", "contextual", R"("width": 23)",
     "load NERModelError: NER tagger input size disagrees with its embedding profile"},
    {"declared_width", "", "contextual", R"("hidden_size": 25)",
     "tag TransformerError: AOTInductor transformer output hidden size disagrees with assets"},
};

// A word the unigram tokenizer deletes (no subword: run as the unknown id), a
// blank inside a token, and a sentence longer than one window of 12.
const std::vector<Strings> kSentences = {
    {"John", "lives", "in", "New York", "."},
    {"Paris"},
    {"the", "cat", "\u200b", "sat", "on", "the", "mat"},
    {"unbelievable", "dogs", "running", "in", "Paris", "sat", "on", "the", "naive", "mat", "and", "played", "with",
     "the", "cat", "."},
};

TEST(NERTransformer, RowsTagsAndFailures) {
  // One intra-op thread, as the reference runs: the compiled package then
  // gives both sides the same rows bit for bit (its kernels split their sums
  // by the thread count), and the model math after it compares as tightly as
  // in the models without a transformer.
  at::set_num_threads(1);
  const testing::TempDir dir;
  testing::write_model_transformer_bundles("ner_bundle.py", dir.path(), kCases);

  // The reference takes each sentence's subword encoding from the plan's own
  // tokenizer and runs the compiled package over it.
  std::string bundles, sentences;
  for (const testing::ModelTransformerCase& c : kCases) {
    if (!c.failure.empty()) continue;
    const NERPlan::Impl plan(dir / c.name, false);
    std::string encodings;
    for (const Strings& tokens : kSentences) {
      const WordPieceEncoding encoding = plan.transformer->tokenize(tokens, true);
      encodings += (encodings.empty() ? "[" : ",") + testing::json_encoding(encoding);
    }
    bundles += (bundles.empty() ? "" : ",") + std::string(R"({"dir": )") + testing::json_quote((dir / c.name).string()) +
               R"(, "packages_dir": )" + testing::json_quote(testing::transformer_packages_dir().string()) +
               R"(, "package": ")" + c.package + R"(", "encodings": )" + encodings + "]}";
  }
  for (const Strings& tokens : kSentences) {
    std::string list;
    for (const std::string& token : tokens) list += (list.empty() ? "" : ",") + testing::json_quote(token);
    sentences += (sentences.empty() ? "[" : ",[") + list + "]";
  }
  testing::write_file(dir / "reference.json", R"({"bundles": [)" + bundles + R"(], "sentences": [)" + sentences + "]}");
  const JsonValue reference = detail::parse_json(testing::run_python(
      {(testing::source_dir() / "tests/reference/ner_reference.py").string(), (dir / "reference.json").string()}));

  std::size_t compared = 0;
  std::size_t decided = 0;  // sentences whose tags were compared
  for (const testing::ModelTransformerCase& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::filesystem::path bundle = dir / c.name;
    if (!c.failure.empty()) {
      EXPECT_EQ((testing::model_transformer_failure<NERPlan, NERModelError>(
                    bundle, "NERModelError", "tag", [&](const NERPlan& plan) { plan.tag(kSentences[0]); })),
                testing::with_dir(c.failure, bundle));
      continue;
    }
    const NERPlan::Impl plan(bundle, false);
    const std::vector<Strings> batched = plan.tag_many(kSentences);
    const JsonValue& results = reference.as_array("")[compared++];
    for (std::size_t s = 0; s < kSentences.size(); ++s) {
      SCOPED_TRACE(s);
      decided += testing::expect_reference_sentence(plan, kSentences[s], results.as_array("")[s], batched[s]);
    }
  }
  EXPECT_GE(10 * decided, 9 * compared * kSentences.size());
}

}  // namespace
}  // namespace lorvane
