#pragma once

// The loaded state of a constituency bundle: an in-order transition parser
// over a word encoder, with LSTM summaries of its transition and constituent
// stacks. Private to the constituency parser.

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "encoders/charlm/native_charlm.hpp"
#include "encoders/transformer/native_transformer.hpp"
#include "lorvane/bundle.hpp"
#include "lorvane/constituency.hpp"
#include "nn/lstm.hpp"
#include "nn/model_tensors.hpp"
#include "nn/vocabulary.hpp"

namespace lorvane {

enum class TransitionKind { Shift, Close, Open };

// One entry of the transition table. An Open carries at least one label and a
// non-negative row of "dummy_embedding.weight"; Shift and Close carry neither.
struct Transition {
  TransitionKind kind = TransitionKind::Shift;
  std::vector<std::string> labels;
  std::int64_t open_index = -1;
};

using LabelSet = std::unordered_set<std::string, detail::TransparentStringHash, std::equal_to<>>;

// The tensors that parsing reads on every sentence or step, fetched once after
// validation. Undefined when the profile does not use them (tag embedding
// with Dt = 0, boundary embeddings without sentence boundaries).
struct ConstituencyWeights {
  at::Tensor embedding;
  at::Tensor delta_embedding;
  at::Tensor tag_embedding;
  at::Tensor word_start;
  at::Tensor word_end;
  at::Tensor word_to_constituent_weight;
  at::Tensor word_to_constituent_bias;
  at::Tensor transition_embedding;
  at::Tensor dummy_embedding;
  at::Tensor reduce_weight;
  at::Tensor reduce_bias;
  at::Tensor transition_start;
  at::Tensor constituent_start;
};

// Fixed once construction returns; every operation is const.
// Safe to share across threads: all operations are const.
struct ConstituencyPlan::Impl {
  std::shared_ptr<const ModelBundle> bundle;
  // Views over the bundle's read-only mapping: never write through them.
  detail::ModelTensors tensors;
  detail::UnitIds pretrain_vocab;
  detail::UnitIds delta_vocab;  // word -> position + 2 (first position of a repeat)
  detail::UnitIds tag_vocab;    // tag -> position + 2 (first position of a repeat)
  LabelSet root_labels;
  std::vector<Transition> transitions;
  std::unique_ptr<detail::NativeCharLM> forward_charlm;
  std::unique_ptr<detail::NativeCharLM> backward_charlm;
  std::unique_ptr<detail::NativeTransformer> transformer;
  detail::LstmWeights word_lstm_weights;
  detail::LstmWeights transition_stack_weights;
  detail::LstmWeights constituent_stack_weights;
  detail::LstmState word_lstm_state;          // zeros [2L, 1, H]
  detail::LstmState transition_stack_state;   // zeros [L, 1, Ht]
  detail::LstmState constituent_stack_state;  // zeros [L, 1, H]
  std::vector<std::pair<at::Tensor, at::Tensor>> output_layers;  // (weight, bias), layer 0 first
  ConstituencyWeights fetched;
  std::int64_t hidden_size = 0;
  std::int64_t transition_hidden_size = 0;
  std::int64_t tag_embedding_dim = 0;
  std::int64_t transition_embedding_dim = 0;
  std::int64_t delta_embedding_dim = 0;
  std::int64_t num_lstm_layers = 0;
  std::int64_t num_output_layers = 0;
  std::int64_t unary_limit = 0;
  // Embedding rows the delta and tag ids need: the largest assigned id + 1.
  std::int64_t delta_rows = 2;
  std::int64_t tag_rows = 2;
  bool sentence_boundaries = false;
  bool uses_xpos = false;
  bool pretrain_lower = false;
  bool has_forward_charlm = false;
  bool has_backward_charlm = false;
  bool uses_transformer = false;
  bool has_shift = false;
  bool has_close = false;

  // The view of that name; an absent name throws ConstituencyModelError
  // "missing constituency tensor: '<name>'".
  const at::Tensor& weight(std::string_view name) const;
  // Presence, vocabulary rows and hidden widths, in that order; the first
  // failure throws.
  void validate_tensors() const;
  detail::LstmWeights make_lstm_weights(std::string_view prefix, bool bidirectional) const;

  // The n + 2 word vectors of one sentence ([H] each): the start sentinel,
  // one per word, the end sentinel. REQUIRES: n >= 1 and as many tags as words.
  std::vector<at::Tensor> encode_words(const std::vector<std::string>& words,
                                       const std::vector<std::string>& tags) const;
  // The tree of one sentence; ConstituencyModelError for every failure of the parse.
  ConstituencyTree parse(const std::vector<std::string>& words,
                         const std::vector<std::string>& tags) const;
  // True when the tree's root starts a chain of single-child nodes longer
  // than unary_limit.
  bool too_many_unary(const ConstituencyTree& tree) const;
};

namespace detail {

// Opens and checks the bundle and builds the plan's state, step by step. JSON
// errors leave as detail::JsonError (the plan's constructor turns them into
// ConstituencyModelError).
std::unique_ptr<ConstituencyPlan::Impl> load_constituency_plan(std::filesystem::path bundle_dir,
                                                               bool verify_checksums);

// The key under which a word is looked up in the pretrained vocabulary:
// lower-cased when `lower`, every space replaced by U+00A0.
std::string pretrain_key(std::string_view word, bool lower);

}  // namespace detail

}  // namespace lorvane
