#include "models/tagging/character_model.hpp"

#include <ATen/ops/empty.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/sigmoid.h>

#include <algorithm>
#include <stdexcept>

#include "nn/batching.hpp"

namespace lorvane::detail {
namespace {

// Padded character rows per LSTM batch: large enough for efficient matrix
// products, small enough to bound the working memory.
constexpr std::int64_t kBatchCharacters = 8192;

}  // namespace

std::vector<std::string> CharacterModel::tensor_names() {
  std::vector<std::string> names = {"charmodel.char_emb.weight", "charmodel.char_attn.weight",
                                    "charmodel.charlstm_h_init", "charmodel.charlstm_c_init"};
  for (std::string& name : lstm_weight_names("charmodel.charlstm.lstm.", 1, false)) names.push_back(std::move(name));
  names.emplace_back("trans_char.weight");
  return names;
}

void CharacterModel::check_shapes(const ModelTensors& tensors, std::int64_t emb, std::int64_t hidden,
                                  std::int64_t projected) {
  tensors.require("charmodel.char_emb.weight", {kAnySize, emb});
  tensors.require("charmodel.char_attn.weight", {1, hidden});
  tensors.require("charmodel.charlstm_h_init", {1, 1, hidden});
  tensors.require("charmodel.charlstm_c_init", {1, 1, hidden});
  LstmWeights::checked(tensors, "charmodel.charlstm.lstm.", 1, false, emb, hidden);
  tensors.require("trans_char.weight", {projected, hidden});
}

at::Tensor CharacterModel::summaries(const std::vector<std::vector<std::int64_t>>& words) const {
  std::vector<std::int64_t> lengths(words.size());
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (words[i].empty()) throw std::invalid_argument("a word needs at least one character");
    lengths[i] = static_cast<std::int64_t>(words[i].size());
  }
  const at::Tensor result =
      at::empty({static_cast<std::int64_t>(words.size()), lstm_.hidden_size()}, embedding_.options());
  const std::vector<std::size_t> order = longest_first(lengths);
  for (const BatchRange& range : cut_batches(order, lengths, 0, kBatchCharacters)) {
    std::vector<const std::vector<std::int64_t>*> batch;
    std::vector<std::int64_t> rows;
    for (std::size_t position = range.begin; position < range.end; ++position) {
      batch.push_back(&words[order[position]]);
      rows.push_back(static_cast<std::int64_t>(order[position]));
    }
    const at::Tensor row_index =
        at::from_blob(rows.data(), {static_cast<std::int64_t>(rows.size())}, at::kLong);
    result.index_copy_(0, row_index, pooled_batch(batch));
  }
  return result;
}

// The words, longest first, as one padded batch. Padding repeats the first
// id of the batch (an id the model already reads), and the LSTM leaves padded
// steps zero, so they add nothing to the attention-weighted sum.
at::Tensor CharacterModel::pooled_batch(const std::vector<const std::vector<std::int64_t>*>& words) const {
  const auto count = static_cast<std::int64_t>(words.size());
  const auto steps = static_cast<std::int64_t>(words.front()->size());
  std::vector<std::int64_t> ids(static_cast<std::size_t>(count * steps), words.front()->front());
  std::vector<std::int64_t> lengths;
  lengths.reserve(words.size());
  for (std::size_t row = 0; row < words.size(); ++row) {
    std::copy(words[row]->begin(), words[row]->end(), ids.begin() + static_cast<std::ptrdiff_t>(row) * steps);
    lengths.push_back(static_cast<std::int64_t>(words[row]->size()));
  }
  const at::Tensor id_matrix = at::from_blob(ids.data(), {count, steps}, at::kLong);
  const at::Tensor embedded = at::embedding(embedding_, id_matrix);
  const at::Tensor outputs = run_lstm(lstm_, embedded, lengths, initial_).output;
  const at::Tensor weights = at::sigmoid(at::linear(outputs, attention_));
  return (outputs * weights).sum(1);
}

at::Tensor CharacterModel::project(const at::Tensor& summaries) const {
  return at::linear(summaries, projection_);
}

}  // namespace lorvane::detail
