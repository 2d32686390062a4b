#pragma once

// The loaded state of an ner bundle. Private to the entity tagger: only .cpp
// files that already need libtorch include it.

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "encoders/charlm/native_charlm.hpp"
#include "encoders/transformer/native_transformer.hpp"
#include "lorvane/bundle.hpp"
#include "lorvane/ner.hpp"
#include "nn/lstm.hpp"
#include "nn/model_tensors.hpp"
#include "nn/vocabulary.hpp"

namespace lorvane {

// The classifier and CRF of one tag column. Plain value of tensor views.
struct NERTagHead {
  at::Tensor weight;       // tag_clfs.<c>.weight [tags, input width]
  at::Tensor bias;         // tag_clfs.<c>.bias [tags]
  at::Tensor transitions;  // crits.<c>._transitions [tags, tags]: row = previous tag
};

// Fixed once the constructor returns; fields are declared so that the bundle,
// whose mapping every tensor views, is destroyed last.
// Safe to share across threads: all operations are const.
struct NERPlan::Impl {
  // Opens the bundle and builds everything, checking the bundle step by step.
  // JSON errors are detail::JsonError here; NERPlan turns them into
  // NERModelError.
  Impl(std::filesystem::path bundle_dir, bool verify_checksums);

  std::shared_ptr<const ModelBundle> bundle;
  // Views over the bundle's mapped tensor file: never write through them.
  detail::ModelTensors tensors;
  detail::UnitIds word_vocab;
  detail::UnitIds delta_vocab;
  detail::UnitIds char_vocab;
  // tag_columns[c][id]: the tag of that id in column c.
  std::vector<std::vector<std::string>> tag_columns;
  std::int64_t word_emb_dim = 0;
  std::int64_t char_emb_dim = 0;
  std::int64_t char_hidden_dim = 0;
  std::int64_t char_num_layers = 0;
  std::int64_t hidden_dim = 0;
  std::int64_t num_layers = 0;
  std::int64_t predict_tagset = 0;
  bool lowercase = true;
  bool char_lowercase = false;
  bool word_lower = false;
  bool delta_lower = false;
  bool input_transform = false;
  bool connect_output_layers = false;
  bool charlm = false;
  bool use_transformer = false;
  std::unique_ptr<detail::NativeCharLM> charlm_forward;
  std::unique_ptr<detail::NativeCharLM> charlm_backward;
  std::unique_ptr<detail::NativeTransformer> transformer;
  detail::LstmWeights char_lstm;                // empty with charlm
  std::vector<at::Tensor> char_initial_state;  // h, c [2 x char layers, 1, char hidden]; empty with charlm
  detail::LstmWeights tagger_lstm;
  std::vector<at::Tensor> tagger_initial_state;  // h, c [2 x layers, 1, hidden]
  std::vector<NERTagHead> tag_heads;             // one per tag column

  // --- Tensors (plan.cpp) ---
  // The tensor of that name; NERModelError "missing NER tensor: '<name>'".
  const at::Tensor& weight(std::string_view name) const;
  // Presence of every required tensor, then the compared shapes.
  void validate_tensors() const;
  // The complete shapes and vocabulary ids, after validate_tensors' rules.
  void check_model_shapes(std::int64_t width) const;
  detail::LstmWeights make_char_weights() const;
  detail::LstmWeights make_tagger_weights() const;
  // The width of a tagger input row.
  std::int64_t input_width() const;

  // --- Input encoding (encoding.cpp) ---
  // The word and delta ids of one token.
  struct TokenIds {
    std::int64_t word = 0;
    std::int64_t delta = 0;
  };
  TokenIds token_ids(std::string_view token) const;
  // The tagger input of one sentence (n >= 1 tokens): [1, n, D].
  at::Tensor sentence_inputs(const std::vector<std::string>& tokens) const;
  // The input rows of several sentences (each non-empty), all tokens one
  // after the other: [total tokens, D]. Row for row what sentence_inputs
  // gives, with the character LSTM run over every token in packed batches.
  at::Tensor batch_inputs(const std::vector<const std::vector<std::string>*>& sentences) const;

  // --- Tagging (tagger.cpp) ---
  // A stored initial state {h, c} as run_lstm takes it, one state for every
  // row. Raises the tensor library's error unless both are
  // [2 x layers, 1, hidden] of `weights`.
  static detail::LstmState initial_state(const std::vector<at::Tensor>& state,
                                         const detail::LstmWeights& weights);
  // Scores of the predicted column's head for rows of several sentences
  // ([total tokens, D], sentence lengths in order): [total tokens, K].
  at::Tensor emission_scores(const at::Tensor& rows, const std::vector<std::int64_t>& lengths) const;
  // BIOES tags of one sentence's emission rows [n, K].
  std::vector<std::string> decode_tags(const at::Tensor& emissions) const;
  // One tag per token; an empty sentence gives no tags.
  std::vector<std::string> tag(const std::vector<std::string>& tokens) const;
  // The batches tag_many runs: indices of non-empty sentences, longest first,
  // cut by a sentence count and a padded-row budget.
  std::vector<std::vector<std::size_t>> tagging_batches(
      const std::vector<std::vector<std::string>>& sentences) const;
  // tag() of several sentences, batched; result i belongs to sentence i.
  std::vector<std::vector<std::string>> tag_many(
      const std::vector<std::vector<std::string>>& sentences) const;
};

}  // namespace lorvane
