// Throughput of the constituency parser (sentences and words per second) on
// a bundle of realistic size (hidden 256, transition hidden 128, two LSTM
// layers, 38 transitions, 2,000 delta words, 5,000 pretrained words) with
// seeded random weights, against the eager PyTorch reference parser on the
// same bundle and sentences, timed in the same run; the reference is timed
// with libtorch's default CPU kernels and with oneDNN switched off. Also
// reports where the time goes (word encoder, scorer, transition choice,
// composition and trees, stack LSTM steps) and parse() one sentence at a
// time against parse_many.
//
//   constituency_bench [python] [--sentences N] [--threads T] [--repeat R]

#include <ATen/Parallel.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <random>
#include <string>
#include <vector>

#include "lorvane/constituency.hpp"
#include "models/constituency/parsing.hpp"
#include "support/bench_support.hpp"

namespace {

using lorvane::ConstituencyPlan;
using lorvane::bench::best_seconds;
using lorvane::bench::run_python;
using Strings = std::vector<std::string>;

const Strings kLabels = {"ROOT", "S",    "NP", "VP",  "PP",    "ADJP", "ADVP",   "SBAR", "WHNP",
                         "PRN",  "QP",   "NX", "UCP", "SINV",  "SQ",   "FRAG",   "X",    "INTJ",
                         "CONJP", "LST", "WHADVP", "WHPP", "PRT", "RRC", "NAC", "WHADJP"};

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

std::string list(const Strings& items) {
  std::string out = "[";
  for (const std::string& item : items) out += (out.size() > 1 ? ", " : "") + quoted(item);
  return out + "]";
}

std::string bundle_options() {
  std::string transitions = R"([{"kind": "shift"}, {"kind": "close"})";
  for (std::size_t i = 0; i < kLabels.size(); ++i) {
    transitions += R"(, {"kind": "open", "open_index": )" + std::to_string(i) + R"(, "labels": [)" +
                   quoted(kLabels[i]) + "]}";
  }
  const std::vector<std::pair<std::string, std::string>> chains = {
      {"S", "VP"}, {"NP", "NP"}, {"ROOT", "S"}, {"SBAR", "S"}, {"VP", "VP"},
      {"PP", "NP"}, {"ADJP", "NP"}, {"S", "NP"}, {"NP", "QP"}, {"ROOT", "FRAG"}};
  for (std::size_t i = 0; i < chains.size(); ++i) {
    transitions += R"(, {"kind": "open", "open_index": )" + std::to_string(kLabels.size() + i) + R"(, "labels": [)" +
                   quoted(chains[i].first) + ", " + quoted(chains[i].second) + "]}";
  }
  transitions += "]";
  Strings tags, delta;
  for (int i = 0; i < 45; ++i) tags.push_back("T" + std::to_string(i));
  for (int i = 0; i < 2000; ++i) delta.push_back("w" + std::to_string(i));
  std::string pretrained = R"({"<PAD>": 0, "<UNK>": 1)";
  for (int i = 0; i < 5000; ++i) pretrained += ", " + quoted("w" + std::to_string(i)) + ": " + std::to_string(i + 2);
  pretrained += "}";
  return R"({"config": {"hidden_size": 256, "transition_hidden_size": 128, "tag_embedding_dim": 20,
             "transition_embedding_dim": 20, "delta_embedding_dim": 100, "num_lstm_layers": 2, "num_output_layers": 3},
             "assets": {"transitions": )" + transitions + R"(, "tags": )" + list(tags) + R"(, "delta_words": )" +
         list(delta) + R"(, "pretrain_vocab": {"_unit2id": )" + pretrained +
         R"(}}, "output_widths": [256, 128], "pretrain_dim": 100, "scale": 0.05, "seed": 3})";
}

// Sentences of 5 to 40 words, some words outside both vocabularies.
void make_sentences(std::size_t count, std::vector<Strings>& words, std::vector<Strings>& tags) {
  std::mt19937 random(11);
  for (std::size_t s = 0; s < count; ++s) {
    const std::size_t length = 5 + random() % 36;
    Strings sentence_words, sentence_tags;
    for (std::size_t i = 0; i < length; ++i) {
      sentence_words.push_back("w" + std::to_string(random() % 6000));
      sentence_tags.push_back("T" + std::to_string(random() % 45));
    }
    words.push_back(std::move(sentence_words));
    tags.push_back(std::move(sentence_tags));
  }
}

