#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "encoders/subword/subword_common.hpp"
#include "encoders/subword/word_cache.hpp"
#include "lorvane/subword.hpp"

namespace lorvane {

struct WordPieceTokenizer::Impl {
  detail::TokenIdMap vocabulary;
  bool lowercase = true;
  bool strip_accents = true;
  std::string continuing_subword_prefix;
  std::uint64_t max_input_characters_per_word = 0;
  std::size_t max_token_bytes = 0;  // the longest vocabulary entry
  std::int64_t unknown_id = 0;
  std::int64_t cls_id = 0;
  std::int64_t sep_id = 0;
  detail::WordCache cache;

  // The identifiers of one word through the cache; never empty.
  std::vector<std::int64_t> encode_word(std::string_view word) const;
  // The uncached identifiers of one word; empty when it yields no piece.
  std::vector<std::int64_t> tokenize_word(std::string_view word) const;
};

}  // namespace lorvane
