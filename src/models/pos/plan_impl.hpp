#pragma once

// The loaded state of a "pos" bundle and the operations of the tagger:
// loading (plan.cpp), the sentence encoder (encoder.cpp), the tagging heads
// (heads.cpp) and the entry points (entry_points.cpp).

#include <ATen/core/Tensor.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "encoders/charlm/native_charlm.hpp"
#include "encoders/transformer/native_transformer.hpp"
#include "lorvane/bundle.hpp"
#include "lorvane/pos.hpp"
#include "models/tagging/character_model.hpp"
#include "models/tagging/highway_lstm.hpp"
#include "nn/model_tensors.hpp"
#include "nn/vocabulary.hpp"

namespace lorvane {

// One morphological feature: its name and the value of each class id.
struct FeatureVocab {
  std::string name;
  std::vector<std::string> units;
};

// Fixed once the constructor returns; every operation is const.
// Safe to share across threads: all operations are const.
struct POSPlan::Impl {
  using TaggerLayer = detail::HighwayLayer;

  // One biaffine classifier: weight [classes, hidden + 1, tag_emb_dim + 1], bias [classes].
  struct Biaffine {
    at::Tensor weight;
    at::Tensor bias;
  };

  // Opens and validates the bundle (every step of the loading order).
  Impl(std::filesystem::path bundle_dir, bool verify_checksums);

  std::shared_ptr<const ModelBundle> bundle;
  // Views over the bundle's mapped tensor file: never write through them.
  detail::ModelTensors tensors;
  detail::CharacterModel character;  // unset with use_charlm
  std::vector<TaggerLayer> tagger_layers;
  detail::UnitIds word_vocab;
  detail::UnitIds char_vocab;
  detail::UnitIds pretrain_vocab;
  std::vector<std::string> upos_units;
  std::vector<std::string> xpos_units;                   // plain XPOS only
  std::vector<std::vector<std::string>> xpos_components;  // composite XPOS only
  std::vector<FeatureVocab> feats_vocab;                 // ascending byte order of the names
  std::int64_t word_emb_dim = 0;
  std::int64_t transformed_dim = 0;
  std::int64_t char_emb_dim = 0;
  std::int64_t char_hidden_dim = 0;
  std::int64_t hidden_dim = 0;
  std::int64_t num_layers = 0;
  std::int64_t tag_emb_dim = 0;
  std::int64_t charlm_transform_dim = 0;
  std::int64_t batch_size = 250;
  std::int64_t batch_maximum_tokens = 5000;
  std::string xpos_separator;
  bool word_lowercase = false;
  bool xpos_ignore = false;
  bool xpos_composite = false;
  bool use_charlm = false;
  bool use_transformer = false;
  std::unique_ptr<detail::NativeCharLM> forward_charlm;
  std::unique_ptr<detail::NativeCharLM> backward_charlm;
  std::unique_ptr<detail::NativeTransformer> transformer;

  // Weights of the input blocks and the heads, fetched once after validation.
  at::Tensor word_embedding;
  at::Tensor pretrained_embedding;
  at::Tensor pretrained_projection;
  at::Tensor forward_charlm_projection;   // only with use_charlm and charlm_transform_dim > 0
  at::Tensor backward_charlm_projection;  // likewise
  at::Tensor upos_hidden_weight, upos_hidden_bias;
  at::Tensor upos_classifier_weight, upos_classifier_bias;
  at::Tensor upos_embedding;
  at::Tensor xpos_hidden_weight, xpos_hidden_bias;
  at::Tensor feats_hidden_weight, feats_hidden_bias;
  std::vector<Biaffine> xpos_classifiers;     // one, or one per composite component
  std::vector<Biaffine> feature_classifiers;  // one per entry of feats_vocab

  // The tensor of that name; absent: POSModelError "missing POS tensor: '<name>'".
  const at::Tensor& weight(std::string_view name) const;
  // Presence and shape rules of the tensors against configuration and vocabularies.
  void validate_tensors() const;

  // --- encoder (encoder.cpp) ---

  // [1, n, input width] for n >= 1 words. forward_rows / backward_rows are the
  // character-LM rows of these words ([n, width]), or null to compute them;
  // read only with use_charlm.
  at::Tensor sentence_inputs(const std::vector<std::string>& words, const at::Tensor* forward_rows,
                             const at::Tensor* backward_rows) const;
  // [n, 2 x hidden_dim] for n >= 1 words.
  at::Tensor encode(const std::vector<std::string>& words, const at::Tensor* forward_rows,
                    const at::Tensor* backward_rows) const;
  // encode() of every sentence in length-sorted batches, in input order; an
  // undefined tensor for an empty sentence. With use_charlm, forward_rows[i]
  // and backward_rows[i] are the character-LM rows of sentence i.
  std::vector<at::Tensor> encode_many(const std::vector<std::vector<std::string>>& sentences,
                                      const std::vector<at::Tensor>& forward_rows,
                                      const std::vector<at::Tensor>& backward_rows) const;

  // --- heads (heads.cpp) ---

  // Logits [n, classes] of one biaffine classifier over hidden [n, p] and the
  // UPOS embedding of each row. The rows come in groups of equal UPOS:
  // group g holds group_sizes[g] consecutive rows, whose embedding is row g of
  // tag_rows [groups, q].
  at::Tensor biaffine(const at::Tensor& hidden, const at::Tensor& tag_rows,
                      const std::vector<std::int64_t>& group_sizes, const Biaffine& classifier) const;
  // One tag per row of encoded [n, 2 x hidden_dim]; word_count must equal n.
  std::vector<POSTag> tag_encoded(const at::Tensor& encoded, std::size_t word_count) const;
  // tag_encoded() of every sentence in batches; an empty list for an empty sentence.
  std::vector<std::vector<POSTag>> tag_encoded_many(
      const std::vector<at::Tensor>& encoded,
      const std::vector<std::vector<std::string>>& sentences) const;

  // The input rows of the words of several sentences, sentence after
  // sentence: [total words, input width]. Character-LM rows come from
  // `forward_rows`/`backward_rows` (one per sentence) when given.
  at::Tensor word_inputs(const std::vector<const std::vector<std::string>*>& sentences,
                         const std::vector<const at::Tensor*>& forward_rows,
                         const std::vector<const at::Tensor*>& backward_rows) const;
};

}  // namespace lorvane
