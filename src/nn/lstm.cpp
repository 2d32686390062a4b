#include "nn/lstm.hpp"

#include <ATen/Parallel.h>
#include <ATen/ops/addmm.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/index_select.h>
#include <ATen/ops/lstm_cell.h>
#include <ATen/ops/tanh.h>
#include <ATen/ops/zeros.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "nn/batching.hpp"
#include "nn/config.hpp"
#include "nn/lstm_cells.hpp"
#include "nn/model_tensors.hpp"

namespace lorvane::detail {
namespace {

constexpr std::int64_t kParametersPerDirection = 4;

// Gate arithmetic: float steps always run the fused, vectorised loop of
// lstm_cells (measured faster than libtorch's element-wise kernels at every
// size on one thread), split across the intra-op threads by rows once a step
// holds this many values. Double steps run the fused scalar loop up to that
// size and libtorch's vectorised kernels beyond; other types always the latter.
constexpr std::int64_t kParallelCellValues = 16384;

// Float steps of at most this many rows compute their recurrent product with
// lstm_cells' own kernel: below it the product costs less than handing it to
// the tensor library (measured: 1.2 vs 3.4 ms for a 400-step bidirectional
// run of hidden size 64 at one row, 11.7 vs 15.7 ms at hidden 400 and four
// rows; at eight rows the general product wins).
constexpr std::int64_t kDirectStepRows = 4;

// The input projections of consecutive steps are computed by one matrix
// product over a block of about this many elements (bounding the scratch
// memory of long inputs while keeping the products large).
constexpr std::int64_t kProjectionBlockElements = std::int64_t{1} << 21;

at::Tensor index_tensor(const std::vector<std::int64_t>& values) {
  return at::from_blob(const_cast<std::int64_t*>(values.data()), {static_cast<std::int64_t>(values.size())},
                       at::kLong)
      .clone();
}

// The packed layout of a batch: rows sorted longest first; time step t holds
// the first batch_sizes[t] rows, stored from packed row offsets[t] on. Each
// direction reads a row's own steps only: forward from t = 0 as the batch
// shrinks, backward from the last step as rows join at their last step.
// Plain value of one run.
struct Packing {
  std::vector<std::int64_t> batch_sizes;  // per step, non-increasing
  std::vector<std::int64_t> offsets;      // per step, and the total row count at the end

