// One decoder step for a batch of rows: LSTM cell on the previous output's
// embedding, soft attention over the encoder outputs, the attentional vector,
// log-probabilities over the vocabulary and, with the copy gate, their
// mixture with a copy distribution over the extended ids of each row's word.
//
// The matrix products and the bulk of the transcendental functions (gate
// activations, tanh, the vocabulary log-softmax) run as vectorised libtorch
// operations; the rest (cell update, attention softmax, the copy mixture,
// masks and limits) runs as loops over the step's own buffers, so that a step
// costs about a dozen library calls instead of one per elementwise operation.
// Sums in the loops are taken in double; values whose overflow or underflow the
// model's semantics depend on (the copy mass, log(1 + exp(gate))) are rounded
// to the model's type as they are formed.

#include <ATen/ops/addmm.h>
#include <ATen/ops/bmm.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/index_select.h>
#include <ATen/ops/log_softmax.h>
#include <ATen/ops/mm.h>
#include <ATen/ops/sigmoid.h>
#include <ATen/ops/tanh.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "models/seq2seq/plan_impl.hpp"

namespace lorvane {
namespace {

using detail::DecoderStepOutput;

// Score of a masked position, copy log-mass of a column no position points
// to, and every column at or past a row's limit.
constexpr double kMaskedScore = -1e12;

void require(bool condition) {
  if (!condition) throw std::invalid_argument("invalid seq2seq decoder step arguments");
}

bool is_matrix(const at::Tensor& tensor, std::int64_t rows, std::int64_t columns, at::ScalarType type) {
  return tensor.defined() && tensor.dim() == 2 && tensor.size(0) == rows && tensor.size(1) == columns &&
         tensor.scalar_type() == type;
}

// log(sigmoid(x)) without overflow: min(x, 0) - log1p(exp(-|x|)).
double log_sigmoid(double x) { return std::min(x, 0.0) - std::log1p(std::exp(-std::abs(x))); }

// log(exp(a) + exp(b)); -inf when both are -inf.
double log_add(double a, double b) {
  const double m = std::max(a, b);
  if (std::isinf(m)) return m;
  return m + std::log(std::exp(a - m) + std::exp(b - m));
}

// max and log-sum-exp of values[0, n).
double log_sum_exp(const double* values, std::int64_t n) {
  double m = -std::numeric_limits<double>::infinity();
  for (std::int64_t i = 0; i < n; ++i) m = std::max(m, values[i]);
  if (std::isinf(m)) return m;
  double sum = 0.0;
  for (std::int64_t i = 0; i < n; ++i) sum += std::exp(values[i] - m);
  return m + std::log(sum);
}

// The per-row work of one step, for the model's floating type T.
template <class T>
struct StepKernels {
  const Seq2SeqPlan::Impl& plan;
  std::int64_t rows;
  std::int64_t hidden;

  // c' = f * c + i * g from activated gates [i | f | g | o] per row.
  void cell_state(const at::Tensor& gates, const at::Tensor& c, at::Tensor& c_out) const {
    const T* g = gates.data_ptr<T>();
    const T* c_in = c.data_ptr<T>();
    T* c_next = c_out.data_ptr<T>();
    const std::int64_t h = hidden;
    for (std::int64_t row = 0; row < rows; ++row, g += 4 * h, c_in += h, c_next += h) {
      for (std::int64_t k = 0; k < h; ++k) c_next[k] = g[h + k] * c_in[k] + g[k] * g[2 * h + k];
    }
  }

  // h' = o * tanh(c'), in place over tanh(c').
  void hidden_state(const at::Tensor& gates, at::Tensor& h_out) const {
    const T* g = gates.data_ptr<T>();
    T* h_next = h_out.data_ptr<T>();
    const std::int64_t h = hidden;
    for (std::int64_t row = 0; row < rows; ++row, g += 4 * h, h_next += h) {
      for (std::int64_t k = 0; k < h; ++k) h_next[k] *= g[3 * h + k];
    }
  }

  // Attention of each row over its positions: log-weights into `log_alpha`
  // [rows, positions] and weights into `alpha`. Masked positions score -1e12.
  void attend(const at::Tensor& scores, const at::Tensor* mask, std::vector<double>& log_alpha,
              at::Tensor& alpha) const {
    const std::int64_t positions = scores.size(1);
    const T* score = scores.data_ptr<T>();
    const bool* masked = mask != nullptr ? mask->data_ptr<bool>() : nullptr;
    T* weight = alpha.data_ptr<T>();
    for (std::int64_t row = 0; row < rows; ++row) {
      double* log_weight = log_alpha.data() + row * positions;
      for (std::int64_t j = 0; j < positions; ++j) {
        const bool padding = masked != nullptr && masked[row * positions + j];
        log_weight[j] = padding ? static_cast<double>(static_cast<T>(kMaskedScore))
                                : static_cast<double>(score[row * positions + j]);
      }
      const double normaliser = log_sum_exp(log_weight, positions);
      for (std::int64_t j = 0; j < positions; ++j) {
        log_weight[j] -= normaliser;
        weight[row * positions + j] = static_cast<T>(std::exp(log_weight[j]));
      }
    }
  }

