// The sentence encoder: a ROOT row and one row per word from the pretrained,
// word, lemma and part-of-speech blocks, the character part and the
// transformer, then the highway BiLSTM layers; for one sentence or for many
// in length-sorted batches under the padded-row budget.

#include <ATen/ops/cat.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/linear.h>

#include <string>
#include <string_view>
#include <unordered_map>

#include "encoders/unicode/unicode.hpp"
#include "models/depparse/plan_impl.hpp"
#include "models/tagging/word_keys.hpp"

namespace lorvane {
namespace {

// The identifier every list gives the ROOT row, and the ROOT's only character.
constexpr std::int64_t kRootId = 3;
// A key a vocabulary lacks.
constexpr std::int64_t kUnknownId = 1;
// A tag that is absent: an ignored plain XPOS "_", or a composite component
// the value does not reach.
constexpr std::int64_t kAbsentId = 2;

const char* const kCharLMRowsMessage = "depparse charLM rows do not match the encoded sentences";

[[noreturn]] void fail(const std::string& message) { throw DepparseModelError(message); }

at::Tensor id_tensor(std::vector<std::int64_t>& ids) {
  return at::from_blob(ids.data(), {static_cast<std::int64_t>(ids.size())}, at::kLong);
}

// Vocabulary ids of every row (ROOT rows included), and the distinct
// character id lists whose summaries the character-LSTM variant needs.
struct RowKeys {
  std::vector<std::int64_t> word_ids;
  std::vector<std::int64_t> pretrained_ids;
  std::vector<std::int64_t> lemma_ids;
  std::vector<std::int64_t> upos_ids;
  std::vector<std::vector<std::int64_t>> xpos_ids;  // one list, or one per composite component
  std::vector<std::vector<std::int64_t>> character_ids = {{kRootId}};  // entry 0 is the ROOT's
  std::vector<std::int64_t> character_rows;  // per row: its entry of character_ids

