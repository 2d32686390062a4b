// The dependency parser's scorers and decoder against the eager PyTorch
// reference on the same inputs, timed in the same run: batched scoring of 400
// sentences of 5-60 words plus two of 300 and 1,000 words (encoder width 800,
// deep biaffine 400, 40 relation classes) with one and all intra-op threads;
// the 1,000-word sentence alone; peak resident memory growth of both; words
// per second of the single-root decoder from 10 to 1,000 words against the
// reference decoder; and where the time of the labelled parse goes (copy to
// doubles, decoding, head repairs).
//
//   depparse_scoring_bench [python]
//   depparse_scoring_bench --peak bulk|long BUNDLE   (internal: one fresh process per peak)

#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <c10/core/InferenceMode.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bundle/json.hpp"
#include "lorvane/bundle.hpp"
#include "lorvane/errors.hpp"
#include "models/depparse/head_constraints.hpp"
#include "models/depparse/scoring.hpp"
#include "models/depparse/spanning_tree.hpp"
#include "nn/model_tensors.hpp"
#include "support/bench_support.hpp"

namespace {

using namespace lorvane;
using namespace lorvane::detail;
using bench::best_seconds;

constexpr std::int64_t kBatchSize = 5000;

struct Inputs {
  explicit Inputs(const std::filesystem::path& bundle_dir)
      : bundle(bundle_dir, false), tensors(bundle, &raise<DepparseModelError>, "missing depparse tensor: '") {
    const JsonValue config = parse_json(bundle.assets_json()).at("config", "");
    const auto lookup = [&](const std::string& name) -> const at::Tensor& { return tensors.require(name); };
    scorers = {DeepBiaffineWeights::named("unlabeled", lookup), DeepBiaffineWeights::named("deprel", lookup),
               DeepBiaffineWeights::named("linearization", lookup), DeepBiaffineWeights::named("distance", lookup)};
    for (std::int64_t i = 0; i < config.at("sentences", "").as_integer(""); ++i) {
      encoded.push_back(tensors.require("x" + std::to_string(i)).clone());
      words.push_back(static_cast<std::size_t>(encoded.back().size(1) - 1));
    }
    for (const auto& [n, count] : config.at("decode_sizes", "").as_object("")) {
      auto& list = matrices[std::stoul(n)];
      for (std::int64_t k = 0; k < count.as_integer(""); ++k) {
        const at::Tensor m = tensors.require("m" + n + "_" + std::to_string(k));
        ScoreMatrix matrix(static_cast<std::size_t>(m.size(0)));
        std::copy(m.data_ptr<double>(), m.data_ptr<double>() + m.numel(), matrix.data());
        list.push_back(std::move(matrix));
      }
    }
  }
  std::size_t total_words() const {
    std::size_t total = 0;
    for (const std::size_t n : words) total += n;
    return total;
  }

