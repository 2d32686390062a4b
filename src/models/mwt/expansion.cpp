// The expansion of one token: the dictionary with case restoration, then the
// split classifier or the sequence-to-sequence model.

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "encoders/unicode/unicode.hpp"
#include "lorvane/text.hpp"
#include "models/mwt/plan_impl.hpp"

namespace lorvane {

namespace detail {

std::vector<std::string> split_code_points(std::string_view text) {
  const Utf8Text decoded{std::string(text)};
  std::vector<std::string> code_points;
  code_points.reserve(decoded.codepoint_count());
  for (std::uint64_t i = 0; i < decoded.codepoint_count(); ++i) code_points.push_back(decoded.slice(i, i + 1));
  return code_points;
}

}  // namespace detail

namespace {

std::string concatenated(const std::vector<std::string>& parts, std::size_t from) {
  std::string joined;
  for (std::size_t i = from; i < parts.size(); ++i) joined += parts[i];
  return joined;
}

// Removes every occurrence of each special symbol in turn. After an erase
// the search resumes where the symbol stood, so an occurrence that only forms
// across the erased place and starts before it stays.
std::string without_special_symbols(std::string text) {
  static constexpr std::array<std::string_view, 4> kSymbols = {"<PAD>", "<UNK>", "<SOS>", "<EOS>"};
  for (std::string_view symbol : kSymbols) {
    for (std::size_t at = text.find(symbol); at != std::string::npos; at = text.find(symbol, at)) {
      text.erase(at, symbol.size());
    }
  }
  return text;
}

}  // namespace

std::string detail::prediction_expansion(const std::string& prediction, const std::string& token) {
  std::string text = without_special_symbols(prediction);
  if (text.find(' ') != std::string::npos) return text;
  return token;
}

std::optional<std::string> MWTPlan::Impl::lookup_dictionary(const std::string& token) const {
  if (const auto exact = expansion_dict.find(token); exact != expansion_dict.end()) return exact->second;
  if (detail::unicode_is_upper(token)) {
    if (const auto found = expansion_dict.find(detail::unicode_lower(token)); found != expansion_dict.end()) {
      return detail::unicode_upper(found->second);
    }
  }
  const std::vector<std::string> code_points = detail::split_code_points(token);
  const bool title_case = !code_points.empty() && detail::unicode_is_upper(code_points.front()) &&
                          detail::unicode_is_lower(concatenated(code_points, 1));
  if (!title_case) return std::nullopt;
  const auto found = expansion_dict.find(detail::unicode_lower(token));
  if (found == expansion_dict.end()) return std::nullopt;
  // Only the expansion's first code point takes the capital.
  const std::vector<std::string> expansion = detail::split_code_points(found->second);
  if (expansion.empty()) return found->second;
  return detail::unicode_upper(expansion.front()) + concatenated(expansion, 1);
}

std::string MWTPlan::Impl::expand(const std::string& token) const { return expand_many({token}).front(); }

std::vector<std::string> MWTPlan::Impl::expand_many(const std::vector<std::string>& tokens) const {
  std::vector<std::string> expansions(tokens.size());
  std::vector<std::size_t> missed;
  std::vector<std::string> model_input;
  const bool use_dictionary = dict_only || ensemble_dict;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    std::optional<std::string> hit = use_dictionary ? lookup_dictionary(tokens[i]) : std::nullopt;
    if (hit) {
      expansions[i] = std::move(*hit);
    } else if (dict_only) {
      expansions[i] = tokens[i];
    } else {
      missed.push_back(i);
      model_input.push_back(tokens[i]);
    }
  }
  if (model_input.empty()) return expansions;

  if (force_exact_pieces) {
    std::vector<std::string> pieces = classify_pieces_many(model_input);
    for (std::size_t k = 0; k < missed.size(); ++k) expansions[missed[k]] = std::move(pieces[k]);
    return expansions;
  }
  // No POS tag, the configured beam size, "<UNK>" never produced.
  const std::vector<Seq2SeqPrediction> predictions = seq2seq->predict_many(
      model_input, std::vector<std::optional<std::string>>(model_input.size()), std::nullopt, true);
  for (std::size_t k = 0; k < missed.size(); ++k) {
    expansions[missed[k]] = detail::prediction_expansion(predictions[k].text, model_input[k]);
  }
  return expansions;
}

}  // namespace lorvane
