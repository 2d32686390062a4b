// The classifier's input: one feature row per token position of a batch,
// every sentence padded to the batch's length. Word part (pretrained vector,
// unk for unknown words, extra vector summed or appended), then the forward
// and backward character-model rows and the transformer rows.

#include <ATen/ops/cat.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/where.h>
#include <ATen/ops/zeros.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "encoders/unicode/unicode.hpp"
#include "models/sentiment/plan_impl.hpp"

namespace lorvane {
namespace {

using Sentences = std::vector<std::vector<std::string>>;

// Multi-word tokens are stored in the vocabulary with no-break spaces.
std::string with_no_break_spaces(std::string key) {
  for (std::size_t at = key.find(' '); at != std::string::npos; at = key.find(' ', at + 2)) {
    key.replace(at, 1, "\xC2\xA0");
  }
  return key;
}

std::int64_t token_count(const std::vector<std::string>* sentence) {
  return static_cast<std::int64_t>(sentence->size());
}

// B x length cells, or the vector's own length error when that many cannot
// be addressed.
std::size_t cell_count(std::size_t batch, std::int64_t length) {
  std::size_t cells = 0;
  if (__builtin_mul_overflow(batch, static_cast<std::size_t>(length), &cells)) {
    throw std::length_error("cannot create std::vector larger than max_size()");
  }
  return cells;
}

Sentences copied(const SentimentPlan::Impl::Batch& batch) {
  Sentences sentences;
  sentences.reserve(batch.size());
  for (const auto* sentence : batch) sentences.push_back(*sentence);
  return sentences;
}

// Zero rows [B, length, width] with each sentence's rows at its first
// positions.
at::Tensor padded_rows(const std::vector<at::Tensor>& rows, std::int64_t length, std::int64_t width,
                       const at::TensorOptions& options) {
  at::Tensor result = at::zeros({static_cast<std::int64_t>(rows.size()), length, width}, options);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::int64_t n = rows[i].size(0);
    if (n > 0) result[static_cast<std::int64_t>(i)].narrow(0, 0, n).copy_(rows[i]);
  }
  return result;
}

}  // namespace

// Three keys in turn, each with spaces as U+00A0: the token (lower-cased for
// a lower-cased vocabulary), the token without a trailing quote, and its
// lower-cased form.
std::int64_t SentimentPlan::Impl::pretrained_id(const std::string& token) const {
  const auto find = [this](std::string key) {
    return detail::find_id(pretrain_vocab, with_no_break_spaces(std::move(key)));
  };
  const auto as_stored = [this](std::string_view text) {
    return pretrain_lower ? detail::unicode_lower(text) : std::string(text);
  };
  if (const auto id = find(as_stored(token))) return *id;
  if (token.size() > 1 && token.back() == '\'') {
    if (const auto id = find(as_stored(std::string_view(token).substr(0, token.size() - 1)))) return *id;
  }
  if (const auto id = find(as_stored(detail::unicode_lower(token)))) return *id;
  return 1;
}

std::int64_t SentimentPlan::Impl::extra_id(const std::string& token) const {
  return detail::id_or(extra_vocab, token, 1);
}

std::int64_t SentimentPlan::Impl::padded_length(const Batch& batch) const {
  std::int64_t length = min_padded_length;
  for (const auto* sentence : batch) length = std::max(length, token_count(sentence));
  return length;
}

at::Tensor SentimentPlan::Impl::batch_input(const Batch& batch, std::int64_t length) const {
  const bool has_extra = extra_wordvec_method != "NONE";
  const std::size_t cells = cell_count(batch.size(), length);
  // Pad cells keep id 0 (the <PAD> row of both tables) and no unk mark.
  std::vector<std::int64_t> ids(cells, 0);
  std::vector<std::uint8_t> unknown(cells, 0);
  std::vector<std::int64_t> extra_ids(has_extra ? cells : 0, 0);
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const std::vector<std::string>& tokens = *batch[i];
    const std::size_t row = i * static_cast<std::size_t>(length);
    for (std::size_t j = 0; j < tokens.size(); ++j) {
      ids[row + j] = pretrained_id(tokens[j]);
      unknown[row + j] = ids[row + j] == 1 ? 1 : 0;
      if (has_extra) extra_ids[row + j] = extra_id(tokens[j]);
    }
  }

  const auto batch_rows = static_cast<std::int64_t>(batch.size());
  const at::Tensor id_tensor = at::from_blob(ids.data(), {batch_rows, length}, at::kLong);
  const at::Tensor unknown_mask =
      at::from_blob(unknown.data(), {batch_rows, length, 1}, at::kByte).to(at::kBool);
  at::Tensor words = at::where(unknown_mask, unk.view({1, 1, unk.size(0)}), at::embedding(embedding, id_tensor));

  std::vector<at::Tensor> parts;
  if (has_extra) {
    const at::Tensor extra = at::embedding(
        extra_embedding, at::from_blob(extra_ids.data(), {batch_rows, length}, at::kLong));
    if (extra_wordvec_method == "SUM") {
      parts.push_back(words + extra);
    } else {
      parts.push_back(std::move(words));
      parts.push_back(extra);
    }
  } else {
    parts.push_back(std::move(words));
  }
  if (has_charlm_forward) parts.push_back(padded_context(batch, length, *charlm_forward, forward_projection));
  if (has_charlm_backward) {
    parts.push_back(padded_context(batch, length, *charlm_backward, backward_projection));
  }
  if (use_transformer) parts.push_back(padded_transformer(batch, length));
  return parts.size() == 1 ? parts.front() : at::cat(parts, -1);
}

// The model runs over the whole batch at once; the projection over all its
// rows at once (pad positions stay zero, not the projection's bias).
at::Tensor SentimentPlan::Impl::padded_context(const Batch& batch, std::int64_t length,
                                               const detail::NativeCharLM& charlm,
                                               const detail::SentimentLayer& projection) const {
  std::vector<at::Tensor> rows = charlm.encode_many(copied(batch));
  if (charlm_projection <= 0) return padded_rows(rows, length, charlm.hidden_size(), embedding.options());
  std::vector<std::int64_t> counts;
  counts.reserve(rows.size());
  for (const at::Tensor& sentence : rows) counts.push_back(sentence.size(0));
  const at::Tensor projected = at::linear(at::cat(rows), projection.weight, projection.bias);
  rows = projected.split_with_sizes(counts);
  return padded_rows(rows, length, charlm_projection, embedding.options());
}

at::Tensor SentimentPlan::Impl::padded_transformer(const Batch& batch, std::int64_t length) const {
  std::vector<at::Tensor> rows;
  rows.reserve(batch.size());
  for (const auto* sentence : batch) rows.push_back(transformer->encode(*sentence, false));
  return padded_rows(rows, length, transformer->hidden_size(), embedding.options());
}

}  // namespace lorvane