std::string sentences_json(const std::vector<Strings>& words, const std::vector<Strings>& tags) {
  std::string out = "[";
  for (std::size_t s = 0; s < words.size(); ++s) {
    out += (s ? ", " : "") + std::string(R"({"words": )") + list(words[s]) + R"(, "tags": )" + list(tags[s]) + "}";
  }
  return out + "]";
}

void write(const std::filesystem::path& path, const std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr || std::fwrite(text.data(), 1, text.size(), file) != text.size()) {
    throw std::runtime_error("cannot write " + path.string());
  }
  std::fclose(file);
}

int run(int argc, char** argv) {
  std::string python = lorvane::bench::default_python();
  std::size_t count = 32;
  int threads = 1;
  int repeat = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--sentences" && i + 1 < argc) {
      count = std::stoul(argv[++i]);
    } else if (arg == "--threads" && i + 1 < argc) {
      threads = std::stoi(argv[++i]);
    } else if (arg == "--repeat" && i + 1 < argc) {
      repeat = std::stoi(argv[++i]);
    } else {
      python = arg;
    }
  }
  at::set_num_threads(threads);
  const lorvane::bench::TempDir dir("constituency-bench");
  const auto source = lorvane::bench::source_dir();
  run_python(python, {(source / "tests/fixtures/constituency_bundle.py").string(), (dir / "bundle").string(),
                      "--options", bundle_options()});
  std::vector<Strings> words, tags;
  make_sentences(count, words, tags);
  write(dir / "sentences.json", sentences_json(words, tags));
  std::size_t word_count = 0;
  for (const Strings& sentence : words) word_count += sentence.size();

  const ConstituencyPlan plan(dir / "bundle", false);
  const double many = best_seconds(repeat, [&] { return plan.parse_many(words, tags); });
  const double single = best_seconds(repeat, [&] {
    for (std::size_t s = 0; s < words.size(); ++s) plan.parse(words[s], tags[s]);
  });
  lorvane::detail::constituency::ParseTimings timings;
  std::size_t transitions = 0;
  {
    const auto impl = lorvane::detail::load_constituency_plan(dir / "bundle", false);
    std::vector<lorvane::detail::constituency::SentenceRef> refs;
    for (std::size_t s = 0; s < words.size(); ++s) refs.push_back({&words[s], &tags[s]});
    for (const auto& outcome : lorvane::detail::constituency::parse_sentences(*impl, refs, true, &timings)) {
      transitions += outcome.transitions.size();
    }
  }
  const auto reference = [&](bool mkldnn) {
    Strings args = {(source / "tests/reference/constituency_reference.py").string(), "--time",
                    (dir / "bundle").string(), (dir / "sentences.json").string(), "--repeat", "1",
                    "--threads", std::to_string(threads)};
    if (!mkldnn) args.push_back("--no-mkldnn");
    return lorvane::bench::printed_seconds(run_python(python, args));
  };
  const double eager = reference(true);
  const double eager_plain = reference(false);

  const double n = static_cast<double>(words.size());
  const double w = static_cast<double>(word_count);
  std::printf("constituency parser: %zu sentences, %zu words, %zu transitions, %d intra-op thread(s)\n",
              words.size(), word_count, transitions, threads);
  std::printf("  parse_many            %8.1f sentences/s %9.0f words/s\n", n / many, w / many);
  std::printf("  parse, one by one     %8.1f sentences/s %9.0f words/s  (parse_many %.2fx)\n", n / single,
              w / single, single / many);
  std::printf("  eager reference       %8.1f sentences/s %9.0f words/s  (parse_many %.1fx, parse %.1fx)\n",
              n / eager, w / eager, eager / many, eager / single);
  std::printf("  eager without oneDNN  %8.1f sentences/s %9.0f words/s  (parse_many %.1fx, parse %.1fx)\n",
              n / eager_plain, w / eager_plain, eager_plain / many, eager_plain / single);
  const double total = timings.word_encoder + timings.scorer + timings.choice + timings.composition +
                       timings.stack_steps;
  std::printf("  parse_many time: word encoder %.0f%%, scorer %.0f%%, choice %.0f%%, composition and trees %.0f%%, "
              "stack LSTM steps %.0f%%\n",
              100 * timings.word_encoder / total, 100 * timings.scorer / total, 100 * timings.choice / total,
              100 * timings.composition / total, 100 * timings.stack_steps / total);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "constituency_bench: %s\n", error.what());
    return 1;
  }
}
