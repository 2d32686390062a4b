#include "models/lemma/assets.hpp"

#include "nn/config.hpp"

namespace lorvane::detail {

namespace {

constexpr std::string_view kConfigContext = "assets.config";
constexpr std::string_view kDictionaryContext = "assets.pos_dict";

bool config_flag(const JsonValue& config, std::string_view key) {
  if (!config.is_object()) return false;
  return optional_bool(config, key, kConfigContext, false);
}

const std::string* find_in(const LemmaDictionary& dictionary, std::string_view pos_key, std::string_view key) {
  const auto entries = dictionary.find(pos_key);
  if (entries == dictionary.end()) return nullptr;
  const auto lemma = entries->second.find(key);
  return lemma == entries->second.end() ? nullptr : &lemma->second;
}

}  // namespace

void read_lemma_settings(const JsonValue& root, LemmaPlan::Impl& plan) {
  const JsonValue& config = root.at("config", "assets");
  plan.dict_only = config_flag(config, "dict_only");
  plan.ensemble_dict = config_flag(config, "ensemble_dict");
  plan.pos = config_flag(config, "pos");
  const JsonValue* caseless = root.find("caseless");
  plan.caseless = caseless != nullptr && !caseless->is_null() ? caseless->as_bool("assets.caseless")
                                                              : config_flag(config, "caseless");
}

LemmaDictionary read_lemma_dictionary(const JsonValue& root) {
  LemmaDictionary dictionary;
  for (const auto& [pos_key, member] : root.at("pos_dict", "assets").as_object(kDictionaryContext)) {
    LemmaEntries& entries = dictionary[pos_key];
    const std::string context = member_context(kDictionaryContext, pos_key);
    for (const auto& [key, lemma] : member.as_object(context)) {
      if (!lemma.is_null()) entries.try_emplace(key, lemma.as_string(context));
    }
  }
  return dictionary;
}

void require_same_pos_setting(bool pos, const Seq2SeqPlan& model) {
  if (model.uses_pos() != pos) throw LemmaModelError("lemma config and seq2seq POS settings disagree");
}

const std::string* find_lemma(const LemmaDictionary& dictionary, std::string_view pos_key, std::string_view key) {
  const std::string* lemma = find_in(dictionary, pos_key, key);
  return lemma != nullptr ? lemma : find_in(dictionary, "*", key);
}

}  // namespace lorvane::detail
