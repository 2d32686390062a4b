// The dependency parser against the eager PyTorch reference on the same
// bundle and sentences, timed in the same run: words per second of `process`
// (sentence by sentence) and `process_bulk` (batched) over 1,000 sentences of
// 5-60 words plus three of 200, 500 and 1,000 words (hidden 400, 3 layers,
// deep biaffine 400, 40 relations, character LSTM), with one and all
// intra-op threads (all threads on the first 200 sentences and the long ones,
// since many threads on small tensors are slow on a busy machine); the
// 1,000-word sentence alone; where the time of the bulk
// parse goes (encoder, scorers, spanning tree, relation rows with labels and
// repairs); and
// the peak resident growth of both for all sentences and for the longest
// alone. The all-threads rates come last.
//
//   depparse_bench [python]
//   depparse_bench --peak all|long DIR   (internal: one fresh process per peak)

#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <c10/core/InferenceMode.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bundle/json.hpp"
#include "lorvane/depparse.hpp"
#include "lorvane/document.hpp"
#include "models/depparse/head_constraints.hpp"
#include "models/depparse/plan_impl.hpp"
#include "models/depparse/spanning_tree.hpp"
#include "support/bench_support.hpp"

namespace lorvane {
namespace {

using bench::best_seconds;
using Sentences = DepparsePlan::Impl::Sentences;

constexpr std::size_t kSentencesPerDocument = 20;

Sentences read_sentences(const std::filesystem::path& path) {
  const detail::JsonValue json = detail::load_json(path);
  Sentences sentences;
  for (const detail::JsonValue& words : json.as_array("")) {
    std::vector<DepparseWord>& row = sentences.emplace_back();
    for (const detail::JsonValue& word : words.as_array("")) {
      row.push_back({word.at("text", "").as_string(""), word.at("lemma", "").as_string(""),
                     word.at("upos", "").as_string(""), word.at("xpos", "").as_string(""), std::nullopt});
    }
  }
  return sentences;
}

Document document(Sentences::const_iterator first, Sentences::const_iterator last) {
  std::vector<SentenceInput> input;
  for (auto sentence = first; sentence != last; ++sentence) {
    SentenceInput& record = input.emplace_back();
    for (std::size_t i = 0; i < sentence->size(); ++i) {
      const DepparseWord& word = (*sentence)[i];
      TokenInput& token = record.tokens.emplace_back();
      token.id_start = token.id_end = static_cast<int>(i) + 1;
      token.text = word.text;
      WordInput& w = token.words.emplace_back();
      w.id = token.id_start;
      w.text = word.text;
      w.lemma = word.lemma;
      w.upos = word.upos;
      w.xpos = word.xpos;
    }
  }
  return Document("", std::move(input));
}

// The first `count` sentences (all but the three long ones at most) in
// documents of 20 sentences, then the long ones in a document of their own.
std::vector<Document> documents(const Sentences& sentences, std::size_t count) {
  std::vector<Document> docs;
  const auto long_ones = sentences.end() - 3;
  const auto end = sentences.begin() + static_cast<std::ptrdiff_t>(std::min(count, sentences.size() - 3));
  for (auto first = sentences.begin(); first < end; first += static_cast<std::ptrdiff_t>(kSentencesPerDocument)) {
    docs.push_back(document(first, std::min(first + static_cast<std::ptrdiff_t>(kSentencesPerDocument), end)));
  }
  docs.push_back(document(long_ones, sentences.end()));
  return docs;
}

long long resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  long long pages = 0;
  statm >> pages >> pages;
  return pages * sysconf(_SC_PAGESIZE);
}

long long peak_bytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss * 1024LL;
}

