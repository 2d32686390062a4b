// The shared LSTM runner (run_lstm) against libtorch's LSTM on the same
// weights and inputs, timed in the same run: padded (every row runs all T
// steps, no packing) and packed (pack, LSTM, unpack: what the runner must
// equal). Sizes: the tokenizer's levels (input 37, hidden 64, bidirectional),
// a tagger-like layer (input 400, hidden 400, bidirectional) and a character
// language model (input 100, hidden 1024, forward), each at batch 1 and 64
// with mixed lengths, at one intra-op thread and at all of them. At one
// thread the figures are the calling thread's CPU time (the wall time of an
// idle machine); with more threads, wall time.
//
//   lstm_bench [--quick] [--threads N,M,...]   (default: 1 and all)

#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <c10/core/InferenceMode.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "nn/lstm.hpp"
#include "support/bench_support.hpp"

namespace {

using lorvane::bench::best_seconds;
using lorvane::detail::LstmWeights;

struct Shape {
  const char* name;
  std::int64_t input;
  std::int64_t hidden;
  bool bidirectional;
  std::int64_t batch;
  std::int64_t steps;
};

LstmWeights random_weights(const Shape& s) {
  std::vector<at::Tensor> flat;
  for (int d = 0; d < (s.bidirectional ? 2 : 1); ++d) {
    flat.push_back(at::randn({4 * s.hidden, s.input}) * 0.1);
    flat.push_back(at::randn({4 * s.hidden, s.hidden}) * 0.1);
    flat.push_back(at::randn({4 * s.hidden}) * 0.1);
    flat.push_back(at::randn({4 * s.hidden}) * 0.1);
  }
  return LstmWeights(std::move(flat), 1, s.bidirectional);
}

// Lengths between half the steps and all of them, one row at full length.
std::vector<std::int64_t> mixed_lengths(const Shape& s) {
  std::mt19937 rng(5);
  std::vector<std::int64_t> lengths(static_cast<std::size_t>(s.batch));
  for (auto& length : lengths) length = s.steps / 2 + static_cast<std::int64_t>(rng() % static_cast<unsigned>(s.steps / 2 + 1));
  lengths[lengths.size() / 2] = s.steps;
  return lengths;
}

void run_shape(const Shape& s, int runs) {
  c10::InferenceMode guard;
  at::manual_seed(3);
  const LstmWeights weights = random_weights(s);
  const at::Tensor input = at::randn({s.batch, s.steps, s.input});
  const std::vector<std::int64_t> lengths = mixed_lengths(s);
  std::vector<std::int64_t> sorted = lengths;
  std::sort(sorted.rbegin(), sorted.rend());
  const std::int64_t states = weights.directions();
  const at::Tensor h0 = at::zeros({states, s.batch, s.hidden});
  const at::Tensor c0 = at::zeros({states, s.batch, s.hidden});
  const at::Tensor sorted_lengths = at::tensor(sorted, at::kLong);

  const auto time = [&](auto&& fn) {
    fn();  // warm-up: first-call allocations and kernel set-up
    return at::get_num_threads() == 1 ? lorvane::bench::best_thread_cpu_seconds(runs, fn) : best_seconds(runs, fn);
  };
  const double runner = time([&] { return lorvane::detail::run_lstm(weights, input, lengths); });
  const double padded = time([&] {
    return at::lstm(input, {h0, c0}, weights.flat(), true, 1, 0.0, false, s.bidirectional, true);
  });
  const double packed = time([&] {
    auto [data, batch_sizes] = at::_pack_padded_sequence(input, sorted_lengths, true);
    auto result = at::lstm(data, batch_sizes, {h0, c0}, weights.flat(), true, 1, 0.0, false, s.bidirectional);
    return at::_pad_packed_sequence(std::get<0>(result), batch_sizes, true, 0.0, s.steps);
  });
  std::printf("%-34s B=%-3lld T=%-4lld threads=%-2d runner %8.2f ms  padded %8.2f ms (%.2fx)  packed %8.2f ms (%.2fx)\n",
              s.name, static_cast<long long>(s.batch), static_cast<long long>(s.steps), at::get_num_threads(),
              runner * 1e3, padded * 1e3, padded / runner, packed * 1e3, packed / runner);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    bool quick = false;
    std::vector<int> thread_counts = {1, static_cast<int>(std::thread::hardware_concurrency())};
    for (int i = 1; i < argc; ++i) {
      if (std::strcmp(argv[i], "--quick") == 0) {
        quick = true;
      } else if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc) {
        thread_counts.clear();
        for (const std::string& part : lorvane::bench::split_list(argv[++i])) thread_counts.push_back(std::stoi(part));
      } else {
        throw std::runtime_error(std::string("unknown argument: ") + argv[i]);
      }
    }
    const int runs = quick ? 2 : 4;
    const std::vector<Shape> shapes = {
        {"tokenizer level (37 -> 2x64)", 37, 64, true, 1, 400},
        {"tokenizer level (37 -> 2x64)", 37, 64, true, 64, 400},
        {"tagger layer (400 -> 2x400)", 400, 400, true, 1, 40},
        {"tagger layer (400 -> 2x400)", 400, 400, true, 64, 40},
        {"character LM (100 -> 1024)", 100, 1024, false, 1, quick ? 60 : 200},
        {"character LM (100 -> 1024)", 100, 1024, false, 64, quick ? 60 : 200},
    };
    for (const int threads : thread_counts) {
      at::set_num_threads(threads);
      for (const Shape& shape : shapes) run_shape(shape, runs);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "lstm_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
