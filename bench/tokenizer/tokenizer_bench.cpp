// Throughput of the tokenizer's entry points (characters per second of
// process and process_bulk) on generated English-like prose, with a bundle of
// realistic size (hidden 64, embedding 32), against the eager PyTorch
// reference tokenizer on the same bundle and text, timed in the same run.
// Also reports where the time of process goes (paragraph splitting, feature
// rows, network, address pass, document building) and the effect of one or
// two libtorch intra-op threads.
//
//   tokenizer_bench [python] [--chars N] [--repeat R]
//
// The python defaults to $LORVANE_TEST_PYTHON, else the configured one.

#include <ATen/Parallel.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bundle/json.hpp"
#include "lorvane/document.hpp"
#include "lorvane/tokenizer.hpp"
#include "models/tokenizer/network.hpp"
#include "models/tokenizer/plan_impl.hpp"
#include "models/tokenizer/text/units.hpp"
#include "support/bench_support.hpp"
#include "tokenizer/prose.hpp"

namespace {

namespace fs = std::filesystem;
using lorvane::Document;
using lorvane::TokenizerPlan;
using lorvane::detail::TokenizerParagraph;
using lorvane::bench::best_seconds;
using lorvane::bench::run_python;
using lorvane::bench::generate_text;

struct Breakdown {
  double split = 0, features = 0, network = 0, address = 0, build = 0;
};

// Each stage of process timed on its own; the network is what predicting
// costs beyond its feature rows and address pass.
Breakdown breakdown(const TokenizerPlan& plan, const std::string& text, int repeat) {
  const TokenizerPlan::Impl& impl = plan.impl();
  const Document document(text);
  Breakdown b;
  std::vector<TokenizerParagraph> paragraphs;
  b.split = best_seconds(repeat, [&] {
    paragraphs = lorvane::detail::split_paragraphs(text.data(), text.size(), impl.skip_newline);
  });
  b.features = best_seconds(repeat, [&] {
    for (const auto& p : paragraphs) impl.compute_features(p);
  });
  std::vector<std::vector<std::int64_t>> labels;
  const double predict = best_seconds(repeat, [&] {
    labels.clear();
    for (const auto& p : paragraphs) labels.push_back(impl.predict_paragraph(p));
  });
  b.address = best_seconds(repeat, [&] {
    for (std::size_t i = 0; i < paragraphs.size(); ++i) {
      std::vector<std::int64_t> copy = labels[i];
      lorvane::detail::join_email_and_url_spans(paragraphs[i], copy);
    }
  });
  b.network = predict - b.features - b.address;
  b.build = best_seconds(repeat, [&] { impl.build_document(document, paragraphs, labels); });
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  std::string python = lorvane::bench::default_python();
  std::size_t chars = 60000;
  int repeat = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--chars" && i + 1 < argc) {
      chars = std::stoul(argv[++i]);
    } else if (arg == "--repeat" && i + 1 < argc) {
      repeat = std::stoi(argv[++i]);
    } else {
      python = arg;
    }
  }

  const fs::path source = lorvane::bench::source_dir();
  try {
    const lorvane::bench::TempDir dir("lorvane-tokenizer-bench");
    const fs::path bundle = dir / "bundle";
    run_python(python, {(source / "tests/fixtures/tokenizer_bundle.py").string(), bundle.string(), "--options",
                        R"({"seed": 11, "scale": 0.5, "config": {"emb_dim": 32, "hidden_dim": 64}})"});
    const std::string text = generate_text(chars);
    const fs::path text_file = dir / "text.txt";
    std::ofstream(text_file, std::ios::binary) << text;

    const TokenizerPlan plan(bundle, false);
    const Document document(text);
    const auto code_points = static_cast<double>(document.codepoint_count());
    std::printf("text: %.0f characters, %zu paragraphs; bundle: E=32 H=64 F=5, batch size %lld\n", code_points,
                lorvane::detail::split_paragraphs(text.data(), text.size(), false).size(),
                static_cast<long long>(plan.impl().batch_size));

    for (const int threads : {1, 2}) {
      at::set_num_threads(threads);
      // One thread: the thread's CPU time, as the reference measures it.
      const auto time = [&](auto&& fn) {
        return threads == 1 ? lorvane::bench::best_thread_cpu_seconds(repeat, fn) : best_seconds(repeat, fn);
      };
      const double single = time([&] { return plan.process(document); });
      const double bulk = time([&] { return plan.process_bulk({document}); });
      const std::string reference =
          run_python(python, {(source / "bench/tokenizer/tokenizer_timing.py").string(), bundle.string(),
                              text_file.string(), "--threads", std::to_string(threads), "--repeat",
                              std::to_string(repeat)});
      const lorvane::detail::JsonValue timings = lorvane::detail::parse_json(reference);
      const double ref_single = timings.at("single_seconds", "reference").as_number("");
      const double ref_bulk = timings.at("bulk_seconds", "reference").as_number("");
      std::printf("\n%d intra-op thread%s\n", threads, threads == 1 ? "" : "s");
      std::printf("  process:      %10.0f chars/s   reference %9.0f chars/s   ratio %5.1fx\n", code_points / single,
                  code_points / ref_single, ref_single / single);
      std::printf("  process_bulk: %10.0f chars/s   reference %9.0f chars/s   ratio %5.1fx\n", code_points / bulk,
                  code_points / ref_bulk, ref_bulk / bulk);
      std::printf("  process_bulk vs process: %.2fx\n", single / bulk);
      if (threads == 1) {
        const Breakdown b = breakdown(plan, text, repeat);
        const double total = b.split + b.features + b.network + b.address + b.build;
        std::printf("  breakdown of process (shares of the summed stages):\n");
        const auto share = [&](const char* name, double seconds) {
          std::printf("    %-18s %5.1f%%  (%.1f ms)\n", name, 100.0 * seconds / total, seconds * 1e3);
        };
        share("paragraphs", b.split);
        share("feature rows", b.features);
        share("network", b.network);
        share("address pass", b.address);
        share("document building", b.build);
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tokenizer_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
