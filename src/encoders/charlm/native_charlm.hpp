#pragma once

// A character-level LSTM language model used as a word encoder: it reads a
// sentence as one stream of code points and yields, for every word, the top
// layer's output at the space that ends the word. Forward models read the
// sentence from its first word on; backward models from its last word on,
// each word spelled backwards. Rows always come back in input word order.

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bundle/json.hpp"
#include "lorvane/bundle.hpp"
#include "nn/lstm.hpp"
#include "nn/vocabulary.hpp"

namespace lorvane::detail {

// Safe to share across threads: immutable after construction, all operations const.
class NativeCharLM {
 public:
  // Builds the model from the bundle's tensors named `tensor_prefix` + name
  // ("charlstm.lstm.weight_ih_l0", ...) and one character-LM assets object
  // ("config", "is_forward_lm", "vocab"). JSON errors pass as
  // detail::JsonError; model errors are CharLMModelError; an absent tensor is
  // the bundle's ModelBundleError.
  NativeCharLM(std::shared_ptr<const ModelBundle> bundle, std::string tensor_prefix,
               const JsonValue& assets);
  NativeCharLM(const NativeCharLM&) = delete;
  NativeCharLM& operator=(const NativeCharLM&) = delete;

  bool is_forward() const noexcept;
  // The width of every returned row.
  std::int64_t hidden_size() const noexcept;

  // [words, hidden_size] of the model's floating type, row i for words[i].
  // Throws std::invalid_argument for a word that is not valid UTF-8.
  at::Tensor encode(const std::vector<std::string>& words) const;
  // encode() of every sentence, in input order, run in packed batches.
  std::vector<at::Tensor> encode_many(const std::vector<std::vector<std::string>>& sentences) const;

  // The input of one sentence: the character ids (the start symbol, then
  // each word's characters and the word-end symbol, words and characters
  // reversed in a backward model) and, per input word in input order, the
  // index of the word-end symbol whose output is the word's row.
  struct SentenceIds {
    std::vector<std::int64_t> ids;
    std::vector<std::int64_t> positions;
  };
  // Throws std::invalid_argument for a word that is not valid UTF-8.
  SentenceIds sentence_ids(const std::vector<std::string>& words) const;

 private:
  LstmState initial_state() const { return {initial_h_, initial_c_}; }

  std::shared_ptr<const ModelBundle> bundle_;
  std::string tensor_prefix_;
  LstmWeights lstm_;
  UnitIds vocabulary_;
  at::Tensor embedding_;
  at::Tensor initial_h_;
  at::Tensor initial_c_;
  std::int64_t hidden_size_ = 0;
  std::int64_t layers_ = 0;
  bool forward_ = true;
  std::int64_t start_id_ = 0;    // the line feed
  std::int64_t end_id_ = 0;      // the space that ends every word
  std::int64_t unknown_id_ = 1;  // "<UNK>", or 1 when the vocabulary has none
};

}  // namespace lorvane::detail
