// Turns the per-unit labels of a text's paragraphs into a new document:
// sentences of single-word tokens with offsets, spacing and MWT marks.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "lorvane/bundle.hpp"
#include "lorvane/document.hpp"
#include "lorvane/errors.hpp"
#include "models/tokenizer/build_document.hpp"
#include "models/tokenizer/plan_impl.hpp"

namespace lorvane {
namespace {

using detail::TokenizerParagraph;
using detail::TokenizerUnit;

void check_label_shapes(const std::vector<TokenizerParagraph>& paragraphs,
                        const std::vector<std::vector<std::int64_t>>& labels) {
  if (labels.size() != paragraphs.size()) {
    throw TokenizerModelError("tokenizer paragraph and prediction counts disagree");
  }
  for (std::size_t p = 0; p < paragraphs.size(); ++p) {
    if (labels[p].size() != paragraphs[p].size()) {
      throw TokenizerModelError("tokenizer labels do not match the paragraph length");
    }
  }
}

}  // namespace

namespace detail {

DocumentAssembly::DocumentAssembly(const TokenizerPlan::Impl& plan, const Document& source)
    : storage_(std::make_shared<DocumentStorage>(source.storage()->text)),
      builder_(*storage_),
      collector_(plan.shorthand, plan.lang, storage_->text.codepoint_count()),
      language_(plan.bundle->language()) {}

void DocumentAssembly::add_paragraph(const TokenizerParagraph& units, const std::vector<std::int64_t>& labels) {
  if (labels.size() != units.size()) {
    throw TokenizerModelError("tokenizer labels do not match the paragraph length");
  }
  collector_.add_paragraph(units, labels);
  for (const SentenceInput& sentence : collector_.take_sentences()) builder_.add(sentence);
}

Document DocumentAssembly::finish() {
  // Whitespace around tokens comes from the text through their offsets.
  builder_.finish();
  Document result(storage_);
  // The document's language is the bundle's; the configuration's "lang"
  // only decides the space removal of the sentence collector.
  result.set_lang(language_);
  return result;
}

}  // namespace detail

Document TokenizerPlan::Impl::build_document(
    const Document& document, const std::vector<std::vector<detail::TokenizerUnit>>& paragraphs,
    const std::vector<std::vector<std::int64_t>>& labels) const {
  check_label_shapes(paragraphs, labels);
  detail::DocumentAssembly assembly(*this, document);
  for (std::size_t p = 0; p < paragraphs.size(); ++p) assembly.add_paragraph(paragraphs[p], labels[p]);
  return assembly.finish();
}

}  // namespace lorvane
