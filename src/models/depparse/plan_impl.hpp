#pragma once

// The loaded state of a "depparse" bundle and the operations of the parser:
// loading (plan.cpp), the sentence encoder (encoder.cpp), arc and relation
// scoring (scoring.cpp), decoding (spanning_tree.cpp, head_constraints.cpp,
// labelled_parse.cpp) and the entry points (entry_points.cpp).
//
// Positions of a sentence of n words are 0 .. n: 0 is the synthetic ROOT,
// k the k-th word. Encoder rows, scores and heads all count this way.

#include <ATen/core/Tensor.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "encoders/charlm/native_charlm.hpp"
#include "encoders/transformer/native_transformer.hpp"
#include "lorvane/bundle.hpp"
#include "lorvane/depparse.hpp"
#include "models/depparse/scoring.hpp"
#include "models/tagging/character_model.hpp"
#include "models/tagging/highway_lstm.hpp"
#include "nn/model_tensors.hpp"
#include "nn/vocabulary.hpp"

namespace lorvane {

// Fixed once the constructor returns; every operation is const.
// Safe to share across threads: all operations are const.
struct DepparsePlan::Impl {
  using ParserLayer = detail::HighwayLayer;
  using Sentences = std::vector<std::vector<DepparseWord>>;

  // Opens and validates the bundle (every step of the loading order).
  Impl(std::filesystem::path bundle_dir, bool verify_checksums);

  std::shared_ptr<const ModelBundle> bundle;
  // Views over the bundle's mapped tensor file: never write through them.
  detail::ModelTensors tensors;
  detail::CharacterModel character;  // unset with use_charlm
  std::vector<ParserLayer> parser_layers;
  detail::UnitIds word_vocab;
  detail::UnitIds lemma_vocab;
  detail::UnitIds char_vocab;
  detail::UnitIds upos_vocab;
  detail::UnitIds xpos_vocab;                          // plain XPOS only
  std::vector<detail::UnitIds> xpos_component_vocabs;  // composite XPOS only
  detail::UnitIds pretrain_vocab;
  std::vector<std::string> deprel_units;  // relation class r is unit r + 4
  std::uint64_t feats_count = 0;
  std::int64_t word_emb_dim = 0;
  std::int64_t tag_emb_dim = 0;
  std::int64_t transformed_dim = 0;
  std::int64_t char_emb_dim = 0;
  std::int64_t char_hidden_dim = 0;
  std::int64_t hidden_dim = 0;
  std::int64_t num_layers = 0;
  std::int64_t batch_size = 5000;  // padded rows per batch (first length x count)
  std::int64_t deep_biaff_hidden_dim = 0;
  std::string xpos_separator;
  bool word_lowercase = false;
  bool lemma_lowercase = false;
  bool xpos_ignore = false;
  bool xpos_composite = false;
  bool linearization = false;
  bool distance = false;
  bool use_charlm = false;
  bool use_transformer = false;
  std::unique_ptr<detail::NativeCharLM> forward_charlm;
  std::unique_ptr<detail::NativeCharLM> backward_charlm;
  std::unique_ptr<detail::NativeTransformer> transformer;
  // Arc-score cells (positions squared) that a bulk parse scores before it
  // decodes those sentences and releases their scores; at least one sentence
  // is scored at a time. Bounds the memory of a bulk parse by one slice of
  // scores rather than all of them.
  std::int64_t scored_cells_per_slice = std::int64_t{1} << 24;
  // DepparseOptions::max_arc_score_bytes of the plan.
  std::uint64_t max_arc_score_bytes = DepparseOptions{}.max_arc_score_bytes;

  // Weights of the input blocks and the scorers, fetched once after validation.
  at::Tensor word_embedding;
  at::Tensor lemma_embedding;
  at::Tensor upos_embedding;
  std::vector<at::Tensor> xpos_embeddings;  // one, or one per composite component
  at::Tensor pretrained_embedding;
  at::Tensor pretrained_projection;
  detail::ArcScorers scorers;

