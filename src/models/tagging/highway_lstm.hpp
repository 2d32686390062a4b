#pragma once

// The highway BiLSTM over a sentence's word inputs that the tagger and the
// parser share: each layer adds a gated highway term of its input to the
// output of a one-layer bidirectional LSTM,
//   X <- LSTM(X) + sigmoid(gate(X)) * tanh(highway(X)),
// starting every layer from its own stored initial state.

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "nn/lstm.hpp"
#include "nn/model_tensors.hpp"

namespace lorvane::detail {

// The weights of one layer, as views of the plan's tensors.
struct HighwayLayer {
  LstmWeights lstm_weights;  // one bidirectional layer, forward direction first
  LstmState initial_state;   // h and c, each [2, 1, hidden]
  at::Tensor highway_weight;
  at::Tensor highway_bias;
  at::Tensor gate_weight;
  at::Tensor gate_bias;
};

// The tensor names of layer k under `prefix` ("taggerlstm"): the eight LSTM
// weights "<prefix>.lstm.<k>.lstm.weight_ih_l0" ... "bias_hh_l0_reverse", then
// "<prefix>.highway.<k>.weight", ".bias", "<prefix>.gate.<k>.weight", ".bias".
std::vector<std::string> highway_layer_names(std::string_view prefix, std::int64_t layer);

// Checks the tensors of `layers` layers under `prefix` against the input
// width of the first layer and the hidden size (checked sizes): each
// layer's bidirectional LSTM, highway and gate weights [2 x hidden, width]
// and biases [2 x hidden], where width is `input` for layer 0 and
// 2 x hidden above; and "<prefix>_h_init", "<prefix>_c_init"
// [2 x layers, 1, hidden]. All of the table's floating type.
void check_highway_shapes(const ModelTensors& tensors, std::string_view prefix, std::int64_t layers,
                          std::int64_t input, std::int64_t hidden);

// Layer k under `prefix`, its tensors fetched through `lookup`; the initial
// state is rows 2k and 2k + 1 of "<prefix>_h_init" and "<prefix>_c_init".
template <class Lookup>
HighwayLayer make_highway_layer(std::string_view prefix, std::int64_t layer, Lookup&& lookup) {
  const std::string base(prefix);
  const std::string index = std::to_string(layer);
  HighwayLayer record;
  record.lstm_weights = LstmWeights::from_names(base + ".lstm." + index + ".lstm.", 1, true, lookup);
  record.initial_state = {lookup(base + "_h_init").narrow(0, 2 * layer, 2),
                          lookup(base + "_c_init").narrow(0, 2 * layer, 2)};
  record.highway_weight = lookup(base + ".highway." + index + ".weight");
  record.highway_bias = lookup(base + ".highway." + index + ".bias");
  record.gate_weight = lookup(base + ".gate." + index + ".weight");
  record.gate_bias = lookup(base + ".gate." + index + ".bias");
  return record;
}

// Layers 0 .. layers - 1 under `prefix`, as make_highway_layer makes them.
template <class Lookup>
std::vector<HighwayLayer> make_highway_layers(std::string_view prefix, std::int64_t layers, Lookup&& lookup) {
  std::vector<HighwayLayer> records;
  records.reserve(static_cast<std::size_t>(layers));
  for (std::int64_t layer = 0; layer < layers; ++layer) records.push_back(make_highway_layer(prefix, layer, lookup));
  return records;
}

// Runs the layers over a padded batch X [B, T, input width] whose row b holds
// a sentence of lengths[b] rows (1 <= length <= T, any order); returns
// [B, T, 2 x hidden]. Real rows depend only on their own sentence: the
// recurrences run on packed sequences and the highway term acts per position.
// Padded positions hold values of no meaning.
at::Tensor run_highway_layers(const std::vector<HighwayLayer>& layers, at::Tensor inputs,
                              const std::vector<std::int64_t>& lengths);

// Runs the layers over many sentences whose input rows lie one after another
// in `inputs` [sum of lengths, input width] (every length at least 1), in
// longest-first batches of at most max_count sentences (0: any number) and
// max_padded_rows padded rows; returns one contiguous [length, 2 x hidden]
// tensor per sentence, in the order of `lengths`.
std::vector<at::Tensor> run_highway_batches(const std::vector<HighwayLayer>& layers, const at::Tensor& inputs,
                                            const std::vector<std::int64_t>& lengths, std::size_t max_count,
                                            std::int64_t max_padded_rows);

}  // namespace lorvane::detail
