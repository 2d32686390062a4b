// The single-root tree decoder against the straightforward one
// (tests/models/depparse_reference_decoding.cpp, which rebuilds the contracted
// matrix at every level) on the same matrices, timed in the same run: thread
// CPU seconds per decode at 250, 500, 1,000, 2,000 and 4,000 words, and the
// ratio. Both must return the same heads; the benchmark stops if they differ.
//
// Three kinds of log-probability matrices (each row normalised over heads,
// the diagonal -inf):
//   hubs    every word prefers the same few heads, as the scorer of a model
//           with random weights does: the greedy graph's cycle absorbs one
//           node per level, so there are about n contraction levels;
//   random  independent scores: few, long cycles;
//   nearby  words prefer heads close to them, as in parsed text.
// The straightforward decoder is skipped where its time, extrapolated from
// the previous size as n^3, would exceed two minutes.
//
//   depparse_decoder_bench

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "models/depparse/spanning_tree.hpp"
#include "models/depparse_reference_decoding.hpp"
#include "support/bench_support.hpp"

namespace {

using lorvane::detail::ScoreMatrix;

constexpr double kMinusInfinity = -std::numeric_limits<double>::infinity();
constexpr double kSkipAboveSeconds = 120.0;

ScoreMatrix matrix(const std::string& kind, std::size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<double> preference(n);
  for (double& value : preference) value = 3.0 * normal(random);
  ScoreMatrix scores(n);
  for (std::size_t i = 0; i < n; ++i) {
    double* row = scores.row(i);
    double largest = kMinusInfinity;
    for (std::size_t j = 0; j < n; ++j) {
      double logit = normal(random);
      if (kind == "hubs") logit += preference[j];
      if (kind == "random") logit *= 2.0;
      if (kind == "nearby") logit -= std::fabs(static_cast<double>(i) - static_cast<double>(j)) / 3.0;
      row[j] = i == j ? kMinusInfinity : logit;
      largest = std::max(largest, row[j]);
    }
    double total = 0.0;
    for (std::size_t j = 0; j < n; ++j) total += std::exp(row[j] - largest);
    for (std::size_t j = 0; j < n; ++j) row[j] -= largest + std::log(total);
  }
  return scores;
}

int run() {
  std::printf("thread CPU seconds per decode (best of 3 below 1,000 words, else 1)\n");
  std::printf("%-7s %6s %12s %16s %9s\n", "kind", "words", "decoder", "straightforward", "ratio");
  for (const std::string kind : {"hubs", "random", "nearby"}) {
    double previous = 0.0;
    std::size_t previous_n = 0;
    for (const std::size_t words : {250, 500, 1000, 2000, 4000}) {
      const ScoreMatrix scores = matrix(kind, words + 1, static_cast<unsigned>(words));
      const int runs = words < 1000 ? 3 : 1;
      std::vector<std::size_t> heads;
      const double ours = lorvane::bench::best_thread_cpu_seconds(runs, [&] {
        heads = lorvane::detail::decode_single_root(scores);
        return heads.size();
      });
      const double ratio = previous_n == 0 ? 0.0 : static_cast<double>(words) / static_cast<double>(previous_n);
      const double expected = previous * ratio * ratio * ratio;
      if (previous_n != 0 && expected > kSkipAboveSeconds) {
        std::printf("%-7s %6zu %12.4f %16s %9s\n", kind.c_str(), words, ours,
                    ("skipped (~" + std::to_string(static_cast<int>(expected)) + " s)").c_str(), "");
        previous = expected;
        previous_n = words;
        continue;
      }
      std::vector<std::size_t> expected_heads;
      const double straightforward = lorvane::bench::best_thread_cpu_seconds(runs, [&] {
        expected_heads = lorvane::reference_decoding::decode_single_root(scores);
        return expected_heads.size();
      });
      if (heads != expected_heads) throw std::runtime_error("the decoders disagree on " + kind + " " + std::to_string(words));
      std::printf("%-7s %6zu %12.4f %16.4f %8.1fx\n", kind.c_str(), words, ours, straightforward, straightforward / ours);
      previous = straightforward;
      previous_n = words;
    }
  }
  return 0;
}

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  try {
    return run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "depparse_decoder_bench: %s\n", e.what());
    return 1;
  }
}