  // The tensor of that name; absent: DepparseModelError
  // "missing depparse tensor: '<name>'".
  const at::Tensor& weight(std::string_view name) const;
  // Requires the six tensors of one deep biaffine scorer, in scorer order.
  void require_deep_biaffine(std::string_view scorer) const;
  // Presence and shape rules of the tensors against configuration and vocabularies.
  void validate_tensors() const;

  // --- encoder (encoder.cpp) ---

  // [1, n + 1, input width] for n >= 1 words, row 0 the ROOT. forward_rows /
  // backward_rows are the character-LM rows of "\n" and the words
  // ([n + 1, width]), or null to compute them; read only with use_charlm.
  at::Tensor sentence_inputs(const std::vector<DepparseWord>& words, const at::Tensor* forward_rows,
                             const at::Tensor* backward_rows) const;
  // [1, n + 1, 2 x hidden_dim] for n >= 1 words.
  at::Tensor encode(const std::vector<DepparseWord>& words, const at::Tensor* forward_rows,
                    const at::Tensor* backward_rows) const;
  // encode() of every sentence in length-sorted batches under the padded-row
  // budget, in input order; an undefined tensor for an empty sentence. With
  // use_charlm, forward_rows[i] and backward_rows[i] are the character-LM rows
  // of sentence i (DepparseModelError "depparse charLM rows do not match the
  // encoded sentences" when they are missing or of the wrong length).
  std::vector<at::Tensor> encode_many(const Sentences& sentences, const std::vector<at::Tensor>& forward_rows,
                                      const std::vector<at::Tensor>& backward_rows) const;

  // The input rows of several sentences, each sentence's ROOT row followed by
  // its words, sentence after sentence: [sum of (words + 1), input width].
  // Character-LM rows come from `forward_rows`/`backward_rows` (one per
  // sentence, null to compute) when given.
  at::Tensor stacked_inputs(const std::vector<const std::vector<DepparseWord>*>& sentences,
                            const std::vector<const at::Tensor*>& forward_rows,
                            const std::vector<const at::Tensor*>& backward_rows) const;

  // What the character language models read for a sentence: "\n" for the
  // ROOT, then the word forms as written.
  static std::vector<std::string> charlm_words(const std::vector<DepparseWord>& words);

  // --- scoring and decoding ---

  // (arc [B, L, L], relation [B, L, L, R]) log-probabilities of encoded rows.
  detail::ArcScores score_encoded(const at::Tensor& encoded, const at::Tensor* padding_mask) const;
  // The scores of every sentence ([1, n, n], [1, n, n, R]), in input order;
  // undefined tensors for an empty sentence.
  std::vector<detail::ArcScores> score_encoded_many(const std::vector<at::Tensor>& encoded,
                                                    const Sentences& sentences) const;
  // One prediction per word of the sentence whose scores are given.
  std::vector<DependencyPrediction> parse_scored(const std::vector<DepparseWord>& words, at::Tensor arcs,
                                                 at::Tensor relations) const;
  std::vector<DependencyPrediction> parse_scored(const std::vector<DepparseWord>& words,
                                                 const detail::SentenceScores& scores) const;
  // Refuses a sentence of `words` words whose arc scores would take more than
  // max_arc_score_bytes: DepparseModelError "depparse refuses a sentence of
  // <words> words: its arc scores would take <bytes> bytes, above
  // max_arc_score_bytes (<limit>)" followed by `where` (e.g. ": sentence 3").
  void check_sentence_length(std::size_t words, const std::string& where) const;
  // The parses of many sentences, batched; an empty list for an empty
  // sentence. Refuses (check_sentence_length, ": sentence <i>") before any
  // model work when one of them is too long.
  std::vector<std::vector<DependencyPrediction>> parse_many(const Sentences& sentences) const;
};

}  // namespace lorvane
