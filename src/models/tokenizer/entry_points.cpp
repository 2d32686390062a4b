// Tokenizing one document, many documents with batched inference, and the raw
// labels of a single paragraph.

#include "models/tokenizer/entry_points.hpp"

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>

#include "lorvane/errors.hpp"
#include "models/tokenizer/network.hpp"
#include "models/tokenizer/plan_impl.hpp"

namespace lorvane {
namespace detail {
namespace {

using Paragraphs = std::vector<TokenizerParagraph>;
using Labels = std::vector<std::int64_t>;

// Offsets are 32-bit code-point indices: a longer text is refused up front
// rather than tokenized with wrapped offsets.
void check_text_length(const Document& document, std::uint64_t max_code_points) {
  if (document.codepoint_count() > max_code_points) {
    throw TokenizerModelError("tokenizer text exceeds " + std::to_string(max_code_points) +
                              " code points");
  }
}

Paragraphs split_text(const TokenizerPlan::Impl& plan, const std::string& text) {
  return split_paragraphs(text.data(), text.size(), plan.skip_newline);
}

// Paragraphs waiting for batched inference, and the flat label slots their
// results go to. Reserved once and reused after every flush.
// Not thread-safe: belongs to one bulk call.
class PendingBatch {
 public:
  PendingBatch(const TokenizerPlan::Impl& plan, std::vector<Labels>& slots, std::size_t capacity,
               TokenizerRunObserver* observer)
      : plan_(plan), slots_(slots), observer_(observer) {
    paragraphs_.reserve(capacity);
    positions_.reserve(capacity);
  }

  void add(std::size_t position, const TokenizerParagraph& paragraph) {
    paragraphs_.push_back(&paragraph);
    positions_.push_back(position);
    if (paragraphs_.size() == static_cast<std::uint64_t>(plan_.batch_size)) flush_batch();
  }

  void flush_batch() {
    if (paragraphs_.empty()) return;
    if (observer_ != nullptr) observer_->on_batch(paragraphs_);
    std::vector<Labels> results = plan_.predict_batch(paragraphs_);
    for (std::size_t j = 0; j < results.size(); ++j) slots_[positions_[j]] = std::move(results[j]);
    paragraphs_.clear();
    positions_.clear();
  }

 private:
  const TokenizerPlan::Impl& plan_;
  std::vector<Labels>& slots_;
  TokenizerRunObserver* observer_;
  std::vector<const TokenizerParagraph*> paragraphs_;
  std::vector<std::uint64_t> positions_;
};

// Entry points of a moved-from plan fail cleanly instead of dereferencing null.
const TokenizerPlan::Impl& loaded(const TokenizerPlan::Impl* impl) {
  if (impl == nullptr) throw std::logic_error("tokenizer plan is empty (moved from)");
  return *impl;
}

Labels predict_alone(const TokenizerPlan::Impl& plan, const TokenizerParagraph& paragraph,
                     TokenizerRunObserver* observer) {
  if (observer != nullptr) observer->on_paragraph(paragraph);
  return plan.predict_paragraph(paragraph);
}

}  // namespace

Document tokenize_document(const TokenizerPlan::Impl& plan, const Document& document,
                           const TokenizerRunOptions& options) {
  check_text_length(document, options.max_code_points);
  const Paragraphs paragraphs = split_text(plan, document.text());
  std::vector<Labels> labels;
  labels.reserve(paragraphs.size());
  for (const TokenizerParagraph& paragraph : paragraphs) {
    labels.push_back(predict_alone(plan, paragraph, options.observer));
  }
  return plan.build_document(document, paragraphs, labels);
}

std::vector<Document> tokenize_documents(const TokenizerPlan::Impl& plan,
                                         const std::vector<Document>& documents,
                                         const TokenizerRunOptions& options) {
  for (const Document& document : documents) check_text_length(document, options.max_code_points);

  // The flat list points into the per-document lists, which stay in place
  // for the whole call: no paragraph is copied.
  std::vector<Paragraphs> per_document;
  per_document.reserve(documents.size());
  std::vector<const TokenizerParagraph*> flat;
  for (const Document& document : documents) {
    per_document.push_back(split_text(plan, document.text()));
    for (const TokenizerParagraph& paragraph : per_document.back()) flat.push_back(&paragraph);
  }

  std::vector<Labels> slots(flat.size());
  // Never reserve beyond what this call can use, however large the bundle's
  // batch size.
  const std::size_t capacity =
      static_cast<std::size_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(plan.batch_size), flat.size()));
  PendingBatch batch(plan, slots, capacity, options.observer);
  for (std::size_t i = 0; i < flat.size(); ++i) {
    if (flat[i]->size() <= kTokenizerWindow) {
      batch.add(i, *flat[i]);
    } else {
      batch.flush_batch();
      slots[i] = predict_alone(plan, *flat[i], options.observer);
    }
  }
  batch.flush_batch();

  std::vector<Document> output;
  output.reserve(documents.size());
  std::size_t next = 0;
  for (std::size_t d = 0; d < documents.size(); ++d) {
    const std::size_t count = per_document[d].size();
    std::vector<Labels> labels(std::make_move_iterator(slots.begin() + static_cast<std::ptrdiff_t>(next)),
                               std::make_move_iterator(slots.begin() + static_cast<std::ptrdiff_t>(next + count)));
    next += count;
    output.push_back(plan.build_document(documents[d], per_document[d], labels));
  }
  return output;
}

}  // namespace detail

std::vector<Document> TokenizerPlan::Impl::process_bulk(const std::vector<Document>& documents) const {
  return detail::tokenize_documents(*this, documents, {});
}

Document TokenizerPlan::process(const Document& document) const {
  return detail::tokenize_document(detail::loaded(impl_.get()), document, {});
}

std::vector<Document> TokenizerPlan::process_bulk(const std::vector<Document>& documents) const {
  return detail::loaded(impl_.get()).process_bulk(documents);
}

std::vector<std::int64_t> TokenizerPlan::predict_labels(const std::string& text) const {
  const Impl& impl = detail::loaded(impl_.get());
  const detail::Paragraphs paragraphs = detail::split_text(impl, text);
  if (paragraphs.size() > 1) {
    throw TokenizerModelError("predict_labels expects text containing one tokenizer paragraph");
  }
  if (paragraphs.empty()) return {};
  return impl.predict_paragraph(paragraphs.front());
}

}  // namespace lorvane
