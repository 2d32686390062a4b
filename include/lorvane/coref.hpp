#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lorvane/export.hpp"

namespace lorvane {

// A word position of a mention: for an ordinary mention a 0-based position
// among the sentence's regular words; for a zero mention the empty word's id
// together with its empty index.
// A plain value: safe to share when not written.
struct CorefWordPosition {
  std::int32_t word = 0;
  std::optional<std::int32_t> empty_index;
};

// Safe to share across threads: immutable.
class LORVANE_EXPORT CorefMention {
 public:
  // Throws std::invalid_argument
  // "a coreference mention sentence index cannot be negative".
  CorefMention(int sentence, CorefWordPosition start_word, CorefWordPosition end_word);
  std::int32_t sentence() const noexcept { return sentence_; }
  CorefWordPosition start_word() const { return start_word_; }
  CorefWordPosition end_word() const { return end_word_; }

 private:
  std::int32_t sentence_;
  CorefWordPosition start_word_;
  CorefWordPosition end_word_;
};

// Safe to share across threads: immutable once stored in a document.
class LORVANE_EXPORT CorefChain {
 public:
  // Throws std::invalid_argument for a negative index, then for a
  // representative_index that is not a position in `mentions`.
  CorefChain(int index, std::vector<CorefMention> mentions, std::string representative_text,
             std::optional<int> representative_index);
  std::int32_t index() const noexcept { return index_; }
  const std::vector<CorefMention>& mentions() const noexcept { return mentions_; }
  const std::string& representative_text() const noexcept { return representative_text_; }
  std::optional<std::int32_t> representative_index() const noexcept { return representative_index_; }

 private:
  std::int32_t index_;
  std::vector<CorefMention> mentions_;
  std::string representative_text_;
  std::optional<std::int32_t> representative_index_;
};

// The link of one word to one chain.
// Safe to share across threads: immutable.
class LORVANE_EXPORT CorefAttachment {
 public:
  CorefAttachment(std::shared_ptr<const CorefChain> chain, bool is_start, bool is_end,
                  bool is_representative);
  const std::shared_ptr<const CorefChain>& chain() const noexcept { return chain_; }
  bool is_start() const noexcept { return is_start_; }
  bool is_end() const noexcept { return is_end_; }
  bool is_representative() const noexcept { return is_representative_; }

 private:
  std::shared_ptr<const CorefChain> chain_;
  bool is_start_;
  bool is_end_;
  bool is_representative_;
};

}  // namespace lorvane
