// Parsing with a transformer: compiled test packages in generated
// constituency bundles, word vectors, transitions and trees against the eager
// reference run with the compiled package, and the transformer's load
// and width failures.

#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <c10/core/InferenceMode.h>
#include <gtest/gtest.h>

#include "bundle/bundle_test_util.hpp"
#include "bundle/json.hpp"
#include "encoders/transformer_test_support.hpp"
#include "lorvane/constituency.hpp"
#include "models/constituency/parsing.hpp"
#include "models/constituency/reference_bounds.hpp"

namespace lorvane {
namespace {

using detail::JsonValue;
using Strings = std::vector<std::string>;

const std::vector<testing::ModelTransformerCase> kCases = {
    {"boundaries_wordpiece_windows", R"("seed": 21, "scale": 1.0)", "contextual",
     R"("tokenizer": "WordPiece", "model_max_length": 12)", ""},
    {"no_boundaries_unigram_charlm",
     R"("seed": 22, "scale": 1.0, "config": {"sentence_boundary_vectors": "NONE"}, "charlm": ["forward"])",
     "context_free", R"("tokenizer": "XLMRobertaUnigram")", ""},
    {"bpe_no_tags", R"("seed": 23, "scale": 1.5, "config": {"tag_embedding_dim": 0})", "contextual",
     R"("tokenizer": "ByteBPE")", ""},
    {"no_assets", R"("assets_ops": [{"delete": "transformer"}])", "context_free", "",
     "load ConstituencyModelError: missing JSON key 'transformer' at assets"},
    {"mistyped_assets", "", "context_free", R"("ops": [{"set": "hidden_size", "value": "13"}])",
     "load ConstituencyModelError: expected JSON integer at assets.transformer.hidden_size"},
    {"no_package", "", "context_free", R"("ops": [{"set": "artifact", "value": "absent.pt2"}])",
     "load TransformerError: AOTInductor transformer model does not exist: {dir}/absent.pt2"},
    {"declared_width", "", "contextual", R"("hidden_size": 25)",
     "parse TransformerError: AOTInductor transformer output hidden size disagrees with assets"},
    // The word LSTM's input width is compared at load.
    {"word_lstm_width", "", "contextual", R"("width": 23)",
     "load ConstituencyModelError: tensor does not fit the model in bundle {dir}: expected float32 [28, 42], got "
     "float32 [28, 41]: 'word_lstm.weight_ih_l0'"},
};

// A word the unigram tokenizer deletes (no subword: run as the unknown id), a
// blank inside a word, and a sentence longer than one window of 12.
const std::vector<std::pair<Strings, Strings>> kSentences = {
    {{"the", "dog", "runs"}, {"DET", "NOUN", "VERB"}},
    {{"Paris"}, {"PROPN"}},
    {{"New York", "\u200b", "runs", "."}, {"PROPN", "SYM", "VERB", "PUNCT"}},
    {{"the", "naive", "dog", "sat", "on", "the", "mat", "in", "Paris", "and", "the", "cat", "was", "running", "in",
      "New York"},
     Strings(16, "NOUN")},
};

TEST(ConstituencyTransformer, VectorsTreesAndFailures) {
  // One intra-op thread, as the reference runs: the compiled package then
  // gives both sides the same rows bit for bit (its kernels split their sums
  // by the thread count), and the model math after it compares as tightly as
  // in the models without a transformer.
  at::set_num_threads(1);
  const testing::TempDir dir;
  testing::write_model_transformer_bundles("constituency_bundle.py", dir.path(), kCases);

  // The reference takes each sentence's subword encoding from the plan's own
  // tokenizer and runs the compiled package over it.
  std::string reference_jobs;
  for (const testing::ModelTransformerCase& c : kCases) {
    if (!c.failure.empty()) continue;
    const auto impl = detail::load_constituency_plan(dir / c.name, false);
    std::string input;
    for (const auto& [words, tags] : kSentences) {
      const WordPieceEncoding encoding = impl->transformer->tokenize(words, true);
      input += (input.empty() ? "[" : ",") + (R"({"words": )" + testing::json_strings(words) + R"(, "tags": )" +
                                               testing::json_strings(tags) + R"(, "transformer": )" +
                                               testing::json_encoding(encoding) + "}");
    }
    testing::write_file(dir / (c.name + ".in.json"), input + "]");
    reference_jobs += (reference_jobs.empty() ? "[" : ",") + std::string(R"({"bundle": )") +
                      testing::json_quote((dir / c.name).string()) + R"(, "input": )" +
                      testing::json_quote((dir / (c.name + ".in.json")).string()) + R"(, "output": )" +
                      testing::json_quote((dir / (c.name + ".out.json")).string()) +
                      R"(, "transformer": {"packages_dir": )" +
                      testing::json_quote(testing::transformer_packages_dir().string()) + R"(, "package": ")" +
                      c.package + "\"}}";
  }
  testing::write_file(dir / "reference.json", reference_jobs + "]");
  testing::run_python({(testing::source_dir() / "tests/reference/constituency_reference.py").string(), "--jobs",
                       (dir / "reference.json").string()});

  std::size_t parsed = 0, skipped = 0;
  for (const testing::ModelTransformerCase& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::filesystem::path bundle = dir / c.name;
    if (!c.failure.empty()) {
      EXPECT_EQ((testing::model_transformer_failure<ConstituencyPlan, ConstituencyModelError>(
                    bundle, "ConstituencyModelError", "parse", [&](const ConstituencyPlan& plan) {
                      plan.parse(kSentences[0].first, kSentences[0].second);
                    })),
                testing::with_dir(c.failure, bundle));
      continue;
    }
    const auto impl = detail::load_constituency_plan(bundle, false);
    const JsonValue expected = detail::load_json(dir / (c.name + ".out.json"));
    std::vector<detail::constituency::SentenceRef> refs;
    for (const auto& [words, tags] : kSentences) refs.push_back({&words, &tags});
    const std::vector<detail::constituency::ParseOutcome> outcomes =
        detail::constituency::parse_sentences(*impl, refs, true);
    for (std::size_t i = 0; i < kSentences.size(); ++i) {
      SCOPED_TRACE(i);
      const JsonValue& want = expected.as_array("")[i];
      ASSERT_TRUE(want.at("error", "").is_null()) << want.at("error", "").as_string("");
      ASSERT_FALSE(outcomes[i].error);
      if (testing::constituency_too_close_to_call(want)) {
        ++skipped;
      } else {
        std::vector<std::int64_t> transitions;
        for (const JsonValue& t : want.at("transitions", "").as_array("")) transitions.push_back(t.as_integer(""));
        EXPECT_EQ(outcomes[i].transitions, transitions);
        EXPECT_EQ(outcomes[i].tree->to_string(), want.at("tree", "").as_string(""));
      }

      c10::InferenceMode guard;
      const at::Tensor vectors = at::stack(impl->encode_words(kSentences[i].first, kSentences[i].second));
      std::vector<double> actual, wanted;
      const at::Tensor flat = vectors.to(at::kDouble).contiguous().view(-1);
      actual.assign(flat.data_ptr<double>(), flat.data_ptr<double>() + flat.numel());
      for (const JsonValue& row : want.at("vectors", "").as_array("")) {
        for (const JsonValue& x : row.as_array("")) wanted.push_back(x.as_number(""));
      }
      EXPECT_TRUE(testing::all_close(actual, wanted, testing::constituency_vectors_tolerance(want)));
    }
    parsed += kSentences.size();
  }
  EXPECT_LE(10 * skipped, parsed);
}

}  // namespace
}  // namespace lorvane
