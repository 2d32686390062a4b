#pragma once

// Pieces shared by the three subword tokenizers: the vocabulary map, the
// moved-from check, the all-ASCII test and the filling of a WordPieceEncoding.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "lorvane/subword.hpp"

namespace lorvane::detail {

// Vocabulary entry -> identifier, looked up by string_view without a copy.
struct TokenHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};
using TokenIdMap = std::unordered_map<std::string, std::int64_t, TokenHash, std::equal_to<>>;

// The identifier of token, or nullptr.
inline const std::int64_t* find_token(const TokenIdMap& ids, std::string_view token) {
  const auto it = ids.find(token);
  return it == ids.end() ? nullptr : &it->second;
}

// The implementation of a tokenizer, or std::logic_error once it was moved from.
template <class Impl>
const Impl& loaded_tokenizer(const std::unique_ptr<Impl>& impl, const char* tokenizer) {
  if (!impl) throw std::logic_error(std::string("the ") + tokenizer + " tokenizer has been moved from");
  return *impl;
}

// True when no byte of text is 0x80 or above (tested 16 bytes at a time).
inline bool is_ascii(std::string_view text) noexcept {
  const auto* data = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  std::size_t i = 0;
  for (; i + 16 <= size; i += 16) {
    unsigned char any = 0;
    for (std::size_t k = 0; k < 16; ++k) any |= data[i + k];
    if (any & 0x80) return false;
  }
  for (; i < size; ++i) {
    if (data[i] & 0x80) return false;
  }
  return true;
}

// [cls] ids of word 0, word 1, ... [sep]; the specials (word id -1) only
// when add_special_tokens. ids_of(word) gives one word's identifiers.
template <class IdsOf>
WordPieceEncoding encode_words(const std::vector<std::string>& words, bool add_special_tokens,
                               std::int64_t cls_id, std::int64_t sep_id, IdsOf&& ids_of) {
  WordPieceEncoding encoding;
  if (add_special_tokens) {
    encoding.input_ids.push_back(cls_id);
    encoding.word_ids.push_back(-1);
  }
  for (std::size_t w = 0; w < words.size(); ++w) {
    const std::vector<std::int64_t> ids = ids_of(words[w]);
    encoding.input_ids.insert(encoding.input_ids.end(), ids.begin(), ids.end());
    encoding.word_ids.insert(encoding.word_ids.end(), ids.size(), static_cast<std::int64_t>(w));
  }
  if (add_special_tokens) {
    encoding.input_ids.push_back(sep_id);
    encoding.word_ids.push_back(-1);
  }
  encoding.attention_mask.assign(encoding.input_ids.size(), 1);
  return encoding;
}

}  // namespace lorvane::detail
