#include "models/tagging/tagger_assets.hpp"

#include <cerrno>
#include <cstdlib>

namespace lorvane::detail {

CasedVocabulary read_cased_vocabulary(const JsonValue& vocab, std::string_view context) {
  CasedVocabulary result{read_unit2id(vocab, context), false};
  if (const JsonValue* lower = vocab.find("lower"); lower != nullptr) {
    result.lowercase = lower->as_bool(member_context(context, "lower"));
  }
  return result;
}

bool read_xpos_composite(const JsonValue& vocab, std::string_view class_context, RaiseError raise) {
  const std::string& xpos_class =
      vocab.at("_key2class", "assets.vocab").at("xpos", "assets.vocab._key2class").as_string(class_context);
  if (xpos_class != "WordVocab" && xpos_class != "XPOSVocab") raise("unsupported XPOS vocabulary class: " + xpos_class);
  return xpos_class == "XPOSVocab";
}

bool recurrent_profile_holds(const JsonValue& config, bool use_charlm) {
  constexpr std::string_view context = "assets.config";
  const auto no_dropout = [&](std::string_view key) { return optional_number(config, key, context, 0.0) == 0.0; };
  if (!use_charlm && (optional_int(config, "char_num_layers", context, 0) != 1 || !no_dropout("char_rec_dropout"))) {
    return false;
  }
  return no_dropout("rec_dropout");
}

std::string indexed_name(std::string_view head, std::size_t index, std::string_view tail) {
  return std::string(head) + std::to_string(index) + std::string(tail);
}

bool read_xpos_ignore(const JsonValue& xpos, std::string_view context) {
  const JsonValue* ignore = xpos.find("ignore");
  return ignore != nullptr && !ignore->as_array(member_context(context, "ignore")).empty();
}

void check_keyed_features(const JsonValue& feats, std::string_view context, RaiseError raise,
                          const std::string& message) {
  if (!required_bool(feats, "keyed", context)) raise(message);
  if (required_string(feats, "sep", context) != "|") raise(message);
}

bool parse_component_index(const std::string& key, std::uint64_t& index) {
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(key.c_str(), &end, 10);
  // No digits leaves end at the start; a NUL inside the key stops short of its end.
  if (end == key.c_str() || errno == ERANGE || end != key.c_str() + key.size()) return false;
  index = value;
  return true;
}

std::vector<std::string> read_string_array(const JsonValue& array, std::string_view context) {
  const JsonValue::Array& elements = array.as_array(context);
  const std::string element_context = std::string(context) + "[]";
  std::vector<std::string> strings;
  strings.reserve(elements.size());
  for (const JsonValue& element : elements) strings.push_back(element.as_string(element_context));
  return strings;
}

}  // namespace lorvane::detail
