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
#include "models/tokenizer/network.hpp"
#include "models/tokenizer/plan_impl.hpp"

namespace lorvane {
namespace {

using detail::TokenizerParagraph;
using detail::TokenizerUnit;

// A token whose surface spans more units than this is almost certainly not a
// word; its text is replaced so that later models do not choke on it.
constexpr std::size_t kLongestTokenUnits = 1000;
constexpr char32_t kSpace = 0x20;

bool removes_spaces(std::string_view lang) {
  return lang.starts_with("zh") || lang.starts_with("ja") || lang.starts_with("ko");
}

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

// Collects the sentences of all paragraphs, one token at a time.
// Not thread-safe: belongs to one build.
class SentenceCollector {
 public:
  SentenceCollector(std::string_view shorthand, std::string_view lang, std::uint64_t codepoint_count)
      : colon_ends_sentence_(shorthand == "la_ittb"),
        remove_spaces_(removes_spaces(lang)),
        codepoint_count_(codepoint_count) {}

  void add_paragraph(const TokenizerParagraph& units, const std::vector<std::int64_t>& labels) {
    pending_.clear();
    for (std::size_t i = 0; i < units.size(); ++i) {
      if (pending_.empty()) token_start_ = i;
      pending_ += units[i].text;
      const std::int64_t label = effective_label(units[i], labels[i]);
      if (label <= detail::kLabelNone) continue;
      end_token(units, i, label);
    }
    if (!pending_.empty()) throw TokenizerModelError("tokenizer prediction left an unfinished token");
    close_sentence();
  }

  std::vector<SentenceInput> take_sentences() { return std::move(sentences_); }

 private:
  std::int64_t effective_label(const TokenizerUnit& unit, std::int64_t label) const {
    if (colon_ends_sentence_ && (unit.code_point == U':' || unit.code_point == U';')) {
      return detail::kLabelSentence;
    }
    return label;
  }

  // A token ends at unit `end`; a run of spaces alone makes none, and a
  // sentence end on it is dropped with it.
  void end_token(const TokenizerParagraph& units, std::size_t end, std::int64_t label) {
    std::size_t first = token_start_;
    while (first <= end && units[first].code_point == kSpace) ++first;
    if (first > end) {
      pending_.clear();
      return;
    }
    std::size_t last = end;
    while (units[last].code_point == kSpace) --last;

    const std::uint64_t end_char = std::uint64_t{units[last].offset} + 1;
    if (end_char > codepoint_count_) {
      throw TokenizerModelError("tokenizer units lie outside the document text");
    }
    const bool mwt = label == detail::kLabelMwt || label == detail::kLabelMwtSentence;
    append_token(token_text(end + 1 - first), units[first].offset,
                 static_cast<std::uint32_t>(end_char), mwt);
    pending_.clear();
    if (detail::is_sentence_end(label)) close_sentence();
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

// Whitespace around tokens comes verbatim from the text: before the first
// token, and after each token up to the next one (or the text's end).
void fill_spacing(const Utf8Text& text, std::vector<SentenceInput>& sentences) {
  TokenInput* previous = nullptr;
  for (SentenceInput& sentence : sentences) {
    for (TokenInput& token : sentence.tokens) {
      if (previous == nullptr) {
        token.spaces_before = text.slice(0, *token.start_char);
      } else {
        previous->spaces_after = text.slice(*previous->end_char, *token.start_char);
      }
      previous = &token;
    }
  }
  if (previous != nullptr) previous->spaces_after = text.slice(*previous->end_char, text.codepoint_count());
}

}  // namespace

Document TokenizerPlan::Impl::build_document(
    const Document& document, const std::vector<std::vector<detail::TokenizerUnit>>& paragraphs,
    const std::vector<std::vector<std::int64_t>>& labels) const {
  check_label_shapes(paragraphs, labels);
  const Utf8Text& text = document.storage()->text;
  SentenceCollector collector(shorthand, lang, text.codepoint_count());
  for (std::size_t p = 0; p < paragraphs.size(); ++p) collector.add_paragraph(paragraphs[p], labels[p]);
  std::vector<SentenceInput> sentences = collector.take_sentences();
  fill_spacing(text, sentences);

  Document result(document.text(), std::move(sentences));
  // The document's language is the bundle's; the configuration's "lang"
  // only decides the space removal above.
  result.set_lang(bundle->language());
  return result;
}

}  // namespace lorvane
