#include "models/tagging/highway_lstm.hpp"

#include <ATen/ops/linear.h>
#include <ATen/ops/sigmoid.h>
#include <ATen/ops/tanh.h>
#include <ATen/ops/zeros.h>

#include "nn/batching.hpp"

namespace lorvane::detail {

std::vector<std::string> highway_layer_names(std::string_view prefix, std::int64_t layer) {
  const std::string base(prefix);
  const std::string index = std::to_string(layer);
  std::vector<std::string> names = lstm_weight_names(base + ".lstm." + index + ".lstm.", 1, true);
  for (const char* part : {".highway.", ".gate."}) {
    names.push_back(base + part + index + ".weight");
    names.push_back(base + part + index + ".bias");
  }
  return names;
}

void check_highway_shapes(const ModelTensors& tensors, std::string_view prefix, std::int64_t layers,
                          std::int64_t input, std::int64_t hidden) {
  const std::string base(prefix);
  for (std::int64_t layer = 0; layer < layers; ++layer) {
    const std::string index = std::to_string(layer);
    const std::int64_t width = layer == 0 ? input : 2 * hidden;
    LstmWeights::checked(tensors, base + ".lstm." + index + ".lstm.", 1, true, width, hidden);
    for (const char* part : {".highway.", ".gate."}) {
      tensors.require(base + part + index + ".weight", {2 * hidden, width});
      tensors.require(base + part + index + ".bias", {2 * hidden});
    }
  }
  tensors.require(base + "_h_init", {2 * layers, 1, hidden});
  tensors.require(base + "_c_init", {2 * layers, 1, hidden});
}

at::Tensor run_highway_layers(const std::vector<HighwayLayer>& layers, at::Tensor inputs,
                              const std::vector<std::int64_t>& lengths) {
  for (const HighwayLayer& layer : layers) {
    const at::Tensor outputs = run_lstm(layer.lstm_weights, inputs, lengths, layer.initial_state).output;
    const at::Tensor gate = at::sigmoid(at::linear(inputs, layer.gate_weight, layer.gate_bias));
    const at::Tensor highway = at::tanh(at::linear(inputs, layer.highway_weight, layer.highway_bias));
    inputs = outputs + gate * highway;
  }
  return inputs;
}

std::vector<at::Tensor> run_highway_batches(const std::vector<HighwayLayer>& layers, const at::Tensor& inputs,
                                            const std::vector<std::int64_t>& lengths, std::size_t max_count,
                                            std::int64_t max_padded_rows) {
  std::vector<std::int64_t> offsets(lengths.size() + 1, 0);
  for (std::size_t k = 0; k < lengths.size(); ++k) offsets[k + 1] = offsets[k] + lengths[k];
  std::vector<at::Tensor> results(lengths.size());
  const std::vector<std::size_t> order = longest_first(lengths);
  for (const BatchRange& range : cut_batches(order, lengths, max_count, max_padded_rows)) {
    const std::int64_t longest = lengths[order[range.begin]];
    const auto count = static_cast<std::int64_t>(range.end - range.begin);
    at::Tensor padded = at::zeros({count, longest, inputs.size(1)}, inputs.options());
    std::vector<std::int64_t> batch_lengths;
    batch_lengths.reserve(range.end - range.begin);
    for (std::size_t position = range.begin; position < range.end; ++position) {
      const std::size_t k = order[position];
      padded[static_cast<std::int64_t>(position - range.begin)]
          .narrow(0, 0, lengths[k])
          .copy_(inputs.narrow(0, offsets[k], lengths[k]));
      batch_lengths.push_back(lengths[k]);
    }
    const at::Tensor encoded = run_highway_layers(layers, padded, batch_lengths);
    for (std::size_t position = range.begin; position < range.end; ++position) {
      const std::size_t k = order[position];
      results[k] = encoded[static_cast<std::int64_t>(position - range.begin)].narrow(0, 0, lengths[k]).contiguous();
    }
  }
  return results;
}

}  // namespace lorvane::detail
