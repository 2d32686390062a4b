// Sentences per second of SentimentPlan::classify_many (budget 5000, as the
// document operations use) against the eager PyTorch reference on the same
// bundle and sentences, with one and two libtorch intra-op threads; and the
// peak memory of the most padded batch the token budget allows (one sentence
// of half the budget followed by one-token sentences filling the rest)
// against a batch of the same tokens in sentences of equal length, for the
// engine and the reference.
//
//   sentiment_bench [python] [--sentences N] [--repeat R]
//
// Two bundles: "cnn" (embedding 100, full-width filters 3, 4, 5 with 100
// channels each, fc [100]) and "bilstm" (the same after a BiLSTM of 100 per
// direction). Vocabulary of 5000 words.

#include <ATen/Parallel.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <random>
#include <string>
#include <vector>

#include "bundle/json.hpp"
#include "lorvane/sentiment.hpp"
#include "support/bench_support.hpp"

namespace {

namespace fs = std::filesystem;
using lorvane::SentimentPlan;
using lorvane::bench::best_seconds;
using lorvane::bench::run_python;
using Sentences = std::vector<std::vector<std::string>>;

constexpr std::uint64_t kBudget = 5000;
constexpr int kVocabulary = 5000;

std::string word(std::mt19937& rng) {
  // One word in twenty is unknown.
  const auto n = static_cast<int>(rng() % (kVocabulary + kVocabulary / 20));
  return n < kVocabulary ? "w" + std::to_string(n) : "u" + std::to_string(n);
}

Sentences random_sentences(std::size_t count) {
  std::mt19937 rng(2024);
  Sentences sentences(count);
  for (auto& tokens : sentences) {
    tokens.resize(3 + rng() % 38);
    for (std::string& token : tokens) token = word(rng);
  }
  return sentences;
}

// One sentence of budget / 2 tokens and budget / 2 sentences of one token:
// a single batch padded to budget / 2 positions per row.
Sentences padded_worst_case(std::uint64_t budget) {
  std::mt19937 rng(7);
  Sentences sentences(1 + budget / 2);
  sentences[0].resize(budget / 2);
  for (auto& tokens : sentences) {
    if (tokens.empty()) tokens.resize(1);
    for (std::string& token : tokens) token = word(rng);
  }
  return sentences;
}

// The same number of tokens in sentences of 50.
Sentences even_case(std::uint64_t budget) {
  std::mt19937 rng(8);
  Sentences sentences(budget / 50, std::vector<std::string>(50));
  for (auto& tokens : sentences) {
    for (std::string& token : tokens) token = word(rng);
  }
  return sentences;
}

std::string json_list(const Sentences& sentences) {
  std::string out = "[";
  for (const auto& tokens : sentences) {
    out += out.size() > 1 ? ",[" : "[";
    for (std::size_t i = 0; i < tokens.size(); ++i) out += (i ? ",\"" : "\"") + tokens[i] + "\"";
    out += "]";
  }
  return out + "]";
}

void write_text(const fs::path& path, const std::string& text) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr || std::fwrite(text.data(), 1, text.size(), file) != text.size()) {
    throw std::runtime_error("cannot write " + path.string());
  }
  std::fclose(file);
}

long peak_kb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Child mode: classify once and print the peak memory above what loading took.
int memory_child(const std::string& bundle, const std::string& sentences_file, std::uint64_t budget) {
  const SentimentPlan plan(bundle, false);
  std::FILE* file = std::fopen(sentences_file.c_str(), "rb");
  std::string text;
  for (int c; (c = std::fgetc(file)) != EOF;) text.push_back(static_cast<char>(c));
  std::fclose(file);
  Sentences sentences;
  const lorvane::detail::JsonValue root = lorvane::detail::parse_json(text);
  for (const auto& tokens : root.as_array("")) {
    auto& list = sentences.emplace_back();
    for (const auto& token : tokens.as_array("")) list.push_back(token.as_string(""));
  }
  at::set_num_threads(1);
  const long loaded = peak_kb();
  plan.classify_many(sentences, budget);
  std::printf("%ld\n", peak_kb() - loaded);
  return 0;
}