  // [context | h'] per row, the input of the attentional output layer.
  void join(const at::Tensor& context, const at::Tensor& h, at::Tensor& joined) const {
    const T* ctx = context.data_ptr<T>();
    const T* state = h.data_ptr<T>();
    T* out = joined.data_ptr<T>();
    for (std::int64_t row = 0; row < rows; ++row) {
      std::copy_n(ctx + row * hidden, hidden, out + row * 2 * hidden);
      std::copy_n(state + row * hidden, hidden, out + row * 2 * hidden + hidden);
    }
  }

  // With copy gate: log(sigmoid(gate) * copy + (1 - sigmoid(gate)) * vocabulary)
  // over the extended columns of each row, with the row's column limit.
  void copy_mixture(const at::Tensor& vocabulary_log_probs, const at::Tensor& attended, const std::vector<double>& log_alpha,
                    std::int64_t positions, const at::Tensor& source_ext_ids, const at::Tensor* column_limits,
                    at::Tensor& result) const {
    const std::int64_t v_size = plan.vocab_size;
    const std::int64_t width = result.size(1);
    // With POS, position 0 is the tag: it informs the context but is never copied.
    const std::int64_t first = plan.pos ? 1 : 0;
    const std::int64_t sources = positions - first;
    const T* vocabulary = vocabulary_log_probs.data_ptr<T>();
    const T* state = attended.data_ptr<T>();
    const T* gate_weight = plan.decoder.copy_weight.data_ptr<T>();
    const T gate_bias = *plan.decoder.copy_bias.data_ptr<T>();
    const std::int64_t* source = source_ext_ids.data_ptr<std::int64_t>();
    const std::int64_t* limit = column_limits != nullptr ? column_limits->data_ptr<std::int64_t>() : nullptr;
    T* out = result.data_ptr<T>();
    std::vector<double> copy_log(static_cast<std::size_t>(sources));
    std::vector<double> mass(static_cast<std::size_t>(width));
    for (std::int64_t row = 0; row < rows; ++row) {
      double dot = 0.0;
      for (std::int64_t k = 0; k < hidden; ++k) dot += static_cast<double>(state[row * hidden + k]) * gate_weight[k];
      const T gate = static_cast<T>(static_cast<T>(dot) + gate_bias);

      // Attention over the source positions alone, renormalised, plus log sigmoid(gate).
      const double* log_weight = log_alpha.data() + row * positions + first;
      const double source_normaliser = log_sum_exp(log_weight, sources);
      const double log_copy = log_sigmoid(gate);
      double peak = -std::numeric_limits<double>::infinity();
      for (std::int64_t j = 0; j < sources; ++j) {
        copy_log[static_cast<std::size_t>(j)] = log_copy + (log_weight[j] - source_normaliser);
        peak = std::max(peak, copy_log[static_cast<std::size_t>(j)]);
      }
      // Mass per extended id, relative to the peak; positions sharing an id add up.
      std::fill(mass.begin(), mass.end(), 0.0);
      for (std::int64_t j = 0; j < sources; ++j) {
        const std::int64_t id = source[row * sources + j];
        require(id >= 0 && id < width);
        mass[static_cast<std::size_t>(id)] +=
            static_cast<double>(static_cast<T>(std::exp(copy_log[static_cast<std::size_t>(j)] - peak)));
      }

      // log(1 - sigmoid(gate)) as -log(1 + exp(gate)), overflowing to -inf
      // in the model's type as the model defines it.
      const T keep = static_cast<T>(-std::log(static_cast<T>(1) + static_cast<T>(std::exp(gate))));
      const T* generated_row = vocabulary + row * v_size;
      const double unknown = generated_row[detail::kUnkId];
      const std::int64_t row_limit = limit != nullptr ? limit[row] : width;
      T* column = out + row * width;
      for (std::int64_t v = 0; v < width; ++v) {
        if (v >= row_limit) {
          column[v] = static_cast<T>(kMaskedScore);
          continue;
        }
        const double m = mass[static_cast<std::size_t>(v)];
        const double generated = (v < v_size ? static_cast<double>(generated_row[v]) : unknown) + keep;
        // A column without copy mass has the copy side -1e12, which adds
        // exactly nothing under log-sum-exp to a vocabulary side well above it.
        const bool vocabulary_only = m == 0.0 && generated > kMaskedScore + 800.0;
        column[v] = static_cast<T>(vocabulary_only ? generated
                                                   : log_add(m == 0.0 ? kMaskedScore : std::log(m) + peak, generated));
      }
    }
  }

