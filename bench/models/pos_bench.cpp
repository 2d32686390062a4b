// Throughput of the POS tagger's entry points (words per second of process,
// document by document, and of process_bulk over all documents) on a bundle
// of realistic size (word 75, pretrained 100 -> 125, character embedding 100,
// character hidden 400, hidden 200, 2 layers, tag embedding 50, 20 features)
// and ~1,000 generated sentences of 5 to 60 words, against the eager PyTorch
// reference tagger on the same bundle and documents, timed in the same run,
// with one intra-op thread and with all. Also reports where the time goes
// (character LSTM, other input blocks, highway BiLSTM, heads) on the
// single-sentence path (what `tag` runs, sentence by sentence), on the
// document path (what process runs: each document's sentences together) and
// on the bulk path (all sentences together).
//
//   pos_bench [python] [--sentences N] [--repeat R] [--threads T]
//
// --threads T measures T intra-op threads besides one (default: all cores).
// The python defaults to $LORVANE_TEST_PYTHON, else the configured one.

#include <ATen/Parallel.h>
#include <c10/core/InferenceMode.h>

#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "bundle/json.hpp"
#include "lorvane/document.hpp"
#include "lorvane/pos.hpp"
#include "models/pos/plan_impl.hpp"
#include "models/tagging/word_keys.hpp"
#include "support/bench_support.hpp"

namespace {

namespace fs = std::filesystem;
using lorvane::Document;
using lorvane::POSPlan;
using lorvane::bench::best_seconds;
using lorvane::bench::run_python;
using Sentences = std::vector<std::vector<std::string>>;

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string json_list(const std::vector<std::string>& items, bool quote) {
  std::string out = "[";
  for (const std::string& item : items) out += (out.size() > 1 ? "," : "") + (quote ? quoted(item) : item);
  return out + "]";
}

// A lexicon of pseudo-words, most frequent first, and sentences drawn from it
// with Zipf-like frequencies, some capitalised, some followed by punctuation.
struct Corpus {
  std::vector<std::string> lexicon;
  std::vector<Sentences> documents;
};

Corpus generate_corpus(std::size_t sentence_count, std::size_t per_document) {
  std::mt19937 rng(4242);
  Corpus corpus;
  const std::string letters = "etaoinshrdlcumwfgypbvkjxqz";
  std::geometric_distribution<int> letter(0.18);
  std::uniform_int_distribution<int> word_length(1, 11);
  std::unordered_set<std::string> known;
  while (corpus.lexicon.size() < 3000) {
    std::string word;
    for (int i = word_length(rng); i > 0; --i) word += letters[static_cast<std::size_t>(letter(rng)) % letters.size()];
    if (known.insert(word).second) corpus.lexicon.push_back(word);
  }
  std::vector<double> weights;
  for (std::size_t rank = 1; rank <= corpus.lexicon.size(); ++rank) weights.push_back(1.0 / static_cast<double>(rank));
  std::discrete_distribution<std::size_t> pick(weights.begin(), weights.end());
  std::uniform_int_distribution<std::size_t> length(5, 60);
  std::uniform_int_distribution<int> percent(0, 99);
  Sentences document;
  for (std::size_t s = 0; s < sentence_count; ++s) {
    std::vector<std::string> words;
    for (std::size_t n = length(rng); words.size() < n;) {
      std::string word = corpus.lexicon[pick(rng)];
      if (words.empty() || percent(rng) < 5) word[0] = static_cast<char>(word[0] - 'a' + 'A');
      words.push_back(word);
      if (percent(rng) < 8 && words.size() < n) words.push_back(percent(rng) < 80 ? "," : "?!");
    }
    words.push_back(".");
    document.push_back(std::move(words));
    if (document.size() == per_document) corpus.documents.push_back(std::move(document)), document.clear();
  }
  if (!document.empty()) corpus.documents.push_back(std::move(document));
  return corpus;
}

std::string bundle_options(const Corpus& corpus) {
  std::vector<std::string> features;
  for (int f = 0; f < 20; ++f) {
    std::vector<std::string> values;
    for (int v = 0; v < 3 + f % 6; ++v) values.push_back("V" + std::to_string(v));
    features.push_back(quoted("Feat" + std::to_string(f)) + ": " + json_list(values, true));
  }
  std::vector<std::string> xpos;
  for (int x = 0; x < 45; ++x) xpos.push_back("X" + std::to_string(x));
  const std::vector<std::string> words(corpus.lexicon.begin(), corpus.lexicon.begin() + 2000);
  std::vector<std::string> pretrained(corpus.lexicon.begin(), corpus.lexicon.end());
  for (int extra = 0; extra < 2000; ++extra) pretrained.push_back("pre" + std::to_string(extra));
  std::string features_object = "{";
  for (const std::string& feature : features) features_object += (features_object.size() > 1 ? "," : "") + feature;
  return R"({"seed": 3, "scale": 0.1, "upos_hidden": 400, "pretrain_dim": 100,
      "config": {"word_emb_dim": 75, "transformed_dim": 125, "char_emb_dim": 100, "char_hidden_dim": 400,
                 "hidden_dim": 200, "num_layers": 2, "tag_emb_dim": 50, "deep_biaff_hidden_dim": 400,
                 "composite_deep_biaff_hidden_dim": 100},
      "features": )" + features_object + "}, \"xpos\": " + json_list(xpos, true) +
         ", \"words\": " + json_list(words, true) + ", \"pretrained\": " + json_list(pretrained, true) + "}";
}

