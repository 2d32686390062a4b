// The plan's operations: classifying token lists in length-sorted batches cut
// by a budget of tokens, and writing one class per sentence into documents.

#include <ATen/ops/argmax.h>

#include <c10/core/InferenceMode.h>

#include <stdexcept>
#include <utility>

#include "lorvane/document.hpp"
#include "models/sentiment/plan_impl.hpp"
#include "nn/batching.hpp"
#include "nn/guarded_call.hpp"
#include "nn/plan_loading.hpp"

namespace lorvane {
namespace {

using Sentences = std::vector<std::vector<std::string>>;

// The budget of the document operations.
constexpr std::uint64_t kDocumentBatchTokens = 5000;

const SentimentPlan::Impl& loaded(const std::unique_ptr<SentimentPlan::Impl>& impl) {
  return detail::loaded_impl(impl, "sentiment");
}

// The token texts of every sentence of the document, appended in order.
void append_sentences(const Document& document, Sentences& sentences) {
  const SentenceSequence all = document.sentences();
  for (std::uint64_t s = 0; s < all.size(); ++s) {
    const TokenSequence tokens = all.at(static_cast<std::int64_t>(s)).tokens();
    std::vector<std::string>& texts = sentences.emplace_back();
    texts.reserve(static_cast<std::size_t>(tokens.size()));
    for (std::uint64_t t = 0; t < tokens.size(); ++t) texts.push_back(tokens.at(static_cast<std::int64_t>(t)).text());
  }
}

// Writes classes[next], classes[next + 1], ... into the document's sentences.
void write_classes(const Document& document, const std::vector<std::int64_t>& classes, std::size_t& next) {
  const SentenceSequence all = document.sentences();
  for (std::uint64_t s = 0; s < all.size(); ++s) {
    all.at(static_cast<std::int64_t>(s)).set_sentiment(static_cast<std::int32_t>(classes[next++]));
  }
}

}  // namespace

std::vector<std::int64_t> SentimentPlan::Impl::classify_many(const Sentences& sentences,
                                                             std::uint64_t batch_size) const {
  if (batch_size == 0) throw std::invalid_argument("sentiment batch_size must be positive");
  std::vector<std::int64_t> classes(sentences.size(), 0);
  if (sentences.empty()) return classes;
  c10::InferenceMode guard;
  std::vector<std::int64_t> lengths;
  lengths.reserve(sentences.size());
  for (const auto& tokens : sentences) lengths.push_back(static_cast<std::int64_t>(tokens.size()));
  const std::vector<std::size_t> order = detail::longest_first(lengths);
  for (const detail::BatchRange& range : detail::cut_by_length_sum(order, lengths, batch_size)) {
    Batch batch;
    batch.reserve(range.end - range.begin);
    for (std::size_t at = range.begin; at < range.end; ++at) batch.push_back(&sentences[order[at]]);
    // Ties go to the lowest class.
    const at::Tensor choice = batch_logits(batch).argmax(1).contiguous();
    const std::int64_t* chosen = choice.data_ptr<std::int64_t>();
    for (std::size_t at = range.begin; at < range.end; ++at) classes[order[at]] = chosen[at - range.begin];
  }
  return classes;
}

std::int64_t SentimentPlan::classify(const std::vector<std::string>& tokens) const try {
  return loaded(impl_).classify_many({tokens}, kDocumentBatchTokens).front();
} catch (...) {
  detail::rethrow_unexpected<SentimentModelError>();
}

std::vector<std::int64_t> SentimentPlan::classify_many(const Sentences& sentences,
                                                       std::uint64_t batch_size) const try {
  return loaded(impl_).classify_many(sentences, batch_size);
} catch (...) {
  detail::rethrow_unexpected<SentimentModelError>();
}

// Sentences are written only after all of them are classified, so a failure
// leaves the document as it was.
Document SentimentPlan::process(Document document) const try {
  const Impl& impl = loaded(impl_);
  Sentences sentences;
  append_sentences(document, sentences);
  const std::vector<std::int64_t> classes = impl.classify_many(sentences, kDocumentBatchTokens);
  std::size_t next = 0;
  write_classes(document, classes, next);
  return document;
} catch (...) {
  detail::rethrow_unexpected<SentimentModelError>();
}

// One sort and one set of batches over the sentences of all documents.
std::vector<Document> SentimentPlan::process_bulk(std::vector<Document> documents) const try {
  const Impl& impl = loaded(impl_);
  Sentences sentences;
  for (const Document& document : documents) append_sentences(document, sentences);
  const std::vector<std::int64_t> classes = impl.classify_many(sentences, kDocumentBatchTokens);
  std::size_t next = 0;
  for (const Document& document : documents) write_classes(document, classes, next);
  return documents;
} catch (...) {
  detail::rethrow_unexpected<SentimentModelError>();
}

}  // namespace lorvane
