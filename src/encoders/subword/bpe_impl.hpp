#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "encoders/subword/subword_common.hpp"
#include "encoders/subword/utf8_spans.hpp"
#include "encoders/subword/word_cache.hpp"
#include "lorvane/subword.hpp"

namespace lorvane {

namespace detail {

// The printable character that spells byte b in a byte-level vocabulary:
// b itself for 0x21..0x7E, 0xA1..0xAC and 0xAE..0xFF, else 256, 257, ... in
// increasing byte order.
char32_t byte_level_character(unsigned char b);

struct MergeRule {
  std::uint32_t rank;  // index in the merge list; 0xFFFFFFFF means none
  std::int64_t id;     // id of the merged entry
};

inline std::uint64_t pair_key(std::int64_t first, std::int64_t second) {
  return (static_cast<std::uint64_t>(first) << 32) | (static_cast<std::uint64_t>(second) & 0xFFFFFFFFu);
}

}  // namespace detail

struct ByteBPETokenizer::Impl {
  detail::TokenIdMap token_ids;
  std::unordered_map<std::uint64_t, detail::MergeRule> merge_ranks;
  std::array<std::int64_t, 256> byte_ids{};
  std::uint64_t vocabulary_size = 0;
  bool add_prefix_space = false;
  std::int64_t unknown_id = 0;
  std::int64_t cls_id = 0;
  std::int64_t sep_id = 0;
  detail::WordCache cache;

  // The ids of one word through the cache.
  std::vector<std::int64_t> tokenize(std::string_view word) const;
  // The ids of one word, computed.
  std::vector<std::int64_t> uncached(std::string_view word) const;
  // Byte ranges [begin, end) of the pieces of text, in order and without
  // gaps; spans are text's decoded code points.
  static std::vector<std::pair<std::size_t, std::size_t>> pretokenize(
      std::string_view text, const std::vector<detail::CodePointSpan>& spans);
  // The ids of one piece after all merges (lowest rank first; all
  // occurrences of a pair left to right, non-overlapping).
  std::vector<std::int64_t> merge(std::string_view piece) const;
};

}  // namespace lorvane
