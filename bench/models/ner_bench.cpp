// Words per second of the entity tagger on generated sentences with a bundle
// of realistic size (word embeddings 100 wide over 20,000 words, character
// LSTM 50 -> 100, tagger LSTM 256, 21 tags), against the eager PyTorch
// reference (tests/reference/ner_reference.py) on the same bundle and
// sentences, timed in the same run, at one intra-op thread and at all of the
// machine's. Also reports where the time of a batched run goes: input rows
// (embeddings and the character LSTM), the tagger LSTM with its head, and the
// CRF decoding with the repair.
//
//   ner_bench [python] [--sentences N] [--repeat R]
//
// On a machine busy with other work, OMP_WAIT_POLICY=PASSIVE keeps the
// all-threads runs (ours and the reference's) from spinning for minutes.

#include <ATen/Parallel.h>
#include <c10/core/InferenceMode.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "lorvane/document.hpp"
#include "lorvane/ner.hpp"
#include "models/ner/plan_impl.hpp"
#include "support/bench_support.hpp"

namespace {

namespace fs = std::filesystem;
using lorvane::Document;
using lorvane::NERPlan;
using lorvane::bench::best_seconds;
using lorvane::bench::run_python;
using Sentences = std::vector<std::vector<std::string>>;

const char* const kWords[] = {
    "the",   "of",       "and",     "to",      "in",      "report",   "market", "city",    "council", "said",
    "that",  "would",    "river",   "company", "new",     "year",     "people", "between", "during",  "after",
    "John",  "Smith",    "Paris",   "Berlin",  "Anna",    "Maria",    "London", "Google",  "United",  "Nations",
    "north", "approximately", "government", "results", "quarterly", "expected", "Mr.", ",", ".", "2024"};

// 5 to 40 tokens per sentence, deterministic.
Sentences generate_sentences(std::size_t count) {
  std::mt19937 rng(2024);
  Sentences sentences(count);
  for (auto& sentence : sentences) {
    const std::size_t length = 5 + rng() % 36;
    for (std::size_t t = 0; t < length; ++t) sentence.emplace_back(kWords[rng() % std::size(kWords)]);
  }
  return sentences;
}

Document document_of(const Sentences& sentences) {
  std::string text;
  std::vector<lorvane::SentenceInput> inputs;
  for (const auto& tokens : sentences) {
    lorvane::SentenceInput sentence;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
      lorvane::TokenInput token;
      token.id_start = token.id_end = static_cast<std::int32_t>(i + 1);
      token.text = tokens[i];
      lorvane::WordInput word;
      word.id = token.id_start;
      word.text = tokens[i];
      token.words.push_back(word);
      sentence.tokens.push_back(token);
      text += tokens[i] + " ";
    }
    inputs.push_back(sentence);
  }
  return Document(text, std::move(inputs));
}

void write_sentences(const fs::path& path, const Sentences& sentences) {
  std::ofstream out(path);
  out << "[";
  for (std::size_t s = 0; s < sentences.size(); ++s) {
    out << (s ? ",[" : "[");
    for (std::size_t t = 0; t < sentences[s].size(); ++t) out << (t ? ",\"" : "\"") << sentences[s][t] << "\"";
    out << "]";
  }
  out << "]";
}

struct Breakdown {
  double inputs = 0, tagger = 0, crf = 0;
};

