// The shared model blocks: the batched LSTM runner against libtorch's LSTM
// run one sequence at a time, the configuration and vocabulary readers'
// messages, and the batch cutting rule.

#include <ATen/ATen.h>
#include <c10/core/InferenceMode.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bundle/json.hpp"
#include "nn/batching.hpp"
#include "nn/config.hpp"
#include "nn/lstm.hpp"
#include "nn/vocabulary.hpp"
#include "support/test_support.hpp"

namespace lorvane::detail {
namespace {

enum class Initial { kZeros, kShared, kPerRow };

struct RunnerCase {
  std::int64_t input;
  std::int64_t hidden;
  std::int64_t layers;
  bool bidirectional;
  std::vector<std::int64_t> lengths;  // any order
  Initial initial;
  at::ScalarType type;
};

std::string describe(const RunnerCase& c) {
  return "I=" + std::to_string(c.input) + " H=" + std::to_string(c.hidden) + " L=" + std::to_string(c.layers) +
         (c.bidirectional ? " bidirectional" : " forward") + " B=" + std::to_string(c.lengths.size()) +
         " initial=" + std::to_string(static_cast<int>(c.initial)) + (c.type == at::kDouble ? " double" : " float");
}

LstmWeights random_weights(const RunnerCase& c) {
  std::vector<at::Tensor> flat;
  const auto options = at::TensorOptions().dtype(c.type);
  // The usual initialisation scale keeps pre-activations near 1 whatever the
  // hidden size, as in trained models.
  const double scale = 1.0 / std::sqrt(static_cast<double>(c.hidden));
  for (std::int64_t layer = 0; layer < c.layers; ++layer) {
    const std::int64_t in = layer == 0 ? c.input : c.hidden * (c.bidirectional ? 2 : 1);
    for (int d = 0; d < (c.bidirectional ? 2 : 1); ++d) {
      flat.push_back(at::randn({4 * c.hidden, in}, options) * scale);
      flat.push_back(at::randn({4 * c.hidden, c.hidden}, options) * scale);
      flat.push_back(at::randn({4 * c.hidden}, options) * scale);
      flat.push_back(at::randn({4 * c.hidden}, options) * scale);
    }
  }
  return LstmWeights(std::move(flat), c.layers, c.bidirectional);
}

// Random shapes (every dimension distinct), batches of 1, 64 and a few
// rows, lengths in any order with repeats, all three kinds of initial state,
// both types; plus shapes whose steps are large enough for the row-parallel
// and the vectorised gate paths, hidden sizes off the 8-lane width, and
// sequences of 300 steps.
std::vector<RunnerCase> runner_cases() {
  std::mt19937 rng(29);
  const auto pick = [&](std::int64_t low, std::int64_t high) {
    return low + static_cast<std::int64_t>(rng() % static_cast<unsigned>(high - low + 1));
  };
  std::vector<RunnerCase> cases;
  for (int k = 0; k < 24; ++k) {
    RunnerCase c;
    c.input = pick(1, 9);
    do c.hidden = pick(1, 19); while (c.hidden == c.input);
    c.layers = pick(1, 3);
    c.bidirectional = k % 2 == 0;
    const std::int64_t batch = k % 3 == 0 ? 1 : (k % 3 == 1 ? 64 : pick(2, 7));
    const std::int64_t steps = pick(1, 13);
    for (std::int64_t b = 0; b < batch; ++b) c.lengths.push_back(pick(1, steps));
    c.initial = static_cast<Initial>(k % 3);
    c.type = (k / 3) % 2 == 0 ? at::kFloat : at::kDouble;
    cases.push_back(c);
  }
  cases.push_back({33, 260, 2, true, std::vector<std::int64_t>(64, 3), Initial::kPerRow, at::kFloat});
  cases.push_back({17, 258, 1, true, {5, 1, 4, 5, 2, 3, 5, 1}, Initial::kShared, at::kDouble});
  cases.back().lengths.resize(64, 4);
  // Sequences long enough for float32 rounding to accumulate.
  cases.push_back({7, 11, 2, true, {300, 120, 299}, Initial::kPerRow, at::kFloat});
  return cases;
}

TEST(LstmRunner, EqualsLibtorchPerSequence) {
  c10::InferenceMode guard;
  at::manual_seed(7);
  for (const RunnerCase& c : runner_cases()) {
    SCOPED_TRACE(describe(c));
    const LstmWeights weights = random_weights(c);
    const std::int64_t states = c.layers * weights.directions();
    const auto batch = static_cast<std::int64_t>(c.lengths.size());
    const std::int64_t steps = *std::max_element(c.lengths.begin(), c.lengths.end());
    const auto options = at::TensorOptions().dtype(c.type);
    const at::Tensor input = at::randn({batch, steps, c.input}, options);
    LstmState initial;
    if (c.initial != Initial::kZeros) {
      const std::int64_t rows = c.initial == Initial::kShared ? 1 : batch;
      initial = {at::randn({states, rows, c.hidden}, options), at::randn({states, rows, c.hidden}, options)};
    }
    const LstmRun run = run_lstm(weights, input, c.lengths, initial);
    ASSERT_EQ(run.output.sizes(), (std::vector<std::int64_t>{batch, steps, weights.directions() * c.hidden}));
    // libtorch's LSTM over each sequence alone (output, h_n, c_n), and how far
    // its float32 results lie from the same LSTM's in float64 on the same
    // inputs and weights.
    std::vector<std::tuple<at::Tensor, at::Tensor, at::Tensor>> expected;
    double float64_gap = 0.0;
    for (std::int64_t b = 0; b < batch; ++b) {
      const at::Tensor one = input[b].narrow(0, 0, c.lengths[static_cast<std::size_t>(b)]).unsqueeze(0);
      const auto row_state = [&](const at::Tensor& state) {
        if (!state.defined()) return at::zeros({states, 1, c.hidden}, options);
        return state.size(1) == 1 ? state : state.narrow(1, b, 1).contiguous();
      };
      const auto libtorch_lstm = [&](at::ScalarType type) {
        std::vector<at::Tensor> flat;
        for (const at::Tensor& w : weights.flat()) flat.push_back(w.to(type));
        return at::lstm(one.to(type), {row_state(initial.h).to(type), row_state(initial.c).to(type)}, flat, true,
                        c.layers, 0.0, false, c.bidirectional, /*batch_first=*/true);
      };
      expected.push_back(libtorch_lstm(c.type));
      if (c.type == at::kFloat) {
        const auto exact = libtorch_lstm(at::kDouble);
        for (const auto& [ours, twin] : {std::pair{std::get<0>(expected.back()), std::get<0>(exact)},
                                         std::pair{std::get<1>(expected.back()), std::get<1>(exact)},
                                         std::pair{std::get<2>(expected.back()), std::get<2>(exact)}}) {
          float64_gap = std::max(float64_gap, (ours.to(at::kDouble) - twin).abs().max().item<double>());
        }
      }
    }
    // Float64 leaves room for rounding only; our float32 kernels stray from
    // the exact values by about as much as libtorch's.
    const double tolerance = c.type == at::kDouble ? 1e-12 : testing::float32_tolerance(float64_gap);
    for (std::int64_t b = 0; b < batch; ++b) {
      const std::int64_t length = c.lengths[static_cast<std::size_t>(b)];
      const auto& [output, h_n, c_n] = expected[static_cast<std::size_t>(b)];
      EXPECT_TRUE(at::allclose(run.output[b].narrow(0, 0, length), output[0], 0.0, tolerance)) << b;
      EXPECT_TRUE(at::allclose(run.final.h.select(1, b), h_n.select(1, 0), 0.0, tolerance)) << b;
      EXPECT_TRUE(at::allclose(run.final.c.select(1, b), c_n.select(1, 0), 0.0, tolerance)) << b;
      if (length < steps) {
        EXPECT_EQ(run.output[b].narrow(0, length, steps - length).abs().max().item<double>(), 0.0);
      }
    }
    // The top layer at chosen positions, in an order of their own.
    std::vector<LstmStep> positions;
    for (std::int64_t b = batch - 1; b >= 0; b -= 3) {
      for (std::int64_t t = 0; t < c.lengths[static_cast<std::size_t>(b)]; t += 2) positions.push_back({b, t});
    }
    const at::Tensor picked = run_lstm_at(weights, input, c.lengths, positions, initial);
    ASSERT_EQ(picked.size(0), static_cast<std::int64_t>(positions.size()));
    for (std::size_t i = 0; i < positions.size(); ++i) {
      EXPECT_TRUE(at::allclose(picked[static_cast<std::int64_t>(i)], run.output[positions[i].row][positions[i].step],
                               0.0, tolerance));
    }
    if (c.initial == Initial::kPerRow) continue;  // run_lstm_sequences takes shared states only
    std::vector<at::Tensor> sequences;
    for (std::int64_t b = 0; b < batch; ++b) {
      sequences.push_back(input[b].narrow(0, 0, c.lengths[static_cast<std::size_t>(b)]));
    }
    const std::vector<at::Tensor> outputs = run_lstm_sequences(weights, sequences, initial, LstmBatching{5, 24});
    for (std::int64_t b = 0; b < batch; ++b) {
      EXPECT_TRUE(at::allclose(outputs[static_cast<std::size_t>(b)],
                               run.output[b].narrow(0, 0, c.lengths[static_cast<std::size_t>(b)]), 0.0, tolerance));
    }
  }
}

TEST(LstmRunner, RefusesWhatDoesNotFit) {
  c10::InferenceMode guard;
  const LstmWeights weights = random_weights({4, 3, 2, true, {}, Initial::kZeros, at::kFloat});
  const at::Tensor input = at::zeros({2, 5, 4});
  using testing::thrown_message;
  EXPECT_EQ(thrown_message<std::invalid_argument>([&] { run_lstm(weights, input, {5}); }),
            "LSTM lengths do not match the batch");
  EXPECT_EQ(thrown_message<std::invalid_argument>([&] { run_lstm(weights, input, {5, 0}); }),
            "LSTM length out of range");
  EXPECT_EQ(thrown_message<std::invalid_argument>([&] { run_lstm(weights, input, {6, 1}); }),
            "LSTM length out of range");
  EXPECT_EQ(thrown_message<std::invalid_argument>([&] { run_lstm(weights, at::zeros({2, 5, 3}), {5, 1}); }),
            "LSTM weights do not fit the input at layer 0");
  EXPECT_EQ(thrown_message<std::invalid_argument>([&] { run_lstm(weights, input.to(at::kDouble), {5, 1}); }),
            "LSTM weights do not fit the input at layer 0");
  EXPECT_EQ(thrown_message<std::invalid_argument>([&] {
              run_lstm(weights, input, {5, 1}, {at::zeros({4, 3, 3}), at::zeros({4, 3, 3})});
            }),
            "LSTM initial state does not fit the batch");
  EXPECT_EQ(run_lstm(weights, at::zeros({0, 5, 4}), {}).output.sizes(), (std::vector<std::int64_t>{0, 5, 6}));
  EXPECT_EQ(thrown_message<std::out_of_range>([&] { run_lstm_at(weights, input, {5, 1}, {{1, 1}}); }),
            "LSTM output position outside its sequence");
  EXPECT_EQ(thrown_message<std::out_of_range>([&] { run_lstm_at(weights, input, {5, 1}, {{2, 0}}); }),
            "LSTM output position outside its sequence");
}

// ---------------------------------------------------------------------------
// Configuration and vocabulary readers

TEST(ModelReaders, MessagesNameTheJsonPath) {
  const JsonValue config = parse_json(R"({"n": 3, "x": 2.5, "t": "a", "f": true, "z": null, "list": []})");
  const JsonValue vocab = parse_json(R"({"_unit2id": {"a": 1, "b": "2"}, "_id2unit": ["a", 3]})");
  struct Row {
    std::string name;
    std::function<std::string()> read;
    std::string expected;  // the value read, or "error: <message>"
  };
  const auto text = [](auto value) { return std::to_string(value); };
  const std::vector<Row> rows = {
      {"int", [&] { return text(required_int(config, "n", "assets.config")); }, "3"},
      {"int missing", [&] { return text(required_int(config, "m", "assets.config")); },
       "error: missing JSON key 'm' at assets.config"},
      {"int from double", [&] { return text(required_int(config, "x", "assets.config")); },
       "error: expected JSON integer at assets.config.x"},
      {"number from int", [&] { return text(required_number(config, "n", "c")); }, "3.000000"},
      {"bool", [&] { return text(required_bool(config, "f", "c")); }, "1"},
      {"bool null", [&] { return text(required_bool(config, "z", "c")); }, "error: expected JSON boolean at c.z"},
      {"string", [&] { return required_string(config, "t", "c"); }, "a"},
      {"optional absent", [&] { return text(optional_int(config, "m", "c", 7)); }, "7"},
      {"optional null", [&] { return text(optional_int(config, "z", "c", 7)); }, "7"},
      {"optional given", [&] { return text(optional_int(config, "n", "c", 7)); }, "3"},
      {"optional wrong type", [&] { return text(optional_number(config, "t", "c", 1.0)); },
       "error: expected JSON number at c.t"},
      {"optional bool", [&] { return text(optional_bool(config, "z", "c", true)); }, "1"},
      {"optional string", [&] { return optional_string(config, "z", "c", "d"); }, "d"},
      {"member of a non-object", [&] { return text(optional_int(config.at("list", ""), "n", "c.list", 1)); },
       "error: expected JSON object at c.list"},
      {"unit ids per unit", [&] { return text(read_unit2id(vocab, "assets.vocab").size()); },
       "error: expected JSON integer at assets.vocab._unit2id.b"},
      {"unit ids shared", [&] { return text(read_unit2id(vocab, "v", IdContext::kShared).size()); },
       "error: expected JSON integer at v._unit2id"},
      {"unit ids missing", [&] { return text(read_unit2id(config, "v").size()); },
       "error: missing JSON key '_unit2id' at v"},
      {"unit ids not an object", [&] { return text(read_unit2id(parse_json(R"({"_unit2id": []})"), "v").size()); },
       "error: expected JSON object at v._unit2id"},
      {"id list", [&] { return text(read_id2unit(vocab, "v").size()); }, "error: expected JSON string at v._id2unit[]"},
  };
  for (const Row& row : rows) {
    std::string actual;
    try {
      actual = row.read();
    } catch (const JsonError& e) {
      actual = std::string("error: ") + e.what();
    }
    EXPECT_EQ(actual, row.expected) << row.name;
  }
}

// ---------------------------------------------------------------------------
// Batching

TEST(Batching, LongestFirstAndCutBoundaries) {
  EXPECT_EQ(longest_first({2, 5, 2, 5, 9}), (std::vector<std::size_t>{4, 1, 3, 0, 2}));
  struct Row {
    std::vector<std::int64_t> lengths;  // already longest first
    std::size_t max_count;
    std::int64_t max_padded_rows;
    std::vector<std::size_t> ends;
  };
  const std::vector<Row> rows = {
      {{}, 2, 0, {}},
      {{5, 5, 5, 5, 5}, 2, 0, {2, 4, 5}},
      {{5, 5, 5}, 0, 0, {3}},
      {{3, 3, 3}, 0, 9, {3}},          // exactly the budget
      {{3, 3, 3}, 0, 8, {2, 3}},       // one row over
      {{10, 2, 2, 1}, 0, 4, {1, 3, 4}},  // longer than the budget alone
      {{4, 4, 4, 4}, 3, 8, {2, 4}},    // the budget binds before the count
      {{2, 2, 2, 2}, 3, 100, {3, 4}},  // the count binds
      {{1}, 1, 1, {1}},
  };
  for (const Row& row : rows) {
    std::vector<std::size_t> order(row.lengths.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::vector<std::size_t> ends;
    std::size_t expected_begin = 0;
    for (const BatchRange& range : cut_batches(order, row.lengths, row.max_count, row.max_padded_rows)) {
      EXPECT_EQ(range.begin, expected_begin);
      expected_begin = range.end;
      ends.push_back(range.end);
    }
    EXPECT_EQ(ends, row.ends) << row.lengths.size() << " rows, count " << row.max_count << ", budget "
                              << row.max_padded_rows;
  }
}

}  // namespace
}  // namespace lorvane::detail
