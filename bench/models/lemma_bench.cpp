// Throughput of the lemmatiser against the eager reference lemmatiser
// (tests/reference/lemma_reference.py) on the same bundle and words, timed in
// the same run: process_bulk (one batched model call for the dictionary
// misses of all documents), process (one batched call per document), and the
// word-by-word rule that calls the model once per miss, on both sides. The
// bundle has the size of a real lemmatiser (E=50, H=200, 84 characters, POS,
// copy gate, edit classifier) with seeded random weights, and a dictionary
// that holds about half of the words.
//
//   lemma_bench [python] [--words N] [--repeat R]
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
#include "lorvane/document.hpp"
#include "lorvane/lemma.hpp"
#include "support/bench_support.hpp"

namespace {

namespace fs = std::filesystem;
using lorvane::Document;
using lorvane::LemmaPlan;
using lorvane::bench::best_seconds;
using lorvane::bench::run_python;

const char* const kTags[] = {"NOUN", "VERB", "ADJ", "ADV", "PRON", "DET", "ADP", "PROPN"};
constexpr std::size_t kWordsPerDocument = 100;
constexpr std::size_t kWordsPerSentence = 20;

std::string random_word(std::mt19937& rng) {
  std::string word;
  const std::size_t length = 3 + rng() % 10;
  for (std::size_t c = 0; c < length; ++c) word += static_cast<char>('a' + rng() % 26);
  if (rng() % 5 == 0) word[0] = static_cast<char>(word[0] - 'a' + 'A');
  return word;
}

struct Corpus {
  std::vector<std::string> words;
  std::vector<std::optional<std::string>> upos;
  std::string pos_dict;  // JSON object
  std::size_t drawn_from_dictionary = 0;
};

// `count` words, about half drawn from a dictionary of count / 2 entries
// (with the tag they are stored under), the rest new random words.
Corpus make_corpus(std::size_t count) {
  std::mt19937 rng(2024);
  std::vector<std::pair<std::string, std::string>> known;
  std::vector<std::string> members(std::size(kTags));
  for (std::size_t i = 0; i < count / 2; ++i) {
    const std::size_t tag = rng() % std::size(kTags);
    known.emplace_back(random_word(rng), kTags[tag]);
    members[tag] += (members[tag].empty() ? "\"" : ", \"") + known.back().first + "\": \"" +
                    known.back().first.substr(0, known.back().first.size() - 1) + "\"";
  }
  Corpus corpus;
  corpus.pos_dict = "{";
  for (std::size_t tag = 0; tag < std::size(kTags); ++tag) {
    corpus.pos_dict += std::string(tag == 0 ? "\"" : ", \"") + kTags[tag] + "\": {" + members[tag] + "}";
  }
  corpus.pos_dict += "}";
  for (std::size_t i = 0; i < count; ++i) {
    if (rng() % 2 == 0) {
      const auto& [word, tag] = known[rng() % known.size()];
      corpus.words.push_back(word);
      corpus.upos.emplace_back(tag);
      ++corpus.drawn_from_dictionary;
    } else {
      corpus.words.push_back(random_word(rng));
      corpus.upos.emplace_back(kTags[rng() % std::size(kTags)]);
    }
  }
  return corpus;
}

std::vector<Document> make_documents(const Corpus& corpus) {
  std::vector<Document> documents;
  for (std::size_t first = 0; first < corpus.words.size(); first += kWordsPerDocument) {
    std::vector<lorvane::SentenceInput> sentences;
    for (std::size_t i = first; i < std::min(corpus.words.size(), first + kWordsPerDocument); ++i) {
      if ((i - first) % kWordsPerSentence == 0) sentences.emplace_back();
      lorvane::TokenInput token;
      token.id_start = token.id_end = static_cast<std::int32_t>(sentences.back().tokens.size() + 1);
      token.text = corpus.words[i];
      lorvane::WordInput word;
      word.id = token.id_start;
      word.text = corpus.words[i];
      word.upos = corpus.upos[i];
      token.words.push_back(std::move(word));
      sentences.back().tokens.push_back(std::move(token));
    }
    documents.emplace_back("", std::move(sentences));
  }
  return documents;
}

std::string json_list(const std::vector<std::string>& items, std::size_t count) {
  std::string out = "[";
  for (std::size_t i = 0; i < count; ++i) out += (i == 0 ? "\"" : ", \"") + items[i] + "\"";
  return out + "]";
}

double reference_seconds(const std::string& python, const fs::path& dir, const std::string& job) {
  const fs::path request = dir / "request.json";
  const fs::path result = dir / "result.json";
  std::ofstream(request) << R"({"jobs": [)" << job << "]}";
  run_python(python, {(lorvane::bench::source_dir() / "tests/reference/lemma_reference.py").string(),
                      request.string(), result.string()});
  const auto root = lorvane::detail::parse_json(lorvane::detail::load_text_file(result));
  return root.at("jobs", "").as_array("").at(0).at("seconds", "").as_number("");
}

}  // namespace