double number(const lorvane::detail::JsonValue& result, const char* key) {
  return result.at(key, "").as_number("");
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc == 5 && std::string(argv[1]) == "--memory-child") {
      return memory_child(argv[2], argv[3], std::stoull(argv[4]));
    }
    std::string python = lorvane::bench::default_python();
    std::size_t count = 2000;
    int repeat = 3;
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      if (arg == "--sentences" && i + 1 < argc) {
        count = std::stoul(argv[++i]);
      } else if (arg == "--repeat" && i + 1 < argc) {
        repeat = std::stoi(argv[++i]);
      } else {
        python = arg;
      }
    }
    const fs::path source = lorvane::bench::source_dir();
    const lorvane::bench::TempDir scratch("sentiment-bench");
    std::string words = "[";
    for (int i = 0; i < kVocabulary; ++i) words += (i ? ",\"w" : "\"w") + std::to_string(i) + "\"";
    words += "]";
    const std::string common = R"("words": )" + words +
                               R"(, "dims": {"embedding": 100}, "channels": [100, 100, 100], "scale": 0.1)";
    const std::string jobs =
        R"([{"out_dir": ")" + (scratch / "cnn").string() + R"(", "options": {)" + common +
        R"(, "config": {"filter_sizes": [3, 4, 5], "maxpool_width": 1, "fc_shapes": [100]}}},)"
        R"({"out_dir": ")" + (scratch / "bilstm").string() + R"(", "options": {)" + common +
        R"(, "config": {"bilstm": true, "bilstm_hidden_dim": 100, "filter_sizes": [3, 4, 5], "maxpool_width": 1,)"
        R"( "fc_shapes": [100]}}}])";
    write_text(scratch / "jobs.json", jobs);
    run_python(python, {(source / "tests/fixtures/sentiment_bundle.py").string(), "--batch",
                        (scratch / "jobs.json").string()});
    const std::string timing = (source / "bench/models/sentiment_timing.py").string();

    const Sentences sentences = random_sentences(count);
    std::size_t tokens = 0;
    for (const auto& s : sentences) tokens += s.size();
    write_text(scratch / "sentences.json", json_list(sentences));
    std::printf("%zu sentences, %zu tokens, budget %llu\n", count, tokens,
                static_cast<unsigned long long>(kBudget));
    for (const std::string model : {"cnn", "bilstm"}) {
      const fs::path bundle = scratch / model;
      const SentimentPlan plan(bundle, false);
      for (const int threads : {1, 2}) {
        at::set_num_threads(threads);
        const double ours = best_seconds(repeat, [&] { return plan.classify_many(sentences, kBudget); });
        const auto reference = lorvane::detail::parse_json(
            run_python(python, {timing, bundle.string(), (scratch / "sentences.json").string(),
                                std::to_string(kBudget), "--threads", std::to_string(threads), "--repeat",
                                std::to_string(repeat)}));
        const double theirs = number(reference, "seconds");
        std::printf("%-6s %d thread%s: engine %8.0f sentences/s, reference %8.0f sentences/s, ratio %.2fx\n",
                    model.c_str(), threads, threads == 1 ? " " : "s", count / ours, count / theirs, theirs / ours);
      }
    }

    std::printf("\npeak memory above the loaded model, one intra-op thread (MB)\n");
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    for (const std::uint64_t budget : {1000ull, 5000ull}) {
      for (const bool worst : {false, true}) {
        const Sentences batch = worst ? padded_worst_case(budget) : even_case(budget);
        const fs::path file = scratch / "batch.json";
        write_text(file, json_list(batch));
        for (const std::string model : {"cnn", "bilstm"}) {
          const fs::path bundle = scratch / model;
          const double ours = std::stod(lorvane::bench::run_command(
              lorvane::bench::shell_quote(self) + " --memory-child " + lorvane::bench::shell_quote(bundle.string()) +
              " " + lorvane::bench::shell_quote(file.string()) + " " + std::to_string(budget)));
          std::string theirs = "-";
          // The reference keeps every padded row at once: several GB at 5000.
          if (budget <= 1000) {
            const auto reference = lorvane::detail::parse_json(run_python(
                python, {timing, bundle.string(), file.string(), std::to_string(budget), "--repeat", "1"}));
            const double kb = number(reference, "peak_extra_kb");
            char text[64];
            std::snprintf(text, sizeof text, "%8.1f (engine %.2fx)", kb / 1024, ours / kb);
            theirs = text;
          }
          std::printf("budget %4llu %-6s %-22s engine %8.1f  reference %s\n", static_cast<unsigned long long>(budget),
                      model.c_str(), worst ? "1 x half + 1-token rows" : "rows of 50 tokens", ours / 1024,
                      theirs.c_str());
        }
      }
    }
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "sentiment_bench: %s\n", error.what());
    return 1;
  }
}
