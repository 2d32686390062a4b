#include "models/mwt/process_document.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "models/mwt/document_records.hpp"
#include "models/mwt/plan_impl.hpp"
#include "nn/guarded_call.hpp"
#include "nn/plan_loading.hpp"

namespace lorvane {
namespace detail {
namespace {

constexpr std::string_view kFlag = "MWT=Yes";

// Calls fn for each '|'-separated entry of the text (empty ones included);
// stops when fn returns true.
template <class Fn>
bool any_entry(std::string_view text, Fn&& fn) {
  for (std::size_t begin = 0;;) {
    const std::size_t end = text.find('|', begin);
    if (fn(text.substr(begin, end == std::string_view::npos ? std::string_view::npos : end - begin))) return true;
    if (end == std::string_view::npos) return false;
    begin = end + 1;
  }
}

// The expansion cut at spaces, empty pieces dropped. Fewer than two pieces
// mean the token is not split: it keeps its own text as its one word.
std::vector<std::string> expansion_pieces(const std::string& expansion, const std::string& token) {
  std::vector<std::string> pieces;
  for (std::size_t begin = 0; begin < expansion.size();) {
    const std::size_t end = std::min(expansion.find(' ', begin), expansion.size());
    if (end > begin) pieces.push_back(expansion.substr(begin, end - begin));
    begin = end + 1;
  }
  if (pieces.size() < 2) return {token};
  return pieces;
}

// Word ids are numbered per sentence; r is the id the next token's first
// word takes.
class SentenceRenumbering {
 public:
  explicit SentenceRenumbering(const std::unordered_map<std::string, std::string>& expansions)
      : expansions_(expansions) {}

  void rewrite(SentenceInput& sentence) {
    next_ = 1;
    for (TokenInput& token : sentence.tokens) {
      if (is_flagged(token.misc)) {
        give_expansion(token);
      } else if (token.manual_expansion == true) {
        shift_manual(token);
      } else {
        renumber_plain(token);
      }
      next_ = static_cast<std::int64_t>(token.id_end) + 1;
    }
  }

 private:
  void give_expansion(TokenInput& token) {
    const std::vector<std::string> pieces = expansion_pieces(expansions_.at(token.text), token.text);
    token.misc = without_mwt_flag(*token.misc);
    token.words.clear();
    for (const std::string& piece : pieces) {
      WordInput word;
      word.text = piece;
      token.words.push_back(std::move(word));
    }
    if (pieces.size() == 1) {
      token.words.front().start_char = token.start_char;
      token.words.front().end_char = token.end_char;
    }
    number_consecutively(token);
  }

  // A manually expanded token keeps its words and their annotations; its
  // range and word ids move by one common offset, so that the range starts
  // at the running id. Words whose ids lie outside the stored range (or a
  // range that cannot move without overflowing) are numbered consecutively.
  void shift_manual(TokenInput& token) {
    token.manual_expansion.reset();
    const std::int64_t offset = next_ - token.id_start;
    const std::int64_t shifted_end = static_cast<std::int64_t>(token.id_end) + offset;
    bool inside = shifted_end <= std::numeric_limits<std::int32_t>::max();
    for (const WordInput& word : token.words) inside = inside && word.id >= token.id_start && word.id <= token.id_end;
    if (!inside) {
      number_consecutively(token);
      return;
    }
    for (WordInput& word : token.words) word.id = static_cast<std::int32_t>(word.id + offset);
    token.id_start = static_cast<std::int32_t>(next_);
    token.id_end = static_cast<std::int32_t>(shifted_end);
  }

  // Any other token keeps its words, without their dependency annotations;
  // a token without words gets one with its own text and offsets.
  void renumber_plain(TokenInput& token) {
    if (token.words.empty()) {
      WordInput word;
      word.text = token.text;
      word.start_char = token.start_char;
      word.end_char = token.end_char;
      token.words.push_back(std::move(word));
    }
    for (WordInput& word : token.words) {
      word.head.reset();
      word.deprel.reset();
      word.deps.reset();
    }
    number_consecutively(token);
  }

  // Ids r .. r + m - 1 for the token's m words (m >= 1) and the range over them.
  void number_consecutively(TokenInput& token) {
    std::int64_t id = next_;
    for (WordInput& word : token.words) word.id = checked_id(id++);
    token.id_start = checked_id(next_);
    token.id_end = checked_id(id - 1);
  }

  static std::int32_t checked_id(std::int64_t id) {
    if (id > std::numeric_limits<std::int32_t>::max()) throw std::overflow_error("a sentence has too many words");
    return static_cast<std::int32_t>(id);
  }

  const std::unordered_map<std::string, std::string>& expansions_;
  std::int64_t next_ = 1;
};

// Each distinct flagged token text once, in order of first occurrence.
std::vector<std::string> flagged_texts(const std::vector<SentenceInput>& sentences) {
  std::vector<std::string> texts;
  std::unordered_map<std::string_view, bool> seen;
  for (const SentenceInput& sentence : sentences) {
    for (const TokenInput& token : sentence.tokens) {
      if (is_flagged(token.misc) && seen.emplace(token.text, true).second) texts.push_back(token.text);
    }
  }
  return texts;
}

}  // namespace

bool is_flagged(const std::optional<std::string>& misc) {
  return misc && any_entry(*misc, [](std::string_view entry) { return entry == kFlag; });
}

std::optional<std::string> without_mwt_flag(const std::string& misc) {
  std::string kept;
  bool any = false;
  any_entry(misc, [&](std::string_view entry) {
    if (entry.empty() || entry == kFlag) return false;
    if (any) kept += '|';
    kept += entry;
    any = true;
    return false;
  });
  if (!any) return std::nullopt;
  return kept;
}

Document expand_flagged_tokens(const Document& document, const TokenExpander& expand) {
  std::vector<SentenceInput> sentences = to_sentence_inputs(document);
  std::vector<std::string> texts = flagged_texts(sentences);
  std::vector<std::string> results = texts.empty() ? std::vector<std::string>{} : expand(texts);
  if (results.size() != texts.size()) throw std::logic_error("an expander returned the wrong number of results");
  std::unordered_map<std::string, std::string> expansions;
  expansions.reserve(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) expansions.emplace(std::move(texts[i]), std::move(results[i]));

  SentenceRenumbering renumbering(expansions);
  for (SentenceInput& sentence : sentences) renumbering.rewrite(sentence);
  Document result(document.storage());
  result.storage()->replace(std::move(sentences));
  return result;
}

}  // namespace detail

Document MWTPlan::process(const Document& document) const try {
  const Impl& impl = detail::loaded_impl(impl_, "MWT");
  return detail::expand_flagged_tokens(
      document, [&impl](const std::vector<std::string>& tokens) { return impl.expand_many(tokens); });
} catch (...) {
  detail::rethrow_unexpected<MWTModelError>();
}

}  // namespace lorvane