  ModelBundle bundle;
  ModelTensors tensors;
  ArcScorers scorers;
  std::vector<at::Tensor> encoded;
  std::vector<std::size_t> words;
  std::map<std::size_t, std::vector<ScoreMatrix>> matrices;
};

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

// Peak resident growth while scoring all sentences, or the longest alone.
int measure_peak(const std::string& which, const std::filesystem::path& bundle_dir) {
  at::set_num_threads(1);
  Inputs in(bundle_dir);
  c10::InferenceMode guard;
  std::vector<at::Tensor> encoded = in.encoded;
  std::vector<std::size_t> words = in.words;
  if (which == "long") {
    encoded = {encoded.back()};
    words = {words.back()};
  }
  const long long before = resident_bytes();
  const auto scores = score_encoded_many(in.scorers, encoded, words, kBatchSize);
  std::printf("%lld\n", peak_bytes() - before);
  return 0;
}

double mb(long long bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

// 40 relation names, subjects and objects among them, for the repairs.
std::vector<std::string> relation_units() {
  std::vector<std::string> units = {"<PAD>", "<UNK>", "<EMPTY>", "<ROOT>", "nsubj", "obj", "csubj", "nsubj:pass",
                                    "nsubj:outer"};
  while (units.size() < 44) units.push_back("rel" + std::to_string(units.size()));
  return units;
}

void report_parse_breakdown(const Inputs& in, const std::vector<ArcScores>& scores) {
  const std::vector<std::string> units = relation_units();
  double copy = 0, decode = 0, repair = 0;
  for (const ArcScores& s : scores) {
    const at::Tensor arcs = s.first.squeeze(0);
    const at::Tensor rels = s.second.squeeze(0);
    const auto n = static_cast<std::size_t>(arcs.size(0));
    ScoreMatrix matrix(n);
    RelationScores relations{n, static_cast<std::size_t>(rels.size(2)), {}};
    copy += best_seconds(1, [&] {
      at::from_blob(matrix.data(), arcs.sizes(), at::kDouble).copy_(arcs);
      relations.cells.resize(static_cast<std::size_t>(rels.numel()));
      at::from_blob(relations.cells.data(), rels.sizes(), at::kDouble).copy_(rels);
    });
    std::vector<std::size_t> heads;
    decode += best_seconds(1, [&] { heads = decode_single_root(matrix); });
    repair += best_seconds(1, [&] {
      return resolve_head_constraints(matrix, relations, std::vector<std::int64_t>(heads.begin(), heads.end()), units);
    });
  }
  const double words = static_cast<double>(in.total_words());
  std::printf("labelled parse of all sentences (%.0f words): copy to doubles %.3f s, decoding %.3f s, repairs %.3f s"
              " (%.0f words/s overall)\n",
              words, copy, decode, repair, words / (copy + decode + repair));
}

int run(const std::string& python) {
  bench::TempDir dir("depparse-scoring-bench");
  const std::string script = (bench::source_dir() / "bench/models/depparse_scoring_timing.py").string();
  bench::run_python(python, {script, "data", dir.path().string()});
  Inputs in(dir / "bundle");
  const double words = static_cast<double>(in.total_words());
  const int all = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  std::printf("scoring %zu sentences, %.0f words (batch_size %lld); longest %zu words\n", in.words.size(), words,
              static_cast<long long>(kBatchSize), in.words.back());

  std::vector<ArcScores> scores;
  for (const int threads : {1, all}) {
    const JsonValue eager = parse_json(bench::run_python(python, {script, "time", std::to_string(threads)}));
    at::set_num_threads(threads);
    c10::InferenceMode guard;
    const double many = best_seconds(2, [&] { return score_encoded_many(in.scorers, in.encoded, in.words, kBatchSize); });
    const double alone = best_seconds(2, [&] { return score_encoded(in.scorers, in.encoded.back(), nullptr); });
    const double eager_many = eager.at("many", "").as_number("");
    const double eager_long = eager.at("long", "").as_number("");
    std::printf("threads %d: batched scoring %.3f s (%.0f words/s) vs eager %.3f s: %.2fx; 1,000 words alone %.3f s vs "
                "eager %.3f s: %.2fx\n",
                threads, many, words / many, eager_many, eager_many / many, alone, eager_long, eager_long / alone);
    if (threads == 1) {
      scores = score_encoded_many(in.scorers, in.encoded, in.words, kBatchSize);
      for (const auto& [n, list] : in.matrices) {
        const double seconds = best_seconds(3, [&] {
          for (const ScoreMatrix& m : list) decode_single_root(m);
        }) / static_cast<double>(list.size());
        const JsonValue* reference = eager.at("decode", "").find(std::to_string(n));
        std::printf("decoding %4zu words: %10.0f words/s", n, static_cast<double>(n) / seconds);
        if (reference != nullptr) std::printf(" vs reference decoder: %.1fx", reference->as_number("") / seconds);
        std::printf("\n");
      }
    }
  }
  at::set_num_threads(1);
  report_parse_breakdown(in, scores);
  scores.clear();

  for (const std::string which : {"bulk", "long"}) {
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const long long ours = std::stoll(bench::run_command(bench::shell_quote(self) + " --peak " + which + " " +
                                                         bench::shell_quote((dir / "bundle").string())));
    const long long eager = std::stoll(bench::run_python(python, {script, "peak", which}));
    std::printf("peak resident growth, %s: %.1f MB vs eager %.1f MB (%.2fx less)\n",
                which == "bulk" ? "all sentences" : "1,000 words alone", mb(ours), mb(eager),
                static_cast<double>(eager) / static_cast<double>(std::max(ours, 1LL)));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc == 4 && std::string(argv[1]) == "--peak") return measure_peak(argv[2], argv[3]);
    return run(argc > 1 ? argv[1] : bench::default_python());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "depparse_scoring_bench: %s\n", e.what());
    return 1;
  }
}
