// The plan's operations: parse a list of words, parse the sentences of one
// document one by one or of many documents in batches, and write heads and
// relations back to the words.

#include <c10/core/InferenceMode.h>

#include <optional>
#include <utility>

#include "lorvane/document.hpp"
#include "models/common/plan_loading.hpp"
#include "models/depparse/labelled_parse.hpp"
#include "models/depparse/plan_impl.hpp"

namespace lorvane {
namespace {

// One sentence's rows, read before any model work: every word needs UPOS or XPOS.
std::vector<DepparseWord> make_depparse_words(const WordSequence& words) {
  std::vector<DepparseWord> rows;
  rows.reserve(words.size());
  for (std::uint64_t k = 0; k < words.size(); ++k) {
    const Word word = words.at(static_cast<std::int64_t>(k));
    DepparseWord row{word.text(), word.lemma(), word.upos(), word.xpos(), word.feats()};
    if (!row.upos && !row.xpos) throw DepparseModelError("POS must run before depparse");
    rows.push_back(std::move(row));
  }
  return rows;
}

void write_dependencies(const WordSequence& words, const std::vector<DependencyPrediction>& predictions) {
  if (words.size() != predictions.size()) throw DepparseModelError("depparse word and prediction counts disagree");
  for (std::size_t k = 0; k < predictions.size(); ++k) {
    Word word = words.at(static_cast<std::int64_t>(k));
    word.set_head(predictions[k].head);
    word.set_deprel(predictions[k].deprel);
  }
}

std::vector<DependencyPrediction> parse_sentence(const DepparsePlan::Impl& impl, const std::vector<DepparseWord>& rows) {
  if (rows.empty()) return {};
  c10::InferenceMode guard(true);
  auto [arcs, relations] = impl.score_encoded(impl.encode(rows, nullptr, nullptr), nullptr);
  return impl.parse_scored(rows, std::move(arcs), std::move(relations));
}

}  // namespace

detail::ArcScores DepparsePlan::Impl::score_encoded(const at::Tensor& encoded, const at::Tensor* padding_mask) const {
  return detail::score_encoded(scorers, encoded, padding_mask);
}

std::vector<detail::ArcScores> DepparsePlan::Impl::score_encoded_many(const std::vector<at::Tensor>& encoded,
                                                                      const Sentences& sentences) const {
  std::vector<std::size_t> word_counts;
  word_counts.reserve(sentences.size());
  for (const auto& words : sentences) word_counts.push_back(words.size());
  return detail::score_encoded_many(scorers, encoded, word_counts, batch_size);
}

std::vector<DependencyPrediction> DepparsePlan::Impl::parse_scored(const std::vector<DepparseWord>& words,
                                                                   at::Tensor arcs, at::Tensor relations) const {
  return detail::parse_scored(words.size(), std::move(arcs), std::move(relations), deprel_units);
}

// The character language models run once over all sentences (each with its
// own guard), then the encoder and the scorers in batches under one guard;
// the sentences are decoded one by one.
std::vector<std::vector<DependencyPrediction>> DepparsePlan::Impl::parse_many(const Sentences& sentences) const {
  std::vector<at::Tensor> forward_rows;
  std::vector<at::Tensor> backward_rows;
  if (use_charlm) {
    std::vector<std::vector<std::string>> lists;
    lists.reserve(sentences.size());
    for (const auto& words : sentences) lists.push_back(charlm_words(words));
    forward_rows = forward_charlm->encode_many(lists);
    backward_rows = backward_charlm->encode_many(lists);
  }
  c10::InferenceMode guard(true);
  std::vector<detail::ArcScores> scores =
      score_encoded_many(encode_many(sentences, forward_rows, backward_rows), sentences);
  std::vector<std::vector<DependencyPrediction>> predictions;
  predictions.reserve(sentences.size());
  for (std::size_t i = 0; i < sentences.size(); ++i) {
    if (sentences[i].empty()) {
      predictions.emplace_back();
      continue;
    }
    predictions.push_back(parse_scored(sentences[i], std::move(scores[i].first), std::move(scores[i].second)));
  }
  return predictions;
}

std::vector<DependencyPrediction> DepparsePlan::parse(const std::vector<DepparseWord>& words) const {
  return parse_sentence(detail::loaded_impl(impl_, "depparse"), words);
}

Document DepparsePlan::process(Document document) const {
  const Impl& impl = detail::loaded_impl(impl_, "depparse");
  for (std::uint64_t i = 0; i < document.sentences().size(); ++i) {
    const WordSequence words = document.sentences().at(static_cast<std::int64_t>(i)).words();
    const std::vector<DepparseWord> rows = make_depparse_words(words);
    write_dependencies(words, parse_sentence(impl, rows));
  }
  return document;
}

std::vector<Document> DepparsePlan::process_bulk(std::vector<Document> documents) const {
  const Impl& impl = detail::loaded_impl(impl_, "depparse");
  std::vector<WordSequence> words;
  Impl::Sentences rows;
  for (const Document& document : documents) {
    const SentenceSequence sentences = document.sentences();
    for (std::uint64_t i = 0; i < sentences.size(); ++i) {
      words.push_back(sentences.at(static_cast<std::int64_t>(i)).words());
      rows.push_back(make_depparse_words(words.back()));
    }
  }
  const std::vector<std::vector<DependencyPrediction>> predictions = impl.parse_many(rows);
  for (std::size_t s = 0; s < words.size(); ++s) write_dependencies(words[s], predictions[s]);
  return documents;
}

}  // namespace lorvane
