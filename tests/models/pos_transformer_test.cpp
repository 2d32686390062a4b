// Tagging with a transformer: compiled test packages in generated pos bundles,
// the encoder rows and tags against the eager reference run with the
// compiled package, and the transformer's load and width failures.

#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <c10/core/InferenceMode.h>
#include <gtest/gtest.h>

#include "bundle/bundle_test_util.hpp"
#include "bundle/json.hpp"
#include "encoders/transformer_test_support.hpp"
#include "lorvane/pos.hpp"
#include "models/pos/plan_impl.hpp"
#include "models/pos_reference_bounds.hpp"

namespace lorvane {
namespace {

using detail::JsonValue;
using Strings = std::vector<std::string>;

const std::vector<testing::ModelTransformerCase> kCases = {
    {"wordpiece_windows", R"("seed": 31)", "contextual", R"("tokenizer": "WordPiece", "model_max_length": 12)", ""},
    {"bpe_charlm", R"("seed": 32, "config": {"charlm": true})", "contextual", R"("tokenizer": "ByteBPE")", ""},
    {"unigram_composite", R"("seed": 33, "composite": true, "config": {"num_layers": 1})", "context_free",
     R"("tokenizer": "XLMRobertaUnigram")", ""},
    {"no_assets", R"("assets_ops": [{"delete": "transformer"}])", "context_free", "",
     "load POSModelError: missing JSON key 'transformer' at assets"},
    {"no_tokenizer", "", "context_free", R"("ops": [{"delete": "tokenizer"}])",
     "load POSModelError: missing JSON key 'tokenizer' at assets.transformer"},
    {"no_package", "", "context_free", R"("ops": [{"set": "artifact", "value": "absent.pt2"}])",
     "load TransformerError: AOTInductor transformer model does not exist: {dir}/absent.pt2"},
    {"tagger_width", "", "contextual", R"("width": 23)",
     "load POSModelError: POS tagger input size disagrees with its embedding profile"},
    {"declared_width", "", "contextual", R"("hidden_size": 25)",
     "tag TransformerError: AOTInductor transformer output hidden size disagrees with assets"},
};

// Punctuation runs the word keys read as "?" but the transformer sees whole,
// a word the unigram tokenizer deletes (no subword: run as the unknown id), a
// blank inside a word, and a sentence longer than one window of 12.
const std::vector<Strings> kSentences = {
    {"The", "dog", "runs", "?!?"},
    {"new york", "\u200b", "K\u00f6ln"},
    {"a", "big", "dog", "sat", "on", "the", "naive", "mat", "and", "the", "cat", "was", "running", "in", "new york",
     "."},
};

TEST(POSTransformer, RowsTagsAndFailures) {
  // One intra-op thread, as the reference runs: the compiled package then
  // gives both sides the same rows bit for bit (its kernels split their sums
  // by the thread count), and the model math after it compares as tightly as
  // in the models without a transformer.
  at::set_num_threads(1);
  const testing::TempDir dir;
  testing::write_model_transformer_bundles("pos_bundle.py", dir.path(), kCases);

  // The reference takes each sentence's subword encoding from the plan's own
  // tokenizer and runs the compiled package over it.
  std::vector<std::string> cases;
  for (const testing::ModelTransformerCase& c : kCases) {
    if (!c.failure.empty()) continue;
    const POSPlan plan(dir / c.name, false);
    std::vector<std::string> sentences, encodings;
    for (const Strings& words : kSentences) {
      const WordPieceEncoding encoding = plan.impl().transformer->tokenize(words, true);
      sentences.push_back(testing::json_strings(words));
      encodings.push_back(testing::json_encoding(encoding));
    }
    cases.push_back(R"({"bundle": )" + testing::json_quote((dir / c.name).string()) + R"(, "sentences": )" +
                    testing::json_array(sentences) + R"(, "encodings": )" + testing::json_array(encodings) +
                    R"(, "transformer": {"packages_dir": )" +
                    testing::json_quote(testing::transformer_packages_dir().string()) + R"(, "package": ")" +
                    c.package + "\"}}");
  }
  testing::write_file(dir / "request.json", R"({"cases": )" + testing::json_array(cases) + "}");
  testing::run_python({(testing::source_dir() / "tests/reference/pos_reference.py").string(),
                       (dir / "request.json").string(), (dir / "result.json").string()});
  const JsonValue reference = detail::load_json(dir / "result.json");

  std::size_t compared = 0, decided = 0;
  for (const testing::ModelTransformerCase& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::filesystem::path bundle = dir / c.name;
    if (!c.failure.empty()) {
      EXPECT_EQ((testing::model_transformer_failure<POSPlan, POSModelError>(
                    bundle, "POSModelError", "tag", [&](const POSPlan& plan) { plan.tag(kSentences[0]); })),
                testing::with_dir(c.failure, bundle));
      continue;
    }
    const POSPlan plan(bundle, false);
    const POSPlan::Impl& impl = plan.impl();
    const JsonValue& expected = reference.at("cases", "").as_array("")[compared++];
    std::vector<at::Tensor> forward, backward;
    if (impl.use_charlm) {
      forward = impl.forward_charlm->encode_many(kSentences);
      backward = impl.backward_charlm->encode_many(kSentences);
    }
    c10::InferenceMode guard;
    const std::vector<at::Tensor> batched = impl.encode_many(kSentences, forward, backward);
    for (std::size_t s = 0; s < kSentences.size(); ++s) {
      SCOPED_TRACE(s);
      Strings tags, wanted_tags;
      for (const POSTag& tag : plan.tag(kSentences[s])) tags.push_back(tag.upos + " " + tag.xpos + " " + tag.feats);
      for (const JsonValue& tag : expected.at("tags", "").as_array("")[s].as_array("")) {
        const auto& fields = tag.as_array("");
        wanted_tags.push_back(fields[0].as_string("") + " " + fields[1].as_string("") + " " + fields[2].as_string(""));
      }
      if (!testing::pos_too_close_to_call(expected, s)) {
        EXPECT_EQ(tags, wanted_tags);
        ++decided;
      }
      std::vector<double> wanted;
      for (const JsonValue& row : expected.at("encoded", "").as_array("")[s].as_array("")) {
        for (const JsonValue& x : row.as_array("")) wanted.push_back(x.as_number(""));
      }
      for (const at::Tensor& rows : {impl.encode(kSentences[s], nullptr, nullptr), batched[s]}) {
        const at::Tensor flat = rows.to(at::kDouble).contiguous().view(-1);
        EXPECT_TRUE(testing::all_close({flat.data_ptr<double>(), flat.data_ptr<double>() + flat.numel()}, wanted,
                                       testing::pos_encoded_tolerance(expected, s)));
      }
    }
  }
  EXPECT_GE(10 * decided, 9 * compared * kSentences.size());
}

}  // namespace
}  // namespace lorvane