int main(int argc, char** argv) {
  std::string python = lorvane::bench::default_python();
  std::size_t count = 5000;
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
    const lorvane::bench::TempDir dir("lorvane-lemma-bench");
    const fs::path bundle = dir / "bundle";
    const Corpus corpus = make_corpus(count);
    std::string chars = R"(["a")";
    for (char c = 'b'; c <= 'z'; ++c) chars += std::string(", \"") + c + "\"";
    for (char c = 'A'; c <= 'Z'; ++c) chars += std::string(", \"") + c + "\"";
    for (char c = '0'; c <= '9'; ++c) chars += std::string(", \"") + c + "\"";
    chars += R"(, ".", ",", "-", "'", "\u00e9", "\u00e8", "\u00fc", "\u00f6", "\u00e4", "\u00df", "\u00e0", "\u00e7", "\u00f1", "\u00ee", "\u00f4", "\u00fb", "\u00ea", "\u00e2"])";
    std::ofstream(dir / "jobs.json") << R"([{"out_dir": ")" << bundle.string()
                                    << R"(", "options": {"edit_classes": 3, "pos_dict": )" << corpus.pos_dict
                                    << R"(, "model": {"chars": )" << chars << R"(, "tags": ["NOUN", "VERB", "ADJ", "ADV", "PRON", "DET", "ADP", "PROPN"],
        "config": {"emb_dim": 50, "hidden_dim": 200, "pos_dim": 50, "pos": true, "copy": true, "max_dec_len": 50},
        "seed": 3, "scale": 0.3, "eos_bias": 4.0, "special_bias": -6}}}])";
    run_python(python, {(lorvane::bench::source_dir() / "tests/fixtures/lemma_bundle.py").string(), "--batch",
                        (dir / "jobs.json").string()});

    at::set_num_threads(1);
    const LemmaPlan plan(bundle, false);
    std::vector<Document> documents = make_documents(corpus);
    const std::size_t single_count = std::min<std::size_t>(count, 1000);
    std::vector<std::string> upos_strings;
    for (const auto& tag : corpus.upos) upos_strings.push_back(*tag);
    const auto job = [&](bool batched, std::size_t n) {
      return R"({"kind": "time", "bundle": ")" + bundle.string() + R"(", "batched": )" +
             (batched ? "true" : "false") + R"(, "repeat": )" + std::to_string(repeat) +
             R"(, "words": )" + json_list(corpus.words, n) + R"(, "upos": )" + json_list(upos_strings, n) + "}";
    };

    const double bulk = best_seconds(repeat, [&] { documents = plan.process_bulk(std::move(documents)); });
    const double per_document = best_seconds(repeat, [&] {
      for (const Document& document : documents) plan.process(document);
    });
    const double per_miss = best_seconds(repeat, [&] {
      for (std::size_t i = 0; i < count; ++i) plan.lemmatize(corpus.words[i], corpus.upos[i]);
    });
    const double ref_batched = reference_seconds(python, dir.path(), job(true, count));
    const double ref_per_miss = reference_seconds(python, dir.path(), job(false, single_count));

    std::printf("bundle: V=84 E=50 H=200, POS, copy, edit; batch size 50; %zu words in %zu documents, "
                "%zu dictionary entries, ~%.0f%% hits; 1 intra-op thread\n",
                count, documents.size(), count / 2, 100.0 * static_cast<double>(corpus.drawn_from_dictionary) / static_cast<double>(count));
    const auto rate = [](std::size_t n, double seconds) { return static_cast<double>(n) / seconds; };
    const auto row = [&](const char* name, std::size_t n, double ours, double theirs) {
      std::printf("  %-36s %9.0f words/s   reference %8.0f words/s   ratio %5.1fx\n", name, rate(n, ours),
                  rate(n, theirs), theirs / ours);
    };
    row("process_bulk (one batched call)", count, bulk, ref_batched);
    row("process (one batched call per doc)", count, per_document, ref_batched);
    std::printf("  %-36s %9.0f words/s\n", "word by word (one call per miss)", rate(count, per_miss));
    row("  against the reference word by word", count, per_miss,
        ref_per_miss * static_cast<double>(count) / static_cast<double>(single_count));
    std::printf("  process_bulk vs one call per miss: %.1fx; vs process: %.2fx\n", per_miss / bulk,
                per_document / bulk);
    at::set_num_threads(2);
    const double bulk2 = best_seconds(repeat, [&] { documents = plan.process_bulk(std::move(documents)); });
    std::printf("  process_bulk with 2 intra-op threads: %.0f words/s (%.2fx of 1 thread)\n", rate(count, bulk2),
                bulk / bulk2);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "lemma_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
