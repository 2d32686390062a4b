#include "models/tagging/highway_lstm.hpp"

#include <ATen/ops/linear.h>
#include <ATen/ops/sigmoid.h>
#include <ATen/ops/tanh.h>

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

}  // namespace lorvane::detail
