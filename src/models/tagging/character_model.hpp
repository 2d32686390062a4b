#pragma once

// The character part of the tagger's and the parser's word input: a one-layer
// unidirectional character LSTM whose outputs are pooled with sigmoid
// attention weights into one vector per word, then projected.

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "nn/lstm.hpp"
#include "nn/model_tensors.hpp"

namespace lorvane::detail {

// Safe to share across threads: immutable after construction.
class CharacterModel {
 public:
  CharacterModel() = default;

  // The tensors "charmodel.char_emb.weight", "charmodel.char_attn.weight",
  // "charmodel.charlstm_h_init", "charmodel.charlstm_c_init", the four
  // "charmodel.charlstm.lstm.*_l0" weights and "trans_char.weight", each
  // fetched through `lookup` (the plan's accessor with its missing-tensor
  // message).
  template <class Lookup>
  static CharacterModel from_tensors(Lookup&& lookup) {
    CharacterModel model;
    model.lstm_ = LstmWeights::from_names("charmodel.charlstm.lstm.", 1, false, lookup);
    model.initial_ = {lookup("charmodel.charlstm_h_init"), lookup("charmodel.charlstm_c_init")};
    model.embedding_ = lookup("charmodel.char_emb.weight");
    model.attention_ = lookup("charmodel.char_attn.weight");
    model.projection_ = lookup("trans_char.weight");
    return model;
  }

  // The names from_tensors fetches, for the plan's check that all exist.
  static std::vector<std::string> tensor_names();

  // Checks every tensor from_tensors fetches against the configured sizes
  // (each at least 1 and at most kMaxConfiguredSize): embedding
  // [rows, emb], attention [1, hidden], initial states [1, 1, hidden], the
  // LSTM from emb to hidden, projection [projected, hidden]; all of the
  // table's floating type.
  static void check_shapes(const ModelTensors& tensors, std::int64_t emb, std::int64_t hidden,
                           std::int64_t projected);

  // One pooled vector per word, [words, char_hidden_dim], rows in input
  // order. Each word is given by its character ids and must have at least one
  // (std::invalid_argument otherwise). Each row is what the LSTM computes for
  // that word alone, from the stored initial state: words run in packed,
  // length-sorted batches, whose padding takes no part in the recurrence or
  // the pooling.
  at::Tensor summaries(const std::vector<std::vector<std::int64_t>>& words) const;

  // linear(summaries, "trans_char.weight") without bias.
  at::Tensor project(const at::Tensor& summaries) const;

 private:
  at::Tensor pooled_batch(const std::vector<const std::vector<std::int64_t>*>& words) const;

  LstmWeights lstm_;
  LstmState initial_;
  at::Tensor embedding_;
  at::Tensor attention_;
  at::Tensor projection_;
};

}  // namespace lorvane::detail
