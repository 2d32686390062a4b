// Tagging with a transformer: compiled test packages in generated pos bundles,
// the encoder rows and tags against the eager reference run with the
// package's eager module, and the transformer's load and width failures.

#include <ATen/ATen.h>
#include <c10/core/InferenceMode.h>
#include <gtest/gtest.h>

#include "bundle/bundle_test_util.hpp"
#include "bundle/json.hpp"
#include "encoders/transformer_test_support.hpp"
#include "lorvane/pos.hpp"
#include "models/pos/plan_impl.hpp"

namespace lorvane {
namespace {

using detail::JsonValue;
using Strings = std::vector<std::string>;

struct TransformerCase {
  std::string name;
  std::string options;      // pos_bundle.py options besides "transformer", as JSON members
  std::string package;      // the compiled test package
  std::string transformer;  // further model_transformer options, as JSON members
  // "" to compare with the reference; else "load " or "tag " (where it fails),
  // the error type and the message, "{dir}" standing for the bundle path.
  std::string failure;
};

const std::vector<TransformerCase> kCases = {
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

std::string failure_of(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const POSModelError& e) {
    return std::string("POSModelError: ") + e.what();
  } catch (const TransformerError& e) {
    return std::string("TransformerError: ") + e.what();
  } catch (const std::exception& e) {
    return std::string("other: ") + e.what();
  }
  return "";
}

std::string json_list(const Strings& items) {
  std::string out = "[";
  for (const std::string& item : items) out += (out.size() > 1 ? "," : "") + testing::json_quote(item);
  return out + "]";
}

std::string ints(const std::vector<std::int64_t>& values) {
  std::string out = "[";
  for (const std::int64_t v : values) out += (out.size() > 1 ? "," : "") + std::to_string(v);
  return out + "]";
}

TEST(POSTransformer, RowsTagsAndFailures) {
  const testing::TempDir dir;
  std::vector<std::string> jobs;
  for (const TransformerCase& c : kCases) {
    jobs.push_back(R"({"out_dir": )" + testing::json_quote((dir / c.name).string()) + R"(, "options": {)" + c.options +
                   (c.options.empty() ? "" : ", ") + R"("transformer": {"packages_dir": )" +
                   testing::json_quote(testing::transformer_packages_dir().string()) + R"(, "package": ")" +
                   c.package + "\"" + (c.transformer.empty() ? "" : ", " + c.transformer) + "}}}");
  }
  testing::write_file(dir / "jobs.json", testing::json_array(jobs));
  testing::run_python(
      {(testing::source_dir() / "tests/fixtures/pos_bundle.py").string(), "--batch", (dir / "jobs.json").string()});

  // The reference takes each sentence's subword encoding from the plan's own
  // tokenizer and runs the package's eager module over it.
  std::vector<std::string> cases;
  for (const TransformerCase& c : kCases) {
    if (!c.failure.empty()) continue;
    const POSPlan plan(dir / c.name, false);
    std::vector<std::string> sentences, encodings;
    for (const Strings& words : kSentences) {
      const WordPieceEncoding encoding = plan.impl().transformer->tokenize(words, true);
      sentences.push_back(json_list(words));
      encodings.push_back("[" + ints(encoding.input_ids) + "," + ints(encoding.word_ids) + "]");
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

  std::size_t compared = 0;
  for (const TransformerCase& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::filesystem::path bundle = dir / c.name;
    if (!c.failure.empty()) {
      std::unique_ptr<POSPlan> plan;
      const std::string load = failure_of([&] { plan = std::make_unique<POSPlan>(bundle, false); });
      const std::string failure = load.empty() ? "tag " + failure_of([&] { plan->tag(kSentences[0]); }) : "load " + load;
      EXPECT_EQ(failure, testing::with_dir(c.failure, bundle));
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
      EXPECT_EQ(tags, wanted_tags);
      std::vector<double> wanted;
      for (const JsonValue& row : expected.at("encoded", "").as_array("")[s].as_array("")) {
        for (const JsonValue& x : row.as_array("")) wanted.push_back(x.as_number(""));
      }
      for (const at::Tensor& rows : {impl.encode(kSentences[s], nullptr, nullptr), batched[s]}) {
        const at::Tensor flat = rows.to(at::kDouble).contiguous().view(-1);
        EXPECT_TRUE(testing::all_close({flat.data_ptr<double>(), flat.data_ptr<double>() + flat.numel()}, wanted,
                                       1e-5, 1e-5));
      }
    }
  }
}

}  // namespace
}  // namespace lorvane