  std::int64_t steps() const { return static_cast<std::int64_t>(batch_sizes.size()); }
  std::int64_t total() const { return offsets.back(); }
};

// `sorted_lengths` non-increasing, all at least 1.
Packing make_packing(const std::vector<std::int64_t>& sorted_lengths) {
  Packing packing;
  const std::int64_t steps = sorted_lengths.empty() ? 0 : sorted_lengths.front();
  packing.batch_sizes.assign(static_cast<std::size_t>(steps), 0);
  for (const std::int64_t length : sorted_lengths) {
    for (std::int64_t t = 0; t < length; ++t) ++packing.batch_sizes[static_cast<std::size_t>(t)];
  }
  packing.offsets.assign(1, 0);
  for (const std::int64_t rows : packing.batch_sizes) packing.offsets.push_back(packing.offsets.back() + rows);
  return packing;
}

// For every packed row in order, row_base[r] + t: the row of (sorted row r,
// step t) in a matrix whose sequences start at row_base.
std::vector<std::int64_t> packed_rows(const Packing& packing, const std::vector<std::int64_t>& row_base) {
  std::vector<std::int64_t> rows;
  rows.reserve(static_cast<std::size_t>(packing.total()));
  for (std::int64_t t = 0; t < packing.steps(); ++t) {
    for (std::int64_t r = 0; r < packing.batch_sizes[static_cast<std::size_t>(t)]; ++r) {
      rows.push_back(row_base[static_cast<std::size_t>(r)] + t);
    }
  }
  return rows;
}

void update_cells_vectorised(at::Tensor& gates, at::Tensor& h, at::Tensor& c, at::Tensor& out,
                             std::int64_t hidden) {
  gates.narrow(1, 0, 2 * hidden).sigmoid_();
  gates.narrow(1, 2 * hidden, hidden).tanh_();
  gates.narrow(1, 3 * hidden, hidden).sigmoid_();
  c.mul_(gates.narrow(1, hidden, hidden)).addcmul_(gates.narrow(1, 0, hidden), gates.narrow(1, 2 * hidden, hidden));
  at::tanh_out(h, c);
  h.mul_(gates.narrow(1, 3 * hidden, hidden));
  out.copy_(h);
}

template <class T>
void update_cells_fused(const at::Tensor& gates, at::Tensor& h, at::Tensor& c, at::Tensor& out, std::int64_t rows,
                        std::int64_t hidden) {
  const T* g = gates.data_ptr<T>();
  T* h_data = h.data_ptr<T>();
  T* c_data = c.data_ptr<T>();
  T* out_data = out.data_ptr<T>();
  const std::int64_t out_stride = out.stride(0);
  const auto update = [&](std::int64_t begin, std::int64_t end) {
    update_lstm_cells(g + begin * 4 * hidden, h_data + begin * hidden, c_data + begin * hidden,
                      out_data + begin * out_stride, out_stride, end - begin, hidden);
  };
  if (rows * hidden < kParallelCellValues) {
    update(0, rows);
  } else {
    at::parallel_for(0, rows, std::max<std::int64_t>(1, kParallelCellValues / hidden), update);
  }
}

// gates [rows, 4H] hold the pre-activations of a step (both products and
// both biases added); c and h ([rows, H], contiguous) become the new state,
// and h is also written to out ([rows, H], any row stride).
void update_cells(at::Tensor& gates, at::Tensor h, at::Tensor c, at::Tensor out, std::int64_t rows,
                  std::int64_t hidden) {
  if (gates.scalar_type() == at::kFloat) {
    update_cells_fused<float>(gates, h, c, out, rows, hidden);
  } else if (gates.scalar_type() == at::kDouble && rows * hidden < kParallelCellValues) {
    update_cells_fused<double>(gates, h, c, out, rows, hidden);
  } else {
    update_cells_vectorised(gates, h, c, out, hidden);
  }
}

// Per step, the (sorted row, result row) pairs whose top-layer output a
// caller of run_lstm_at asked for.
using StepPicks = std::vector<std::vector<std::pair<std::int64_t, std::int64_t>>>;

// Where one direction's hidden states go: every packed row into `packed`
// ([N, H], a column block of the layer's output), or, when `picks` is set,
// only the picked ones into rows of `picked` ([picks, H], a column block).
// Plain value of one run.
struct DirectionOutput {
  at::Tensor packed;
  const StepPicks* picks = nullptr;
  at::Tensor picked;
};

void copy_picked_rows(const std::vector<std::pair<std::int64_t, std::int64_t>>& picks, const at::Tensor& h,
                      at::Tensor& picked) {
  const auto bytes = static_cast<std::size_t>(h.size(1)) * h.element_size();
  const auto* from = static_cast<const char*>(h.data_ptr());
  auto* to = static_cast<char*>(picked.data_ptr());
  const auto row_bytes = static_cast<std::size_t>(picked.stride(0)) * picked.element_size();
  for (const auto& [row, result] : picks) {
    std::memcpy(to + static_cast<std::size_t>(result) * row_bytes, from + static_cast<std::size_t>(row) * bytes, bytes);
  }
}

// One direction of one layer over packed input [N, I]. `h` and `c` ([B, H],
// sorted rows) hold the initial state and receive each row's final state;
// `output` receives h per step.
void run_direction(const LstmWeights& weights, std::int64_t layer, std::int64_t direction,
                   const at::Tensor& input, const Packing& packing, at::Tensor h, at::Tensor c,
                   DirectionOutput output) {
  const std::int64_t hidden = h.size(1);
  const at::Tensor weight_ih_t = weights.weight_ih(layer, direction).t();
  const at::Tensor& weight_hh = weights.weight_hh(layer, direction);
  const at::Tensor weight_hh_t = weight_hh.t();
  // Steps of a few float rows skip the tensor library altogether.
  const bool direct = input.scalar_type() == at::kFloat && weight_hh.is_contiguous();
  const at::Tensor bias = weights.bias_ih(layer, direction) + weights.bias_hh(layer, direction);
  const bool reverse = direction == 1;
  const std::int64_t steps = packing.steps();
  const std::int64_t block_rows =
      std::min(packing.total(), std::max(packing.batch_sizes.front(), kProjectionBlockElements / (4 * hidden)));
  at::Tensor scratch = at::empty({block_rows, 4 * hidden}, input.options());

  // Steps [first, last) in reading order form a block; the packed rows of a
  // block are contiguous in either direction.
  for (std::int64_t first = 0; first < steps;) {
    std::int64_t last = first + 1;
    const auto step_at = [&](std::int64_t s) { return reverse ? steps - 1 - s : s; };
    const auto rows_of = [&](std::int64_t s) { return packing.batch_sizes[static_cast<std::size_t>(step_at(s))]; };
    std::int64_t rows = rows_of(first);
    while (last < steps && rows + rows_of(last) <= block_rows) rows += rows_of(last++);
    const std::int64_t low = reverse ? packing.offsets[static_cast<std::size_t>(step_at(last - 1))]
                                     : packing.offsets[static_cast<std::size_t>(first)];
    at::Tensor projections = scratch.narrow(0, 0, rows);
    at::addmm_out(projections, bias, input.narrow(0, low, rows), weight_ih_t);
    for (std::int64_t s = first; s < last; ++s) {
      const std::int64_t t = step_at(s);
      const std::int64_t active = packing.batch_sizes[static_cast<std::size_t>(t)];
      const std::int64_t offset = packing.offsets[static_cast<std::size_t>(t)];
      // Without a packed output the new h is written onto itself.
      if (direct && active <= kDirectStepRows) {
        float* gates = projections.data_ptr<float>() + (offset - low) * 4 * hidden;
        float* h_data = h.data_ptr<float>();
        float* out = output.packed.defined() ? output.packed.data_ptr<float>() + offset * output.packed.stride(0) : h_data;
        const std::int64_t out_stride = output.packed.defined() ? output.packed.stride(0) : hidden;
        add_recurrent_product(weight_hh.data_ptr<float>(), h_data, gates, active, hidden);
        update_lstm_cells(gates, h_data, c.data_ptr<float>(), out, out_stride, active, hidden);
      } else {
        at::Tensor gates = projections.narrow(0, offset - low, active);
        at::Tensor h_rows = h.narrow(0, 0, active);
        at::addmm_out(gates, gates, h_rows, weight_hh_t);
        update_cells(gates, h_rows, c.narrow(0, 0, active),
                     output.packed.defined() ? output.packed.narrow(0, offset, active) : h_rows, active, hidden);
      }
      if (output.picks != nullptr) copy_picked_rows((*output.picks)[static_cast<std::size_t>(t)], h, output.picked);
    }
    first = last;
  }
}

// Outputs of the last layer in packed order (or at the picked steps), and
// the final states of the sorted rows.
struct PackedRun {
  at::Tensor output;  // [N, directions x H], or [picks, directions x H]
  LstmState final;    // [layers x directions, B, H]
};

// `state` ([layers x directions, B, H], sorted rows, owned) is updated in
// place. With `picks`, the top layer writes only the picked rows
// (`pick_count` of them) and no packed output.
PackedRun run_packed(const LstmWeights& weights, at::Tensor input, const Packing& packing, LstmState state,
                     const StepPicks* picks = nullptr, std::int64_t pick_count = 0) {
  const std::int64_t hidden = weights.hidden_size();
  const std::int64_t directions = weights.directions();
  for (std::int64_t layer = 0; layer < weights.layers(); ++layer) {
    const bool picking = picks != nullptr && layer + 1 == weights.layers();
    at::Tensor output =
        at::empty({picking ? pick_count : packing.total(), directions * hidden}, input.options());
    for (std::int64_t direction = 0; direction < directions; ++direction) {
      const std::int64_t index = layer * directions + direction;
      const at::Tensor block = output.narrow(1, direction * hidden, hidden);
      run_direction(weights, layer, direction, input, packing, state.h[index], state.c[index],
                    picking ? DirectionOutput{at::Tensor(), picks, block} : DirectionOutput{block, nullptr, at::Tensor()});
    }
    input = output;
  }
  return {input, state};
}

void check_lengths(const std::vector<std::int64_t>& lengths, std::int64_t batch, std::int64_t steps) {
  if (static_cast<std::int64_t>(lengths.size()) != batch) {
    throw LstmShapeError("LSTM lengths do not match the batch");
  }
  for (std::int64_t length : lengths) {
    if (length < 1 || length > steps) throw LstmShapeError("LSTM length out of range");
  }
}

// The runner reads the weights through typed kernels: shapes and types are
// checked before anything runs.
void check_weights(const LstmWeights& weights, std::int64_t input_size, const at::TensorOptions& options) {
  // The hidden size comes from a tensor's shape: bounded before 4 x hidden is formed.
  const at::Tensor& recurrent = weights.weight_hh(0, 0);
  if (recurrent.dim() != 2 || recurrent.size(1) < 1 || recurrent.size(1) > kMaxConfiguredSize) {
    throw LstmShapeError("LSTM weights do not fit the input at layer 0");
  }
  const std::int64_t hidden = weights.hidden_size();
  for (std::int64_t layer = 0; layer < weights.layers(); ++layer) {
    const std::int64_t in = layer == 0 ? input_size : weights.directions() * hidden;
    for (std::int64_t direction = 0; direction < weights.directions(); ++direction) {
      const bool fits = weights.weight_ih(layer, direction).sizes().equals({4 * hidden, in}) &&
                        weights.weight_hh(layer, direction).sizes().equals({4 * hidden, hidden}) &&
                        weights.bias_ih(layer, direction).sizes().equals({4 * hidden}) &&
                        weights.bias_hh(layer, direction).sizes().equals({4 * hidden});
      const bool typed = std::all_of(weights.flat().begin(), weights.flat().end(), [&](const at::Tensor& t) {
        return t.scalar_type() == options.dtype() && t.device().is_cpu();
      });
      if (!fits || !typed) {
        throw LstmShapeError("LSTM weights do not fit the input at layer " + std::to_string(layer));
      }
    }
  }
}

// The initial state of sorted rows as an owned [states, rows, H] tensor:
// zeros when undefined, one shared row repeated, or the caller's rows
// reordered.
at::Tensor initial_rows(const at::Tensor& state, std::int64_t states, std::int64_t rows, std::int64_t hidden,
                        const std::vector<std::int64_t>& order, const at::TensorOptions& options) {
  if (!state.defined()) return at::zeros({states, rows, hidden}, options);
  if (state.dim() != 3 || state.size(0) != states || state.size(2) != hidden ||
      (state.size(1) != 1 && state.size(1) != rows) || state.scalar_type() != options.dtype()) {
    throw LstmShapeError("LSTM initial state does not fit the batch");
  }
  // Always a copy: the runner writes into it, and the caller's state may be
  // a read-only view of a bundle.
  if (state.size(1) == 1) return state.expand({states, rows, hidden}).clone(at::MemoryFormat::Contiguous);
  return state.index_select(1, index_tensor(order));
}

LstmState initial_state(const LstmWeights& weights, const LstmState& initial, std::int64_t rows,
                        const std::vector<std::int64_t>& order, const at::TensorOptions& options) {
  const std::int64_t states = weights.layers() * weights.directions();
  const std::int64_t hidden = weights.hidden_size();
  return {initial_rows(initial.h, states, rows, hidden, order, options),
          initial_rows(initial.c, states, rows, hidden, order, options)};
}

}  // namespace

std::vector<std::string> lstm_layer_names(std::string_view prefix, std::int64_t layer, bool bidirectional) {
  static constexpr std::string_view kKinds[] = {"weight_ih_l", "weight_hh_l", "bias_ih_l", "bias_hh_l"};
  std::vector<std::string> names;
  for (std::string_view suffix : {std::string_view(), std::string_view("_reverse")}) {
    if (!suffix.empty() && !bidirectional) break;
    for (std::string_view kind : kKinds) {
      names.push_back(std::string(prefix) + std::string(kind) + std::to_string(layer) + std::string(suffix));
    }
  }
  return names;
}

std::vector<std::string> lstm_weight_names(std::string_view prefix, std::int64_t layers,
                                           bool bidirectional) {
  if (layers < 0 || layers > kMaxLstmLayers) throw std::length_error("LSTM layer count out of range");
  std::vector<std::string> names;
  names.reserve(static_cast<std::size_t>(layers * (bidirectional ? 8 : 4)));
  for (std::int64_t layer = 0; layer < layers; ++layer) {
    for (std::string& name : lstm_layer_names(prefix, layer, bidirectional)) names.push_back(std::move(name));
  }
  return names;
}

LstmWeights LstmWeights::checked(const ModelTensors& tensors, std::string_view prefix, std::int64_t layers,
                                 bool bidirectional, std::int64_t input, std::int64_t hidden) {
  const std::int64_t directions = bidirectional ? 2 : 1;
  const std::int64_t gates = kParametersPerDirection * hidden;
  std::int64_t layer_input = input;
  return from_names(prefix, layers, bidirectional, [&, slot = std::int64_t{0}](const std::string& name) mutable {
    const std::int64_t kind = slot % kParametersPerDirection;
    if (slot > 0 && slot % (kParametersPerDirection * directions) == 0) layer_input = directions * hidden;
    ++slot;
    if (kind == 0) return tensors.require(name, {gates, layer_input});
    if (kind == 1) return tensors.require(name, {gates, hidden});
    return tensors.require(name, {gates});
  });
}

LstmWeights::LstmWeights(std::vector<at::Tensor> flat, std::int64_t layers, bool bidirectional)
    : flat_(std::move(flat)), layers_(layers), bidirectional_(bidirectional) {
  if (layers_ < 1 || layers_ > kMaxLstmLayers ||
      static_cast<std::int64_t>(flat_.size()) != layers_ * directions() * kParametersPerDirection) {
    throw LstmShapeError("LSTM weight set does not match its layer count");
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

namespace {

// A batch of run_lstm's form in the packed layout. Plain value of one call.
struct PackedBatch {
  Packing packing;
  std::vector<std::int64_t> inverse;  // caller's row -> sorted row
  at::Tensor sources;                 // packed row -> row of input viewed as [B x T, I]
  bool single = false;                // one full-length row: packed form == input
  at::Tensor packed_input;
  LstmState state;
};

PackedBatch pack_batch(const LstmWeights& weights, const at::Tensor& input, const std::vector<std::int64_t>& lengths,
                       const LstmState& initial) {
  const std::int64_t batch = input.size(0);
  const std::int64_t steps = input.size(1);
  const std::vector<std::size_t> sorted = longest_first(lengths);
  std::vector<std::int64_t> order(sorted.begin(), sorted.end());
  std::vector<std::int64_t> sorted_lengths(order.size());
  std::vector<std::int64_t> row_base(order.size());
  PackedBatch packed;
  packed.inverse.resize(order.size());
  for (std::size_t row = 0; row < order.size(); ++row) {
    packed.inverse[sorted[row]] = static_cast<std::int64_t>(row);
    sorted_lengths[row] = lengths[sorted[row]];
    row_base[row] = order[row] * steps;
  }
  packed.packing = make_packing(sorted_lengths);
  const at::Tensor rows = input.reshape({batch * steps, input.size(2)});
  packed.single = batch == 1 && lengths.front() == steps;
  if (packed.single) {
    packed.packed_input = rows.contiguous();
  } else {
    packed.sources = index_tensor(packed_rows(packed.packing, row_base));
    packed.packed_input = rows.index_select(0, packed.sources);
  }
  packed.state = initial_state(weights, initial, batch, order, input.options());
  return packed;
}

void check_input(const LstmWeights& weights, const at::Tensor& input, const std::vector<std::int64_t>& lengths) {
  if (input.dim() != 3) throw LstmShapeError("LSTM input must be [batch, steps, features]");
  check_lengths(lengths, input.size(0), input.size(1));
  check_weights(weights, input.size(2), input.options());
}

}  // namespace

LstmRun run_lstm(const LstmWeights& weights, const at::Tensor& input,
                 const std::vector<std::int64_t>& lengths, const LstmState& initial) {
  check_input(weights, input, lengths);
  const std::int64_t batch = input.size(0);
  const std::int64_t steps = input.size(1);
  const std::int64_t width = weights.directions() * weights.hidden_size();
  if (batch == 0) {
    const std::int64_t states = weights.layers() * weights.directions();
    return {at::zeros({0, steps, width}, input.options()),
            {at::zeros({states, 0, weights.hidden_size()}, input.options()),
             at::zeros({states, 0, weights.hidden_size()}, input.options())}};
  }
  PackedBatch packed = pack_batch(weights, input, lengths, initial);
  const PackedRun run = run_packed(weights, packed.packed_input, packed.packing, std::move(packed.state));
  at::Tensor output;
  if (packed.single) {
    output = run.output.view({1, steps, width});
  } else {
    output = at::zeros({batch, steps, width}, input.options());
    output.view({batch * steps, width}).index_copy_(0, packed.sources, run.output);
  }
  const at::Tensor inverse_index = index_tensor(packed.inverse);
  return {output, {run.final.h.index_select(1, inverse_index), run.final.c.index_select(1, inverse_index)}};
}

at::Tensor run_lstm_at(const LstmWeights& weights, const at::Tensor& input, const std::vector<std::int64_t>& lengths,
                       const std::vector<LstmStep>& positions, const LstmState& initial) {
  check_input(weights, input, lengths);
  const auto count = static_cast<std::int64_t>(positions.size());
  for (const LstmStep& position : positions) {
    if (position.row < 0 || position.row >= input.size(0) || position.step < 0 ||
        position.step >= lengths[static_cast<std::size_t>(position.row)]) {
      throw std::out_of_range("LSTM output position outside its sequence");
    }
  }
  if (input.size(0) == 0) return at::empty({0, weights.directions() * weights.hidden_size()}, input.options());
  PackedBatch packed = pack_batch(weights, input, lengths, initial);
  StepPicks picks(static_cast<std::size_t>(packed.packing.steps()));
  for (std::int64_t i = 0; i < count; ++i) {
    const LstmStep& position = positions[static_cast<std::size_t>(i)];
    picks[static_cast<std::size_t>(position.step)].emplace_back(
        packed.inverse[static_cast<std::size_t>(position.row)], i);
  }
  return run_packed(weights, packed.packed_input, packed.packing, std::move(packed.state), &picks, count).output;
}

std::vector<at::Tensor> run_lstm_sequences(const LstmWeights& weights,
                                           const std::vector<at::Tensor>& sequences,
                                           const LstmState& initial, const LstmBatching& batching) {
  std::vector<std::int64_t> lengths(sequences.size());
  for (std::size_t i = 0; i < sequences.size(); ++i) {
    if (sequences[i].dim() != 2 || sequences[i].size(0) < 1) {
      throw LstmShapeError("LSTM sequences must be [length >= 1, features]");
    }
    lengths[i] = sequences[i].size(0);
  }
  const std::vector<std::size_t> order = longest_first(lengths);
  std::vector<at::Tensor> outputs(sequences.size());
  for (const BatchRange& range :
       cut_batches(order, lengths, batching.max_count, batching.max_padded_rows)) {
    std::vector<at::Tensor> members;
    std::vector<std::int64_t> batch_lengths;
    std::vector<std::int64_t> row_base;
    std::int64_t total = 0;
    for (std::size_t position = range.begin; position < range.end; ++position) {
      members.push_back(sequences[order[position]]);
      batch_lengths.push_back(lengths[order[position]]);
      row_base.push_back(total);
      total += batch_lengths.back();
    }
    const at::Tensor stacked = at::cat(members);
    check_weights(weights, stacked.size(1), stacked.options());
    const Packing packing = make_packing(batch_lengths);
    const auto rows = static_cast<std::int64_t>(members.size());
    std::vector<std::int64_t> identity(members.size());
    for (std::size_t r = 0; r < identity.size(); ++r) identity[r] = static_cast<std::int64_t>(r);
    const PackedRun run = run_packed(weights, stacked.index_select(0, index_tensor(packed_rows(packing, row_base))),
                                     packing, initial_state(weights, initial, rows, identity, stacked.options()));
    // Back to one block of rows per sequence, in batch order.
    std::vector<std::int64_t> by_sequence;
    by_sequence.reserve(static_cast<std::size_t>(total));
    for (std::int64_t r = 0; r < rows; ++r) {
      for (std::int64_t t = 0; t < batch_lengths[static_cast<std::size_t>(r)]; ++t) {
        by_sequence.push_back(packing.offsets[static_cast<std::size_t>(t)] + r);
      }
    }
    const at::Tensor grouped = run.output.index_select(0, index_tensor(by_sequence));
    for (std::int64_t r = 0; r < rows; ++r) {
      outputs[order[range.begin + static_cast<std::size_t>(r)]] =
          grouped.narrow(0, row_base[static_cast<std::size_t>(r)], batch_lengths[static_cast<std::size_t>(r)]);
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
