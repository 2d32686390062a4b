#pragma once

// Shared by the tokenizer text tests and benchmarks (torch- and gtest-free):
// every pattern with its name, and feature settings that own what they lend.

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "models/tokenizer/text/features.hpp"
#include "models/tokenizer/text/patterns.hpp"
#include "models/tokenizer/text/units.hpp"

namespace lorvane::testing {

// In enumerator order, so that a pattern's value indexes this list.
inline constexpr detail::TokenizerPattern kAllPatterns[] = {
    detail::TokenizerPattern::labeled_field, detail::TokenizerPattern::phone_id,
    detail::TokenizerPattern::date_pattern, detail::TokenizerPattern::currency,
    detail::TokenizerPattern::email_or_url};

inline const char* pattern_name(detail::TokenizerPattern pattern) {
  switch (pattern) {
    case detail::TokenizerPattern::labeled_field: return "labeled_field";
    case detail::TokenizerPattern::phone_id: return "phone_id";
    case detail::TokenizerPattern::date_pattern: return "date_pattern";
    case detail::TokenizerPattern::currency: return "currency";
    case detail::TokenizerPattern::email_or_url: return "email_or_url";
  }
  return "?";
}

// Owns what TokenizerFeatureSettings borrows.
// Not thread-safe to modify; const use from several threads is safe.
struct Features {
  std::vector<std::string> feat_funcs;
  std::int64_t feat_dim = 0;
  bool use_dictionary = false;
  std::int64_t num_dict_feat = 0;
  std::unordered_set<std::string> words, prefixes, suffixes;

  detail::TokenizerFeatureSettings settings() const {
    return {feat_funcs, feat_dim, use_dictionary, num_dict_feat, words, prefixes, suffixes};
  }
  void add_words(const std::vector<std::string>& entries) {
    for (const auto& entry : entries) detail::add_lexicon_entry(entry, words, prefixes, suffixes);
  }
  std::vector<float> compute(const std::vector<detail::TokenizerUnit>& units) const {
    return detail::compute_tokenizer_features(settings(), units);
  }
};

}  // namespace lorvane::testing
