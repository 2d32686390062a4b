// The sentence encoder: per-word inputs from the word, pretrained, character
// and transformer blocks, then the highway BiLSTM layers, for one sentence or
// for many in length-sorted batches.

#include <ATen/ops/cat.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/linear.h>

#include <string>
#include <string_view>
#include <unordered_map>

#include "models/pos/plan_impl.hpp"
#include "models/tagging/word_keys.hpp"

namespace lorvane {
namespace {

[[noreturn]] void fail(const std::string& message) { throw POSModelError(message); }

at::Tensor id_tensor(std::vector<std::int64_t>& ids) {
  return at::from_blob(ids.data(), {static_cast<std::int64_t>(ids.size())}, at::kLong);
}

// Vocabulary ids of every word, and the distinct normalised words whose
// character summaries the character-LSTM variant needs.
struct WordKeys {
  std::vector<std::int64_t> word_ids;
  std::vector<std::int64_t> pretrained_ids;
  std::vector<std::vector<std::int64_t>> character_ids;  // one list per distinct normalised word
  std::vector<std::int64_t> character_rows;              // per word: its entry of character_ids
};

std::int64_t total_words(const std::vector<const std::vector<std::string>*>& sentences) {
  std::int64_t total = 0;
  for (const auto* words : sentences) total += static_cast<std::int64_t>(words->size());
  return total;
}

// The character-LM rows of several sentences stacked: the given rows of each
// sentence, or the model's own when none are given.
at::Tensor charlm_rows(const detail::NativeCharLM& model,
                       const std::vector<const std::vector<std::string>*>& sentences,
                       const std::vector<const at::Tensor*>& given) {
  std::vector<at::Tensor> rows;
  rows.reserve(sentences.size());
  for (std::size_t i = 0; i < sentences.size(); ++i) {
    const at::Tensor* supplied = i < given.size() ? given[i] : nullptr;
    if (supplied == nullptr) {
      rows.push_back(model.encode(*sentences[i]));
      continue;
    }
    if (!supplied->defined() || supplied->dim() != 2 ||
        supplied->size(0) != static_cast<std::int64_t>(sentences[i]->size())) {
      fail("POS charLM rows do not match the encoded sentences");
    }
    rows.push_back(*supplied);
  }
  return at::cat(rows);
}

// The keys of every word in order. Each word is split (and so checked as
// UTF-8) and normalised; with the character LSTM, a word without code points
// is refused.
WordKeys word_keys(const POSPlan::Impl& impl, const std::vector<const std::vector<std::string>*>& sentences) {
  WordKeys keys;
  const auto total = static_cast<std::size_t>(total_words(sentences));
  keys.word_ids.reserve(total);
  keys.pretrained_ids.reserve(total);
  std::unordered_map<std::string_view, std::int64_t> character_row_of;
  for (const auto* words : sentences) {
    for (const std::string& word : *words) {
      const std::vector<std::string_view> code_points = detail::split_code_points(word);
      const std::string_view normalized = detail::normalize_punctuation(word, code_points);
      keys.word_ids.push_back(
          detail::id_or(impl.word_vocab, detail::word_key(normalized, impl.word_lowercase), 1));
      keys.pretrained_ids.push_back(detail::id_or(impl.pretrain_vocab, detail::pretrained_key(normalized), 1));
      if (impl.use_charlm) continue;
      if (normalized.empty()) fail("POS cannot encode an empty word");
      const auto [found, inserted] =
          character_row_of.try_emplace(normalized, static_cast<std::int64_t>(keys.character_ids.size()));
      if (inserted) keys.character_ids.push_back(detail::character_ids(impl.char_vocab, normalized, code_points, word));
      keys.character_rows.push_back(found->second);
    }
  }
  return keys;
}

}  // namespace

at::Tensor POSPlan::Impl::word_inputs(const std::vector<const std::vector<std::string>*>& sentences,
                                      const std::vector<const at::Tensor*>& forward_rows,
                                      const std::vector<const at::Tensor*>& backward_rows) const {
  WordKeys keys = word_keys(*this, sentences);
  std::vector<at::Tensor> blocks;
  blocks.push_back(at::embedding(word_embedding, id_tensor(keys.word_ids)));
  blocks.push_back(
      at::linear(at::embedding(pretrained_embedding, id_tensor(keys.pretrained_ids)), pretrained_projection));
  if (use_charlm) {
    at::Tensor forward = charlm_rows(*forward_charlm, sentences, forward_rows);
    at::Tensor backward = charlm_rows(*backward_charlm, sentences, backward_rows);
    if (charlm_transform_dim > 0) {
      forward = at::linear(forward, forward_charlm_projection);
      backward = at::linear(backward, backward_charlm_projection);
    }
    blocks.push_back(std::move(forward));
    blocks.push_back(std::move(backward));
  } else {
    // Distinct words are summarised and projected once, then spread over their occurrences.
    const at::Tensor projected = character.project(character.summaries(keys.character_ids));
    blocks.push_back(projected.index_select(0, id_tensor(keys.character_rows)));
  }
  if (use_transformer) {
    std::vector<at::Tensor> rows;
    for (const auto* words : sentences) rows.push_back(transformer->encode(*words, false));
    blocks.push_back(at::cat(rows));
  }
  return at::cat(blocks, 1);
}

at::Tensor POSPlan::Impl::sentence_inputs(const std::vector<std::string>& words,
                                          const at::Tensor* forward_rows,
                                          const at::Tensor* backward_rows) const {
  return word_inputs({&words}, {forward_rows}, {backward_rows}).unsqueeze(0);
}

at::Tensor POSPlan::Impl::encode(const std::vector<std::string>& words, const at::Tensor* forward_rows,
                                 const at::Tensor* backward_rows) const {
  const at::Tensor inputs = sentence_inputs(words, forward_rows, backward_rows);
  return detail::run_highway_layers(tagger_layers, inputs, {inputs.size(1)}).squeeze(0);
}

std::vector<at::Tensor> POSPlan::Impl::encode_many(const std::vector<std::vector<std::string>>& sentences,
                                                   const std::vector<at::Tensor>& forward_rows,
                                                   const std::vector<at::Tensor>& backward_rows) const {
  if (use_charlm && (forward_rows.size() != sentences.size() || backward_rows.size() != sentences.size())) {
    fail("POS charLM rows do not match the encoded sentences");
  }
  std::vector<std::size_t> indices;
  std::vector<const std::vector<std::string>*> words;
  std::vector<const at::Tensor*> forward;
  std::vector<const at::Tensor*> backward;
  std::vector<std::int64_t> lengths;
  for (std::size_t i = 0; i < sentences.size(); ++i) {
    if (sentences[i].empty()) continue;
    indices.push_back(i);
    words.push_back(&sentences[i]);
    lengths.push_back(static_cast<std::int64_t>(sentences[i].size()));
    if (use_charlm) {
      forward.push_back(&forward_rows[i]);
      backward.push_back(&backward_rows[i]);
    }
  }
  std::vector<at::Tensor> results(sentences.size());
  if (indices.empty()) return results;

  // All inputs are built before the first batch, in one pass over every word.
  const at::Tensor inputs = word_inputs(words, forward, backward);
  const std::vector<at::Tensor> encoded = detail::run_highway_batches(
      tagger_layers, inputs, lengths, static_cast<std::size_t>(batch_size), batch_maximum_tokens);
  for (std::size_t k = 0; k < indices.size(); ++k) results[indices[k]] = encoded[k];
  return results;
}

}  // namespace lorvane
