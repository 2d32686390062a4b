#include "models/common/lstm.hpp"

#include <ATen/ops/_pack_padded_sequence.h>
#include <ATen/ops/_pad_packed_sequence.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/index_select.h>
#include <ATen/ops/lstm.h>
#include <ATen/ops/lstm_cell.h>
#include <ATen/ops/stack.h>
#include <ATen/ops/zeros.h>

#include <stdexcept>
#include <tuple>

#include "models/common/batching.hpp"

namespace lorvane::detail {
namespace {

constexpr std::int64_t kParametersPerDirection = 4;

at::Tensor index_tensor(const std::vector<std::size_t>& positions) {
  std::vector<std::int64_t> values(positions.begin(), positions.end());
  return at::from_blob(values.data(), {static_cast<std::int64_t>(values.size())}, at::kLong).clone();
}

// The initial state of a run of `rows` rows in `order`, zeros when undefined.
at::Tensor initial_rows(const at::Tensor& state, std::int64_t states, std::int64_t rows,
                        std::int64_t hidden, const at::Tensor& order, const at::TensorOptions& options) {
  if (!state.defined()) return at::zeros({states, rows, hidden}, options);
  if (state.size(1) == 1) return state.expand({states, rows, hidden}).contiguous();
  return state.index_select(1, order).contiguous();
}

void check_lengths(const std::vector<std::int64_t>& lengths, std::int64_t batch, std::int64_t steps) {
  if (static_cast<std::int64_t>(lengths.size()) != batch) {
    throw std::invalid_argument("LSTM lengths do not match the batch");
  }
  for (std::int64_t length : lengths) {
    if (length < 1 || length > steps) throw std::invalid_argument("LSTM length out of range");
  }
}

}  // namespace

std::vector<std::string> lstm_weight_names(std::string_view prefix, std::int64_t layers,
                                           bool bidirectional) {
  static constexpr std::string_view kKinds[] = {"weight_ih_l", "weight_hh_l", "bias_ih_l", "bias_hh_l"};
  std::vector<std::string> names;
  names.reserve(static_cast<std::size_t>(layers * (bidirectional ? 8 : 4)));
  for (std::int64_t layer = 0; layer < layers; ++layer) {
    for (std::string_view suffix : {std::string_view(), std::string_view("_reverse")}) {
      if (!suffix.empty() && !bidirectional) break;
      for (std::string_view kind : kKinds) {
        names.push_back(std::string(prefix) + std::string(kind) + std::to_string(layer) + std::string(suffix));
      }
    }
  }
  return names;
}

LstmWeights::LstmWeights(std::vector<at::Tensor> flat, std::int64_t layers, bool bidirectional)
    : flat_(std::move(flat)), layers_(layers), bidirectional_(bidirectional) {
  if (layers_ < 1 ||
      static_cast<std::int64_t>(flat_.size()) != layers_ * directions() * kParametersPerDirection) {
    throw std::invalid_argument("LSTM weight set does not match its layer count");
  }
}

std::int64_t LstmWeights::hidden_size() const { return weight_hh(0, 0).size(1); }

const at::Tensor& LstmWeights::parameter(std::int64_t layer, std::int64_t direction,
                                         std::int64_t slot) const {
  if (layer < 0 || layer >= layers_ || direction < 0 || direction >= directions()) {
    throw std::out_of_range("LSTM parameter index out of range");
  }
  const std::int64_t index = (layer * directions() + direction) * kParametersPerDirection + slot;
  return flat_[static_cast<std::size_t>(index)];
}

const at::Tensor& LstmWeights::weight_ih(std::int64_t l, std::int64_t d) const { return parameter(l, d, 0); }
const at::Tensor& LstmWeights::weight_hh(std::int64_t l, std::int64_t d) const { return parameter(l, d, 1); }
const at::Tensor& LstmWeights::bias_ih(std::int64_t l, std::int64_t d) const { return parameter(l, d, 2); }
const at::Tensor& LstmWeights::bias_hh(std::int64_t l, std::int64_t d) const { return parameter(l, d, 3); }

LstmRun run_lstm(const LstmWeights& weights, const at::Tensor& input,
                 const std::vector<std::int64_t>& lengths, const LstmState& initial) {
  const std::int64_t batch = input.size(0);
  const std::int64_t steps = input.size(1);
  check_lengths(lengths, batch, steps);
  const std::int64_t hidden = weights.hidden_size();
  const std::int64_t states = weights.layers() * weights.directions();

  const std::vector<std::size_t> order = longest_first(lengths);
  std::vector<std::size_t> inverse(order.size());
  std::vector<std::int64_t> sorted_lengths(order.size());
  for (std::size_t row = 0; row < order.size(); ++row) {
    inverse[order[row]] = row;
    sorted_lengths[row] = lengths[order[row]];
  }
  const at::Tensor order_index = index_tensor(order);
  const at::Tensor inverse_index = index_tensor(inverse);
  const auto options = input.options();
  const at::Tensor sorted_input = input.index_select(0, order_index);
  const at::Tensor length_tensor =
      at::from_blob(sorted_lengths.data(), {batch}, at::kLong);
  const std::vector<at::Tensor> state = {
      initial_rows(initial.h, states, batch, hidden, order_index, options),
      initial_rows(initial.c, states, batch, hidden, order_index, options)};

  auto [data, batch_sizes] = at::_pack_padded_sequence(sorted_input, length_tensor, /*batch_first=*/true);
  auto [output, h_n, c_n] =
      at::lstm(data, batch_sizes, state, weights.flat(), /*has_biases=*/true, weights.layers(),
               /*dropout=*/0.0, /*train=*/false, weights.bidirectional());
  const at::Tensor padded = std::get<0>(at::_pad_packed_sequence(
      output, batch_sizes, /*batch_first=*/true, /*padding_value=*/0.0, steps));
  return {padded.index_select(0, inverse_index),
          {h_n.index_select(1, inverse_index), c_n.index_select(1, inverse_index)}};
}

std::vector<at::Tensor> run_lstm_sequences(const LstmWeights& weights,
                                           const std::vector<at::Tensor>& sequences,
                                           const LstmState& initial, const LstmBatching& batching) {
  std::vector<std::int64_t> lengths(sequences.size());
  for (std::size_t i = 0; i < sequences.size(); ++i) lengths[i] = sequences[i].size(0);
  const std::vector<std::size_t> order = longest_first(lengths);
  std::vector<at::Tensor> outputs(sequences.size());
  for (const BatchRange& range :
       cut_batches(order, lengths, batching.max_count, batching.max_padded_rows)) {
    const std::int64_t longest = lengths[order[range.begin]];
    std::vector<at::Tensor> padded;
    std::vector<std::int64_t> batch_lengths;
    for (std::size_t position = range.begin; position < range.end; ++position) {
      const at::Tensor& sequence = sequences[order[position]];
      batch_lengths.push_back(sequence.size(0));
      padded.push_back(sequence.size(0) == longest
                           ? sequence
                           : at::cat({sequence, at::zeros({longest - sequence.size(0), sequence.size(1)},
                                                          sequence.options())}));
    }
    const LstmRun run = run_lstm(weights, at::stack(padded), batch_lengths, initial);
    for (std::size_t position = range.begin; position < range.end; ++position) {
      const auto row = static_cast<std::int64_t>(position - range.begin);
      outputs[order[position]] = run.output[row].narrow(0, 0, batch_lengths[static_cast<std::size_t>(row)]);
    }
  }
  return outputs;
}

LstmState lstm_cell(const at::Tensor& input, const at::Tensor& h, const at::Tensor& c,
                    const at::Tensor& weight_ih, const at::Tensor& weight_hh,
                    const at::Tensor& bias_ih, const at::Tensor& bias_hh) {
  auto [h_next, c_next] = at::lstm_cell(input, {h, c}, weight_ih, weight_hh, bias_ih, bias_hh);
  return {h_next, c_next};
}

}  // namespace lorvane::detail