std::vector<Document> make_documents(const Corpus& corpus) {
  std::vector<Document> documents;
  for (const Sentences& sentences : corpus.documents) {
    std::vector<lorvane::SentenceInput> input;
    for (const auto& words : sentences) {
      lorvane::SentenceInput sentence;
      for (std::size_t i = 0; i < words.size(); ++i) {
        lorvane::TokenInput token;
        token.id_start = token.id_end = static_cast<std::int32_t>(i + 1);
        token.text = words[i];
        lorvane::WordInput word;
        word.id = token.id_start;
        word.text = words[i];
        token.words.push_back(std::move(word));
        sentence.tokens.push_back(std::move(token));
      }
      input.push_back(std::move(sentence));
    }
    documents.emplace_back("", std::move(input));
  }
  return documents;
}

struct Breakdown {
  double characters = 0, inputs = 0, highway = 0, heads = 0;
};

// Character ids of the distinct normalised words of the sentences.
std::vector<std::vector<std::int64_t>> distinct_words(const POSPlan::Impl& impl, const Sentences& sentences) {
  std::vector<std::vector<std::int64_t>> distinct;
  std::unordered_set<std::string> seen;
  for (const auto& words : sentences) {
    for (const std::string& word : words) {
      const auto code_points = lorvane::detail::split_code_points(word);
      const std::string_view m = lorvane::detail::normalize_punctuation(word, code_points);
      if (!seen.emplace(m).second) continue;
      std::vector<std::int64_t> ids;
      for (std::string_view c : lorvane::detail::split_code_points(m)) {
        ids.push_back(lorvane::detail::id_or(impl.char_vocab, c, 1));
      }
      distinct.push_back(std::move(ids));
    }
  }
  return distinct;
}

