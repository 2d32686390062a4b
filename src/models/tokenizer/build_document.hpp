#pragma once

// Labels to a new document: the sentences of single-word tokens, with
// offsets, spacing and multi-word-token marks, that a text's labelled
// paragraphs describe.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "document/storage_builder.hpp"
#include "lorvane/document.hpp"
#include "lorvane/errors.hpp"
#include "lorvane/tokenizer.hpp"
#include "models/tokenizer/network.hpp"
#include "models/tokenizer/text/units.hpp"

namespace lorvane::detail {

// A token whose surface spans more units than this is almost certainly not a
// word; its text is replaced so that later models do not choke on it.
inline constexpr std::size_t kLongestTokenUnits = 1000;

inline bool removes_spaces(std::string_view lang) {
  return lang.starts_with("zh") || lang.starts_with("ja") || lang.starts_with("ko");
}

// Collects the sentences of paragraphs, one token at a time.
// Not thread-safe: belongs to one build.
class SentenceCollector {
 public:
  SentenceCollector(std::string_view shorthand, std::string_view lang, std::uint64_t codepoint_count)
      : colon_ends_sentence_(shorthand == "la_ittb"),
        remove_spaces_(removes_spaces(lang)),
        codepoint_count_(codepoint_count) {}

  // Every sentence of the paragraph is complete when this returns.
  void add_paragraph(const TokenizerParagraph& units, const std::vector<std::int64_t>& labels) {
    pending_.clear();
    for (std::size_t i = 0; i < units.size(); ++i) {
      if (pending_.empty()) token_start_ = i;
      pending_ += units[i].text;
      const std::int64_t label = effective_label(units[i], labels[i]);
      if (label <= kLabelNone) continue;
      end_token(units, i, label);
    }
    if (!pending_.empty()) throw TokenizerModelError("tokenizer prediction left an unfinished token");
    close_sentence();
  }

  // The complete sentences so far, leaving none behind.
  std::vector<SentenceInput> take_sentences() {
    std::vector<SentenceInput> taken;
    taken.swap(sentences_);
    return taken;
  }

 private:
  std::int64_t effective_label(const TokenizerUnit& unit, std::int64_t label) const {
    if (colon_ends_sentence_ && (unit.code_point == U':' || unit.code_point == U';')) {
      return kLabelSentence;
    }
    return label;
  }

  // A token ends at unit `end`; a run of spaces alone makes none, and a
  // sentence end on it is dropped with it.
  void end_token(const TokenizerParagraph& units, std::size_t end, std::int64_t label) {
    std::size_t first = token_start_;
    while (first <= end && units[first].code_point == U' ') ++first;
    if (first > end) {
      pending_.clear();
      return;
    }
    std::size_t last = end;
    while (units[last].code_point == U' ') --last;

    const std::uint64_t end_char = std::uint64_t{units[last].offset} + 1;
    if (end_char > codepoint_count_) {
      throw TokenizerModelError("tokenizer units lie outside the document text");
    }
    const bool mwt = label == kLabelMwt || label == kLabelMwtSentence;
    append_token(token_text(end + 1 - first), units[first].offset,
                 static_cast<std::uint32_t>(end_char), mwt);
    pending_.clear();
    if (is_sentence_end(label)) close_sentence();
  }

  std::string token_text(std::size_t units_from_first) const {
    if (units_from_first > kLongestTokenUnits) return "<UNK>";
    std::string text = pending_.substr(pending_.find_first_not_of(' '));
    if (remove_spaces_) std::erase(text, ' ');
    return text;
  }

  void append_token(std::string text, std::uint32_t start_char, std::uint32_t end_char, bool mwt) {
    // An int64 counter: an absurdly long sentence wraps on conversion to the
    // int32 id and is refused by the document build, never overflowing here.
    const auto id = static_cast<std::int32_t>(next_id_++);
    std::optional<std::string> misc;
    if (mwt) misc = "MWT=Yes";

    WordInput word;
    word.id = id;
    word.text = text;
    word.misc = misc;
    word.start_char = start_char;
    word.end_char = end_char;

    TokenInput token;
    token.id_start = id;
    token.id_end = id;
    token.text = std::move(text);
    token.misc = std::move(misc);
    token.start_char = start_char;
    token.end_char = end_char;
    token.words.push_back(std::move(word));
    current_.tokens.push_back(std::move(token));
  }

  void close_sentence() {
    if (current_.tokens.empty()) return;
    sentences_.push_back(std::move(current_));
    current_ = SentenceInput{};
    next_id_ = 1;
  }

  const bool colon_ends_sentence_;
  const bool remove_spaces_;
  const std::uint64_t codepoint_count_;
  std::string pending_;
  std::size_t token_start_ = 0;
  std::int64_t next_id_ = 1;
  SentenceInput current_;
  std::vector<SentenceInput> sentences_;
};

// The output document of one text, built as its paragraphs come labelled in
// reading order: each paragraph's sentences become storage rows at once, so
// no record of the whole document is ever held.
// Not thread-safe: belongs to one call.
class DocumentAssembly {
 public:
  // A new storage over the source's text.
  DocumentAssembly(const TokenizerPlan::Impl& plan, const Document& source);
  // Throws TokenizerModelError "tokenizer labels do not match the paragraph
  // length" when the sizes differ.
  void add_paragraph(const TokenizerParagraph& units, const std::vector<std::int64_t>& labels);
  // The finished document, in the bundle's language.
  Document finish();

 private:
  std::shared_ptr<DocumentStorage> storage_;
  StorageBuilder builder_;  // builds *storage_
  SentenceCollector collector_;
  std::string language_;
};

}  // namespace lorvane::detail
