#pragma once

// The loaded state of a lemma plan: the settings, the lemma dictionary keyed
// by part of speech, and the sequence-to-sequence model that serves the words
// the dictionary does not settle. The plan owns no tensors of its own.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "lorvane/bundle.hpp"
#include "lorvane/lemma.hpp"
#include "lorvane/seq2seq.hpp"
#include "nn/vocabulary.hpp"

namespace lorvane {

namespace detail {

// Word key (the word, lowercased for caseless bundles) -> lemma.
using LemmaEntries = std::unordered_map<std::string, std::string, TransparentStringHash, std::equal_to<>>;
// POS key (a UPOS tag, "_" for none, "*" for any) -> its entries.
using LemmaDictionary = std::unordered_map<std::string, LemmaEntries, TransparentStringHash, std::equal_to<>>;

// Sees every call the lemmatiser makes of its sequence-to-sequence model, in
// order. A seam for tests and benchmarks; the plan's own operations pass none.
// Not thread-safe: an observer belongs to one call.
class LemmaModelObserver {
 public:
  virtual ~LemmaModelObserver() = default;
  // Seq2SeqPlan::predict with this key and POS key.
  virtual void on_predict(const std::string& key, const std::string& pos_key) = 0;
  // Seq2SeqPlan::predict_many with these keys and POS keys.
  virtual void on_predict_many(const std::vector<std::string>& keys,
                               const std::vector<std::optional<std::string>>& pos_keys) = 0;
};

}  // namespace detail

// Fixed once the constructor returns; every operation is const.
// Safe to share across threads: all operations are const.
struct LemmaPlan::Impl {
  std::shared_ptr<const ModelBundle> bundle;
  // The model, a second opening of the same bundle; null for dictionary-only
  // bundles.
  std::unique_ptr<const Seq2SeqPlan> seq2seq;
  detail::LemmaDictionary pos_dict;
  bool dict_only = false;      // lemmas come from the dictionary alone
  bool ensemble_dict = false;  // the dictionary first, the model for the misses
  bool caseless = false;       // words are lowercased before look-up and prediction
  bool pos = false;            // the model reads the POS tag; equals seq2seq->uses_pos()

  // An empty plan (no bundle, no model, no dictionary): every word is its own
  // lemma. For tests that need a plan without a bundle's contents.
  Impl() = default;
  // Opens and reads the bundle. Throws LemmaModelError; a detail::JsonError
  // from reading the assets passes out (the plan turns it into its error).
  Impl(std::filesystem::path bundle_dir, bool verify_checksums);

  // The lemma of one word: the dictionary, else the model, else the word's
  // key; never empty ("_" stands for an empty lemma). Throws LemmaModelError
  // "seq2seq returned an unknown lemma edit class"; errors of the model and
  // of case folding (std::invalid_argument for invalid UTF-8) pass through.
  std::string lemmatize(const std::string& word, const std::optional<std::string>& upos,
                        detail::LemmaModelObserver* observer = nullptr) const;
  // lemmatize for every word, result i for word i, with all model misses
  // sent in one predict_many call. Throws LemmaModelError "lemma word and POS
  // batches must have equal lengths"; otherwise fails as lemmatize does.
  std::vector<std::string> lemmatize_many(const std::vector<std::string>& words,
                                          const std::vector<std::optional<std::string>>& upos,
                                          detail::LemmaModelObserver* observer = nullptr) const;

  // The look-up key of a word: lowercased when caseless, else unchanged.
  std::string key_of(const std::string& word) const;
  // The lemma that the dictionary or the word itself gives without the
  // model (rule steps 3 and 4), or nothing when the word goes to the model.
  std::optional<std::string> settle(const std::string& key, const std::string& pos_key) const;
  // The lemma of a model prediction for `key` (edit class and clean-up).
  static std::string from_prediction(const Seq2SeqPrediction& prediction, const std::string& key);
};

}  // namespace lorvane
