// The plan's operations: parse a list of words, parse the sentences of one
// document one by one or of many documents in batches, and write heads and
// relations back to the words.

#include <c10/core/InferenceMode.h>

#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "lorvane/document.hpp"
#include "models/depparse/labelled_parse.hpp"
#include "models/depparse/plan_impl.hpp"
#include "nn/guarded_call.hpp"
#include "nn/plan_loading.hpp"

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
  impl.check_sentence_length(rows.size(), "");
  c10::InferenceMode guard(true);
  std::vector<detail::SentenceScores> scores =
      detail::score_sentences(impl.scorers, {impl.encode(rows, nullptr, nullptr)}, {rows.size()}, impl.batch_size);
  return impl.parse_scored(rows, scores[0]);
}

// Bytes of the arc scores of a sentence of `words` words, (words + 1)^2
// numbers of `cell` bytes, saturated at the largest 64-bit value.
std::uint64_t arc_score_bytes(std::size_t words, std::size_t cell) {
  __extension__ using Wide = unsigned __int128;
  const Wide positions = Wide{words} + 1;
  const Wide bytes = positions * positions * cell;
  const Wide most = std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(bytes < most ? bytes : most);
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

std::vector<DependencyPrediction> DepparsePlan::Impl::parse_scored(const std::vector<DepparseWord>& words,
                                                                   const detail::SentenceScores& scores) const {
  return detail::parse_scored(words.size(), scores, scorers.deprel, deprel_units);
}

void DepparsePlan::Impl::check_sentence_length(std::size_t words, const std::string& where) const {
  if (words == 0) return;
  const std::uint64_t bytes = arc_score_bytes(words, scorers.unlabeled.dependent_weight.element_size());
  if (bytes <= max_arc_score_bytes) return;
  throw DepparseModelError("depparse refuses a sentence of " + std::to_string(words) +
                           " words: its arc scores would take " + std::to_string(bytes) +
                           " bytes, above max_arc_score_bytes (" + std::to_string(max_arc_score_bytes) + ")" + where);
}

// Every sentence is checked against the arc score limit first. The character
// language models run once over all sentences (each with its own guard), then
// the encoder in batches under one guard; the sentences are scored in slices
// of input order (batched within each slice) and each slice is decoded and
// labelled (the relation rows of its trees computed together) before the next
// is scored.
std::vector<std::vector<DependencyPrediction>> DepparsePlan::Impl::parse_many(const Sentences& sentences) const {
  for (std::size_t i = 0; i < sentences.size(); ++i) {
    check_sentence_length(sentences[i].size(), ": sentence " + std::to_string(i));
  }
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
  std::vector<at::Tensor> encoded = encode_many(sentences, forward_rows, backward_rows);
  forward_rows.clear();
  backward_rows.clear();
  std::vector<std::vector<DependencyPrediction>> predictions(sentences.size());
  for (std::size_t first = 0; first < sentences.size();) {
    std::vector<at::Tensor> slice;
    std::vector<std::size_t> word_counts;
    std::int64_t cells = 0;
    do {
      const auto positions = static_cast<std::int64_t>(sentences[first + slice.size()].size() + 1);
      if (!slice.empty() && cells + positions * positions > scored_cells_per_slice) break;
      cells += positions * positions;
      word_counts.push_back(sentences[first + slice.size()].size());
      slice.push_back(std::move(encoded[first + slice.size()]));
    } while (first + slice.size() < sentences.size());
    std::vector<detail::SentenceScores> scores = detail::score_sentences(scorers, slice, word_counts, batch_size);
    slice.clear();
    std::vector<std::vector<DependencyPrediction>> parsed =
        detail::parse_scored_many(word_counts, scores, scorers.deprel, deprel_units);
    scores.clear();
    for (std::size_t k = 0; k < parsed.size(); ++k) predictions[first + k] = std::move(parsed[k]);
    first += parsed.size();
  }
  return predictions;
}

std::vector<DependencyPrediction> DepparsePlan::parse(const std::vector<DepparseWord>& words) const try {
  return parse_sentence(detail::loaded_impl(impl_, "depparse"), words);
} catch (...) {
  detail::rethrow_unexpected<DepparseModelError>();
}

// The sentences are parsed together, as in process_bulk, which gives the
// parses of parsing them one by one (up to float rounding) at a fraction of
// the cost. Rows are read up to the first sentence without tags or above the
// arc score limit; the sentences before it are parsed and written before its
// error is raised. Should the model fail, the sentences are parsed again one
// after the other, each written before the next, so that the failing sentence
// reports its error with the sentences before it parsed.
Document DepparsePlan::process(Document document) const try {
  const Impl& impl = detail::loaded_impl(impl_, "depparse");
  std::vector<WordSequence> words;
  Impl::Sentences rows;
  std::exception_ptr refused;
  const SentenceSequence sentences = document.sentences();
  for (std::uint64_t i = 0; i < sentences.size() && !refused; ++i) {
    WordSequence sentence_words = sentences.at(static_cast<std::int64_t>(i)).words();
    try {
      std::vector<DepparseWord> sentence_rows = make_depparse_words(sentence_words);
      impl.check_sentence_length(sentence_rows.size(), ": sentence " + std::to_string(i));
      rows.push_back(std::move(sentence_rows));
      words.push_back(std::move(sentence_words));
    } catch (const DepparseModelError&) {
      refused = std::current_exception();
    }
  }
  std::vector<std::vector<DependencyPrediction>> predictions;
  try {
    predictions = impl.parse_many(rows);
  } catch (...) {
    for (std::size_t s = 0; s < words.size(); ++s) write_dependencies(words[s], parse_sentence(impl, rows[s]));
    predictions.clear();
  }
  for (std::size_t s = 0; s < predictions.size(); ++s) write_dependencies(words[s], predictions[s]);
  if (refused) std::rethrow_exception(refused);
  return document;
} catch (...) {
  detail::rethrow_unexpected<DepparseModelError>();
}

std::vector<Document> DepparsePlan::process_bulk(std::vector<Document> documents) const try {
  const Impl& impl = detail::loaded_impl(impl_, "depparse");
  std::vector<WordSequence> words;
  Impl::Sentences rows;
  for (std::size_t d = 0; d < documents.size(); ++d) {
    const SentenceSequence sentences = documents[d].sentences();
    for (std::uint64_t i = 0; i < sentences.size(); ++i) {
      words.push_back(sentences.at(static_cast<std::int64_t>(i)).words());
      rows.push_back(make_depparse_words(words.back()));
      impl.check_sentence_length(rows.back().size(),
                                 ": document " + std::to_string(d) + ", sentence " + std::to_string(i));
    }
  }
  const std::vector<std::vector<DependencyPrediction>> predictions = impl.parse_many(rows);
  for (std::size_t s = 0; s < words.size(); ++s) write_dependencies(words[s], predictions[s]);
  return documents;
} catch (...) {
  detail::rethrow_unexpected<DepparseModelError>();
}

}  // namespace lorvane
