#pragma once

// The loaded state of a tokenize bundle. Private to the tokenizer: only .cpp
// files that already need libtorch include it.

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "lorvane/tokenizer.hpp"
#include "models/tokenizer/text/units.hpp"
#include "nn/lstm.hpp"
#include "nn/model_tensors.hpp"
#include "nn/vocabulary.hpp"

namespace lorvane {

// Fixed once the constructor returns; every operation is const.
// Safe to share across threads: all operations are const.
struct TokenizerPlan::Impl {
  std::shared_ptr<const ModelBundle> bundle;
  detail::UnitIds vocabulary;
  // Views over the bundle's mapped tensor file: never write through them.
  detail::ModelTensors tensors;
  detail::LstmWeights rnn;   // rnn.{weight_ih,weight_hh,bias_ih,bias_hh}_l0[_reverse]; zero initial state
  detail::LstmWeights rnn2;  // the same for rnn2.
  std::unordered_set<std::string> lexicon_words;
  std::unordered_set<std::string> lexicon_prefixes;  // proper, non-empty prefixes of the words
  std::unordered_set<std::string> lexicon_suffixes;  // proper, non-empty suffixes of the words
  std::vector<std::string> feat_funcs;
  std::int64_t pad_id = 0;
  std::int64_t unk_id = 0;
  std::int64_t emb_dim = 0;
  std::int64_t hidden_dim = 0;
  std::int64_t feat_dim = 0;
  std::int64_t rnn_layers = 0;
  std::int64_t num_dict_feat = 0;
  std::int64_t batch_size = 32;
  bool hierarchical = false;
  bool use_mwt = false;
  bool use_dictionary = false;
  bool skip_newline = false;
  double hier_invtemp = 0.0;
  std::string shorthand;
  std::string lang;

  // The tensor of that name. Throws TokenizerModelError
  // "missing tokenizer weight: '<name>'".
  const at::Tensor& weight(std::string_view name) const;

  // Feature rows of one paragraph: units.size() x feat_dim floats, row-major,
  // each 0.0 or 1.0. Throws TokenizerModelError
  // "tokenizer feature dimension does not match feat_funcs" when the
  // configured features do not add up to feat_dim.
  std::vector<float> compute_features(const std::vector<detail::TokenizerUnit>& units) const;

  // One label per unit (0..4). Paragraphs longer than the window are run in
  // windows; an empty paragraph yields no labels.
  std::vector<std::int64_t> predict_paragraph(const std::vector<detail::TokenizerUnit>& units) const;
  // Labels of several non-empty paragraphs run as one padded batch, in input order.
  std::vector<std::vector<std::int64_t>> predict_batch(
      const std::vector<const std::vector<detail::TokenizerUnit>*>& paragraphs) const;
  // A new document over the text of `document` with the sentences and tokens
  // that the labels describe; `paragraphs` were cut from exactly that text.
  Document build_document(const Document& document,
                          const std::vector<std::vector<detail::TokenizerUnit>>& paragraphs,
                          const std::vector<std::vector<std::int64_t>>& labels) const;
  // Batched tokenization of many documents; output i is built from input i.
  std::vector<Document> process_bulk(const std::vector<Document>& documents) const;
};

}  // namespace lorvane
