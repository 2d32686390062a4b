#pragma once

// LSTM weight sets and the batched LSTM runner shared by every recurrent model.

#include <ATen/core/Tensor.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lorvane::detail {

class ModelTensors;

// Weights, inputs or states of an LSTM that do not fit one another: a model
// fault, which plans refuse at load (so a caller should never see one).
class LstmShapeError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// The largest layer count an LSTM weight set may name.
inline constexpr std::int64_t kMaxLstmLayers = std::int64_t{1} << 16;

// The parameter names of an LSTM with biases in the flat order libtorch's
// LSTM takes: layer by layer from 0; within a layer the forward direction,
// then (bidirectional) the backward one; within a direction
//   <prefix>weight_ih_l<k><suffix>, <prefix>weight_hh_l<k><suffix>,
//   <prefix>bias_ih_l<k><suffix>,   <prefix>bias_hh_l<k><suffix>
// with suffix "" forward and "_reverse" backward, k in plain decimal.
// Throws std::length_error for layers outside [0, kMaxLstmLayers]: callers
// check a configured count first.
std::vector<std::string> lstm_weight_names(std::string_view prefix, std::int64_t layers,
                                           bool bidirectional);

// The four names of one layer's direction(s), in flat order.
std::vector<std::string> lstm_layer_names(std::string_view prefix, std::int64_t layer, bool bidirectional);

// The parameters of one LSTM (with biases), as views of a model's tensors.
// Gate blocks follow libtorch's order: input, forget, cell, output.
// Safe to share across threads: immutable after construction.
class LstmWeights {
 public:
  LstmWeights() = default;
  // `flat` holds 4 x layers x directions tensors in the flat order above.
  // Throws LstmShapeError when the count does not match.
  LstmWeights(std::vector<at::Tensor> flat, std::int64_t layers, bool bidirectional);

  // The weight set named by `prefix`, each tensor fetched through `lookup`
  // (a plan's accessor that raises its own missing-tensor message), in flat
  // order: the first absent name in that order is the one reported. Names
  // are made layer by layer, so a huge configured count fails at the first
  // absent layer instead of naming every one.
  template <class Lookup>
  static LstmWeights from_names(std::string_view prefix, std::int64_t layers, bool bidirectional,
                                Lookup&& lookup) {
    std::vector<at::Tensor> flat;
    for (std::int64_t layer = 0; layer < layers; ++layer) {
      for (const std::string& name : lstm_layer_names(prefix, layer, bidirectional)) flat.push_back(lookup(name));
    }
    return LstmWeights(std::move(flat), layers, bidirectional);
  }

  // from_names over a plan's tensor table, each tensor checked for the
  // shape of libtorch's LSTM with input width `input` (layer 0) and hidden
  // size `hidden`, and for the table's floating type, before anything runs.
  // `layers`, `input` and `hidden` must be checked sizes (at most
  // kMaxConfiguredSize).
  static LstmWeights checked(const ModelTensors& tensors, std::string_view prefix, std::int64_t layers,
                             bool bidirectional, std::int64_t input, std::int64_t hidden);

  // The tensors in flat order, as libtorch's LSTM takes them.
  const std::vector<at::Tensor>& flat() const noexcept { return flat_; }
  std::int64_t layers() const noexcept { return layers_; }
  bool bidirectional() const noexcept { return bidirectional_; }
  std::int64_t directions() const noexcept { return bidirectional_ ? 2 : 1; }
  // weight_hh_l0's second size.
  std::int64_t hidden_size() const;

  // direction 0 is forward, 1 backward.
  const at::Tensor& weight_ih(std::int64_t layer, std::int64_t direction) const;
  const at::Tensor& weight_hh(std::int64_t layer, std::int64_t direction) const;
  const at::Tensor& bias_ih(std::int64_t layer, std::int64_t direction) const;
  const at::Tensor& bias_hh(std::int64_t layer, std::int64_t direction) const;

 private:
  const at::Tensor& parameter(std::int64_t layer, std::int64_t direction, std::int64_t slot) const;

  std::vector<at::Tensor> flat_;
  std::int64_t layers_ = 0;
  bool bidirectional_ = false;
};

// Hidden and cell state of an LSTM, each [layers x directions, B, H].
struct LstmState {
  at::Tensor h;
  at::Tensor c;
};

// Outputs of one run, rows in the caller's order.
struct LstmRun {
  at::Tensor output;  // [B, T, directions x H], batch first; zero past each row's length
  LstmState final;    // [layers x directions, B, H]: each row's state after its own last step
};

// Runs a multi-layer, possibly bidirectional LSTM over B sequences of
// different lengths: what libtorch's LSTM computes over the packed sequences
// (each direction reads only a row's own steps; the backward direction starts
// at the row's last step), without dropout.
//
// `input` is [B, T, I], batch first; `lengths[b]` (1 <= length <= T) is row
// b's length, in any order. `initial` holds h and c of shape
// [layers x directions, 1, H] (one state shared by every row) or
// [layers x directions, B, H]; undefined tensors mean zeros. The result has
// the type of the input. Runs under the caller's inference mode.
LstmRun run_lstm(const LstmWeights& weights, const at::Tensor& input,
                 const std::vector<std::int64_t>& lengths, const LstmState& initial = {});

// One position of a batch: sequence `row` (the caller's order) at `step`.
struct LstmStep {
  std::int64_t row = 0;
  std::int64_t step = 0;
};

// The top layer's outputs of run_lstm at the given positions only, in the
// order given: [positions, directions x H]. The full output is never
// materialised, so a caller that reads a few positions of long sequences
// (a character model reading word ends) keeps its memory to those rows. A
// position outside its row's length throws std::out_of_range.
at::Tensor run_lstm_at(const LstmWeights& weights, const at::Tensor& input, const std::vector<std::int64_t>& lengths,
                       const std::vector<LstmStep>& positions, const LstmState& initial = {});

// Batch limits of run_lstm_sequences.
struct LstmBatching {
  std::size_t max_count = 0;         // sequences per batch (0: no limit)
  std::int64_t max_padded_rows = 0;  // count x longest length per batch (0: no limit)
};

// Runs the LSTM over many sequences ([length_i, I] each, length_i >= 1):
// sorted longest first (stable), cut into batches by `batching`, each batch
// run as packed sequences. Returns one [length_i, directions x H] output per
// sequence, in input order. `initial` must be shared by every row
// ([layers x directions, 1, H]) or undefined (zeros).
std::vector<at::Tensor> run_lstm_sequences(const LstmWeights& weights,
                                           const std::vector<at::Tensor>& sequences,
                                           const LstmState& initial = {},
                                           const LstmBatching& batching = {});

// One step of an LSTM cell for n rows: input [n, I], h and c [n, H] ->
// the new h and c. Gates as libtorch's LSTM cell computes them.
LstmState lstm_cell(const at::Tensor& input, const at::Tensor& h, const at::Tensor& c,
                    const at::Tensor& weight_ih, const at::Tensor& weight_hh,
                    const at::Tensor& bias_ih, const at::Tensor& bias_hh);

}  // namespace lorvane::detail