// The stages of one batched run, each timed over every batch.
Breakdown breakdown(const NERPlan::Impl& plan, const Sentences& sentences, int repeat) {
  c10::InferenceMode guard;
  std::vector<std::vector<const std::vector<std::string>*>> members;
  std::vector<std::vector<std::int64_t>> lengths;
  for (const auto& batch : plan.tagging_batches(sentences)) {
    members.emplace_back();
    lengths.emplace_back();
    for (const std::size_t s : batch) {
      members.back().push_back(&sentences[s]);
      lengths.back().push_back(static_cast<std::int64_t>(sentences[s].size()));
    }
  }
  Breakdown b;
  std::vector<at::Tensor> rows(members.size()), scores(members.size());
  b.inputs = best_seconds(repeat, [&] {
    for (std::size_t i = 0; i < members.size(); ++i) rows[i] = plan.batch_inputs(members[i]);
  });
  b.tagger = best_seconds(repeat, [&] {
    for (std::size_t i = 0; i < members.size(); ++i) scores[i] = plan.emission_scores(rows[i], lengths[i]);
  });
  b.crf = best_seconds(repeat, [&] {
    for (std::size_t i = 0; i < members.size(); ++i) {
      std::int64_t first = 0;
      for (const std::int64_t length : lengths[i]) {
        plan.decode_tags(scores[i].narrow(0, first, length));
        first += length;
      }
    }
  });
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  std::string python = lorvane::bench::default_python();
  std::size_t count = 300;
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
  try {
    const lorvane::bench::TempDir dir("lorvane-ner-bench");
    const fs::path bundle = dir / "bundle";
    run_python(python, {(source / "tests/fixtures/ner_bundle.py").string(), bundle.string(), "--options",
                        R"({"seed": 3, "scale": 0.1, "word_count": 20000,
                            "config": {"word_emb_dim": 100, "char_emb_dim": 50, "char_hidden_dim": 100,
                                       "char_num_layers": 1, "hidden_dim": 256, "num_layers": 1},
                            "tag_columns": [["<PAD>", "<UNK>", "<EMPTY>", "<ROOT>", "O",
                              "B-PER", "I-PER", "E-PER", "S-PER", "B-LOC", "I-LOC", "E-LOC", "S-LOC",
                              "B-ORG", "I-ORG", "E-ORG", "S-ORG", "B-MISC", "I-MISC", "E-MISC", "S-MISC"]]})"});
    const Sentences sentences = generate_sentences(count);
    const fs::path sentence_file = dir / "sentences.json";
    write_sentences(sentence_file, sentences);
    double words = 0;
    for (const auto& s : sentences) words += static_cast<double>(s.size());

    const NERPlan plan(bundle, false);
    const NERPlan::Impl impl(bundle, false);
    const Document document = document_of(sentences);
    std::printf("%zu sentences, %.0f words; bundle: E=100, char 50 -> 100 (1 layer), tagger 256 (1 layer), 21 tags\n",
                sentences.size(), words);
    const int all = static_cast<int>(std::thread::hardware_concurrency());
    for (const int threads : {1, all}) {
      at::set_num_threads(threads);
      const double process = best_seconds(repeat, [&] { return plan.process(document); });
      const double single = best_seconds(repeat, [&] {
        for (const auto& s : sentences) plan.tag(s);
      });
      const double reference = lorvane::bench::printed_seconds(
          run_python(python, {(source / "tests/reference/ner_reference.py").string(), "--time", bundle.string(),
                              sentence_file.string(), std::to_string(threads)}));
      std::printf("\n%d intra-op thread%s\n", threads, threads == 1 ? "" : "s");
      std::printf("  process (batched):  %9.0f words/s   ratio to reference %5.1fx\n", words / process,
                  reference / process);
      std::printf("  tag, one sentence:  %9.0f words/s   ratio to reference %5.1fx\n", words / single,
                  reference / single);
      std::printf("  eager reference:    %9.0f words/s\n", words / reference);
      const Breakdown b = breakdown(impl, sentences, repeat);
      const double total = b.inputs + b.tagger + b.crf;
      std::printf("  breakdown of a batched run:\n");
      const auto share = [&](const char* name, double seconds) {
        std::printf("    %-34s %5.1f%%  (%.1f ms)\n", name, 100.0 * seconds / total, seconds * 1e3);
      };
      share("input rows (embeddings, char LSTM)", b.inputs);
      share("tagger LSTM and head", b.tagger);
      share("CRF decoding and repair", b.crf);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ner_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
