// The tagger's input rows: static plus delta word embeddings, optional
// transformer rows, and a character vector per token from the bidirectional
// character LSTM or from the two character language models.

#include <ATen/ops/cat.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/linear.h>

#include <stdexcept>
#include <string>
#include <utility>

#include "document/utf8_decode.hpp"
#include "encoders/unicode/unicode.hpp"
#include "models/ner/plan_impl.hpp"
#include "nn/batching.hpp"

namespace lorvane {
namespace {

// Id of a word or character that a vocabulary lacks.
constexpr std::int64_t kUnknownId = 1;
// Code points per batch of the character LSTM (tokens x longest token):
// bounds the padded embedding batch, not the work, which is packed.
constexpr std::int64_t kCharBatchCodePoints = 1 << 14;

std::string lowered_if(std::string text, bool lower) {
  return lower ? detail::unicode_lower(text) : std::move(text);
}

// Word keys spell a blank inside a token as a no-break space.
std::string with_no_break_spaces(const std::string& key) {
  std::string spelled;
  spelled.reserve(key.size());
  for (const char byte : key) {
    if (byte == ' ') {
      spelled += "\xC2\xA0";
    } else {
      spelled += byte;
    }
  }
  return spelled;
}

at::Tensor id_tensor(std::vector<std::int64_t>& ids, at::IntArrayRef shape) {
  return at::from_blob(ids.data(), shape, at::kLong);
}

// The character ids of every token, one token after the other.
struct CharIds {
  std::vector<std::int64_t> ids;
  std::vector<std::size_t> starts;  // starts[t]: token t's first id; one more entry at the end
  std::vector<std::int64_t> lengths;
};

}  // namespace

NERPlan::Impl::TokenIds NERPlan::Impl::token_ids(std::string_view token) const {
  const std::string cased = lowered_if(std::string(token), lowercase);
  TokenIds ids;
  ids.word = detail::id_or(word_vocab, with_no_break_spaces(lowered_if(cased, word_lower)), kUnknownId);
  const std::optional<std::int64_t> delta = detail::find_id(delta_vocab, lowered_if(cased, delta_lower));
  // The delta table refines known words only: a delta entry with the
  // unknown id counts as absent, and an absent one is row 0 for a known word.
  if (delta && *delta != kUnknownId) {
    ids.delta = *delta;
  } else {
    ids.delta = ids.word == kUnknownId ? kUnknownId : 0;
  }
  return ids;
}

namespace {

using Sentences = std::vector<const std::vector<std::string>*>;

void append_char_ids(const NERPlan::Impl& plan, const std::string& token, CharIds& chars) {
  const std::string text = lowered_if(token, plan.char_lowercase);
  const std::size_t before = chars.ids.size();
  detail::decode_utf8_or_throw<std::invalid_argument>(
      text, [&](char32_t, std::size_t offset, std::size_t length) {
        chars.ids.push_back(
            detail::id_or(plan.char_vocab, std::string_view(text).substr(offset, length), kUnknownId));
      });
  if (chars.ids.size() == before) throw NERModelError("NER cannot encode an empty token");
  chars.lengths.push_back(static_cast<std::int64_t>(chars.ids.size() - before));
  chars.starts.push_back(chars.ids.size());
}

// One batch of the character LSTM: the final states of the last layer,
// forward then backward, of the tokens order[range): [tokens, 2 x hidden].
at::Tensor char_batch_vectors(const NERPlan::Impl& plan, const CharIds& chars,
                              const std::vector<std::size_t>& order, detail::BatchRange range) {
  const auto count = static_cast<std::int64_t>(range.end - range.begin);
  const std::int64_t longest = chars.lengths[order[range.begin]];
  std::vector<std::int64_t> ids(static_cast<std::size_t>(count * longest));
  std::vector<std::int64_t> lengths;
  lengths.reserve(range.end - range.begin);
  for (std::size_t row = 0; row < range.end - range.begin; ++row) {
    const std::size_t token = order[range.begin + row];
    const auto first = chars.ids.begin() + static_cast<std::ptrdiff_t>(chars.starts[token]);
    const std::int64_t length = chars.lengths[token];
    const auto out = ids.begin() + static_cast<std::ptrdiff_t>(row * static_cast<std::size_t>(longest));
    std::copy(first, first + length, out);
    // Padding is never read by the packed LSTM; the token's own first id
    // keeps the look-up within rows the token itself needs.
    std::fill(out + length, out + longest, *first);
    lengths.push_back(length);
  }
  const at::Tensor embedded =
      at::embedding(plan.weight("charmodel.char_emb.weight"), id_tensor(ids, {count, longest}));
  const detail::LstmState initial = NERPlan::Impl::initial_state(plan.char_initial_state, plan.char_lstm);
  const detail::LstmRun run = detail::run_lstm(plan.char_lstm, embedded, lengths, initial);
  const std::int64_t last_layer = 2 * plan.char_lstm.layers() - 2;
  return run.final.h.narrow(0, last_layer, 2).transpose(0, 1).reshape({count, -1});
}

// The character vector of every token, in token order: [tokens, 2 x hidden].
at::Tensor char_vectors(const NERPlan::Impl& plan, const CharIds& chars) {
  const std::vector<std::size_t> order = detail::longest_first(chars.lengths);
  std::vector<at::Tensor> batches;
  for (const detail::BatchRange& range :
       detail::cut_batches(order, chars.lengths, 0, kCharBatchCodePoints)) {
    batches.push_back(char_batch_vectors(plan, chars, order, range));
  }
  std::vector<std::int64_t> inverse(order.size());
  for (std::size_t row = 0; row < order.size(); ++row) inverse[order[row]] = static_cast<std::int64_t>(row);
  return at::cat(batches).index_select(0, id_tensor(inverse, {static_cast<std::int64_t>(inverse.size())}));
}

// Rows of the transformer, sentence after sentence, on the tokens as given.
at::Tensor transformer_rows(const NERPlan::Impl& plan, const Sentences& sentences) {
  std::vector<at::Tensor> rows;
  rows.reserve(sentences.size());
  for (const std::vector<std::string>* tokens : sentences) {
    rows.push_back(plan.transformer->encode(*tokens, /*keep_endpoints=*/false));
  }
  return at::cat(rows);
}

// Rows of one character language model, sentence after sentence.
at::Tensor char_model_rows(const detail::NativeCharLM& model,
                           const std::vector<std::vector<std::string>>& words) {
  return at::cat(model.encode_many(words));
}

}  // namespace

at::Tensor NERPlan::Impl::batch_inputs(const Sentences& sentences) const {
  std::vector<std::int64_t> word_ids;
  std::vector<std::int64_t> delta_ids;
  CharIds chars;
  chars.starts.push_back(0);
  std::vector<std::vector<std::string>> char_model_words;
  for (const std::vector<std::string>* tokens : sentences) {
    std::vector<std::string>* words = charlm ? &char_model_words.emplace_back() : nullptr;
    for (const std::string& token : *tokens) {
      const TokenIds ids = token_ids(token);
      word_ids.push_back(ids.word);
      delta_ids.push_back(ids.delta);
      if (words != nullptr) {
        words->push_back(lowered_if(token, char_lowercase));
      } else {
        append_char_ids(*this, token, chars);
      }
    }
  }
  const auto count = static_cast<std::int64_t>(word_ids.size());
  std::vector<at::Tensor> parts;
  parts.push_back(at::embedding(weight("word_emb.weight"), id_tensor(word_ids, {count})) +
                  at::embedding(weight("delta_emb.weight"), id_tensor(delta_ids, {count})));
  if (use_transformer) parts.push_back(transformer_rows(*this, sentences));
  if (charlm) {
    parts.push_back(char_model_rows(*charlm_forward, char_model_words));
    parts.push_back(char_model_rows(*charlm_backward, char_model_words));
  } else {
    parts.push_back(char_vectors(*this, chars));
  }
  at::Tensor rows = at::cat(parts, 1);
  if (input_transform) rows = at::linear(rows, weight("input_transform.weight"), weight("input_transform.bias"));
  return rows;
}

at::Tensor NERPlan::Impl::sentence_inputs(const std::vector<std::string>& tokens) const {
  return batch_inputs({&tokens}).unsqueeze(0);
}

}  // namespace lorvane
