#pragma once

// Small builders of input records for the document tests. A test file takes
// them all with `using namespace testing::records;`.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lorvane/document.hpp"

namespace lorvane::testing::records {

inline WordInput word(int id, std::string text) {
  WordInput w;
  w.id = id;
  w.text = std::move(text);
  return w;
}

inline WordInput empty_word(int id, std::optional<int> empty_index, std::string text) {
  WordInput w = word(id, std::move(text));
  w.empty_index = empty_index;
  return w;
}

// A single-word token whose word carries the same text and no offsets.
inline TokenInput token(int id, std::string text, std::optional<std::uint32_t> start = std::nullopt,
                        std::optional<std::uint32_t> end = std::nullopt) {
  TokenInput t;
  t.id_start = t.id_end = id;
  t.text = text;
  t.start_char = start;
  t.end_char = end;
  t.words.push_back(word(id, std::move(text)));
  return t;
}

inline TokenInput tagged(int id, std::string text, std::optional<std::string> ner) {
  TokenInput t = token(id, std::move(text));
  t.ner = std::move(ner);
  return t;
}

// A multi-word token over ids first .. first + words - 1.
inline TokenInput mwt(int first, std::string text, const std::vector<std::string>& words) {
  TokenInput t;
  t.id_start = first;
  t.id_end = first + static_cast<int>(words.size()) - 1;
  t.text = std::move(text);
  for (std::size_t i = 0; i < words.size(); ++i)
    t.words.push_back(word(first + static_cast<int>(i), words[i]));
  return t;
}

inline SentenceInput sentence(std::vector<TokenInput> tokens) {
  SentenceInput s;
  s.tokens = std::move(tokens);
  return s;
}

// Sentences of single-word tokens with consecutive ids, no offsets.
inline std::vector<SentenceInput> plain_sentences(const std::vector<std::vector<std::string>>& texts) {
  std::vector<SentenceInput> out;
  for (const auto& words : texts) {
    std::vector<TokenInput> tokens;
    for (std::size_t i = 0; i < words.size(); ++i) tokens.push_back(token(static_cast<int>(i) + 1, words[i]));
    out.push_back(sentence(std::move(tokens)));
  }
  return out;
}

}  // namespace lorvane::testing::records
