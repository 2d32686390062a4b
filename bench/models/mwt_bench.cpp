// MWTPlan::process on documents with 0%, 5% and 30% of their tokens marked
// "MWT=Yes", against the eager PyTorch reference's rewrite of the same
// tokens (tests/reference/mwt_reference.py, one classifier run per marked
// token), timed in the same run; and the rebuild cost at 0% against building
// the same document from its records. The bundle is a split classifier
// (E=50, H=128, F=64, 27 characters) with seeded random weights.
//
//   mwt_bench [python] [--sentences N] [--repeat R]
//
// The python defaults to $LORVANE_TEST_PYTHON, else the configured one.

#include <ATen/Parallel.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bundle/json.hpp"
#include "lorvane/document.hpp"
#include "lorvane/mwt.hpp"
#include "support/bench_support.hpp"

namespace {

namespace fs = std::filesystem;
using lorvane::Document;
using lorvane::SentenceInput;
using lorvane::TokenInput;
using lorvane::bench::Clock;
using lorvane::bench::seconds_since;

constexpr std::size_t kTokensPerSentence = 20;

struct Corpus {
  std::string text;
  std::vector<SentenceInput> sentences;
  std::string reference_json;  // [[[text, flagged], ...], ...]
  std::size_t tokens = 0;
  std::size_t flagged = 0;
};

// Sentences of lower-case tokens (2 to 9 letters, one word each, with
// offsets); `percent` of the tokens carry "MWT=Yes".
Corpus make_corpus(std::size_t sentences, unsigned percent) {
  std::mt19937 rng(17);
  Corpus corpus;
  corpus.reference_json = "[";
  for (std::size_t s = 0; s < sentences; ++s) {
    SentenceInput sentence;
    corpus.reference_json += s == 0 ? "[" : ", [";
    for (std::size_t t = 0; t < kTokensPerSentence; ++t) {
      TokenInput token;
      const std::size_t length = 2 + rng() % 8;
      for (std::size_t c = 0; c < length; ++c) token.text += static_cast<char>('a' + rng() % 26);
      const bool flagged = rng() % 100 < percent;
      token.id_start = token.id_end = static_cast<int>(t + 1);
      token.start_char = static_cast<std::uint32_t>(corpus.text.size());
      corpus.text += token.text + " ";
      token.end_char = *token.start_char + static_cast<std::uint32_t>(length);
      if (flagged) token.misc = "MWT=Yes";
      lorvane::WordInput word;
      word.id = token.id_start, word.text = token.text, word.misc = token.misc;
      token.words.push_back(word);
      corpus.reference_json += std::string(t == 0 ? "" : ", ") + "[\"" + token.text + "\", " +
                               (flagged ? "true" : "false") + "]";
      sentence.tokens.push_back(std::move(token));
      corpus.flagged += flagged;
      ++corpus.tokens;
    }
    corpus.reference_json += "]";
    corpus.sentences.push_back(std::move(sentence));
  }
  corpus.reference_json += "]";
  return corpus;
}

double reference_seconds(const std::string& python, const fs::path& dir, const fs::path& bundle,
                         const Corpus& corpus, int repeat) {
  std::ofstream(dir / "request.json") << R"({"threads": 1, "jobs": [{"kind": "process", "bundle": ")"
                                      << bundle.string() << R"(", "repeat": )" << repeat
                                      << R"(, "sentences": )" << corpus.reference_json << "}]}";
  lorvane::bench::run_python(python, {(lorvane::bench::source_dir() / "tests/reference/mwt_reference.py").string(),
                                      (dir / "request.json").string(), (dir / "result.json").string()});
  const auto root = lorvane::detail::parse_json(lorvane::detail::load_text_file(dir / "result.json"));
  return root.at("jobs", "").as_array("").at(0).at("seconds", "").as_number("");
}

// The best time of `repeat` calls of process, each on a freshly built document.
double process_seconds(const lorvane::MWTPlan& plan, const Corpus& corpus, int repeat) {
  double best = 1e300;
  for (int run = 0; run < repeat; ++run) {
    const Document doc(corpus.text, corpus.sentences);
    const auto start = Clock::now();
    plan.process(doc);
    best = std::min(best, seconds_since(start));
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  std::string python = lorvane::bench::default_python();
  std::size_t sentences = 200;
  int repeat = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--sentences" && i + 1 < argc) {
      sentences = std::stoul(argv[++i]);
    } else if (arg == "--repeat" && i + 1 < argc) {
      repeat = std::stoi(argv[++i]);
    } else {
      python = arg;
    }
  }
  try {
    const lorvane::bench::TempDir dir("lorvane-mwt-bench");
    const fs::path bundle = dir / "bundle";
    std::string chars = R"(["a")";
    for (char c = 'b'; c <= 'z'; ++c) chars += std::string(", \"") + c + "\"";
    std::ofstream(dir / "jobs.json") << R"([{"out_dir": ")" << bundle.string() << R"(", "options": {"mode": "classifier",
        "chars": )" << chars << R"(], "config": {"hidden_dim": 128}, "sizes": {"emb": 50, "features": 64}, "seed": 4}}])";
    lorvane::bench::run_python(python, {(lorvane::bench::source_dir() / "tests/fixtures/mwt_bundle.py").string(),
                                        "--batch", (dir / "jobs.json").string()});
    at::set_num_threads(1);
    const lorvane::MWTPlan plan(bundle, false);

    std::printf("bundle: split classifier E=50 H=128 F=64, 27 characters; %zu sentences of %zu tokens; "
                "1 intra-op thread\n", sentences, kTokensPerSentence);
    double rebuild = 0;
    for (const unsigned percent : {0u, 5u, 30u}) {
      const Corpus corpus = make_corpus(sentences, percent);
      const double ours = process_seconds(plan, corpus, repeat);
      const double theirs = reference_seconds(python, dir.path(), bundle, corpus, repeat);
      if (percent == 0) rebuild = ours;
      std::printf("  %2u%% flagged (%5zu of %zu tokens): process %8.2f ms   reference %8.2f ms   ratio %6.1fx\n",
                  percent, corpus.flagged, corpus.tokens, ours * 1e3, theirs * 1e3, theirs / ours);
    }
    const Corpus plain = make_corpus(sentences, 0);
    const double build = lorvane::bench::best_seconds(repeat, [&] { return Document(plain.text, plain.sentences); });
    std::printf("  rebuild cost at 0%%: process %.2f ms vs building the document from its records %.2f ms "
                "(%.2fx)\n", rebuild * 1e3, build * 1e3, rebuild / build);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mwt_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
