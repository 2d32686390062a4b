// The batched LSTM runner against libtorch's LSTM run one sequence at a time.

#include <ATen/ATen.h>
#include <c10/core/InferenceMode.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "models/common/lstm.hpp"

namespace lorvane::detail {
namespace {

struct RunnerCase {
  std::int64_t input;
  std::int64_t hidden;
  std::int64_t layers;
  bool bidirectional;
  std::vector<std::int64_t> lengths;
  bool learned_initial;
  at::ScalarType type;
};

LstmWeights random_weights(const RunnerCase& c) {
  std::vector<at::Tensor> flat;
  const auto options = at::TensorOptions().dtype(c.type);
  for (std::int64_t layer = 0; layer < c.layers; ++layer) {
    const std::int64_t in = layer == 0 ? c.input : c.hidden * (c.bidirectional ? 2 : 1);
    for (int d = 0; d < (c.bidirectional ? 2 : 1); ++d) {
      flat.push_back(at::randn({4 * c.hidden, in}, options) * 0.3);
      flat.push_back(at::randn({4 * c.hidden, c.hidden}, options) * 0.3);
      flat.push_back(at::randn({4 * c.hidden}, options) * 0.3);
      flat.push_back(at::randn({4 * c.hidden}, options) * 0.3);
    }
  }
  return LstmWeights(std::move(flat), c.layers, c.bidirectional);
}

TEST(LstmRunner, EqualsLibtorchPerSequence) {
  const std::vector<RunnerCase> cases = {
      {3, 5, 1, false, {4, 7, 1, 7, 2}, false, at::kFloat},
      {6, 4, 2, true, {9, 3, 5}, true, at::kFloat},
      {2, 7, 3, true, {1, 1, 8}, false, at::kDouble},
      {5, 3, 2, false, {6, 2, 6, 4}, true, at::kDouble},
  };
  c10::InferenceMode guard;
  at::manual_seed(7);
  for (const RunnerCase& c : cases) {
    const LstmWeights weights = random_weights(c);
    const std::int64_t states = c.layers * weights.directions();
    const auto batch = static_cast<std::int64_t>(c.lengths.size());
    std::int64_t steps = 0;
    for (std::int64_t length : c.lengths) steps = std::max(steps, length);
    const at::Tensor input = at::randn({batch, steps, c.input}, at::TensorOptions().dtype(c.type));
    LstmState initial;
    if (c.learned_initial) {
      initial = {at::randn({states, 1, c.hidden}, input.options()),
                 at::randn({states, 1, c.hidden}, input.options())};
    }
    const LstmRun run = run_lstm(weights, input, c.lengths, initial);
    const double tolerance = c.type == at::kDouble ? 1e-12 : 1e-5;
    for (std::int64_t b = 0; b < batch; ++b) {
      const std::int64_t length = c.lengths[static_cast<std::size_t>(b)];
      const at::Tensor one = input[b].narrow(0, 0, length).unsqueeze(0);
      const at::Tensor h0 = initial.h.defined() ? initial.h : at::zeros({states, 1, c.hidden}, input.options());
      const at::Tensor c0 = initial.c.defined() ? initial.c : at::zeros({states, 1, c.hidden}, input.options());
      auto [expected, h_n, c_n] = at::lstm(one, {h0, c0}, weights.flat(), true, c.layers, 0.0, false,
                                           c.bidirectional, /*batch_first=*/true);
      EXPECT_TRUE(at::allclose(run.output[b].narrow(0, 0, length), expected[0], tolerance, tolerance));
      EXPECT_TRUE(at::allclose(run.final.h.select(1, b), h_n.select(1, 0), tolerance, tolerance));
      EXPECT_TRUE(at::allclose(run.final.c.select(1, b), c_n.select(1, 0), tolerance, tolerance));
      if (length < steps) EXPECT_EQ(run.output[b].narrow(0, length, steps - length).abs().max().item<double>(), 0.0);
    }
    std::vector<at::Tensor> sequences;
    for (std::int64_t b = 0; b < batch; ++b) {
      sequences.push_back(input[b].narrow(0, 0, c.lengths[static_cast<std::size_t>(b)]));
    }
    const std::vector<at::Tensor> outputs =
        run_lstm_sequences(weights, sequences, initial, LstmBatching{2, 0});
    for (std::int64_t b = 0; b < batch; ++b) {
      EXPECT_TRUE(at::allclose(outputs[static_cast<std::size_t>(b)],
                               run.output[b].narrow(0, 0, c.lengths[static_cast<std::size_t>(b)]),
                               tolerance, tolerance));
    }
  }
}

}  // namespace
}  // namespace lorvane::detail
