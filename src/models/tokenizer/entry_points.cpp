// Tokenizing one document, many documents with batched inference, and the raw
// labels of a single paragraph. Paragraphs are read from the text one at a
// time and leave memory once their sentences are in the new document.

#include "models/tokenizer/entry_points.hpp"
#include "nn/guarded_call.hpp"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "lorvane/errors.hpp"
#include "models/tokenizer/build_document.hpp"
#include "models/tokenizer/network.hpp"
#include "models/tokenizer/plan_impl.hpp"

namespace lorvane {
namespace detail {
namespace {

using Labels = std::vector<std::int64_t>;

// Offsets are 32-bit code-point indices: a longer text is refused up front
// rather than tokenized with wrapped offsets.
void check_text_length(const Document& document, std::uint64_t max_code_points) {
  if (document.codepoint_count() > max_code_points) {
    throw TokenizerModelError("tokenizer text exceeds " + std::to_string(max_code_points) +
                              " code points");
  }
}

// Labels paragraphs in the order they arrive and hands each, with its
// labels, to the document it belongs to, in that same order. Paragraphs of at
// most one window wait for a batch of the plan's batch size; a longer one
// runs alone through the windowed path once the paragraphs before it are done.
// Not thread-safe: belongs to one call.
class LabellingQueue {
 public:
  LabellingQueue(const TokenizerPlan::Impl& plan, TokenizerRunObserver* observer)
      : plan_(plan), observer_(observer) {}

  void add(TokenizerParagraph paragraph, DocumentAssembly& document) {
    if (paragraph.size() > kTokenizerWindow) {
      flush();
      if (observer_ != nullptr) observer_->on_paragraph(paragraph);
      document.add_paragraph(paragraph, plan_.predict_paragraph(paragraph));
      return;
    }
    waiting_.push_back({std::move(paragraph), &document});
    if (waiting_.size() == static_cast<std::uint64_t>(plan_.batch_size)) flush();
  }

  void flush() {
    if (waiting_.empty()) return;
    std::vector<const TokenizerParagraph*> batch;
    batch.reserve(waiting_.size());
    for (const Waiting& waiting : waiting_) batch.push_back(&waiting.paragraph);
    if (observer_ != nullptr) observer_->on_batch(batch);
    const std::vector<Labels> labels = plan_.predict_batch(batch);
    for (std::size_t i = 0; i < waiting_.size(); ++i) waiting_[i].document->add_paragraph(*batch[i], labels[i]);
    waiting_.clear();
  }

 private:
  struct Waiting {
    TokenizerParagraph paragraph;
    DocumentAssembly* document;
  };

  const TokenizerPlan::Impl& plan_;
  TokenizerRunObserver* observer_;
  std::vector<Waiting> waiting_;
};

void read_paragraphs(const TokenizerPlan::Impl& plan, const Document& document, DocumentAssembly& assembly,
                     LabellingQueue& queue) {
  ParagraphReader reader(document.text(), plan.skip_newline);
  TokenizerParagraph paragraph;
  while (reader.next(paragraph)) queue.add(std::move(paragraph), assembly);
}

// Entry points of a moved-from plan fail cleanly instead of dereferencing null.
const TokenizerPlan::Impl& loaded(const TokenizerPlan::Impl* impl) {
  if (impl == nullptr) throw std::logic_error("tokenizer plan is empty (moved from)");
  return *impl;
}

}  // namespace

Document tokenize_document(const TokenizerPlan::Impl& plan, const Document& document,
                           const TokenizerRunOptions& options) {
  check_text_length(document, options.max_code_points);
  DocumentAssembly assembly(plan, document);
  LabellingQueue queue(plan, options.observer);
  read_paragraphs(plan, document, assembly, queue);
  queue.flush();
  return assembly.finish();
}

std::vector<Document> tokenize_documents(const TokenizerPlan::Impl& plan,
                                         const std::vector<Document>& documents,
                                         const TokenizerRunOptions& options) {
  for (const Document& document : documents) check_text_length(document, options.max_code_points);
  // Batches span documents; each assembly stays put while later documents
  // are read, since the queue refers to it.
  std::vector<std::unique_ptr<DocumentAssembly>> assemblies;
  assemblies.reserve(documents.size());
  LabellingQueue queue(plan, options.observer);
  for (const Document& document : documents) {
    assemblies.push_back(std::make_unique<DocumentAssembly>(plan, document));
    read_paragraphs(plan, document, *assemblies.back(), queue);
  }
  queue.flush();
  std::vector<Document> output;
  output.reserve(documents.size());
  for (const auto& assembly : assemblies) output.push_back(assembly->finish());
  return output;
}

}  // namespace detail

std::vector<Document> TokenizerPlan::Impl::process_bulk(const std::vector<Document>& documents) const {
  return detail::tokenize_documents(*this, documents, {});
}

Document TokenizerPlan::process(const Document& document) const try {
  return detail::tokenize_document(detail::loaded(impl_.get()), document, {});
} catch (...) {
  detail::rethrow_unexpected<TokenizerModelError>();
}

std::vector<Document> TokenizerPlan::process_bulk(const std::vector<Document>& documents) const try {
  return detail::loaded(impl_.get()).process_bulk(documents);
} catch (...) {
  detail::rethrow_unexpected<TokenizerModelError>();
}

std::vector<std::int64_t> TokenizerPlan::predict_labels(const std::string& text) const try {
  const Impl& impl = detail::loaded(impl_.get());
  const std::vector<detail::TokenizerParagraph> paragraphs =
      detail::split_paragraphs(text.data(), text.size(), impl.skip_newline);
  if (paragraphs.size() > 1) {
    throw TokenizerModelError("predict_labels expects text containing one tokenizer paragraph");
  }
  if (paragraphs.empty()) return {};
  return impl.predict_paragraph(paragraphs.front());
} catch (...) {
  detail::rethrow_unexpected<TokenizerModelError>();
}

}  // namespace lorvane
