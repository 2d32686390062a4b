#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "encoders/subword/prefix_trie.hpp"
#include "encoders/subword/subword_common.hpp"
#include "encoders/subword/utf8_spans.hpp"
#include "encoders/subword/word_cache.hpp"
#include "lorvane/subword.hpp"

namespace lorvane {

namespace detail {

// A precompiled character map: a double-array trie over UTF-8 byte strings
// (units in the darts-clone layout) and a blob of NUL-terminated replacement
// strings. Look-ups guard every index, so a damaged map can only fail to
// match, never read outside its arrays.
class CharacterMap {
 public:
  CharacterMap() = default;
  // Throws SubwordError when the header or the trie size is malformed.
  explicit CharacterMap(const std::vector<std::uint8_t>& bytes);

  // The longest key that is a prefix of text and ends where a code point
  // ends (text is well-formed UTF-8): its length in bytes and its
  // replacement. nullopt when no key matches. A zero byte ends the search.
  struct Match {
    std::size_t length;
    std::string_view replacement;
  };
  std::optional<Match> longest_prefix(std::string_view text) const;

 private:
  // The replacement whose value unit sits at pos, or nullopt when pos or the
  // value lies outside the arrays.
  std::optional<std::string_view> value_at(std::size_t pos) const;

  std::vector<std::uint32_t> units_;
  std::string blob_;
};

}  // namespace detail

struct XLMRobertaTokenizer::Impl {
  std::vector<std::string> vocabulary;
  std::vector<float> scores;
  // Each distinct entry with the index of its first occurrence, as a trie:
  // segment walks every entry that starts at a position in one pass (the
  // same hits as one hash look-up per candidate end, up to the longest entry).
  detail::PrefixTrie entries;
  detail::CharacterMap character_map;
  std::int64_t unknown_id = 0;
  std::int64_t cls_id = 0;
  std::int64_t sep_id = 0;
  detail::WordCache cache;

  // The ids of one word through the cache: normalised, split on whitespace,
  // each run segmented.
  std::vector<std::int64_t> tokenize(std::string_view word) const;
  // The word normalised through the character map: at each code point the
  // longest key that starts there is replaced, and the search goes on right
  // after it; code points no key covers are kept.
  std::string normalize(std::string_view word) const;
  // The highest-scoring segmentation of one run (already prefixed with U+2581).
  std::vector<std::int64_t> segment(std::string_view run) const;
};

}  // namespace lorvane
