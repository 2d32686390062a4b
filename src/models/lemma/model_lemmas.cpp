// The per-word rule and the batched rule: dictionary, fallback to the word,
// or the model's text interpreted through its edit class.

#include <utility>

#include "encoders/unicode/unicode.hpp"
#include "models/lemma/assets.hpp"
#include "models/lemma/plan_impl.hpp"

namespace lorvane {
namespace {

// A lemma is never empty: "_" stands for the empty one.
std::string or_underscore(std::string lemma) { return lemma.empty() ? std::string("_") : std::move(lemma); }

// The UPOS tag as given (an empty tag stays empty), or "_" for none; never
// case-folded. It keys the dictionary and is what the model reads.
std::string pos_key_of(const std::optional<std::string>& upos) { return upos ? *upos : std::string("_"); }

}  // namespace

std::string LemmaPlan::Impl::key_of(const std::string& word) const {
  return caseless ? detail::unicode_lower(word) : word;
}

std::optional<std::string> LemmaPlan::Impl::settle(const std::string& key, const std::string& pos_key) const {
  if (dict_only || ensemble_dict) {
    if (const std::string* lemma = detail::find_lemma(pos_dict, pos_key, key)) return or_underscore(*lemma);
  }
  if (dict_only || !seq2seq) return or_underscore(key);
  return std::nullopt;
}

std::string LemmaPlan::Impl::from_prediction(const Seq2SeqPrediction& prediction, const std::string& key) {
  std::string candidate = prediction.text;
  if (prediction.edit) {
    switch (*prediction.edit) {
      case 0:
        break;
      case 1:
        candidate = key;
        break;
      case 2:
        candidate = detail::unicode_lower(key);
        break;
      default:
        throw LemmaModelError("seq2seq returned an unknown lemma edit class");
    }
  }
  if (candidate.empty() || candidate.find("<UNK>") != std::string::npos) candidate = key;
  return or_underscore(std::move(candidate));
}

std::string LemmaPlan::Impl::lemmatize(const std::string& word, const std::optional<std::string>& upos,
                                       detail::LemmaModelObserver* observer) const {
  const std::string key = key_of(word);
  const std::string pos_key = pos_key_of(upos);
  if (std::optional<std::string> lemma = settle(key, pos_key)) return std::move(*lemma);
  if (observer != nullptr) observer->on_predict(key, pos_key);
  return from_prediction(seq2seq->predict(key, pos_key, std::nullopt, false), key);
}

std::vector<std::string> LemmaPlan::Impl::lemmatize_many(const std::vector<std::string>& words,
                                                         const std::vector<std::optional<std::string>>& upos,
                                                         detail::LemmaModelObserver* observer) const {
  if (words.size() != upos.size()) throw LemmaModelError("lemma word and POS batches must have equal lengths");
  std::vector<std::string> lemmas(words.size());
  std::vector<std::string> miss_keys;
  std::vector<std::optional<std::string>> miss_pos_keys;
  std::vector<std::size_t> miss_words;
  miss_keys.reserve(words.size());
  miss_pos_keys.reserve(words.size());
  miss_words.reserve(words.size());
  for (std::size_t i = 0; i < words.size(); ++i) {
    std::string key = key_of(words[i]);
    std::string pos_key = pos_key_of(upos[i]);
    if (std::optional<std::string> lemma = settle(key, pos_key)) {
      lemmas[i] = std::move(*lemma);
    } else {
      miss_keys.push_back(std::move(key));
      miss_pos_keys.emplace_back(std::move(pos_key));
      miss_words.push_back(i);
    }
  }
  if (miss_keys.empty()) return lemmas;
  if (observer != nullptr) observer->on_predict_many(miss_keys, miss_pos_keys);
  const std::vector<Seq2SeqPrediction> predictions = seq2seq->predict_many(miss_keys, miss_pos_keys, std::nullopt, false);
  for (std::size_t k = 0; k < miss_keys.size(); ++k) {
    lemmas[miss_words[k]] = from_prediction(predictions[k], miss_keys[k]);
  }
  return lemmas;
}

}  // namespace lorvane
