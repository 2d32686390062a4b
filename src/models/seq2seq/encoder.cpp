// The source side: a word as source ids, and the bidirectional encoder over a
// batch of words with the decoder's initial state and the edit classifier.

#include <ATen/ops/arange.h>
#include <ATen/ops/argmax.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/index_select.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/relu.h>

#include <algorithm>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

#include "document/utf8_decode.hpp"
#include "models/seq2seq/plan_impl.hpp"

namespace lorvane {
namespace {

using detail::SourceEncoding;

[[noreturn]] void id_out_of_range(std::string_view unit) {
  throw Seq2SeqModelError("seq2seq vocabulary id is out of range: '" + std::string(unit) + "'");
}

// An int64 tensor owning a copy of the values.
at::Tensor long_tensor(const std::vector<std::int64_t>& values, at::IntArrayRef shape) {
  return at::from_blob(const_cast<std::int64_t*>(values.data()), shape, at::kLong).clone();
}

std::int64_t extended_limit(const SourceEncoding& source, std::int64_t vocab_size, bool copy) {
  if (!copy) return vocab_size;
  const std::int64_t largest = *std::max_element(source.ids.begin(), source.ids.end());
  return std::max(vocab_size, largest + 1);
}

// [h_n[-1], h_n[-2]] along the features: the last layer's backward final
// state, then its forward one.
at::Tensor last_layer_state(const at::Tensor& final_states) {
  const std::int64_t states = final_states.size(0);
  return at::cat({final_states[states - 1], final_states[states - 2]}, 1);
}

}  // namespace

SourceEncoding Seq2SeqPlan::Impl::encode_source(const detail::Seq2SeqVocabulary& vocabulary,
                                                const std::string& word) {
  const auto base = static_cast<std::int64_t>(vocabulary.id2unit.size());
  SourceEncoding source;
  source.ids.reserve(word.size() + 2);
  source.ids.push_back(detail::kSosId);
  // Extended ids of this call's unknown units (a word has few; a linear scan
  // of oov_units would do, a map keeps long words linear).
  std::unordered_map<std::string_view, std::int64_t> unknown;
  detail::decode_utf8_or_throw<std::invalid_argument>(
      word, [&](char32_t, std::size_t offset, std::size_t length) {
        const std::string_view unit(word.data() + offset, length);
        if (const auto id = detail::find_id(vocabulary.unit2id, unit)) {
          if (*id < 0 || *id >= base) id_out_of_range(unit);
          source.ids.push_back(*id);
          return;
        }
        const auto [entry, added] =
            unknown.emplace(unit, base + static_cast<std::int64_t>(unknown.size()));
        if (added) source.oov_units.emplace_back(unit);
        source.ids.push_back(entry->second);
      });
  source.ids.push_back(detail::kEosId);
  return source;
}

std::int64_t Seq2SeqPlan::Impl::pos_id(const std::string& tag) const {
  const std::int64_t id = detail::id_or(pos_vocab->unit2id, tag, detail::kUnkId);
  if (id < 0 || id >= pos_embedding.size(0)) id_out_of_range(tag);
  return id;
}

detail::EncodedBatch Seq2SeqPlan::Impl::encode_batch(
    const std::vector<const SourceEncoding*>& sources, const std::vector<std::int64_t>& pos_ids) const {
  const auto rows = static_cast<std::int64_t>(sources.size());
  std::int64_t longest = 0;
  for (const SourceEncoding* source : sources) {
    longest = std::max(longest, static_cast<std::int64_t>(source->ids.size()));
  }
  // Embedding input (extended ids read as <UNK>), source ids as they are,
  // encoder lengths and column limits, row by row, padded with 0.
  std::vector<std::int64_t> embedding_ids(static_cast<std::size_t>(rows * longest), detail::kPadId);
  std::vector<std::int64_t> source_ids(embedding_ids.size(), detail::kPadId);
  std::vector<std::int64_t> lengths(sources.size());
  std::vector<std::int64_t> limits(sources.size());
  const std::int64_t position_offset = pos ? 1 : 0;
  for (std::size_t row = 0; row < sources.size(); ++row) {
    const std::vector<std::int64_t>& ids = sources[row]->ids;
    const std::size_t start = row * static_cast<std::size_t>(longest);
    for (std::size_t i = 0; i < ids.size(); ++i) {
      source_ids[start + i] = ids[i];
      embedding_ids[start + i] = ids[i] >= vocab_size ? detail::kUnkId : ids[i];
    }
    lengths[row] = static_cast<std::int64_t>(ids.size()) + position_offset;
    limits[row] = extended_limit(*sources[row], vocab_size, copy);
  }

  detail::EncodedBatch batch;
  at::Tensor input = decoder.embedding.index_select(0, long_tensor(embedding_ids, {rows * longest}))
                         .view({rows, longest, emb_dim});
  if (pos) {
    const at::Tensor tags = pos_embedding.index_select(0, long_tensor(pos_ids, {rows})).unsqueeze(1);
    input = at::cat({tags, input}, 1);
  }
  const detail::LstmRun run = detail::run_lstm(encoder_weights, input, lengths, encoder_state);
  batch.encoder_outputs = run.output;
  batch.initial = {last_layer_state(run.final.h), last_layer_state(run.final.c)};
  batch.source_ext_ids = long_tensor(source_ids, {rows, longest});
  batch.ext_width = *std::max_element(limits.begin(), limits.end());
  if (rows > 1) {
    const at::Tensor length_column = long_tensor(lengths, {rows, 1});
    batch.attention_mask = at::arange(longest + position_offset, at::kLong).unsqueeze(0) >= length_column;
    if (copy) batch.column_limits = long_tensor(limits, {rows});
  }

  batch.edits.resize(sources.size());
  if (edit_classifier) {
    const detail::EditClassifier& classifier = *edit_classifier;
    const at::Tensor hidden =
        at::relu(at::linear(batch.initial.h, classifier.hidden_weight, classifier.hidden_bias));
    const at::Tensor classes =
        at::argmax(at::linear(hidden, classifier.output_weight, classifier.output_bias), 1).contiguous();
    const auto* chosen = classes.data_ptr<std::int64_t>();
    for (std::size_t row = 0; row < sources.size(); ++row) batch.edits[row] = chosen[row];
  }
  return batch;
}

}  // namespace lorvane
