#pragma once

// The tokenizer's processing entry points with their seams: an observer of
// how paragraphs are routed to the network, and the code-point limit of a
// text. TokenizerPlan::process and process_bulk run them with the defaults.

#include <cstdint>
#include <vector>

#include "lorvane/document.hpp"
#include "lorvane/tokenizer.hpp"
#include "models/tokenizer/text/units.hpp"

namespace lorvane::detail {

// Sees every network call the entry points make, in order.
// Not thread-safe: an observer belongs to one call.
class TokenizerRunObserver {
 public:
  virtual ~TokenizerRunObserver() = default;
  // A batch about to go through predict_batch, in flat paragraph order.
  virtual void on_batch(const std::vector<const TokenizerParagraph*>& paragraphs) = 0;
  // A paragraph about to go through predict_paragraph.
  virtual void on_paragraph(const TokenizerParagraph& paragraph) = 0;
};

// Plain value.
struct TokenizerRunOptions {
  TokenizerRunObserver* observer = nullptr;
  // Texts with more code points are refused before any work is done.
  std::uint64_t max_code_points = kMaxTokenizerCodePoints;
};

// A new document: paragraphs of at most one window in batches of the plan's
// batch size, longer ones alone through the windowed path.
Document tokenize_document(const TokenizerPlan::Impl& plan, const Document& document,
                           const TokenizerRunOptions& options);

// As tokenize_document, with batches spanning documents; output i is built
// from input i.
std::vector<Document> tokenize_documents(const TokenizerPlan::Impl& plan,
                                         const std::vector<Document>& documents,
                                         const TokenizerRunOptions& options);

}  // namespace lorvane::detail
