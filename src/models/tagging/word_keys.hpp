#pragma once

// How the tagger and the parser turn a word form into vocabulary keys: the
// punctuation rule that collapses runs of question and exclamation marks, the
// word key and the pretrained-embedding key. Torch-free.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "nn/vocabulary.hpp"

namespace lorvane::detail {

// The code points of `word`, each as a view of its UTF-8 bytes inside `word`.
// Malformed UTF-8 throws std::invalid_argument
// "invalid UTF-8 sequence at byte offset <n>".
std::vector<std::string_view> split_code_points(std::string_view word);

// Whether `text` is exactly one entry of `list`.
bool is_listed_variant(const std::vector<std::string_view>& list, std::string_view text);

// The question-mark and exclamation-mark variants of the punctuation rule.
const std::vector<std::string_view>& question_mark_variants();
const std::vector<std::string_view>& exclamation_mark_variants();

// The word the vocabularies see: a word of two or more code points that are
// all question- or exclamation-mark variants (mixed freely) becomes "?" when
// its first code point is a question-mark variant, else "!". Any other word,
// a single mark included, is itself. `code_points` is split_code_points(word);
// the result views `word` or a static string.
std::string_view normalize_punctuation(std::string_view word,
                                       const std::vector<std::string_view>& code_points);

// The word-vocabulary key of a normalised word: lower-cased only when the
// vocabulary asks for it.
std::string word_key(std::string_view normalized, bool lowercase);

// The character-vocabulary ids of a normalised word, one per code point, 1
// for a character the vocabulary lacks. `code_points` is
// split_code_points(word); when the punctuation rule replaced the word,
// `normalized` is its single mark instead.
std::vector<std::int64_t> character_ids(const UnitIds& vocabulary, std::string_view normalized,
                                        const std::vector<std::string_view>& code_points, std::string_view word);

// The pretrained-vocabulary key of a normalised word: always lower-cased, each
// space U+0020 replaced by U+00A0.
std::string pretrained_key(std::string_view normalized);

}  // namespace lorvane::detail
