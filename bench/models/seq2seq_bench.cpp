// Throughput of the sequence-to-sequence plan against the eager PyTorch
// reference on the same bundle and words, timed in the same run: batched
// greedy prediction (predict_many, beam 1), prediction word by word (greedy
// and beam 4), the batching gain, and the mean number of decoder steps per
// word. The bundle has the size of a lemmatiser (E=50, H=200, 84 characters,
// POS, copy gate and edit classifier) with seeded random weights.
//
//   seq2seq_bench [python] [--words N] [--repeat R]
//
// The python defaults to $LORVANE_TEST_PYTHON, else the configured one.

#include <ATen/Parallel.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "bundle/json.hpp"
#include "lorvane/seq2seq.hpp"
#include "support/bench_support.hpp"

namespace {

namespace fs = std::filesystem;
using lorvane::Seq2SeqPlan;
using lorvane::bench::best_seconds;
using lorvane::bench::run_python;

const char* const kTags[] = {"NOUN", "VERB", "ADJ", "ADV", "PRON", "DET", "ADP", "PROPN", "NUM"};

// Lower-case words of 3 to 12 letters, now and then capitalised or with a
// character outside the vocabulary, with a tag each.
void generate_words(std::size_t count, std::vector<std::string>& words, std::vector<std::optional<std::string>>& tags) {
  std::mt19937 rng(2024);
  for (std::size_t i = 0; i < count; ++i) {
    std::string word;
    const std::size_t length = 3 + rng() % 10;
    for (std::size_t c = 0; c < length; ++c) word += static_cast<char>('a' + rng() % 26);
    if (rng() % 5 == 0) word[0] = static_cast<char>(word[0] - 'a' + 'A');
    if (rng() % 10 == 0) word += "~";
    words.push_back(word);
    tags.emplace_back(kTags[rng() % std::size(kTags)]);
  }
}

std::string json_list(const std::vector<std::string>& items, std::size_t count) {
  std::string out = "[";
  for (std::size_t i = 0; i < count; ++i) out += (i == 0 ? "\"" : ", \"") + items[i] + "\"";
  return out + "]";
}

struct ReferenceTiming {
  double seconds = 0;
  double steps = 0;
};

ReferenceTiming reference_time(const std::string& python, const fs::path& dir, const std::string& job) {
  const fs::path request = dir / "request.json";
  const fs::path result = dir / "result.json";
  std::ofstream(request) << R"({"threads": 1, "jobs": [)" << job << "]}";
  run_python(python, {(lorvane::bench::source_dir() / "tests/reference/seq2seq_reference.py").string(),
                      request.string(), result.string()});
  const auto root = lorvane::detail::parse_json(lorvane::detail::load_text_file(result));
  const auto& timing = root.at("jobs", "").as_array("").at(0);
  return {timing.at("seconds", "").as_number(""), timing.at("steps", "").as_number("")};
}

}  // namespace

int main(int argc, char** argv) {
  std::string python = lorvane::bench::default_python();
  std::size_t count = 1000;
  int repeat = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--words" && i + 1 < argc) {
      count = std::stoul(argv[++i]);
    } else if (arg == "--repeat" && i + 1 < argc) {
      repeat = std::stoi(argv[++i]);
    } else {
      python = arg;
    }
  }
  try {
    const lorvane::bench::TempDir dir("lorvane-seq2seq-bench");
    const fs::path bundle = dir / "bundle";
    std::string chars = R"(["a")";
    for (char c = 'b'; c <= 'z'; ++c) chars += std::string(", \"") + c + "\"";
    for (char c = 'A'; c <= 'Z'; ++c) chars += std::string(", \"") + c + "\"";
    for (char c = '0'; c <= '9'; ++c) chars += std::string(", \"") + c + "\"";
    chars += R"(, ".", ",", "-", "'", "\u00e9", "\u00e8", "\u00fc", "\u00f6", "\u00e4", "\u00df", "\u00e0", "\u00e7", "\u00f1", "\u00ee", "\u00f4", "\u00fb", "\u00ea", "\u00e2"])";
    std::ofstream(dir / "jobs.json") << R"([{"out_dir": ")" << bundle.string() << R"(", "options": {"chars": )"
                                    << chars << R"(, "tags": ["NOUN", "VERB", "ADJ", "ADV", "PRON", "DET", "ADP", "PROPN"],
        "config": {"emb_dim": 50, "hidden_dim": 200, "pos_dim": 50, "pos": true, "copy": true, "edit": true,
                   "max_dec_len": 50}, "seed": 3, "scale": 0.3, "eos_bias": 4.0, "special_bias": -6}}])";
    run_python(python, {(lorvane::bench::source_dir() / "tests/fixtures/seq2seq_bundle.py").string(), "--batch",
                        (dir / "jobs.json").string()});

    std::vector<std::string> words;
    std::vector<std::optional<std::string>> tags;
    generate_words(count, words, tags);
    const std::size_t single_count = std::min<std::size_t>(count, 300);
    const std::size_t beam_count = std::min<std::size_t>(count, 150);
    const auto job = [&](const char* mode, std::size_t n) {
      std::vector<std::string> tag_strings;
      for (std::size_t i = 0; i < n; ++i) tag_strings.push_back(*tags[i]);
      return R"({"kind": "time", "bundle": ")" + bundle.string() + R"(", "mode": ")" + mode +
             R"(", "beam": 4, "repeat": )" + std::to_string(repeat) + R"(, "words": )" + json_list(words, n) +
             R"(, "pos": )" + json_list(tag_strings, n) + "}";
    };

    at::set_num_threads(1);
    const Seq2SeqPlan plan(bundle, false);
    const auto per_word = [&](std::size_t n, std::int64_t beam) {
      return best_seconds(repeat, [&] {
        for (std::size_t i = 0; i < n; ++i) plan.predict(words[i], tags[i], beam, false);
      });
    };
    const double batched = best_seconds(repeat, [&] { return plan.predict_many(words, tags, 1, false); });
    const double single = per_word(single_count, 1);
    const double beam = per_word(beam_count, 4);
    const ReferenceTiming ref_batched = reference_time(python, dir.path(), job("batched", count));
    const ReferenceTiming ref_single = reference_time(python, dir.path(), job("single", single_count));
    const ReferenceTiming ref_beam = reference_time(python, dir.path(), job("beam", beam_count));

    std::printf("bundle: V=84 E=50 H=200, POS, copy, edit; batch size 50; 1 intra-op thread\n");
    std::printf("mean decoder steps per word: greedy %.1f, beam 4 %.1f\n", ref_single.steps, ref_beam.steps);
    const auto row = [](const char* name, std::size_t n, double ours, double theirs) {
      std::printf("  %-28s %5zu words %9.0f words/s   reference %8.0f words/s   ratio %5.1fx\n", name, n,
                  static_cast<double>(n) / ours, static_cast<double>(n) / theirs, theirs / ours);
    };
    row("predict_many (beam 1)", count, batched, ref_batched.seconds);
    row("predict, greedy", single_count, single, ref_single.seconds);
    row("predict, beam 4", beam_count, beam, ref_beam.seconds);
    std::printf("  batching gain (predict_many vs predict, greedy): %.1fx\n",
                (single / static_cast<double>(single_count)) / (batched / static_cast<double>(count)));
    at::set_num_threads(2);
    const double batched2 = best_seconds(repeat, [&] { return plan.predict_many(words, tags, 1, false); });
    std::printf("  predict_many with 2 intra-op threads: %.0f words/s (%.2fx of 1 thread)\n",
                static_cast<double>(count) / batched2, batched / batched2);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "seq2seq_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
