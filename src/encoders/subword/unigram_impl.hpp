#pragma once

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

  // The replacement of the shortest key that is a prefix of key (the walk
  // stops at the first leaf), or nullopt. A zero byte never matches.
  std::optional<std::string_view> replacement(std::string_view key) const;

 private:
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
  // The word normalised cluster by cluster through the character map.
  std::string normalize(std::string_view word) const;
  // The highest-scoring segmentation of one run (already prefixed with U+2581).
  std::vector<std::int64_t> segment(std::string_view run) const;
};

}  // namespace lorvane
