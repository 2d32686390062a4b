#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "lorvane/errors.hpp"
#include "lorvane/export.hpp"

namespace lorvane {

class ModelBundle;

// The loaded form of a "forward_charlm" or "backward_charlm" bundle: one
// character language model that turns the words of a sentence into rows of
// floats. The direction comes from the model's assets, not from the bundle's
// processor name.
// Safe to share across threads: all operations are const.
class LORVANE_EXPORT CharLMPlan {
 public:
  // Bundle errors are ModelBundleError; another processor throws
  // CharLMModelError "expected a forward/backward_charlm bundle, got '<processor>'";
  // malformed assets (JSON syntax, missing keys, wrong types) throw
  // CharLMModelError with the JSON error's message.
  CharLMPlan(std::filesystem::path bundle_dir, bool verify_checksums);
  CharLMPlan(CharLMPlan&& other) noexcept;
  CharLMPlan& operator=(CharLMPlan&& other) noexcept;
  CharLMPlan(const CharLMPlan&) = delete;
  CharLMPlan& operator=(const CharLMPlan&) = delete;
  ~CharLMPlan();

  // Each of these throws std::logic_error on a moved-from plan.
  const ModelBundle& bundle() const;
  bool is_forward() const;
  // The length of every row that encode returns.
  std::int64_t hidden_size() const;
  // One row per word, in the order of `words`. Throws std::invalid_argument
  // for a word that is not valid UTF-8.
  std::vector<std::vector<float>> encode(const std::vector<std::string>& words) const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace lorvane
