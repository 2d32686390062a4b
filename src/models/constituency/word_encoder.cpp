// The word encoder: pretrained, delta and tag embeddings, the character
// language models and the transformer, a bidirectional word LSTM, and a
// ReLU projection to one hidden_size vector per parser position. Sentences
// are encoded together: their embeddings are looked up in one call per table
// and their word LSTM runs as one packed batch.

#include <ATen/ops/cat.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/index_select.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/relu.h>
#include <ATen/ops/zeros.h>

#include <string>
#include <string_view>
#include <vector>

#include "encoders/unicode/unicode.hpp"
#include "models/constituency/parsing.hpp"

namespace lorvane {
namespace detail {

std::string pretrain_key(std::string_view word, bool lower) {
  const std::string source = lower ? unicode_lower(word) : std::string(word);
  std::string key;
  key.reserve(source.size());
  for (const char byte : source) {
    if (byte == ' ') {
      key += "\xC2\xA0";
    } else {
      key += byte;
    }
  }
  return key;
}

namespace constituency {
namespace {

using Impl = ConstituencyPlan::Impl;

// The key as given, unless it is unknown or maps to <UNK>: then the key of
// the lower-cased word.
std::int64_t pretrained_id(const Impl& impl, const std::string& word) {
  if (const auto id = find_id(impl.pretrain_vocab, pretrain_key(word, impl.pretrain_lower)); id && *id != 1) {
    return *id;
  }
  return id_or(impl.pretrain_vocab, pretrain_key(unicode_lower(word), impl.pretrain_lower), 1);
}

// Row look-ups for ids held in `ids` (which must outlive the call).
at::Tensor embed(const at::Tensor& table, std::vector<std::int64_t>& ids) {
  const at::Tensor index = at::from_blob(ids.data(), {static_cast<std::int64_t>(ids.size())}, at::kLong);
  return table.index_select(0, index);
}

std::vector<std::vector<std::string>> word_lists(const std::vector<SentenceRef>& sentences) {
  std::vector<std::vector<std::string>> lists;
  lists.reserve(sentences.size());
  for (const SentenceRef& sentence : sentences) lists.push_back(*sentence.words);
  return lists;
}

// [words of all sentences, Dx]: the static features, sentences one after another.
at::Tensor static_features(const Impl& impl, const std::vector<SentenceRef>& sentences, std::size_t word_count) {
  std::vector<std::int64_t> pretrained, delta, tag;
  pretrained.reserve(word_count);
  delta.reserve(word_count);
  if (impl.tag_embedding_dim > 0) tag.reserve(word_count);
  for (const SentenceRef& sentence : sentences) {
    for (std::size_t i = 0; i < sentence.words->size(); ++i) {
      const std::string& word = (*sentence.words)[i];
      pretrained.push_back(pretrained_id(impl, word));
      delta.push_back(id_or(impl.delta_vocab, word, 1));
      if (impl.tag_embedding_dim > 0) tag.push_back(id_or(impl.tag_vocab, (*sentence.tags)[i], 1));
    }
  }
  std::vector<at::Tensor> features = {embed(impl.fetched.embedding, pretrained),
                                      embed(impl.fetched.delta_embedding, delta)};
  if (impl.tag_embedding_dim > 0) features.push_back(embed(impl.fetched.tag_embedding, tag));
  for (const auto* charlm : {impl.forward_charlm.get(), impl.backward_charlm.get()}) {
    if (charlm == nullptr) continue;
    features.push_back(sentences.size() == 1 ? charlm->encode(*sentences.front().words)
                                             : at::cat(charlm->encode_many(word_lists(sentences))));
  }
  return at::cat(features, 1);
}

// With sentence boundaries every sentence's rows become start row, words,
// end row; the rows of sentence i then start at offsets[i].
at::Tensor add_boundary_rows(const Impl& impl, const at::Tensor& features,
                             const std::vector<SentenceRef>& sentences) {
  const std::int64_t words = features.size(0);
  const at::Tensor extended = at::cat({features, impl.fetched.word_start.view({1, -1}),
                                       impl.fetched.word_end.view({1, -1})});
  std::vector<std::int64_t> rows;
  rows.reserve(static_cast<std::size_t>(words) + 2 * sentences.size());
  std::int64_t next = 0;
  for (const SentenceRef& sentence : sentences) {
    rows.push_back(words);
    for (std::size_t i = 0; i < sentence.words->size(); ++i) rows.push_back(next++);
    rows.push_back(words + 1);
  }
  return embed(extended, rows);
}

at::Tensor transformer_rows(const Impl& impl, const std::vector<SentenceRef>& sentences) {
  std::vector<at::Tensor> rows;
  rows.reserve(sentences.size());
  for (const SentenceRef& sentence : sentences) {
    rows.push_back(impl.transformer->encode(*sentence.words, impl.sentence_boundaries));
  }
  return at::cat(rows);
}

}  // namespace

EncodedSentences encode_sentences(const Impl& impl, const std::vector<SentenceRef>& sentences) {
  EncodedSentences encoded;
  encoded.offsets.reserve(sentences.size());
  std::vector<std::int64_t> lstm_rows;  // rows of each sentence in the LSTM input
  lstm_rows.reserve(sentences.size());
  std::int64_t offset = 0;
  std::size_t word_count = 0;
  for (const SentenceRef& sentence : sentences) {
    const auto n = static_cast<std::int64_t>(sentence.words->size());
    encoded.offsets.push_back(offset);
    offset += n + 2;
    word_count += sentence.words->size();
    lstm_rows.push_back(impl.sentence_boundaries ? n + 2 : n);
  }

  at::Tensor x = static_features(impl, sentences, word_count);
  if (impl.sentence_boundaries) x = add_boundary_rows(impl, x, sentences);
  if (impl.transformer) x = at::cat({x, transformer_rows(impl, sentences)}, 1);

  std::vector<at::Tensor> sequences;
  sequences.reserve(sentences.size());
  std::int64_t start = 0;
  for (const std::int64_t rows : lstm_rows) {
    sequences.push_back(x.narrow(0, start, rows));
    start += rows;
  }
  const std::vector<at::Tensor> outputs = run_lstm_sequences(impl.word_lstm_weights, sequences, impl.word_lstm_state);
  at::Tensor projected = at::linear(sentences.size() == 1 ? outputs.front() : at::cat(outputs),
                                    impl.fetched.word_to_constituent_weight, impl.fetched.word_to_constituent_bias);
  at::relu_(projected);
  if (impl.sentence_boundaries) {
    encoded.rows = projected;
    return encoded;
  }
  // Without boundaries the sentinels are plain zero rows around each sentence.
  std::vector<std::int64_t> word_rows;
  word_rows.reserve(word_count);
  for (std::size_t i = 0; i < sentences.size(); ++i) {
    for (std::int64_t row = 1; row <= lstm_rows[i]; ++row) word_rows.push_back(encoded.offsets[i] + row);
  }
  encoded.rows = at::zeros({offset, projected.size(1)}, projected.options());
  encoded.rows.index_copy_(0, at::from_blob(word_rows.data(), {static_cast<std::int64_t>(word_rows.size())}, at::kLong),
                           projected);
  return encoded;
}

}  // namespace constituency
}  // namespace detail

std::vector<at::Tensor> ConstituencyPlan::Impl::encode_words(const std::vector<std::string>& words,
                                                             const std::vector<std::string>& tags) const {
  const detail::constituency::EncodedSentences encoded = detail::constituency::encode_sentences(*this, {{&words, &tags}});
  return encoded.rows.unbind(0);
}

}  // namespace lorvane