// The stages timed one by one for each group of sentences, summed: one group
// of all sentences (process_bulk), one per document (process) or one per
// sentence (tag).
Breakdown breakdown(const POSPlan::Impl& impl, const std::vector<Sentences>& groups, int repeat) {
  c10::InferenceMode guard;
  Breakdown b;
  double inputs = 0;
  double encode = 0;
  for (const Sentences& group : groups) {
    const auto distinct = distinct_words(impl, group);
    std::vector<const std::vector<std::string>*> pointers;
    for (const auto& words : group) pointers.push_back(&words);
    b.characters += best_seconds(repeat, [&] { return impl.character.summaries(distinct); });
    inputs += best_seconds(repeat, [&] { return impl.word_inputs(pointers, {}, {}); });
    std::vector<at::Tensor> encoded;
    encode += best_seconds(repeat, [&] { encoded = impl.encode_many(group, {}, {}); });
    b.heads += best_seconds(repeat, [&] { return impl.tag_encoded_many(encoded, group); });
  }
  b.inputs = inputs - b.characters;
  b.highway = encode - inputs;
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  std::string python = lorvane::bench::default_python();
  std::size_t sentence_count = 1000;
  int repeat = 3;
  int many_threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--sentences" && i + 1 < argc) {
      sentence_count = std::stoul(argv[++i]);
    } else if (arg == "--repeat" && i + 1 < argc) {
      repeat = std::stoi(argv[++i]);
    } else if (arg == "--threads" && i + 1 < argc) {
      many_threads = std::stoi(argv[++i]);
    } else {
      python = arg;
    }
  }

  const fs::path source = lorvane::bench::source_dir();
  try {
    const lorvane::bench::TempDir dir("lorvane-pos-bench");
    const Corpus corpus = generate_corpus(sentence_count, 20);
    const fs::path bundle = dir / "bundle";
    std::ofstream(dir / "jobs.json") << "[{\"out_dir\": " << quoted(bundle.string())
                                     << ", \"options\": " << bundle_options(corpus) << "}]";
    run_python(python, {(source / "tests/fixtures/pos_bundle.py").string(), "--batch", (dir / "jobs.json").string()});
    std::vector<std::string> document_items;
    Sentences all;
    std::size_t words = 0;
    for (const Sentences& sentences : corpus.documents) {
      std::vector<std::string> items;
      for (const auto& sentence : sentences) {
        items.push_back(json_list(sentence, true));
        all.push_back(sentence);
        words += sentence.size();
      }
      document_items.push_back(json_list(items, false));
    }
    std::ofstream(dir / "documents.json") << json_list(document_items, false);

    const POSPlan plan(bundle, false);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("%zu documents, %zu sentences, %zu words; batch_size %lld, batch_maximum_tokens %lld\n",
                corpus.documents.size(), all.size(), words, static_cast<long long>(plan.impl().batch_size),
                static_cast<long long>(plan.impl().batch_maximum_tokens));
    const auto rate = [&](double seconds) { return static_cast<double>(words) / seconds; };
    std::vector<int> thread_counts = {1};
    if (many_threads > 1) thread_counts.push_back(many_threads);
    for (const int threads : thread_counts) {
      at::set_num_threads(threads);
      const double single = best_seconds(repeat, [&] {
        for (Document& document : make_documents(corpus)) plan.process(document);
      });
      const double bulk = best_seconds(repeat, [&] { return plan.process_bulk(make_documents(corpus)); });
      const double building = best_seconds(repeat, [&] { return make_documents(corpus); });
      std::printf("\n%d intra-op thread%s (document building, %.1f ms, not subtracted)\n", threads,
                  threads == 1 ? "" : "s", building * 1e3);
      std::printf("  process:      %9.0f words/s\n  process_bulk: %9.0f words/s (%.2fx process)\n", rate(single),
                  rate(bulk), single / bulk);
      const std::string reference = run_python(
          python, {(source / "bench/models/pos_timing.py").string(), bundle.string(),
                   (dir / "documents.json").string(), "--threads", std::to_string(threads), "--repeat", "1"});
      const lorvane::detail::JsonValue timings = lorvane::detail::parse_json(reference);
      const double ref_single = timings.at("single_seconds", "reference").as_number("");
      const double ref_bulk = timings.at("bulk_seconds", "reference").as_number("");
      std::printf("  eager reference: %.0f words/s document by document, %.0f words/s in batches\n",
                  rate(ref_single), rate(ref_bulk));
      std::printf("  ratios: process %.1fx, process_bulk %.1fx (against the same reference path); "
                  "process_bulk against the reference document by document %.1fx\n",
                  ref_single / single, ref_bulk / bulk, ref_single / bulk);
      std::vector<Sentences> per_sentence;
      for (const auto& words : all) per_sentence.push_back({words});
      const std::vector<Sentences> together = {all};
      const struct {
        const char* name;
        const std::vector<Sentences>& groups;
        int repeat;  // one run per sentence on the single-sentence path: its thousand calls average out
      } paths[] = {{"single-sentence (tag)", per_sentence, 1},
                   {"document (process)", corpus.documents, repeat},
                   {"bulk (process_bulk)", together, repeat}};
      for (const auto& path : paths) {
        const Breakdown b = breakdown(plan.impl(), path.groups, path.repeat);
        const double total = b.characters + b.inputs + b.highway + b.heads;
        std::printf("  breakdown of the %s path:\n", path.name);
        const auto share = [&](const char* name, double seconds) {
          std::printf("    %-22s %5.1f%%  (%.1f ms)\n", name, 100.0 * seconds / total, seconds * 1e3);
        };
        share("character LSTM", b.characters);
        share("other input blocks", b.inputs);
        share("highway BiLSTM", b.highway);
        share("heads", b.heads);
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pos_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
