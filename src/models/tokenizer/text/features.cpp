#include "models/tokenizer/text/features.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>
#include <stdexcept>

#include "encoders/unicode/unicode.hpp"
#include "lorvane/errors.hpp"
#include "models/tokenizer/text/patterns.hpp"

namespace lorvane::detail {
namespace {

enum class Lexical { space_before, capitalized, numeric };

struct PatternFeature {
  std::string_view name;
  TokenizerPattern pattern;
};

// Pattern columns always come in this order, whatever the order of feat_funcs.
constexpr std::array<PatternFeature, 4> kPatternFeatures = {{
    {"labeled_field", TokenizerPattern::labeled_field},
    {"phone_id", TokenizerPattern::phone_id},
    {"date_pattern", TokenizerPattern::date_pattern},
    {"currency", TokenizerPattern::currency},
}};

constexpr std::array<std::string_view, 9> kKnownFeatures = {
    "space_before", "capitalized",  "numeric",  "end_of_para", "start_of_para",
    "labeled_field", "phone_id", "date_pattern", "currency"};

// Which columns a feature list produces.
struct ColumnLayout {
  std::vector<Lexical> lexical;
  bool end_of_para = false;
  bool start_of_para = false;
  std::vector<TokenizerPattern> patterns;
  std::size_t dictionary_windows = 0;  // K; 2K columns
  std::size_t width = 0;
};

bool contains(const std::vector<std::string>& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

[[noreturn]] void throw_dimension_mismatch() {
  throw TokenizerModelError("tokenizer feature dimension does not match feat_funcs");
}

// The layout of the configured features; fails unless its width is feat_dim.
ColumnLayout layout_columns(const TokenizerFeatureSettings& settings) {
  ColumnLayout layout;
  for (const std::string& name : settings.feat_funcs) {
    if (name == "space_before") layout.lexical.push_back(Lexical::space_before);
    if (name == "capitalized") layout.lexical.push_back(Lexical::capitalized);
    if (name == "numeric") layout.lexical.push_back(Lexical::numeric);
  }
  layout.end_of_para = contains(settings.feat_funcs, "end_of_para");
  layout.start_of_para = contains(settings.feat_funcs, "start_of_para");
  for (const PatternFeature& feature : kPatternFeatures) {
    if (contains(settings.feat_funcs, feature.name)) layout.patterns.push_back(feature.pattern);
  }
  const std::uint64_t fixed = layout.lexical.size() + layout.end_of_para + layout.start_of_para +
                              layout.patterns.size();
  // Compared without forming fixed + 2K, which could overflow for absurd K.
  if (settings.feat_dim < 0) throw_dimension_mismatch();
  const auto dim = static_cast<std::uint64_t>(settings.feat_dim);
  if (dim < fixed) throw_dimension_mismatch();
  const std::uint64_t rest = dim - fixed;
  if (settings.use_dictionary) {
    if (settings.num_dict_feat < 0 || rest % 2 != 0 ||
        rest / 2 != static_cast<std::uint64_t>(settings.num_dict_feat)) {
      throw_dimension_mismatch();
    }
    layout.dictionary_windows = static_cast<std::size_t>(settings.num_dict_feat);
  } else if (rest != 0) {
    throw_dimension_mismatch();
  }
  layout.width = static_cast<std::size_t>(dim);
  return layout;
}

float lexical_value(Lexical kind, const TokenizerUnit& unit) {
  switch (kind) {
    case Lexical::space_before:
      return unit.code_point == 0x20 ? 1.0f : 0.0f;
    case Lexical::capitalized:
      return unicode_is_upper(unit.text) ? 1.0f : 0.0f;
    case Lexical::numeric:
      return is_decimal_digit_15_0(unit.code_point) ? 1.0f : 0.0f;
  }
  return 0.0f;
}

// Writes the 2K dictionary values of unit i: forward window k asks whether
// units i..i+k spell a lexicon word, backward window k whether units i-k..i
// do. The unit's own text keeps its case; its neighbours are lowercased. A
// side closes as soon as its string stops being a prefix (suffix) of an entry.
void write_dictionary_values(const TokenizerFeatureSettings& settings,
                             const std::vector<TokenizerUnit>& units,
                             const std::vector<std::string>& lowered, std::size_t i,
                             std::size_t windows, float* forward, float* backward) {
  const std::size_t n = units.size();
  std::string forward_word = units[i].text;
  std::string backward_word = units[i].text;
  bool prefix_open = true;
  bool suffix_open = true;
  // Beyond both paragraph ends the remaining columns stay 0.0 either way.
  const std::size_t reachable = std::min(windows, std::max(n - 1 - i, i));
  for (std::size_t k = 1; k <= reachable; ++k) {
    if (i + k < n && prefix_open) {
      forward_word += lowered[i + k];
      if (settings.lexicon_words.count(forward_word) != 0) forward[k - 1] = 1.0f;
      if (settings.lexicon_prefixes.count(forward_word) == 0) prefix_open = false;
    }
    if (i >= k && suffix_open) {
      backward_word.insert(0, lowered[i - k]);
      if (settings.lexicon_words.count(backward_word) != 0) backward[k - 1] = 1.0f;
      if (settings.lexicon_suffixes.count(backward_word) == 0) suffix_open = false;
    }
    if (!prefix_open && !suffix_open) break;
  }
}

}  // namespace

bool is_known_tokenizer_feature(std::string_view name) {
  return std::find(kKnownFeatures.begin(), kKnownFeatures.end(), name) != kKnownFeatures.end();
}

std::vector<float> compute_tokenizer_features(const TokenizerFeatureSettings& settings,
                                              const std::vector<TokenizerUnit>& units) {
  const ColumnLayout layout = layout_columns(settings);
  const std::size_t n = units.size();
  const std::size_t width = layout.width;
  if (width != 0 && n > std::numeric_limits<std::size_t>::max() / sizeof(float) / width) {
    throw std::length_error("tokenizer feature matrix is too large");
  }
  std::vector<float> rows(n * width, 0.0f);
  if (n == 0) return rows;

  std::vector<std::vector<float>> pattern_columns;
  if (!layout.patterns.empty()) {
    const std::string joined = join_unit_texts(units);
    for (TokenizerPattern pattern : layout.patterns) {
      std::vector<float> column(n, 0.0f);
      mark_pattern_matches(joined, pattern, column);
      pattern_columns.push_back(std::move(column));
    }
  }
  std::vector<std::string> lowered;
  if (layout.dictionary_windows > 0) {
    lowered.reserve(n);
    for (const TokenizerUnit& unit : units) lowered.push_back(unicode_lower(unit.text));
  }

  for (std::size_t i = 0; i < n; ++i) {
    float* row = rows.data() + i * width;
    for (Lexical kind : layout.lexical) *row++ = lexical_value(kind, units[i]);
    if (layout.end_of_para) *row++ = i + 1 == n ? 1.0f : 0.0f;
    if (layout.start_of_para) *row++ = i == 0 ? 1.0f : 0.0f;
    for (const std::vector<float>& column : pattern_columns) *row++ = column[i];
    if (layout.dictionary_windows > 0) {
      write_dictionary_values(settings, units, lowered, i, layout.dictionary_windows, row,
                              row + layout.dictionary_windows);
    }
  }
  return rows;
}

void add_lexicon_entry(std::string_view entry, std::unordered_set<std::string>& words,
                       std::unordered_set<std::string>& prefixes,
                       std::unordered_set<std::string>& suffixes) {
  const std::vector<TokenizerUnit> units = decode_units(entry.data(), entry.size());
  const std::size_t n = units.size();
  if (n < 2) return;
  words.emplace(entry);
  std::size_t prefix_bytes = 0;
  for (std::size_t k = 1; k < n; ++k) {
    prefix_bytes += units[k - 1].text.size();
    prefixes.emplace(entry.substr(0, prefix_bytes));
  }
  std::size_t suffix_bytes = 0;
  for (std::size_t k = 1; k < n; ++k) {
    suffix_bytes += units[n - k].text.size();
    suffixes.emplace(entry.substr(entry.size() - suffix_bytes));
  }
}

}  // namespace lorvane::detail
