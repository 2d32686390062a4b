#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lorvane/errors.hpp"
#include "lorvane/export.hpp"

namespace lorvane {

class ModelBundle;

// The answer of the sequence-to-sequence model for one word.
struct Seq2SeqPrediction {
  std::string text;                 // output units, concatenated
  std::optional<std::int64_t> edit;  // present exactly when the model has an edit classifier
};

// The character sequence-to-sequence model with attention and an optional
// copy mechanism, loaded from a "lemma" or "mwt" bundle. It turns a word (and,
// for models trained with tags, its POS tag) into an output text and, when the
// model has one, an edit class.
// Safe to share across threads: all operations are const.
class LORVANE_EXPORT Seq2SeqPlan {
 public:
  // Throws Seq2SeqModelError for a bundle of another processor, for assets
  // it cannot read (JSON errors keep their message) and for a model it cannot
  // run; ModelBundleError from opening the bundle passes through.
  Seq2SeqPlan(std::filesystem::path bundle_dir, bool verify_checksums);
  Seq2SeqPlan(Seq2SeqPlan&& other) noexcept;
  Seq2SeqPlan& operator=(Seq2SeqPlan&& other) noexcept;
  Seq2SeqPlan(const Seq2SeqPlan&) = delete;
  Seq2SeqPlan& operator=(const Seq2SeqPlan&) = delete;
  ~Seq2SeqPlan();

  // Every operation below throws std::logic_error on a moved-from plan.
  const ModelBundle& bundle() const;
  // Whether predict needs a POS tag.
  bool uses_pos() const;
  // The beam size used when a call gives none (at least 1).
  std::int64_t configured_beam_size() const;

  // One word: greedy decoding with beam size 1, beam search above. `beam_size`
  // overrides the configured one; `forbid_unk` keeps the model from producing
  // "<UNK>". `pos` is required when uses_pos() and ignored otherwise.
  // Throws std::invalid_argument for a word that is not valid UTF-8,
  // Seq2SeqModelError "this seq2seq bundle requires a POS tag" and
  // "beam size must be positive".
  Seq2SeqPrediction predict(const std::string& word, const std::optional<std::string>& pos,
                            std::optional<std::int64_t> beam_size, bool forbid_unk) const;
  // Many words, results in input order: with beam size 1 batched greedy
  // decoding of words of similar length, otherwise predict word by word.
  // `pos` holds one entry per word (Seq2SeqModelError "seq2seq text and POS
  // batches must have equal lengths" otherwise); other errors as predict.
  std::vector<Seq2SeqPrediction> predict_many(const std::vector<std::string>& words,
                                              const std::vector<std::optional<std::string>>& pos,
                                              std::optional<std::int64_t> beam_size,
                                              bool forbid_unk) const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace lorvane