  void forbid_unknown(at::Tensor& log_probs) const {
    T* value = log_probs.data_ptr<T>();
    const std::int64_t width = log_probs.size(1);
    for (std::int64_t row = 0; row < rows; ++row) {
      value[row * width + detail::kUnkId] = -std::numeric_limits<T>::infinity();
    }
  }
};

template <class T>
DecoderStepOutput run_step(const Seq2SeqPlan::Impl& plan, const at::Tensor& ids, const detail::DecoderState& state,
                           const at::Tensor& encoder_outputs, const at::Tensor& source_ext_ids,
                           std::int64_t ext_width, bool forbid_unk, const at::Tensor* attention_mask,
                           const at::Tensor* column_limits) {
  const detail::DecoderWeights& w = plan.decoder;
  const std::int64_t rows = ids.size(0);
  const std::int64_t hidden = plan.hidden_dim;
  const StepKernels<T> kernels{plan, rows, hidden};
  const auto options = w.embedding.options();

  const at::Tensor input = w.embedding.index_select(0, ids);
  at::Tensor gates = at::addmm(w.gate_bias, input, w.weight_ih_t);
  gates.addmm_(state.h, w.weight_hh_t);
  gates.narrow(1, 0, 2 * hidden).sigmoid_();
  gates.narrow(1, 2 * hidden, hidden).tanh_();
  gates.narrow(1, 3 * hidden, hidden).sigmoid_();
  at::Tensor c = at::empty({rows, hidden}, options);
  kernels.cell_state(gates, state.c.contiguous(), c);
  at::Tensor h = at::tanh(c);
  kernels.hidden_state(gates, h);

  const std::int64_t positions = encoder_outputs.size(1);
  const at::Tensor query = at::mm(h, w.linear_in_t);
  const at::Tensor scores = at::bmm(encoder_outputs, query.unsqueeze(2)).view({rows, positions});
  std::vector<double> log_alpha(static_cast<std::size_t>(rows * positions));
  at::Tensor alpha = at::empty({rows, 1, positions}, options);
  kernels.attend(scores, attention_mask, log_alpha, alpha);
  const at::Tensor context = at::bmm(alpha, encoder_outputs);

  at::Tensor joined = at::empty({rows, 2 * hidden}, options);
  kernels.join(context, h, joined);
  const at::Tensor attended = at::mm(joined, w.linear_out_t).tanh_();
  at::Tensor log_probs = at::addmm(w.dec2vocab_bias, attended, w.dec2vocab_t).log_softmax(1);
  if (plan.copy) {
    at::Tensor mixed = at::empty({rows, ext_width}, options);
    kernels.copy_mixture(log_probs, attended, log_alpha, positions, source_ext_ids, column_limits, mixed);
    log_probs = mixed;
  }
  if (forbid_unk) kernels.forbid_unknown(log_probs);
  return {log_probs, h, c};
}

}  // namespace

DecoderStepOutput Seq2SeqPlan::Impl::decode_step(at::Tensor ids, const detail::DecoderState& state,
                                                 const at::Tensor& encoder_outputs,
                                                 const at::Tensor& source_ext_ids, std::int64_t ext_width,
                                                 bool forbid_unk, const at::Tensor* attention_mask,
                                                 const at::Tensor* column_limits) const {
  const at::ScalarType type = decoder.embedding.scalar_type();
  require(ids.defined() && ids.dim() == 1 && ids.scalar_type() == at::kLong && ids.is_contiguous());
  const std::int64_t rows = ids.size(0);
  require(is_matrix(state.h, rows, hidden_dim, type) && is_matrix(state.c, rows, hidden_dim, type));
  require(encoder_outputs.defined() && encoder_outputs.dim() == 3 && encoder_outputs.size(0) == rows &&
          encoder_outputs.size(1) > (pos ? 1 : 0) && encoder_outputs.size(2) == hidden_dim &&
          encoder_outputs.scalar_type() == type);
  const std::int64_t positions = encoder_outputs.size(1);
  if (attention_mask != nullptr) {
    require(is_matrix(*attention_mask, rows, positions, at::kBool) && attention_mask->is_contiguous());
  }
  if (copy) {
    require(ext_width >= vocab_size);
    require(is_matrix(source_ext_ids, rows, positions - (pos ? 1 : 0), at::kLong) &&
            source_ext_ids.is_contiguous());
    if (column_limits != nullptr) {
      require(column_limits->dim() == 1 && column_limits->size(0) == rows &&
              column_limits->scalar_type() == at::kLong && column_limits->is_contiguous());
    }
  }

  // Copied characters are fed back as <UNK>, in the caller's tensor.
  std::int64_t* id = ids.data_ptr<std::int64_t>();
  for (std::int64_t row = 0; row < rows; ++row) {
    if (id[row] >= vocab_size) id[row] = detail::kUnkId;
  }
  if (type == at::kFloat) {
    return run_step<float>(*this, ids, state, encoder_outputs, source_ext_ids, ext_width, forbid_unk,
                           attention_mask, column_limits);
  }
  return run_step<double>(*this, ids, state, encoder_outputs, source_ext_ids, ext_width, forbid_unk,
                          attention_mask, column_limits);
}

}  // namespace lorvane