double mb(long long bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

// Peak resident growth while parsing all documents in bulk, or the longest sentence alone.
int measure_peak(const std::string& which, const std::filesystem::path& dir) {
  at::set_num_threads(1);
  const DepparsePlan plan(dir / "bundle", false);
  const Sentences sentences = read_sentences(dir / "sentences.json");
  std::vector<Document> docs = documents(sentences, sentences.size());
  const long long before = resident_bytes();
  if (which == "all") {
    docs = plan.process_bulk(std::move(docs));
  } else {
    plan.parse(sentences.back());
  }
  std::printf("%lld\n", peak_bytes() - before);
  return 0;
}

// The bulk parse step by step, each step timed once.
void report_breakdown(const DepparsePlan::Impl& impl, const Sentences& sentences, double words) {
  c10::InferenceMode guard;
  std::vector<at::Tensor> encoded;
  const double encoder = best_seconds(1, [&] { encoded = impl.encode_many(sentences, {}, {}); });
  std::vector<std::size_t> word_counts;
  for (const auto& sentence : sentences) word_counts.push_back(sentence.size());
  std::vector<detail::SentenceScores> scores;
  const double scorers = best_seconds(1, [&] {
    scores = detail::score_sentences(impl.scorers, encoded, word_counts, impl.batch_size);
  });
  encoded.clear();
  double tree = 0;
  double repairs = 0;
  for (detail::SentenceScores& score : scores) {
    const auto n = static_cast<std::size_t>(score.arcs.size(0));
    const detail::ArcScoreView arcs = detail::ArcScoreView(score.arcs.data_ptr<float>(), n).with_columns();
    const detail::RelationRows relations(impl.scorers.deprel, score.dependents, score.heads);
    std::vector<std::size_t> heads;
    tree += best_seconds(1, [&] { heads = detail::decode_single_root(arcs); });
    repairs += best_seconds(1, [&] {
      return detail::resolve_head_constraints(arcs, relations, std::vector<std::int64_t>(heads.begin(), heads.end()),
                                              impl.deprel_units);
    });
    score = {};
  }
  const double total = encoder + scorers + tree + repairs;
  std::printf("bulk parse, 1 thread, step by step: %.3f s (%.0f words/s): encoder %.3f s (%.0f%%), scorers %.3f s "
              "(%.0f%%), spanning tree %.3f s (%.0f%%), relation rows, labels and repairs %.3f s (%.0f%%)\n",
              total, words / total, encoder, 100 * encoder / total, scorers, 100 * scorers / total, tree,
              100 * tree / total, repairs, 100 * repairs / total);
}

int run(const std::string& python) {
  bench::TempDir dir("depparse-bench");
  const std::string script = (bench::source_dir() / "bench/models/depparse_timing.py").string();
  bench::run_python(python, {script, "data", dir.path().string()});
  const DepparsePlan plan(dir / "bundle", false);
  const Sentences sentences = read_sentences(dir / "sentences.json");
  const int all = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  std::printf("%zu sentences (batch_size %lld); longest %zu words\n", sentences.size(),
              static_cast<long long>(plan.impl().batch_size), sentences.back().size());

  const auto rates = [&](int threads) {
    const std::size_t count = threads == 1 ? sentences.size() : 200;
    const std::vector<Document> docs = documents(sentences, count);
    double words = 0;
    for (std::size_t i = 0; i < sentences.size(); ++i) {
      if (i < count || i + 3 >= sentences.size()) words += static_cast<double>(sentences[i].size());
    }
    const detail::JsonValue eager = detail::parse_json(bench::run_python(
        python, {script, "time", dir.path().string(), std::to_string(threads), std::to_string(count)}));
    const double eager_all = eager.at("all", "").as_number("");
    const double eager_long = eager.at("long", "").as_number("");
    at::set_num_threads(threads);
    const double single = best_seconds(1, [&] {
      for (const Document& doc : docs) plan.process(doc);
    });
    const double bulk = best_seconds(1, [&] { return plan.process_bulk(docs); });
    const double alone = best_seconds(1, [&] { return plan.parse(sentences.back()); });
    std::printf("threads %d, %zu documents, %.0f words: process %.0f words/s (%.2fx eager), process_bulk %.0f words/s (%.2fx eager), eager "
                "%.0f words/s; 1,000 words alone %.3f s vs eager %.3f s (%.2fx)\n",
                threads, docs.size(), words, words / single, eager_all / single, words / bulk, eager_all / bulk, words / eager_all, alone,
                eager_long, eager_long / alone);
  };
  rates(1);
  at::set_num_threads(1);
  double words = 0;
  for (const auto& sentence : sentences) words += static_cast<double>(sentence.size());
  report_breakdown(plan.impl(), sentences, words);

  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  for (const std::string which : {"all", "long"}) {
    const long long ours = std::stoll(
        bench::run_command(bench::shell_quote(self) + " --peak " + which + " " + bench::shell_quote(dir.path().string())));
    const long long eager = std::stoll(bench::run_python(python, {script, "peak", dir.path().string(), which}));
    std::printf("peak resident growth, %s: %.1f MB vs eager %.1f MB\n",
                which == "all" ? "process_bulk of all documents" : "the 1,000-word sentence alone", mb(ours), mb(eager));
  }
  // Last: many threads on small tensors can be very slow on a busy machine.
  if (all > 1) rates(all);
  return 0;
}

}  // namespace
}  // namespace lorvane

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  try {
    if (argc == 4 && std::string(argv[1]) == "--peak") return lorvane::measure_peak(argv[2], argv[3]);
    return lorvane::run(argc > 1 ? argv[1] : lorvane::bench::default_python());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "depparse_bench: %s\n", e.what());
    return 1;
  }
}
