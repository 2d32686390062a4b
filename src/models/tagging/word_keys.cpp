#include "models/tagging/word_keys.hpp"

#include <algorithm>
#include <stdexcept>

#include "document/utf8_decode.hpp"
#include "encoders/unicode/unicode.hpp"

namespace lorvane::detail {

std::vector<std::string_view> split_code_points(std::string_view word) {
  std::vector<std::string_view> code_points;
  code_points.reserve(word.size());
  decode_utf8_or_throw<std::invalid_argument>(
      word, [&](char32_t, std::size_t offset, std::size_t length) {
        code_points.push_back(word.substr(offset, length));
      });
  return code_points;
}

bool is_listed_variant(const std::vector<std::string_view>& list, std::string_view text) {
  return std::find(list.begin(), list.end(), text) != list.end();
}

const std::vector<std::string_view>& question_mark_variants() {
  static const std::vector<std::string_view> variants = {"?", "\uFF1F", "\uFE16", "\uFE56", "\u2047"};
  return variants;
}

const std::vector<std::string_view>& exclamation_mark_variants() {
  static const std::vector<std::string_view> variants = {"!", "\uFF01", "\uFE15", "\uFE57", "\u203C"};
  return variants;
}

std::string_view normalize_punctuation(std::string_view word,
                                       const std::vector<std::string_view>& code_points) {
  if (code_points.size() < 2) return word;
  const auto& questions = question_mark_variants();
  const auto& exclamations = exclamation_mark_variants();
  for (std::string_view code_point : code_points) {
    if (!is_listed_variant(questions, code_point) && !is_listed_variant(exclamations, code_point)) {
      return word;
    }
  }
  return is_listed_variant(questions, code_points.front()) ? std::string_view("?")
                                                            : std::string_view("!");
}

std::string word_key(std::string_view normalized, bool lowercase) {
  return lowercase ? unicode_lower(normalized) : std::string(normalized);
}

std::vector<std::int64_t> character_ids(const UnitIds& vocabulary, std::string_view normalized,
                                        const std::vector<std::string_view>& code_points, std::string_view word) {
  if (normalized.data() != word.data()) return {id_or(vocabulary, normalized, 1)};
  std::vector<std::int64_t> ids;
  ids.reserve(code_points.size());
  for (std::string_view code_point : code_points) ids.push_back(id_or(vocabulary, code_point, 1));
  return ids;
}

std::string pretrained_key(std::string_view normalized) {
  const std::string lower = unicode_lower(normalized);
  std::string key;
  key.reserve(lower.size());
  for (const char c : lower) {
    if (c == ' ') {
      key += "\u00A0";
    } else {
      key += c;
    }
  }
  return key;
}

}  // namespace lorvane::detail
