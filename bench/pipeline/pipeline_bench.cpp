// What the pipeline adds on top of its stages, each as a ratio measured in
// one run:
//
//  1. An empty pipeline on a text against building the document directly.
//  2. A one-stage pipeline whose stage does almost nothing (language
//     identification with a constant model) against calling the plan and
//     setting the language directly: the per-document cost of the pipeline
//     and processor layers.
//  3. A one-stage "tokenize" pipeline against TokenizerPlan::process /
//     process_bulk directly, on the demo bundle: the same overhead next to
//     real work.
//
// Each in single (process) and bulk (process_bulk of 64 documents) form.
//
//   pipeline_bench [python]
//
// The python defaults to $LORVANE_TEST_PYTHON, else the configured one; it
// writes the bundles with tests/pipeline/write_fixtures.py.

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <ATen/Parallel.h>

#include "lorvane/bundle.hpp"
#include "lorvane/langid.hpp"
#include "lorvane/pipeline.hpp"
#include "lorvane/tokenizer.hpp"
#include "models/langid/model.hpp"
#include "pipeline/processor_access.hpp"
#include "pipeline/stage_factory.hpp"
#include "support/bench_support.hpp"

namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

constexpr int kBatch = 64;

// Seconds per call of fn: the best of five rounds of `calls` calls each, so
// that calls much shorter than the clock's resolution still time well.
template <class Fn>
double seconds_per_call(int calls, Fn&& fn) {
  return lorvane::bench::best_seconds(5, [&] {
           for (int i = 0; i < calls; ++i) fn();
         }) /
         calls;
}

std::vector<lorvane::Document> documents_of(const Strings& texts) {
  std::vector<lorvane::Document> documents;
  documents.reserve(texts.size());
  for (const std::string& text : texts) documents.emplace_back(text);
  return documents;
}

class ConstantLangID final : public lorvane::detail::LangIDModel {
 public:
  Strings identify_batch(const Strings& texts, const Strings&) const override {
    return Strings(texts.size(), "en");
  }
};

class ConstantLangIDFactory final : public lorvane::detail::StageFactory {
 public:
  explicit ConstantLangIDFactory(std::shared_ptr<const lorvane::LangIDPlan> plan) : plan_(std::move(plan)) {}
  std::shared_ptr<lorvane::Processor> make_loaded(const std::string&, fs::path, bool,
                                                  const Strings& subset) const override {
    return lorvane::detail::ProcessorAccess::langid_with_plan(plan_, subset);
  }

 private:
  std::shared_ptr<const lorvane::LangIDPlan> plan_;
};

std::string sample_text(int index) {
  static const Strings words = {"the", "model", "reads", "text,", "splits", "it", "into", "tokens",
                                "and", "sentences.", "Numbers", "like", "3.14", "stay", "whole!"};
  std::mt19937 rng(static_cast<unsigned>(index));
  std::string text;
  const int count = 20 + static_cast<int>(rng() % 40);
  for (int i = 0; i < count; ++i) {
    if (!text.empty()) text += ' ';
    text += words[rng() % words.size()];
  }
  return text + ".";
}

void report(const char* what, double ours, const char* baseline_name, double baseline) {
  std::printf("%-44s %9.2f us/doc   %-26s %9.2f us/doc   ratio %.3f\n", what, ours * 1e6, baseline_name,
              baseline * 1e6, ours / baseline);
}

Strings batch_texts() {
  Strings texts;
  for (int i = 0; i < kBatch; ++i) texts.push_back(sample_text(i));
  return texts;
}

void bench_empty_pipeline() {
  const lorvane::Pipeline pipeline("en", {}, "default", std::nullopt, "1.10.0", false, {});
  const std::string text = sample_text(0);
  const double ours = seconds_per_call(20000, [&] { pipeline.process(text); });
  const double direct = seconds_per_call(20000, [&] { lorvane::Document doc(text); });
  report("empty pipeline, single", ours, "Document(text)", direct);

  const Strings texts = batch_texts();
  const double bulk = seconds_per_call(500, [&] { pipeline.process_bulk(texts); }) / kBatch;
  const double bulk_direct = seconds_per_call(500, [&] { documents_of(texts); }) / kBatch;
  report("empty pipeline, bulk of 64", bulk, "64 x Document(text)", bulk_direct);
}

void bench_constant_stage(const fs::path& root) {
  const auto plan = std::make_shared<const lorvane::LangIDPlan>(
      lorvane::detail::make_langid_plan(root / "bundles" / "langid", false, std::make_shared<ConstantLangID>()));
  const ConstantLangIDFactory factory(plan);
  const lorvane::Pipeline pipeline = lorvane::detail::PipelineAccess::make(
      factory, "en", {"langid"}, "default", {}, false, root / "models", "1.10.0", false, {});
  const std::string text = sample_text(1);
  const Strings no_subset;
  const double ours = seconds_per_call(20000, [&] { pipeline.process(text); });
  const double direct = seconds_per_call(20000, [&] {
    lorvane::Document doc(text);
    doc.set_lang(plan->identify(doc.text(), no_subset));
  });
  report("one constant stage, single", ours, "plan.identify + set_lang", direct);

  const Strings texts = batch_texts();
  const double bulk = seconds_per_call(500, [&] { pipeline.process_bulk(texts); }) / kBatch;
  const double bulk_direct = seconds_per_call(500, [&] {
                               std::vector<lorvane::Document> docs = documents_of(texts);
                               const Strings langs = plan->identify_many(texts, no_subset);
                               for (std::size_t i = 0; i < docs.size(); ++i) docs[i].set_lang(langs[i]);
                             }) /
                             kBatch;
  report("one constant stage, bulk of 64", bulk, "plan.identify_many", bulk_direct);
}

void bench_tokenize(const fs::path& root) {
  const lorvane::Pipeline pipeline("en", {"tokenize"}, "default", root / "models", "1.10.0", false, {});
  const lorvane::TokenizerPlan plan(root / "models" / "1.10.0" / "en" / "tokenize" / "demo", false);
  const std::string text = sample_text(2);
  const double ours = seconds_per_call(100, [&] { pipeline.process(text); });
  const double direct = seconds_per_call(100, [&] { plan.process(lorvane::Document(text)); });
  report("tokenize pipeline, single", ours, "TokenizerPlan::process", direct);

  const Strings texts = batch_texts();
  const double bulk = seconds_per_call(10, [&] { pipeline.process_bulk(texts); }) / kBatch;
  const double bulk_direct = seconds_per_call(10, [&] { plan.process_bulk(documents_of(texts)); }) / kBatch;
  report("tokenize pipeline, bulk of 64", bulk, "TokenizerPlan::process_bulk", bulk_direct);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::string python = argc > 1 ? argv[1] : lorvane::bench::default_python();
    const lorvane::bench::TempDir fixtures("lorvane-pipeline-bench");
    const fs::path& root = fixtures.path();
    lorvane::bench::run_python(
        python, {(lorvane::bench::source_dir() / "tests" / "pipeline" / "write_fixtures.py").string(),
                 root.string()});
    // One intra-op thread: the inputs are tiny, and a shared machine's load
    // would otherwise swamp the overhead being measured.
    at::set_num_threads(1);
    std::printf("pipeline overhead per document (ratio = pipeline / baseline)\n");
    bench_empty_pipeline();
    bench_constant_stage(root);
    bench_tokenize(root);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pipeline_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