  void add_root() {
    for (auto* ids : {&word_ids, &pretrained_ids, &lemma_ids, &upos_ids}) ids->push_back(kRootId);
    for (auto& ids : xpos_ids) ids.push_back(kRootId);
    character_rows.push_back(0);
  }
};

std::string_view value_or_underscore(const std::optional<std::string>& value) {
  return value ? std::string_view(*value) : std::string_view("_");
}

// The pieces of a composite XPOS value: cut at every separator (empty pieces
// kept), or one piece per code point when the separator is empty.
std::vector<std::string_view> xpos_pieces(std::string_view value, std::string_view separator) {
  if (separator.empty()) return detail::split_code_points(value);
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  for (std::size_t found = value.find(separator); found != std::string_view::npos;
       found = value.find(separator, start)) {
    pieces.push_back(value.substr(start, found - start));
    start = found + separator.size();
  }
  pieces.push_back(value.substr(start));
  return pieces;
}

void add_xpos_ids(const DepparsePlan::Impl& impl, std::string_view xpos, RowKeys& keys) {
  if (!impl.xpos_composite) {
    keys.xpos_ids[0].push_back(xpos == "_" && impl.xpos_ignore ? kAbsentId
                                                               : detail::id_or(impl.xpos_vocab, xpos, kUnknownId));
    return;
  }
  const std::size_t components = impl.xpos_component_vocabs.size();
  if (xpos == "_") {
    for (std::size_t c = 0; c < components; ++c) keys.xpos_ids[c].push_back(kAbsentId);
    return;
  }
  const std::vector<std::string_view> pieces = xpos_pieces(xpos, impl.xpos_separator);
  for (std::size_t c = 0; c < components; ++c) {
    keys.xpos_ids[c].push_back(c < pieces.size() ? detail::id_or(impl.xpos_component_vocabs[c], pieces[c], kUnknownId)
                                                 : kAbsentId);
  }
}

std::string lemma_key(const DepparsePlan::Impl& impl, std::string_view lemma) {
  return impl.lemma_lowercase ? detail::unicode_lower(lemma) : std::string(lemma);
}

std::size_t total_rows(const std::vector<const std::vector<DepparseWord>*>& sentences) {
  std::size_t total = 0;
  for (const auto* words : sentences) total += words->size() + 1;
  return total;
}

// The keys of every row in order. Each word is split (and so checked as
// UTF-8) and normalised; with the character LSTM, a word without code points
// is refused. Character id lists are shared by equal normalised words.
RowKeys row_keys(const DepparsePlan::Impl& impl, const std::vector<const std::vector<DepparseWord>*>& sentences) {
  RowKeys keys;
  keys.xpos_ids.resize(impl.xpos_composite ? impl.xpos_component_vocabs.size() : 1);
  const std::size_t total = total_rows(sentences);
  for (auto* ids : {&keys.word_ids, &keys.pretrained_ids, &keys.lemma_ids, &keys.upos_ids, &keys.character_rows}) {
    ids->reserve(total);
  }
  for (auto& ids : keys.xpos_ids) ids.reserve(total);
  std::unordered_map<std::string_view, std::int64_t> character_row_of;
  for (const auto* words : sentences) {
    keys.add_root();
    for (const DepparseWord& word : *words) {
      const std::vector<std::string_view> code_points = detail::split_code_points(word.text);
      const std::string_view normalized = detail::normalize_punctuation(word.text, code_points);
      keys.word_ids.push_back(detail::id_or(impl.word_vocab, detail::word_key(normalized, impl.word_lowercase), kUnknownId));
      keys.lemma_ids.push_back(
          detail::id_or(impl.lemma_vocab, lemma_key(impl, value_or_underscore(word.lemma)), kUnknownId));
      keys.upos_ids.push_back(detail::id_or(impl.upos_vocab, value_or_underscore(word.upos), kUnknownId));
      add_xpos_ids(impl, value_or_underscore(word.xpos), keys);
      keys.pretrained_ids.push_back(detail::id_or(impl.pretrain_vocab, detail::pretrained_key(normalized), kUnknownId));
      if (impl.use_charlm) continue;
      if (normalized.empty()) fail("depparse cannot encode an empty word");
      const auto [found, inserted] =
          character_row_of.try_emplace(normalized, static_cast<std::int64_t>(keys.character_ids.size()));
      if (inserted) keys.character_ids.push_back(detail::character_ids(impl.char_vocab, normalized, code_points, word.text));
      keys.character_rows.push_back(found->second);
    }
  }
  return keys;
}

std::vector<std::string> word_texts(const std::vector<DepparseWord>& words) {
  std::vector<std::string> texts;
  texts.reserve(words.size());
  for (const DepparseWord& word : words) texts.push_back(word.text);
  return texts;
}

// The character-LM rows of several sentences stacked: the given rows of each
// sentence, or the model's own when none are given.
at::Tensor charlm_rows(const detail::NativeCharLM& model,
                       const std::vector<const std::vector<DepparseWord>*>& sentences,
                       const std::vector<const at::Tensor*>& given) {
  std::vector<at::Tensor> rows;
  rows.reserve(sentences.size());
  for (std::size_t i = 0; i < sentences.size(); ++i) {
    const at::Tensor* supplied = i < given.size() ? given[i] : nullptr;
    if (supplied == nullptr) {
      rows.push_back(model.encode(DepparsePlan::Impl::charlm_words(*sentences[i])));
      continue;
    }
    if (!supplied->defined() || supplied->dim() != 2 ||
        supplied->size(0) != static_cast<std::int64_t>(sentences[i]->size() + 1)) {
      fail(kCharLMRowsMessage);
    }
    rows.push_back(*supplied);
  }
  return at::cat(rows);
}

// The part-of-speech block: the UPOS embedding plus the XPOS embedding, or
// plus one embedding per composite component, added in component order.
at::Tensor part_of_speech(const DepparsePlan::Impl& impl, RowKeys& keys) {
  at::Tensor block = at::embedding(impl.upos_embedding, id_tensor(keys.upos_ids));
  for (std::size_t c = 0; c < impl.xpos_embeddings.size(); ++c) {
    block = block + at::embedding(impl.xpos_embeddings[c], id_tensor(keys.xpos_ids[c]));
  }
  return block;
}

}  // namespace

std::vector<std::string> DepparsePlan::Impl::charlm_words(const std::vector<DepparseWord>& words) {
  std::vector<std::string> texts;
  texts.reserve(words.size() + 1);
  texts.emplace_back("\n");
  for (const DepparseWord& word : words) texts.push_back(word.text);
  return texts;
}

at::Tensor DepparsePlan::Impl::stacked_inputs(const std::vector<const std::vector<DepparseWord>*>& sentences,
                                              const std::vector<const at::Tensor*>& forward_rows,
                                              const std::vector<const at::Tensor*>& backward_rows) const {
  RowKeys keys = row_keys(*this, sentences);
  std::vector<at::Tensor> blocks;
  blocks.push_back(
      at::linear(at::embedding(pretrained_embedding, id_tensor(keys.pretrained_ids)), pretrained_projection));
  blocks.push_back(at::embedding(word_embedding, id_tensor(keys.word_ids)));
  blocks.push_back(at::embedding(lemma_embedding, id_tensor(keys.lemma_ids)));
  // The runtime contract puts the part-of-speech block into the features' slot too.
  const at::Tensor tags = part_of_speech(*this, keys);
  blocks.push_back(tags);
  blocks.push_back(tags);
  if (use_charlm) {
    blocks.push_back(charlm_rows(*forward_charlm, sentences, forward_rows));
    blocks.push_back(charlm_rows(*backward_charlm, sentences, backward_rows));
  } else {
    // Distinct words are summarised and projected once, then spread over their occurrences.
    const at::Tensor projected = character.project(character.summaries(keys.character_ids));
    blocks.push_back(projected.index_select(0, id_tensor(keys.character_rows)));
  }
  if (use_transformer) {
    // The leading endpoint row stands for the ROOT; the trailing one is dropped.
    std::vector<at::Tensor> rows;
    for (const auto* words : sentences) {
      const at::Tensor encoded = transformer->encode(word_texts(*words), true);
      rows.push_back(encoded.narrow(0, 0, encoded.size(0) - 1));
    }
    blocks.push_back(at::cat(rows));
  }
  return at::cat(blocks, 1);
}

at::Tensor DepparsePlan::Impl::sentence_inputs(const std::vector<DepparseWord>& words, const at::Tensor* forward_rows,
                                               const at::Tensor* backward_rows) const {
  return stacked_inputs({&words}, {forward_rows}, {backward_rows}).unsqueeze(0);
}

at::Tensor DepparsePlan::Impl::encode(const std::vector<DepparseWord>& words, const at::Tensor* forward_rows,
                                      const at::Tensor* backward_rows) const {
  const at::Tensor inputs = sentence_inputs(words, forward_rows, backward_rows);
  return detail::run_highway_layers(parser_layers, inputs, {inputs.size(1)});
}

std::vector<at::Tensor> DepparsePlan::Impl::encode_many(const Sentences& sentences,
                                                        const std::vector<at::Tensor>& forward_rows,
                                                        const std::vector<at::Tensor>& backward_rows) const {
  if (use_charlm && (forward_rows.size() != sentences.size() || backward_rows.size() != sentences.size())) {
    fail(kCharLMRowsMessage);
  }
  std::vector<std::size_t> indices;
  std::vector<const std::vector<DepparseWord>*> words;
  std::vector<const at::Tensor*> forward;
  std::vector<const at::Tensor*> backward;
  std::vector<std::int64_t> lengths;  // rows: words + ROOT
  for (std::size_t i = 0; i < sentences.size(); ++i) {
    if (sentences[i].empty()) continue;
    indices.push_back(i);
    words.push_back(&sentences[i]);
    lengths.push_back(static_cast<std::int64_t>(sentences[i].size() + 1));
    if (use_charlm) {
      forward.push_back(&forward_rows[i]);
      backward.push_back(&backward_rows[i]);
    }
  }
  std::vector<at::Tensor> results(sentences.size());
  if (indices.empty()) return results;

  // All inputs are built before the first batch, in one pass over every word.
  const at::Tensor inputs = stacked_inputs(words, forward, backward);
  const std::vector<at::Tensor> encoded = detail::run_highway_batches(parser_layers, inputs, lengths, 0, batch_size);
  for (std::size_t k = 0; k < indices.size(); ++k) results[indices[k]] = encoded[k].unsqueeze(0);
  return results;
}

}  // namespace lorvane
