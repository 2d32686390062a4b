#pragma once

// Feature rows of the tokenizer network and the lexicon sets behind its
// dictionary columns. Torch-free: the plan hands in its settings, these
// functions read nothing else.

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "models/tokenizer/text/units.hpp"

namespace lorvane::detail {

// True for the nine feature names that a bundle's "feat_funcs" may list.
bool is_known_tokenizer_feature(std::string_view name);

// The plan settings the feature rows depend on, borrowed for one call.
// Safe to share across threads when the referenced settings do not change.
struct TokenizerFeatureSettings {
  const std::vector<std::string>& feat_funcs;
  std::int64_t feat_dim;
  bool use_dictionary;
  std::int64_t num_dict_feat;  // window count K; positive whenever use_dictionary
  const std::unordered_set<std::string>& lexicon_words;
  const std::unordered_set<std::string>& lexicon_prefixes;
  const std::unordered_set<std::string>& lexicon_suffixes;
};

// units.size() x feat_dim floats, row-major, each 0.0 or 1.0, in column groups
// lexical (feat_funcs order), end_of_para, start_of_para, patterns (fixed
// order), then K forward and K backward dictionary windows. Throws
// TokenizerModelError "tokenizer feature dimension does not match feat_funcs"
// when the groups do not add up to feat_dim, for empty paragraphs too.
std::vector<float> compute_tokenizer_features(const TokenizerFeatureSettings& settings,
                                              const std::vector<TokenizerUnit>& units);

// Adds one lexicon entry: entries of two or more code points go into `words`
// unchanged, with their proper prefixes and suffixes (whole code points) into
// the other two sets; shorter entries add nothing. Throws TokenizerModelError
// "invalid UTF-8 sequence at byte offset N" (offset within the entry).
void add_lexicon_entry(std::string_view entry, std::unordered_set<std::string>& words,
                       std::unordered_set<std::string>& prefixes,
                       std::unordered_set<std::string>& suffixes);

}  // namespace lorvane::detail
