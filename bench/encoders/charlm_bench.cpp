// Sentences per second of the character language model's encode_many on a
// bundle of realistic size (hidden 1024, embedding 100, one layer, 100
// characters) over ~1,000 sentences of 5 to 60 words, against
//   - the eager PyTorch reference on the same bundle and sentences, with
//     packed batches of 64 (tests/reference/charlm_reference.py time), and
//   - encode called sentence by sentence (the unbatched path),
// at one intra-op thread (thread CPU time) and at all of them (wall time).
//
//   charlm_bench [--sentences N] [--threads 1,8] [--repeat R] [python]

#include <ATen/Parallel.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bundle/json.hpp"
#include "encoders/charlm/native_charlm.hpp"
#include "lorvane/bundle.hpp"
#include "support/bench_support.hpp"

namespace {

namespace fs = std::filesystem;
using lorvane::bench::run_python;
using Sentence = std::vector<std::string>;

// Lower-case letters, a few capitals, digits and punctuation, and two
// multi-byte letters; word lengths 1 to 12.
std::vector<Sentence> generate_sentences(std::size_t count) {
  const std::vector<std::string> letters = {"e", "t", "a", "o", "i", "n", "s", "h", "r", "d", "l", "u", "c", "m",
                                            "w", "f", "g", "y", "p", "b", "v", "k", "T", "A", "S", "0", "1", "9",
                                            ",", ".", "\u00e9", "\u00fc"};
  std::mt19937 rng(17);
  std::vector<Sentence> sentences(count);
  for (Sentence& sentence : sentences) {
    sentence.resize(5 + rng() % 56);
    for (std::string& word : sentence) {
      for (std::size_t k = 1 + rng() % 12; k > 0; --k) word += letters[rng() % letters.size()];
    }
  }
  return sentences;
}

std::string sentences_json(const std::vector<Sentence>& sentences) {
  std::string out = "[";
  for (std::size_t s = 0; s < sentences.size(); ++s) {
    out += s ? ",[" : "[";
    for (std::size_t w = 0; w < sentences[s].size(); ++w) out += (w ? ",\"" : "\"") + sentences[s][w] + "\"";
    out += "]";
  }
  return out + "]";
}

}  // namespace

int main(int argc, char** argv) {
  std::string python = lorvane::bench::default_python();
  std::size_t count = 1000;
  int repeat = 1;
  std::vector<int> thread_counts = {1, static_cast<int>(std::thread::hardware_concurrency())};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--sentences" && i + 1 < argc) {
      count = std::stoul(argv[++i]);
    } else if (arg == "--repeat" && i + 1 < argc) {
      repeat = std::stoi(argv[++i]);
    } else if (arg == "--threads" && i + 1 < argc) {
      thread_counts.clear();
      for (const std::string& part : lorvane::bench::split_list(argv[++i])) thread_counts.push_back(std::stoi(part));
    } else {
      python = arg;
    }
  }
  const fs::path source = lorvane::bench::source_dir();
  try {
    const lorvane::bench::TempDir dir("lorvane-charlm-bench");
    const fs::path bundle_dir = dir / "bundle";
    const fs::path jobs = dir / "jobs.json";
    std::string units = R"(["\n", " ", "<UNK>")";
    for (char c = '!'; c <= '~'; ++c) {
      if (c == '"' || c == '\\') continue;
      units += ",\"" + std::string(1, c) + "\"";
    }
    units += R"(, "\u00e9", "\u00fc"])";
    lorvane::bench::write_text(jobs, R"([{"out_dir": ")" + bundle_dir.string() + R"(", "options": {"units": )" +
                                         units + R"(, "emb": 100, "hidden": 1024, "layers": 1, "scale": 0.03}}])");
    run_python(python, {(source / "tests/fixtures/charlm_bundle.py").string(), "--batch", jobs.string()});
    const std::vector<Sentence> sentences = generate_sentences(count);
    const fs::path sentences_file = dir / "sentences.json";
    lorvane::bench::write_text(sentences_file, sentences_json(sentences));

    auto bundle = std::make_shared<const lorvane::ModelBundle>(bundle_dir, false);
    const lorvane::detail::JsonValue assets = lorvane::detail::parse_json(bundle->assets_json());
    const lorvane::detail::NativeCharLM model(bundle, "", assets);
    std::size_t words = 0;
    std::size_t characters = 0;
    for (const Sentence& sentence : sentences) {
      words += sentence.size();
      for (const std::string& word : sentence) characters += word.size() + 1;
    }
    std::printf("%zu sentences, %zu words, %zu characters with word ends; hidden 1024, embedding 100, 1 layer\n",
                sentences.size(), words, characters + sentences.size());

    for (const int threads : thread_counts) {
      at::set_num_threads(threads);
      const auto time = [&](auto&& fn) {
        return threads == 1 ? lorvane::bench::best_thread_cpu_seconds(repeat, fn)
                            : lorvane::bench::best_seconds(repeat, fn);
      };
      const double batched = time([&] { return model.encode_many(sentences); });
      const double single = time([&] {
        std::vector<at::Tensor> rows;
        for (const Sentence& sentence : sentences) rows.push_back(model.encode(sentence));
        return rows;
      });
      const double eager = lorvane::bench::printed_seconds(
          run_python(python, {(source / "tests/reference/charlm_reference.py").string(), "time", bundle_dir.string(),
                              sentences_file.string(), "--threads", std::to_string(threads), "--repeat",
                              std::to_string(repeat)}));
      const auto rate = [&](double seconds) { return static_cast<double>(sentences.size()) / seconds; };
      std::printf("%d intra-op thread%s%s\n", threads, threads == 1 ? "" : "s",
                  threads == 1 ? " (thread CPU time)" : " (wall time)");
      std::printf("  encode_many        %8.1f sentences/s\n", rate(batched));
      std::printf("  eager, packed      %8.1f sentences/s   encode_many is %.2fx\n", rate(eager), eager / batched);
      std::printf("  encode one by one  %8.1f sentences/s   encode_many is %.2fx\n", rate(single), single / batched);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "charlm_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
